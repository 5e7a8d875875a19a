// The network models of the fault engine (burst loss, rate limits, reordering) and rules that wear
// off, measured against their models over many datagrams without any socket.
#include "fault/faultinjector.h"
#include "fault/faultruleset.h"
#include "fault/replyreorderhold.h"
#include "faultsupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <numeric>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kRequests = 100000;
constexpr double kTolerance = 0.03;

// What a loss rule does to `count` channel-queries: which were lost, and the burst lines.
struct LossRun {
    std::vector<bool> lost;
    qsizetype lostInBursts = 0;
    QStringList lines;
    quint64 bursts = 0;
};

LossRun runLoss(const QString& text, quint64 seed, int count = kRequests)
{
    FaultInjector faults(seed);
    LossRun run;
    QObject::connect(&faults, &FaultInjector::noted, [&](const QString& line) { run.lines << line; });
    const int id = faults.add(validRule(text));
    run.lost.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        bool inBurst = false;
        run.lost.push_back(faults.dropRequest(FaultKind::ChannelQuery, &inBurst) != nullptr);
        run.lostInBursts += inBurst;
    }
    run.bursts = faults.rules().first().bursts;
    faults.remove(id); // a burst still open is told now
    return run;
}

double relativeError(double measured, double model)
{
    return qAbs(measured - model) / model;
}
} // namespace

class TestFaultModels : public QObject {
    Q_OBJECT

private slots:
    void gilbertLossFollowsItsModel_data();
    void gilbertLossFollowsItsModel();
    void lossRepeatsUnderASeed();
    void rateLetsThroughItsRateUnderFiveTimesTheOffer();
    void rateRefillsAfterAQuietSpell();
    void afterAndTimesCountOnEachUnitAndOnAll();
    void forEndsTheRuleOnTimeEverywhere();
    void reorderHoldWaitsForLaterRepliesOnly();
    void reorderHoldIsBoundedAndReleasesOnItsGap();
};

void TestFaultModels::gilbertLossFollowsItsModel_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("lossRate");      // pi_good * (1-K) + pi_bad * (1-H), pi_bad = P / (P + R)
    QTest::addColumn<double>("burstLength");   // 1 / R: requests a stay in the bad state lasts
    QTest::addColumn<bool>("allLostInBursts"); // H = 0 and K = 1: a burst is a run of losses
    QTest::addRow("gilbert 0.05, 0.5") << u"loss=gilbert:0.05,0.5"_s << 0.05 / 0.55 << 2.0 << true;
    QTest::addRow("burst 4, 0.2") << u"loss=burst:4,0.2"_s << 0.2 << 4.0 << true;
    QTest::addRow("gilbert with H and K")
        << u"loss=gilbert:0.1,0.3,0.5,0.98"_s << 0.75 * 0.02 + 0.25 * 0.5 << 1 / 0.3 << false;
}

void TestFaultModels::gilbertLossFollowsItsModel()
{
    QFETCH(QString, text);
    QFETCH(double, lossRate);
    QFETCH(double, burstLength);
    QFETCH(bool, allLostInBursts);
    const LossRun run = runLoss(text, 20261208);

    const auto lost = std::count(run.lost.cbegin(), run.lost.cend(), true);
    const double measuredRate = double(lost) / kRequests;
    QVERIFY2(relativeError(measuredRate, lossRate) < kTolerance,
             qPrintable(u"loss rate %1, model %2"_s.arg(measuredRate).arg(lossRate)));

    // One line a burst, with its length and its losses; their lengths average 1/R.
    static const QRegularExpression form(
        u"^loss=\\S+: burst of (\\d+) requests? from \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\(matching request (\\d+)\\), (\\d+) lost"_s);
    QList<int> lengths;
    qint64 lostInLines = 0;
    for (const QString& line : run.lines) {
        const QRegularExpressionMatch match = form.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        lengths << match.captured(1).toInt();
        lostInLines += match.captured(3).toInt();
    }
    QCOMPARE(quint64(lengths.size()), run.bursts);
    QCOMPARE(lostInLines, qint64(run.lostInBursts));
    const double meanBurst = std::accumulate(lengths.cbegin(), lengths.cend(), 0.0) / double(lengths.size());
    QVERIFY2(relativeError(meanBurst, burstLength) < kTolerance,
             qPrintable(u"mean burst %1 requests, model %2"_s.arg(meanBurst).arg(burstLength)));
    qInfo("%s: loss rate %.4f (model %.4f), mean burst %.3f requests (model %.3f), %lld bursts",
          qPrintable(text), measuredRate, lossRate, meanBurst, burstLength, qlonglong(lengths.size()));
    if (allLostInBursts) {
        // The lines tell exactly the runs of lost requests.
        QCOMPARE(lengths, lossRuns(run.lost));
        QCOMPARE(run.lostInBursts, qsizetype(lost));
    } else {
        QVERIFY(run.lostInBursts < lost); // some were lost in the good state, each with its own line
    }
}

void TestFaultModels::lossRepeatsUnderASeed()
{
    const LossRun first = runLoss(u"loss=burst:3,0.1"_s, 7, 5000);
    QCOMPARE(runLoss(u"loss=burst:3,0.1"_s, 7, 5000).lost, first.lost);
    QVERIFY(runLoss(u"loss=burst:3,0.1"_s, 8, 5000).lost != first.lost);

    // A new seed mid-run restarts the draws and the chain: the same losses as a fresh start.
    FaultInjector faults(99);
    faults.add(validRule(u"loss=burst:3,0.1"_s));
    for (int i = 0; i < 777; ++i)
        faults.dropRequest(FaultKind::StatusQuery);
    faults.reseed(7);
    std::vector<bool> again;
    for (int i = 0; i < 5000; ++i)
        again.push_back(faults.dropRequest(FaultKind::ChannelQuery) != nullptr);
    QCOMPARE(again, first.lost);
}

void TestFaultModels::rateLetsThroughItsRateUnderFiveTimesTheOffer()
{
    // 100,000 replies offered at 5,000 a second, on a clock the test turns.
    constexpr int kOffered = 5000;
    constexpr int kRate = 1000;
    qint64 nowNs = 0;
    FaultInjector faults(1);
    faults.setClock([&] { return nowNs; });
    faults.add(validRule(u"rate=%1/s"_s.arg(kRate)));
    QList<int> perSecond(kRequests / kOffered, 0);
    qsizetype dropNotes = 0;
    for (int i = 0; i < kRequests; ++i) {
        nowNs = qint64(i) * 1000000000 / kOffered;
        ReplyCopies copies(1);
        copies[0].size = 29;
        QStringList notes;
        faults.actOnReply(FaultKind::StatusQuery, copies, u"127.0.0.1:5000"_s, notes);
        if (!copies[0].dropped)
            ++perSecond[i / kOffered];
        dropNotes += notes.size();
    }
    // The first second also empties the full bucket; every later one lets the rate through.
    QVERIFY2(perSecond[0] <= kRate + kRate + 1, qPrintable(QString::number(perSecond[0])));
    for (qsizetype s = 1; s < perSecond.size(); ++s)
        QVERIFY2(qAbs(perSecond[s] - kRate) <= kRate / 100,
                 qPrintable(u"second %1 let %2 through"_s.arg(s).arg(perSecond[s])));
    const auto [fewest, most] = std::minmax_element(perSecond.cbegin() + 1, perSecond.cend());
    qInfo("rate=%d/s at %d/s offered: %d in the first second, then %d to %d a second", kRate, kOffered,
          perSecond[0], *fewest, *most);
    const FaultInjector::Entry& entry = faults.rules().first();
    QCOMPARE(entry.matched, quint64(kRequests));
    QCOMPARE(qsizetype(entry.fired), dropNotes);
    QCOMPARE(entry.fired + quint64(std::accumulate(perSecond.cbegin(), perSecond.cend(), 0)),
             quint64(kRequests));
}

void TestFaultModels::rateRefillsAfterAQuietSpell()
{
    qint64 nowNs = 0;
    FaultInjector faults(1);
    faults.setClock([&] { return nowNs; });
    faults.add(validRule(u"rate=10/s,burst=3,on=discovery"_s));
    const auto passes = [&] {
        ReplyCopies copies(2); // two copies (a duplicate before it): each needs its token
        QStringList notes;
        faults.actOnReply(FaultKind::Discovery, copies, u"127.0.0.1:5000"_s, notes);
        return int(!copies[0].dropped) + int(!copies[1].dropped);
    };
    QCOMPARE(passes(), 2); // the full bucket: 3 tokens
    QCOMPARE(passes(), 1);
    QCOMPARE(passes(), 0);
    nowNs = 150 * 1000000; // 1.5 tokens earned
    QCOMPARE(passes(), 1);
    nowNs += 3600LL * 1000000000; // an hour later the bucket is full, not fuller
    QCOMPARE(passes(), 2);
    QCOMPARE(passes(), 1);
}

void TestFaultModels::afterAndTimesCountOnEachUnitAndOnAll()
{
    FaultInjector unit0(1);
    FaultInjector unit1(2);
    FaultRuleSet set;
    set.setInjectors({&unit0, &unit1});
    QSignalSpy wornOff(&set, &FaultRuleSet::ruleWornOff);
    const int id = set.add(validRule(u"drop,after=2,times=3"_s));
    QCOMPARE(unit0.rules().first().id, id);
    QCOMPARE(unit1.rules().first().id, id);

    // after= counts each unit's requests; times= the drops of both.
    QString pattern;
    for (int i = 0; i < 6; ++i) {
        for (FaultInjector* unit : {&unit0, &unit1})
            pattern += unit->dropRequest(FaultKind::StatusQuery) ? u'x' : u'.';
    }
    QCOMPARE(pattern, u"....xxx....."_s);
    // Worn off at once; removed from both when the event loop comes round, with one line.
    QVERIFY(wornOff.wait(1000));
    QCOMPARE(wornOff.size(), 1);
    QCOMPARE(wornOff.first().at(0).toInt(), id);
    QCOMPARE(wornOff.first().at(1).toString(),
             u"drop,after=2,times=3: acted 3 times, removed (matched 7, acted 3)"_s);
    QVERIFY(unit0.rules().isEmpty());
    QVERIFY(unit1.rules().isEmpty());
    QVERIFY(!unit0.isActive());
}

void TestFaultModels::forEndsTheRuleOnTimeEverywhere()
{
    FaultInjector unit0(1);
    FaultInjector unit1(2);
    FaultRuleSet set;
    set.setInjectors({&unit0, &unit1});
    QSignalSpy wornOff(&set, &FaultRuleSet::ruleWornOff);
    QElapsedTimer clock;
    clock.start();
    set.add(validRule(u"drop,for=200ms"_s));
    set.add(validRule(u"corrupt,times=1000"_s)); // stays
    QVERIFY(unit1.dropRequest(FaultKind::ChannelQuery));
    QVERIFY(wornOff.wait(5000));
    QVERIFY2(clock.elapsed() >= 200, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(wornOff.first().at(1).toString(), u"drop,for=200ms: 200ms over, removed (matched 1, acted 1)"_s);
    for (FaultInjector* unit : {&unit0, &unit1}) {
        QCOMPARE(unit->rules().size(), 1);
        QCOMPARE(unit->rules().first().rule.text, u"corrupt,times=1000"_s);
    }

    // A unit does not wait for the removal: past its time the rule no longer acts.
    qint64 nowNs = faultClockNs();
    FaultInjector alone(3);
    alone.setClock([&] { return nowNs; });
    QSignalSpy aloneWornOff(&alone, &FaultInjector::wornOff);
    alone.add(validRule(u"drop,for=1s"_s));
    QVERIFY(alone.dropRequest(FaultKind::ChannelQuery));
    nowNs += 1000LL * 1000000;
    QVERIFY(!alone.dropRequest(FaultKind::ChannelQuery));
    QVERIFY(!alone.dropRequest(FaultKind::ChannelQuery));
    QCOMPARE(aloneWornOff.size(), 1); // said once
}

void TestFaultModels::reorderHoldWaitsForLaterRepliesOnly()
{
    ReplyReorderHold hold;
    QStringList order;
    QList<ReplyReorderHold::Release> why;
    // The unit sends what is released, and that reply counts as one that left.
    connect(&hold, &ReplyReorderHold::released, this,
            [&](const DelayedReply& reply, const ReplyReorderHold::Release& release) {
                order << QString::number(reply.port);
                why << release;
                hold.replyLeft(reply.address, reply.port);
            });
    const auto held = [&](quint16 port, int rule, int laterReplies) {
        DelayedReply reply;
        reply.address = 0x7f000001;
        reply.port = port;
        QCOMPARE(hold.hold(reply, rule, u"reorder=%1"_s.arg(laterReplies), laterReplies, 10000),
                 ReplyReorderHold::Outcome::Held);
    };
    const auto sent = [&](quint16 port) {
        order << QString::number(port);
        hold.replyLeft(0x7f000001, port);
    };
    // 3 is later than both held ones; 1 leaving counts for neither (2 came after it) ...
    held(1, 1, 1);
    held(2, 2, 2);
    sent(3);
    QCOMPARE(order, QStringList({u"3"_s, u"1"_s}));
    QCOMPARE(why.last().passed, 1u);
    QCOMPARE(why.last().lastPort, quint16(3));
    QVERIFY(!why.last().gapOver);
    sent(4);
    QCOMPARE(order, QStringList({u"3"_s, u"1"_s, u"4"_s, u"2"_s}));
    QCOMPARE(why.last().passed, 2u);
    QCOMPARE(why.last().lastPort, quint16(4));
    // ... while a held reply that leaves counts for those held before it.
    held(5, 2, 2);
    held(6, 1, 1);
    sent(7);
    QCOMPARE(order.mid(4), QStringList({u"7"_s, u"6"_s, u"5"_s}));
    QCOMPARE(why.last().passed, 2u);
    QCOMPARE(why.last().lastPort, quint16(6));
    QVERIFY(hold.isEmpty());
}

void TestFaultModels::reorderHoldIsBoundedAndReleasesOnItsGap()
{
    ReplyReorderHold hold(nullptr, 2);
    QSignalSpy released(&hold, &ReplyReorderHold::released);
    DelayedReply reply;
    using Outcome = ReplyReorderHold::Outcome;
    QCOMPARE(hold.hold(reply, 7, u"reorder=5,gap=30"_s, 5, 30), Outcome::Held);
    // A second reply of the same rule overtakes the held one rather than wait behind it.
    QCOMPARE(hold.hold(reply, 7, u"reorder=5,gap=30"_s, 5, 30), Outcome::Overtakes);
    QCOMPARE(hold.hold(reply, 8, u"reorder=5,gap=30"_s, 5, 30), Outcome::Held);
    QCOMPARE(hold.hold(reply, 9, u"reorder=5,gap=30"_s, 5, 30),
             Outcome::Full); // the caller sends it in order
    QCOMPARE(hold.size(), 2);
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(released.size(), 2, 5000);
    QVERIFY(clock.elapsed() >= 29);
    const auto why = released.first().at(1).value<ReplyReorderHold::Release>();
    QVERIFY(why.gapOver);
    QCOMPARE(why.passed, 0u);
    QCOMPARE(why.ruleText, u"reorder=5,gap=30"_s);
}

QTEST_GUILESS_MAIN(TestFaultModels)
#include "tst_faultmodels.moc"
