// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Arbitrary remote calls with arbitrary arguments, mixed with the link's own events (the
// handshake answered, state lines, the device lost, a Save), on the fake port. Checks: nothing
// crashes, and a call that must be refused (not connected, no such output) writes nothing.

#include "FakeSerialPort.h"

#include "remote/BoardService.h"

#include <QCoreApplication>

#include <cstdlib>
#include <cstring>

namespace {

struct Harness
{
    Harness()
    {
        static int argc = 1;
        static char name[] = "fuzz_remote";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        link = new ControllerLink(&port);
        service = new BoardService(link, QStringLiteral("fuzz"));
    }
    QCoreApplication *app;
    FakeSerialPort port;
    ControllerLink *link;
    BoardService *service;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness h;
    h.link->start({1, QStringLiteral("9600"), {}});
    h.port.open(1, {});
    size_t i = 0;
    const auto take = [&](size_t n) {
        uint32_t v = 0;
        if (i + n <= size)
            std::memcpy(&v, data + i, n);
        i += n;
        return v;
    };
    while (i < size) {
        const uint8_t op = data[i++] % 7;
        const qsizetype before = h.port.written.size();
        const bool connected = h.service->isConnected(); // false too once a command failed
        switch (op) {
        case 0: {
            const uint32_t output = take(4);
            h.service->SetOutput(output, take(1) & 1);
            if ((!connected || output < 1 || output > 4) && h.port.written.size() != before)
                std::abort();
            break;
        }
        case 1: {
            const uint32_t output = take(4);
            h.service->ToggleOutput(output);
            if ((!connected || output < 1 || output > 4) && h.port.written.size() != before)
                std::abort();
            break;
        }
        case 2:
            h.service->SetAllOutputs(take(1) & 1);
            if (!connected && h.port.written.size() != before)
                std::abort();
            break;
        case 3:
            h.port.receive("OK\r");
            break;
        case 4:
            h.port.receive(QByteArray("O") + char('0' + take(1) % 10) +
                           (take(1) & 1 ? "H\r" : "L\r"));
            break;
        case 5:
            h.port.loseDevice();
            break;
        default:
            h.link->start(h.link->settings()); // a Save: the port closes until the next attempt
            h.port.open(1, {});
        }
    }
    h.link->stop();
    h.port.written.clear();
    return 0;
}
