// Many units in one process, each on its own loopback address. Uses the product's fixed ports
// (4000-4007 and 65535) on 127.0.5.x, and 65535 on all addresses: fails with a clear message
// when another program holds them. With UNITSIM_TEST_DENSE_FLEET set, every test runs on a dense
// fleet, which holds those ports on all addresses.
#include "fault/faultrule.h"
#include "fleet/unitfleet.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "spoofedsender.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kUnits = 20;
// How long a test waits for what should not come.
constexpr int kQuietMs = 300;

bool dense()
{
    return qEnvironmentVariableIsSet("UNITSIM_TEST_DENSE_FLEET");
}

UnitFleet::Sockets sockets()
{
    return dense() ? UnitFleet::Sockets::Dense : UnitFleet::Sockets::PerUnit;
}

QHostAddress unitAddress(int k)
{
    return QHostAddress(quint32((127u << 24) | (5u << 8) | quint32(k + 1))); // 127.0.5.1, ...
}

// Sends from an ephemeral loopback port and collects every answer, with its sender.
struct Prober {
    Prober() { socket.bind(QHostAddress::LocalHost, 0); }
    QList<QNetworkDatagram> ask(const QHostAddress& address, quint16 port, const QByteArray& payload,
                                int quietMs = 200)
    {
        socket.writeDatagram(payload, address, port);
        QList<QNetworkDatagram> answers;
        while (socket.hasPendingDatagrams() ||
               QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, quietMs))
            answers << socket.receiveDatagram();
        return answers;
    }
    QUdpSocket socket;
};
} // namespace

class TestFleet : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void eachUnitAnswersFromItsOwnAddress();
    void discoveryToOneAddressIsThatUnitsAlone();
    void discoveryToOneAddressFindsItsFleetBesideAnother();
    void discoveryAnywhereElseIsAnsweredByEveryUnit_data();
    void discoveryAnywhereElseIsAnsweredByEveryUnit();
    void unitsKeepTheirOwnState();
    void faultRulesActOnTheUnitsTheyName();
    void aUnitThatCannotBindIsReportedAndTheOthersRun();
    void unitsNeverAnswerEachOther();

private:
    void startFleet();
    std::unique_ptr<UnitFleet> m_fleet;
    QStringList m_failures;
};

void TestFleet::init()
{
    m_failures.clear();
    QList<FleetUnit> units;
    for (int k = 0; k < kUnits; ++k)
        units.append({unitAddress(k), k % kProfileCount});
    m_fleet = std::make_unique<UnitFleet>(units, 7, sockets());
    QCOMPARE(m_fleet->isDense(), dense());
    connect(m_fleet.get(), &UnitFleet::endpointStateChanged, this,
            [this](int, bool listening, const QString& text) {
                if (!listening)
                    m_failures << text;
            });
    if (!QByteArray(QTest::currentTestFunction()).startsWith("aUnitThatCannot"))
        startFleet();
}

void TestFleet::startFleet()
{
    m_fleet->start();
    QVERIFY2(m_failures.isEmpty(),
             qPrintable(u"the fixed ports are needed by this test: "_s + m_failures.join(u'\n')));
    QCOMPARE(m_fleet->listeningCount(), kUnits);
    QVERIFY(m_fleet->discoveryEndpoint().isBound());
}

void TestFleet::cleanup()
{
    m_fleet.reset();
}

void TestFleet::eachUnitAnswersFromItsOwnAddress()
{
    Prober prober;
    for (int k = 0; k < kUnits; ++k) {
        const quint16 port = unitPortForProfile(k % kProfileCount);
        const QList<QNetworkDatagram> answers = prober.ask(unitAddress(k), port, unitFrame(51), 100);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].senderAddress(), unitAddress(k));
        QCOMPARE(answers[0].senderPort(), int(port));
        QCOMPARE(quint8(answers[0].data()[11]),
                 kUnitProfiles[std::size_t(k % kProfileCount)].statusPosition11);
    }
    // A client that hears only the address it asked (a connected socket) hears each unit.
    for (const int k : {0, 7, kUnits - 1}) {
        QUdpSocket connected;
        connected.connectToHost(unitAddress(k), unitPortForProfile(k % kProfileCount));
        QVERIFY(connected.waitForConnected(1000));
        connected.write(unitFrame(50));
        QVERIFY(QTest::qWaitFor([&] { return connected.hasPendingDatagrams(); }, 2000));
        QCOMPARE(connected.receiveDatagram().data().size(), 29);
    }
    // An address no unit has, or a unit's address on a port it does not listen on: nobody
    // answers on the unit port.
    QVERIFY(prober.ask(unitAddress(kUnits), 4000, unitFrame(50), 100).isEmpty());
    QVERIFY(prober.ask(unitAddress(1), 4000, unitFrame(50), 100).isEmpty());
    if (m_fleet->isDense())
        QCOMPARE(m_fleet->strayDatagrams(), 2u);
}

void TestFleet::discoveryToOneAddressIsThatUnitsAlone()
{
    Prober prober;
    const QList<QNetworkDatagram> answers = prober.ask(unitAddress(3), kDiscoveryPort, "X");
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].senderAddress(), unitAddress(3));
    QCOMPARE(answers[0].data(), QByteArray(identityForProfile(3).data(), 50));
}

void TestFleet::discoveryToOneAddressFindsItsFleetBesideAnother()
{
    // A second fleet (in a process of its own or not) binds discovery on all addresses after the
    // first: what is sent to a unit of the first still reaches that unit, and only it.
    const QHostAddress other(u"127.0.6.1"_s);
    UnitFleet later({{other, 4}}, 8, dense() ? UnitFleet::Sockets::PerUnit : UnitFleet::Sockets::Dense);
    QStringList failures;
    connect(&later, &UnitFleet::endpointStateChanged, this, [&](int, bool listening, const QString& text) {
        if (!listening)
            failures << text;
    });
    later.start();
    if (later.isDense() || m_fleet->isDense()) {
        // A dense fleet is alone on its ports: the second fleet, whichever is dense, is refused
        // while the first answers on. A dense one is told who holds them (this process, here).
        QVERIFY(!failures.isEmpty());
        if (later.isDense()) {
            const QString all = failures.join(u'\n');
            QVERIFY2(all.contains(u"process %1 (tst_fleet)"_s.arg(QCoreApplication::applicationPid())),
                     qPrintable(all));
            QVERIFY2(all.contains(u"two cannot share one on a machine"_s), qPrintable(all));
        }
        QCOMPARE(later.listeningCount(), 0);
        Prober prober;
        QCOMPARE(prober.ask(unitAddress(3), kDiscoveryPort, "X").size(), 1);
        return;
    }
    QCOMPARE(later.listeningCount(), 1);
    Prober prober;
    for (const auto& [address, profile] : {std::pair{unitAddress(3), 3}, std::pair{other, 4}}) {
        const QList<QNetworkDatagram> answers = prober.ask(address, kDiscoveryPort, "X");
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].senderAddress(), address);
        QCOMPARE(answers[0].data(), QByteArray(identityForProfile(profile).data(), 50));
    }
    QCOMPARE(m_fleet->unit(3).requestCount(), 1u);
    QCOMPARE(later.unit(0).requestCount(), 1u);
}

void TestFleet::discoveryAnywhereElseIsAnsweredByEveryUnit_data()
{
    QTest::addColumn<QHostAddress>("target");
    QTest::addRow("loopback broadcast") << QHostAddress(u"127.255.255.255"_s);
    QTest::addRow("127.0.0.1") << QHostAddress(QHostAddress::LocalHost);
    // From this machine, any address of it will do (it arrives on loopback).
    QTest::addRow("an address no unit has, from this machine") << unitAddress(kUnits + 5);
}

void TestFleet::discoveryAnywhereElseIsAnsweredByEveryUnit()
{
    QFETCH(QHostAddress, target);
    Prober prober;
    const QList<QNetworkDatagram> answers = prober.ask(target, kDiscoveryPort, "X");
    QCOMPARE(answers.size(), kUnits);
    QSet<quint32> from;
    for (const QNetworkDatagram& answer : answers) {
        const int k = int((answer.senderAddress().toIPv4Address() & 0xffu) - 1);
        QVERIFY(k >= 0 && k < kUnits);
        QCOMPARE(answer.senderPort(), int(kDiscoveryPort));
        QCOMPARE(answer.data(), QByteArray(identityForProfile(k % kProfileCount).data(), 50));
        from.insert(answer.senderAddress().toIPv4Address());
    }
    QCOMPARE(from.size(), kUnits); // each unit once

    // One datagram from one controller, heard by every unit: counted once, touching them all.
    prober.ask(target, kDiscoveryPort, "Y", 100); // no request: counted as malformed, answered by none
    const QList<PeerTable::Peer> peers = m_fleet->peers().peers();
    QCOMPARE(peers.size(), 1);
    QCOMPARE(peers[0].requests, (std::array<quint64, 4>{0, 0, 0, 1}));
    QCOMPARE(peers[0].malformed, (std::array<quint64, 3>{0, 0, 1}));
    QCOMPARE(peers[0].unitRanges(), u"0-%1"_s.arg(kUnits - 1));
    for (int k = 0; k < kUnits; ++k)
        QCOMPARE(m_fleet->unit(k).peers().peers().first().requests[3], 1u);
}

void TestFleet::unitsKeepTheirOwnState()
{
    Prober prober;
    prober.socket.writeDatagram(unitFrame(0, repeated(9, 24)), unitAddress(0), 4000);
    QVERIFY(QTest::qWaitFor([&] { return m_fleet->unit(0).channelValues()[2] == 9; }, 2000));
    QCOMPARE(bytesOf(prober.ask(unitAddress(9), 4000, unitFrame(50))[0].data()).mid(2, 2),
             (QList<int>{125, 125}));
    QCOMPARE(bytesOf(prober.ask(unitAddress(0), 4000, unitFrame(50))[0].data()).mid(2, 2),
             (QList<int>{9, 9}));
}

void TestFleet::faultRulesActOnTheUnitsTheyName()
{
    // Every unit holds both rules; each acts only where it names the unit.
    for (int k = 0; k < kUnits; ++k) {
        m_fleet->unit(k).faults().add(FaultRule::parse(u"drop,on=status-query,units=1-2"_s, nullptr).value());
        m_fleet->unit(k).faults().add(
            FaultRule::parse(u"drop,on=status-query,units=127.0.5.5"_s, nullptr).value());
    }
    Prober prober;
    QString answered;
    for (int k = 0; k < 6; ++k) {
        const quint16 port = unitPortForProfile(k % kProfileCount);
        answered += prober.ask(unitAddress(k), port, unitFrame(51), 100).isEmpty() ? u'-' : u'A';
    }
    QCOMPARE(answered, u"A--A-A"_s);
}

void TestFleet::aUnitThatCannotBindIsReportedAndTheOthersRun()
{
    QUdpSocket holder; // another program on unit 6's address and port (profile 6: 4005)
    QVERIFY2(holder.bind(unitAddress(6), 4005), "127.0.5.7:4005 is needed by this test");
    m_fleet->start();
    QCOMPARE(m_failures.size(), 1);
    // A dense fleet cannot take the port on any address: no unit on it (profiles 5 and 6) listens.
    QVERIFY2(m_failures[0].startsWith(m_fleet->isDense()
                                          ? u"Fleet unit port 4005 on all addresses: not listening"_s
                                          : u"127.0.5.7 Unit port 4005: not listening"_s),
             qPrintable(m_failures[0]));
    int onThePort = 0;
    for (int k = 0; k < kUnits; ++k)
        onThePort += unitPortForProfile(k % kProfileCount) == 4005 ? 1 : 0;
    QCOMPARE(m_fleet->listeningCount(), m_fleet->isDense() ? kUnits - onThePort : kUnits - 1);
    Prober prober;
    QCOMPARE(prober.ask(unitAddress(5), 4005, unitFrame(50)).size(), m_fleet->isDense() ? 0 : 1);
    QCOMPARE(prober.ask(unitAddress(4), 4004, unitFrame(50)).size(), 1);
    QCOMPARE(prober.ask(QHostAddress(u"127.255.255.255"_s), kDiscoveryPort, "X").size(), kUnits);
}

void TestFleet::unitsNeverAnswerEachOther()
{
    // One request that claims to come from unit 0 (as a reply from it would), sent to unit 9 on
    // the same port: unit 9's reply would go to unit 0, whose reply would go back, forever.
    if (!canSpoof())
        QSKIP("needs a raw socket (root)");
    QList<TrafficLogEntry> lines;
    connect(m_fleet.get(), &UnitFleet::trafficLogged, this,
            [&](int, const TrafficLogEntry& entry) { lines.append(entry); });
    QCOMPARE(unitPortForProfile(0), unitPortForProfile(9 % kProfileCount));
    const quint16 port = unitPortForProfile(0);
    QVERIFY(sendSpoofedUdp(unitAddress(0).toIPv4Address(), port, unitAddress(9).toIPv4Address(), port,
                           unitFrame(50)));
    // And discovery, from unit 3's address and the discovery port, to every unit.
    QVERIFY(sendSpoofedUdp(unitAddress(3).toIPv4Address(), kDiscoveryPort, 0x7fffffffu, kDiscoveryPort, "X"));
    QVERIFY(QTest::qWaitFor([&] { return lines.size() >= 2; }, 3000));
    QTest::qWait(kQuietMs);    // anything an exchange would bring comes meanwhile
    QCOMPARE(lines.size(), 2); // a loop-guard line for each, and nothing answered
    for (const TrafficLogEntry& line : std::as_const(lines)) {
        QVERIFY(line.isFault());
        QVERIFY2(line.note->text.startsWith("loop guard: 1 datagram from the simulator's own endpoints"),
                 line.note->text.constData());
    }
}

QTEST_GUILESS_MAIN(TestFleet)
#include "tst_fleet.moc"
