// The control API through a real HTTP client against the real server, over the real unit.
// Uses the product's fixed ports (4000-4007 and 65535): fails with a clear message when another
// program holds them.
#include "control/controlserver.h"
#include "httpclient.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "recordingsupport.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QUrl>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestControl : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void units();
    void unitsComeAPageAtATime();
    void profileRebindsTheUnitPort();
    void channelsSetTheStateWithoutALogLine();
    void logPagesWithoutGapsOrRepeats();
    void logClearKeepsSequenceNumbers();
    void faultsAddListRemove();
    void networkFaultCountsAndRulesThatWearOff();
    void peersSayWhoSentWhat();
    void verifyOverALongLogLetsTheUnitAnswer();
    void metricsCount();
    void healthSaysWhatIsNotReady();
    void badRequests_data();
    void badRequests();
    void methodNotAllowedNamesTheAllowedOnes();
    void tokenIsRequiredWhenSet();
    void openApiDescribesExactlyTheRoutes();
    void unitKeepsWorkingWhateverIsSent();
    void faultRulesAreCapped();
    void recordedAndProxyUnitsSayWhatTheyAre();

private:
    void startServer(const QByteArray& token = {});

    std::unique_ptr<ScenarioSession> m_session;
    UnitSimulator* m_unit = nullptr;
    std::unique_ptr<TrafficLogModel> m_log;
    std::unique_ptr<ControlServer> m_server;
    std::unique_ptr<HttpClient> m_http;
};

void TestControl::init()
{
    m_session = std::make_unique<ScenarioSession>(99);
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_session.get(), &ScenarioSession::trafficLogged, m_log.get(), &TrafficLogModel::appendFrom);
    QString error;
    QVERIFY2(m_session->startUnits({}, 0, {}, &error), qPrintable(error));
    m_unit = m_session->units().first();
    QVERIFY2(m_unit->unitEndpoint().isBound(), qPrintable(m_unit->unitEndpointState()));
    QVERIFY2(m_unit->discoveryEndpoint().isBound(), qPrintable(m_unit->discoveryEndpointState()));
    startServer();
}

void TestControl::startServer(const QByteArray& token)
{
    m_http.reset();
    m_server = std::make_unique<ControlServer>(*m_session, *m_log, token);
    QString error;
    QVERIFY2(m_server->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    QVERIFY(m_server->url().startsWith(u"http://127.0.0.1:"_s));
    m_http = std::make_unique<HttpClient>(m_server->url(), token);
}

void TestControl::cleanup()
{
    m_http.reset();
    m_server.reset();
    m_session.reset();
    m_log.reset();
}

void TestControl::healthSaysWhatIsNotReady()
{
    const auto health = [this](int status) {
        const HttpClient::Answer answer = m_http->get(u"/api/v1/health"_s);
        [&] { QCOMPARE(answer.status, status); }();
        return answer.json().object();
    };
    QCOMPARE(health(200), (QJsonObject{{u"ready"_s, true}, {u"units"_s, 1}, {u"listening"_s, 1}}));

    // Another program holds the unit port of the profile chosen next.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, unitPortForProfile(5), QUdpSocket::DontShareAddress));
    m_http->put(u"/api/v1/units/0/profile"_s, R"({"profile": 5})");
    QJsonObject notReady = health(503);
    QCOMPARE(notReady[u"ready"_s], false);
    QCOMPARE(notReady[u"listening"_s], 0);
    QCOMPARE(notReady[u"reason"_s], u"1 of 1 units not listening"_s);
    const QJsonArray missing = notReady[u"notBound"_s].toArray();
    QCOMPARE(missing.size(), 1);
    QCOMPARE(missing[0][u"unit"_s], 0);
    QCOMPARE(missing[0][u"address"_s], QJsonValue());
    QCOMPARE(missing[0][u"endpoint"_s], u"unit"_s);
    QCOMPARE(missing[0][u"port"_s], 4005);
    QVERIFY2(missing[0][u"reason"_s].toString().contains(u"in use"_s),
             qPrintable(missing[0][u"reason"_s].toString()));
    holder.close();
    m_http->put(u"/api/v1/units/0/profile"_s, R"({"profile": 5})");
    health(200);

    // A scenario counts once it plays, and while it plays.
    QCOMPARE(m_http
                 ->put(u"/api/v1/scenario"_s,
                       R"({"version": 1, "units": [{"count": 2, "first": "127.0.5.1"}], "end": "1m"})")
                 .status,
             200);
    QCOMPARE(health(200)[u"scenario"_s], u"running"_s);
    m_http->post(u"/api/v1/scenario/stop"_s, {});
    notReady = health(503);
    QCOMPARE(notReady[u"reason"_s], u"the scenario is stopped"_s);
    QCOMPARE(notReady[u"units"_s], 2);
    QCOMPARE(notReady[u"listening"_s], 2);
    QVERIFY(!notReady.contains(u"notBound"_s));
    m_http->post(u"/api/v1/scenario/start"_s, {});
    health(200);
}

void TestControl::recordedAndProxyUnitsSayWhatTheyAre()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString recording = dir.filePath(u"firmware.pcap"_s);
    using namespace recordingsupport;
    QVERIFY(writeRecording(recording, probe(kFirmware, 4003, firmwareReplies())));
    const QJsonObject scenario{
        {u"version"_s, 1},
        {u"units"_s,
         QJsonArray{QJsonObject{{u"address"_s, u"127.0.5.1"_s}, {u"recording"_s, recording}},
                    QJsonObject{
                        {u"address"_s, u"127.0.5.2"_s}, {u"proxy"_s, u"127.0.5.200"_s}, {u"profile"_s, 2}}}}};
    // A proxy sends on what reaches it: the API makes one only when the simulator was told it may.
    const HttpClient::Answer withoutLeave =
        m_http->put(u"/api/v1/scenario"_s, QJsonDocument(scenario).toJson());
    QCOMPARE(withoutLeave.status, 403);
    QVERIFY2(withoutLeave.body.contains("--allow-api-proxies"), withoutLeave.body.constData());
    QCOMPARE(m_http->get(u"/api/v1/units"_s).json().array().size(), 1);
    m_server->setProxiesAllowed(true);
    QCOMPARE(m_http->put(u"/api/v1/scenario"_s, QJsonDocument(scenario).toJson()).status, 200);
    const HttpClient::Answer list = m_http->get(u"/api/v1/units"_s);
    const QJsonArray units = list.json().array();
    QCOMPARE(units.size(), 2);
    // The list is written directly, each unit byte for byte as the unit's own answer has it.
    const QJsonArray one{m_http->get(u"/api/v1/units/0"_s).json().object(),
                         m_http->get(u"/api/v1/units/1"_s).json().object()};
    QCOMPARE(list.body, QJsonDocument(one).toJson(QJsonDocument::Compact));
    QCOMPARE(units[0][u"identity"_s].toString(), QString::fromLatin1(kFirmware));
    QCOMPARE(units[0][u"recording"_s].toString(), recording);
    QCOMPARE(units[0][u"unit_port"_s].toInt(), 4003);
    QVERIFY(!units[0].toObject().contains(u"proxy"_s));
    QCOMPARE(units[1][u"proxy"_s].toString(), u"127.0.5.200"_s);
    QCOMPARE(units[1][u"identity"_s].toString(), QString::fromLatin1(identityOf(2)));
    QVERIFY(!units[1].toObject().contains(u"recording"_s));

    // A recording that is not there is refused with where it was looked for, and nothing changes.
    const HttpClient::Answer refused = m_http->put(
        u"/api/v1/scenario"_s,
        R"({"version": 1, "units": [{"address": "127.0.5.1", "recording": "/nonexistent/x.pcap"}]})");
    QCOMPARE(refused.status, 400);
    QVERIFY2(refused.json()[u"error"_s].toString().contains(
                 u"units[0].recording: /nonexistent/x.pcap: no such file"_s),
             refused.body.constData());
    QCOMPARE(m_http->get(u"/api/v1/units"_s).json().array().size(), 2);
}

void TestControl::unitsComeAPageAtATime()
{
    const QByteArray fleet = R"({"version": 1, "units": [{"count": 5, "first": "127.0.5.1"}]})";
    QCOMPARE(m_http->put(u"/api/v1/scenario"_s, fleet).status, 200);
    QList<int> ids;
    QString next = u"/api/v1/units?limit=2"_s;
    for (int page = 0; page < 5 && !next.isEmpty(); ++page) {
        const HttpClient::Answer answer = m_http->get(next);
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.header("X-Total-Count"), QByteArray("5"));
        for (const QJsonValue unit : answer.json().array())
            ids << unit[u"id"_s].toInt();
        const QByteArray link = answer.header("Link");
        next = link.isEmpty() ? QString() : QString::fromLatin1(link.mid(1, link.indexOf('>') - 1));
    }
    QCOMPARE(ids, (QList<int>{0, 1, 2, 3, 4}));
    QVERIFY(m_http->get(u"/api/v1/units?from=7"_s).json().array().isEmpty());
    for (const QString& bad : {u"limit=0"_s, u"limit=201"_s, u"from=-1"_s, u"from=x"_s})
        QCOMPARE(m_http->get(u"/api/v1/units?"_s + bad).status, 400);
}

void TestControl::units()
{
    const HttpClient::Answer list = m_http->get(u"/api/v1/units"_s);
    QCOMPARE(list.status, 200);
    QCOMPARE(list.contentType, QByteArray("application/json"));
    const QJsonArray units = list.json().array();
    QCOMPARE(units.size(), 1);
    const QJsonObject unit = units[0].toObject();
    QCOMPARE(unit[u"id"_s].toInt(), 0);
    QCOMPARE(unit[u"profile"_s].toInt(), 0);
    QCOMPARE(unit[u"label"_s].toString(), u"LED driver @ port:4000"_s);
    QCOMPARE(unit[u"identity"_s].toString(), u"ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*"_s);
    QCOMPARE(unit[u"unit_port"_s].toInt(), 4000); // the earlier name, kept for a release
    QCOMPARE(unit[u"unitPort"_s].toInt(), 4000);
    QCOMPARE(unit[u"discoveryPort"_s].toInt(), 65535);
    QCOMPARE(unit[u"discovery_port"_s].toInt(), 65535);
    // On every address of the machine, so no one address; the addresses it answers on.
    QVERIFY(unit[u"address"_s].isNull());
    const QJsonArray addresses = unit[u"addresses"_s].toArray();
    QVERIFY(addresses.contains(u"127.0.0.1"_s));
    for (const QJsonValue address : addresses)
        QVERIFY2(address.toString() != u"0.0.0.0"_s && !QHostAddress(address.toString()).isNull(),
                 qPrintable(address.toString()));
    QCOMPARE(unit[u"listening"_s].toObject(), (QJsonObject{{u"unit"_s, true}, {u"discovery"_s, true}}));
    QJsonArray start;
    for (int n = 2; n <= 25; ++n)
        start.append(n <= 13 ? 125 : 0);
    QCOMPARE(unit[u"channels"_s].toArray(), start);
    QCOMPARE(m_http->get(u"/api/v1/units/0"_s).json().object(), unit);
    QCOMPARE(m_http->get(u"/api/v1/units/1"_s).status, 404);
}

void TestControl::profileRebindsTheUnitPort()
{
    const HttpClient::Answer answer = m_http->put(u"/api/v1/units/0/profile"_s, R"({"profile": 6})");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json()[u"unit_port"_s].toInt(), 4005);
    QCOMPARE(answer.json()[u"identity"_s].toString().left(18), u"ALED.SIM.ULA.TOR.5"_s);
    LoopbackClient client;
    QCOMPARE(bytesOf(client.request(4005, unitFrame(51))).value(14), 12);
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(150));
}

void TestControl::channelsSetTheStateWithoutALogLine()
{
    QJsonArray values;
    for (int n = 0; n < 24; ++n)
        values.append(n * 10);
    const HttpClient::Answer answer = m_http->put(
        u"/api/v1/units/0/channels"_s, QJsonDocument(QJsonObject{{u"channels"_s, values}}).toJson());
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json()[u"channels"_s].toArray(), values);
    QCOMPARE(m_log->lineCount(), 0);
    LoopbackClient client;
    QList<int> expected;
    for (const QJsonValue& value : values)
        expected << value.toInt();
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))).mid(2, 24), expected);
}

void TestControl::logPagesWithoutGapsOrRepeats()
{
    LoopbackClient client;
    for (int i = 0; i < 7; ++i)
        QCOMPARE(client.request(4000, unitFrame(50)).size(), 29); // 14 lines
    client.send(4000, unitFrame(0, repeated(1, 24)));             // 15
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);     // 17
    QVERIFY(QTest::qWaitFor([&] { return m_log->lineCount() == 17; }, 2000));

    QList<qint64> seqs;
    QStringList texts;
    qint64 since = 0;
    for (int page = 0; page < 10; ++page) {
        const QJsonObject answer = m_http->get(u"/api/v1/log?since=%1&limit=4"_s.arg(since)).json().object();
        const QJsonArray entries = answer[u"entries"_s].toArray();
        for (const QJsonValue& value : entries) {
            seqs << value[u"seq"_s].toInteger();
            texts << value[u"text"_s].toString();
        }
        since = answer[u"next"_s].toInteger();
        if (entries.isEmpty())
            break;
    }
    QCOMPARE(seqs.size(), 17);
    for (int i = 0; i < 17; ++i)
        QCOMPARE(seqs[i], i);
    for (int i = 0; i < 17; ++i)
        QCOMPARE(texts[i], m_log->lineAt(16 - i)); // exactly the window's line, oldest first
    QCOMPARE(since, 17);

    // The last lines alone, and never before `since`.
    const auto seqsOf = [this](const QString& query) {
        QList<qint64> out;
        for (const QJsonValue& value : m_http->get(u"/api/v1/log?"_s + query).json()[u"entries"_s].toArray())
            out << value[u"seq"_s].toInteger();
        return out;
    };
    QCOMPARE(seqsOf(u"tail=3"_s), (QList<qint64>{14, 15, 16}));
    QCOMPARE(seqsOf(u"tail=3&since=16"_s), QList<qint64>{16});
    QCOMPARE(seqsOf(u"tail=100"_s).size(), 17);
    QCOMPARE(m_http->get(u"/api/v1/log?tail=0"_s).status, 400);

    const QJsonArray last = m_http->get(u"/api/v1/log?since=15"_s).json()[u"entries"_s].toArray();
    const QJsonObject in = last[0].toObject();
    QCOMPARE(in[u"direction"_s].toString(), u"in"_s);
    // The port as a number and its role, as unitctl --json names them; what the datagram is.
    QCOMPARE(in[u"port"_s].toInt(), 65535);
    QCOMPARE(in[u"endpoint"_s].toString(), u"discovery"_s);
    QCOMPARE(in[u"command"_s].toString(), u"discovery"_s);
    // The single unit answers on every address: it has no one address.
    QVERIFY(in[u"address"_s].isNull());
    QCOMPARE(in[u"remote"_s].toString(), u"127.0.0.1:"_s + QString::number(client.port()));
    QCOMPARE(in[u"bytes"_s].toArray(), QJsonArray{88});
    QVERIFY(QRegularExpression(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z$"_s)
                .match(in[u"time"_s].toString())
                .hasMatch());
    QCOMPARE(last[1].toObject()[u"bytes"_s].toArray().size(), 50);
    QCOMPARE(last[1].toObject()[u"direction"_s].toString(), u"out"_s);
}

void TestControl::logClearKeepsSequenceNumbers()
{
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QVERIFY(QTest::qWaitFor([&] { return m_log->lineCount() == 2; }, 2000));
    const HttpClient::Answer cleared = m_http->remove(u"/api/v1/log"_s);
    QCOMPARE(cleared.status, 204);
    // No content, so no content type either.
    QVERIFY2(cleared.contentType.isEmpty(), cleared.contentType.constData());
    QVERIFY(cleared.body.isEmpty());
    QCOMPARE(m_log->lineCount(), 0);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QVERIFY(QTest::qWaitFor([&] { return m_log->lineCount() == 2; }, 2000));
    const QJsonObject answer = m_http->get(u"/api/v1/log?since=0"_s).json().object();
    QCOMPARE(answer[u"first"_s].toInteger(), 2);
    QCOMPARE(answer[u"entries"_s].toArray()[0][u"seq"_s].toInteger(), 2);
    QCOMPARE(answer[u"next"_s].toInteger(), 4);
}

void TestControl::faultsAddListRemove()
{
    HttpClient::Answer added =
        m_http->post(u"/api/v1/faults"_s, R"({"rule": "drop,on=channel-query,every=2"})");
    QCOMPARE(added.status, 201);
    const int id = added.json()[u"id"_s].toInt();
    QCOMPARE(added.json()[u"rule"_s].toString(), u"drop,on=channel-query,every=2"_s);
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(150));
    const QJsonObject listed = m_http->get(u"/api/v1/faults"_s).json().array()[0].toObject();
    QCOMPARE(listed[u"matched"_s].toInt(), 2);
    QCOMPARE(listed[u"fired"_s].toInt(), 1);

    QCOMPARE(m_http->post(u"/api/v1/faults"_s, R"({"rule": "duplicate"})").status, 201);
    QCOMPARE(m_unit->faults().rules().size(), 2);
    QCOMPARE(m_http->remove(u"/api/v1/faults/%1"_s.arg(id)).status, 204);
    QCOMPARE(m_http->remove(u"/api/v1/faults/%1"_s.arg(id)).status, 404);
    QCOMPARE(m_http->get(u"/api/v1/faults"_s).json().array().size(), 1);
    QCOMPARE(m_http->remove(u"/api/v1/faults"_s).status, 204);
    QVERIFY(m_unit->faults().rules().isEmpty());
}

void TestControl::networkFaultCountsAndRulesThatWearOff()
{
    const HttpClient::Answer times =
        m_http->post(u"/api/v1/faults"_s, R"({"rule": "drop,times=2,on=status-query"})");
    QCOMPARE(times.status, 201);
    QCOMPARE(times.json()[u"timesLeft"_s].toInt(), 2);
    const HttpClient::Answer timed =
        m_http->post(u"/api/v1/faults"_s, R"({"rule": "reorder=1,for=400ms,on=discovery"})");
    QCOMPARE(timed.status, 201);
    QVERIFY(timed.json()[u"msLeft"_s].toInt() > 0 && timed.json()[u"msLeft"_s].toInt() <= 400);
    QCOMPARE(timed.json()[u"overflowed"_s].toInt(), 0);
    const HttpClient::Answer loss =
        m_http->post(u"/api/v1/faults"_s, R"({"rule": "loss=gilbert:0.3,0.5,on=channel-query"})");
    QCOMPARE(loss.status, 201);
    QCOMPARE(
        m_http->post(u"/api/v1/faults"_s, R"({"rule": "loss=gilbert:0.3,0"})").json()[u"error"_s].toString(),
        u"loss=gilbert: R (bad to good) must be above 0, or a burst never ends"_s);

    LoopbackClient client;
    for (int i = 0; i < 40; ++i)
        client.send(4000, unitFrame(50));
    client.send(4000, unitFrame(51));
    client.send(4000, unitFrame(51));
    QVERIFY(QTest::qWaitFor([&] { return m_unit->requestCount() == 42; }, 2000));
    QCOMPARE(client.request(4000, unitFrame(51)).size(), 29); // the third status-query: the rule is spent
    QTRY_COMPARE_WITH_TIMEOUT(m_http->get(u"/api/v1/faults"_s).json().array().size(), 2, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(m_http->get(u"/api/v1/faults"_s).json().array().size(), 1, 3000);

    const QJsonObject left = m_http->get(u"/api/v1/faults"_s).json().array()[0].toObject();
    QCOMPARE(left[u"rule"_s].toString(), u"loss=gilbert:0.3,0.5,on=channel-query"_s);
    QCOMPARE(left[u"matched"_s].toInt(), 40);
    QVERIFY(left[u"fired"_s].toInt() > 0 && left[u"bursts"_s].toInt() > 0);
    const QString metrics = QString::fromUtf8(m_http->get(u"/metrics"_s).body);
    const QString label =
        u"{id=\"%1\",rule=\"loss=gilbert:0.3,0.5,on=channel-query\"}"_s.arg(left[u"id"_s].toInt());
    for (const QString& line :
         {u"unitsim_fault_actions_total"_s + label + u' ' + QString::number(left[u"fired"_s].toInt()),
          u"unitsim_fault_matched_total"_s + label + u" 40"_s,
          u"unitsim_fault_bursts_total"_s + label + u' ' + QString::number(left[u"bursts"_s].toInt())})
        QVERIFY2(metrics.contains(line + u'\n'), qPrintable(line + u"\n---\n"_s + metrics));

    // Each removal said in the log, once.
    QStringList removals;
    for (int row = 0; row < m_log->rowCount(); ++row) {
        if (m_log->lineAt(row).contains(u", removed ("_s))
            removals.prepend(m_log->lineAt(row));
    }
    QCOMPARE(removals,
             (QStringList{
                 u"!!! fault drop,times=2,on=status-query: acted 2 times, removed (matched 2, acted 2)"_s,
                 u"!!! fault reorder=1,for=400ms,on=discovery: 400ms over, removed (matched 0, acted 0)"_s}));
}

void TestControl::peersSayWhoSentWhat()
{
    LoopbackClient a;
    LoopbackClient b;
    a.send(4000, unitFrame(0, {9}));
    QCOMPARE(a.request(4000, unitFrame(50)).size(), 29);
    // A frame longer than 29 bytes is answered as its first 29, and counted as malformed.
    QCOMPARE(a.request(4000, unitFrame(50, {}, 30)).size(), 29);
    QCOMPARE(a.request(4000, unitFrame(51)).size(), 29);
    a.send(4000, unitFrame(50, {}, 10)); // too short
    a.send(4000, unitFrame(7));          // no such command
    a.send(kDiscoveryPort, "Y");         // no discovery request
    QCOMPARE(a.request(kDiscoveryPort, "X").size(), 50);
    QCOMPARE(b.request(4000, unitFrame(50)).size(), 29);

    const QString nameA = u"127.0.0.1:"_s + QString::number(a.port());
    const QString nameB = u"127.0.0.1:"_s + QString::number(b.port());
    QJsonArray peers;
    QVERIFY(QTest::qWaitFor(
        [&] {
            peers = m_http->get(u"/api/v1/peers"_s).json().array();
            return peers.size() == 2 && peers[0][u"malformed"_s][u"discovery"_s].toInt() == 1;
        },
        2000));
    const QJsonObject first = peers[0].toObject();
    QCOMPARE(first[u"peer"_s].toString(), nameA);
    QCOMPARE(first[u"address"_s].toString(), u"127.0.0.1"_s);
    QCOMPARE(first[u"port"_s].toInt(), a.port());
    QCOMPARE(
        first[u"requests"_s].toObject(),
        (QJsonObject{
            {u"set-channels"_s, 1}, {u"channel-query"_s, 1}, {u"status-query"_s, 1}, {u"discovery"_s, 1}}));
    QCOMPARE(first[u"malformed"_s].toObject(),
             (QJsonObject{{u"length"_s, 2}, {u"command"_s, 1}, {u"discovery"_s, 1}}));
    QCOMPARE(first[u"maxPerSecond"_s].toInt(), 8);
    QCOMPARE(first[u"units"_s].toString(), u"0"_s);
    QVERIFY(first[u"first"_s].toString() <= first[u"last"_s].toString());
    QCOMPARE(peers[1][u"peer"_s].toString(), nameB);
    QCOMPARE(peers[1][u"requests"_s][u"channel-query"_s].toInt(), 1);

    // The unit's own table: the same, without the units.
    QJsonObject own = m_http->get(u"/api/v1/units/0/peers"_s).json().array()[0].toObject();
    QVERIFY(own.contains(u"requests"_s) && !own.contains(u"units"_s));
    own.insert(u"units"_s, u"0"_s);
    QCOMPARE(own, first);
    QCOMPARE(m_http->get(u"/api/v1/units/3/peers"_s).status, 404);

    const QString metrics = QString::fromUtf8(m_http->get(u"/metrics"_s).body);
    for (const QString& line :
         {u"unitsim_peers 2"_s,
          u"unitsim_peer_requests_total{peer=\"%1\",command=\"set-channels\"} 1"_s.arg(nameA),
          u"unitsim_peer_requests_total{peer=\"%1\",command=\"channel-query\"} 1"_s.arg(nameB),
          u"unitsim_peer_malformed_total{peer=\"%1\",reason=\"length\"} 2"_s.arg(nameA),
          u"unitsim_peer_malformed_total{peer=\"%1\",reason=\"discovery\"} 1"_s.arg(nameA)})
        QVERIFY2(metrics.contains(line + u'\n'), qPrintable(line));
    QVERIFY(!metrics.contains(u"_total{peer=\"other\""_s)); // two peers: none beyond the labelled ones
}

void TestControl::verifyOverALongLogLetsTheUnitAnswer()
{
    // A long log (a million requests), and a verification of all of it: it is read a slice at a
    // time, and the unit answers a request sent meanwhile long before the verification is done.
    constexpr int kLines = 1'000'000;
    const QByteArray frame = unitFrame(50);
    for (int n = 0; n < kLines; ++n)
        m_log->append(TrafficLogEntry::unitIncoming(0x0a000001, 5000, 4000, frame, 0));
    QTcpSocket http;
    http.connectToHost(QHostAddress::LocalHost, quint16(QUrl(m_server->url()).port()));
    QVERIFY(http.waitForConnected(2000));
    const QByteArray body = R"({"command": "channel-query", "exactly": 1000000})";
    http.write("POST /api/v1/verify HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               "Content-Length: " +
               QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray answer;
    connect(&http, &QTcpSocket::readyRead, this, [&] { answer += http.readAll(); });
    QVERIFY(QTest::qWaitFor([&] { return answer.contains("\r\n\r\n"); }, 5000)); // the head: 200, chunked

    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(51)).size(), 29);
    QVERIFY2(!answer.endsWith("0\r\n\r\n"), "the verification ended before the unit could answer");

    QVERIFY(QTest::qWaitFor([&] { return answer.endsWith("0\r\n\r\n"); }, 60000));
    QVERIFY(answer.startsWith("HTTP/1.1 200 "));
    QVERIFY(answer.contains("Transfer-Encoding: chunked"));
    QVERIFY2(answer.contains(R"("count":1000000,)") && answer.contains(R"("matched":true)"),
             answer.right(300).constData());
}

void TestControl::metricsCount()
{
    m_http->post(u"/api/v1/faults"_s, R"({"rule": "drop,on=status-query"})");
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    client.send(4000, unitFrame(51));
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);
    client.send(4000, unitFrame(7, {}, 3));
    // A frame cut short is no channel-query, whatever its command byte says; a reply a fault
    // changed still answers a channel-query.
    client.send(4000, unitFrame(50, {}, 10));
    m_http->post(u"/api/v1/faults"_s, R"({"rule": "corrupt=29,on=channel-query"})");
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QVERIFY(QTest::qWaitFor([&] { return m_log->lineCount() == 13; }, 2000));
    const HttpClient::Answer answer = m_http->get(u"/metrics"_s);
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.contentType.startsWith("text/plain"));
    const QString text = QString::fromUtf8(answer.body);
    for (const QString& line :
         {u"unitsim_datagrams_received_total{port=\"unit\",command=\"channel-query\"} 3"_s,
          u"unitsim_datagrams_received_total{port=\"unit\",command=\"status-query\"} 1"_s,
          u"unitsim_datagrams_received_total{port=\"unit\",command=\"other\"} 2"_s,
          u"unitsim_datagrams_received_total{port=\"discovery\",command=\"discovery\"} 1"_s,
          u"unitsim_datagrams_sent_total{port=\"unit\",command=\"channel-query\"} 3"_s,
          u"unitsim_datagrams_sent_total{port=\"unit\",command=\"status-query\"} 0"_s,
          u"unitsim_datagrams_sent_total{port=\"discovery\",command=\"discovery\"} 1"_s,
          u"unitsim_replies_not_sent_total 0"_s,
          u"unitsim_fault_actions_total{id=\"1\",rule=\"drop,on=status-query\"} 1"_s,
          u"unitsim_discovery_requests_heard_total 1"_s, u"unitsim_log_rows 13"_s})
        QVERIFY2(text.contains(line + u'\n'), qPrintable(line + u"\n---\n"_s + text));
}

void TestControl::badRequests_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::addRow("not JSON") << QByteArray("PUT") << u"/api/v1/units/0/profile"_s
                              << QByteArray("{profile: 3") << 400 << u"bad JSON"_s;
    QTest::addRow("not an object") << QByteArray("PUT") << u"/api/v1/units/0/profile"_s << QByteArray("[3]")
                                   << 400 << u"JSON object"_s;
    QTest::addRow("profile 9") << QByteArray("PUT") << u"/api/v1/units/0/profile"_s
                               << QByteArray(R"({"profile": 9})") << 400 << u"from 0 to 8"_s;
    QTest::addRow("profile 2.5") << QByteArray("PUT") << u"/api/v1/units/0/profile"_s
                                 << QByteArray(R"({"profile": 2.5})") << 400 << u"whole number"_s;
    QTest::addRow("profile as text") << QByteArray("PUT") << u"/api/v1/units/0/profile"_s
                                     << QByteArray(R"({"profile": "3"})") << 400 << u"whole number"_s;
    QTest::addRow("23 channels") << QByteArray("PUT") << u"/api/v1/units/0/channels"_s
                                 << QByteArray(R"({"channels": [1,2,3]})") << 400 << u"24 values"_s;
    QTest::addRow("channel 256") << QByteArray("PUT") << u"/api/v1/units/0/channels"_s
                                 << (QByteArray(R"({"channels": [)") + QByteArray("0,").repeated(23) +
                                     "256]}")
                                 << 400 << u"channel 25"_s;
    QTest::addRow("bad rule") << QByteArray("POST") << u"/api/v1/faults"_s
                              << QByteArray(R"({"rule": "drop,every=0"})") << 400 << u"'every=0'"_s;
    QTest::addRow("rule not text") << QByteArray("POST") << u"/api/v1/faults"_s
                                   << QByteArray(R"({"rule": 5})") << 400 << u"must be a string"_s;
    // Aliases nested in aliases: 9^8 nodes from a few hundred bytes, refused before they expand.
    QByteArray bomb = "{\"version\": 1, \"name\": [&l0 [1, 1, 1, 1, 1, 1, 1, 1, 1]";
    for (int level = 1; level < 8; ++level)
        bomb += ", &l" + QByteArray::number(level) + " [" +
                ("*l" + QByteArray::number(level - 1) + ", ").repeated(8) + "*l" +
                QByteArray::number(level - 1) + "]";
    QTest::addRow("alias bomb") << QByteArray("PUT") << u"/api/v1/scenario"_s << bomb + "]}" << 400
                                << u"aliases (*name) would repeat more than 100000 nodes"_s;
    QTest::addRow("bad since") << QByteArray("GET") << u"/api/v1/log?since=x"_s << QByteArray() << 400
                               << u"since"_s;
    QTest::addRow("limit 0") << QByteArray("GET") << u"/api/v1/log?limit=0"_s << QByteArray() << 400
                             << u"limit"_s;
    QTest::addRow("unknown unit") << QByteArray("PUT") << u"/api/v1/units/7/profile"_s
                                  << QByteArray(R"({"profile": 1})") << 404 << u"no unit 7"_s;
    QTest::addRow("unknown fault") << QByteArray("DELETE") << u"/api/v1/faults/abc"_s << QByteArray() << 404
                                   << u"no fault rule abc"_s;
    QTest::addRow("unknown path") << QByteArray("GET") << u"/api/v2/units"_s << QByteArray() << 404
                                  << u"no such resource"_s;
    // The limit takes in 64 KiB itself; a byte less is read (and is no JSON).
    QTest::addRow("body of 64 KiB") << QByteArray("POST") << u"/api/v1/faults"_s << QByteArray(64 * 1024, ' ')
                                    << 413 << u"shorter than 65536 bytes"_s;
    QTest::addRow("body just under 64 KiB") << QByteArray("POST") << u"/api/v1/faults"_s
                                            << QByteArray(64 * 1024 - 1, ' ') << 400 << u"bad JSON"_s;
    // Ids run from 0 to the number of units less one.
    QTest::addRow("unit id equal to the count")
        << QByteArray("GET") << u"/api/v1/units/1"_s << QByteArray() << 404 << u"no unit 1"_s;
    // Only plain decimal indexes and dotted-decimal addresses name a unit.
    for (const QString& id : {u"00"_s, u"+0"_s, u"0x0"_s, u"0.0.0.0"_s, u"2130706433"_s, u"1e0"_s})
        QTest::addRow("unit id %s", qPrintable(id))
            << QByteArray("GET") << u"/api/v1/units/"_s + id << QByteArray() << 404 << u"no unit "_s + id;
    QTest::addRow("rule for units that do not exist")
        << QByteArray("POST") << u"/api/v1/faults"_s << QByteArray(R"({"rule": "drop,units=1-5"})") << 400
        << u"units=1-5 names no unit"_s;
    QTest::addRow("rule for an address no unit has")
        << QByteArray("POST") << u"/api/v1/faults"_s << QByteArray(R"({"rule": "drop,units=127.0.9.9"})")
        << 400 << u"units=127.0.9.9 names no unit"_s;
}

void TestControl::badRequests()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, message);
    const HttpClient::Answer answer = m_http->send(method, path, body);
    QCOMPARE(answer.status, status);
    const QString error = answer.json()[u"error"_s].toString();
    QVERIFY2(error.contains(message), qPrintable(error));
    QCOMPARE(m_unit->profileIndex(), 0); // nothing changed
    QVERIFY(m_unit->faults().rules().isEmpty());
}

void TestControl::methodNotAllowedNamesTheAllowedOnes()
{
    const HttpClient::Answer answer = m_http->send("PATCH", u"/api/v1/log"_s, {});
    QCOMPARE(answer.status, 405);
    QCOMPARE(answer.allow, QByteArray("GET, HEAD, DELETE"));
    QCOMPARE(m_http->send("POST", u"/api/v1/units"_s, "{}").status, 405);
}

void TestControl::tokenIsRequiredWhenSet()
{
    startServer("s3cret");
    QCOMPARE(m_http->get(u"/api/v1/units"_s).status, 200);
    HttpClient anonymous(m_server->url());
    QCOMPARE(anonymous.get(u"/api/v1/units"_s).status, 401);
    HttpClient wrong(m_server->url(), "s3creT");
    QCOMPARE(wrong.post(u"/api/v1/faults"_s, R"({"rule": "drop"})").status, 401);
    QVERIFY(m_unit->faults().rules().isEmpty());
}

void TestControl::openApiDescribesExactlyTheRoutes()
{
    const HttpClient::Answer answer = m_http->get(u"/api/v1/openapi.json"_s);
    QCOMPARE(answer.status, 200);
    const QJsonObject description = answer.json().object();
    QVERIFY(description[u"openapi"_s].toString().startsWith(u"3."_s));
    QSet<QString> described;
    const QJsonObject paths = description[u"paths"_s].toObject();
    for (auto path = paths.begin(); path != paths.end(); ++path) {
        const QJsonObject methods = path.value().toObject();
        for (auto method = methods.begin(); method != methods.end(); ++method)
            described.insert(method.key().toUpper() + u' ' + path.key());
    }
    QSet<QString> served;
    for (const ControlServer::Route& route : ControlServer::routes())
        served.insert(QString::fromLatin1(route.method) + u' ' + route.path);
    QCOMPARE(described, served);
    // And each one is really there: the router knows every described path (a resource may still
    // say it has nothing there: no fault 0, no run before a scenario).
    for (const ControlServer::Route& route : ControlServer::routes()) {
        QString path = route.path;
        path.replace(u"{id}"_s, u"0"_s);
        path.replace(u"{file}"_s, u"report.js"_s);
        const HttpClient::Answer reply = m_http->send(route.method, path, "{}");
        QVERIFY2(reply.status != 404 || !reply.body.contains("no such resource"), qPrintable(path));
    }
}

void TestControl::unitKeepsWorkingWhateverIsSent()
{
    const QList<QByteArray> bodies = {QByteArray(),
                                      "null",
                                      "{}",
                                      "[]",
                                      "\"text\"",
                                      "{\"profile\": null}",
                                      "{\"profile\": 1e300}",
                                      "{\"channels\": {}}",
                                      QByteArray(1000, '{'),
                                      QByteArray("\x00\xff\xfe", 3),
                                      "{\"rule\": \"\"}"};
    for (const QByteArray& body : bodies) {
        for (const QString& path :
             {u"/api/v1/units/0/profile"_s, u"/api/v1/units/0/channels"_s, u"/api/v1/faults"_s}) {
            const HttpClient::Answer answer =
                m_http->send(path.endsWith(u"faults"_s) ? "POST" : "PUT", path, body);
            QCOMPARE(answer.status, 400);
            QVERIFY(!answer.json()[u"error"_s].toString().isEmpty());
        }
    }
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
    QCOMPARE(m_http->get(u"/api/v1/units/0"_s).json()[u"profile"_s].toInt(), 0);
}

void TestControl::faultRulesAreCapped()
{
    for (qsizetype i = 0; i < ControlServer::kMaxFaultRules; ++i)
        m_unit->faults().add(*FaultRule::parse(u"delay=1,every=1000"_s, nullptr));
    const HttpClient::Answer refused = m_http->post(u"/api/v1/faults"_s, R"({"rule": "drop"})");
    QCOMPARE(refused.status, 409);
    QVERIFY(refused.json()[u"error"_s].toString().contains(u"at most 1000 fault rules"_s));
    QCOMPARE(m_unit->faults().rules().size(), ControlServer::kMaxFaultRules);
    QCOMPARE(m_http->remove(u"/api/v1/faults/1"_s).status, 204);
    QCOMPARE(m_http->post(u"/api/v1/faults"_s, R"({"rule": "drop"})").status, 201);
}

QTEST_GUILESS_MAIN(TestControl)
#include "tst_control.moc"
