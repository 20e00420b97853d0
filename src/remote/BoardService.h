// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "link/ControllerLink.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <optional>

// One copy's board on the session bus (org.vantrelo.Board1, described by its introspection
// XML): the link's commands, states and settings for other programs. It knows the link and
// the output names it is given, nothing of the window. Commands are refused, with nothing
// written, while the link is not connected, for an output outside 1 to 4, and once a command
// has failed and the program is ending: no call keeps a broken program alive. A command waits
// in the link's queue; its call is answered when it is written, or with why it never was: its
// deadline passed (the ...Before methods), or the connection ended first.
class BoardService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_PROPERTY(QString Name READ name)
    Q_PROPERTY(bool Connected READ isConnected)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList OutputNames READ outputNames)
    Q_PROPERTY(QStringList OutputStates READ outputStates)
    Q_PROPERTY(int Port READ port)
    Q_PROPERTY(QString BitRate READ bitRate)
    Q_PROPERTY(QString DeviceId READ deviceId)
public:
    BoardService(ControllerLink *link, QString name, QObject *parent = nullptr);

    // Exports the object and takes the copy's bus name. Returns why it could not, or nothing;
    // on failure the bus holds nothing of this copy.
    QString registerOn(QDBusConnection bus);

    void setOutputNames(const QStringList &names);

    QString name() const { return m_name; }
    bool isConnected() const { return m_link->isConnected() && !m_link->hasFailed(); }
    QString status() const { return m_link->statusText(); }
    QStringList outputNames() const { return m_outputNames; }
    QStringList outputStates() const;
    int port() const { return m_link->settings().portNumber; }
    QString bitRate() const { return m_link->settings().baudText; }
    QString deviceId() const { return m_link->settings().deviceId; }

public slots:
    void SetOutput(uint output, bool on);
    void ToggleOutput(uint output);
    void PulseOutput(uint output, uint milliseconds);
    void SetAllOutputs(bool on);
    // The same, carried out before the deadline (microseconds on CLOCK_MONOTONIC) or never.
    void SetOutputBefore(uint output, bool on, qulonglong deadline);
    void ToggleOutputBefore(uint output, qulonglong deadline);
    void PulseOutputBefore(uint output, uint milliseconds, qulonglong deadline);
    void SetAllOutputsBefore(bool on, qulonglong deadline);

signals:
    void OutputReported(uint output, bool on);
    // A call refused, or failed on the port, with why: for the program's messages.
    void callFailed(const QString &call, const QString &reason);

private:
    bool refuse(const QString &call, const char16_t *error, const QString &message);
    bool refused(const QString &call, uint output, bool single);
    using Send = std::function<void(CommandRequest)>;
    void command(const QString &call, uint output, bool single, std::optional<qint64> deadline,
                 const Send &send);
    void setOutput(uint output, bool on, std::optional<qint64> deadline);
    void toggleOutput(uint output, std::optional<qint64> deadline);
    void pulseOutput(uint output, uint milliseconds, std::optional<qint64> deadline);
    void setAllOutputs(bool on, std::optional<qint64> deadline);
    QString failureMessage(const CommandOutcome &outcome) const;
    QVariantMap properties() const;
    void announceChanges();

    ControllerLink *m_link;
    QString m_name;
    QStringList m_outputNames;
    std::optional<QDBusConnection> m_bus;
    QVariantMap m_announced; // the properties as last announced
};
