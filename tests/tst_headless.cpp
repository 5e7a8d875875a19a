// The simulator as a process: headless with its log as a stream, and the window taking Qt's own
// options. Uses the product's fixed ports (4000-4007 and 65535): fails with a clear message
// when another program holds them.
#include "app/appversion.h"
#include "httpclient.h"
#include "loopbackclient.h"
#include "programs.h"
#include "record/unitprofiles.h"
#include "recording/pcapreader.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class TestHeadless : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { m_simulator.stop(); }
    void streamsTheLog();
    void quiet();
    void outlivesItsLogReader();
    void neverFreezesOnAnOutputNobodyReads();
    void stopsCleanlyOnSignals_data();
    void stopsCleanlyOnSignals();
    void endsWhenStandardInputCloses();
    void statusDrawsCoverTheirWholeRanges();
    void badOptionsBindNothing_data();
    void badOptionsBindNothing();
    void helpAndVersion();
    void windowTakesQtsOwnOptions();
    void seedRepeatsARunExactly();
    void seedRepeatsNetworkFaults();
    void seedAndRulesArePrinted();
    void controlApiAndJsonLines();
    void controlRefusesTheNetworkWithoutAToken();
    void fleetPrefixesEveryLineWithItsUnit();
    void fleetThatCannotHaveItsFilesBindsNothing();
    void fleetIsCheckedBeforeItIsMade();
    void fleetIsSteeredUnitByUnitThroughTheControlApi();
    void controlApiOutOfFilesRecovers();
    void portThatCannotBeBoundEndsTheRun_data();
    void portThatCannotBeBoundEndsTheRun();

private:
    void start(const QStringList& arguments = {});
    // Starts `unit-simulator --headless ARGUMENTS | READER` and waits until both ports listen;
    // what the simulator said on standard error by then is in `err`.
    void startPipedInto(QProcess& simulator, QProcess& reader, const QStringList& readerCommand,
                        const QStringList& arguments, QByteArray& err);
    HeadlessSimulator m_simulator;
};

void TestHeadless::start(const QStringList& arguments)
{
    const QString problem = m_simulator.start(arguments);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestHeadless::streamsTheLog()
{
    start({u"--profile"_s, u"3"_s});
    LoopbackClient client;
    QCOMPARE(client.request(4003, unitFrame(50)).size(), 29);
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);
    client.send(4003, unitFrame(0, QList<int>(24, 7)));

    const QString port = QString::number(client.port());
    const QStringList expected = {
        u"--> 127.0.0.1:4003 -  0 50"_s + u" 0"_s.repeated(27),
        u"<-- 127.0.0.1:"_s + port + u" -254 50"_s + u" 125"_s.repeated(12) + u" 0"_s.repeated(14) +
            u" 255"_s,
        u"--> 127.0.0.1:65535 - X"_s,
        u"<-- 127.0.0.1:"_s + port + u" - ALED.SIM.ULA.TOR.3/4003/*****/**/Lumivane/PoE2.0/*"_s,
        u"--> 127.0.0.1:4003 -  0 0"_s + u" 7"_s.repeated(24) + u" 0 0 0"_s,
    };
    QString out;
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += QString::fromUtf8(m_simulator.process().readAllStandardOutput());
            return out.count(QLatin1Char('\n')) >= expected.size();
        },
        5000));
    QCOMPARE(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected); // oldest first
}

void TestHeadless::quiet()
{
    start({u"--quiet"_s});
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    m_simulator.process().terminate();
    QVERIFY(m_simulator.process().waitForFinished(5000));
    QCOMPARE(m_simulator.process().exitCode(), 0);
    QCOMPARE(m_simulator.process().readAllStandardOutput(), QByteArray());
}

void TestHeadless::startPipedInto(QProcess& simulator, QProcess& reader, const QStringList& readerCommand,
                                  const QStringList& arguments, QByteArray& err)
{
    simulator.setStandardOutputProcess(&reader);
    reader.start(readerCommand.first(), readerCommand.mid(1));
    simulator.start(simulatorPath(), QStringList{u"--headless"_s} + arguments);
    QVERIFY(simulator.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return (err += simulator.readAllStandardError()).count("listening") == 2; },
                            5000));
    QVERIFY2(!err.contains("not listening"), err.constData());
}

void TestHeadless::outlivesItsLogReader()
{
    // As in `unit-simulator --headless | head -c 1`: the reader leaves after the first byte.
    QProcess simulator;
    QProcess reader;
    QByteArray err;
    startPipedInto(simulator, reader, {u"head"_s, u"-c"_s, u"1"_s}, {}, err);
    if (QTest::currentTestFailed())
        return;

    // The first line reaches the reader, which then leaves; only lines after that find the
    // pipe closed.
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QVERIFY(QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, 5000));
    for (int i = 0; i < 200 && !err.contains("no longer written"); ++i) {
        QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
        err += simulator.readAllStandardError();
    }
    QVERIFY2(err.contains("Standard output is closed"), err.constData());
    QCOMPARE(client.request(4000, unitFrame(51)).size(), 29); // still serving
    QCOMPARE(simulator.state(), QProcess::Running);
    simulator.terminate(); // as a user stops it: the log store it made goes too
    QVERIFY(simulator.waitForFinished(5000));
    QVERIFY(reader.state() == QProcess::NotRunning || reader.waitForFinished(5000));
}

void TestHeadless::stopsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addRow("SIGTERM") << int(SIGTERM);
    QTest::addRow("SIGINT") << int(SIGINT);
}

void TestHeadless::stopsCleanlyOnSignals()
{
    QFETCH(int, signalNumber);
    start();
    LoopbackClient client;
    for (int i = 0; i < 50; ++i)
        QCOMPARE(client.request(4000, unitFrame(51)).size(), 29);
    QProcess& simulator = m_simulator.process();
    ::kill(pid_t(simulator.processId()), signalNumber);
    QVERIFY(simulator.waitForFinished(5000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
    // Everything written before the signal reached the pipe.
    QCOMPARE(simulator.readAllStandardOutput().count('\n'), 100);
}

void TestHeadless::endsWhenStandardInputCloses()
{
    start({u"--quiet"_s, u"--exit-with-stdin"_s});
    QProcess& simulator = m_simulator.process();
    simulator.write("what comes in is read and dropped\n");
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(51)).size(), 29);
    QCOMPARE(simulator.state(), QProcess::Running);
    simulator.closeWriteChannel(); // as when the test holding the pipe is gone
    QVERIFY(simulator.waitForFinished(5000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
    QVERIFY(simulator.readAllStandardError().contains("Standard input closed: stopping"));
}

void TestHeadless::statusDrawsCoverTheirWholeRanges()
{
    // Profile 1 shows both draws: byte 2 (25 to 70) and byte 14 (0 to 250). Over 8,000 replies
    // each end of each range turns up unless the range is wrong: the chance that a fair draw
    // misses one particular value of 251 is (250/251)^8000, below 1e-13.
    start({u"--profile"_s, u"1"_s, u"--quiet"_s});
    QUdpSocket client; // blocking waits are fine: the unit runs in its own process
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    const QByteArray request = unitFrame(51);
    QMap<int, int> first, second;
    constexpr int kBatches = 80, kBatch = 100;
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < kBatch; ++i)
            client.writeDatagram(request, QHostAddress::LocalHost, 4001);
        for (int received = 0; received < kBatch;) {
            QVERIFY2(client.hasPendingDatagrams() || client.waitForReadyRead(2000),
                     qPrintable(u"reply %1 of batch %2 did not come"_s.arg(received).arg(batch)));
            while (client.hasPendingDatagrams()) {
                const QByteArray reply = client.receiveDatagram().data();
                QCOMPARE(reply.size(), 29);
                ++first[quint8(reply[2])];
                ++second[quint8(reply[14])];
                ++received;
            }
        }
    }
    QCOMPARE(first.firstKey(), 25);
    QCOMPARE(first.lastKey(), 70);
    QCOMPARE(first.size(), 46);
    QCOMPARE(second.firstKey(), 0);
    QCOMPARE(second.lastKey(), 250);
}

void TestHeadless::badOptionsBindNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("unknown option") << QStringList{u"--headless"_s, u"--bogus"_s} << u"bogus"_s;
    QTest::addRow("profile 9") << QStringList{u"--headless"_s, u"--profile"_s, u"9"_s} << u"'9'"_s;
    QTest::addRow("profile without headless") << QStringList{u"--profile"_s, u"2"_s} << u"--headless"_s;
    QTest::addRow("bad fault rule") << QStringList{u"--headless"_s, u"--fault"_s, u"delay=10,jitter=20"_s}
                                    << u"jitter=20 is larger"_s;
    QTest::addRow("Qt's option without a window")
        << QStringList{u"--headless"_s, u"-platform"_s, u"offscreen"_s} << u"'platform'"_s;
}

void TestHeadless::badOptionsBindNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const ProcessResult result = runProcess(simulatorPath(), arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    QVERIFY(!result.err.contains(u"listening"_s)); // nothing was bound
}

void TestHeadless::helpAndVersion()
{
    const ProcessResult help = runProcess(simulatorPath(), {u"--help"_s});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(u"--headless"_s));
    QVERIFY(help.out.contains(u"\"Generation 1\" LED driver @ port:4001"_s));
    const ProcessResult version = runProcess(simulatorPath(), {u"--version"_s});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, u"unit-simulator "_s + QStringLiteral(UNITSIM_VERSION_STRING) + u"\n"_s);
}

void TestHeadless::windowTakesQtsOwnOptions()
{
    // No QT_QPA_PLATFORM: only the -platform option lets the window start without a display.
    QProcess window;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QT_QPA_PLATFORM"_s);
    environment.remove(u"DISPLAY"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    window.setProcessEnvironment(environment);
    window.start(simulatorPath(),
                 {u"-platform"_s, u"offscreen"_s, u"-style"_s, u"Fusion"_s, u"--seed"_s, u"9"_s});
    QVERIFY(window.waitForStarted(5000));
    QString err;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     err += QString::fromUtf8(window.readAllStandardError());
                     return err.count(u"listening"_s) >= 2 || window.state() == QProcess::NotRunning;
                 },
                 10000),
             qPrintable(err));
    QCOMPARE(window.state(), QProcess::Running);
    QVERIFY2(!err.contains(u"not listening"_s),
             qPrintable(u"the fixed ports are needed by this test: "_s + err));
    QVERIFY2(!err.contains(u"ignoring"_s), qPrintable(err)); // Qt took its options for itself
    // The seed it was given, with how to repeat the run, as the headless run says it.
    QVERIFY2(err.contains(u"Seed 9 (repeat this run with --seed 9)\n"_s), qPrintable(err));
    LoopbackClient client;
    QCOMPARE(client.request(kDiscoveryPort, "X").left(18), QByteArray("ALED.SIM.ULA.TOR.0"));
    window.terminate(); // as a user stops it: the log store it made goes too
    QVERIFY(window.waitForFinished(5000));
}

namespace {
// A fixed session against the unit: each request in turn, with every datagram that comes back.
QList<QByteArray> scriptedSession()
{
    LoopbackClient client;
    QList<QByteArray> received;
    auto exchange = [&](quint16 port, const QByteArray& request) {
        client.send(port, request);
        for (QByteArray reply = client.receive(60); !reply.isNull(); reply = client.receive(40))
            received << reply;
        received << QByteArray("--"); // where one request's replies end
    };
    for (int i = 0; i < 8; ++i) {
        exchange(4000, unitFrame(51));
        exchange(4000, unitFrame(50));
        exchange(kDiscoveryPort, "X");
    }
    return received;
}
} // namespace

void TestHeadless::seedRepeatsARunExactly()
{
    const QStringList faults = {u"--fault"_s, u"corrupt=2,chance=0.5"_s,
                                u"--fault"_s, u"duplicate,chance=0.3"_s,
                                u"--fault"_s, u"delay=20,jitter=15,on=discovery"_s,
                                u"--fault"_s, u"drop,chance=0.2"_s,
                                u"--quiet"_s, u"--profile"_s,
                                u"1"_s};
    QList<QList<QByteArray>> runs;
    for (const QString& seed : {u"4242"_s, u"4242"_s, u"4243"_s}) {
        start(QStringList{u"--seed"_s, seed} + faults);
        runs << scriptedSession();
        m_simulator.stop();
    }
    QCOMPARE(runs[0].size(), runs[1].size());
    QCOMPARE(runs[0], runs[1]);
    QVERIFY(runs[0] != runs[2]); // another seed, another run
    // The rules did act: some replies are missing, doubled or changed.
    QVERIFY(runs[0].count(QByteArray("--")) == 24 && runs[0].size() != 48);
}

void TestHeadless::seedRepeatsNetworkFaults()
{
    // Burst loss, reordering and rules that wear off draw from the seed as the others do. (A rate
    // rule follows the clock, which no seed repeats.)
    const QStringList faults = {u"--fault"_s, u"loss=gilbert:0.15,0.4,on=channel-query"_s,
                                u"--fault"_s, u"reorder=1,chance=0.3,gap=5000,on=channel-query"_s,
                                u"--fault"_s, u"drop,chance=0.5,after=20,times=5,on=channel-query"_s,
                                u"--quiet"_s};
    // Which channel-queries were answered, in the order the answers came: set-channels puts the
    // query's number in element 2 of its reply.
    const auto numberedSession = [] {
        LoopbackClient client;
        for (int k = 1; k <= 100; ++k) {
            client.send(4000, unitFrame(0, {k}));
            client.send(4000, unitFrame(50));
        }
        QList<int> order;
        for (QByteArray reply = client.receive(300); !reply.isNull(); reply = client.receive(300))
            order << quint8(reply.at(2));
        return order;
    };
    QList<QList<int>> runs;
    for (const QString& seed : {u"4242"_s, u"4242"_s, u"4243"_s}) {
        start(QStringList{u"--seed"_s, seed} + faults);
        runs << numberedSession();
        m_simulator.stop();
    }
    QCOMPARE(runs[0], runs[1]);
    QVERIFY(runs[0] != runs[2]);
    // All three acted: some lost, some out of order.
    QVERIFY2(runs[0].size() < 95, qPrintable(QString::number(runs[0].size())));
    QList<int> sorted = runs[0];
    std::sort(sorted.begin(), sorted.end());
    QVERIFY(sorted != runs[0]);
}

void TestHeadless::seedAndRulesArePrinted()
{
    start({u"--quiet"_s});
    const QRegularExpression drawn(u"^Seed (\\d+) \\(repeat this run with --seed \\1\\)$"_s,
                                   QRegularExpression::MultilineOption);
    QVERIFY2(drawn.match(m_simulator.startMessages()).hasMatch(), qPrintable(m_simulator.startMessages()));
    m_simulator.stop();
    start({u"--seed"_s, u"77"_s, u"--fault"_s, u" drop,every=2 "_s, u"--fault"_s, u"corrupt"_s});
    QVERIFY2(m_simulator.startMessages().startsWith(u"Seed 77 (repeat this run with --seed 77)\n"
                                                    "Fault rule 1: drop,every=2\n"
                                                    "Fault rule 2: corrupt\n"_s),
             qPrintable(m_simulator.startMessages()));
}

void TestHeadless::controlApiAndJsonLines()
{
    start({u"--control"_s, u"0"_s, u"--log-format"_s, u"jsonl"_s});
    const QString url = m_simulator.controlUrl();
    QVERIFY2(url.startsWith(u"http://127.0.0.1:"_s), qPrintable(m_simulator.startMessages()));
    HttpClient http(url);
    QCOMPARE(http.put(u"/api/v1/units/0/profile"_s, R"({"profile": 2})").status, 200);
    LoopbackClient client;
    QCOMPARE(client.request(4002, unitFrame(50)).size(), 29);

    QByteArray out;
    QVERIFY(QTest::qWaitFor(
        [&] { return (out += m_simulator.process().readAllStandardOutput()).count('\n') >= 2; }, 5000));
    const QList<QByteArray> lines = out.split('\n');
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(first[u"seq"_s].toInt(), 0);
    QCOMPARE(first[u"direction"_s].toString(), u"in"_s);
    QCOMPARE(first[u"text"_s].toString(), u"--> 127.0.0.1:4002 -  0 50"_s + u" 0"_s.repeated(27));
    // The stream and the API number and word the lines alike.
    const QJsonArray api = http.get(u"/api/v1/log"_s).json()[u"entries"_s].toArray();
    QCOMPARE(api.size(), 2);
    QCOMPARE(api[0].toObject(), first);
    QCOMPARE(api[1].toObject(), QJsonDocument::fromJson(lines[1]).object());

    // The same two datagrams as a capture.
    const HttpClient::Answer capture = http.get(u"/api/v1/capture.pcap"_s);
    QCOMPARE(capture.status, 200);
    QCOMPARE(capture.contentType, QByteArray("application/vnd.tcpdump.pcap"));
    QTemporaryDir dir;
    QFile file(dir.filePath(u"api.pcap"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(capture.body) == capture.body.size());
    file.close();
    QString error;
    const std::optional<CaptureContents> contents = readCapture(file.fileName(), &error);
    QVERIFY2(contents, qPrintable(error));
    QCOMPARE(contents->datagrams.size(), 2);
    QCOMPARE(contents->datagrams[0].destinationPort, 4002);
    QCOMPARE(contents->datagrams[0].sourcePort, client.port());
    QCOMPARE(contents->datagrams[1].sourcePort, 4002);
    QCOMPARE(contents->datagrams[1].payload.size(), 29);
}

void TestHeadless::controlRefusesTheNetworkWithoutAToken()
{
    const ProcessResult result =
        runProcess(simulatorPath(), {u"--headless"_s, u"--control"_s, u"0.0.0.0:0"_s});
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(u"needs a token"_s), qPrintable(result.err));
    QVERIFY(!result.err.contains(u"listening"_s)); // nothing was bound
}

void TestHeadless::fleetPrefixesEveryLineWithItsUnit()
{
    QProcess fleet;
    fleet.start(simulatorPath(),
                {u"--headless"_s, u"--units"_s, u"3@127.0.6.1"_s, u"--profiles"_s, u"cycle"_s});
    QVERIFY(fleet.waitForStarted(5000));
    QString err;
    QVERIFY(QTest::qWaitFor(
        [&] {
            return (err += QString::fromUtf8(fleet.readAllStandardError())).contains(u"units listening"_s);
        },
        5000));
    QVERIFY2(err.contains(u"3 of 3 units listening, from 127.0.6.1 to 127.0.6.3"_s), qPrintable(err));
    LoopbackClient client;
    client.send(kDiscoveryPort, "X"); // to 127.0.0.1: every unit answers
    for (int i = 0; i < 3; ++i)
        QCOMPARE(client.receive().size(), 50);
    QVERIFY(client.staysQuiet(100));
    QByteArray out;
    QVERIFY(QTest::qWaitFor([&] { return (out += fleet.readAllStandardOutput()).count('\n') >= 6; }, 5000));
    const QString port = QString::number(client.port());
    QCOMPARE(
        QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts),
        (QStringList{
            u"127.0.6.1 --> 127.0.0.1:65535 - X"_s,
            u"127.0.6.1 <-- 127.0.0.1:"_s + port + u" - ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*"_s,
            u"127.0.6.2 --> 127.0.0.1:65535 - X"_s,
            u"127.0.6.2 <-- 127.0.0.1:"_s + port + u" - ALED.SIM.ULA.TOR.1/4001/*****/**/Lumivane/LED5.1/*"_s,
            u"127.0.6.3 --> 127.0.0.1:65535 - X"_s,
            u"127.0.6.3 <-- 127.0.0.1:"_s + port +
                u" - ALED.SIM.ULA.TOR.2/4002/*****/**/Lumivane/SLD2.0/*"_s}));
    fleet.terminate(); // as a user stops it: the log store it made goes too
    QVERIFY(fleet.waitForFinished(5000));
}

void TestHeadless::fleetIsSteeredUnitByUnitThroughTheControlApi()
{
    const auto address = [](int k) { return QHostAddress(u"127.0.6.%1"_s.arg(11 + k)); };
    QProcess fleet;
    fleet.start(simulatorPath(), {u"--headless"_s, u"--units"_s, u"4@127.0.6.11"_s, u"--profiles"_s,
                                  u"cycle"_s, u"--control"_s, u"0"_s, u"--log-format"_s, u"jsonl"_s});
    QVERIFY(fleet.waitForStarted(5000));
    const QRegularExpression ready(u"^Control API listening on (http://127\\.0\\.0\\.1:\\d+)$"_s,
                                   QRegularExpression::MultilineOption);
    QString err;
    QVERIFY(QTest::qWaitFor(
        [&] { return ready.match(err += QString::fromUtf8(fleet.readAllStandardError())).hasMatch(); },
        5000));
    QVERIFY2(err.contains(u"4 of 4 units listening"_s), qPrintable(err));
    HttpClient http(ready.match(err).captured(1));

    const QJsonArray units = http.get(u"/api/v1/units"_s).json().array();
    QCOMPARE(units.size(), 4);
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(units[k][u"id"_s].toInt(), k);
        QCOMPARE(units[k][u"address"_s].toString(), address(k).toString());
        QCOMPARE(units[k][u"profile"_s].toInt(), k);
    }
    // A unit by index or by address; nothing else names one.
    QCOMPARE(http.get(u"/api/v1/units/127.0.6.12"_s).json()[u"id"_s].toInt(), 1);
    for (const QString& unknown : {u"4"_s, u"01"_s, u"-1"_s, u"127.0.6.15"_s, u"127.0.6"_s, u"::1"_s})
        QCOMPARE(http.get(u"/api/v1/units/"_s + unknown).status, 404);

    // Channels and profile change on the unit named, and on no other.
    QByteArray channels = R"({"channels": [)" + QByteArray::number(9);
    for (int n = 3; n <= 25; ++n)
        channels += ", " + QByteArray::number(n * 10);
    QCOMPARE(http.put(u"/api/v1/units/2/channels"_s, channels + "]}").status, 200);
    QCOMPARE(http.put(u"/api/v1/units/127.0.6.14/profile"_s, R"({"profile": 5})").status, 200);
    LoopbackClient client;
    QList<int> expected = {254, 50, 9};
    for (int n = 3; n <= 25; ++n)
        expected << n * 10;
    expected << 0 << 0 << 255;
    QCOMPARE(bytesOf(client.requestTo(address(2), 4002, unitFrame(50))), expected);
    // Unit 1 keeps its start values, which the API reports as they are on the wire.
    QList<int> untouched;
    for (const QJsonValue value : http.get(u"/api/v1/units/1"_s).json()[u"channels"_s].toArray())
        untouched << value.toInt();
    QCOMPARE(bytesOf(client.requestTo(address(1), 4001, unitFrame(50))).mid(2, 24), untouched);
    QVERIFY(untouched != expected.mid(2, 24));
    QCOMPARE(client.requestTo(address(3), 4005, unitFrame(50)).size(), 29);
    QVERIFY(client.requestTo(address(3), 4003, unitFrame(50), 200).isNull());

    // A rule goes to every unit and acts where its units= says.
    QCOMPARE(http.post(u"/api/v1/faults"_s, R"({"rule": "drop,on=channel-query,units=1"})").status, 201);
    QVERIFY(client.requestTo(address(1), 4001, unitFrame(50), 200).isNull());
    QCOMPARE(client.requestTo(address(0), 4000, unitFrame(50)).size(), 29);
    QCOMPARE(http.get(u"/api/v1/units/1/faults"_s).json()[0][u"fired"_s].toInt(), 1);
    QCOMPARE(http.get(u"/api/v1/units/0/faults"_s).json()[0][u"fired"_s].toInt(), 0);
    QCOMPARE(http.get(u"/api/v1/faults"_s).json()[0][u"fired"_s].toInt(), 1);

    // The API's log and the stream name each line's unit alike.
    const QJsonArray entries = http.get(u"/api/v1/log"_s).json()[u"entries"_s].toArray();
    QByteArray out;
    QVERIFY(QTest::qWaitFor(
        [&] { return (out += fleet.readAllStandardOutput()).count('\n') >= entries.size(); }, 5000));
    const QList<QByteArray> lines = out.split('\n');
    QVERIFY(entries.size() >= 9);
    QCOMPARE(lines.size() - 1, entries.size()); // nothing more was written
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries[i].toObject();
        const int unit = entry[u"unit"_s].toInt();
        QVERIFY2(entry[u"text"_s].toString().startsWith(address(unit).toString() + u' '),
                 qPrintable(entry[u"text"_s].toString()));
        QCOMPARE(entry, QJsonDocument::fromJson(lines[i]).object());
    }
    QCOMPARE(entries[0][u"unit"_s].toInt(), 2);
    // Each entry names its unit's address and what the datagram is.
    QCOMPARE(entries[0][u"address"_s].toString(), address(2).toString());
    QCOMPARE(entries[0][u"command"_s].toString(), u"channel-query"_s);
    QCOMPARE(entries[0][u"port"_s].toInt(), 4002);
    QCOMPARE(entries[0][u"endpoint"_s].toString(), u"unit"_s);
    const auto dropped = std::find_if(entries.cbegin(), entries.cend(), [](const QJsonValue& entry) {
        return entry[u"direction"_s].toString() == u"fault"_s;
    });
    QVERIFY(dropped != entries.cend());
    QCOMPARE((*dropped)[u"command"_s].toString(), u"channel-query"_s);
    QCOMPARE((*dropped)[u"address"_s].toString(), address(1).toString());
    // A unit of a fleet answers on its own address alone.
    QCOMPARE(units[3][u"addresses"_s].toArray(), QJsonArray{address(3).toString()});
    // A rule for no unit of the fleet is refused.
    const HttpClient::Answer refused = http.post(u"/api/v1/faults"_s, R"({"rule": "drop,units=4-9"})");
    QCOMPARE(refused.status, 400);
    QVERIFY(refused.json()[u"error"_s].toString().contains(u"numbered from 0 to 3"_s));
    // One broadcast is one datagram received, heard by four units, answered four times.
    QUdpSocket prober;
    QVERIFY(prober.bind(QHostAddress::LocalHost, 0));
    prober.writeDatagram("X", QHostAddress(u"127.255.255.255"_s), kDiscoveryPort);
    int answers = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            while (prober.hasPendingDatagrams()) {
                prober.receiveDatagram();
                ++answers;
            }
            return answers == 4;
        },
        5000));
    const QString metrics = QString::fromUtf8(http.get(u"/metrics"_s).body);
    for (const QString& line :
         {u"unitsim_datagrams_received_total{port=\"discovery\",command=\"discovery\"} 1"_s,
          u"unitsim_discovery_requests_heard_total 4"_s,
          u"unitsim_datagrams_sent_total{port=\"discovery\",command=\"discovery\"} 4"_s})
        QVERIFY2(metrics.contains(line + u'\n'), qPrintable(line + u"\n---\n"_s + metrics));
    fleet.terminate(); // as a user stops it: the log store it made goes too
    QVERIFY(fleet.waitForFinished(5000));
}

void TestHeadless::fleetThatCannotHaveItsFilesBindsNothing()
{
    // A hard limit of 200 open files cannot hold 1,000 units.
    const ProcessResult result = runProcess(
        u"sh"_s, {u"-c"_s, u"ulimit -n 200 && ulimit -Hn 200 && exec \"$0\" --headless --units 1000"_s,
                  simulatorPath()});
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(u"1000 units need 2064 open files: the system allows 200"_s),
             qPrintable(result.err));
    QVERIFY(!result.err.contains(u"listening"_s));
}

void TestHeadless::fleetIsCheckedBeforeItIsMade()
{
    // 10,000 units with sockets of their own need 20,000 open files: the reason comes before any
    // unit is made (with 300 MB of address space, the largest such fleet made first would end in
    // std::bad_alloc instead).
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer reserves more address space than this test allows");
#endif
    const ProcessResult result =
        runProcess(u"sh"_s, {u"-c"_s,
                             u"ulimit -n 200 && ulimit -Hn 200 && ulimit -v 300000 && exec \"$0\" --headless "
                             "--units 10000@127.254.0.0"_s,
                             simulatorPath()});
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(u"10000 units need 20064 open files"_s), qPrintable(result.err));
}

void TestHeadless::controlApiOutOfFilesRecovers()
{
    // With 40 open files at the most, the control API runs out of them after a few dozen
    // connections. It must not stop accepting for good (that it does not spin meanwhile is
    // measured by bench/run-api-bench.sh).
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizers' runtime needs file descriptors of its own, which this test takes away");
#endif
    constexpr int kClients = 60;
    constexpr int kOutOfFilesMs = 500; // how long the server is left out of files
    QProcess simulator;
    simulator.start(
        u"sh"_s, {u"-c"_s, u"ulimit -n 40 && exec \"$0\" --headless --quiet --control 0"_s, simulatorPath()});
    QVERIFY(simulator.waitForStarted(5000));
    const QRegularExpression ready(u"^Control API listening on (http://127\\.0\\.0\\.1:(\\d+))$"_s,
                                   QRegularExpression::MultilineOption);
    QString err;
    QVERIFY2(
        QTest::qWaitFor(
            [&] {
                return ready.match(err += QString::fromUtf8(simulator.readAllStandardError())).hasMatch();
            },
            5000),
        qPrintable(err));
    const quint16 port = quint16(ready.match(err).captured(2).toUInt());
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(clients.begin(), clients.end(), [](const auto& client) {
                return client->state() == QAbstractSocket::ConnectedState; // the kernel's backlog takes them
            });
        },
        5000));
    QTest::qWait(kOutOfFilesMs);
    QCOMPARE(simulator.state(), QProcess::Running);

    // Once files are free again, requests are served.
    clients.clear();
    HttpClient http(ready.match(err).captured(1));
    QCOMPARE(http.get(u"/api/v1/units"_s).status, 200);
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(5000));
}

void TestHeadless::neverFreezesOnAnOutputNobodyReads()
{
    // As in `unit-simulator --headless --log-format jsonl | sleep 60`: a pipe nobody reads.
    constexpr int kRequests = 3000; // 2.4 MB of lines: more than the pipe and the writer hold
    QProcess simulator;
    QProcess sleeper;
    QByteArray err;
    startPipedInto(simulator, sleeper, {u"sleep"_s, u"60"_s}, {u"--log-format"_s, u"jsonl"_s}, err);
    if (QTest::currentTestFailed())
        return;

    LoopbackClient client;
    int answered = 0;
    for (int i = 0; i < kRequests; ++i)
        answered += client.request(4000, unitFrame(50), 1000).size() == 29;
    QCOMPARE(answered, kRequests);
    QVERIFY2(QTest::qWaitFor(
                 [&] { return (err += simulator.readAllStandardError()).contains("not written"); }, 3000),
             err.constData());
    QVERIFY2(err.contains("Standard output is not being read: "), err.constData());

    // And a stop signal ends it, whatever is still waiting to be written.
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(5000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
    sleeper.kill();
    sleeper.waitForFinished();

    // A capture to a FIFO nobody reads would hold the start the same way: refused instead.
    QTemporaryDir dir;
    const QString fifo = dir.filePath(u"capture"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const ProcessResult refused = runProcess(simulatorPath(), {u"--headless"_s, u"--pcap"_s, fifo});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains(u"it is not a regular file"_s), qPrintable(refused.err));
}

void TestHeadless::portThatCannotBeBoundEndsTheRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("address"); // held by this test on port 4000
    QTest::addColumn<QString>("stopping");
    QTest::addColumn<QString>("listening");
    QTest::addRow("single unit") << QStringList{} << u"0.0.0.0"_s
                                 << u"Stopping: a port of the unit cannot be bound (--keep-going runs on)"_s
                                 << u"Discovery port 65535: listening"_s;
    QTest::addRow("fleet") << QStringList{u"--units"_s, u"3@127.0.7.1"_s} << u"127.0.7.2"_s
                           << u"Stopping: 1 of 3 units cannot listen (--keep-going runs on)"_s
                           << u"2 of 3 units listening"_s;
}

void TestHeadless::portThatCannotBeBoundEndsTheRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, address);
    QFETCH(QString, stopping);
    QFETCH(QString, listening);
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress(address), 4000), "port 4000 is needed by this test");
    const QStringList headless = QStringList{u"--headless"_s, u"--quiet"_s} + arguments;

    // A CI job sees it in the exit status.
    const ProcessResult ended = runProcess(simulatorPath(), headless);
    QCOMPARE(ended.exitCode, 1);
    QVERIFY2(ended.err.contains(u"4000: not listening"_s), qPrintable(ended.err));
    QVERIFY2(ended.err.contains(stopping), qPrintable(ended.err));

    // Told to, it runs on with what it has.
    QProcess running;
    running.start(simulatorPath(), headless + QStringList{u"--keep-going"_s});
    QString err;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     err += QString::fromUtf8(running.readAllStandardError());
                     return err.contains(listening) || running.state() == QProcess::NotRunning;
                 },
                 10000),
             qPrintable(err));
    QCOMPARE(running.state(), QProcess::Running);
    QVERIFY2(!err.contains(u"Stopping"_s), qPrintable(err));
    running.terminate();
    QVERIFY(running.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
