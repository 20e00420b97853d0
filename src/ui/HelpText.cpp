// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "HelpText.h"

QString helpText()
{
    return QStringLiteral("- Set COM port (1-16 after connecting USB hardware see COM port number "
                          "in Device Manager)\r\n"
                          "- Set Baud rate (9600) \r\n"
                          "- Set ID (device identifier): without or 1,2,3...\r\n"
                          "- Set Sample Time (STime=0 not in use)\r\n"
                          "- Opt1 - Opt3 are not used\r\n"
                          "Add user labels for output buttons\r\n"
                          "More devices can be connected to different ports and copy the exe "
                          "version  under a different name \r\n"
                          "and use the various COM ports.\r\n"
                          "More on: https://vantrelo.example\r\n");
}

QString settingsCaption()
{
    return QStringLiteral(" COM:    BAUD:          ID:           STime:     Opt1:       Opt2:");
}
