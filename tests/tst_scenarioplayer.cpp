// A scenario's timeline played on a fleet of three units, checked through their sockets. Uses the
// product's fixed ports (4000-4007 and 65535) on 127.0.6.x: fails with a clear message when
// another program holds them.
//
// The player's clock is held (stop()) while a test looks at the units between two events, so
// that no check races the next event however slow the machine is.
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "scenario/scenariofile.h"
#include "scenario/scenarioplayer.h"
#include "unit/discovery.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
// Played 20 times as fast: the whole timeline takes a fraction of a second.
const QByteArray kScenario = R"(
version: 1
seed: 5
time_scale: 20
units:
  - {count: 3, first: 127.0.6.1, profile: 0,
     channels: [10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33]}
faults: ["duplicate,on=status-query,units=0"]
timeline:
  - {at: 1s, units: 0, offline: {for: 2s}}
  - {at: 1s, units: 1, reboot: {for: 2s}}
  - {at: 1s, units: 2, fault: {rule: "drop,on=channel-query", for: 2s}}
  - {at: 1s, units: 2, profile: 3}
  - {at: 4s, units: 0-1, channels: [9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9]}
end: 5s
)"_ba;
// Settle times: an answer on loopback, and how long silence must last to count as none.
constexpr int kAnswerMs = 2000;
constexpr int kQuietMs = 200;
// The whole timeline at 20 times: 250 ms; this is its bound, however busy the machine.
constexpr int kPlayMs = 10000;

QHostAddress unitAddress(int k)
{
    return QHostAddress(quint32((127u << 24) | (6u << 8) | quint32(k + 1)));
}

QByteArray channelReply(const ChannelArray& channels)
{
    const UnitFrame frame = channelQueryReply(channels);
    return QByteArray(reinterpret_cast<const char*>(frame.data()), kUnitFrameSize);
}
} // namespace

class TestScenarioPlayer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startStateComesFromTheScenario();
    void eventsActInTheirWindowAndEndOnTime();
    void restartPutsTheStartBackAndRepeatsTheDraws();
    void statusSaysWhereTheTimelineIs();
    void aSpanEndsBeforeWhatBeginsAtItsEnd();

private:
    // Runs the clock until `text` appears in an event line, then holds it.
    void playUntil(const QString& text);
    QStringList eventLines() const;
    QList<TrafficLogEntry> linesOf(int unit) const;

    std::unique_ptr<UnitFleet> m_fleet;
    FaultRuleSet m_rules;
    std::unique_ptr<ScenarioPlayer> m_player;
    QList<std::pair<int, TrafficLogEntry>> m_log;
    std::optional<Scenario> m_scenario;
};

void TestScenarioPlayer::init()
{
    ScenarioError error;
    m_scenario = ScenarioFile::parse(kScenario, &error);
    QVERIFY2(m_scenario, qPrintable(error.text(u"scenario"_s)));
    m_fleet = std::make_unique<UnitFleet>(m_scenario->fleetUnits(), *m_scenario->seed);
    QStringList failures;
    connect(m_fleet.get(), &UnitFleet::endpointStateChanged, this,
            [&](int, bool listening, const QString& text) {
                if (!listening)
                    failures << text;
            });
    m_fleet->start();
    QVERIFY2(failures.isEmpty(),
             qPrintable(u"the fixed ports are needed by this test: "_s + failures.join(u'\n')));
    m_log.clear();
    connect(m_fleet.get(), &UnitFleet::trafficLogged, this, [this](int unit, const TrafficLogEntry& entry) {
        m_log.append({unit, entry});
    });
    QList<UnitSimulator*> units;
    for (qsizetype k = 0; k < m_fleet->size(); ++k)
        units << &m_fleet->unit(k);
    QList<FaultInjector*> injectors;
    for (UnitSimulator* unit : std::as_const(units))
        injectors << &unit->faults();
    m_rules.setInjectors(injectors);
    m_player = std::make_unique<ScenarioPlayer>(*m_scenario, units, m_rules);
    connect(m_player.get(), &ScenarioPlayer::eventLogged, this, [this](const TrafficLogEntry& entry) {
        m_log.append({-1, entry});
    });
    m_player->applyStart();
}

void TestScenarioPlayer::cleanup()
{
    m_player.reset();
    m_fleet.reset();
}

void TestScenarioPlayer::aSpanEndsBeforeWhatBeginsAtItsEnd()
{
    // Unit 1 rebooted from 1 s to 2 s, and again from 2 s: at 2 s it comes back, then goes down
    // again, and stays down after.
    ScenarioError error;
    m_scenario = ScenarioFile::parse("version: 1\nseed: 5\ntime_scale: 20\nunits:\n"
                                     "  - {count: 3, first: 127.0.6.1}\ntimeline:\n"
                                     "  - {at: 2s, units: 1, reboot: {for: 2s}}\n"
                                     "  - {at: 1s, units: 1, reboot: {for: 1s}}\nend: 5s\n",
                                     &error);
    QVERIFY2(m_scenario, qPrintable(error.text(u"scenario"_s)));
    QList<UnitSimulator*> units;
    for (qsizetype k = 0; k < m_fleet->size(); ++k)
        units << &m_fleet->unit(k);
    m_player = std::make_unique<ScenarioPlayer>(*m_scenario, units, m_rules);
    connect(m_player.get(), &ScenarioPlayer::eventLogged, this, [this](const TrafficLogEntry& entry) {
        m_log.append({-1, entry});
    });
    m_player->applyStart();
    m_log.clear();
    playUntil(u"reboot 127.0.6.2 for 2 s"_s);
    QCOMPARE(eventLines().filter(u"127.0.6.2"_s),
             QStringList({u"scenario: reboot 127.0.6.2 for 1 s"_s,
                          u"scenario: 127.0.6.2 back after reboot, channels at their start values"_s,
                          u"scenario: reboot 127.0.6.2 for 2 s"_s}));
    QCOMPARE(m_fleet->unit(1).state(), UnitSimulator::State::Rebooting);
    LoopbackClient controller;
    controller.sendTo(unitAddress(1), 4000, unitFrame(50));
    QVERIFY(controller.staysQuiet(kQuietMs));
}

QStringList TestScenarioPlayer::eventLines() const
{
    QStringList lines;
    for (const auto& [unit, entry] : m_log) {
        if (entry.kind == TrafficLogEntry::Kind::Event)
            lines << QString::fromUtf8(entry.note->text);
    }
    return lines;
}

QList<TrafficLogEntry> TestScenarioPlayer::linesOf(int unit) const
{
    QList<TrafficLogEntry> lines;
    for (const auto& [from, entry] : m_log) {
        if (from == unit)
            lines << entry;
    }
    return lines;
}

void TestScenarioPlayer::playUntil(const QString& text)
{
    const auto seen = [&] {
        return std::any_of(m_log.cbegin(), m_log.cend(), [&](const auto& line) {
            return line.first == -1 && QString::fromUtf8(line.second.note->text).contains(text);
        });
    };
    m_player->start();
    QVERIFY2(seen() || QTest::qWaitFor(seen, kPlayMs), qPrintable(u"no event line with "_s + text));
    m_player->stop();
}

void TestScenarioPlayer::startStateComesFromTheScenario()
{
    LoopbackClient controller;
    ChannelArray expected{};
    for (int k = 0; k < 24; ++k)
        expected[std::size_t(k + 2)] = 10 + k;
    for (int k = 0; k < 3; ++k)
        QCOMPARE(controller.requestTo(unitAddress(k), 4000, unitFrame(50), kAnswerMs),
                 channelReply(expected));
    // The scenario's rule acts on unit 0 alone: two replies there, one elsewhere.
    QVERIFY(!controller.requestTo(unitAddress(0), 4000, unitFrame(51), kAnswerMs).isEmpty());
    QVERIFY(!controller.receive(kAnswerMs).isEmpty());
    QVERIFY(!controller.requestTo(unitAddress(1), 4000, unitFrame(51), kAnswerMs).isEmpty());
    QVERIFY(controller.staysQuiet(kQuietMs));
}

void TestScenarioPlayer::eventsActInTheirWindowAndEndOnTime()
{
    LoopbackClient controller;
    // Unit 1 takes values of its own before its power is cut.
    controller.sendTo(unitAddress(1), 4000, unitFrame(0, repeated(77, 24)));
    const QByteArray before0 = controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs);
    QVERIFY(
        controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs).contains(QByteArray(24, 77)));

    playUntil(u"profile 3 on 127.0.6.3"_s);
    QCOMPARE(eventLines().mid(1, 4),
             QStringList({u"scenario: offline 127.0.6.1 for 2 s"_s, u"scenario: reboot 127.0.6.2 for 2 s"_s,
                          u"scenario: fault \"drop,on=channel-query\" on 127.0.6.3 for 2 s"_s,
                          u"scenario: profile 3 on 127.0.6.3"_s}));
    QCOMPARE(m_fleet->unit(0).state(), UnitSimulator::State::Offline);
    QCOMPARE(m_fleet->unit(1).state(), UnitSimulator::State::Rebooting);
    // The event's rule is on every unit under one id (the control API names rules by id across
    // a fleet), and acts on unit 2 alone: the others keep their fast path.
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(m_fleet->unit(k).faults().rules().size(), 2);
        QCOMPARE(m_fleet->unit(k).faults().rules().last().id, m_fleet->unit(0).faults().rules().last().id);
    }
    QVERIFY(m_fleet->unit(2).faults().isActive());
    QVERIFY(!m_fleet->unit(1).faults().isActive());

    // Down: nothing on either port, and what arrived is logged with the unit's state.
    m_log.clear();
    controller.sendTo(unitAddress(0), 4000, unitFrame(50));
    controller.sendTo(unitAddress(0), kDiscoveryPort, "X");
    controller.sendTo(unitAddress(1), 4000, unitFrame(0, repeated(1, 24)));
    QVERIFY(controller.staysQuiet(kQuietMs));
    QCOMPARE(linesOf(0).size(), 2);
    for (const TrafficLogEntry& line : linesOf(0))
        QCOMPARE(line.unansweredBecause(), "offline");
    QCOMPARE(linesOf(1).size(), 1);
    QCOMPARE(linesOf(1).first().unansweredBecause(), "rebooting");
    // The fault drops unit 2's channel queries, on the port of its new profile.
    const quint16 port3 = unitPortForProfile(3);
    controller.sendTo(unitAddress(2), port3, unitFrame(50));
    QVERIFY(controller.staysQuiet(kQuietMs));
    QVERIFY(!controller.requestTo(unitAddress(2), port3, unitFrame(51), kAnswerMs).isEmpty());

    // Back from the reboot with the start values, the 77s in 14-25 forgotten too.
    playUntil(u"back after reboot"_s);
    QCOMPARE(bytesOf(controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs)).mid(2, 24),
             repeated(125, 12) + repeated(0, 12));

    playUntil(u"channels 9"_s);
    QCOMPARE(eventLines().filter(u"back"_s),
             QStringList({u"scenario: 127.0.6.1 back online"_s,
                          u"scenario: 127.0.6.2 back after reboot, channels at their start values"_s}));
    QVERIFY(eventLines().contains(u"scenario: fault \"drop,on=channel-query\" on 127.0.6.3 ended"_s));
    QCOMPARE(m_fleet->unit(0).state(), UnitSimulator::State::Answering);
    // The set-channels sent while down was never acted on; the values events set are there.
    QVERIFY(controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs).contains(QByteArray(24, 9)));
    QVERIFY(!controller.requestTo(unitAddress(2), port3, unitFrame(50), kAnswerMs).isEmpty());
    QVERIFY(before0 != controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs));

    QSignalSpy finished(m_player.get(), &ScenarioPlayer::finished);
    m_player->start();
    QVERIFY(finished.wait(kPlayMs));
    QVERIFY(m_player->isFinished());
    QCOMPARE(m_player->elapsedMs(), 5000);
    QCOMPARE(eventLines().last(), u"scenario ended at 5 s"_s);
    // The end counts the events as the start did; the ends of the three spans apart.
    QCOMPARE(m_scenario->timeline.size(), 5); // what the start line counts
    QVERIFY2(m_player->timingText().startsWith(u"5 events fired (and 3 spans ended), late by "_s),
             qPrintable(m_player->timingText()));
}

void TestScenarioPlayer::restartPutsTheStartBackAndRepeatsTheDraws()
{
    LoopbackClient controller;
    QList<QByteArray> first;
    for (int k = 0; k < 5; ++k)
        first << controller.requestTo(unitAddress(1), 4000, unitFrame(51), kAnswerMs);
    const QByteArray startValues = controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs);

    QSignalSpy finished(m_player.get(), &ScenarioPlayer::finished);
    m_player->start();
    QVERIFY(finished.wait(kPlayMs));
    QVERIFY(controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs) != startValues);
    QCOMPARE(m_fleet->unit(2).profileIndex(), 3);

    m_player->restart();
    m_player->stop();
    QCOMPARE(m_fleet->unit(2).profileIndex(), 0);
    QCOMPARE(m_fleet->unit(2).faults().rules().size(), 1); // the scenario's rule alone
    QList<QByteArray> again;
    for (int k = 0; k < 5; ++k)
        again << controller.requestTo(unitAddress(1), 4000, unitFrame(51), kAnswerMs);
    QCOMPARE(again, first);
    QCOMPARE(controller.requestTo(unitAddress(1), 4000, unitFrame(50), kAnswerMs), startValues);
}

void TestScenarioPlayer::statusSaysWhereTheTimelineIs()
{
    QCOMPARE(m_player->statusText(),
             u"Scenario: 0.0 s of 5 s (stopped); next: offline 127.0.6.1 for 2 s at 1 s"_s);
    playUntil(u"profile 3"_s);
    const qint64 held = m_player->elapsedMs();
    QVERIFY2(held >= 1000 && held < 4000, qPrintable(QString::number(held)));
    QVERIFY(m_player->statusText().endsWith(
        u" s of 5 s (stopped); next: channels 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 on units 0-1 "
        "(127.0.6.1 to 127.0.6.2) at 4 s"_s));
    // Held means held: the clock does not move while stopped.
    QTest::qWait(50);
    QCOMPARE(m_player->elapsedMs(), held);
    QSignalSpy finished(m_player.get(), &ScenarioPlayer::finished);
    m_player->start();
    QVERIFY(finished.wait(kPlayMs));
    QCOMPARE(m_player->statusText(), u"Scenario: 5.0 s of 5 s; finished"_s);
}

QTEST_GUILESS_MAIN(TestScenarioPlayer)
#include "tst_scenarioplayer.moc"
