// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QList>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Delivers Unix signals (SIGTERM, SIGHUP...) as a Qt signal on the thread that made this
// object, between other events: the handler only marks the signal and writes a wake-up byte to
// a socket pair without ever waiting, and a notifier reads it. A burst of one signal is told
// once. One such object in a process.
class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(const QList<int> &numbers, QObject *parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int number);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<int> m_numbers;
};
