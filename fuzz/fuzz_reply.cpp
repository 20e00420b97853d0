// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Arbitrary bytes from the controller through line assembly and reply handling of the link
// (on the fake port). Checks: nothing crashes, a shown line stays within the line bound, and
// only a recognised state line changes an output's state.

#include "FakeSerialPort.h"

#include "link/ControllerLink.h"
#include "link/Frames.h"

#include <QCoreApplication>

#include <cstdlib>

namespace {

struct Harness
{
    Harness()
    {
        static int argc = 1;
        static char name[] = "fuzz_reply";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        link = new ControllerLink(&port);
        link->start({1, QStringLiteral("9600"), QStringLiteral("1")});
        port.open(1, {});
    }
    QCoreApplication *app;
    FakeSerialPort port;
    ControllerLink *link;
    QByteArray unfinished; // the end of the stream after its last CR
};

Harness *harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = *harness;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto before = h.link->outputState(2);
    h.port.receive(bytes);
    if (h.link->statusText().size() > 4096 + 64)
        std::abort();
    // Output 2 changed only if a line reported it (perhaps begun by the input before; LFs are
    // dropped from lines).
    const QByteArray stream = QByteArray(h.unfinished + bytes).replace('\n', QByteArray());
    if (h.link->outputState(2) != before && !stream.contains("1O2H\r") &&
        !stream.contains("1O2L\r"))
        std::abort();
    h.unfinished = stream.mid(stream.lastIndexOf('\r') + 1).right(8);
    // No event loop runs here: drop the state queries the handshakes scheduled, so that nothing
    // piles up from one input to the next.
    h.link->stop();
    h.port.open(1, {});
    return 0;
}
