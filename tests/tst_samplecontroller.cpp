// The sample controller against a fleet of four: what the simulator tells of it, well-behaved and
// with each bad habit, through the control API's peers and verification, and the verdict of a
// scenario's expectations on it. Uses the fixed ports.
#include "httpclient.h"
#include "programs.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kUnits = 4;
// Long enough for discovery, a set-channels each and several polls of every unit.
constexpr double kRunSeconds = 2.0;

int requests(const QJsonObject& peer, const char* command)
{
    return peer[u"requests"_s][QLatin1String(command)].toInt();
}

// The controller's own count of the set-channels it sent again, from its summary.
int resendsIn(const QString& summary)
{
    static const QRegularExpression resends(u"resends=(\\d+)"_s);
    const QRegularExpressionMatch match = resends.match(summary);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}
} // namespace

class TestSampleController : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_simulator.stop(); }
    void eachHabitShowsInWhatTheUnitsReceived_data();
    void eachHabitShowsInWhatTheUnitsReceived();
    void aSilentUnitIsBackedOffFromAndSetAgain_data();
    void aSilentUnitIsBackedOffFromAndSetAgain();
    void eachExpectationFailsOnItsHabit_data();
    void eachExpectationFailsOnItsHabit();

private:
    // Runs the controller to its end; its own summary line.
    QString runController(const QString& habit, double seconds = kRunSeconds);
    QJsonObject onlyPeer();
    // Requests the units received from the controller: unit k's.
    QJsonObject peerOfUnit(int unit);
    int unitsPolled();

    HeadlessSimulator m_simulator;
    std::unique_ptr<HttpClient> m_http;
};

void TestSampleController::init()
{
    const QString problem = m_simulator.start(
        {u"--units"_s, u"%1@127.0.7.1"_s.arg(kUnits), u"--control"_s, u"0"_s, u"--quiet"_s});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QString url = m_simulator.controlUrl();
    QVERIFY2(!url.isEmpty(), qPrintable(m_simulator.startMessages()));
    m_http = std::make_unique<HttpClient>(url);
}

QString TestSampleController::runController(const QString& habit, double seconds)
{
    const ProcessResult result = runProcess(QStringLiteral(SAMPLE_CONTROLLER_PATH),
                                            {u"--discover"_s, u"127.255.255.255"_s, u"--seconds"_s,
                                             QString::number(seconds), u"--habit"_s, habit},
                                            int(seconds * 1000) + 10000);
    if (result.exitCode != 0)
        qWarning("sample-controller ended with %d: %s", result.exitCode, qPrintable(result.err));
    return result.out.trimmed();
}

QJsonObject TestSampleController::onlyPeer()
{
    const QJsonArray peers = m_http->get(u"/api/v1/peers"_s).json().array();
    return peers.size() == 1 ? peers[0].toObject() : QJsonObject{};
}

QJsonObject TestSampleController::peerOfUnit(int unit)
{
    return m_http->get(u"/api/v1/units/%1/peers"_s.arg(unit)).json().array().first().toObject();
}

int TestSampleController::unitsPolled()
{
    int polled = 0;
    for (int k = 0; k < kUnits; ++k) {
        const QByteArray matcher =
            R"({"units": ")" + QByteArray::number(k) + R"(", "command": "channel-query"})";
        polled += m_http->post(u"/api/v1/verify"_s, matcher).json()[u"matched"_s].toBool();
    }
    return polled;
}

void TestSampleController::eachHabitShowsInWhatTheUnitsReceived_data()
{
    QTest::addColumn<QString>("habit");
    QTest::newRow("well-behaved") << u"none"_s;
    QTest::newRow("polls too fast") << u"poll-too-fast"_s;
    QTest::newRow("discovery storm") << u"discovery-storm"_s;
    QTest::newRow("skips units") << u"skip-units"_s;
    QTest::newRow("malformed frame") << u"malformed"_s;
}

void TestSampleController::eachHabitShowsInWhatTheUnitsReceived()
{
    QFETCH(QString, habit);
    const QString summary = runController(habit);
    QVERIFY2(summary.startsWith(u"units=%1 "_s.arg(kUnits)), qPrintable(summary));
    const QJsonObject peer = onlyPeer();
    QVERIFY2(!peer.isEmpty(), "one controller, one peer");
    // One each, and one more for each unit it took for silent (none, unless the machine stalled).
    QCOMPARE(requests(peer, "set-channels"), kUnits + resendsIn(summary));
    const int malformed = peer[u"malformed"_s][u"length"_s].toInt();
    const int discovery = requests(peer, "discovery");
    const int busiest = peer[u"maxPerSecond"_s].toInt();
    const int polled = unitsPolled();
    qInfo("%s: %s; discovery %d, busiest second %d, units polled %d, malformed %d", qPrintable(habit),
          qPrintable(summary), discovery, busiest, polled, malformed);
    // Each habit shows where it should, and only there.
    QCOMPARE(malformed, habit == u"malformed"_s ? kUnits : 0);
    QCOMPARE(polled, habit == u"skip-units"_s ? kUnits / 2 : kUnits);
    if (habit == u"discovery-storm"_s)
        QVERIFY2(discovery >= 10, qPrintable(QString::number(discovery)));
    else
        QCOMPARE(discovery, 1);
    if (habit == u"poll-too-fast"_s)
        QVERIFY2(busiest >= 200, qPrintable(QString::number(busiest)));
    else
        QVERIFY2(busiest <= 6 * kUnits + 20, qPrintable(QString::number(busiest)));
}

void TestSampleController::aSilentUnitIsBackedOffFromAndSetAgain_data()
{
    QTest::addColumn<QString>("habit");
    QTest::newRow("well-behaved") << u"none"_s;
    QTest::newRow("no re-send") << u"no-resend"_s;
    QTest::newRow("no back-off") << u"no-backoff"_s;
}

void TestSampleController::aSilentUnitIsBackedOffFromAndSetAgain()
{
    QFETCH(QString, habit);
    // Unit 1 answers no query for a second and a half, then again.
    QCOMPARE(m_http
                 ->post(u"/api/v1/faults"_s,
                        R"({"rule": "drop,on=channel-query+status-query,units=1,for=1500ms"})")
                 .status,
             201);
    const QString summary = runController(habit, 3.0);
    const QJsonObject silent = peerOfUnit(1);
    const QJsonObject steady = peerOfUnit(0);
    const auto queries = [](const QJsonObject& peer) {
        return requests(peer, "channel-query") + requests(peer, "status-query");
    };
    qInfo("%s: %s; unit 1: %d queries, %d set-channels; unit 0: %d queries", qPrintable(habit),
          qPrintable(summary), queries(silent), requests(silent, "set-channels"), queries(steady));
    QCOMPARE(onlyPeer()[u"requests"_s][u"set-channels"_s].toInt(), kUnits + resendsIn(summary));
    if (habit == u"no-resend"_s)
        QCOMPARE(requests(silent, "set-channels"), 1);
    else
        QVERIFY(requests(silent, "set-channels") >= 2);
    if (habit == u"no-backoff"_s)
        QVERIFY(queries(silent) > queries(steady));
    else
        QVERIFY(queries(silent) < queries(steady));
}

namespace {
// A test case of a JUnit report: its name, and its failure's text when it failed.
struct TestCase {
    QString name;
    QString failure;
};

QList<TestCase> readJUnit(const QString& path, QString* problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return {};
    }
    QList<TestCase> cases;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"testcase")
            cases.append({xml.attributes().value(u"name"_s).toString(), {}});
        else if (xml.name() == u"failure" && !cases.isEmpty())
            cases.last().failure =
                xml.attributes().value(u"message"_s).toString() + u'\n' + xml.readElementText();
    }
    if (xml.hasError())
        *problem = xml.errorString();
    return cases;
}
} // namespace

void TestSampleController::eachExpectationFailsOnItsHabit_data()
{
    QTest::addColumn<QString>("habit");
    QTest::addColumn<QStringList>("failed");   // the expectations that fail, by name
    QTest::addColumn<QStringList>("evidence"); // what their failures must say
    QTest::newRow("well-behaved") << u"none"_s << QStringList{} << QStringList{};
    QTest::newRow("no re-send") << u"no-resend"_s
                                << QStringList{u"channels set again after a reboot"_s,
                                               u"rebooted unit set twice"_s}
                                << QStringList{u"127.0.7.3 got no set-channels within 2 s of being back"_s,
                                               u"scenario: 127.0.7.3 back after reboot"_s, u"near miss"_s};
    QTest::newRow("polls too fast") << u"poll-too-fast"_s << QStringList{u"no unit flooded"_s}
                                    << QStringList{u"got 51 requests within"_s, u"more than 50 a second"_s};
    QTest::newRow("discovery storm") << u"discovery-storm"_s << QStringList{u"discovery kept calm"_s}
                                     << QStringList{u"sent discovery 0."_s, u"not 4 s"_s};
    QTest::newRow("no back-off") << u"no-backoff"_s << QStringList{u"backs off from a silent unit"_s}
                                 << QStringList{u"to 127.0.7.2 after 3 went unanswered"_s,
                                                u"scenario: offline 127.0.7.2 for 2.5 s"_s};
    QTest::newRow("skips units")
        << u"skip-units"_s << QStringList{u"every unit polled"_s}
        << QStringList{u"127.0.7.2 got no channel- or status-query within 2 s of the start"_s,
                       u"127.0.7.4 got no"_s};
    QTest::newRow("malformed frame") << u"malformed"_s << QStringList{u"well-formed frames"_s}
                                     << QStringList{u"sent 127.0.7.1 a frame of 28 bytes, not 29"_s};
}

// The example scenario's seven expectations against the controller: all pass when it behaves,
// and with each bad habit exactly the ones it breaks fail, saying where, in the summary, the exit
// status and the JUnit report.
void TestSampleController::eachExpectationFailsOnItsHabit()
{
    QFETCH(QString, habit);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, evidence);
    m_simulator.stop(); // this test runs its own, on the scenario's units
    QTemporaryDir dir;
    const QString report = dir.filePath(u"report.xml"_s);
    HeadlessSimulator simulator;
    const QString problem =
        simulator.start({u"--scenario"_s, QStringLiteral(UNITSIM_EXAMPLES_DIR "/controller-check.yaml"),
                         u"--quiet"_s, u"--report"_s, report});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // A little past the scenario's 6 s, so that it polls to the end.
    const QString summary = runController(habit, 6.5);
    QVERIFY2(summary.startsWith(u"units=%1 "_s.arg(kUnits)), qPrintable(summary));
    // It may have ended already, while the controller ran.
    QVERIFY(simulator.process().state() == QProcess::NotRunning ||
            simulator.process().waitForFinished(10000));
    const QString err =
        simulator.startMessages() + QString::fromUtf8(simulator.process().readAllStandardError());
    QCOMPARE(simulator.process().exitCode(), failed.isEmpty() ? 0 : 4);
    QVERIFY2(
        err.contains(u"7 expectations: %1 passed, %2 failed"_s.arg(7 - failed.size()).arg(failed.size())),
        qPrintable(err));

    QString xmlProblem;
    const QList<TestCase> cases = readJUnit(report, &xmlProblem);
    QVERIFY2(xmlProblem.isEmpty(), qPrintable(xmlProblem));
    QCOMPARE(cases.size(), 7);
    QStringList failedInReport;
    QString failures;
    for (const TestCase& testCase : cases) {
        if (!testCase.failure.isEmpty()) {
            failedInReport << testCase.name;
            failures += testCase.failure;
        }
    }
    QCOMPARE(failedInReport, failed);
    for (const QString& words : evidence)
        QVERIFY2(failures.contains(words), qPrintable(u"'%1' not in:\n%2"_s.arg(words, failures)));
}

QTEST_GUILESS_MAIN(TestSampleController)
#include "tst_samplecontroller.moc"
