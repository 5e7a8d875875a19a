// The fault rule grammar, and the rules' counting and draws without any socket.
#include "fault/faultinjector.h"
#include "fault/faultrule.h"
#include "fault/replydelayqueue.h"
#include "faultsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(FaultAction)

namespace {
ReplyCopies oneCopy(QByteArrayView bytes)
{
    ReplyCopies copies(1);
    copies[0].size = quint8(bytes.size());
    std::copy_n(bytes.data(), bytes.size(), copies[0].bytes.begin());
    return copies;
}

QByteArray bytesOf(const ReplyCopy& copy)
{
    return QByteArray(copy.bytes.data(), copy.size);
}
} // namespace

class TestFaultRule : public QObject {
    Q_OBJECT

private slots:
    void validRules_data();
    void validRules();
    void badRules_data();
    void badRules();
    void networkModelsParse_data();
    void networkModelsParse();
    void everyCountsPerRule();
    void chanceIsRepeatableUnderASeed();
    void replyActionsApplyInOrder();
    void corruptChangesExactlyKPositions();
    void disabledRulesAreInactive();
    void unitsSelectUnitsOfAFleet_data();
    void unitsSelectUnitsOfAFleet();
    void delayQueueReleasesInDueOrder();
    void delayQueueOverflowIsReportedNotSilent();
    void delayQueueRearmsForASoonerReply();
    void jitterSpreadsOnBothSidesOfTheDelay();
    void corruptReachesEveryPosition_data();
    void corruptReachesEveryPosition();
};

void TestFaultRule::validRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<FaultAction>("action");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("jitter");
    QTest::addColumn<int>("kinds");
    QTest::addColumn<int>("every");
    QTest::addColumn<double>("chance");
    QTest::addRow("drop") << u"drop"_s << FaultAction::Drop << 0 << 0 << int(FaultKind::All) << 0 << -1.0;
    QTest::addRow("drop every 3rd channel-query") << u"drop,on=channel-query,every=3"_s << FaultAction::Drop
                                                  << 0 << 0 << int(FaultKind::ChannelQuery) << 3 << -1.0;
    QTest::addRow("delay with jitter and chance")
        << u"delay=250,jitter=50,on=status-query,chance=0.5"_s << FaultAction::Delay << 250 << 50
        << int(FaultKind::StatusQuery) << 0 << 0.5;
    QTest::addRow("duplicate, default 2")
        << u"duplicate"_s << FaultAction::Duplicate << 2 << 0 << int(FaultKind::All) << 0 << -1.0;
    QTest::addRow("duplicate 5 on two kinds")
        << u"duplicate=5,on=discovery+channel-query"_s << FaultAction::Duplicate << 5 << 0
        << int(FaultKind::Discovery | FaultKind::ChannelQuery) << 0 << -1.0;
    QTest::addRow("truncate") << u"truncate=10"_s << FaultAction::Truncate << 10 << 0 << int(FaultKind::All)
                              << 0 << -1.0;
    QTest::addRow("truncate a discovery reply past 29")
        << u"truncate=40,on=discovery"_s << FaultAction::Truncate << 40 << 0 << int(FaultKind::Discovery) << 0
        << -1.0;
    QTest::addRow("corrupt, default 1")
        << u"corrupt"_s << FaultAction::Corrupt << 1 << 0 << int(FaultKind::All) << 0 << -1.0;
    QTest::addRow("blanks around parts") << u"  corrupt = 3 , chance = 1 "_s << FaultAction::Corrupt << 3 << 0
                                         << int(FaultKind::All) << 0 << 1.0;
    QTest::addRow("drop set-channels") << u"drop,on=set-channels"_s << FaultAction::Drop << 0 << 0
                                       << int(FaultKind::SetChannels) << 0 << -1.0;
}

void TestFaultRule::validRules()
{
    QFETCH(QString, text);
    QFETCH(FaultAction, action);
    QFETCH(int, value);
    QFETCH(int, jitter);
    QFETCH(int, kinds);
    QFETCH(int, every);
    QFETCH(double, chance);
    QString error;
    const std::optional<FaultRule> parsed = FaultRule::parse(text, &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->text, text.trimmed());
    QCOMPARE(parsed->action, action);
    QCOMPARE(parsed->value, value);
    QCOMPARE(parsed->jitter, jitter);
    QCOMPARE(int(parsed->kinds), kinds);
    QCOMPARE(parsed->every, every);
    QCOMPARE(parsed->chance, chance);
}

void TestFaultRule::badRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::addRow("empty") << u"  "_s << u"empty rule"_s;
    QTest::addRow("unknown action") << u"explode"_s << u"unknown action 'explode'"_s;
    QTest::addRow("drop with a value") << u"drop=3"_s << u"drop takes no value"_s;
    QTest::addRow("delay without value") << u"delay"_s << u"delay needs milliseconds"_s;
    QTest::addRow("delay negative") << u"delay=-5"_s << u"'delay=-5'"_s;
    QTest::addRow("delay too long") << u"delay=60001"_s << u"from 0 to 60000"_s;
    QTest::addRow("delay not a number") << u"delay=soon"_s << u"'delay=soon'"_s;
    QTest::addRow("duplicate once") << u"duplicate=1"_s << u"from 2 to 100"_s;
    QTest::addRow("truncate a unit reply to 29")
        << u"truncate=29"_s << u"not smaller than the 29-byte reply"_s;
    QTest::addRow("truncate a discovery reply to 50") << u"truncate=50,on=discovery"_s << u"'truncate=50'"_s;
    QTest::addRow("corrupt 0") << u"corrupt=0"_s << u"'corrupt=0'"_s;
    QTest::addRow("corrupt more than a unit reply")
        << u"corrupt=30,on=status-query"_s << u"more than the 29-byte reply"_s;
    QTest::addRow("unknown kind") << u"drop,on=status-query+reboot"_s << u"unknown kind 'reboot'"_s;
    QTest::addRow("unknown part") << u"drop,often=2"_s << u"unknown part 'often=2'"_s;
    QTest::addRow("every 0") << u"drop,every=0"_s << u"'every=0'"_s;
    QTest::addRow("every and chance") << u"drop,every=2,chance=0.5"_s << u"every and chance exclude"_s;
    QTest::addRow("chance above 1") << u"drop,chance=1.5"_s << u"'chance=1.5'"_s;
    QTest::addRow("chance not a number") << u"drop,chance=half"_s << u"'chance=half'"_s;
    QTest::addRow("part twice") << u"drop,on=discovery,on=all"_s << u"'on' is given twice"_s;
    QTest::addRow("empty part") << u"drop,,every=2"_s << u"empty part"_s;
    QTest::addRow("jitter without delay") << u"drop,jitter=5"_s << u"jitter goes only with delay"_s;
    QTest::addRow("jitter above the delay") << u"delay=10,jitter=20"_s << u"jitter=20 is larger"_s;
    QTest::addRow("reply action on set-channels")
        << u"duplicate,on=set-channels"_s << u"set-channels has no reply"_s;
    QTest::addRow("units backwards") << u"drop,units=5-2"_s << u"'units=5-2'"_s;
    QTest::addRow("units not an address") << u"drop,units=10.0.1"_s << u"'units=10.0.1'"_s;
    QTest::addRow("units octet too big") << u"drop,units=10.0.0.256"_s << u"'units=10.0.0.256'"_s;
    QTest::addRow("units not a number") << u"drop,units=first"_s << u"units takes FIRST-LAST"_s;
    QTest::addRow("too long") << (u"drop,on=all"_s + u"+all"_s.repeated(40)) << u"at most 120 characters"_s;
    // Network models and lifetimes: the message names the bad part.
    QTest::addRow("gilbert P above 1")
        << u"loss=gilbert:1.5,0.3"_s << u"P (good to bad) needs a probability"_s;
    QTest::addRow("gilbert P negative") << u"loss=gilbert:-0.1,0.3"_s << u"not '-0.1'"_s;
    QTest::addRow("gilbert R zero") << u"loss=gilbert:0.1,0"_s << u"R (bad to good) must be above 0"_s;
    QTest::addRow("gilbert H above 1") << u"loss=gilbert:0.1,0.3,2,1"_s << u"H (kept in the bad state)"_s;
    QTest::addRow("gilbert three numbers") << u"loss=gilbert:0.1,0.3,0.5"_s << u"P,R or P,R,H,K"_s;
    QTest::addRow("gilbert one number") << u"loss=gilbert:0.1"_s << u"P,R or P,R,H,K"_s;
    QTest::addRow("loss without model") << u"loss=0.1"_s << u"loss takes gilbert:P,R[,H,K]"_s;
    QTest::addRow("loss unknown model") << u"loss=markov:0.1,0.2"_s << u"loss takes gilbert"_s;
    QTest::addRow("burst mean below 1") << u"loss=burst:0.5,0.1"_s << u"MEAN (requests a burst lasts)"_s;
    QTest::addRow("burst rate 1") << u"loss=burst:4,1"_s << u"RATE (the share lost)"_s;
    QTest::addRow("burst rate beyond its bursts")
        << u"loss=burst:1,0.6"_s << u"a loss rate of 0.6 needs bursts of at least 1.5 requests"_s;
    QTest::addRow("loss with every") << u"loss=gilbert:0.1,0.3,every=2"_s << u"every and chance do not go"_s;
    QTest::addRow("loss number after a part")
        << u"loss=gilbert:0.1,0.3,on=all,0.5"_s << u"'0.5' needs a value"_s;
    QTest::addRow("reorder 0") << u"reorder=0"_s << u"'reorder=0'"_s;
    QTest::addRow("reorder without count") << u"reorder"_s << u"reorder needs the number of later replies"_s;
    QTest::addRow("gap without reorder") << u"delay=5,gap=10"_s << u"gap goes only with reorder"_s;
    QTest::addRow("gap 0") << u"reorder=1,gap=0"_s << u"'gap=0'"_s;
    QTest::addRow("rate 0") << u"rate=0/s"_s << u"'rate=0/s'"_s;
    QTest::addRow("rate without /s") << u"rate=100"_s << u"rate needs replies a second as N/s"_s;
    QTest::addRow("rate with chance") << u"rate=100/s,chance=0.5"_s << u"rate decides by itself"_s;
    QTest::addRow("burst 0") << u"rate=100/s,burst=0"_s << u"'burst=0'"_s;
    QTest::addRow("burst without rate") << u"drop,burst=3"_s << u"burst goes only with rate"_s;
    QTest::addRow("rate on set-channels") << u"rate=10/s,on=set-channels"_s << u"set-channels has no reply"_s;
    QTest::addRow("for without unit") << u"drop,for=10"_s << u"for needs a duration with its unit"_s;
    QTest::addRow("for zero") << u"drop,for=0s"_s << u"'for=0s'"_s;
    QTest::addRow("for unknown unit") << u"drop,for=3days"_s << u"'for=3days'"_s;
    QTest::addRow("after 0") << u"drop,after=0"_s << u"'after=0'"_s;
    QTest::addRow("times negative") << u"drop,times=-1"_s << u"'times=-1'"_s;
    QTest::addRow("times twice") << u"drop,times=1,times=2"_s << u"'times' is given twice"_s;
}

void TestFaultRule::networkModelsParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<FaultAction>("action");
    QTest::addColumn<QList<double>>("numbers"); // loss: P,R,H,K; reorder: N, gap; rate: N, burst
    QTest::addColumn<int>("kinds");
    QTest::addColumn<QList<qint64>>("life"); // forMs, after, times
    const QList<qint64> untimed{0, 0, 0};
    QTest::addRow("gilbert, defaults for H and K")
        << u"loss=gilbert:0.01,0.25"_s << FaultAction::Loss << QList<double>{0.01, 0.25, 0, 1}
        << int(FaultKind::All) << untimed;
    QTest::addRow("gilbert with all four, then on=")
        << u"loss=gilbert:0.1, 0.5, 0.2, 0.95,on=status-query"_s << FaultAction::Loss
        << QList<double>{0.1, 0.5, 0.2, 0.95} << int(FaultKind::StatusQuery) << untimed;
    // MEAN 4 and RATE 0.2: R = 1/4, P = 0.2 / (4 * 0.8).
    QTest::addRow("burst maps to gilbert")
        << u"loss=burst:4,0.2"_s << FaultAction::Loss << QList<double>{0.0625, 0.25, 0, 1}
        << int(FaultKind::All) << untimed;
    QTest::addRow("burst of single losses") << u"loss=burst:1,0.5"_s << FaultAction::Loss
                                            << QList<double>{1, 1, 0, 1} << int(FaultKind::All) << untimed;
    QTest::addRow("reorder, default gap") << u"reorder=1"_s << FaultAction::Reorder << QList<double>{1, 100}
                                          << int(FaultKind::Answered) << untimed;
    QTest::addRow("reorder with gap and chance")
        << u"reorder=3,gap=40,chance=0.1"_s << FaultAction::Reorder << QList<double>{3, 40}
        << int(FaultKind::Answered) << untimed;
    QTest::addRow("rate, bucket as large as the rate")
        << u"rate=1000/s"_s << FaultAction::Rate << QList<double>{1000, 1000} << int(FaultKind::Answered)
        << untimed;
    QTest::addRow("rate with a bucket") << u"rate=50/s,burst=5,on=discovery"_s << FaultAction::Rate
                                        << QList<double>{50, 5} << int(FaultKind::Discovery) << untimed;
    QTest::addRow("drop for a while") << u"drop,for=1.5s"_s << FaultAction::Drop << QList<double>{}
                                      << int(FaultKind::All) << QList<qint64>{1500, 0, 0};
    QTest::addRow("loss after and times")
        << u"loss=burst:3,0.1,after=100,times=7"_s << FaultAction::Loss
        << QList<double>{0.1 / (3 * 0.9), 1.0 / 3, 0, 1} << int(FaultKind::All) << QList<qint64>{0, 100, 7};
    QTest::addRow("delay with all three")
        << u"delay=5,for=2m,after=3,times=1,every=2"_s << FaultAction::Delay << QList<double>{}
        << int(FaultKind::Answered) << QList<qint64>{120000, 3, 1};
}

void TestFaultRule::networkModelsParse()
{
    QFETCH(QString, text);
    QFETCH(FaultAction, action);
    QFETCH(QList<double>, numbers);
    QFETCH(int, kinds);
    QFETCH(QList<qint64>, life);
    QString error;
    const std::optional<FaultRule> parsed = FaultRule::parse(text, &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->action, action);
    QCOMPARE(int(parsed->actsOn()), kinds);
    if (action == FaultAction::Loss) {
        QVERIFY(!parsed->isReplyAction());
        const QList<double> chain{parsed->lossP, parsed->lossR, parsed->lossH, parsed->lossK};
        for (int i = 0; i < 4; ++i)
            QVERIFY2(qAbs(chain[i] - numbers[i]) < 1e-12,
                     qPrintable(u"number %1: %2"_s.arg(i).arg(chain[i])));
    } else if (action == FaultAction::Reorder) {
        QCOMPARE(QList<double>({double(parsed->value), double(parsed->gapMs)}), numbers);
    } else if (action == FaultAction::Rate) {
        QCOMPARE(QList<double>({double(parsed->value), double(parsed->burst)}), numbers);
    }
    QCOMPARE(QList<qint64>({parsed->forMs, parsed->after, parsed->times}), life);
}

void TestFaultRule::badRules()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    QString error;
    QVERIFY(!FaultRule::parse(text, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

void TestFaultRule::everyCountsPerRule()
{
    FaultInjector faults(1);
    faults.add(validRule(u"drop,on=channel-query,every=3"_s));
    faults.add(validRule(u"drop,on=channel-query+status-query,every=2"_s));
    QString fired;
    for (int i = 1; i <= 6; ++i) {
        const FaultRule* dropping = faults.dropRequest(FaultKind::ChannelQuery);
        fired += dropping
                     ? dropping->text.left(dropping->text.indexOf(u',')) + QString::number(dropping->every)
                     : u"-"_s;
        fired += u' ';
    }
    // The first rule counts every channel-query; the second sees only those the first let pass.
    QCOMPARE(fired, u"- drop2 drop3 - drop2 drop3 "_s);
    QCOMPARE(faults.rules()[0].matched, 6u);
    QCOMPARE(faults.rules()[1].matched, 4u);
    QVERIFY(!faults.dropRequest(FaultKind::Discovery));
}

void TestFaultRule::chanceIsRepeatableUnderASeed()
{
    auto pattern = [](quint64 seed) {
        FaultInjector faults(seed);
        faults.add(validRule(u"drop,chance=0.5"_s));
        QString bits;
        for (int i = 0; i < 64; ++i)
            bits += faults.dropRequest(FaultKind::StatusQuery) ? u'1' : u'0';
        return bits;
    };
    QCOMPARE(pattern(42), pattern(42));
    QVERIFY(pattern(42) != pattern(43));
    QVERIFY(pattern(42).contains(u'0') && pattern(42).contains(u'1'));

    FaultInjector never(5), always(5);
    never.add(validRule(u"drop,chance=0"_s));
    always.add(validRule(u"drop,chance=1"_s));
    for (int i = 0; i < 100; ++i) {
        QVERIFY(!never.dropRequest(FaultKind::Discovery));
        QVERIFY(always.dropRequest(FaultKind::Discovery));
    }
}

void TestFaultRule::replyActionsApplyInOrder()
{
    FaultInjector faults(1);
    faults.add(validRule(u"duplicate=3,on=discovery"_s));
    faults.add(validRule(u"truncate=5"_s));
    faults.add(validRule(u"delay=40,jitter=0"_s));
    ReplyCopies copies = oneCopy("ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*");
    QStringList notes;
    faults.actOnReply(FaultKind::Discovery, copies, u"127.0.0.1:5000"_s, notes);
    QCOMPARE(copies.size(), 3);
    for (const ReplyCopy& copy : copies) {
        QCOMPARE(bytesOf(copy), QByteArray("ALED."));
        QCOMPARE(copy.delayMs, 40);
    }
    QCOMPARE(notes.size(), 7);
    QCOMPARE(notes[0], u"duplicate=3,on=discovery: reply to 127.0.0.1:5000 sent 3 times"_s);
    QCOMPARE(notes[1], u"truncate=5: reply to 127.0.0.1:5000 (copy 1 of 3) cut to 5 of 50 bytes"_s);
    QCOMPARE(notes[6], u"delay=40,jitter=0: reply to 127.0.0.1:5000 (copy 3 of 3) delayed by 40 ms"_s);

    // The duplicate rule acts on discovery only; a channel-query meets the other two.
    copies = oneCopy(QByteArray(29, 'a'));
    notes.clear();
    faults.actOnReply(FaultKind::ChannelQuery, copies, u"127.0.0.1:5000"_s, notes);
    QCOMPARE(copies.size(), 1);
    QCOMPARE(notes.size(), 2);
}

void TestFaultRule::corruptChangesExactlyKPositions()
{
    FaultInjector faults(99);
    faults.add(validRule(u"corrupt=4"_s));
    const QByteArray original(29, char(7));
    for (int round = 0; round < 200; ++round) {
        ReplyCopies copies = oneCopy(original);
        QStringList notes;
        faults.actOnReply(FaultKind::StatusQuery, copies, u"p"_s, notes);
        const QByteArray changed = bytesOf(copies[0]);
        QStringList positions;
        for (int i = 0; i < 29; ++i) {
            if (changed[i] != original[i])
                positions << QString::number(i);
        }
        QCOMPARE(positions.size(), 4);
        QCOMPARE(notes,
                 QStringList{u"corrupt=4: reply to p changed at positions "_s + positions.join(u", "_s)});
    }
}

void TestFaultRule::disabledRulesAreInactive()
{
    FaultInjector faults(1);
    QSignalSpy changed(&faults, &FaultInjector::rulesChanged);
    QVERIFY(!faults.isActive());
    const int first = faults.add(validRule(u"drop"_s));
    const int second = faults.add(validRule(u"duplicate"_s));
    QCOMPARE(faults.enabledCount(), 2);
    QVERIFY(faults.setEnabled(first, false));
    QVERIFY(!faults.dropRequest(FaultKind::StatusQuery));
    QCOMPARE(faults.rules()[0].matched, 0u); // a disabled rule does not even count
    QVERIFY(faults.remove(second));
    QVERIFY(!faults.isActive());
    QVERIFY(!faults.remove(second));
    QCOMPARE(faults.add(validRule(u"drop"_s)), 3); // ids are never reused
    faults.clear();
    QVERIFY(faults.rules().isEmpty());
    QCOMPARE(changed.size(), 6);
}

void TestFaultRule::unitsSelectUnitsOfAFleet_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("acting"); // for units 0 to 5 at 10.0.0.1 to 10.0.0.6: 1 where it acts
    QTest::addRow("without units: all") << u"drop"_s << u"111111"_s;
    QTest::addRow("a range") << u"drop,units=1-3"_s << u"011100"_s;
    QTest::addRow("one index") << u"drop,units=5"_s << u"000001"_s;
    QTest::addRow("an address") << u"drop,units=10.0.0.3"_s << u"001000"_s;
    QTest::addRow("an address no unit has") << u"drop,units=10.0.0.9"_s << u"000000"_s;
}

void TestFaultRule::unitsSelectUnitsOfAFleet()
{
    QFETCH(QString, rule);
    QFETCH(QString, acting);
    QString got;
    for (int k = 0; k < 6; ++k) {
        FaultInjector faults(1);
        faults.setUnit(k, (10u << 24) | quint32(k + 1));
        faults.add(FaultRule::parse(rule, nullptr).value());
        got += faults.dropRequest(FaultKind::ChannelQuery) ? u'1' : u'0';
    }
    QCOMPARE(got, acting);
}

void TestFaultRule::delayQueueReleasesInDueOrder()
{
    ReplyDelayQueue queue;
    QList<int> order;
    QList<qint64> when;
    QElapsedTimer clock;
    clock.start();
    connect(&queue, &ReplyDelayQueue::released, this, [&](const DelayedReply& reply) {
        order << reply.port;
        when << clock.elapsed();
    });
    for (const auto& [port, delay] : {std::pair{1, 120}, {2, 40}, {3, 80}, {4, 40}})
        QVERIFY(queue.hold(DelayedReply{.port = quint16(port), .copy = {}}, delay));
    QVERIFY(QTest::qWaitFor([&] { return order.size() == 4; }, 2000));
    QCOMPARE(order, (QList<int>{2, 4, 3, 1})); // shorter delays overtake; equal ones keep their order
    QVERIFY(when[0] >= 40 && when[3] >= 120);
    QCOMPARE(queue.size(), 0);
}

void TestFaultRule::delayQueueOverflowIsReportedNotSilent()
{
    ReplyDelayQueue queue(nullptr, 10);
    QSignalSpy overflowed(&queue, &ReplyDelayQueue::overflowed);
    for (int i = 0; i < 10; ++i)
        QVERIFY(queue.hold({}, 5000));
    QVERIFY(!queue.hold({}, 5000)); // reported at once
    QVERIFY(!queue.hold({}, 5000)); // within the second: counted, reported later
    QVERIFY(!queue.hold({}, 5000));
    QCOMPARE(overflowed.size(), 1);
    QCOMPARE(overflowed[0][0].toULongLong(), 1u);
    QVERIFY(overflowed.wait(2000));
    QCOMPARE(overflowed.size(), 2);
    QCOMPARE(overflowed[1][0].toULongLong(), 2u);
    QCOMPARE(queue.size(), 10);
}

void TestFaultRule::delayQueueRearmsForASoonerReply()
{
    // A reply due in 10 ms, held after one due in 2 s, leaves at its own time, not with the other.
    constexpr qint64 kSoonerBoundMs = 1000; // far below the long delay, however busy the machine
    ReplyDelayQueue queue;
    QList<int> order;
    QElapsedTimer clock;
    clock.start();
    qint64 firstAt = -1;
    connect(&queue, &ReplyDelayQueue::released, this, [&](const DelayedReply& reply) {
        if (order.isEmpty())
            firstAt = clock.elapsed();
        order << reply.port;
    });
    QVERIFY(queue.hold(DelayedReply{.port = 1, .copy = {}}, 2000));
    QVERIFY(queue.hold(DelayedReply{.port = 2, .copy = {}}, 10));
    QVERIFY(QTest::qWaitFor([&] { return !order.isEmpty(); }, 5000));
    QCOMPARE(order, QList<int>{2});
    QVERIFY2(firstAt >= 10 && firstAt < kSoonerBoundMs, qPrintable(QString::number(firstAt)));
}

void TestFaultRule::jitterSpreadsOnBothSidesOfTheDelay()
{
    FaultInjector faults(5);
    faults.add(validRule(u"delay=100,jitter=50"_s));
    int below = 0;
    int above = 0;
    for (int round = 0; round < 2000; ++round) {
        ReplyCopies copies = oneCopy(QByteArray(29, 'a'));
        QStringList notes;
        faults.actOnReply(FaultKind::StatusQuery, copies, u"p"_s, notes);
        const int delay = copies[0].delayMs;
        QVERIFY2(delay >= 50 && delay <= 150, qPrintable(QString::number(delay)));
        below += delay < 100;
        above += delay > 100;
    }
    // Even on both sides, within what 2,000 draws allow.
    QVERIFY2(below > 800 && above > 800, qPrintable(u"%1 below, %2 above"_s.arg(below).arg(above)));
}

void TestFaultRule::corruptReachesEveryPosition_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("kind");
    QTest::addRow("unit reply") << 29 << int(FaultKind::StatusQuery);
    QTest::addRow("discovery reply") << 50 << int(FaultKind::Discovery);
}

void TestFaultRule::corruptReachesEveryPosition()
{
    QFETCH(int, size);
    QFETCH(int, kind);
    FaultInjector faults(3);
    faults.add(validRule(u"corrupt"_s));
    const QByteArray original(size, char(7));
    QList<int> hits(size, 0);
    for (int round = 0; round < 100 * size; ++round) {
        ReplyCopies copies = oneCopy(original);
        QStringList notes;
        faults.actOnReply(quint8(kind), copies, u"p"_s, notes);
        const QByteArray changed = bytesOf(copies[0]);
        QCOMPARE(changed.size(), size);
        for (int i = 0; i < size; ++i)
            hits[i] += changed[i] != original[i];
    }
    // Every position, the first and the last included, about as often as the others.
    for (int i = 0; i < size; ++i)
        QVERIFY2(hits[i] > 50 && hits[i] < 150, qPrintable(u"position %1: %2 times"_s.arg(i).arg(hits[i])));
}

QTEST_GUILESS_MAIN(TestFaultRule)
#include "tst_faultrule.moc"
