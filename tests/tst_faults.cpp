// Fault rules on the wire: what leaves, when, and what the log says. Uses the product's fixed
// ports (4000 and 65535): fails with a clear message when another program holds them.
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "unit/unitsimulator.h"

#include <QElapsedTimer>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
QList<int> startChannelReply()
{
    return QList<int>{254, 50} + repeated(125, 12) + repeated(0, 12) + QList<int>{0, 0, 255};
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void dropEveryThirdChannelQuery();
    void droppedSetChannelsChangesNothing();
    void duplicateSendsEachCopyAndLogsIt();
    void truncateSendsTheFirstBytes();
    void corruptChangesTheNamedPositions();
    void delayHoldsOnlyThatReply();
    void jitterLetsRepliesOvertake();
    void otherDatagramsAreNeverTouched();
    void disabledAndRemovedRulesStopActing();
    void repliesTheDelayQueueCannotHoldAreLoggedAsDropped();

private:
    void addRule(const QString& text);
    // Every datagram that arrives until `quietMs` pass without one.
    QList<QByteArray> collect(LoopbackClient& client, int quietMs = 150);
    QStringList lines() const;
    QStringList faultLines() const;

    std::unique_ptr<UnitSimulator> m_unit;
    std::unique_ptr<TrafficLogModel> m_log;
};

void TestFaults::init()
{
    m_unit = std::make_unique<UnitSimulator>(20261207);
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    m_unit->start(0);
    QVERIFY2(m_unit->unitEndpoint().isBound(), qPrintable(m_unit->unitEndpointState()));
    QVERIFY2(m_unit->discoveryEndpoint().isBound(), qPrintable(m_unit->discoveryEndpointState()));
}

void TestFaults::cleanup()
{
    m_unit.reset();
    m_log.reset();
}

void TestFaults::addRule(const QString& text)
{
    QString error;
    const std::optional<FaultRule> rule = FaultRule::parse(text, &error);
    QVERIFY2(rule, qPrintable(error));
    m_unit->faults().add(*rule);
}

QList<QByteArray> TestFaults::collect(LoopbackClient& client, int quietMs)
{
    QList<QByteArray> replies;
    for (QByteArray reply = client.receive(quietMs); !reply.isNull(); reply = client.receive(quietMs))
        replies << reply;
    return replies;
}

QStringList TestFaults::lines() const
{
    QStringList out; // oldest first, as a reader of the stream sees them
    for (int row = m_log->rowCount() - 1; row >= 0; --row)
        out << m_log->lineAt(row);
    return out;
}

QStringList TestFaults::faultLines() const
{
    return lines().filter(QRegularExpression(u"^!!! fault "_s));
}

void TestFaults::dropEveryThirdChannelQuery()
{
    addRule(u"drop,on=channel-query,every=3"_s);
    LoopbackClient client;
    for (int i = 0; i < 9; ++i)
        client.send(4000, unitFrame(50));
    client.send(4000, unitFrame(51));
    const QList<QByteArray> replies = collect(client);
    QCOMPARE(replies.size(), 7); // 6 of 9 channel-queries, and the status-query
    QCOMPARE(lines().filter(u"--> 127.0.0.1:4000"_s).size(), 10); // every request was received
    const QString port = QString::number(client.port());
    QCOMPARE(faultLines(),
             QStringList(3, u"!!! fault drop,on=channel-query,every=3: request from 127.0.0.1:"_s + port +
                                u" dropped"_s));
    // The third request's incoming line, then the fault line, and no reply between them.
    const QStringList all = lines();
    QVERIFY(all[4].startsWith(u"--> 127.0.0.1:4000 -  0 50 "_s));
    QVERIFY(all[5].startsWith(u"!!! fault drop"_s));
}

void TestFaults::droppedSetChannelsChangesNothing()
{
    addRule(u"drop,on=set-channels"_s);
    LoopbackClient client;
    client.send(4000, unitFrame(0, repeated(9, 24)));
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))), startChannelReply());
    QCOMPARE(faultLines().size(), 1);
}

void TestFaults::duplicateSendsEachCopyAndLogsIt()
{
    addRule(u"duplicate=3,on=discovery"_s);
    LoopbackClient client;
    client.send(kDiscoveryPort, "X");
    const QList<QByteArray> replies = collect(client);
    QCOMPARE(replies, QList<QByteArray>(3, QByteArray(identityForProfile(0).data(), 50)));
    const QString port = QString::number(client.port());
    QCOMPARE(lines(), (QStringList{u"--> 127.0.0.1:65535 - X"_s,
                                   u"!!! fault duplicate=3,on=discovery: reply to 127.0.0.1:"_s + port +
                                       u" sent 3 times"_s} +
                       QStringList(3, u"<-- 127.0.0.1:"_s + port +
                                          u" - ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*"_s)));
    // Channel-queries are not discovery: one reply.
    client.send(4000, unitFrame(50));
    QCOMPARE(collect(client).size(), 1);
}

void TestFaults::truncateSendsTheFirstBytes()
{
    addRule(u"truncate=10,on=status-query"_s);
    addRule(u"truncate=7,on=discovery"_s);
    LoopbackClient client;
    const QList<int> status = bytesOf(client.request(4000, unitFrame(51)));
    QCOMPARE(status.size(), 10);
    QCOMPARE(status.mid(3), (QList<int>{240, 250, 0, 0, 0, 0, 0}));
    const QString port = QString::number(client.port());
    QCOMPARE(lines().last(), u"<-- 127.0.0.1:"_s + port + u" -254 51 "_s + QString::number(status[2]) +
                                 u" 240 250 0 0 0 0 0"_s);
    QCOMPARE(client.request(kDiscoveryPort, "X"), QByteArray("ALED.SI"));
    QCOMPARE(lines().last(), u"<-- 127.0.0.1:"_s + port + u" - ALED.SI"_s);
    QCOMPARE(faultLines().last(),
             u"!!! fault truncate=7,on=discovery: reply to 127.0.0.1:"_s + port + u" cut to 7 of 50 bytes"_s);
}

void TestFaults::corruptChangesTheNamedPositions()
{
    addRule(u"corrupt=3,on=channel-query"_s);
    LoopbackClient client;
    for (int round = 0; round < 20; ++round) {
        const QList<int> reply = bytesOf(client.request(4000, unitFrame(50)));
        QCOMPARE(reply.size(), 29);
        QStringList changed;
        for (int i = 0; i < 29; ++i) {
            if (reply[i] != startChannelReply()[i])
                changed << QString::number(i);
        }
        QCOMPARE(changed.size(), 3);
        QVERIFY2(faultLines().last().endsWith(u" changed at positions "_s + changed.join(u", "_s)),
                 qPrintable(faultLines().last()));
        // The outgoing line shows the bytes that left.
        QStringList numbers;
        for (int value : reply)
            numbers << QString::number(value);
        QVERIFY(lines().last().endsWith(u" -"_s + numbers.join(u' ')));
    }
}

void TestFaults::delayHoldsOnlyThatReply()
{
    addRule(u"delay=300,on=channel-query"_s);
    LoopbackClient slow;
    LoopbackClient fast;
    QElapsedTimer clock;
    clock.start();
    slow.send(4000, unitFrame(50));
    // Meanwhile everything else is answered at once.
    QCOMPARE(fast.request(4000, unitFrame(51), 250).size(), 29);
    QCOMPARE(fast.request(kDiscoveryPort, "X", 250).size(), 50);
    QVERIFY(clock.elapsed() < 300);
    QVERIFY(!lines().last().startsWith(u"<-- 127.0.0.1:"_s + QString::number(slow.port()))); // not sent yet
    QCOMPARE(bytesOf(slow.receive(2000)), startChannelReply());
    QVERIFY2(clock.elapsed() >= 295, qPrintable(QString::number(clock.elapsed())));
    // The outgoing line was written when the reply left: after the fast client's lines.
    QVERIFY(lines().last().startsWith(u"<-- 127.0.0.1:"_s + QString::number(slow.port()) + u" -254 50 "_s));
    QVERIFY(faultLines().first().endsWith(u" delayed by 300 ms"_s));
}

void TestFaults::jitterLetsRepliesOvertake()
{
    // Each query's reply carries the channels set just before it, so the replies tell their order.
    addRule(u"delay=100,jitter=90,on=channel-query"_s);
    LoopbackClient client;
    for (int n = 1; n <= 20; ++n) {
        client.send(4000, unitFrame(0, QList<int>(24, n)));
        client.send(4000, unitFrame(50));
    }
    QList<int> order;
    for (const QByteArray& reply : collect(client, 400))
        order << quint8(reply[2]);
    QCOMPARE(order.size(), 20);
    QList<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted.first(), 1);
    QCOMPARE(sorted.last(), 20);
    QVERIFY2(order != sorted, "no reply overtook another");
    for (const QString& line : faultLines()) {
        const int delay = line.section(u' ', -2, -2).toInt();
        QVERIFY2(delay >= 10 && delay <= 190, qPrintable(line));
    }
}

void TestFaults::otherDatagramsAreNeverTouched()
{
    addRule(u"drop"_s);
    LoopbackClient client;
    client.send(4000, unitFrame(52));         // unknown command
    client.send(4000, unitFrame(50, {}, 28)); // too short
    client.send(kDiscoveryPort, "x");         // not the discovery request
    QVERIFY(client.staysQuiet(200));
    QCOMPARE(faultLines().size(), 0);
    QCOMPARE(m_log->rowCount(), 2); // the two unit datagrams' incoming lines
}

void TestFaults::disabledAndRemovedRulesStopActing()
{
    addRule(u"drop,on=channel-query"_s);
    const int id = m_unit->faults().rules().first().id;
    LoopbackClient client;
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(150));
    m_unit->faults().setEnabled(id, false);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    m_unit->faults().setEnabled(id, true);
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(150));
    m_unit->faults().remove(id);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    // With no rule left, lines are exactly as without faults.
    QCOMPARE(lines().last(), u"<-- 127.0.0.1:"_s + QString::number(client.port()) +
                                 u" -254 50 125 125 125 125 125 125 125 125 125 125 125 125 "
                                 "0 0 0 0 0 0 0 0 0 0 0 0 0 0 255"_s);
}

void TestFaults::repliesTheDelayQueueCannotHoldAreLoggedAsDropped()
{
    // A full queue: its capacity of replies held for a minute, then two more requests.
    addRule(u"delay=60000,on=channel-query"_s);
    constexpr qsizetype kCapacity = ReplyDelayQueue::kDefaultCapacity;
    qsizetype handled = 0;
    connect(m_unit.get(), &UnitSimulator::trafficLogged, this,
            [&](const TrafficLogEntry& entry) { handled += entry.isIncoming(); });
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QByteArray query = unitFrame(50);
    // In batches the unit keeps up with, so that the kernel drops none.
    for (qsizetype sent = 0; sent < kCapacity + 2;) {
        const qsizetype batch = std::min<qsizetype>(2000, kCapacity + 2 - sent);
        for (qsizetype i = 0; i < batch; ++i)
            client.writeDatagram(query, QHostAddress::LocalHost, 4000);
        sent += batch;
        QVERIFY2(QTest::qWaitFor([&] { return handled == sent; }, 10000),
                 qPrintable(u"%1 of %2 handled"_s.arg(handled).arg(sent)));
    }
    QCOMPARE(m_unit->repliesNotSent(), quint64(2));
    // The last two requests' fault lines say what became of their replies: dropped, not delayed
    // (their lines, and the queue's own report, are the last five).
    QStringList last;
    for (int row = 0; row < 5; ++row)
        last << m_log->lineAt(row);
    const QString dropped = u"dropped: the delay queue is full (100000 replies waiting)"_s;
    QCOMPARE(last.filter(dropped).size(), 2);
    QCOMPARE(last.filter(u"--> 127.0.0.1:4000"_s).size(), 2);
    QVERIFY2(last.filter(u"delayed by"_s).isEmpty(), qPrintable(last.join(u'\n')));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
