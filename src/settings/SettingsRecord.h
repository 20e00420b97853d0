// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

#include <array>

// The operator's settings, as the settings file holds them. A default-made record holds the
// defaults, which are only ever taken as a whole.
struct SettingsRecord
{
    static constexpr int outputCount = 4;

    qint16 portNumber = 1;
    QString baudText = QStringLiteral("9600");
    qint16 sampleTime = 0; // kept, shown and saved; nothing else uses it
    QString deviceId;      // may be empty
    std::array<QString, outputCount> outputNames = {
        QStringLiteral("MyOut1"), QStringLiteral("MyOut2"), QStringLiteral("MyOut3"),
        QStringLiteral("MyOut4")};

    friend bool operator==(const SettingsRecord &, const SettingsRecord &) = default;
};
