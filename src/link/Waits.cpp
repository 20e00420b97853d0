#include "Waits.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <thread>

void waitLettingEventsRun(std::chrono::milliseconds duration)
{
    QElapsedTimer clock; // monotonic
    clock.start();
    do {
        const auto remaining =
            std::chrono::milliseconds(qMax<qint64>(duration.count() - clock.elapsed(), 0));
        QEventLoop loop;
        // One millisecond beyond the deadline makes "strictly later" hold after the wake-up.
        QTimer::singleShot(remaining + std::chrono::milliseconds(1), Qt::PreciseTimer, &loop,
                           &QEventLoop::quit);
        if (loop.exec() != 0) {
            // The application is quitting: nested loops return at once from now on. Sleep out
            // the rest instead of spinning through them.
            std::this_thread::sleep_for(remaining + std::chrono::milliseconds(1));
        }
    } while (clock.elapsed() <= duration.count());
}
