// The headless program playing scenario files, as a user runs it. Uses the product's fixed ports
// (4000-4007 and 65535) on 127.0.x.y addresses: fails with a clear message when another program
// holds them.
#include "httpclient.h"
#include "loopbackclient.h"
#include "programs.h"
#include "record/unitprofiles.h"
#include "recording/pcapreader.h"
#include "unit/discovery.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {
// Bounds on waits: a program start, a scenario played at time scale 20, an answer on loopback.
constexpr int kStartMs = 10000;
constexpr int kPlayMs = 30000;
// How long silence must last for a batch of replies to be complete.
constexpr int kQuietMs = 150;

// The simulator playing a scenario, its standard output and error gathered as they come.
struct Run {
    QProcess process;
    QByteArray out;
    QByteArray err;

    QString start(const QStringList& arguments)
    {
        process.start(simulatorPath(), QStringList{u"--headless"_s} + arguments);
        if (!process.waitForStarted(kStartMs))
            return u"the simulator did not start"_s;
        if (!waitForOut("started:"))
            return u"the scenario did not start: "_s + QString::fromUtf8(err);
        if (err.contains("not listening") || err.contains("cannot"))
            return u"the fixed ports are needed by this test: "_s + QString::fromUtf8(err);
        return {};
    }
    bool waitForOut(const QByteArray& text, int timeoutMs = kStartMs)
    {
        return QTest::qWaitFor(
            [&] {
                out += process.readAllStandardOutput();
                err += process.readAllStandardError();
                return out.contains(text);
            },
            timeoutMs);
    }
    ~Run()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(kStartMs);
        }
    }
};

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.write(text);
    return file.fileName();
}

// Every reply to a batch of requests, by the unit that sent it.
QMap<QString, QList<QByteArray>> ask(QUdpSocket& socket,
                                     const QList<std::pair<QHostAddress, QByteArray>>& requests, quint16 port)
{
    for (const auto& [address, payload] : requests)
        socket.writeDatagram(payload, address, port);
    QMap<QString, QList<QByteArray>> replies;
    while (socket.hasPendingDatagrams() ||
           QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, kQuietMs)) {
        const QNetworkDatagram reply = socket.receiveDatagram();
        replies[reply.senderAddress().toString()] << reply.data();
    }
    return replies;
}

const QByteArray kRepeatable = R"(version: 1
name: repeatable
seed: 11
time_scale: 10
units:
  - {count: 3, first: 127.0.7.1, profile: cycle}
faults: ["corrupt=2,chance=0.5", "duplicate,chance=0.3,on=status-query"]
timeline:
  - {at: 2s, units: 1, channels: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24]}
  - {at: 2s, units: 2, fault: {rule: "drop,chance=0.5"}}
)"_ba;
} // namespace

class TestScenarioHeadless : public QObject {
    Q_OBJECT

private slots:
    void examplesPlayToTheirEnd_data();
    void examplesPlayToTheirEnd();
    void refusedFileBindsNothing_data();
    void refusedFileBindsNothing();
    void sameFileAndSeedGiveTheSameBytes();
    void optionsActOnTopAndSaySo();
    void eventsAndOfflineRequestsInJsonLines();
    void controlApiPutsGetsAndSteersTheScenario();
    void expectationsLiveThroughTheApiAndAVerdictOnSigterm();
    void silenceIsNotExercisedAndFailsOnlyWhenRequired();
    void manyFailuresPrintAFewAndACountByUnit();
};

void TestScenarioHeadless::examplesPlayToTheirEnd_data()
{
    QTest::addColumn<QString>("path");
    const QDir examples(QStringLiteral(UNITSIM_EXAMPLES_DIR));
    for (const QString& file : examples.entryList({u"*.yaml"_s}, QDir::Files, QDir::Name))
        QTest::addRow("%s", qPrintable(file)) << examples.filePath(file);
}

void TestScenarioHeadless::examplesPlayToTheirEnd()
{
    QFETCH(QString, path);
    const ProcessResult result = runProcess(
        simulatorPath(), {u"--headless"_s, u"--scenario"_s, path, u"--time-scale"_s, u"20"_s}, kPlayMs);
    // With no controller at all, a scenario that expects one ends failed.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    const bool expectsController = text.contains("\nexpect:");
    QVERIFY2(result.exitCode == (expectsController ? 4 : 0), qPrintable(result.err));
    if (expectsController)
        QVERIFY2(result.err.contains(u"\nFAILED "_s), qPrintable(result.err));
    QVERIFY2(!result.err.contains(u"not listening"_s), qPrintable(result.err));
    const QStringList events = result.out.split(u'\n').filter(QRegularExpression(u"^\\*\\*\\* "_s));
    QVERIFY2(events.first().startsWith(u"*** scenario "_s) && events.first().contains(u" started: "_s),
             qPrintable(result.out));
    QVERIFY2(
        QRegularExpression(u"^\\*\\*\\* scenario [a-z-]+ ended at \\d+ s$"_s).match(events.last()).hasMatch(),
        qPrintable(events.last()));
    // Started, at least one event with its end (or two events), ended; a scenario made for
    // exploring may leave its timeline to the exploration.
    QVERIFY(events.size() >= (text.contains("\ntimeline:") ? 4 : 2));
}

void TestScenarioHeadless::refusedFileBindsNothing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");
    const QByteArray good = "version: 1\nunits:\n  - {count: 2, first: 127.0.7.1}\n"_ba;
    QTest::addRow("overlapping groups")
        << good + "  - {address: 127.0.7.2}\n"_ba << QStringList() << u":4:5: units[1]: overlaps units[0]"_s;
    QTest::addRow("unknown key") << "version: 1\nstart: now\n"_ba << QStringList()
                                 << u":2:1: start: unknown key"_s;
    QTest::addRow("with --units")
        << good << QStringList{u"--units"_s, u"3"_s}
        << u"--units and --scenario exclude each other: the scenario names its units"_s;
    QTest::addRow("--fault for no unit")
        << good << QStringList{u"--fault"_s, u"drop,units=5"_s} << u"units=5 names no unit"_s;
    QTest::addRow("--time-scale 0") << good << QStringList{u"--time-scale"_s, u"0"_s}
                                    << u"--time-scale must be a number from 0.01 to 1000"_s;
}

void TestScenarioHeadless::refusedFileBindsNothing()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"scenario.yaml"_s, text);
    const ProcessResult result =
        runProcess(simulatorPath(), QStringList{u"--headless"_s, u"--scenario"_s, path} + options);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    QVERIFY(!result.err.contains(u"listening"_s));
}

void TestScenarioHeadless::sameFileAndSeedGiveTheSameBytes()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"repeatable.yaml"_s, kRepeatable);
    QList<std::pair<QHostAddress, QByteArray>> statusQueries;
    QList<std::pair<QHostAddress, QByteArray>> channelQueries;
    for (int k = 0; k < 3; ++k) {
        const QHostAddress unit(u"127.0.7.%1"_s.arg(k + 1));
        for (int n = 0; n < 8; ++n) {
            statusQueries.append({unit, unitFrame(51)});
            channelQueries.append({unit, unitFrame(50)});
        }
    }
    QList<QList<QMap<QString, QList<QByteArray>>>> runs;
    for (int run = 0; run < 2; ++run) {
        Run simulator;
        const QString problem = simulator.start({u"--scenario"_s, path});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QUdpSocket controller;
        QVERIFY(controller.bind(QHostAddress::LocalHost, 0));
        QList<QMap<QString, QList<QByteArray>>> replies;
        replies << ask(controller, statusQueries, 4000) << ask(controller, statusQueries, 4001)
                << ask(controller, statusQueries, 4002);
        // After the events at 2 s (0.2 s at time scale 10): unit 1's values, unit 2's drops.
        QVERIFY(simulator.waitForOut("*** scenario: fault \"drop,chance=0.5\" on 127.0.7.3", kPlayMs));
        for (quint16 port : {4000, 4001, 4002})
            replies << ask(controller, channelQueries, port) << ask(controller, statusQueries, port);
        runs << replies;
    }
    QCOMPARE(runs[0], runs[1]);
    // The rules and events did act: unit 2 lost some of its queries after 2 s, unit 1 took its values.
    const QList<QByteArray> unit2 = runs[0][7].value(u"127.0.7.3"_s); // channel queries on 4002
    QVERIFY2(unit2.size() > 0 && unit2.size() < 8, qPrintable(QString::number(unit2.size())));
    QVERIFY(
        std::any_of(runs[0][5].value(u"127.0.7.2"_s).cbegin(), runs[0][5].value(u"127.0.7.2"_s).cend(),
                    [](const QByteArray& reply) { return reply.mid(2, 3) == QByteArray("\x01\x02\x03"); }));
}

void TestScenarioHeadless::optionsActOnTopAndSaySo()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"repeatable.yaml"_s, kRepeatable + "end: 3s\n"_ba);
    const ProcessResult result =
        runProcess(simulatorPath(),
                   {u"--headless"_s, u"--scenario"_s, path, u"--seed"_s, u"12"_s, u"--time-scale"_s, u"20"_s,
                    u"--profile"_s, u"4"_s, u"--fault"_s, u"drop,every=1000"_s, u"--quiet"_s},
                   kPlayMs);
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    for (const QString& note : {u"--seed 12 replaces the scenario's seed 11"_s,
                                u"--time-scale 20 replaces the scenario's time_scale 10"_s,
                                u"--profile 4 replaces the profiles the scenario gives its units"_s,
                                u"Seed 12 (repeat this run with --seed 12)"_s,
                                u"Fault rule of the scenario: corrupt=2,chance=0.5"_s,
                                u"Fault rule on every unit: drop,every=1000"_s,
                                u"Scenario repeatable: 2 events, ends at 3 s, time scale 20"_s})
        QVERIFY2(result.err.contains(note), qPrintable(note + u"\nnot in:\n"_s + result.err));
    QVERIFY(result.out.isEmpty()); // --quiet
}

void TestScenarioHeadless::eventsAndOfflineRequestsInJsonLines()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"offline.yaml"_s,
                                   "version: 1\nunits:\n  - {address: 127.0.7.9}\n"
                                   "timeline:\n  - {at: 0s, offline: {}}\n"_ba);
    Run simulator;
    const QString capture = dir.filePath(u"traffic.pcap"_s);
    const QString problem =
        simulator.start({u"--scenario"_s, path, u"--log-format"_s, u"jsonl"_s, u"--pcap"_s, capture});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    LoopbackClient controller;
    controller.sendTo(QHostAddress(u"127.0.7.9"_s), 4000, unitFrame(50));
    QVERIFY(controller.staysQuiet(kQuietMs));
    QVERIFY(simulator.waitForOut("\"direction\":\"in\""));
    QList<QJsonObject> lines;
    for (const QByteArray& line : simulator.out.split('\n')) {
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    }
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[1][u"direction"_s].toString(), u"event"_s);
    QCOMPARE(lines[1][u"text"_s].toString(), u"*** scenario: offline 127.0.7.9 until stopped"_s);
    // An event names its unit as fields too, as a datagram's line does; it has no port.
    QCOMPARE(lines[1][u"unit"_s].toInt(-1), 0);
    QCOMPARE(lines[1][u"address"_s].toString(), u"127.0.7.9"_s);
    QVERIFY(lines[1][u"port"_s].isNull() && !lines[1].contains(u"units"_s));
    QCOMPARE(lines[2][u"state"_s].toString(), u"offline"_s);
    QVERIFY2(lines[2][u"text"_s].toString().endsWith(u" (offline)"_s),
             qPrintable(lines[2][u"text"_s].toString()));
    QCOMPARE(lines[2][u"address"_s].toString(), u"127.0.7.9"_s);

    // The capture holds the datagram that arrived, and nothing of the event.
    simulator.process.terminate();
    QVERIFY(simulator.process.waitForFinished(kStartMs));
    QString error;
    const std::optional<CaptureContents> captured = readCapture(capture, &error);
    QVERIFY2(captured, qPrintable(error));
    QCOMPARE(captured->datagrams.size(), 1);
    QCOMPARE(captured->datagrams.first().payload, unitFrame(50));
}

void TestScenarioHeadless::controlApiPutsGetsAndSteersTheScenario()
{
    Run simulator;
    simulator.process.start(simulatorPath(), {u"--headless"_s, u"--control"_s, u"0"_s});
    QVERIFY(simulator.process.waitForStarted(kStartMs));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return (simulator.err += simulator.process.readAllStandardError())
                .contains("Control API listening on");
        },
        kStartMs));
    const QString url =
        QString::fromUtf8(simulator.err).section(u"Control API listening on "_s, 1).section(u'\n', 0, 0);
    HttpClient api(url);
    QCOMPARE(api.get(u"/api/v1/scenario"_s).json()[u"state"_s].toString(), u"none"_s);
    QCOMPARE(api.post(u"/api/v1/scenario/start"_s, {}).status, 409);

    // Refused with where, and nothing changed.
    HttpClient::Answer answer =
        api.put(u"/api/v1/scenario"_s, "{\"version\": 1,\n \"units\": [{\"count\": 0}]}");
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.json()[u"line"_s].toInt(), 2);
    QVERIFY2(answer.json()[u"error"_s].toString().startsWith(u"scenario:2:"_s), answer.body.constData());
    QCOMPARE(api.get(u"/api/v1/units"_s).json().array().size(), 1);
    LoopbackClient controller;
    QCOMPARE(controller.request(kDiscoveryPort, "X").size(), 50); // a line for the log to clear

    // A fleet in place of the single unit: played from 0, the log starting over.
    answer = api.put(u"/api/v1/scenario"_s, R"({"version": 1, "name": "api", "seed": "5",
        "units": [{"count": 3, "first": "127.0.7.1", "profile": 3}],
        "timeline": [{"at": "0s", "units": "2", "reboot": {"for": "1h"}},
                     {"at": "1h", "units": "0-1", "profile": 4}]})");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json()[u"state"_s].toString(), u"running"_s);
    QCOMPARE(answer.json()[u"next"_s][u"event"_s].toString(),
             u"profile 4 on units 0-1 (127.0.7.1 to 127.0.7.2)"_s);
    QCOMPARE(answer.json()[u"next"_s][u"at"_s].toDouble(), 3600.0);
    const QJsonArray units = api.get(u"/api/v1/units"_s).json().array();
    QCOMPARE(units.size(), 3);
    QCOMPARE(units[2][u"address"_s].toString(), u"127.0.7.3"_s);
    QCOMPARE(units[2][u"state"_s].toString(), u"rebooting"_s);
    // The stream on standard output is the log: the log's own notice of the new units is there too.
    QVERIFY2(simulator.waitForOut("!!! units replaced: the log starts anew with 3 units"),
             simulator.out.constData());
    QCOMPARE(units[0][u"unit_port"_s].toInt(), 4003);
    QVERIFY(!controller.requestTo(QHostAddress(u"127.0.7.1"_s), 4003, unitFrame(50), 2000).isEmpty());
    QCOMPARE(api.get(u"/api/v1/units/0"_s).json()[u"requests"_s].toInt(), 1);
    const QJsonArray log = api.get(u"/api/v1/log"_s).json()[u"entries"_s].toArray();
    QVERIFY(!log.isEmpty());
    QVERIFY2(log.first()[u"text"_s].toString().startsWith(
                 u"!!! units replaced: the log starts anew with 3 units (2 earlier lines cleared)"_s),
             QJsonDocument(log.first().toObject()).toJson().constData());

    // Held, run on, started over.
    QCOMPARE(api.post(u"/api/v1/scenario/stop"_s, {}).json()[u"state"_s].toString(), u"stopped"_s);
    QCOMPARE(api.post(u"/api/v1/scenario/start"_s, {}).json()[u"state"_s].toString(), u"running"_s);
    const QJsonObject restarted = api.post(u"/api/v1/scenario/restart"_s, {}).json().object();
    QVERIFY(restarted[u"elapsed"_s].toDouble() < 60);
    QCOMPARE(restarted[u"scenario"_s][u"name"_s].toString(), u"api"_s);

    // The state as it is now, as a scenario: what the window saves.
    QCOMPARE(api.put(u"/api/v1/units/1/profile"_s, "{\"profile\": 8}").status, 200);
    const QJsonObject snapshot = api.get(u"/api/v1/scenario/snapshot"_s).json().object();
    QCOMPARE(snapshot[u"seed"_s].toString(), u"5"_s);
    const QJsonArray groups = snapshot[u"units"_s].toArray();
    QCOMPARE(groups.size(), 3);
    QCOMPARE(groups[1][u"profile"_s].toInt(), 8);
    QCOMPARE(snapshot[u"timeline"_s].toArray().size(), 2);

    // A scenario put through the API ends; the simulator goes on serving.
    QCOMPARE(api.put(u"/api/v1/scenario"_s, R"({"version": 1, "end": "100ms"})").status, 200);
    QVERIFY(QTest::qWaitFor(
        [&] { return api.get(u"/api/v1/scenario"_s).json()[u"state"_s].toString() == u"finished"_s; },
        kPlayMs));
    QCOMPARE(simulator.process.state(), QProcess::Running);
    QCOMPARE(api.get(u"/api/v1/units"_s).json().array().size(), 1);
}

// A scenario without an end: its expectations are judged live (the API shows them), and SIGTERM
// gives the verdict, its exit status and its report.
void TestScenarioHeadless::expectationsLiveThroughTheApiAndAVerdictOnSigterm()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"judged.yaml"_s, R"(version: 1
name: judged
units:
  - {count: 2, first: 127.0.7.1}
expect:
  - {name: well-formed, no_malformed: {}}
  - {name: polled, verify: {units: "0", command: channel-query}}
)"_ba);
    const QString report = dir.filePath(u"report.xml"_s);
    Run simulator;
    const QString problem =
        simulator.start({u"--scenario"_s, path, u"--control"_s, u"0"_s, u"--report"_s, report});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return (simulator.err += simulator.process.readAllStandardError())
                .contains("Control API listening on");
        },
        kStartMs));
    HttpClient api(
        QString::fromUtf8(simulator.err).section(u"Control API listening on "_s, 1).section(u'\n', 0, 0));
    QJsonObject state = api.get(u"/api/v1/expectations"_s).json().object();
    QCOMPARE(state[u"state"_s].toString(), u"running"_s);
    QCOMPARE(state[u"summary"_s].toString(), u"2 expectations: 0 passed, 0 failed, 2 pending"_s);

    LoopbackClient controller;
    QCOMPARE(controller.requestTo(QHostAddress(u"127.0.7.1"_s), 4000, unitFrame(50), kStartMs).size(), 29);
    controller.sendTo(QHostAddress(u"127.0.7.2"_s), 4000, unitFrame(50, {}, 30)); // longer than a frame
    QVERIFY(QTest::qWaitFor(
        [&] {
            state = api.get(u"/api/v1/expectations"_s).json().object();
            return state[u"summary"_s].toString() == u"2 expectations: 1 passed, 1 failed"_s;
        },
        kStartMs));
    const QJsonObject failure = state[u"expectations"_s][0][u"failures"_s][0].toObject();
    QCOMPARE(failure[u"peer"_s].toString(), u"127.0.0.1:"_s + QString::number(controller.port()));
    QVERIFY2(failure[u"message"_s].toString().contains(u"1 malformed datagram the log does not show"_s),
             qPrintable(failure[u"message"_s].toString()));

    simulator.process.terminate();
    QVERIFY(simulator.process.waitForFinished(kStartMs));
    QCOMPARE(simulator.process.exitCode(), 4);
    simulator.err += simulator.process.readAllStandardError();
    QVERIFY2(simulator.err.contains("2 expectations: 1 passed, 1 failed\nFAILED well-formed (no_malformed"),
             simulator.err.constData());
    QFile xml(report);
    QVERIFY(xml.open(QIODevice::ReadOnly));
    const QByteArray junit = xml.readAll();
    QVERIFY2(junit.contains("tests=\"2\" failures=\"1\"") && junit.contains("<failure message=\"127.0.0.1:"),
             junit.constData());
}

void TestScenarioHeadless::silenceIsNotExercisedAndFailsOnlyWhenRequired()
{
    // No controller at all: none of these can have held for a reason.
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"silent.yaml"_s, R"(version: 1
units:
  - {count: 2, first: 127.0.7.1}
end: 2s
expect:
  - {name: calm, max_rate: {per_unit: 50/s}}
  - {name: discovery, discovery_interval: {at_least: 4s}}
  - {name: backs off, backoff: {after_unanswered: 3, at_most: 2/s}}
)"_ba);
    const QString report = dir.filePath(u"report.xml"_s);
    const QStringList arguments{u"--headless"_s,   u"--quiet"_s, u"--scenario"_s, path,
                                u"--time-scale"_s, u"20"_s,      u"--report"_s,   report};
    const ProcessResult lenient = runProcess(simulatorPath(), arguments, kPlayMs);
    QVERIFY2(lenient.exitCode == 0, qPrintable(lenient.err));
    QVERIFY2(lenient.err.contains(u"3 expectations: 0 passed, 0 failed, 3 not exercised\n"_s),
             qPrintable(lenient.err));
    QVERIFY2(
        lenient.err.contains(u"NOT EXERCISED calm (max_rate: no unit gets more than 50 requests a second): "
                             u"no request reached a unit port"_s),
        qPrintable(lenient.err));
    QFile xml(report);
    QVERIFY(xml.open(QIODevice::ReadOnly));
    const QByteArray junit = xml.readAll();
    QVERIFY2(junit.contains("failures=\"0\" errors=\"0\" skipped=\"3\"") &&
                 junit.contains("<skipped message=\"not exercised: no peer asked a unit again after 3 "
                                "unanswered queries\"/>"),
             junit.constData());

    const ProcessResult strict =
        runProcess(simulatorPath(), arguments + QStringList{u"--require-exercised"_s}, kPlayMs);
    QVERIFY2(strict.exitCode == 4, qPrintable(strict.err));
    QVERIFY2(strict.err.contains(u"--require-exercised: an expectation not exercised fails the run"_s),
             qPrintable(strict.err));
}

void TestScenarioHeadless::manyFailuresPrintAFewAndACountByUnit()
{
    // Five units never polled: five failures, three printed, the rest counted, one line by unit.
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"unpolled.yaml"_s, R"(version: 1
units:
  - {count: 5, first: 127.0.7.1}
end: 2s
expect:
  - {name: polled, poll_coverage: {every: 500ms, warm_up: 500ms}}
)"_ba);
    const QString report = dir.filePath(u"report.xml"_s);
    const ProcessResult result = runProcess(simulatorPath(),
                                            {u"--headless"_s, u"--quiet"_s, u"--scenario"_s, path,
                                             u"--time-scale"_s, u"20"_s, u"--report"_s, report},
                                            kPlayMs);
    QVERIFY2(result.exitCode == 4, qPrintable(result.err));
    QCOMPARE(result.err.count(u"  - 127.0.7."_s), 3);
    QVERIFY2(result.err.contains(u"FAILED polled (poll_coverage: "_s) &&
                 result.err.contains(u"): 5 times\n"_s),
             qPrintable(result.err));
    QVERIFY2(result.err.contains(u"  ... and 2 more (all of them: --report, GET /api/v1/expectations)\n"_s),
             qPrintable(result.err));
    QVERIFY2(result.err.contains(
                 u"  by unit: 127.0.7.1 1, 127.0.7.2 1, 127.0.7.3 1, 127.0.7.4 1, 127.0.7.5 1\n"_s),
             qPrintable(result.err));
    // The report keeps every one of them.
    QFile xml(report);
    QVERIFY(xml.open(QIODevice::ReadOnly));
    QCOMPARE(xml.readAll().count("got no channel- or status-query within 0.5 s of the start"), 5 + 1);
}

QTEST_GUILESS_MAIN(TestScenarioHeadless)
#include "tst_scenarioheadless.moc"
