// The datagram endpoint on loopback, on ephemeral ports only.
#include "loopbackclient.h"
#include "net/datagramendpoint.h"
#include "net/datagrampoller.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
// Keeps the payload and sender of every delivered datagram.
struct Reader {
    explicit Reader(DatagramEndpoint& endpoint)
    {
        QObject::connect(&endpoint, &DatagramEndpoint::datagramReceived, &endpoint,
                         [this](const Datagram& datagram) {
                             payloads.append(datagram.data.toByteArray());
                             senders.append(datagram.address.toString());
                         });
    }
    bool waitFor(int count, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return payloads.size() >= count; }, timeoutMs);
    }
    QList<QByteArray> payloads;
    QStringList senders;
};
} // namespace

class TestDatagramEndpoint : public QObject {
    Q_OBJECT

private slots:
    void deliversAtOnceWithSenderAddress();
    void keepsOnlyTheBytesAskedFor();
    void deliversEmptyDatagrams();
    void portHeldByAnotherSocketIsRefused_data();
    void portHeldByAnotherSocketIsRefused();
    void rebindMovesToTheNewPort();
    void datagramsWithoutAReceiverDoNotStallTheSocket();
    void burstIsDeliveredOneByOne();
    void repliesLeaveFromTheBoundPort();
    void sendFailuresAreReportedOncePerKind();
    void sharedPollerWakesEachEndpointForItsOwn();
    void sharedPollerSkipsAnEndpointClosedInTheSameWakeUp();
    void endpointOutlivesItsPoller();
    void endpointOnAllAddressesAnswersForOneOfThem();
};

void TestDatagramEndpoint::deliversAtOnceWithSenderAddress()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    QVERIFY(endpoint.isBound());
    QVERIFY(endpoint.bindError().isEmpty());
    Reader reader(endpoint);
    LoopbackClient client;
    client.send(endpoint.localPort(), "hello");
    QVERIFY(reader.waitFor(1));
    QCOMPARE(reader.payloads[0], QByteArray("hello"));
    QCOMPARE(reader.senders[0], u"127.0.0.1"_s); // dotted decimal, not an IPv4-mapped IPv6 form
}

void TestDatagramEndpoint::keepsOnlyTheBytesAskedFor()
{
    DatagramEndpoint endpoint(4);
    QVERIFY(endpoint.bind(0));
    Reader reader(endpoint);
    LoopbackClient client;
    client.send(endpoint.localPort(), QByteArray(1500, 'a'));
    client.send(endpoint.localPort(), "bc");
    QVERIFY(reader.waitFor(2));
    QCOMPARE(reader.payloads, (QList<QByteArray>{"aaaa", "bc"}));
}

void TestDatagramEndpoint::deliversEmptyDatagrams()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    Reader reader(endpoint);
    LoopbackClient client;
    client.send(endpoint.localPort(), QByteArray());
    client.send(endpoint.localPort(), "after");
    QVERIFY(reader.waitFor(2));
    QCOMPARE(reader.payloads[0], QByteArray());
    QCOMPARE(reader.payloads[1], QByteArray("after"));
}

void TestDatagramEndpoint::portHeldByAnotherSocketIsRefused_data()
{
    QTest::addColumn<QHostAddress>("holderAddress");
    QTest::addColumn<int>("holderMode");
    QTest::addRow("any address, default mode")
        << QHostAddress(QHostAddress::AnyIPv4) << int(QUdpSocket::DefaultForPlatform);
    QTest::addRow("loopback only") << QHostAddress(QHostAddress::LocalHost)
                                   << int(QUdpSocket::DefaultForPlatform);
    QTest::addRow("holder asks to share")
        << QHostAddress(QHostAddress::AnyIPv4) << int(QUdpSocket::ShareAddress);
}

void TestDatagramEndpoint::portHeldByAnotherSocketIsRefused()
{
    QFETCH(QHostAddress, holderAddress);
    QFETCH(int, holderMode);
    QUdpSocket holder;
    QVERIFY(holder.bind(holderAddress, 0, QUdpSocket::BindMode(holderMode)));
    DatagramEndpoint endpoint(64);
    QSignalSpy changed(&endpoint, &DatagramEndpoint::bindStateChanged);
    QVERIFY(!endpoint.bind(holder.localPort()));
    QVERIFY(!endpoint.isBound());
    QCOMPARE(endpoint.port(), holder.localPort());
    QCOMPARE(endpoint.bindError(), u"the port is in use by another program"_s);
    QCOMPARE(changed.size(), 1);
    // Polling an endpoint that is not bound does nothing, and says nothing.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    endpoint.poll();

    // Once the port is free, the next bind takes it and the error is gone.
    const quint16 port = holder.localPort();
    holder.close();
    QVERIFY(endpoint.bind(port));
    QVERIFY(endpoint.bindError().isEmpty());
}

void TestDatagramEndpoint::rebindMovesToTheNewPort()
{
    QUdpSocket probe; // find two free ports
    QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
    const quint16 second = probe.localPort();
    probe.close();

    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    const quint16 first = endpoint.localPort();
    Reader reader(endpoint);
    QVERIFY(endpoint.bind(second));
    QCOMPARE(endpoint.localPort(), second);
    // Binding the same port again works too (close, then bind).
    QVERIFY(endpoint.bind(second));

    LoopbackClient client;
    client.send(first, "old");
    client.send(second, "new");
    QVERIFY(reader.waitFor(1));
    QTest::qWait(100);
    QCOMPARE(reader.payloads, (QList<QByteArray>{"new"}));
}

void TestDatagramEndpoint::datagramsWithoutAReceiverDoNotStallTheSocket()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    LoopbackClient client;
    // Nobody listens yet: the endpoint still takes these off the socket.
    for (int i = 0; i < 10; ++i)
        client.send(endpoint.localPort(), "unheard");
    QTest::qWait(100);
    Reader reader(endpoint);
    client.send(endpoint.localPort(), "heard");
    QVERIFY(reader.waitFor(1));
    QTest::qWait(50);
    QCOMPARE(reader.payloads, (QList<QByteArray>{"heard"}));
}

void TestDatagramEndpoint::burstIsDeliveredOneByOne()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    Reader reader(endpoint);
    LoopbackClient client;
    // Sent without returning to the event loop: they wait in the socket together.
    for (int i = 0; i < 1000; ++i)
        client.send(endpoint.localPort(), QByteArray::number(i));
    QVERIFY(reader.waitFor(1000, 5000));
    QCOMPARE(reader.payloads.size(), 1000);
    QCOMPARE(reader.payloads.first(), QByteArray("0"));
    QCOMPARE(reader.payloads.last(), QByteArray("999"));
}

void TestDatagramEndpoint::repliesLeaveFromTheBoundPort()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    connect(&endpoint, &DatagramEndpoint::datagramReceived, this,
            [&](const Datagram& datagram) { endpoint.write(datagram.address, datagram.port, "pong"); });
    LoopbackClient client;
    client.send(endpoint.localPort(), "ping");
    quint16 from = 0;
    QCOMPARE(client.receive(3000, &from), QByteArray("pong"));
    QCOMPARE(from, endpoint.localPort());

    // Replies carry the endpoint's hop limit.
    QUdpSocket ttlReader;
    QVERIFY(ttlReader.bind(QHostAddress::LocalHost, 0));
    endpoint.write(QHostAddress::LocalHost, ttlReader.localPort(), "ttl");
    QVERIFY(ttlReader.waitForReadyRead(3000));
    QCOMPARE(ttlReader.receiveDatagram().hopLimit(), DatagramEndpoint::kHopLimit);
}

void TestDatagramEndpoint::sendFailuresAreReportedOncePerKind()
{
    DatagramEndpoint endpoint(64);
    QVERIFY(endpoint.bind(0));
    QSignalSpy failed(&endpoint, &DatagramEndpoint::sendFailed);
    for (int i = 0; i < 100; ++i)
        QVERIFY(!endpoint.write(QHostAddress::LocalHost, 0, "x")); // port 0: the kernel refuses
    QCOMPARE(failed.size(), 1); // a flood of failures is one message, not a hundred
    QVERIFY(!failed[0][0].toString().isEmpty());
    // ...and the endpoint still sends.
    LoopbackClient client;
    QVERIFY(endpoint.write(QHostAddress::LocalHost, client.port(), "ok"));
    QCOMPARE(client.receive(), QByteArray("ok"));
}

void TestDatagramEndpoint::sharedPollerWakesEachEndpointForItsOwn()
{
    DatagramPoller poller;
    QVERIFY(poller.isValid());
    std::vector<std::unique_ptr<DatagramEndpoint>> endpoints;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < 3; ++i) {
        endpoints.push_back(std::make_unique<DatagramEndpoint>(64, &poller));
        QVERIFY(endpoints.back()->bind(0));
        readers.push_back(std::make_unique<Reader>(*endpoints.back()));
    }
    QCOMPARE(poller.size(), 3);
    LoopbackClient client;
    client.send(endpoints[0]->localPort(), "zero");
    client.send(endpoints[2]->localPort(), "two");
    // More than one wake-up's worth for one of them: the rest must follow without a new arrival.
    for (int i = 0; i < 600; ++i)
        client.send(endpoints[1]->localPort(), QByteArray::number(i));
    QVERIFY(readers[1]->waitFor(600, 5000));
    QVERIFY(readers[0]->waitFor(1));
    QVERIFY(readers[2]->waitFor(1));
    QCOMPARE(readers[0]->payloads, (QList<QByteArray>{"zero"}));
    QCOMPARE(readers[2]->payloads, (QList<QByteArray>{"two"}));
    QCOMPARE(readers[1]->payloads.last(), QByteArray("599"));

    // A re-bound endpoint is woken on its new port only, through the same poller.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
    const quint16 fresh = probe.localPort();
    probe.close();
    const quint16 old = endpoints[0]->localPort();
    QVERIFY(endpoints[0]->bind(fresh));
    QCOMPARE(poller.size(), 3);
    client.send(old, "old");
    client.send(fresh, "new");
    QVERIFY(readers[0]->waitFor(2));
    QTest::qWait(50);
    QCOMPARE(readers[0]->payloads, (QList<QByteArray>{"zero", "new"}));
}

void TestDatagramEndpoint::sharedPollerSkipsAnEndpointClosedInTheSameWakeUp()
{
    // Both endpoints are ready in one wake-up; whichever is handled first destroys the other,
    // which must then not be handed anything (under the sanitizers, a use after free fails).
    DatagramPoller poller;
    auto first = std::make_unique<DatagramEndpoint>(64, &poller);
    auto second = std::make_unique<DatagramEndpoint>(64, &poller);
    QVERIFY(first->bind(0));
    QVERIFY(second->bind(0));
    int delivered = 0;
    connect(first.get(), &DatagramEndpoint::datagramReceived, this, [&] {
        ++delivered;
        second.reset();
    });
    connect(second.get(), &DatagramEndpoint::datagramReceived, this, [&] {
        ++delivered;
        QMetaObject::invokeMethod(
            this, [&] { first.reset(); }, Qt::QueuedConnection);
        first->bind(0); // re-bound: the wake-up already fetched for its old socket is stale
    });
    LoopbackClient client;
    client.send(first->localPort(), "a");
    client.send(second->localPort(), "b");
    QTest::qWait(20); // both wait in their sockets before the event loop looks
    QVERIFY(QTest::qWaitFor([&] { return delivered > 0; }, 3000));
    QTest::qWait(50);
    QCOMPARE(delivered, 1);
    QVERIFY(poller.size() <= 1);
}

void TestDatagramEndpoint::endpointOutlivesItsPoller()
{
    auto poller = std::make_unique<DatagramPoller>();
    DatagramEndpoint endpoint(64, poller.get());
    QVERIFY(endpoint.bind(0));
    poller.reset();
    // Without its poller the endpoint is no longer woken, but it still reads when polled, sends,
    // and closes without reaching for the poller.
    Reader reader(endpoint);
    LoopbackClient client;
    client.send(endpoint.localPort(), "late");
    QTest::qWait(50);
    endpoint.poll();
    QCOMPARE(reader.payloads, (QList<QByteArray>{"late"}));
    QVERIFY(endpoint.write(QHostAddress::LocalHost, client.port(), "still"));
    QCOMPARE(client.receive(), QByteArray("still"));
    QVERIFY(endpoint.bind(0));
}

void TestDatagramEndpoint::endpointOnAllAddressesAnswersForOneOfThem()
{
    DatagramEndpoint endpoint(64);
    endpoint.setReceiveDestination(true);
    QVERIFY(endpoint.bind(0));
    QList<quint32> destinations;
    connect(&endpoint, &DatagramEndpoint::datagramReceived, this,
            [&](const Datagram& datagram) { destinations << datagram.destination; });
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    for (const char* to : {"127.0.0.7", "127.0.9.1", "127.255.255.255"})
        client.writeDatagram("X", QHostAddress(QLatin1String(to)), endpoint.localPort());
    QVERIFY(QTest::qWaitFor([&] { return destinations.size() == 3; }, 3000));
    QCOMPARE(destinations, (QList<quint32>{0x7F000007, 0x7F000901, 0x7FFFFFFF}));

    // The answer leaves from the address it was meant for, and from the endpoint's port.
    QVERIFY(endpoint.writeFrom(0x7F000901, QHostAddress(QHostAddress::LocalHost).toIPv4Address(),
                               client.localPort(), "from 127.0.9.1"));
    QVERIFY(client.waitForReadyRead(3000));
    const QNetworkDatagram answer = client.receiveDatagram();
    QCOMPARE(answer.data(), QByteArray("from 127.0.9.1"));
    QCOMPARE(answer.senderAddress(), QHostAddress(u"127.0.9.1"_s));
    QCOMPARE(answer.senderPort(), int(endpoint.localPort()));

    // Without asking, the destination stays unknown.
    DatagramEndpoint plain(64);
    QVERIFY(plain.bind(0));
    Reader reader(plain);
    quint32 destination = 1;
    connect(&plain, &DatagramEndpoint::datagramReceived, this,
            [&](const Datagram& datagram) { destination = datagram.destination; });
    client.writeDatagram("X", QHostAddress(u"127.0.0.7"_s), plain.localPort());
    QVERIFY(reader.waitFor(1));
    QCOMPARE(destination, 0u);
}

QTEST_GUILESS_MAIN(TestDatagramEndpoint)
#include "tst_datagramendpoint.moc"
