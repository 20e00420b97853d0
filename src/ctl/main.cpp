// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-ctl: switches and reads the outputs of running copies of Vantrelo over the session
// bus, and learns whether the board confirmed. Results on standard output, messages on
// standard error, control characters escaped in both. Exit status: 0 done and confirmed; 1 not
// connected, refused or not confirmed in time, or a copy that did not answer (list included);
// 2 a usage error (an output that is neither a name nor 1 to 4); 3 no such copy, several and no
// -b, or no session bus.

#include "client/BoardClient.h"
#include "common/BoardBus.h"
#include "common/CommandLine.h"
#include "common/Messages.h"

#include <QCoreApplication>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

#include <algorithm>

#include <cstdio>

namespace {

enum Exit
{
    Done = 0,
    Failed = 1,
    Usage = 2,
    NoCopy = 3,
};

void print(const QString &line)
{
    std::fputs(qPrintable(Messages::printable(line) + u'\n'), stdout);
    std::fflush(stdout);
}

void printJson(const QJsonValue &value)
{
    const QJsonDocument doc =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    print(QString::fromUtf8(doc.toJson(QJsonDocument::Compact)));
}

QJsonObject outputsJson(const BoardClient::Copy &copy)
{
    QJsonArray outputs;
    for (qsizetype i = 0; i < copy.outputStates.size(); ++i)
        outputs.append(QJsonObject{{QStringLiteral("output"), int(i + 1)},
                                   {QStringLiteral("name"), copy.outputNames.value(i)},
                                   {QStringLiteral("state"), copy.outputStates[i]}});
    return {{QStringLiteral("name"), copy.name},
            {QStringLiteral("connected"), copy.connected},
            {QStringLiteral("port"), copy.port},
            {QStringLiteral("status"), copy.status},
            {QStringLiteral("outputs"), outputs}};
}

// A whole decimal number as a script writes one: digits only, no sign, blank or leading zero.
std::optional<qint64> plainNumber(const QString &text)
{
    static const QRegularExpression digits(
        QRegularExpression::anchoredPattern(QStringLiteral("[1-9][0-9]{0,17}")));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

// Output numbers from the words: a word equal to an output's name is that output (an output
// without a name has none to match); otherwise a plain number from 1 to the outputs' count.
// Empty when one word is neither.
QList<uint> outputsNamed(const QStringList &words, const BoardClient::Copy &copy, QString *bad)
{
    QList<uint> outputs;
    for (const QString &word : words) {
        const qsizetype byName = word.isEmpty() ? -1 : copy.outputNames.indexOf(word);
        const auto n = plainNumber(word);
        if (byName >= 0 && byName < copy.outputStates.size())
            outputs << uint(byName + 1);
        else if (n && *n <= copy.outputStates.size())
            outputs << uint(*n);
        else
            return *bad = word, QList<uint>();
    }
    return outputs;
}

// A pulse's time: a whole number with ms, s or min ("500ms", "10s", "5min"), 1 ms to a day.
std::optional<quint32> duration(const QString &text)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("([1-9][0-9]{0,8})(ms|s|min)")));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const qint64 unit = m.captured(2) == u"ms" ? 1 : m.captured(2) == u"s" ? 1000 : 60000;
    const qint64 ms = m.captured(1).toLongLong() * unit;
    if (ms > qint64(BoardBus::maxPulseMs))
        return std::nullopt;
    return quint32(ms);
}

// The states each output must be reported in, in order; any state where one is not given.
using Wanted = QMap<uint, QList<std::optional<bool>>>;

// Waits until the board has reported each output in its wanted states, or the deadline passes.
// Returns what is still unconfirmed; contrary: the outputs reported in another state meanwhile.
Wanted awaitReports(BoardClient &client, const QString &service, Wanted wanted,
                    const QDeadlineTimer &deadline, const std::function<QDBusError()> &send,
                    QDBusError *error, QSet<uint> *contrary)
{
    QEventLoop loop;
    QObject::connect(&client, &BoardClient::outputReported, &loop,
                     [&](const QString &from, uint output, bool on) {
                         const auto it = wanted.find(output);
                         if (from != service || it == wanted.end())
                             return;
                         if (it->first().value_or(on) != on) {
                             contrary->insert(output);
                             return;
                         }
                         it->removeFirst();
                         if (it->isEmpty())
                             wanted.erase(it);
                         if (wanted.isEmpty())
                             loop.quit();
                     });
    QObject::connect(&client, &BoardClient::copyQuit, &loop, [&](const QString &gone) {
        if (gone == service)
            loop.quit();
    });
    *error = send(); // the echo may come while the call's reply is awaited
    if (error->isValid())
        return wanted;
    QTimer::singleShot(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline.remainingTimeAsDuration()),
        &loop, &QEventLoop::quit);
    if (!wanted.isEmpty())
        loop.exec();
    return wanted;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrelo-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Switches and reads the outputs of running copies of Vantrelo.\n\n"
        "Commands:\n"
        "  list                     running copies: name, connected or searching, port\n"
        "  state                    one line per output: number, name, on/off/unknown\n"
        "  on OUTPUT...|all         switch on, then wait for the board's confirmation\n"
        "  off OUTPUT...|all        switch off, likewise\n"
        "  toggle OUTPUT            as a click on the output's button\n"
        "  pulse OUTPUT DURATION    on now, off after DURATION (500ms, 10s, 5min), kept by\n"
        "                           the board; with --wait, until the board reports it off\n"
        "  watch                    a line for every report and status change\n"
        "OUTPUT is a number from 1 to 4 or an output's name. See vantrelo-ctl(1)."));
    const QCommandLineOption board({QStringLiteral("b"), QStringLiteral("board")},
                                   QStringLiteral("The copy named NAME (needed when several run)."),
                                   QStringLiteral("NAME"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("How long the whole command may take, the board's confirmation included "
                       "(default 2000)."),
        QStringLiteral("MS"), QStringLiteral("2000"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Machine-readable output (list, state, watch)."));
    const QCommandLineOption wait(
        QStringLiteral("wait"),
        QStringLiteral("pulse: wait until the board reports the output off again (the pulse's "
                       "time is added to the time-out)."));
    parser.addOptions({board, timeout, json, wait});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See above."),
                                 QStringLiteral("command [OUTPUT...]"));
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments(), false))
        return *status;
    if (!parser.errorText().isEmpty())
        return fail(Usage, parser.errorText() + u"\nTry 'vantrelo-ctl --help'.");
    QStringList words = parser.positionalArguments();
    const QString command = words.isEmpty() ? QString() : words.takeFirst();
    const auto timeoutNumber = plainNumber(parser.value(timeout));
    const bool timeoutOk = timeoutNumber && *timeoutNumber <= 86'400'000;
    const int timeoutMs = timeoutOk ? int(*timeoutNumber) : 0;
    const QStringList known = {QStringLiteral("list"),   QStringLiteral("state"),
                               QStringLiteral("on"),     QStringLiteral("off"),
                               QStringLiteral("toggle"), QStringLiteral("watch"),
                               QStringLiteral("pulse")};
    const bool switching = command == u"on" || command == u"off";
    if (!known.contains(command) || (switching && words.isEmpty()) ||
        (command == u"toggle" && words.size() != 1) || (command == u"pulse" && words.size() != 2) ||
        (!switching && command != u"toggle" && command != u"pulse" && !words.isEmpty()))
        return fail(Usage,
                    (command.isEmpty()
                         ? QStringLiteral("no command")
                         : u"cannot do '" + (QStringList{command} + words).join(u' ') + u'\'') +
                        u"\nTry 'vantrelo-ctl --help'.");
    if (!timeoutOk)
        return fail(Usage, u"--timeout takes milliseconds, 1 to 86400000, not '" +
                               parser.value(timeout) + u'\'');
    const std::optional<quint32> pulseMs =
        command == u"pulse" ? duration(words.takeLast()) : std::optional<quint32>();
    if (command == u"pulse" && !pulseMs)
        return fail(Usage, QStringLiteral("a pulse lasts 1 ms to a day: 500ms, 10s, 5min"));
    // The time-out bounds the whole command: every call gets what is left of it. Waiting for a
    // pulse's end takes the pulse's time more.
    const qint64 allowedMs = qint64(timeoutMs) + (parser.isSet(wait) ? pulseMs.value_or(0) : 0);
    const QDeadlineTimer deadline(allowedMs);

    if (parser.isSet(board))
        if (const QString refusal = BoardBus::nameRefusal(parser.value(board)); !refusal.isEmpty())
            return fail(Usage, u"-b: " + refusal);

    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(NoCopy, u"no session bus: " + bus.lastError().message());
    BoardClient client(bus);
    const auto bounded = [&] {
        client.setCallTimeout(int(std::max<qint64>(1, deadline.remainingTime())));
        return &client;
    };
    // A named copy is asked directly: one bus round trip fewer for a script's every call.
    const QStringList running =
        command == u"list" || !parser.isSet(board) ? bounded()->runningCopies() : QStringList();

    if (command == u"list") {
        // Every copy is asked at once, and each has the whole time-out to answer.
        QList<QDBusPendingCall> asked;
        client.setCallTimeout(timeoutMs);
        for (const QString &service : running)
            asked << client.requestProperties(service);
        QJsonArray all;
        bool silent = false;
        for (qsizetype i = 0; i < running.size(); ++i) {
            QDBusPendingReply<QVariantMap> reply = asked[i];
            reply.waitForFinished();
            if (reply.isError() && reply.error().type() == QDBusError::ServiceUnknown)
                continue; // quit meanwhile
            const QString name = BoardBus::copyName(running[i]);
            if (reply.isError()) {
                silent = true;
                if (parser.isSet(json))
                    all.append(QJsonObject{{QStringLiteral("name"), name},
                                           {QStringLiteral("answering"), false}});
                else
                    print(name + u" not answering");
                continue;
            }
            const BoardClient::Copy copy = BoardClient::fromProperties(running[i], reply.value());
            if (parser.isSet(json))
                all.append(outputsJson(copy));
            else
                print(copy.name + (copy.connected ? u" connected COM" : u" searching COM") +
                      QString::number(copy.port));
        }
        if (parser.isSet(json))
            printJson(all);
        if (silent)
            return fail(Failed,
                        QStringLiteral("a copy did not answer within %1 ms").arg(timeoutMs));
        return Done;
    }

    QString service;
    if (parser.isSet(board)) {
        service = BoardBus::serviceName(parser.value(board));
    } else if (running.size() == 1) {
        service = running.first();
    } else if (running.isEmpty()) {
        return fail(NoCopy, QStringLiteral("no copy of Vantrelo is running"));
    } else {
        QStringList names;
        for (const QString &s : running)
            if (const auto other = bounded()->describe(s))
                names << other->name;
        return fail(NoCopy,
                    u"several copies run (" + names.join(u", ") + u"): name one with -b NAME");
    }
    // Followed first: no report after the description is missed.
    client.follow(service);
    QDBusError unanswered;
    const auto copy = bounded()->describe(service, &unanswered);
    if (!copy && unanswered.type() != QDBusError::ServiceUnknown)
        return fail(Failed, u"the copy " + service + u" did not answer within " +
                                QString::number(timeoutMs) + u" ms: " + unanswered.message());
    if (!copy)
        return fail(NoCopy, u"no copy named '" + parser.value(board) + u"' is running");

    if (command == u"state") {
        if (parser.isSet(json))
            printJson(outputsJson(*copy));
        else
            for (qsizetype i = 0; i < copy->outputStates.size(); ++i) {
                const QString name = copy->outputNames.value(i);
                print(QString::number(i + 1) + u' ' + (name.isEmpty() ? QString() : name + u' ') +
                      copy->outputStates[i]);
            }
        return Done;
    }

    client.watchCopies(); // a copy that quits ends the wait at once
    if (command == u"watch") {
        const bool asJson = parser.isSet(json);
        QObject::connect(&client, &BoardClient::outputReported, &app,
                         [asJson](const QString &, uint output, bool on) {
                             if (asJson)
                                 printJson(QJsonObject{{QStringLiteral("output"), int(output)},
                                                       {QStringLiteral("on"), on}});
                             else
                                 print(u"output " + QString::number(output) +
                                       (on ? u" on" : u" off"));
                         });
        QObject::connect(&client, &BoardClient::propertiesChanged, &app,
                         [asJson](const QString &, const QVariantMap &changed) {
                             if (asJson) {
                                 printJson(QJsonObject::fromVariantMap(changed));
                                 return;
                             }
                             if (changed.contains(QStringLiteral("Connected")))
                                 print(changed.value(QStringLiteral("Connected")).toBool()
                                           ? QStringLiteral("connected")
                                           : QStringLiteral("not connected"));
                             if (changed.contains(QStringLiteral("Status")))
                                 print(u"status " +
                                       changed.value(QStringLiteral("Status")).toString());
                         });
        QObject::connect(&client, &BoardClient::copyQuit, &app, [&](const QString &gone) {
            if (gone == service)
                QCoreApplication::exit(fail(Failed, copy->name + u" quit"));
        });
        return QCoreApplication::exec();
    }

    // on, off, toggle
    Wanted wanted;
    std::function<QDBusError()> send;
    const bool all = switching && words == QStringList{QStringLiteral("all")};
    if (all) {
        const bool on = command == u"on";
        for (uint n = 1; n <= uint(copy->outputStates.size()); ++n)
            wanted[n] = {on};
        send = [&, on] { return bounded()->setAllOutputs(service, on); };
    } else {
        QString bad;
        const QList<uint> outputs = outputsNamed(words, *copy, &bad);
        if (outputs.isEmpty())
            return fail(Usage, copy->name + u" has no output '" + bad +
                                   u"': outputs are 1 to 4, or their names");
        if (command == u"toggle") {
            // The copy decides which way; the board's report after the toggle confirms it.
            const uint n = outputs.first();
            wanted[n] = {std::nullopt};
            send = [&, n] { return bounded()->toggleOutput(service, n); };
        } else if (command == u"pulse") {
            const uint n = outputs.first();
            wanted[n] = {true};
            if (parser.isSet(wait)) // and off again when the pulse ends
                wanted[n] << false;
            send = [&, n] { return bounded()->pulseOutput(service, n, *pulseMs); };
        } else {
            const bool on = command == u"on";
            for (const uint n : outputs)
                wanted[n] = {on};
            send = [&, outputs, on] {
                for (const uint n : outputs)
                    if (const QDBusError e = bounded()->setOutput(service, n, on); e.isValid())
                        return e;
                return QDBusError();
            };
        }
    }
    QDBusError error;
    QSet<uint> contrary;
    const Wanted unconfirmed =
        awaitReports(client, service, wanted, deadline, send, &error, &contrary);
    if (error.isValid())
        return fail(Failed, error.message() + u" (" + error.name() + u')');
    // A board that does not even report a pulse's start most likely predates pulses.
    const bool pulseIgnored = command == u"pulse" && unconfirmed == wanted;
    // All on leaves the outputs of an interlock group off, and the board reports them so.
    const bool interlocked = all && command == u"on" &&
                             std::any_of(unconfirmed.keyBegin(), unconfirmed.keyEnd(),
                                         [&](uint n) { return contrary.contains(n); });
    if (!unconfirmed.isEmpty()) {
        QStringList names;
        for (const uint n : unconfirmed.keys())
            names << QString::number(n) + u" (" + copy->outputNames.value(qsizetype(n) - 1) + u')';
        return fail(Failed,
                    u"the board did not confirm output " + names.join(u", ") + u" within " +
                        QString::number(allowedMs) + u" ms" +
                        (pulseIgnored ? QStringLiteral("; a board flashed before it kept time "
                                                       "itself ignores pulses: flash the current "
                                                       "firmware")
                         : interlocked
                             ? QStringLiteral("; the board reported them off: all on leaves the "
                                              "outputs of an interlock group off, so switch one "
                                              "of a group on by itself")
                             : QString()));
    }
    return Done;
}
