// Proxy units that must not turn on the simulator itself or be used to send elsewhere: a proxy
// whose real unit is an address every unit of the fleet answers does not ask itself round for
// ever, and a request longer than any a unit receives is not passed on. Uses the fleet's
// discovery port on all addresses and units on 127.0.12.x.
#include "fleet/unitfleet.h"
#include "log/trafficlogline.h"
#include "loopbackclient.h"
#include "unit/unitrelay.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {
const QHostAddress kProxy(u"127.0.12.1"_s);
const QHostAddress kSimulated(u"127.0.12.2"_s);
// Past the proxy's wait for its real unit's discovery reply (2 s), with room on a busy machine.
constexpr int kProxyQuestionMs = 6000;

struct Line {
    int unit;
    TrafficLogEntry::Kind kind;
    bool notSent;
    QString text;
};

// A fleet whose log is kept as lines, so that a test can look for what happened.
class LoggedFleet {
public:
    explicit LoggedFleet(const QList<FleetUnit>& units)
        : fleet(units, 11)
    {
        QObject::connect(&fleet, &UnitFleet::trafficLogged, [this](int unit, const TrafficLogEntry& entry) {
            lines.append({unit, entry.kind, bool(entry.notSent), trafficLogLine(entry)});
        });
        QObject::connect(&fleet, &UnitFleet::endpointStateChanged,
                         [this](int, bool listening, const QString& text) {
                             if (!listening)
                                 failures << text;
                         });
    }
    qsizetype count(TrafficLogEntry::Kind kind) const
    {
        return std::count_if(lines.cbegin(), lines.cend(),
                             [kind](const Line& line) { return line.kind == kind; });
    }
    bool says(const QString& text) const
    {
        return std::any_of(lines.cbegin(), lines.cend(),
                           [&](const Line& line) { return line.text.contains(text); });
    }

    UnitFleet fleet;
    QList<Line> lines;
    QStringList failures;
};
} // namespace

class TestProxySafety : public QObject {
    Q_OBJECT

private slots:
    void aProxyNeverAsksItselfRound_data();
    void aProxyNeverAsksItselfRound();
    void requestsLongerThanAUnitReceivesAreNotPassedOn();
};

void TestProxySafety::aProxyNeverAsksItselfRound_data()
{
    QTest::addColumn<QString>("real");
    // Addresses of this machine that no unit has: a request there from this machine is answered
    // by every unit of the fleet, the proxy among them.
    QTest::newRow("this machine's loopback") << u"127.0.0.1"_s;
    QTest::newRow("an unused loopback address") << u"127.1.2.3"_s;
}

void TestProxySafety::aProxyNeverAsksItselfRound()
{
    QFETCH(QString, real);
    LoggedFleet logged({{kProxy, 0, QHostAddress(real), false}, {kSimulated, 2}});
    logged.fleet.start();
    QVERIFY2(logged.failures.isEmpty(), qPrintable(logged.failures.join(u'\n')));

    // The proxy asks what its real unit is and, with nobody there but the fleet, hears nothing.
    QVERIFY2(
        QTest::qWaitFor([&] { return logged.says(u"did not answer discovery within"_s); }, kProxyQuestionMs),
        qPrintable(u"%1 lines, %2 passed on"_s.arg(logged.lines.size())
                       .arg(logged.count(TrafficLogEntry::Kind::RelayOut))));
    UnitSimulator& proxy = logged.fleet.unit(0);
    // Its question (asked again while it waits) and nothing more: before, each answer it gave
    // itself was passed on from a new relay, thousands a second.
    QVERIFY2(logged.count(TrafficLogEntry::Kind::RelayOut) <= 10,
             qPrintable(QString::number(logged.count(TrafficLogEntry::Kind::RelayOut))));
    QCOMPARE(proxy.relay()->relayCount(), 1);
    QCOMPARE(logged.count(TrafficLogEntry::Kind::DiscoveryOutgoing), 0);
    QVERIFY(logged.fleet.unit(0).ignoredFromItself() > 0);

    // The fleet was never busy with itself: the other unit answers a controller at once.
    LoopbackClient client;
    QVERIFY(!client.requestTo(kSimulated, 4002, unitFrame(UnitCommand::StatusQuery)).isNull());
}

void TestProxySafety::requestsLongerThanAUnitReceivesAreNotPassedOn()
{
    // A proxy in front of a simulated unit of the same fleet: what it passes on shows in the
    // real unit's log.
    LoggedFleet logged({{kProxy, 0, kSimulated, true}, {kSimulated, 0}});
    logged.fleet.start();
    QVERIFY2(logged.failures.isEmpty(), qPrintable(logged.failures.join(u'\n')));

    QUdpSocket controller;
    QVERIFY(controller.bind(QHostAddress::LocalHost, 0));
    for (const qsizetype size :
         {UnitRelay::kMaxRequestSize, UnitRelay::kMaxRequestSize + 1, qsizetype(60000)}) {
        QByteArray request = unitFrame(UnitCommand::ChannelQuery);
        request.append(size - request.size(), 'x');
        QCOMPARE(controller.writeDatagram(request, kProxy, 4000), qint64(size));
    }
    // The longest a unit receives reaches the real unit and is answered through the proxy.
    QVERIFY(QTest::qWaitFor([&] { return controller.hasPendingDatagrams(); }, 5000));
    QCOMPARE(controller.receiveDatagram().senderAddress(), kProxy);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::count_if(logged.lines.cbegin(), logged.lines.cend(), [](const Line& line) {
                       return line.kind == TrafficLogEntry::Kind::RelayOut && line.notSent;
                   }) == 2;
        },
        5000));
    QVERIFY(logged.says(u"longer than any datagram a unit receives (1472 bytes at most); not passed on"_s));
    const auto heardByReal = std::count_if(logged.lines.cbegin(), logged.lines.cend(), [](const Line& line) {
        return line.unit == 1 && line.kind == TrafficLogEntry::Kind::UnitIncoming;
    });
    QCOMPARE(heardByReal, 1);
}

QTEST_GUILESS_MAIN(TestProxySafety)
#include "tst_proxysafety.moc"
