// The simulated unit on the wire. Uses the product's fixed ports (4000-4007 and 65535): the
// test fails with a clear message when another program holds one of them.
#include "log/trafficlogjson.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "spoofedsender.h"
#include "unit/unitsimulator.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
// How long a test waits for what should not come.
constexpr int kQuietMs = 300;
} // namespace

class TestUnitSimulator : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void channelQueryAtStart();
    void setChannelsThenQuery_data();
    void setChannelsThenQuery();
    void backToTheStartForgetsEveryChannel_data();
    void backToTheStartForgetsEveryChannel();
    void statusQueryOnEveryProfile_data();
    void statusQueryOnEveryProfile();
    void statusQueryDrawsStayInRange();
    void unanswered_data();
    void unanswered();
    void longRequestIsAnsweredAndLoggedAs29Bytes();
    void repliesGoToEachSendersOwnPort();
    void repliesLeaveFromTheAddressAsked();
    void datagramsFromItsOwnEndpointsAreNeverAnswered();
    void aReplyThatCannotLeaveIsLoggedAsNotSent();
    void discovery_data();
    void discovery();
    void discoveryIgnoresOtherPayloads();
    void profileChangeMovesTheUnitPort_data();
    void profileChangeMovesTheUnitPort();
    void profileChangeKeepsChannelsAndLog();
    void endpointStateLines();

private:
    void selectProfile(int index);

    std::unique_ptr<UnitSimulator> m_unit;
    std::unique_ptr<TrafficLogModel> m_log;
};

void TestUnitSimulator::init()
{
    m_unit = std::make_unique<UnitSimulator>();
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    m_unit->start(0);
    if (!m_unit->unitEndpoint().isBound())
        QFAIL(qPrintable(u"port 4000 is needed by this test: "_s + m_unit->unitEndpointState()));
    if (!m_unit->discoveryEndpoint().isBound())
        QFAIL(qPrintable(u"port 65535 is needed by this test: "_s + m_unit->discoveryEndpointState()));
}

void TestUnitSimulator::cleanup()
{
    m_unit.reset();
    m_log.reset();
}

void TestUnitSimulator::selectProfile(int index)
{
    if (!m_unit->selectProfile(index))
        QFAIL(qPrintable(u"the unit port is needed by this test: "_s + m_unit->unitEndpointState()));
}

void TestUnitSimulator::channelQueryAtStart()
{
    LoopbackClient client;
    const QByteArray reply = client.request(4000, unitFrame(50));
    QCOMPARE(bytesOf(reply),
             (QList<int>{254, 50} + repeated(125, 12) + repeated(0, 12) + QList<int>{0, 0, 255}));
    QCOMPARE(m_log->rowCount(), 2);
    QCOMPARE(m_log->lineAt(1),
             u"--> 127.0.0.1:4000 -  0 50 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"_s);
    QCOMPARE(m_log->lineAt(0), u"<-- 127.0.0.1:"_s + QString::number(client.port()) +
                                   u" -254 50 125 125 125 125 125 125 125 125 125 125 125 125 "
                                   "0 0 0 0 0 0 0 0 0 0 0 0 0 0 255"_s);
}

void TestUnitSimulator::setChannelsThenQuery_data()
{
    QTest::addColumn<QList<int>>("values");
    QList<int> ascending;
    for (int v = 1; v <= 24; ++v)
        ascending << v;
    QTest::addRow("1 to 24") << ascending;
    QTest::addRow("all 0") << repeated(0, 24);
    QTest::addRow("all 255") << repeated(255, 24);
}

void TestUnitSimulator::setChannelsThenQuery()
{
    QFETCH(QList<int>, values);
    LoopbackClient setter;
    LoopbackClient querier;
    setter.send(4000, unitFrame(0, values + QList<int>{9, 9, 9}));
    QVERIFY(setter.staysQuiet(200)); // set-channels is never acknowledged
    QCOMPARE(m_log->rowCount(), 1);  // ...and leaves only its incoming line
    QCOMPARE(bytesOf(querier.request(4000, unitFrame(50))),
             (QList<int>{254, 50} + values + QList<int>{0, 0, 255}));
}

void TestUnitSimulator::backToTheStartForgetsEveryChannel_data()
{
    QTest::addColumn<bool>("reboot");
    QTest::addRow("power cut and back") << true;
    QTest::addRow("start state again (a scenario from 0)") << false;
}

void TestUnitSimulator::backToTheStartForgetsEveryChannel()
{
    QFETCH(bool, reboot);
    LoopbackClient client;
    client.send(4000, unitFrame(0, repeated(7, 24)));
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))).mid(2, 24), repeated(7, 24));
    if (reboot) {
        m_unit->powerOff();
        QVERIFY(client.request(4000, unitFrame(50), kQuietMs).isNull());
        m_unit->powerOn();
    } else {
        m_unit->resetChannels();
    }
    // As the unit opened: 125 in 2-13, 0 everywhere else, elements 0 and 1 included.
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))).mid(2, 24), repeated(125, 12) + repeated(0, 12));
    ChannelArray start{};
    for (int n = 2; n <= 13; ++n)
        start[std::size_t(n)] = 125;
    QCOMPARE(m_unit->channelValues(), start);
}

void TestUnitSimulator::statusQueryOnEveryProfile_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<int>("position11");
    QTest::addColumn<int>("position14"); // -1: drawn, 0 to 250
    QTest::addRow("0") << 0 << 6 << 12;
    QTest::addRow("1") << 1 << 1 << -1;
    QTest::addRow("2") << 2 << 6 << 4;
    QTest::addRow("3") << 3 << 6 << 4;
    QTest::addRow("4") << 4 << 6 << 4;
    QTest::addRow("5") << 5 << 12 << 6;
    QTest::addRow("6") << 6 << 12 << 12;
    QTest::addRow("7") << 7 << 12 << 6;
    QTest::addRow("8") << 8 << 12 << 12;
}

void TestUnitSimulator::statusQueryOnEveryProfile()
{
    QFETCH(int, profile);
    QFETCH(int, position11);
    QFETCH(int, position14);
    selectProfile(profile);
    LoopbackClient client;
    const QList<int> reply = bytesOf(client.request(unitPortForProfile(profile), unitFrame(51)));
    QCOMPARE(reply.size(), 29);
    QVERIFY(reply[2] >= 25 && reply[2] <= 70);
    QList<int> expected =
        QList<int>{254, 51, reply[2], 240, 250, 0, 0, 0, 0, 0, 5, position11, 5, 3, position14, 0, 1} +
        repeated(0, 9) + QList<int>{75, 1, 255};
    if (position14 < 0) {
        QVERIFY(reply[14] >= 0 && reply[14] <= 250);
        expected[14] = reply[14];
    }
    QCOMPARE(reply, expected);
}

void TestUnitSimulator::statusQueryDrawsStayInRange()
{
    selectProfile(1);
    LoopbackClient client;
    QSet<int> firsts, seconds;
    for (int i = 0; i < 200; ++i) {
        const QList<int> reply = bytesOf(client.request(4001, unitFrame(51)));
        QCOMPARE(reply.size(), 29);
        QVERIFY2(reply[2] >= 25 && reply[2] <= 70, qPrintable(QString::number(reply[2])));
        firsts.insert(reply[2]);
        seconds.insert(reply[14]);
    }
    // 200 draws over 46 and 251 values: all alike would mean nothing is drawn.
    QVERIFY(firsts.size() > 10);
    QVERIFY(seconds.size() > 50);
}

void TestUnitSimulator::unanswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("dump");
    const QString zeros27 = u" 0"_s.repeated(27);
    QTest::addRow("command 52") << unitFrame(52) << u" 0 52"_s + zeros27;
    QTest::addRow("command 49") << unitFrame(49) << u" 0 49"_s + zeros27;
    QTest::addRow("command 255") << unitFrame(255) << u" 0 255"_s + zeros27;
    QTest::addRow("discovery text on the unit port") << QByteArray("X") << u" 88"_s + u" -"_s.repeated(28);
    QTest::addRow("short set-channels")
        << unitFrame(0, {}, 10) << u" 0"_s.repeated(10) + u" -"_s.repeated(19);
    QTest::addRow("short channel-query")
        << unitFrame(50, {}, 28) << u" 0 50"_s + u" 0"_s.repeated(26) + u" -"_s;
    QTest::addRow("empty") << QByteArray() << u" -"_s.repeated(29);
}

void TestUnitSimulator::unanswered()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, dump);
    LoopbackClient client;
    client.send(4000, request);
    QVERIFY(client.staysQuiet(200));
    QCOMPARE(m_log->rowCount(), 1);
    QCOMPARE(m_log->lineAt(0), u"--> 127.0.0.1:4000 - "_s + dump);
    // Nothing was stored: the channels still hold their start values.
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))),
             (QList<int>{254, 50} + repeated(125, 12) + repeated(0, 12) + QList<int>{0, 0, 255}));
}

void TestUnitSimulator::longRequestIsAnsweredAndLoggedAs29Bytes()
{
    LoopbackClient client;
    QByteArray request = unitFrame(50, repeated(3, 38), 40);
    const QByteArray reply = client.request(4000, request);
    QCOMPARE(reply.size(), 29);
    QCOMPARE(quint8(reply[1]), quint8(50));
    QCOMPARE(m_log->lineAt(1), u"--> 127.0.0.1:4000 -  0 50"_s + u" 3"_s.repeated(27));
}

void TestUnitSimulator::repliesGoToEachSendersOwnPort()
{
    LoopbackClient a;
    LoopbackClient b;
    a.send(4000, unitFrame(50));
    b.send(4000, unitFrame(51));
    quint16 fromA = 0, fromB = 0;
    QCOMPARE(quint8(a.receive(2000, &fromA).at(1)), quint8(50));
    QCOMPARE(quint8(b.receive(2000, &fromB).at(1)), quint8(51));
    QCOMPARE(fromA, quint16(4000));
    QCOMPARE(fromB, quint16(4000));
    QVERIFY(a.staysQuiet(100) && b.staysQuiet(0));
    QCOMPARE(m_log->rowCount(), 4);
    QVERIFY(m_log->lineAt(2).startsWith(u"<-- 127.0.0.1:"_s + QString::number(a.port()) + u" -254 50 "_s));
    QVERIFY(m_log->lineAt(0).startsWith(u"<-- 127.0.0.1:"_s + QString::number(b.port()) + u" -254 51 "_s));
}

void TestUnitSimulator::repliesLeaveFromTheAddressAsked()
{
    // The unit listens on every address; a client that asked one (a connected socket, as nc and
    // socat use) hears only replies from it. Delayed replies too.
    m_unit->faults().add(*FaultRule::parse(u"delay=20,on=status-query"_s, nullptr));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const struct {
        const char* address;
        quint16 port;
        QByteArray request;
    } asked[] = {
        {"127.0.0.2", 4000, unitFrame(50)},
        {"127.0.0.3", 4000, unitFrame(51)},
        {"127.0.0.4", kDiscoveryPort, "X"},
    };
    for (const auto& ask : asked) {
        const QHostAddress to(QString::fromLatin1(ask.address));
        QCOMPARE(client.writeDatagram(ask.request, to, ask.port), ask.request.size());
        QVERIFY(QTest::qWaitFor([&] { return client.hasPendingDatagrams(); }, 2000));
        const QNetworkDatagram reply = client.receiveDatagram();
        QCOMPARE(reply.senderAddress(), to);
        QCOMPARE(reply.senderPort(), int(ask.port));
    }
}

void TestUnitSimulator::datagramsFromItsOwnEndpointsAreNeverAnswered()
{
    // A reply echoes its request's command: a channel-query "from" the unit's own port, answered,
    // would answer itself forever. So would discovery from 65535.
    if (!canSpoof())
        QSKIP("needs a raw socket (root)");
    constexpr quint32 kLoopback = 0x7f000001;
    QVERIFY(sendSpoofedUdp(kLoopback, 4000, kLoopback, 4000, unitFrame(50)));
    QVERIFY(sendSpoofedUdp(kLoopback, kDiscoveryPort, kLoopback, kDiscoveryPort, "X"));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() >= 1; }, 3000));
    QTest::qWait(kQuietMs); // anything an exchange would bring comes meanwhile
    // Counted, and said once for both (within the second).
    QCOMPARE(m_unit->ignoredFromItself(), quint64(2));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() == 2; }, 3000));
    QCOMPARE(
        m_log->lineAt(1),
        u"!!! fault loop guard: 1 datagram from the simulator's own endpoints not answered (last from 127.0.0.1:4000)"_s);
    QCOMPARE(
        m_log->lineAt(0),
        u"!!! fault loop guard: 1 datagram from the simulator's own endpoints not answered (last from 127.0.0.1:65535)"_s);

    // Another port of this machine is a controller's: answered.
    QVERIFY(sendSpoofedUdp(kLoopback, 4001, kLoopback, 4000, unitFrame(50)));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() == 4; }, 3000));
    QVERIFY(m_log->lineAt(0).startsWith(u"<-- 127.0.0.1:4001 -254 50"_s));
}

void TestUnitSimulator::aReplyThatCannotLeaveIsLoggedAsNotSent()
{
    // A request "from" port 0: no datagram can go there, so the reply fails to leave.
    if (!canSpoof())
        QSKIP("needs a raw socket (root)");
    QVERIFY(sendSpoofedUdp(0x7f000001, 0, 0x7f000001, 4000, unitFrame(50)));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() == 2; }, 3000));
    const QString line = m_log->lineAt(0);
    QVERIFY2(line.startsWith(u"<-X 127.0.0.1:0 -254 50 "_s), qPrintable(line));
    QVERIFY2(line.endsWith(u" (not sent: Invalid argument)"_s), qPrintable(line));
    QCOMPARE(m_unit->repliesNotSent(), quint64(1));
    const TrafficLogEntry& entry = m_log->entryWithSeq(1);
    QVERIFY(!entry.isDatagram());
    const QJsonObject json = trafficLogJson(entry, 1, 0);
    QCOMPARE(json[u"direction"_s].toString(), u"not-sent"_s);
    QCOMPARE(json[u"reason"_s].toString(), u"Invalid argument"_s);
}

void TestUnitSimulator::discovery_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<QByteArray>("identity");
    for (int profile = 0; profile < kProfileCount; ++profile)
        QTest::addRow("%d", profile) << profile << QByteArray(identityForProfile(profile).data(), 50);
}

void TestUnitSimulator::discovery()
{
    QFETCH(int, profile);
    QFETCH(QByteArray, identity);
    selectProfile(profile);
    LoopbackClient client;
    client.send(kDiscoveryPort, "X");
    quint16 from = 0;
    QCOMPARE(client.receive(2000, &from), identity);
    QCOMPARE(from, kDiscoveryPort);
    QCOMPARE(m_log->rowCount(), 2);
    QCOMPARE(m_log->lineAt(1), u"--> 127.0.0.1:65535 - X"_s);
    QCOMPARE(m_log->lineAt(0),
             u"<-- 127.0.0.1:"_s + QString::number(client.port()) + u" - "_s + QString::fromLatin1(identity));
}

void TestUnitSimulator::discoveryIgnoresOtherPayloads()
{
    LoopbackClient client;
    for (const QByteArray& payload : {QByteArray("x"), QByteArray("XX"), QByteArray("X\n"), QByteArray(),
                                      QByteArray(1500, 'X'), unitFrame(50)})
        client.send(kDiscoveryPort, payload);
    QVERIFY(client.staysQuiet(300));
    QCOMPARE(m_log->rowCount(), 0);
    // ...and still answers the real request afterwards.
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);
}

void TestUnitSimulator::profileChangeMovesTheUnitPort_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addRow("0 to 3") << 0 << 3;
    QTest::addRow("0 to 6 uses 4005") << 0 << 6;
    QTest::addRow("0 to 8 uses 4007") << 0 << 8;
    QTest::addRow("5 to 6 keeps 4005") << 5 << 6;
    QTest::addRow("8 to 7 keeps 4007") << 8 << 7;
}

void TestUnitSimulator::profileChangeMovesTheUnitPort()
{
    QFETCH(int, from);
    QFETCH(int, to);
    selectProfile(from);
    selectProfile(to);
    const quint16 oldPort = unitPortForProfile(from);
    const quint16 newPort = unitPortForProfile(to);
    QCOMPARE(m_unit->unitEndpoint().localPort(), newPort);
    LoopbackClient client;
    if (oldPort != newPort) {
        client.send(oldPort, unitFrame(50));
        QVERIFY(client.staysQuiet(200));
    }
    QCOMPARE(quint8(client.request(newPort, unitFrame(51)).at(11)),
             quint8(kUnitProfiles[std::size_t(to)].statusPosition11));
    QVERIFY(m_log->lineAt(1).startsWith(u"--> 127.0.0.1:"_s + QString::number(newPort) + u" -  0 51 "_s));
}

void TestUnitSimulator::profileChangeKeepsChannelsAndLog()
{
    LoopbackClient client;
    client.send(4000, unitFrame(0, repeated(42, 24)));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() == 1; }, 2000));
    const ChannelArray before = m_unit->channelValues();
    selectProfile(7);
    QCOMPARE(m_unit->channelValues(), before);
    QCOMPARE(m_log->rowCount(), 1);
    QCOMPARE(bytesOf(client.request(4007, unitFrame(50))),
             (QList<int>{254, 50} + repeated(42, 24) + QList<int>{0, 0, 255}));
}

void TestUnitSimulator::endpointStateLines()
{
    QCOMPARE(m_unit->unitEndpointState(), u"Unit port 4000: listening"_s);
    QCOMPARE(m_unit->discoveryEndpointState(), u"Discovery port 65535: listening"_s);

    QUdpSocket holder; // plays another program on 4003
    QVERIFY2(holder.bind(QHostAddress::AnyIPv4, 4003), "port 4003 is needed by this test");
    QSignalSpy changed(m_unit.get(), &UnitSimulator::endpointStateChanged);
    QVERIFY(!m_unit->selectProfile(3));
    QCOMPARE(m_unit->profileIndex(), 3);
    QCOMPARE(changed.size(), 1);
    const QString expected = u"Unit port 4003: not listening \u2014 the port is in use by another program"_s;
    QCOMPARE(changed[0][0].value<UnitSimulator::Endpoint>(), UnitSimulator::Endpoint::Unit);
    QCOMPARE(changed[0][1].toString(), expected);
    QCOMPARE(m_unit->unitEndpointState(), expected);

    // Discovery keeps working while the unit port is unavailable.
    LoopbackClient client;
    QCOMPARE(client.request(kDiscoveryPort, "X").left(20), QByteArray("ALED.SIM.ULA.TOR.3/4"));
}

QTEST_GUILESS_MAIN(TestUnitSimulator)
#include "tst_unitsimulator.moc"
