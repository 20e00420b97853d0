#pragma once

// A window on the fake port (or any port), in a temporary folder, with the exit question and
// the program's end replaced by recorders.

#include "app/VantreloWindow.h"
#include "serial/FakeSerialComm.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

struct StatusEvent
{
    qint64 at; // ms since the rig was made
    QString text;
    ColourWord colour;
};

inline LinkTimings fastTimings()
{
    using std::chrono::milliseconds;
    return {milliseconds(200), milliseconds(500), milliseconds(60), milliseconds(150)};
}

struct WindowRig
{
    explicit WindowRig(LinkTimings timings = fastTimings(), SerialComm *port = nullptr,
                       QString folder = {}, QString baseName = QStringLiteral("vantrelo"))
        : fake(port ? nullptr : new FakeSerialComm)
    {
        clock.start();
        VantreloWindow::Options options;
        options.exeDir = folder.isEmpty() ? dir.path() : folder;
        options.exeBaseName = baseName;
        options.timings = timings;
        options.askExit = [this](QWidget *) {
            ++asked;
            return answer;
        };
        options.endProgram = [this](int code) { ends << std::make_pair(clock.elapsed(), code); };
        window = std::make_unique<VantreloWindow>(port ? port : fake, options);
        QObject::connect(window.get(), &VantreloWindow::statusShown, window.get(),
                         [this](const QString &text, ColourWord colour) {
                             status << StatusEvent{clock.elapsed(), text, colour};
                         });
    }

    const MainWindowUi &ui() const { return window->ui(); }
    QString statusText() const { return ui().lblStatus->text(); }
    ColourWord statusColour() const { return ui().lblStatus->backColour(); }
    QString iniPath() const { return dir.filePath(QStringLiteral("vantrelo.ini")); }

    // Writes the settings file before the window loads it.
    void writeIni(const QByteArray &bytes) const
    {
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray readIni() const
    {
        QFile f(iniPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    // Runs fn inside the state query's wait, right after the handshake answer turned the
    // status green.
    void duringQueryWait(std::function<void()> fn)
    {
        auto once = std::make_shared<bool>(false);
        QObject::connect(window.get(), &VantreloWindow::statusShown, window.get(),
                         [once, fn](const QString &, ColourWord colour) {
                             if (colour == Colours::StatusConnected && !*once) {
                                 *once = true;
                                 QTimer::singleShot(0, fn);
                             }
                         });
    }

    // Loads and waits for the first connection attempt.
    void startAndFirstAttempt()
    {
        window->Form_Load();
        QTRY_VERIFY_WITH_TIMEOUT(fake->opens == 1 && !fake->written.isEmpty(), 3000);
    }
    // The controller answers the handshake and the state query goes out.
    void connect(const QByteArray &id = QByteArray())
    {
        startAndFirstAttempt();
        fake->receive(id + "OK\r");
        QTRY_VERIFY_WITH_TIMEOUT(fake->written.contains(id + "OA\r"), 3000);
    }

    QTemporaryDir dir;
    FakeSerialComm *fake; // owned by the window
    std::unique_ptr<VantreloWindow> window;
    QElapsedTimer clock;
    QList<StatusEvent> status;
    QList<std::pair<qint64, int>> ends;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    int asked = 0;
};
