#pragma once

#include <QString>

#include <array>

// The operator's settings. OutName has indices 0 to 16; only 1 to 4 are stored and shown.
struct SettingsRecord
{
    qint16 CommPortNumber = 1;
    QString BaudText = QStringLiteral("9600");
    qint16 SampleTime = 0;
    QString DeviceId;
    std::array<QString, 17> OutName{};

    static constexpr int shownOutputs = 4;

    static SettingsRecord defaults()
    {
        SettingsRecord r;
        for (int i = 1; i <= shownOutputs; ++i)
            r.OutName[static_cast<size_t>(i)] = QStringLiteral("MyOut") + QString::number(i);
        return r;
    }
    const QString &outName(int i) const { return OutName.at(static_cast<size_t>(i)); }
    QString &outName(int i) { return OutName.at(static_cast<size_t>(i)); }

    friend bool operator==(const SettingsRecord &, const SettingsRecord &) = default;
};
