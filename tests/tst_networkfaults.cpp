// Burst loss, reordering and rate limits on the wire: what the controller receives, and that the
// log says exactly that. Uses the product's fixed ports (4000 and 65535).
#include "faultsupport.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "unit/unitsimulator.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
// A set-channels frame that puts `k` in element 2, so that the next channel-query's reply says
// which request it answers.
QByteArray setTo(int k)
{
    return unitFrame(0, {k});
}

const QRegularExpression kChannelReply(u"^<-- 127\\.0\\.0\\.1:\\d+ -254 50 (\\d+) "_s);
} // namespace

class TestNetworkFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reorderSwapsExactlyThePairsTheLogNames();
    void burstLossLeavesRunsUnansweredWithOneLineEach();
    void rateDropsWhatIsOverItAndCountsIt();
    void reorderOnEveryReplyOvertakesTheHeldOne_data();
    void reorderOnEveryReplyOvertakesTheHeldOne();

private:
    void addRule(const QString& text);
    // Sends set-channels k and a channel-query for k = 1..count, and returns the k of each reply
    // in the order they arrived.
    QList<int> numberedQueries(LoopbackClient& client, int count, int quietMs = 300);
    QStringList lines() const;
    const FaultInjector::Entry& onlyRule() const { return m_unit->faults().rules().first(); }

    std::unique_ptr<UnitSimulator> m_unit;
    std::unique_ptr<TrafficLogModel> m_log;
};

void TestNetworkFaults::init()
{
    m_unit = std::make_unique<UnitSimulator>(20261208);
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    m_unit->start(0);
    QVERIFY2(m_unit->unitEndpoint().isBound(), qPrintable(m_unit->unitEndpointState()));
}

void TestNetworkFaults::cleanup()
{
    m_unit.reset();
    m_log.reset();
}

void TestNetworkFaults::addRule(const QString& text)
{
    QString error;
    const std::optional<FaultRule> rule = FaultRule::parse(text, &error);
    QVERIFY2(rule, qPrintable(error));
    m_unit->faults().add(*rule);
}

QList<int> TestNetworkFaults::numberedQueries(LoopbackClient& client, int count, int quietMs)
{
    for (int k = 1; k <= count; ++k) {
        client.send(4000, setTo(k));
        client.send(4000, unitFrame(50));
    }
    QList<int> order;
    for (QByteArray reply = client.receive(quietMs); !reply.isNull(); reply = client.receive(quietMs))
        order << quint8(reply.at(2));
    return order;
}

QStringList TestNetworkFaults::lines() const
{
    QStringList out; // oldest first
    for (int row = m_log->rowCount() - 1; row >= 0; --row)
        out << m_log->lineAt(row);
    return out;
}

void TestNetworkFaults::reorderSwapsExactlyThePairsTheLogNames()
{
    addRule(u"reorder=1,gap=5000,every=3,on=channel-query"_s);
    LoopbackClient client;
    const QList<int> arrived = numberedQueries(client, 31);
    QCOMPARE(arrived.size(), 31);

    // The pairs the log names: the reply a held one let go first (the line before its fault
    // line), and the held one (the line after).
    const QStringList all = lines();
    QList<int> logged; // the k of each reply line, in log order
    QList<std::pair<int, int>> named;
    const QString port = QString::number(client.port());
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (const QRegularExpressionMatch reply = kChannelReply.match(all[i]); reply.hasMatch())
            logged << reply.captured(1).toInt();
        if (!all[i].startsWith(u"!!! fault reorder=1"_s))
            continue;
        QVERIFY2(all[i].contains(u"sent after 1 later reply, the last to 127.0.0.1:"_s + port),
                 qPrintable(all[i]));
        const QRegularExpressionMatch before = kChannelReply.match(all.value(i - 1));
        const QRegularExpressionMatch after = kChannelReply.match(all.value(i + 1));
        QVERIFY2(before.hasMatch() && after.hasMatch(), qPrintable(all.mid(i - 1, 3).join(u'\n')));
        named.append({before.captured(1).toInt(), after.captured(1).toInt()});
    }
    // The controller saw the replies in the order the log shows them ...
    QCOMPARE(logged, arrived);
    // ... and the pairs that came out of order are exactly those the log names: each third reply
    // after the one that followed it.
    QList<std::pair<int, int>> swapped;
    for (qsizetype i = 0; i + 1 < arrived.size(); ++i) {
        if (arrived[i] > arrived[i + 1])
            swapped.append({arrived[i], arrived[i + 1]});
    }
    QCOMPARE(swapped, named);
    QCOMPARE(named.size(), 10);
    for (const auto& [first, held] : std::as_const(named))
        QVERIFY(held % 3 == 0 && first == held + 1);
    QCOMPARE(onlyRule().fired, quint64(10));
}

void TestNetworkFaults::burstLossLeavesRunsUnansweredWithOneLineEach()
{
    addRule(u"loss=gilbert:0.2,0.4,on=channel-query"_s);
    LoopbackClient client;
    constexpr int kCount = 80;
    const QList<int> answered = numberedQueries(client, kCount);
    m_unit->faults().clear(); // a burst still open is told now

    // The runs of unanswered queries, in order.
    std::vector<bool> lost;
    for (int k = 1; k <= kCount; ++k)
        lost.push_back(!answered.contains(k));
    const QList<int> runs = lossRuns(lost);
    QVERIFY2(runs.size() >= 3, "the seed gives several bursts");

    const QStringList faults = lines().filter(QRegularExpression(u"^!!! fault "_s));
    static const QRegularExpression burst(u"burst of (\\d+) requests? from .*, (\\d+) lost"_s);
    QList<int> told;
    for (const QString& line : faults) {
        const QRegularExpressionMatch match = burst.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line)); // no line a request, only a line a burst
        QCOMPARE(match.captured(1), match.captured(2));
        told << match.captured(1).toInt();
    }
    QCOMPARE(told, runs);
    // Every request reached the unit and was logged, answered or not.
    QCOMPARE(lines().filter(u"--> 127.0.0.1:4000"_s).size(), 2 * kCount);
}

void TestNetworkFaults::rateDropsWhatIsOverItAndCountsIt()
{
    addRule(u"rate=50/s,burst=5,on=status-query"_s);
    LoopbackClient client;
    QElapsedTimer clock;
    clock.start();
    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i)
        client.send(4000, unitFrame(51));
    QVERIFY(QTest::qWaitFor([&] { return m_unit->requestCount() == kCount; }, 5000));
    const qint64 elapsedMs = clock.elapsed();
    qsizetype received = 0;
    for (QByteArray reply = client.receive(200); !reply.isNull(); reply = client.receive(200))
        ++received;

    const qsizetype dropped = lines().filter(u" dropped: over 50 a second"_s).size();
    QCOMPARE(received + dropped, qsizetype(kCount));
    // The bucket, and what it earned while the requests came in.
    QVERIFY(received >= 5);
    QVERIFY2(received <= 5 + 50 * elapsedMs / 1000 + 1,
             qPrintable(u"%1 in %2 ms"_s.arg(received).arg(elapsedMs)));
    QCOMPARE(onlyRule().fired, quint64(dropped));
    QCOMPARE(onlyRule().matched, quint64(kCount));
}

void TestNetworkFaults::reorderOnEveryReplyOvertakesTheHeldOne_data()
{
    QTest::addColumn<int>("later");
    QTest::addColumn<QList<int>>("expected");
    QTest::addRow("reorder=1") << 1 << QList<int>{2, 1, 4, 3, 6, 5, 8, 7, 10, 9, 12, 11};
    QTest::addRow("reorder=2") << 2 << QList<int>{2, 3, 1, 5, 6, 4, 8, 9, 7, 11, 12, 10};
    QTest::addRow("reorder=3") << 3 << QList<int>{2, 3, 4, 1, 6, 7, 8, 5, 10, 11, 12, 9};
}

void TestNetworkFaults::reorderOnEveryReplyOvertakesTheHeldOne()
{
    // Each reply is held until N later ones have left; those later ones are not held behind it,
    // or nothing would ever overtake anything.
    QFETCH(int, later);
    QFETCH(QList<int>, expected);
    addRule(u"reorder=%1,gap=5000,on=channel-query"_s.arg(later));
    LoopbackClient client;
    QCOMPARE(numberedQueries(client, int(expected.size())), expected);
    // One line for each held reply, naming the replies that went first.
    const QStringList held = lines().filter(u"!!! fault reorder="_s);
    QCOMPARE(held.size(), expected.size() / (later + 1));
    const QString suffix = later == 1 ? u"y"_s : u"ies"_s;
    for (const QString& line : held)
        QVERIFY2(line.contains(
                     u"sent after %1 later repl%2, the last to 127.0.0.1:%3"_s.arg(later).arg(suffix).arg(
                         client.port())),
                 qPrintable(line));
    QCOMPARE(m_unit->repliesHeld(), 0);
}

QTEST_GUILESS_MAIN(TestNetworkFaults)
#include "tst_networkfaults.moc"
