// Arbitrary bytes from the controller through line assembly and reply handling of the real
// window object (on the fake port). Checks: the line buffer stays bounded, and the quick
// output-state recognition agrees with comparing the line against all 32 texts.

#include "app/VantreloWindow.h"
#include "link/Frames.h"
#include "serial/FakeSerialComm.h"
#include "ReferenceMatch.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

struct Harness
{
    Harness()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz_reply";
        static char *argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
        port = new FakeSerialComm;
        VantreloWindow::Options o;
        o.exeDir = dir.path();
        o.exeBaseName = QStringLiteral("fuzz");
        using std::chrono::milliseconds;
        o.timings = {milliseconds(100000), milliseconds(100000), milliseconds(0), milliseconds(0)};
        o.endProgram = [](int) {};
        window = new VantreloWindow(port, o);
        window->Form_Load();
        port->setPortOpen(true);
    }
    QApplication *app;
    QTemporaryDir dir;
    FakeSerialComm *port;
    VantreloWindow *window;
};

void checkRecognition(const QString &line, const QString &id)
{
    const auto expected = referenceMatch(line, id);
    const auto got = Frames::matchOutputState(line, id);
    if (got.has_value() != expected.has_value() ||
        (got && (got->output != expected->output || got->on != expected->on)))
        std::abort();
}

Harness *harness = nullptr;

} // namespace

// The window is made once, outside the inputs, so that it is not counted as their leak.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = *harness;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    h.port->receive(bytes);
    QCoreApplication::processEvents();
    if (h.window->rxLine().pending().size() > 4096)
        std::abort();
    for (const QByteArray &line : bytes.split('\r')) {
        checkRecognition(QString::fromLatin1(line), QString());
        checkRecognition(QString::fromLatin1(line), QStringLiteral("1"));
    }
    return 0;
}
