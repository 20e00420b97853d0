// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// An empty Qt 6 window of the program's size: the reference for start-up time and memory.
// With --label it shows one line of text, which adds the font database's start-up.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    if (argc > 1 && QLatin1StringView(argv[1]) == QLatin1StringView("--label"))
        (new QLabel(QStringLiteral("Status:"), &window))->move(8, 8);
    window.setWindowTitle(QStringLiteral("empty"));
    window.setFixedSize(519, 297);
    window.show();
    return QApplication::exec();
}
