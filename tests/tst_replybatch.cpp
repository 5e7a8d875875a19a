// Replies to the datagrams of one receive leave together: in order, a failure in its place, and
// a burst to one controller as separate datagrams. Uses the product's fixed ports (4000, 65535).
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "spoofedsender.h"
#include "unit/unitsimulator.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestReplyBatch : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void aBurstLeavesInOrderWithItsFailureInPlace();
    void aBurstFromOneControllerArrivesAsSeparateDatagrams();

private:
    std::unique_ptr<UnitSimulator> m_unit;
    std::unique_ptr<TrafficLogModel> m_log;
};

void TestReplyBatch::init()
{
    m_unit = std::make_unique<UnitSimulator>();
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    m_unit->start(0);
    if (!m_unit->unitEndpoint().isBound())
        QFAIL(qPrintable(u"port 4000 is needed by this test: "_s + m_unit->unitEndpointState()));
}

void TestReplyBatch::cleanup()
{
    m_unit.reset();
    m_log.reset();
}

void TestReplyBatch::aBurstLeavesInOrderWithItsFailureInPlace()
{
    // Three requests waiting at once are read and answered together; the one whose reply cannot
    // leave (to port 0) fails alone, and the log keeps each reply after its request.
    if (!canSpoof())
        QSKIP("needs a raw socket (root)");
    QUdpSocket a;
    QUdpSocket b;
    QVERIFY(a.bind(QHostAddress::LocalHost, 0));
    QVERIFY(b.bind(QHostAddress::LocalHost, 0));
    constexpr quint32 kLoopback = 0x7f000001;
    QVERIFY(sendSpoofedUdp(kLoopback, a.localPort(), kLoopback, 4000, unitFrame(50)));
    QVERIFY(sendSpoofedUdp(kLoopback, 0, kLoopback, 4000, unitFrame(50)));
    QVERIFY(sendSpoofedUdp(kLoopback, b.localPort(), kLoopback, 4000, unitFrame(51)));
    QVERIFY(QTest::qWaitFor([&] { return m_log->rowCount() == 6; }, 3000));
    QVERIFY(a.waitForReadyRead(3000));
    QCOMPARE(quint8(a.receiveDatagram().data().at(1)), quint8(50));
    QVERIFY(b.hasPendingDatagrams() || b.waitForReadyRead(3000));
    QCOMPARE(quint8(b.receiveDatagram().data().at(1)), quint8(51));
    const QString ports[] = {QString::number(a.localPort()), u"0"_s, QString::number(b.localPort())};
    for (int k = 0; k < 3; ++k) {
        const QString heard = m_log->lineAt(5 - 2 * k);
        const QString reply = m_log->lineAt(4 - 2 * k);
        QVERIFY2(heard.startsWith(u"--> 127.0.0.1:4000 - "_s), qPrintable(heard));
        QVERIFY2(reply.startsWith((k == 1 ? u"<-X 127.0.0.1:"_s : u"<-- 127.0.0.1:"_s) + ports[k] + u' '),
                 qPrintable(reply));
    }
    QVERIFY2(m_log->lineAt(2).endsWith(u" (not sent: Invalid argument)"_s), qPrintable(m_log->lineAt(2)));
    QCOMPARE(m_unit->repliesNotSent(), quint64(1));
}

void TestReplyBatch::aBurstFromOneControllerArrivesAsSeparateDatagrams()
{
    // Sent while the unit is not reading: it reads them in batches, and the replies to one
    // controller leave together. The controller still gets a 29-byte datagram a reply, in order.
    constexpr int kPairs = 60;
    LoopbackClient client;
    for (int k = 1; k <= kPairs; ++k) {
        client.send(4000, unitFrame(0, QList<int>{k}));
        client.send(4000, unitFrame(50));
    }
    for (int k = 1; k <= kPairs; ++k) {
        const QByteArray reply = client.receive();
        QCOMPARE(reply.size(), 29);
        QCOMPARE(int(quint8(reply.at(2))), k);
    }
    QVERIFY(client.staysQuiet(100));
    QCOMPARE(m_log->rowCount(), 3 * kPairs);
    QVERIFY(m_log->lineAt(0).startsWith(u"<-- 127.0.0.1:"_s + QString::number(client.port()) +
                                        u" -254 50 60 "_s));
}

QTEST_GUILESS_MAIN(TestReplyBatch)
#include "tst_replybatch.moc"
