// Expectations judged on a log written here line by line, at chosen times, under a clock the test
// holds: what passes, what fails and when, and what a failure says. No sockets: the sample
// controller's runs against real units are in tst_samplecontroller.
#include "log/trafficlogmodel.h"
#include "record/unitframe.h"
#include "scenario/scenario.h"
#include "verify/expectationmonitor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QXmlStreamReader>

using namespace Qt::Literals::StringLiterals;
using Mark = TrafficLogEntry::EventMark;

namespace {
constexpr qint64 kStartUs = 1'800'000'000'000'000; // 2027-01-15, any fixed moment will do
const QStringList kAddresses{u"127.0.7.1"_s, u"127.0.7.2"_s, u"127.0.7.3"_s, u"127.0.7.4"_s};
constexpr quint32 kController = 0x7f000001; // 127.0.0.1

ExpectationDefinition expectation(const QString& check, const QByteArray& value)
{
    QString error;
    const QJsonValue json =
        value.isEmpty() ? QJsonValue() : QJsonDocument::fromJson("[" + value + "]").array()[0];
    const std::optional<ExpectationDefinition> parsed =
        ExpectationDefinition::fromJson(u"it"_s, check, json, &error);
    if (!parsed)
        qFatal("%s", qPrintable(error));
    return *parsed;
}

// A run of a scenario with four units and one expectation, played from a script of steps, each
// "MS WHAT [UNIT] [PORT]": at MS milliseconds after the start, a request to UNIT from
// 127.0.0.1:PORT (5000 when not given) that is set (set-channels), cq (channel-query), sq
// (status-query), short (28 bytes), bad (an unknown command) or disc (discovery, heard by every
// unit); a reply of UNIT to the port; an event on UNIT: down (reboot begins), back (after the
// reboot), offline, online; or tick (the monitor looks, at that time).
class Run {
public:
    Run(const ExpectationDefinition& expectation, double timeScale)
        : m_monitor(m_log)
    {
        m_log.setUnitAddresses(kAddresses);
        Scenario scenario;
        scenario.name = u"test"_s;
        scenario.timeScale = timeScale;
        scenario.expect = {expectation};
        m_monitor.setClock([this] { return m_nowUs; });
        m_monitor.judge(scenario);
    }

    void play(const QStringList& script)
    {
        add(0, TrafficLogEntry::event(u"scenario test started"_s, Mark::ScenarioStarted), -1);
        for (const QString& step : script) {
            const QStringList parts = step.split(u' ');
            const qint64 ms = parts[0].toLongLong();
            const QString what = parts.value(1);
            const int unit = parts.value(2, u"0"_s).toInt();
            const quint16 port = quint16(parts.value(3, u"5000"_s).toUInt());
            if (what == u"tick") {
                m_nowUs = kStartUs + ms * 1000;
                m_monitor.update();
            } else if (what == u"disc") {
                for (int k = 0; k < kAddresses.size(); ++k) {
                    TrafficLogEntry entry =
                        TrafficLogEntry::discoveryIncoming(kController, port, 65535, "X", 0);
                    entry.alsoHeardByOthers = k > 0;
                    add(ms, entry, k);
                }
            } else if (what == u"reply") {
                add(ms, TrafficLogEntry::unitOutgoing(kController, port, UnitFrame{}, 0), unit);
            } else if (const auto marks = eventMarks(); marks.contains(what)) {
                add(ms,
                    TrafficLogEntry::event(u"scenario: "_s + what + u' ' + kAddresses[unit], marks[what],
                                           quint32(unit), quint32(unit)),
                    -1);
            } else {
                add(ms, request(what, port), unit);
            }
        }
        m_monitor.update();
    }

    void finish(qint64 ms)
    {
        m_nowUs = kStartUs + ms * 1000;
        m_monitor.finish();
    }
    const ExpectationResult& result() const { return m_monitor.results().first(); }
    QStringList report() const { return m_monitor.report(); }
    ExpectationMonitor& monitor() { return m_monitor; }
    TrafficLogModel& log() { return m_log; }

private:
    static QMap<QString, Mark> eventMarks()
    {
        return {{u"down"_s, Mark::UnitsRebooting},
                {u"back"_s, Mark::UnitsRebooted},
                {u"offline"_s, Mark::UnitsOffline},
                {u"online"_s, Mark::UnitsOnline}};
    }

    static TrafficLogEntry request(const QString& what, quint16 port)
    {
        QByteArray frame(29, '\0');
        const QMap<QString, char> commands{
            {u"set"_s, 0}, {u"cq"_s, 50}, {u"sq"_s, 51}, {u"short"_s, 50}, {u"bad"_s, 7}};
        if (!commands.contains(what))
            qFatal("no such step: %s", qPrintable(what));
        frame[1] = commands[what];
        frame[2] = char(200);
        if (what == u"short")
            frame.chop(1);
        return TrafficLogEntry::unitIncoming(kController, port, 4000, frame, 0);
    }

    void add(qint64 ms, TrafficLogEntry entry, int unit)
    {
        entry.timeUs = kStartUs + ms * 1000;
        m_nowUs = std::max(m_nowUs, entry.timeUs);
        if (unit < 0)
            m_log.append(entry);
        else
            m_log.appendFrom(unit, entry);
    }

    TrafficLogModel m_log;
    ExpectationMonitor m_monitor;
    qint64 m_nowUs = kStartUs;
};

// Steps of several series, in the order of their times, as lines come.
QStringList byTime(QStringList steps)
{
    std::stable_sort(steps.begin(), steps.end(), [](const QString& a, const QString& b) {
        return a.section(u' ', 0, 0).toLongLong() < b.section(u' ', 0, 0).toLongLong();
    });
    return steps;
}

QStringList every(qint64 fromMs, qint64 stepMs, int count, const QString& what)
{
    QStringList steps;
    for (int k = 0; k < count; ++k)
        steps << QStringLiteral("%1 %2").arg(fromMs + k * stepMs).arg(what);
    return steps;
}
} // namespace

class TestExpectations : public QObject {
    Q_OBJECT

private slots:
    void judgesEachCheck_data();
    void judgesEachCheck();
    void linesBeforeTheStartAreNotJudgedAndARestartStartsOver();
    void reportsSummaryJsonAndJUnit();
    void marginSaysHowNearItCame_data();
    void marginSaysHowNearItCame();
};

void TestExpectations::judgesEachCheck_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<double>("timeScale");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("live");  // the state once the script has played
    QTest::addColumn<QString>("final"); // after the end (at the last step + 1 ms)
    QTest::addColumn<int>("failures");
    QTest::addColumn<QString>("says"); // in the first failure, or else in the note or the reason

    const auto row = [](const char* name) -> QTestData& { return QTest::newRow(name); };
    // Re-send after a reboot.
    row("re-sent in time") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                           << QStringList{u"0 back 1"_s, u"1900 set 1"_s, u"5000 tick"_s} << u"pending"_s
                           << u"passed"_s << 0 << u"1 unit back after a reboot, 1 got set-channels in time"_s;
    row("re-sent late") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                        << QStringList{u"0 back 1"_s, u"500 cq 1"_s, u"2100 set 1"_s} << u"failed"_s
                        << u"failed"_s << 1
                        << u"127.0.7.2 got no set-channels within 2 s of being back after its reboot, though "
                           u"127.0.0.1:5000 sent it channel-query meanwhile"_s;
    row("never re-sent, seen by the clock") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                                            << QStringList{u"0 back 1"_s, u"2001 tick"_s} << u"failed"_s
                                            << u"failed"_s << 1 << u"127.0.7.2 got no set-channels"_s;
    row("re-sent to another unit") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                                   << QStringList{u"0 back 1"_s, u"100 set 2"_s, u"3000 tick"_s}
                                   << u"failed"_s << u"failed"_s << 1 << u"127.0.7.2 got no set-channels"_s;
    row("time scale 10: 2 s is 200 ms")
        << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 10.0
        << QStringList{u"0 back 1"_s, u"150 set 1"_s, u"1000 back 2"_s, u"1250 set 2"_s} << u"failed"_s
        << u"failed"_s << 1 << u"127.0.7.3 got no set-channels"_s;
    row("rebooted again before the time")
        << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
        << QStringList{u"0 back 1"_s, u"1000 down 1"_s, u"2500 tick"_s, u"3000 back 1"_s, u"3500 set 1"_s}
        << u"pending"_s << u"passed"_s << 0 << u"2 units back"_s;
    row("back too near the end") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                                 << QStringList{u"0 back 1"_s} << u"pending"_s << u"not_exercised"_s << 0
                                 << u"every unit came back from its reboot too near the end to judge"_s;
    row("no reboot at all") << u"resend_after_reboot"_s << "{\"within\": \"2s\"}"_ba << 1.0
                            << QStringList{u"0 set 1"_s, u"100 cq 1"_s} << u"pending"_s << u"not_exercised"_s
                            << 0 << u"no unit came back from a reboot"_s;

    // Rates.
    row("5 a second within 5/s") << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0
                                 << every(0, 200, 11, u"cq 0"_s) << u"pending"_s << u"passed"_s << 0
                                 << u"11 requests from 1 unit"_s;
    row("6 in a second over 5/s") << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0
                                  << every(0, 150, 6, u"cq 0"_s) << u"failed"_s << u"failed"_s << 1
                                  << u"127.0.7.1 got 6 requests within 0.750 s"_s;
    row("a long flood is one failure")
        << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0 << every(0, 10, 300, u"sq 0"_s) << u"failed"_s
        << u"failed"_s << 1 << u"more than 5 a second"_s;
    row("each unit its own count") << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0
                                   << byTime(every(0, 150, 3, u"cq 0"_s) + every(0, 150, 3, u"cq 1"_s))
                                   << u"pending"_s << u"passed"_s << 0 << u"6 requests from 2 units"_s;
    row("a peer's rate over all units")
        << u"max_rate"_s << "{\"per_peer\": \"5/s\"}"_ba << 1.0
        << byTime(every(0, 150, 3, u"cq 0"_s) + every(0, 150, 3, u"cq 1"_s)) << u"failed"_s << u"failed"_s
        << 1 << u"127.0.0.1:5000 sent 6 requests"_s;
    row("a broadcast counts once for its peer")
        << u"max_rate"_s << "{\"per_peer\": \"2/s\"}"_ba << 1.0 << QStringList{u"0 disc"_s, u"100 disc"_s}
        << u"pending"_s << u"passed"_s << 0 << u"2 requests from 1 peer"_s;
    row("0.5/s: one in two seconds") << u"max_rate"_s << "{\"per_unit\": \"0.5/s\"}"_ba << 1.0
                                     << QStringList{u"0 cq 0"_s, u"1500 cq 0"_s} << u"failed"_s << u"failed"_s
                                     << 1 << u"got 2 requests within 1.500 s"_s;

    row("no controller: rates not exercised")
        << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0 << QStringList{u"3000 tick"_s} << u"pending"_s
        << u"not_exercised"_s << 0 << u"no request reached a unit port"_s;
    row("discovery alone is no unit's rate")
        << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0 << QStringList{u"0 disc"_s} << u"pending"_s
        << u"not_exercised"_s << 0 << u"no request reached a unit port"_s;

    // Discovery.
    row("discovery 5 s apart") << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0
                               << QStringList{u"0 disc"_s, u"5000 disc"_s, u"10000 disc 0 6000"_s}
                               << u"pending"_s << u"passed"_s << 0 << u"3 discovery requests from 2 peers"_s;
    row("a storm is one failure")
        << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0 << every(0, 100, 10, u"disc"_s)
        << u"failed"_s << u"failed"_s << 1
        << u"127.0.0.1:5000 sent discovery 0.100 s after its previous one, not 5 s"_s;
    row("no discovery: not exercised")
        << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0 << QStringList{u"0 cq 0"_s}
        << u"pending"_s << u"not_exercised"_s << 0 << u"no discovery request came"_s;
    row("one discovery is no interval") << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0
                                        << QStringList{u"0 disc"_s, u"10 disc 0 6000"_s} << u"pending"_s
                                        << u"not_exercised"_s << 0 << u"no peer sent discovery twice"_s;
    row("4.9 s is too soon") << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0
                             << QStringList{u"0 disc"_s, u"4900 disc"_s} << u"failed"_s << u"failed"_s << 1
                             << u"sent discovery 4.900 s after"_s;

    // Back-off.
    const QByteArray backoff = "{\"after_unanswered\": 3, \"at_most\": \"2/s\"}";
    row("keeps polling a silent unit fast")
        << u"backoff"_s << backoff << 1.0 << every(0, 100, 8, u"cq 1"_s) << u"failed"_s << u"failed"_s << 1
        << u"127.0.0.1:5000 sent 3 queries within 0.200 s to 127.0.7.2 after 3 "
           u"went unanswered"_s;
    row("backs off to 1 a second") << u"backoff"_s << backoff << 1.0
                                   << every(0, 100, 3, u"cq 1"_s) + every(1000, 1000, 5, u"cq 1"_s)
                                   << u"pending"_s << u"passed"_s << 0
                                   << u"5 queries sent after 3 unanswered"_s;
    QStringList answered;
    for (int k = 0; k < 10; ++k)
        answered << QStringLiteral("%1 cq 1").arg(k * 100) << QStringLiteral("%1 reply 1").arg(k * 100 + 1);
    // Nothing went unanswered often enough to need backing off: the run never tried the controller.
    row("answered queries are no silence")
        << u"backoff"_s << backoff << 1.0 << answered << u"pending"_s << u"not_exercised"_s << 0
        << u"0 queries sent after 3 unanswered | no peer asked a unit again after 3 unanswered queries"_s;
    row("set-channels are no queries") << u"backoff"_s << backoff << 1.0 << every(0, 50, 20, u"set 1"_s)
                                       << u"pending"_s << u"not_exercised"_s << 0 << u"0 queries"_s;

    // Polls.
    const QByteArray polls = "{\"every\": \"1s\", \"warm_up\": \"500ms\"}";
    QStringList allPolled;
    for (int unit = 0; unit < 4; ++unit)
        allPolled << every(400, 900, 3, u"sq %1"_s.arg(unit));
    allPolled = byTime(allPolled);
    row("every unit polled in time") << u"poll_coverage"_s << polls << 1.0 << allPolled << u"pending"_s
                                     << u"passed"_s << 0 << u"12 polls of 4 units; 0 gaps too long"_s;
    QStringList gap = allPolled;
    gap.removeAll(u"2200 sq 3"_s);
    gap << u"2400 tick"_s;
    row("a gap too long") << u"poll_coverage"_s << polls << 1.0 << gap << u"failed"_s << u"failed"_s << 1
                          << u"127.0.7.4 got no channel- or status-query for 1 s after the one at"_s;
    row("never polled") << u"poll_coverage"_s << polls << 1.0
                        << QStringList{u"400 cq 0"_s, u"450 cq 1"_s, u"460 cq 2"_s, u"501 tick"_s}
                        << u"failed"_s << u"failed"_s << 1
                        << u"127.0.7.4 got no channel- or status-query within 0.5 s of the start"_s;
    row("set-channels are no polls")
        << u"poll_coverage"_s << polls << 1.0
        << QStringList{u"400 cq 0"_s, u"420 set 3"_s, u"450 cq 1"_s, u"460 cq 2"_s, u"501 tick"_s}
        << u"failed"_s << u"failed"_s << 1
        << u"127.0.7.4 got no channel- or status-query within 0.5 s of the start"_s;

    // Malformed.
    row("well-formed") << u"no_malformed"_s << QByteArray("{}") << 1.0
                       << QStringList{u"0 set 0"_s, u"10 cq 0"_s} << u"pending"_s << u"passed"_s << 0
                       << u"0 malformed in the log"_s;
    row("short and unknown") << u"no_malformed"_s << QByteArray() << 1.0
                             << QStringList{u"0 short 2"_s, u"10 bad 3"_s} << u"failed"_s << u"failed"_s << 2
                             << u"127.0.0.1:5000 sent 127.0.7.3 a frame of 28 bytes, not 29"_s;
    row("no controller: nothing malformed, nothing sent")
        << u"no_malformed"_s << QByteArray("{}") << 1.0 << QStringList{u"2000 tick"_s} << u"pending"_s
        << u"not_exercised"_s << 0 << u"no datagram came from any peer"_s;

    // Verify.
    row("at least reached") << u"verify"_s
                            << "{\"units\": \"1\", \"command\": \"set-channels\", \"at_least\": 2}"_ba << 1.0
                            << QStringList{u"0 set 1"_s, u"10 cq 1"_s, u"20 set 1"_s} << u"passed"_s
                            << u"passed"_s << 0 << u"2 matching"_s;
    row("at least not reached") << u"verify"_s
                                << "{\"units\": \"1\", \"command\": \"set-channels\", \"at_least\": 2}"_ba
                                << 1.0 << QStringList{u"0 set 1"_s, u"10 cq 1"_s, u"20 set 2"_s}
                                << u"pending"_s << u"failed"_s << 1
                                << u"near miss 2: command channel-query, not set-channels"_s;
    row("at most exceeded, at once") << u"verify"_s << "{\"command\": \"status-query\", \"at_most\": 1}"_ba
                                     << 1.0 << QStringList{u"0 sq 1"_s, u"10 sq 2"_s} << u"failed"_s
                                     << u"failed"_s << 1 << u"2 matching requests by now, at most 1"_s;
    row("at most held by others") << u"verify"_s << "{\"command\": \"status-query\", \"at_most\": 0}"_ba
                                  << 1.0 << QStringList{u"0 cq 1"_s} << u"pending"_s << u"passed"_s << 0
                                  << u"0 matching"_s;
    row("at most held on silence") << u"verify"_s << "{\"command\": \"status-query\", \"at_most\": 0}"_ba
                                   << 1.0 << QStringList{u"1000 tick"_s} << u"pending"_s << u"not_exercised"_s
                                   << 0 << u"no datagram came from any peer"_s;
}

void TestExpectations::judgesEachCheck()
{
    QFETCH(QString, check);
    QFETCH(QByteArray, value);
    QFETCH(double, timeScale);
    QFETCH(QStringList, script);
    QFETCH(QString, live);
    QFETCH(QString, final);
    QFETCH(int, failures);
    QFETCH(QString, says);

    Run run(expectation(check, value), timeScale);
    run.play(script);
    QCOMPARE(QLatin1String(ExpectationResult::stateName(run.result().state)), live);
    const qint64 lastMs = script.isEmpty() ? 0 : script.last().section(u' ', 0, 0).toLongLong();
    run.finish(lastMs + 1);
    const ExpectationResult& result = run.result();
    QCOMPARE(QLatin1String(ExpectationResult::stateName(result.state)), final);
    QCOMPARE(result.failureCount, quint64(failures));
    QCOMPARE(result.failures.size(), failures);
    const QString text =
        result.failures.isEmpty() ? result.note + u" | "_s + result.reason : result.failures.first().message;
    QCOMPARE(result.reason.isEmpty(), final != u"not_exercised");
    QVERIFY2(text.contains(says), qPrintable(text));
    // Every failure points at log lines that hold what it says happened.
    for (const ExpectationFailure& failure : result.failures) {
        for (const quint64 seq : failure.seqs)
            QVERIFY(seq < run.log().endSeq());
        if (failure.eventSeq >= 0)
            QCOMPARE(run.log().entryWithSeq(quint64(failure.eventSeq)).kind, TrafficLogEntry::Kind::Event);
    }
}

void TestExpectations::linesBeforeTheStartAreNotJudgedAndARestartStartsOver()
{
    TrafficLogModel log;
    log.setUnitAddresses(kAddresses);
    ExpectationMonitor monitor(log);
    Scenario scenario;
    scenario.expect = {expectation(u"no_malformed"_s, "{}")};
    const auto shortFrame = [&] {
        log.appendFrom(0, TrafficLogEntry::unitIncoming(kController, 5000, 4000, QByteArray(10, '\0'), 0));
    };
    shortFrame(); // before the scenario was loaded
    monitor.judge(scenario);
    shortFrame(); // loaded, not yet started
    monitor.update();
    QCOMPARE(monitor.toJson()[u"state"_s].toString(), u"waiting"_s);
    log.append(TrafficLogEntry::event(u"started"_s, Mark::ScenarioStarted));
    shortFrame();
    monitor.update();
    QCOMPARE(monitor.results().first().failureCount, 1u);
    QCOMPARE(monitor.failedCount(), 1);
    // Restarted: judged afresh from the new start.
    log.append(TrafficLogEntry::event(u"started"_s, Mark::ScenarioStarted));
    monitor.update();
    QCOMPARE(monitor.results().first().state, ExpectationResult::State::Pending);
    QCOMPARE(monitor.results().first().failureCount, 0u);
    log.appendFrom(0, TrafficLogEntry::unitIncoming(kController, 5000, 4000, QByteArray(29, '\0'), 0));
    monitor.finish();
    QVERIFY(monitor.allPassed());
    QCOMPARE(monitor.summary(), u"1 expectation: 1 passed, 0 failed"_s);
}

void TestExpectations::reportsSummaryJsonAndJUnit()
{
    TrafficLogModel log;
    log.setUnitAddresses(kAddresses);
    ExpectationMonitor monitor(log);
    Scenario scenario;
    scenario.name = u"room <1> & \"two\""_s; // written as XML text, not markup
    scenario.expect = {expectation(u"no_malformed"_s, "{}"),
                       expectation(u"verify"_s, "{\"command\": \"set-channels\", \"at_least\": 1}"),
                       expectation(u"max_rate"_s, "{\"per_unit\": \"100/s\"}"),
                       expectation(u"discovery_interval"_s, "{\"at_least\": \"5s\"}")};
    scenario.expect[1].name = u"sets"_s;
    scenario.expect[2].name = u"calm"_s;
    scenario.expect[3].name = u"quiet"_s;
    monitor.judge(scenario);
    log.append(TrafficLogEntry::event(u"started"_s, Mark::ScenarioStarted));
    log.appendFrom(2, TrafficLogEntry::unitIncoming(kController, 5000, 4000, QByteArray(3, '\x07'), 0));
    monitor.update();
    QCOMPARE(monitor.summary(), u"4 expectations: 0 passed, 1 failed, 3 pending"_s);
    QCOMPARE(monitor.toJson()[u"state"_s].toString(), u"running"_s);
    monitor.finish();
    QCOMPARE(monitor.summary(), u"4 expectations: 1 passed, 2 failed, 1 not exercised"_s);
    QCOMPARE(monitor.notExercisedCount(), 1);
    const QStringList report = monitor.report();
    QCOMPARE(report.first(), monitor.summary());
    QCOMPARE(report.filter(u"NOT EXERCISED"_s),
             QStringList{u"NOT EXERCISED quiet (discovery_interval: each peer waits at least 5 s between "
                         u"discovery requests): no discovery request came"_s});
    QVERIFY(report.filter(u"FAILED it (no_malformed: no malformed datagram): 1 time"_s).size() == 1);
    QVERIFY(report.filter(u"FAILED sets (verify"_s).size() == 1);

    const QJsonObject json = monitor.toJson();
    QCOMPARE(json[u"state"_s].toString(), u"ended"_s);
    QCOMPARE(json[u"passed"_s].toBool(), false);
    QCOMPARE(json[u"expectations"_s][3][u"state"_s].toString(), u"not_exercised"_s);
    QCOMPARE(json[u"expectations"_s][3][u"reason"_s].toString(), u"no discovery request came"_s);
    const QJsonObject failure = json[u"expectations"_s][0][u"failures"_s][0].toObject();
    QCOMPARE(failure[u"unit"_s].toInt(), 2);
    QCOMPARE(failure[u"unitAddress"_s].toString(), u"127.0.7.3"_s);
    QCOMPARE(failure[u"peer"_s].toString(), u"127.0.0.1:5000"_s);
    QCOMPARE(failure[u"seqs"_s].toArray().first().toInteger(), 1);

    QXmlStreamReader xml(monitor.junitXml());
    QStringList cases;
    QStringList failed;
    QStringList skipped;
    QStringList margins;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"testsuite") {
            QCOMPARE(xml.attributes().value(u"name"_s), scenario.name);
            QCOMPARE(xml.attributes().value(u"tests"_s), u"4"_s);
            QCOMPARE(xml.attributes().value(u"failures"_s), u"2"_s);
            QCOMPARE(xml.attributes().value(u"skipped"_s), u"1"_s);
        } else if (xml.name() == u"testcase") {
            cases << xml.attributes().value(u"name"_s).toString();
        } else if (xml.name() == u"failure") {
            failed << cases.last();
        } else if (xml.name() == u"skipped") {
            skipped << cases.last() + u": "_s + xml.attributes().value(u"message"_s).toString();
        } else if (xml.name() == u"property") {
            margins << cases.last() + u' ' + xml.attributes().value(u"name"_s).toString() + u'=' +
                           xml.attributes().value(u"value"_s).toString();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(cases, (QStringList{u"it"_s, u"sets"_s, u"calm"_s, u"quiet"_s}));
    QCOMPARE(failed, (QStringList{u"it"_s, u"sets"_s}));
    QCOMPARE(skipped, QStringList{u"quiet: not exercised: no discovery request came"_s});
    // One request of 100 a second allowed: 0.99 from failing; "sets" reached none of at least 1.
    QCOMPARE(margins, (QStringList{u"sets margin=-1.000"_s, u"calm margin=0.990"_s}));
}

void TestExpectations::marginSaysHowNearItCame_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<double>("timeScale");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<double>("margin"); // NaN: none
    QTest::addColumn<QString>("says");
    QTest::addColumn<int>("unit"); // where it came nearest; -1: on no one unit

    const QByteArray within = "{\"within\": \"2s\"}";
    QTest::newRow("re-sent 1.8 s after, within 2 s")
        << u"resend_after_reboot"_s << within << 1.0
        << QStringList{u"0 back 1"_s, u"1800 set 1"_s, u"5000 tick"_s} << 0.1
        << u"the slowest set-channels, to 127.0.7.2, came 1.8 s after it was back, within 2 s"_s << 1;
    QTest::newRow("time scale 10: 150 ms is 1.5 s")
        << u"resend_after_reboot"_s << within << 10.0
        << QStringList{u"0 back 1"_s, u"150 set 1"_s, u"500 tick"_s} << 0.25
        << u"came 1.5 s after it was back"_s << 1;
    QTest::newRow("never re-sent: beyond")
        << u"resend_after_reboot"_s << within << 1.0 << QStringList{u"0 back 1"_s, u"2001 tick"_s} << -1.0
        << u"a unit got no set-channels within 2 s of being back"_s << -1;
    QTest::newRow("no reboot: no margin") << u"resend_after_reboot"_s << within << 1.0
                                          << QStringList{u"0 set 1"_s} << qQNaN() << QString() << -1;
    QTest::newRow("4 a second against 5")
        << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0 << every(0, 250, 9, u"cq 0"_s) << 0.2
        << u"the busiest second of 127.0.7.1 held 4 of the 5 allowed"_s << -1;
    QTest::newRow("6 against 5: beyond")
        << u"max_rate"_s << "{\"per_unit\": \"5/s\"}"_ba << 1.0 << every(0, 150, 6, u"cq 0"_s) << -0.2
        << u"held 6 of the 5 allowed"_s << -1;
    QTest::newRow("discovery 5.5 s apart")
        << u"discovery_interval"_s << "{\"at_least\": \"5s\"}"_ba << 1.0
        << QStringList{u"0 disc"_s, u"5500 disc"_s} << 0.1
        << u"the shortest interval, of 127.0.0.1:5000, was 5.5 s against 5 s"_s << -1;
    QTest::newRow("backing off at 1 a second of 2")
        << u"backoff"_s << "{\"after_unanswered\": 3, \"at_most\": \"2/s\"}"_ba << 1.0
        << every(0, 100, 3, u"cq 1"_s) + every(1000, 1000, 5, u"cq 1"_s) << 0.5
        << u"backing off, the busiest second (127.0.0.1:5000 to 127.0.7.2) held 1 of the 2 allowed"_s << -1;
    QStringList polled;
    for (int unit = 0; unit < 4; ++unit)
        polled << every(400, 900, 3, u"sq %1"_s.arg(unit));
    QTest::newRow("polled every 0.9 s of 1 s")
        << u"poll_coverage"_s << "{\"every\": \"1s\", \"warm_up\": \"500ms\"}"_ba << 1.0 << byTime(polled)
        << 0.1 << u"the longest gap between polls, of 127.0.7.1, was 0.9 s against 1 s"_s << 0;
    QTest::newRow("3 of at most 4") << u"verify"_s << "{\"command\": \"status-query\", \"at_most\": 4}"_ba
                                    << 1.0 << every(0, 10, 3, u"sq 1"_s) << 0.25 << u"3 matching, at most 4"_s
                                    << -1;
    QTest::newRow("6 of at least 4") << u"verify"_s << "{\"command\": \"status-query\", \"at_least\": 4}"_ba
                                     << 1.0 << every(0, 10, 6, u"sq 1"_s) << 0.5
                                     << u"6 matching, at least 4"_s << -1;
    QTest::newRow("malformed: no limit to near") << u"no_malformed"_s << QByteArray("{}") << 1.0
                                                 << QStringList{u"0 set 0"_s} << qQNaN() << QString() << -1;
}

// Each check with a limit says how near the run came to it, as a share of the limit, and what came
// nearest; the result gives it in JSON too, and the report names a close pass.
void TestExpectations::marginSaysHowNearItCame()
{
    QFETCH(QString, check);
    QFETCH(QByteArray, value);
    QFETCH(double, timeScale);
    QFETCH(QStringList, script);
    QFETCH(double, margin);
    QFETCH(QString, says);
    QFETCH(int, unit);

    Run run(expectation(check, value), timeScale);
    run.play(script);
    run.finish(script.last().section(u' ', 0, 0).toLongLong() + 1);
    const ExpectationResult& result = run.result();
    if (qIsNaN(margin)) {
        QVERIFY2(!result.margin, qPrintable(result.marginText()));
        QVERIFY(!result.toJson().contains(u"margin"_s));
        return;
    }
    QVERIFY(result.margin);
    QVERIFY2(qAbs(result.margin->fraction - margin) < 0.001,
             qPrintable(QString::number(result.margin->fraction)));
    QVERIFY2(result.margin->text.contains(says), qPrintable(result.margin->text));
    QCOMPARE(result.margin->unit, unit);
    QCOMPARE(result.toJson()[u"margin"_s][u"fraction"_s].toDouble(), std::round(margin * 1000) / 1000);
    QCOMPARE(result.state == ExpectationResult::State::Failed, margin < 0);
    const QStringList close = run.report().filter(u"CLOSE it"_s);
    QCOMPARE(close.size(), margin >= 0 && margin < ExpectationMargin::kClose ? 1 : 0);
    if (!close.isEmpty())
        QVERIFY2(close.first().endsWith(u"passed, %1 % from failing: "_s.arg(qRound(margin * 100)) +
                                        result.margin->text),
                 qPrintable(close.first()));
}

QTEST_GUILESS_MAIN(TestExpectations)
#include "tst_expectations.moc"
