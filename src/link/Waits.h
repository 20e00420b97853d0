#pragma once

#include <QTimer>

#include <chrono>

// Lets queued events run until strictly more than `duration` has passed on the steady clock;
// events run at least once. The wait sleeps in a nested event loop woken by a timer, so it
// costs no CPU. Handlers run nested inside it: callers must be ready for re-entrancy.
void waitLettingEventsRun(std::chrono::milliseconds duration);

// A reply time-out whose arming does not postpone it: arm() starts it only when it is not
// already running, so repeated arming keeps the first deadline.
class ReplyTimeout : public QTimer
{
    Q_OBJECT
public:
    explicit ReplyTimeout(QObject *parent = nullptr) : QTimer(parent)
    {
        setSingleShot(true);
        setTimerType(Qt::PreciseTimer);
    }
    void arm()
    {
        if (!isActive())
            start();
    }
    void disarm() { stop(); }
};
