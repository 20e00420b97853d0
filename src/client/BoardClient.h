// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingCall>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <optional>

class BoardProxy;

// What a program needs of the running copies on the session bus: which run, what each reports,
// calls to them, and their signals. Shared by vantrelo-ctl and the MQTT bridge.
class BoardClient : public QObject
{
    Q_OBJECT
public:
    struct Copy
    {
        QString service; // org.vantrelo.Board.<label>
        QString name;
        bool connected = false;
        QString status;
        QStringList outputNames;
        QStringList outputStates; // "on", "off", "unknown"
        int port = 0;
        QString bitRate;
        QString deviceId;
    };

    explicit BoardClient(QDBusConnection bus, QObject *parent = nullptr);

    QDBusConnection bus() const { return m_bus; }
    // How long every call waits for its reply (the bus's default, 25 s, until set).
    void setCallTimeout(int milliseconds);
    int callTimeout() const { return m_timeout; }

    // The bus names of the copies running now, sorted.
    QStringList runningCopies() const;
    // All of a copy's properties, or nothing when it does not answer (and why, in error).
    std::optional<Copy> describe(const QString &service, QDBusError *error = nullptr) const;

    // Calls that wait for the reply; an invalid error is success. Each command carries a
    // deadline a little short of the call time-out: the copy carries it out before then, or
    // never, and says which before the call times out here.
    QDBusError setOutput(const QString &service, uint output, bool on);
    QDBusError toggleOutput(const QString &service, uint output);
    QDBusError setAllOutputs(const QString &service, bool on);
    QDBusError pulseOutput(const QString &service, uint output, uint milliseconds);
    // The same without waiting, for a program that must go on serving others meanwhile.
    QDBusPendingCall requestSetOutput(const QString &service, uint output, bool on);
    QDBusPendingCall requestToggleOutput(const QString &service, uint output);
    QDBusPendingCall requestPulseOutput(const QString &service, uint output, uint milliseconds);
    QDBusPendingCall requestSetAllOutputs(const QString &service, bool on);
    // The bus's names (ListNames) and a copy's properties (GetAll), without waiting; the
    // replies go through runningCopies(reply) and fromProperties().
    QDBusPendingCall requestNames() const;
    QDBusPendingCall requestProperties(const QString &service) const;
    static QStringList runningCopies(const QStringList &busNames);

    // Delivers the copy's signals as outputReported and propertiesChanged, from now on and
    // whenever a process takes the copy's name again. Following a copy twice changes nothing.
    bool follow(const QString &service);
    // Announces copies as they start and quit (copyStarted, copyQuit).
    bool watchCopies();

    static Copy fromProperties(const QString &service, const QVariantMap &properties);

signals:
    void outputReported(const QString &service, uint output, bool on);
    void propertiesChanged(const QString &service, const QVariantMap &changed);
    void copyStarted(const QString &service);
    void copyQuit(const QString &service);

private slots:
    void onNameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    BoardProxy &proxy(const QString &service);
    qulonglong deadline() const;

    QDBusConnection m_bus;
    int m_timeout = -1;                     // the bus's default
    QHash<QString, BoardProxy *> m_proxies; // children of this object
    QSet<QString> m_followed;
};
