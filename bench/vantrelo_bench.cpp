// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Receive-path, latency and idle figures of the real program path:
// pty -> QSerialPort -> the link's line assembly and reply handling -> the button's colour word.
//
//   vantrelo_bench throughput [lines]   as fast as a feeder thread can write
//   vantrelo_bench rate [seconds]       at the byte rate of 921,600 baud
//   vantrelo_bench latency [samples]    CR written -> colour word changed
//   vantrelo_bench idle [seconds]       CPU while searching, then while connected
//   vantrelo_bench fatal                CPU during the 3 s wait before the program ends
//   vantrelo_bench remote [calls]       SetOutput over a private session bus -> frame on the pty
//   vantrelo_bench mqtt-latency PORT COPY TAG [commands]
//                                       set published -> state published back, through a broker
//                                       on 127.0.0.1:PORT, the bridge, the bus and the copy
//   vantrelo_bench mqtt-load PORT COPIES SECONDS RATE
//                                       commands to copies c01..cNN at RATE a second: states
//                                       lost or duplicated
//   vantrelo_bench callgrind [lines]    instructions per line on the fake port (under callgrind)
//   vantrelo_bench board RIG FIRMWARE [clicks]
//                                       click -> pin change, and click -> echo recoloured, on the
//                                       emulated board paced to real time at 9600 baud
//   vantrelo_bench eeprom [changes]    the ring of last states on the protocol core: bytes written
//                                       a change, the busiest cell's writes, the life it gives
//   vantrelo_bench board-restore RIG FIRMWARE
//                                       a reset to the pins restored from the EEPROM, in emulated
//                                       microseconds, on a board that remembers output 1 on
//   vantrelo_bench board-rate RIG FIRMWARE [calls]
//                                       SetOutput calls as fast as the bus takes them, through the
//                                       paced link to that board: commands a second, and lost
// Each prints "name value unit" lines.

extern "C" {
#include "protocol.h"
}

#include "Pty.h"
#include "PtyPeer.h"

#include "FakeSerialPort.h"

#include "TestSupport.h"

#include "app/MainWindow.h"
#include "common/BoardBus.h"
#include "mqtt/MqttClient.h"
#include "mqtt/Topics.h"
#include "remote/BoardService.h"
#include "serial/SystemSerialPort.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef VANTRELO_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#endif

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

double threadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double processCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void report(const QByteArray &name, double value, const char *unit)
{
    if (value >= 1000)
        std::printf("%s %.0f %s\n", name.constData(), value, unit);
    else
        std::printf("%s %.3g %s\n", name.constData(), value, unit);
    std::fflush(stdout);
}

// Lets events run, sleeping, until done() holds (checked every 10 ms) or the time is up.
template <typename Pred> bool runUntil(Pred done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start(10);
    if (!done())
        loop.exec();
    return done();
}

// The window of a copy named "bench" in the folder, its settings file there.
struct BenchWindow
{
    BenchWindow(ControllerLink *link, const QString &folder,
                MainWindow::ProgramEnd end = MainWindow::endProcess)
        : settings(
              link, [folder] { return SettingsLocation::find(folder, "bench", {}); }, folder),
          window(link, &settings, {QStringLiteral("bench"), MainWindow::askExitQuestion, end})
    {
        window.load();
    }
    BoardSettings settings;
    MainWindow window;
};

// Lets events run for the given time with no wake-ups of its own.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window on a real QSerialPort, its COM1 a link to the pty; connected on request.
struct PtyRig
{
    explicit PtyRig(LinkTimings timings)
        : port(dir.path(), [] { return QStringList(); }), link(&port, timings),
          copy(&link, dir.path(), [this](int) { ended = true; })
    {
        if (const QString e = pty.open(dir.filePath(QStringLiteral("COM1"))); !e.isEmpty())
            qFatal("pty: %s", qPrintable(e));
        feeder = std::make_unique<PtyPeer>(pty.controllerFd());
        // After the window's own handler: the colour word has changed when this runs.
        QObject::connect(&link, &ControllerLink::outputReported, &copy.window, [this] {
            ++shown;
            if (stamps)
                stamps->push_back(Clock::now());
        });
    }
    bool connect()
    {
        if (!runUntil([&] { return feeder->received().contains("AT\r"); }, 10000))
            return false;
        feeder->write("OK\r", 3);
        return runUntil([&] { return feeder->received().contains("OA\r"); }, 5000);
    }

    QTemporaryDir dir;
    SystemSerialPort port;
    ControllerLink link;
    BenchWindow copy;
    Pty pty;
    std::unique_ptr<PtyPeer> feeder;
    long shown = 0;
    std::vector<Clock::time_point> *stamps = nullptr;
    bool ended = false;
};

LinkTimings quickStart()
{
    return {milliseconds(50), milliseconds(5000), milliseconds(200), milliseconds(3000)};
}

int throughput(long lines)
{
    PtyRig rig(quickStart());
    if (!rig.connect())
        return 1;
    QByteArray data;
    for (long i = 0; i < lines; ++i)
        data += (i % 2) ? "O1L\r" : "O1H\r";
    const double cpu0 = threadCpu();
    QElapsedTimer wall;
    wall.start();
    std::thread writer([&] { rig.feeder->write(data.constData(), size_t(data.size())); });
    const bool ok = runUntil([&] { return rig.shown >= lines; }, 120000);
    const double secs = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = threadCpu() - cpu0;
    writer.join();
    if (!ok)
        std::printf("incomplete: %ld of %ld lines\n", rig.shown, lines);
    report("throughput_lines_per_s", double(rig.shown) / secs, "lines/s");
    report("throughput_cpu_per_line", cpu / double(rig.shown) * 1e6, "us");
    return ok ? 0 : 1;
}

int rate(int seconds)
{
    PtyRig rig(quickStart());
    if (!rig.connect())
        return 1;
    // 921,600 baud, 10 bits a character: 92,160 bytes/s, sent every millisecond.
    const double bytesPerSecond = 92160.0;
    std::atomic<long> sent{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const auto start = Clock::now();
        double owed = 0;
        long lines = 0;
        while (!stop) {
            std::this_thread::sleep_until(start + milliseconds(lines / 23 + 1));
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            owed = elapsed * bytesPerSecond / 4.0 - double(lines);
            QByteArray chunk;
            for (; owed >= 1; owed -= 1, ++lines)
                chunk += (lines % 2) ? "O2L\r" : "O2H\r";
            rig.feeder->write(chunk.constData(), size_t(chunk.size()));
            sent = lines;
        }
    });
    const double cpu0 = threadCpu();
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    stop = true;
    writer.join();
    runUntil([&] { return rig.shown >= sent; }, 3000);
    const double cpu = threadCpu() - cpu0;
    const double secs = double(wall.nsecsElapsed()) / 1e9;
    report("rate921600_lines_sent", double(sent), "lines");
    report("rate921600_lines_lost", double(sent - rig.shown), "lines");
    report("rate921600_cpu_share", cpu / secs * 100.0, "%");
    return 0;
}

int latency(int samples)
{
    PtyRig rig(quickStart());
    if (!rig.connect())
        return 1;
    runUntil([&] { return rig.shown >= 4; }, 2000); // the answer to the state query
    std::vector<Clock::time_point> written(static_cast<size_t>(samples));
    std::vector<Clock::time_point> seen;
    seen.reserve(size_t(samples));
    rig.stamps = &seen;
    std::thread writer([&] {
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(milliseconds(2));
            const char *line = (i % 2) ? "O3L\r" : "O3H\r";
            rig.feeder->write(line, 3);
            written[size_t(i)] = Clock::now(); // the CR goes out now
            rig.feeder->write(line + 3, 1);
        }
    });
    runUntil([&] { return seen.size() >= size_t(samples); }, samples * 10 + 5000);
    writer.join();
    std::vector<double> us;
    for (size_t i = 0; i < seen.size() && i < written.size(); ++i)
        us.push_back(std::chrono::duration<double, std::micro>(seen[i] - written[i]).count());
    std::sort(us.begin(), us.end());
    if (us.empty())
        return 1;
    report("latency_median", us[us.size() / 2] / 1000.0, "ms");
    report("latency_p99", us[std::min(us.size() - 1, us.size() * 99 / 100)] / 1000.0, "ms");
    report("latency_max", us.back() / 1000.0, "ms");
    return 0;
}

int idle(int seconds)
{
    PtyRig rig(LinkTimings{}); // the real timings
    QElapsedTimer wall;
    auto measure = [&](const char *name) {
        const double cpu0 = processCpu();
        wall.start();
        runFor(seconds * 1000);
        report(name, (processCpu() - cpu0) / (double(wall.nsecsElapsed()) / 1e9) * 100.0, "%");
    };
    measure("idle_searching_cpu");
    if (!rig.connect())
        return 1;
    rig.feeder->write("O1L\rO2L\rO3L\rO4L\r", 16);
    runUntil([&] { return rig.shown >= 4; }, 2000);
    measure("idle_connected_cpu");
    return 0;
}

int fatal()
{
    PtyRig rig(LinkTimings{});
    if (!rig.connect())
        return 1;
    const double cpu0 = processCpu();
    QElapsedTimer wall;
    wall.start();
    rig.copy.window.saveSettings();  // Save closes the port ...
    rig.link.switchAllOutputs(true); // ... so this command fails: the 3 s wait, then the end
    runFor(3100);                    // one timer, no polling: what the wait itself costs
    report("fatal_wait_duration", double(wall.elapsed()), "ms");
    report("fatal_wait_cpu", (processCpu() - cpu0) * 1000.0, "ms");
    return rig.ended ? 0 : 1;
}

// The remote path: a second bus connection calls SetOutput, asynchronously, through a private
// dbus-daemon; the time runs until the frame has been read from the pty.
int remote(int calls)
{
    TestSupport::PrivateBus daemon;
    if (daemon.address().isEmpty())
        return std::fprintf(stderr, "no dbus-daemon\n"), 1;
    PtyRig rig(quickStart());
    BoardService service(&rig.link, QStringLiteral("bench"));
    const QDBusConnection serviceBus =
        QDBusConnection::connectToBus(daemon.address(), QStringLiteral("service"));
    const QDBusConnection callerBus =
        QDBusConnection::connectToBus(daemon.address(), QStringLiteral("caller"));
    if (const QString failure = service.registerOn(serviceBus); !failure.isEmpty())
        return std::fprintf(stderr, "%s\n", qPrintable(failure)), 1;
    if (!rig.connect())
        return 1;
    runFor(300); // the state query has gone out
    std::vector<double> us;
    for (int i = 0; i < calls; ++i) {
        // Nothing in flight: the peer does not echo, so the link waits out the wire time.
        if (!runUntil([&] { return !rig.link.isAnswerAwaited(); }, 2000))
            return std::fprintf(stderr, "call %d: the last is still awaited\n", i), 1;
        const qsizetype before = rig.feeder->received().size();
        QDBusMessage call = QDBusMessage::createMethodCall(
            BoardBus::serviceName(QStringLiteral("bench")),
            QString::fromUtf16(BoardBus::objectPath), QString::fromUtf16(BoardBus::interfaceName),
            QStringLiteral("SetOutput"));
        call << 1u << bool(i % 2);
        const auto sent = Clock::now();
        callerBus.asyncCall(call);
        if (!runUntil(
                [&] {
                    return rig.feeder->received().endsWith('\r') &&
                           rig.feeder->received().size() > before;
                },
                2000))
            return std::fprintf(stderr, "call %d: no frame\n", i), 1;
        us.push_back(
            std::chrono::duration<double, std::micro>(rig.feeder->lastRead() - sent).count());
    }
    // The floor: a round trip of the bus's own Peer.Ping to the same service.
    std::vector<double> pingUs;
    for (int i = 0; i < calls; ++i) {
        const QDBusMessage ping = QDBusMessage::createMethodCall(
            BoardBus::serviceName(QStringLiteral("bench")),
            QString::fromUtf16(BoardBus::objectPath), QStringLiteral("org.freedesktop.DBus.Peer"),
            QStringLiteral("Ping"));
        const auto sent = Clock::now();
        callerBus.call(ping);
        pingUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    for (auto *v : {&us, &pingUs})
        std::sort(v->begin(), v->end());
    const auto p99 = [](const std::vector<double> &v) {
        return v[std::min(v.size() - 1, v.size() * 99 / 100)] / 1000.0;
    };
    report("remote_set_to_frame_median", us[us.size() / 2] / 1000.0, "ms");
    report("remote_set_to_frame_p99", p99(us), "ms");
    report("remote_ping_median", pingUs[pingUs.size() / 2] / 1000.0, "ms");
    report("remote_ping_p99", p99(pingUs), "ms");
    return 0;
}

// A client of the broker on 127.0.0.1:port, connected, or nothing.
std::unique_ptr<MqttClient> brokerClient(int port, const QString &id)
{
    MqttClient::Options options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = port;
    options.clientId = id;
    auto client = std::make_unique<MqttClient>(options);
    if (!client->prepare().isEmpty())
        return nullptr;
    client->start();
    if (!runUntil([&] { return client->isConnected(); }, 5000))
        return nullptr;
    return client;
}

// The bridges of the benchmark run under this node.
Topics::Prefixes benchPrefixes()
{
    Topics::Prefixes prefixes;
    prefixes.node = QStringLiteral("bench");
    return prefixes;
}

int mqttLatency(int port, const QString &copy, const QByteArray &tag, int commands)
{
    const auto client = brokerClient(port, QStringLiteral("bench-latency"));
    if (!client)
        return std::fprintf(stderr, "no broker\n"), 1;
    const Topics::Prefixes prefixes = benchPrefixes();
    const QString state = Topics::outputState(prefixes, copy, 1);
    QByteArray last;
    Clock::time_point seen;
    QObject::connect(client.get(), &MqttClient::messageReceived, client.get(),
                     [&](const QString &topic, const QByteArray &payload, bool) {
                         if (topic == state) {
                             last = payload;
                             seen = Clock::now();
                         }
                     });
    client->subscribe(state);
    runFor(300); // the retained state
    std::vector<double> us;
    for (int i = 0; i < commands; ++i) {
        const QByteArray wanted = last == "ON" ? "OFF" : "ON";
        last.clear();
        const auto sent = Clock::now();
        client->publish(Topics::outputCommand(prefixes, copy, 1), wanted, false);
        QEventLoop loop; // woken by the socket; no polling in the measurement
        QMetaObject::Connection done =
            QObject::connect(client.get(), &MqttClient::messageReceived, &loop, [&] {
                if (last == wanted)
                    loop.quit();
            });
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(done);
        if (last != wanted)
            return std::fprintf(stderr, "command %d: no state back\n", i), 1;
        us.push_back(std::chrono::duration<double, std::micro>(seen - sent).count());
    }
    std::sort(us.begin(), us.end());
    report(tag + "_set_to_state_median", us[us.size() / 2] / 1000.0, "ms");
    report(tag + "_set_to_state_p99", us[std::min(us.size() - 1, us.size() * 99 / 100)] / 1000.0,
           "ms");
    return 0;
}

int mqttLoad(int port, int copies, int seconds, int rate)
{
    const auto client = brokerClient(port, QStringLiteral("bench-load"));
    if (!client)
        return std::fprintf(stderr, "no broker\n"), 1;
    const Topics::Prefixes prefixes = benchPrefixes();
    QHash<QString, QByteArray> last;     // by state topic
    QHash<QString, long> received, sent; // after the start
    bool counting = false;
    QObject::connect(client.get(), &MqttClient::messageReceived, client.get(),
                     [&](const QString &topic, const QByteArray &payload, bool) {
                         last[topic] = payload;
                         if (counting)
                             ++received[topic];
                     });
    client->subscribe(prefixes.prefix + u'/' + prefixes.node + QStringLiteral("/+/output/+"));
    runFor(1000); // the retained states
    counting = true;
    // Each command switches an output to the opposite of its last state, so every command is
    // answered by exactly one state; the outputs take turns.
    QHash<QString, QByteArray> wanted;
    long commands = 0;
    QElapsedTimer wall;
    wall.start();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, client.get(), [&] {
        const long due = long(wall.elapsed() * rate / 1000);
        for (; commands < due; ++commands) {
            const QString copy =
                QStringLiteral("c%1").arg(commands % copies + 1, 2, 10, QChar(u'0'));
            const int output = int(commands / copies % Topics::outputCount) + 1;
            const QString topic = Topics::outputState(prefixes, copy, output);
            QByteArray &w = wanted[topic];
            if (w.isEmpty())
                w = last.value(topic, "OFF");
            w = w == "ON" ? "OFF" : "ON";
            ++sent[topic];
            client->publish(Topics::outputCommand(prefixes, copy, output), w, false);
        }
    });
    tick.start(10);
    runFor(seconds * 1000);
    tick.stop();
    runFor(2000); // the last echoes
    long lost = 0, duplicated = 0;
    for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
        const long got = received.value(it.key());
        lost += std::max(0L, it.value() - got);
        duplicated += std::max(0L, got - it.value());
    }
    report("mqtt_load_commands", double(commands), "commands");
    report("mqtt_load_lost", double(lost), "states");
    report("mqtt_load_duplicated", double(duplicated), "states");
    return 0;
}

// A new bridge, under a node of its own, started beside the copies on the bus: exec to its first
// publication, and to the availability of every copy that answers (one may be stopped).
int mqttStart(int port, const QString &program, int answering)
{
    const auto client = brokerClient(port, QStringLiteral("bench-start"));
    if (!client)
        return std::fprintf(stderr, "no broker\n"), 1;
    Clock::time_point first{}, all{};
    QSet<QString> copies;
    QObject::connect(client.get(), &MqttClient::messageReceived, client.get(),
                     [&](const QString &topic, const QByteArray &, bool) {
                         if (first == Clock::time_point{})
                             first = Clock::now();
                         if (topic.endsWith(u"/availability"))
                             copies.insert(topic);
                         if (copies.size() == answering && all == Clock::time_point{})
                             all = Clock::now();
                     });
    client->subscribe(QStringLiteral("vantrelo/start/#"));
    runFor(300);
    QProcess bridge;
    const auto t0 = Clock::now();
    bridge.start(program,
                 {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                  QString::number(port), QStringLiteral("--node-id"), QStringLiteral("start"),
                  QStringLiteral("--client-id"), QStringLiteral("bench-start-bridge")});
    if (!runUntil([&] { return all != Clock::time_point{}; }, 10000))
        return std::fprintf(stderr, "%lld copies bridged\n", static_cast<long long>(copies.size())),
               1;
    const auto ms = [&](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(t - t0).count();
    };
    report("mqtt_start_first_ms", ms(first), "ms");
    report("mqtt_start_all_ms", ms(all), "ms");
    bridge.terminate();
    bridge.waitForFinished();
    return 0;
}

int callgrind(long lines)
{
    FakeSerialPort port;
    ControllerLink link(&port,
                        {milliseconds(10), milliseconds(5000), milliseconds(0), milliseconds(0)});
    QTemporaryDir dir;
    BenchWindow copy(&link, dir.path());
    const MainWindow &window = copy.window;
    runUntil([&] { return port.isOpen(); }, 2000);
    port.receive("OK\r");
    runUntil([&] { return !port.written.isEmpty() && port.written.last() == "OA\r"; }, 2000);
    QByteArray chunk;
    for (int i = 0; i < 100; ++i)
        chunk += (i % 2) ? "O1L\r" : "O1H\r";
    long shown = 0;
    QObject::connect(&link, &ControllerLink::outputReported, &window, [&] { ++shown; });
#ifdef VANTRELO_HAVE_CALLGRIND
    CALLGRIND_START_INSTRUMENTATION;
#endif
    while (shown < lines)
        port.receive(chunk);
#ifdef VANTRELO_HAVE_CALLGRIND
    CALLGRIND_STOP_INSTRUMENTATION;
#endif
    report("callgrind_lines", double(shown), "lines");
    return 0;
}

// vantrelod on a pty of the bench's own (the COM1 beside its settings file) on the session bus
// in the environment: exec to the first handshake frame read from the pty (median of runs), its
// resident memory 1 s after start, and its CPU idle while searching and while connected.
int service(const QString &program, int runs, int idleSeconds)
{
    QTemporaryDir dir;
    Pty pty;
    if (const QString e = pty.open(dir.filePath(QStringLiteral("COM1"))); !e.isEmpty())
        return std::fprintf(stderr, "pty: %s\n", qPrintable(e)), 1;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    QFile file(ini);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write("1,\"9600\",0,\"\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n") < 0)
        return 1;
    file.close();
    PtyPeer board(pty.controllerFd());
    const auto procStat = [](qint64 pid, int field) { // from /proc/<pid>/stat or status
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return 0.0;
        const QList<QByteArray> fields = f.readAll().split(' ');
        return fields.value(field).toDouble();
    };
    std::vector<double> firstFrame;
    QProcess daemon;
    for (int run = 0; run < runs; ++run) {
        const qsizetype before = board.received().size();
        const auto t0 = Clock::now();
        daemon.start(program, {QStringLiteral("--settings"), ini, QStringLiteral("bench")});
        if (!runUntil([&] { return board.received().mid(before).contains("AT\r"); }, 10000))
            return std::fprintf(stderr, "no handshake from %s\n", qPrintable(program)), 1;
        // The drain thread stamps the read: the figure does not wait for this loop's polling.
        firstFrame.push_back(
            std::chrono::duration<double, std::milli>(board.lastRead() - t0).count());
        if (run == runs - 1)
            break;
        daemon.terminate();
        daemon.waitForFinished();
    }
    std::sort(firstFrame.begin(), firstFrame.end());
    report("service_first_frame_ms", firstFrame[firstFrame.size() / 2], "ms");
    runFor(1000);
    QFile status(QStringLiteral("/proc/%1/status").arg(daemon.processId()));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                report("service_rss_kib", line.mid(6).trimmed().split(' ')[0].toDouble(), "KiB");
    const double hz = double(::sysconf(_SC_CLK_TCK));
    const auto measure = [&](const char *name) {
        const double ticks = procStat(daemon.processId(), 13) + procStat(daemon.processId(), 14);
        runFor(idleSeconds * 1000);
        const double used = procStat(daemon.processId(), 13) + procStat(daemon.processId(), 14);
        report(name, (used - ticks) / hz / idleSeconds * 100.0, "%");
    };
    measure("service_idle_searching_cpu");
    board.write("OK\r", 3);
    if (!runUntil([&] { return board.received().contains("OA\r"); }, 5000))
        return 1;
    board.write("O1L\rO2L\rO3L\rO4L\r", 16);
    runFor(500);
    measure("service_idle_connected_cpu");
    daemon.terminate();
    daemon.waitForFinished();
    return 0;
}

double epochSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts); // the rig stamps pin changes on the same clock
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The firmware on the emulated board, paced to real time, its UART linked as COM1 in a folder
// of its own; its log of pin changes read as it grows.
struct Rig
{
    bool start(const QString &rig, const QString &firmware, const QStringList &extra = {})
    {
        emulator.start(
            rig, QStringList{"--firmware", firmware, "--link", dir.filePath("COM1"), "--realtime"} +
                     extra);
        return runUntil([&] { return readLog().contains("ready on"); }, 5000);
    }
    QByteArray &readLog() { return log += emulator.readAllStandardOutput(); }
    ~Rig()
    {
        emulator.terminate();
        emulator.waitForFinished(3000);
    }
    QTemporaryDir dir;
    QProcess emulator;
    QByteArray log;
};

int board(const QString &rigPath, const QString &firmware, int clicks)
{
    Rig rig;
    if (!rig.start(rigPath, firmware))
        return std::fprintf(stderr, "the board rig did not start\n"), 1;
    QTemporaryDir &dir = rig.dir;
    QByteArray &log = rig.log;
    const auto readLog = [&] { return rig.readLog(); };
    QFile ini(dir.filePath("bench.ini")); // the board answers to identifier 1
    if (!ini.open(QIODevice::WriteOnly) ||
        ini.write("1,\"9600\",0,\"1\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n") < 0)
        return 1;
    ini.close();
    SystemSerialPort port(dir.path(), [] { return QStringList(); });
    ControllerLink link(&port, LinkTimings{}.scaled(0.1));
    BenchWindow copy(&link, dir.path());
    const MainWindow &window = copy.window;
    if (!runUntil([&] { return link.outputState(4).has_value(); }, 10000))
        return std::fprintf(stderr, "no state query answered: %s\n", qPrintable(link.statusText())),
               1;
    double echoed = 0;
    QObject::connect(&link, &ControllerLink::outputReported, &window,
                     [&] { echoed = epochSeconds(); });
    std::vector<double> toPin, toEcho;
    for (int i = 0; i < clicks; ++i) {
        const qsizetype seen = readLog().count('\n');
        echoed = 0;
        const double clicked = epochSeconds();
        QTest::mouseClick(window.ui().outputButtons[0], Qt::LeftButton);
        if (!runUntil([&] { return echoed > 0 && readLog().count('\n') > seen; }, 2000))
            return std::fprintf(stderr, "click %d: no echo or no pin change\n", i), 1;
        const QList<QByteArray> pinLine = log.trimmed().split('\n').last().split(' ');
        toPin.push_back((pinLine.value(0).toDouble() - clicked) * 1000);
        toEcho.push_back((echoed - clicked) * 1000);
        runFor(20);
    }
    std::sort(toPin.begin(), toPin.end());
    std::sort(toEcho.begin(), toEcho.end());
    report("board_click_to_pin_median", toPin[toPin.size() / 2], "ms");
    report("board_click_to_echo_median", toEcho[toEcho.size() / 2], "ms");
    report("board_click_to_echo_max", toEcho.back(), "ms");
    return 0;
}

// As many SetOutput calls as the bus takes at once, through the interface and the paced link to
// the emulated board at 9600 baud: commands carried out a second, from the first call to the last
// echo, and the pin changes missing against those the calls asked for.
int boardRate(const QString &rigPath, const QString &firmware, int calls)
{
    TestSupport::PrivateBus daemon;
    Rig rig;
    if (daemon.address().isEmpty() || !rig.start(rigPath, firmware))
        return std::fprintf(stderr, "no dbus-daemon, or the board rig did not start\n"), 1;
    SystemSerialPort port(rig.dir.path(), [] { return QStringList(); });
    ControllerLink link(&port);
    link.setUnattended(true);
    BoardService service(&link, QStringLiteral("bench"));
    const QDBusConnection serviceBus =
        QDBusConnection::connectToBus(daemon.address(), QStringLiteral("service"));
    const QDBusConnection callerBus =
        QDBusConnection::connectToBus(daemon.address(), QStringLiteral("caller"));
    if (const QString failure = service.registerOn(serviceBus); !failure.isEmpty())
        return std::fprintf(stderr, "%s\n", qPrintable(failure)), 1;
    link.start({1, QStringLiteral("9600"), QStringLiteral("1")});
    if (!runUntil([&] { return link.outputState(4).has_value() && !link.isAnswerAwaited(); },
                  10000))
        return std::fprintf(stderr, "no state query answered\n"), 1;
    const qsizetype changesBefore = rig.readLog().count(" high\n") + rig.log.count(" low\n");
    int echoes = 0, expected = 0;
    std::array<bool, 4> states{};
    QObject::connect(&link, &ControllerLink::outputReported, &service, [&] { ++echoes; });
    std::vector<QDBusPendingCall> pending;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        const int n = i % 4;
        const bool on = (i / 4) % 2 == 0;
        expected += states[n] != on;
        states[n] = on;
        QDBusMessage call = QDBusMessage::createMethodCall(
            BoardBus::serviceName(QStringLiteral("bench")),
            QString::fromUtf16(BoardBus::objectPath), QString::fromUtf16(BoardBus::interfaceName),
            QStringLiteral("SetOutput"));
        call << uint(n + 1) << on;
        pending.push_back(callerBus.asyncCall(call, 120000));
    }
    if (!runUntil([&] { return echoes >= calls; }, calls * 50))
        return std::fprintf(stderr, "%d of %d echoes\n", echoes, calls), 1;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    runFor(100);
    const qsizetype changes =
        rig.readLog().count(" high\n") + rig.log.count(" low\n") - changesBefore;
    const long failed = std::count_if(pending.begin(), pending.end(),
                                      [](const QDBusPendingCall &c) { return c.isError(); });
    const double wire = 9600.0 / 10 / 10; // "1O1H" CR and its echo: 10 bytes of 10 bits
    report("board_bus_rate", double(calls) / seconds, "/s");
    report("board_bus_rate_of_wire", 100.0 * double(calls) / seconds / wire, "%");
    report("board_bus_lost", double(expected - changes + failed), "");
    return 0;
}

// The ring of last states, on the protocol core with a counting EEPROM: random changes of four
// outputs kept as their last states, the bytes written for each, the busiest cell's writes, and
// the years a cell's 100,000 writes last at 1,000 changes a day.
int eeprom(int changes)
{
    struct Memory
    {
        std::array<uint8_t, PROTOCOL_EEPROM_SIZE> bytes{};
        std::array<long, PROTOCOL_EEPROM_SIZE> writes{};
        long written = 0;
    } memory;
    memory.bytes.fill(0xFF);
    protocol_options options{};
    if (!protocol_parse_power_on("1:last 2:last 3:last 4:last", 4, &options))
        return 1;
    options.ring_records = 200;
    protocol_io io{};
    io.put = [](void *, char) {};
    io.apply = [](void *, uint16_t) {};
    io.load = [](void *m, uint16_t a) { return static_cast<Memory *>(m)->bytes[a]; };
    io.store = [](void *m, uint16_t a, uint8_t v) {
        auto *e = static_cast<Memory *>(m);
        if (e->bytes[a] == v)
            return;
        e->bytes[a] = v;
        ++e->writes[a];
        ++e->written;
    };
    io.context = &memory;
    static protocol p;
    protocol_init(&p, "1", 1, 4, &options, io, 0);
    QRandomGenerator random(35);
    const auto send = [](const QByteArray &frame) {
        for (const char c : frame)
            protocol_receive(&p, c);
    };
    send("1O1H\r"); // the ring is marked and its first record written: not counted
    memory.written = 0;
    memory.writes.fill(0);
    for (int i = 0; i < changes; ++i) { // each frame changes one output's state
        const int n = int(random.bounded(4)) + 1;
        const bool on = !(p.states & (1u << (n - 1)));
        send("1O" + QByteArray::number(n) + (on ? "H\r" : "L\r"));
    }
    const long busiest = *std::max_element(memory.writes.begin(), memory.writes.end());
    report("eeprom_bytes_per_change", double(memory.written) / changes, "bytes");
    report("eeprom_busiest_cell_per_change", double(busiest) / changes, "writes");
    report("eeprom_life_1000_a_day", 100000.0 / (double(busiest) / changes * 1000) / 365.25,
           "years");
    return 0;
}

// A board that remembers output 1 on, started again: its reset to the pin restored, in emulated
// time (the rig stamps each pin's change with it).
int boardRestore(const QString &rigPath, const QString &firmware)
{
    QTemporaryDir dir;
    const QStringList eeprom = {"--eeprom", dir.filePath("eeprom")};
    {
        Rig rig;
        if (!rig.start(rigPath, firmware, eeprom))
            return std::fprintf(stderr, "the board rig did not start\n"), 1;
        SystemSerialPort port(rig.dir.path(), [] { return QStringList(); });
        if (port.open(1, *LineSettings::parse(QStringLiteral("9600,N,8,1"))))
            return 1;
        port.write("1O1H\r");
        if (!runUntil([&] { return rig.readLog().contains("D2 high"); }, 3000))
            return std::fprintf(stderr, "output 1 never went on\n"), 1;
        runFor(100); // its record written
    }
    Rig again;
    if (!again.start(rigPath, firmware, eeprom) ||
        !runUntil([&] { return again.readLog().contains("D2 high"); }, 3000))
        return std::fprintf(stderr, "output 1 was not restored\n"), 1;
    for (const QByteArray &line : again.log.split('\n'))
        if (const QList<QByteArray> f = line.split(' '); f.size() == 4 && f[2] == "D2")
            report("board_reset_to_pins_restored", f[1].toDouble() * 1e6, "us");
    return 0;
}

// Pulses kept by the firmware on the paced emulated board: the pin's high time in emulated
// seconds against the time asked, for 100 ms, 1 s and 10 s.
int boardPulses(const QString &rigPath, const QString &firmware)
{
    Rig rig;
    if (!rig.start(rigPath, firmware))
        return std::fprintf(stderr, "the board rig did not start\n"), 1;
    const QByteArray &log = rig.log;
    const auto readLog = [&] { return rig.readLog(); };
    SystemSerialPort port(rig.dir.path(), [] { return QStringList(); });
    if (port.open(1, *LineSettings::parse(QStringLiteral("9600,N,8,1"))))
        return std::fprintf(stderr, "the board's port did not open\n"), 1;
    for (const int ms : {100, 1000, 10000}) {
        const qsizetype from = readLog().size();
        port.write("1O1P" + QByteArray::number(ms) + '\r');
        if (!runUntil([&] { return readLog().mid(from).contains("D2 low"); }, ms + 3000))
            return std::fprintf(stderr, "no pulse of %d ms\n", ms), 1;
        double high = 0, low = 0;
        for (const QByteArray &line : log.mid(from).split('\n'))
            if (const QList<QByteArray> f = line.split(' '); f.size() == 4 && f[2] == "D2")
                (f[3] == "high" ? high : low) = f[1].toDouble();
        std::printf("board_pulse_%d_ms %.2f ms\n", ms, (low - high) * 1000);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const long n = argc > 2 ? std::atol(argv[2]) : 0;
    if (mode == u"throughput")
        return throughput(n > 0 ? n : 200000);
    if (mode == u"rate")
        return rate(n > 0 ? int(n) : 5);
    if (mode == u"latency")
        return latency(n > 0 ? int(n) : 2000);
    if (mode == u"idle")
        return idle(n > 0 ? int(n) : 30);
    if (mode == u"fatal")
        return fatal();
    if (mode == u"board" && argc > 3)
        return board(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                     argc > 4 ? std::atoi(argv[4]) : 50);
    if (mode == u"eeprom")
        return eeprom(n > 0 ? int(n) : 100000);
    if (mode == u"board-restore" && argc > 3)
        return boardRestore(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (mode == u"board-rate" && argc > 3)
        return boardRate(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         argc > 4 ? std::atoi(argv[4]) : 1000);
    if (mode == u"board-pulses" && argc > 3)
        return boardPulses(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (mode == u"callgrind")
        return callgrind(n > 0 ? n : 20000);
    if (mode == u"mqtt-latency" && argc > 4)
        return mqttLatency(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3]), argv[4],
                           argc > 5 ? std::atoi(argv[5]) : 1000);
    if (mode == u"mqtt-load" && argc > 5)
        return mqttLoad(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                        std::atoi(argv[5]));
    if (mode == u"remote")
        return remote(n > 0 ? int(n) : 1000);
    if (mode == u"mqtt-start" && argc > 4)
        return mqttStart(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]));
    if (mode == u"service" && argc > 4)
        return service(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr,
                 "usage: vantrelo_bench throughput|rate|latency|idle|fatal|callgrind|remote [n]\n");
    return 2;
}
