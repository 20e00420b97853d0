// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

// A copy of the program inside the test: the link on the fake port, started on COM1 with the
// given identifier, and its remote interface on a bus connection of its own. The test holds
// the copy's port, its link and its names.

#include "FakeSerialPort.h"

#include "remote/BoardService.h"

#include <QDBusConnection>
#include <QTest>

struct FakeCopy
{
    FakeCopy(const QString &busAddress, const QString &name, const QString &id = {})
        : link(&port, LinkTimings{}.scaled(0.05)), service(&link, name),
          bus(QDBusConnection::connectToBus(busAddress, QString("copy-") + name))
    {
        registration = service.registerOn(bus);
        link.start({1, QString("9600"), id});
    }
    ~FakeCopy() { QDBusConnection::disconnectFromBus(bus.name()); }

    // Waits for the attempt, answers it, and waits for the state query and the quiet after it;
    // true when it went out.
    [[nodiscard]] bool connect()
    {
        const QByteArray id = link.settings().deviceId.toLatin1();
        if (!QTest::qWaitFor([&] { return !port.written.isEmpty(); }))
            return false;
        port.receive(id + "OK\r");
        return QTest::qWaitFor([&] { return port.written.contains(id + "OA\r"); }) &&
               QTest::qWaitFor([&] { return !link.isAnswerAwaited(); });
    }

    FakeSerialPort port;
    ControllerLink link;
    BoardService service;
    QDBusConnection bus;
    QString registration; // empty when the interface is on the bus
};
