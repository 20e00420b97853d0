// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "Messages.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <optional>

// Says why on standard error, as "<program>: <message>", and gives the exit status back.
inline int fail(int status, const QString &message)
{
    Messages::say(Messages::Error, message);
    return status;
}

// Answers --help and --version, and refuses what the program does not take (exit status 2).
// Returns the exit status when the program must end here, before any window is made.
// With strict false, only --help and --version are looked for (the program's window toolkit
// has not taken its own options, such as -geometry, out of the list yet). With longHelpOnly,
// help is --help alone: -h is the program's own (a host, as mosquitto's clients take it).
inline std::optional<int> answerCommandLine(QCommandLineParser &parser,
                                            const QStringList &arguments, bool strict = true,
                                            bool longHelpOnly = false)
{
    const QCommandLineOption help =
        longHelpOnly ? QCommandLineOption(QStringLiteral("help"),
                                          QStringLiteral("Displays help on commandline options."))
                     : parser.addHelpOption();
    if (longHelpOnly)
        parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const bool parsed = parser.parse(arguments);
    const QByteArray name = QCoreApplication::applicationName().toLocal8Bit();
    if (parser.isSet(help) || (!longHelpOnly && parser.isSet(QStringLiteral("help-all")))) {
        const QString program = QFileInfo(arguments.value(0, QString::fromLatin1(name))).fileName();
        QString text = parser.helpText().replace(QStringLiteral("<executable_name>"), program);
        if (!arguments.value(0).isEmpty()) // the program as called, without its folder
            text.replace(u"Usage: " + arguments.value(0) + u' ', u"Usage: " + program + u' ');
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", name.constData(),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (!strict)
        return std::nullopt;
    QString error = parser.errorText();
    if (parsed && !parser.positionalArguments().isEmpty())
        error = u"unexpected argument '" + parser.positionalArguments().first() + u'\'';
    if (error.isEmpty())
        return std::nullopt;
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", name.constData(), qPrintable(error),
                 name.constData());
    return 2;
}
