// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

// The window on the fake port (or a real one), in a temporary folder, with the exit question
// and the program's end replaced by recorders.

#include "FakeSerialPort.h"

#include "app/MainWindow.h"

#include <QApplication>
#include <QFile>
#include <QHelpEvent>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct WindowRig
{
    explicit WindowRig(std::unique_ptr<SerialPort> realPort = {}, const QString &folder = {},
                       const QString &name = QString("vantrelo"), double scale = 0.05)
        : port(realPort ? std::move(realPort) : std::make_unique<FakeSerialPort>()),
          fake(dynamic_cast<FakeSerialPort *>(port.get())),
          link(port.get(), LinkTimings{}.scaled(scale)),
          board(
              &link, [=, this] { return SettingsLocation::find(exeDir(folder), name, {}); },
              dir.filePath("own")),
          window(&link, &board,
                 {name, [this](QWidget *) { return ++asked, answer; },
                  [this](int code) { ends << code; },
                  [this](QWidget *parent, const QString &text) {
                      warnings << text;
                      if (realWarnings)
                          MainWindow::showWarning(parent, text);
                  }})
    {
    }

    QString exeDir(const QString &folder) const { return folder.isEmpty() ? dir.path() : folder; }
    const MainWindowUi &ui() const { return window.ui(); }
    // The tooltip as it shows when the mouse rests on the control.
    static QString toolTipOf(const QWidget *w)
    {
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), QPoint(2, 2));
        QApplication::sendEvent(const_cast<QWidget *>(w), &help);
        return w->toolTip();
    }
    QString statusText() const { return ui().statusLabel->text(); }
    QString iniPath() const { return board.savePath(); }
    static void type(const QLineEdit *box, const QString &text)
    {
        const_cast<QLineEdit *>(box)->setText(text);
    }

    [[nodiscard]] bool writeIni(const QByteArray &bytes) const
    {
        QFile f(dir.filePath("vantrelo.ini"));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
    // Loads, lets the controller answer the first handshake, and waits for the state query and
    // the quiet after it (a controller that leaves it unanswered). Whether all of it happened;
    // the test verifies it.
    [[nodiscard]] bool connect(const QByteArray &id = {})
    {
        if (!QFile::exists(dir.filePath("vantrelo.ini")) &&
            !writeIni("1,\"9600\",0,\"" + id +
                      "\"\r\n\"MyOut1\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n"))
            return false;
        window.load();
        if (!QTest::qWaitFor([&] { return !fake->written.isEmpty(); }))
            return false;
        fake->receive(id + "OK\r");
        return QTest::qWaitFor([&] { return fake->written.contains(id + "OA\r"); }) &&
               QTest::qWaitFor([&] { return !link.isAnswerAwaited(); });
    }

    QTemporaryDir dir;
    std::unique_ptr<SerialPort> port;
    FakeSerialPort *fake; // null on a real port
    ControllerLink link;
    BoardSettings board;
    MainWindow window;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    int asked = 0;
    QList<int> ends;
    QStringList warnings;
    bool realWarnings = false; // show them, modal, as the program does
};
