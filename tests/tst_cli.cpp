// The headless simulator and unitctl, as real processes on loopback. Uses the product's fixed
// ports (4000-4007 and 65535): fails with a clear message when another program holds them.
#include "app/appversion.h"
#include "loopbackclient.h"
#include "unit/unitprofiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
const QString kSimulator = QStringLiteral(UNITSIM_SIMULATOR_PATH);
const QString kUnitctl = QStringLiteral(UNITCTL_PATH);

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end while this thread's event loop keeps running (a test responder
// may need to answer it).
Result run(const QString& program, const QStringList& arguments, int timeoutMs = 10000)
{
    QProcess process;
    process.start(program, arguments);
    Result result;
    if (!process.waitForStarted(5000))
        return result;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

Result unitctl(const QStringList& arguments)
{
    return run(kUnitctl, arguments);
}
} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void headlessStreamsTheLog();
    void headlessQuiet();
    void headlessOutlivesItsLogReader();
    void headlessStopsCleanlyOnSignals_data();
    void headlessStopsCleanlyOnSignals();
    void badOptions_data();
    void badOptions();
    void helpAndVersion();

    void unitctlAgainstTheHeadlessSimulator();
    void unitctlJson();
    void unitctlTimesOutOnASilentPort();
    void unitctlReportsMalformedReplies_data();
    void unitctlReportsMalformedReplies();
    void unitctlUsageErrors_data();
    void unitctlUsageErrors();

private:
    void startHeadless(const QStringList& extra = {});
    std::unique_ptr<QProcess> m_simulator;
};

void TestCli::init()
{
    m_simulator.reset();
}

void TestCli::cleanup()
{
    if (m_simulator && m_simulator->state() != QProcess::NotRunning) {
        m_simulator->kill();
        m_simulator->waitForFinished();
    }
    m_simulator.reset();
}

void TestCli::startHeadless(const QStringList& extra)
{
    m_simulator = std::make_unique<QProcess>();
    m_simulator->start(kSimulator, QStringList{u"--headless"_s} + extra);
    QVERIFY(m_simulator->waitForStarted(5000));
    QString err;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     err += QString::fromUtf8(m_simulator->readAllStandardError());
                     return err.count(u": "_s) >= 2;
                 },
                 5000),
             qPrintable(err));
    QVERIFY2(!err.contains(u"not listening"_s),
             qPrintable(u"the fixed ports are needed by this test: "_s + err));
}

void TestCli::headlessStreamsTheLog()
{
    startHeadless({u"--profile"_s, u"3"_s});
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
            out += QString::fromUtf8(m_simulator->readAllStandardOutput());
            return out.count(QLatin1Char('\n')) >= expected.size();
        },
        5000));
    QCOMPARE(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected); // oldest first
}

void TestCli::headlessQuiet()
{
    startHeadless({u"--quiet"_s});
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    m_simulator->terminate();
    QVERIFY(m_simulator->waitForFinished(5000));
    QCOMPARE(m_simulator->exitCode(), 0);
    QCOMPARE(m_simulator->readAllStandardOutput(), QByteArray());
}

void TestCli::headlessOutlivesItsLogReader()
{
    // As in `unit-simulator --headless | head -c 1`: the reader leaves after the first byte.
    m_simulator = std::make_unique<QProcess>();
    QProcess reader;
    m_simulator->setStandardOutputProcess(&reader);
    reader.start(u"head"_s, {u"-c"_s, u"1"_s});
    m_simulator->start(kSimulator, {u"--headless"_s});
    QVERIFY(m_simulator->waitForStarted(5000));
    QByteArray err;
    QVERIFY(QTest::qWaitFor(
        [&] { return (err += m_simulator->readAllStandardError()).count("listening") == 2; }, 5000));
    QVERIFY2(!err.contains("not listening"), err.constData());

    LoopbackClient client;
    for (int i = 0; i < 200 && !err.contains("no longer written"); ++i) {
        QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
        err += m_simulator->readAllStandardError();
    }
    QVERIFY2(err.contains("Standard output is closed"), err.constData());
    QCOMPARE(client.request(4000, unitFrame(51)).size(), 29); // still serving
    QCOMPARE(m_simulator->state(), QProcess::Running);
    QVERIFY(reader.state() == QProcess::NotRunning || reader.waitForFinished(5000));
}

void TestCli::headlessStopsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addRow("SIGTERM") << int(SIGTERM);
    QTest::addRow("SIGINT") << int(SIGINT);
}

void TestCli::headlessStopsCleanlyOnSignals()
{
    QFETCH(int, signalNumber);
    startHeadless();
    LoopbackClient client;
    for (int i = 0; i < 50; ++i)
        QCOMPARE(client.request(4000, unitFrame(51)).size(), 29);
    ::kill(pid_t(m_simulator->processId()), signalNumber);
    QVERIFY(m_simulator->waitForFinished(5000));
    QCOMPARE(m_simulator->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_simulator->exitCode(), 0);
    // Everything written before the signal reached the pipe.
    QCOMPARE(m_simulator->readAllStandardOutput().count('\n'), 100);
}

void TestCli::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("unknown option") << QStringList{u"--headless"_s, u"--bogus"_s} << u"bogus"_s;
    QTest::addRow("profile 9") << QStringList{u"--headless"_s, u"--profile"_s, u"9"_s} << u"'9'"_s;
    QTest::addRow("profile -1") << QStringList{u"--headless"_s, u"--profile=-1"_s} << u"'-1'"_s;
    QTest::addRow("profile not a number")
        << QStringList{u"--headless"_s, u"--profile"_s, u"two"_s} << u"'two'"_s;
    QTest::addRow("profile without value") << QStringList{u"--headless"_s, u"--profile"_s} << u"profile"_s;
    QTest::addRow("profile without headless") << QStringList{u"--profile"_s, u"2"_s} << u"--headless"_s;
    QTest::addRow("stray argument") << QStringList{u"--headless"_s, u"now"_s} << u"'now'"_s;
}

void TestCli::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Result result = run(kSimulator, arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    QVERIFY(!result.err.contains(u"listening"_s)); // nothing was bound
}

void TestCli::helpAndVersion()
{
    const Result help = run(kSimulator, {u"--help"_s});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(u"--headless"_s));
    QVERIFY(help.out.contains(u"\"Generation 1\" LED driver @ port:4001"_s));
    const Result version = run(kSimulator, {u"--version"_s});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, u"unit-simulator "_s + QStringLiteral(UNITSIM_VERSION_STRING) + u"\n"_s);
    const Result ctlHelp = unitctl({u"--help"_s});
    QCOMPARE(ctlHelp.exitCode, 0);
    QVERIFY(ctlHelp.out.contains(u"fewer than 24 values"_s));
}

void TestCli::unitctlAgainstTheHeadlessSimulator()
{
    startHeadless({u"--profile"_s, u"6"_s, u"--quiet"_s});
    Result r = unitctl({u"discover"_s});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(
        r.out,
        u"127.0.0.1:65535  ALED.SIM.ULA.TOR.5/4005/*****/**/Lumivane/CVD2.1/*  (unit port 4005, kind CVD2.1)\n"_s);

    r = unitctl({u"set"_s, u"127.0.0.1:4005"_s, u"0"_s, u"255"_s, u"17"_s});
    QCOMPARE(r.exitCode, 0);
    r = unitctl({u"channels"_s, u"127.0.0.1:4005"_s});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 24);
    QCOMPARE(lines[0], u"channel  2: 0"_s);
    QCOMPARE(lines[1], u"channel  3: 255"_s);
    QCOMPARE(lines[2], u"channel  4: 17"_s);
    QCOMPARE(lines[23], u"channel 25: 0"_s);

    r = unitctl({u"status"_s, u"127.0.0.1:4005"_s});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(u"byte 11:  12  profile-specific"_s));
    QVERIFY(r.out.contains(u"byte 14:  12  profile-specific"_s));
    QVERIFY2(
        r.out.contains(
            u"matches profiles: 6 (CVD driver-12 channels @ port:4005) 8 (CCD driver-12 channels @ port:4007)"_s),
        qPrintable(r.out));
}

void TestCli::unitctlJson()
{
    startHeadless({u"--quiet"_s});
    Result r = unitctl({u"--json"_s, u"discover"_s, u"127.0.0.1"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject unit =
        QJsonDocument::fromJson(r.out.toUtf8()).object()[u"units"_s].toArray().at(0).toObject();
    QCOMPARE(unit[u"unit_port"_s].toInt(), 4000);
    QCOMPARE(unit[u"kind"_s].toString(), u"LED2.0"_s);

    r = unitctl({u"channels"_s, u"127.0.0.1"_s, u"--json"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject channels = QJsonDocument::fromJson(r.out.toUtf8()).object()[u"channels"_s].toObject();
    QCOMPARE(channels.size(), 24);
    QCOMPARE(channels[u"13"_s].toInt(), 125);
    QCOMPARE(channels[u"14"_s].toInt(), 0);

    r = unitctl({u"status"_s, u"localhost:4000"_s, u"--json"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject status = QJsonDocument::fromJson(r.out.toUtf8()).object();
    const QJsonArray bytes = status[u"bytes"_s].toArray();
    QCOMPARE(bytes.size(), 29);
    QCOMPARE(bytes[11].toInt(), 6);
    QCOMPARE(bytes[14].toInt(), 12);
    QCOMPARE(status[u"matching_profiles"_s].toArray(), QJsonArray{0});
}

void TestCli::unitctlTimesOutOnASilentPort()
{
    QUdpSocket silent;
    QVERIFY(silent.bind(QHostAddress::LocalHost, 0));
    const QString target = u"127.0.0.1:"_s + QString::number(silent.localPort());
    for (const QString& command : {u"channels"_s, u"status"_s}) {
        const Result r = unitctl({command, target, u"--timeout"_s, u"300"_s});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(u"no answer from "_s + target + u" within 300 ms"_s), qPrintable(r.err));
    }
}

void TestCli::unitctlReportsMalformedReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("problem");
    QByteArray good(29, '\0');
    good[0] = char(254);
    good[1] = char(50);
    good[28] = char(255);
    QTest::addRow("short") << good.left(28) << u"not 29 bytes long"_s;
    QByteArray wrongStart = good;
    wrongStart[0] = 0;
    QTest::addRow("first byte") << wrongStart << u"first byte is not 254"_s;
    QByteArray wrongCommand = good;
    wrongCommand[1] = char(51);
    QTest::addRow("command") << wrongCommand << u"the command is not echoed"_s;
    QByteArray wrongEnd = good;
    wrongEnd[28] = 0;
    QTest::addRow("last byte") << wrongEnd << u"last byte is not 255"_s;
}

void TestCli::unitctlReportsMalformedReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, problem);
    QUdpSocket responder; // answers every request with `reply`
    QVERIFY(responder.bind(QHostAddress::LocalHost, 0));
    connect(&responder, &QUdpSocket::readyRead, this, [&] {
        while (responder.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            char buffer[64];
            responder.readDatagram(buffer, sizeof buffer, &from, &port);
            responder.writeDatagram(reply, from, port);
        }
    });
    const Result r = unitctl({u"channels"_s, u"127.0.0.1:"_s + QString::number(responder.localPort())});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains(u"malformed reply"_s) && r.err.contains(problem), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
}

void TestCli::unitctlUsageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("no command") << QStringList{} << u"no command"_s;
    QTest::addRow("unknown command") << QStringList{u"reboot"_s, u"127.0.0.1"_s} << u"'reboot'"_s;
    QTest::addRow("value too big") << QStringList{u"set"_s, u"127.0.0.1"_s, u"256"_s} << u"'256'"_s;
    QTest::addRow("value negative") << QStringList{u"set"_s, u"127.0.0.1"_s, u"1"_s, u"-1"_s} << u"'-1'"_s;
    QTest::addRow("25 values") << (QStringList{u"set"_s, u"127.0.0.1"_s} + QStringList(25, u"1"_s))
                               << u"at most 24"_s;
    QTest::addRow("bad address") << QStringList{u"channels"_s, u"1.2.3"_s} << u"bad address"_s;
    QTest::addRow("bad port") << QStringList{u"status"_s, u"127.0.0.1:70000"_s} << u"bad port"_s;
    QTest::addRow("no host") << QStringList{u"channels"_s} << u"needs HOST"_s;
    QTest::addRow("bad timeout") << QStringList{u"--timeout"_s, u"soon"_s, u"discover"_s} << u"'soon'"_s;
}

void TestCli::unitctlUsageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Result r = unitctl(arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
