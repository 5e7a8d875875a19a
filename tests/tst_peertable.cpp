// Who sent what, without sockets: the counts a peer table keeps, its one-second windows, its bound.
#include "unit/peertable.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr quint32 kLocal = 0x7f000001; // 127.0.0.1
constexpr qint64 kSecondUs = 1000000;
using Command = TrafficLogEntry::Command;
} // namespace

class TestPeerTable : public QObject {
    Q_OBJECT

private slots:
    void countsEachPeerApart();
    void busiestSecondSlidesWithEachDatagram_data();
    void busiestSecondSlidesWithEachDatagram();
    void fastPeersAreCountedInFixedRoom();
    void unitsTouchedReadAsRanges();
    void peersBeyondTheBoundAreAddedUpAsOther();
};

void TestPeerTable::countsEachPeerApart()
{
    PeerTable table;
    table.record(kLocal, 5000, 0, Command::SetChannels, 10);
    table.record(kLocal, 5000, 0, Command::ChannelQuery, 20);
    table.record(kLocal, 5000, 0, Command::ChannelQuery, 30);
    table.recordMalformed(kLocal, 5000, 0, PeerTable::Malformed::Length, 40);
    table.record(kLocal, 5001, 0, Command::Discovery, 25); // another port: another controller
    table.recordMalformed(0x0a000002, 5000, 0, PeerTable::Malformed::Discovery, 50);

    const QList<PeerTable::Peer> peers = table.peers();
    QCOMPARE(peers.size(), 3);
    const PeerTable::Peer& busiest = peers[0];
    QCOMPARE(busiest.name(), u"127.0.0.1:5000"_s);
    QCOMPARE(busiest.requests, (std::array<quint64, 4>{1, 2, 0, 0}));
    QCOMPARE(busiest.malformed, (std::array<quint64, 3>{1, 0, 0}));
    QCOMPARE(busiest.firstUs, 10);
    QCOMPARE(busiest.lastUs, 40);
    QCOMPARE(busiest.maxPerSecond, 4u);
    // Equal counts: by address, then port.
    QCOMPARE(peers[1].name(), u"10.0.0.2:5000"_s);
    QCOMPARE(peers[1].malformedTotal(), 1u);
    QCOMPARE(peers[1].requestTotal(), 0u);
    QCOMPARE(peers[2].name(), u"127.0.0.1:5001"_s);
    QCOMPARE(peers[2].requests[3], 1u);
}

void TestPeerTable::busiestSecondSlidesWithEachDatagram_data()
{
    QTest::addColumn<QList<qint64>>("timesMs");
    QTest::addColumn<int>("busiest");
    // Ten at 0.1 s steps all fall in one second; the eleventh, one second after the first, ends it.
    QList<qint64> steady;
    for (int i = 0; i <= 10; ++i)
        steady << i * 100;
    QTest::addRow("ten a second, one window") << steady << 10;
    // A window is any second, not a calendar second: 0.6 s to 1.5 s holds all eight.
    QTest::addRow("burst across a second's edge")
        << QList<qint64>{600, 700, 800, 900, 1100, 1200, 1300, 1400} << 8;
    QTest::addRow("spread out") << QList<qint64>{0, 1000, 2000, 3000} << 1;
    QTest::addRow("just under a second apart") << QList<qint64>{0, 999, 1998} << 2;
    // The window moves in steps of 10 ms: 996 ms apart across a step's edge count apart.
    QTest::addRow("apart by the 10 ms step") << QList<qint64>{5, 1001} << 1;
}

void TestPeerTable::busiestSecondSlidesWithEachDatagram()
{
    QFETCH(QList<qint64>, timesMs);
    QFETCH(int, busiest);
    PeerTable table;
    for (const qint64 ms : timesMs)
        table.record(kLocal, 5000, 0, Command::StatusQuery, 1'700'000'000 * kSecondUs + ms * 1000);
    QCOMPARE(table.peers().first().maxPerSecond, quint32(busiest));
}

void TestPeerTable::fastPeersAreCountedInFixedRoom()
{
    // 60,000 in a second, then a pause, then 1,000: every one counted, and the busiest second
    // stays the first's.
    PeerTable table;
    const qint64 start = 1'700'000'000 * kSecondUs;
    for (int i = 0; i < 60000; ++i)
        table.record(kLocal, 5000, 0, Command::StatusQuery, start + i * 16);
    QCOMPARE(table.peers().first().maxPerSecond, 60000u);
    for (int i = 0; i < 1000; ++i)
        table.record(kLocal, 5000, 0, Command::StatusQuery, start + 5 * kSecondUs + i * 100);
    QCOMPARE(table.peers().first().maxPerSecond, 60000u);
    QCOMPARE(table.peers().first().requests[2], 61000u);
    // The window's room does not depend on the rate.
    static_assert(sizeof(PeerTable::SecondWindow) <= 256);
}

void TestPeerTable::unitsTouchedReadAsRanges()
{
    PeerTable table;
    table.setTracksUnits(true);
    for (const int unit : {3, 0, 1, 2, 7, 9, 10, 2})
        table.record(kLocal, 5000, unit, Command::ChannelQuery, 1);
    table.touch(kLocal, 5000, 12); // heard a broadcast counted already
    const PeerTable::Peer peer = table.peers().first();
    QCOMPARE(peer.unitRanges(), u"0-3,7,9-10,12"_s);
    QCOMPARE(peer.unitCount, 8);
    QCOMPARE(peer.requestTotal(), 8u); // the touch counts no datagram

    PeerTable single; // one unit's own table keeps no list
    single.record(kLocal, 5000, 4, Command::ChannelQuery, 1);
    QCOMPARE(single.peers().first().unitRanges(), QString());
}

void TestPeerTable::peersBeyondTheBoundAreAddedUpAsOther()
{
    PeerTable table;
    constexpr int kExtra = 10;
    for (int port = 1; port <= PeerTable::kMaxPeers + kExtra; ++port)
        table.record(kLocal, quint16(port), 0, Command::ChannelQuery, port);
    table.record(kLocal, 1, 0, Command::ChannelQuery, 9000); // one known before the bound: its own
    QCOMPARE(table.size(), PeerTable::kMaxPeers + 1);
    const QList<PeerTable::Peer> peers = table.peers();
    const auto other =
        std::find_if(peers.cbegin(), peers.cend(), [](const PeerTable::Peer& p) { return p.isOther(); });
    QVERIFY(other != peers.cend());
    QCOMPARE(other->name(), u"other"_s);
    QCOMPARE(other->requestTotal(), quint64(kExtra));
    QCOMPARE(peers.first().name(), u"other"_s); // the busiest of all
    QCOMPARE(peers[1].name(), u"127.0.0.1:1"_s);
    QCOMPARE(peers[1].requestTotal(), 2u);
}

QTEST_GUILESS_MAIN(TestPeerTable)
#include "tst_peertable.moc"
