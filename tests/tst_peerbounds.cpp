// A flood of malformed datagrams from more senders than the peer table holds: the no_malformed
// check stays as bounded as the table, counts what the table merged into "other" as "other", and
// so finds nothing the log does not show. Uses a fleet unit on 127.0.12.20 and port 65535 of all
// addresses.
#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "verify/expectationmonitor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

class TestPeerBounds : public QObject {
    Q_OBJECT

private slots:
    void malformedFromBeyondThePeerTableIsAllInTheLog();
};

void TestPeerBounds::malformedFromBeyondThePeerTableIsAllInTheLog()
{
    const QHostAddress unit(u"127.0.12.20"_s);
    ScenarioSession session(3);
    TrafficLogModel log;
    connect(&session, &ScenarioSession::trafficLogged, &log, &TrafficLogModel::appendFrom);
    QString error;
    QVERIFY2(session.startUnits({{unit, 0}}, 0, {}, &error), qPrintable(error));
    log.setUnitAddresses(session.unitAddresses());

    ExpectationMonitor monitor(log, &session);
    Scenario scenario;
    const std::optional<ExpectationDefinition> none =
        ExpectationDefinition::fromJson(u"clean"_s, u"no_malformed"_s, QJsonValue(), &error);
    QVERIFY2(none, qPrintable(error));
    scenario.expect = {*none};
    monitor.judge(scenario);
    log.append(TrafficLogEntry::event(u"started"_s, TrafficLogEntry::EventMark::ScenarioStarted));

    // A short frame from each of more ports than the table has room for.
    constexpr int kSenders = int(PeerTable::kMaxPeers) + 300;
    int heard = 0;
    connect(&session, &ScenarioSession::trafficLogged, this, [&heard](int, const TrafficLogEntry& entry) {
        heard += entry.kind == TrafficLogEntry::Kind::UnitIncoming;
    });
    // Ports of their own, below the ephemeral range: a port the system hands out again would be
    // the same peer.
    int sent = 0;
    for (quint16 port = 10000; sent < kSenders && port < 30000; ++port) {
        QUdpSocket sender;
        if (!sender.bind(QHostAddress::LocalHost, port))
            continue; // taken by another program
        QCOMPARE(sender.writeDatagram(QByteArray(5, '\0'), unit, 4000), qint64(5));
        if (++sent % 500 == 0) // room for the unit to read them as they come
            QVERIFY(QTest::qWaitFor([&] { return heard == sent; }, 5000));
    }
    QCOMPARE(sent, kSenders);
    QVERIFY(QTest::qWaitFor([&] { return heard == kSenders; }, 5000));
    QCOMPARE(session.peers().size(), PeerTable::kMaxPeers + 1); // "other" holds the rest
    monitor.update();
    monitor.finish();

    const ExpectationResult& result = monitor.results().first();
    QCOMPARE(result.failureCount, quint64(kSenders)); // each short frame, once
    for (const ExpectationFailure& failure : result.failures)
        QVERIFY2(!failure.message.contains(u"the log does not show"_s), qPrintable(failure.message));
    QCOMPARE(result.note, u"%1 malformed in the log, 0 more counted by peer"_s.arg(kSenders));
}

QTEST_GUILESS_MAIN(TestPeerBounds)
#include "tst_peerbounds.moc"
