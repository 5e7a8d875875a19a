// Odd traffic on the wire: every length, random content, senders that vanish. Uses the
// product's fixed ports (4000 and 65535): fails with a clear message when they are taken.
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "unit/unitsimulator.h"

#include <QRandomGenerator>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestRobustness : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void datagramsOfEveryLengthOnBothPorts();
    void senderGoneBeforeTheReply();

private:
    std::unique_ptr<UnitSimulator> m_unit;
    std::unique_ptr<TrafficLogModel> m_log;
    int m_incomingUnitLines = 0;
};

void TestRobustness::init()
{
    m_unit = std::make_unique<UnitSimulator>();
    m_log = std::make_unique<TrafficLogModel>();
    m_incomingUnitLines = 0;
    connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    connect(m_unit.get(), &UnitSimulator::trafficLogged, this, [this](const TrafficLogEntry& entry) {
        m_incomingUnitLines += entry.kind == TrafficLogEntry::Kind::UnitIncoming;
    });
    m_unit->start(0);
    QVERIFY2(m_unit->unitEndpoint().isBound(), qPrintable(m_unit->unitEndpointState()));
    QVERIFY2(m_unit->discoveryEndpoint().isBound(), qPrintable(m_unit->discoveryEndpointState()));
}

void TestRobustness::cleanup()
{
    m_unit.reset();
    m_log.reset();
}

void TestRobustness::datagramsOfEveryLengthOnBothPorts()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    QList<int> lengths;
    for (int n = 0; n <= 64; ++n)
        lengths << n;
    lengths << 1500 << 9000 << 65507;

    LoopbackClient client;
    QList<int> expected = QList<int>(12, 125) + QList<int>(12, 0); // channels 2 to 25
    int sentToUnit = 0;
    for (int round = 0; round < 3; ++round) {
        for (int length : lengths) {
            QByteArray payload(length, Qt::Uninitialized);
            for (char& c : payload)
                c = char(random.bounded(256));
            // Make a good share of the long ones set-channels frames, so the state moves.
            if (length >= 29 && random.bounded(2) == 0)
                payload[1] = 0;
            if (length >= 29 && payload[1] == 0)
                expected = bytesOf(payload.mid(2, 24));
            client.send(4000, payload);
            client.send(kDiscoveryPort, payload);
            ++sentToUnit;
            if (sentToUnit % 16 == 0)
                QTest::qWait(5); // paced: the point is odd content, not a flood
        }
    }
    // Every unit datagram got its incoming line, whatever it held.
    QVERIFY2(QTest::qWaitFor([&] { return m_incomingUnitLines == sentToUnit; }, 10000),
             qPrintable(u"incoming lines %1 of %2"_s.arg(m_incomingUnitLines).arg(sentToUnit)));
    while (!client.receive(200).isNull()) {
    } // replies to the random queries

    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))),
             (QList<int>{254, 50} + expected + QList<int>{0, 0, 255}));
    QCOMPARE(client.request(kDiscoveryPort, "X"), QByteArray(identityForProfile(0).data(), 50));
}

void TestRobustness::senderGoneBeforeTheReply()
{
    // Each reply meets a closed port and comes back as "port unreachable".
    for (int i = 0; i < 20; ++i) {
        auto gone = std::make_unique<LoopbackClient>();
        gone->send(4000, unitFrame(i % 2 ? 50 : 51));
        gone->send(kDiscoveryPort, "X");
        gone.reset();
        QTest::qWait(2);
    }
    QTest::qWait(100);
    LoopbackClient other;
    QCOMPARE(other.request(4000, unitFrame(50)).size(), 29);
    QCOMPARE(other.request(kDiscoveryPort, "X").size(), 50);
    QCOMPARE(other.request(4000, unitFrame(51)).size(), 29);
}

QTEST_GUILESS_MAIN(TestRobustness)
#include "tst_robustness.moc"
