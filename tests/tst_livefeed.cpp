// The live page's feed, through real sockets on loopback: the page's files come without the
// token and everything with data only with it; the stream follows the units' states at a
// bounded rate however fast datagrams come; a client that stops reading is dropped while one
// that reads goes on.
#include "control/controlserver.h"
#include "httpclient.h"
#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
const QByteArray kToken = "live-secret";
const QStringList kUnits{u"127.0.31.1"_s, u"127.0.31.2"_s, u"127.0.31.3"_s};
constexpr int kWaitMs = 10000;

QByteArray streamRequest(quint16 port)
{
    return "GET /api/v1/stream HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
           "\r\nAccept: text/event-stream\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
}

// A client of the stream that reads everything: the events as they come, out of their chunks.
class StreamReader {
public:
    explicit StreamReader(quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { read(); });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.write(streamRequest(port));
    }

    struct Event {
        QByteArray name;
        QJsonObject data;
    };
    QList<Event> events;
    QByteArray head;

    qsizetype count(const QByteArray& name) const
    {
        return std::count_if(events.cbegin(), events.cend(), [&](const Event& e) { return e.name == name; });
    }
    const Event* last(const QByteArray& name) const
    {
        for (auto it = events.crbegin(); it != events.crend(); ++it) {
            if (it->name == name)
                return &*it;
        }
        return nullptr;
    }

private:
    void read()
    {
        m_raw += m_socket.readAll();
        if (head.isEmpty()) {
            const qsizetype end = m_raw.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            head = m_raw.left(end);
            m_raw.remove(0, end + 4);
        }
        // Chunks: a size in hex, then that many bytes; each holds whole events.
        for (;;) {
            const qsizetype line = m_raw.indexOf("\r\n");
            if (line < 0)
                return;
            bool ok = false;
            const qsizetype size = m_raw.left(line).toLongLong(&ok, 16);
            if (!ok || m_raw.size() < line + 2 + size + 2)
                return;
            m_text += m_raw.mid(line + 2, size);
            m_raw.remove(0, line + 2 + size + 2);
            for (qsizetype end; (end = m_text.indexOf("\n\n")) >= 0; m_text.remove(0, end + 2)) {
                Event event;
                for (const QByteArray& field : m_text.left(end).split('\n')) {
                    if (field.startsWith("event: "))
                        event.name = field.mid(7);
                    else if (field.startsWith("data: "))
                        event.data = QJsonDocument::fromJson(field.mid(6)).object();
                }
                events.append(event);
            }
        }
    }

    QTcpSocket m_socket;
    QByteArray m_raw;
    QByteArray m_text;
};

// Channel-queries to a unit as fast as the loop goes, while it runs.
class Flood {
public:
    explicit Flood(const QString& unit)
        : m_unit(unit)
    {
        m_sender.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QByteArray frame(29, '\0');
            frame[1] = 50;
            for (int k = 0; k < 20; ++k)
                m_sender.writeDatagram(frame, m_unit, 4000);
        });
        m_timer.start(1);
    }

private:
    QHostAddress m_unit;
    QUdpSocket m_sender;
    QTimer m_timer;
};
} // namespace

class TestLiveFeed : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void thePageComesWithoutTheTokenItsDataOnlyWithIt();
    void theStreamFollowsTheUnitsAtABoundedRate();
    void aClientThatStopsReadingIsDropped();

private:
    std::unique_ptr<ScenarioSession> m_session;
    std::unique_ptr<TrafficLogModel> m_log;
    std::unique_ptr<ControlServer> m_server;
};

void TestLiveFeed::init()
{
    m_session = std::make_unique<ScenarioSession>(7);
    m_log = std::make_unique<TrafficLogModel>();
    connect(m_session.get(), &ScenarioSession::trafficLogged, m_log.get(), &TrafficLogModel::appendFrom);
    QList<FleetUnit> fleet;
    for (const QString& address : kUnits)
        fleet.append({QHostAddress(address), 0});
    QString error;
    QVERIFY2(m_session->startUnits(fleet, 0, {}, &error), qPrintable(error));
    m_log->setUnitAddresses(m_session->unitAddresses());
    m_server = std::make_unique<ControlServer>(*m_session, *m_log, kToken);
    QVERIFY2(m_server->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
}

void TestLiveFeed::cleanup()
{
    m_server.reset();
    m_session.reset();
    m_log.reset();
}

void TestLiveFeed::thePageComesWithoutTheTokenItsDataOnlyWithIt()
{
    HttpClient stranger(m_server->url());
    const HttpClient::Answer page = stranger.get(u"/"_s);
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    QVERIFY(page.body.contains("/page/dashboard.js"));
    QVERIFY(page.header("Content-Security-Policy").contains("default-src 'self'"));
    const HttpClient::Answer chart = stranger.get(u"/page/chart.min.js"_s);
    QCOMPARE(chart.status, 200);
    QVERIFY(chart.body.contains("Chart.js v"));
    QCOMPARE(stranger.get(u"/page/secrets.txt"_s).status, 404);
    QCOMPARE(stranger.get(u"/api/v1/stream"_s).status, 401);
    QCOMPARE(stranger.get(u"/api/v1/run"_s).status, 401);
    HttpClient known(m_server->url(), kToken);
    // Asked for as anything but a stream of events, the stream says how to ask.
    const HttpClient::Answer plain = known.get(u"/api/v1/stream"_s);
    QCOMPARE(plain.status, 406);
    QVERIFY(plain.body.contains("text/event-stream"));
    QCOMPARE(known.get(u"/api/v1/run"_s).status, 404); // no scenario yet

    // With no client following, the picture is read when asked for, from the scenario's start.
    QCOMPARE(known
                 .put(u"/api/v1/scenario"_s,
                      R"({"version": 1, "name": "asked", "units": [{"count": 3, "first": "127.0.31.1"}],
                           "end": "1m"})")
                 .status,
             200);
    QUdpSocket sender;
    QByteArray frame(29, '\0');
    frame[1] = 50;
    const quint64 before = m_log->endSeq();
    for (int k = 0; k < 5; ++k)
        sender.writeDatagram(frame, QHostAddress(kUnits[1]), 4000);
    QVERIFY(QTest::qWaitFor([&] { return m_log->endSeq() >= before + 10; }, kWaitMs)); // in and out
    const HttpClient::Answer run = known.get(u"/api/v1/run"_s);
    QCOMPARE(run.status, 200);
    QCOMPARE(run.json()[u"title"_s].toString(), u"asked"_s);
    QCOMPARE(run.json()[u"units"_s][1][u"requestCount"_s].toInteger(), 5);
}

void TestLiveFeed::theStreamFollowsTheUnitsAtABoundedRate()
{
    StreamReader reader(m_server->http().serverPort());
    QVERIFY(QTest::qWaitFor([&] { return reader.count("update") > 0; }, kWaitMs));
    QVERIFY2(reader.head.startsWith("HTTP/1.1 200") && reader.head.contains("text/event-stream"),
             reader.head.constData());
    QVERIFY(reader.last("units"));
    QCOMPARE(reader.last("units")->data[u"addresses"_s].toArray().size(), 3);
    QCOMPARE(reader.last("update")->data[u"states"_s].toString(), u"aaa"_s);

    m_session->units()[1]->setOffline(true);
    m_session->units()[2]->powerOff();
    QVERIFY(QTest::qWaitFor([&] { return reader.last("update")->data[u"states"_s].toString() == u"aor"_s; },
                            kWaitMs));

    // However fast datagrams come, an update every 250 ms: the log's newest lines in each, the
    // rest counted.
    const qsizetype before = reader.count("update");
    QElapsedTimer clock;
    clock.start();
    {
        Flood flood(kUnits[0]);
        QTest::qWait(2000);
    }
    const qint64 elapsed = clock.elapsed();
    const qsizetype updates = reader.count("update") - before;
    qInfo("%lld updates in %lld ms of flood", qint64(updates), elapsed);
    QVERIFY2(updates <= elapsed / 250 + 2, qPrintable(QString::number(updates)));
    QVERIFY(updates >= 2);
    qint64 skipped = 0;
    for (const StreamReader::Event& event : reader.events) {
        if (event.name != "update")
            continue;
        QVERIFY(event.data[u"log"_s].toArray().size() <= 50);
        skipped += event.data[u"logSkipped"_s].toInteger();
    }
    QVERIFY(skipped > 0);
    const QJsonArray peers = reader.last("update")->data[u"peers"_s].toArray();
    QVERIFY(!peers.isEmpty());
    QVERIFY(peers[0][u"requests"_s].toInteger() > 100);
}

void TestLiveFeed::aClientThatStopsReadingIsDropped()
{
    HttpServer::Limits limits = m_server->http().limits();
    limits.maxQueuedOutputBytes = 32 * 1024;
    m_server->http().setLimits(limits);
    StreamReader reader(m_server->http().serverPort());
    QVERIFY(QTest::qWaitFor([&] { return reader.count("update") > 0; }, kWaitMs));

    // A client with a small window that sends its request and never reads.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(m_server->http().serverPort());
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    const QByteArray request = streamRequest(m_server->http().serverPort());
    QCOMPARE(::send(fd, request.constData(), size_t(request.size()), 0), ssize_t(request.size()));
    QVERIFY(QTest::qWaitFor([&] { return m_server->http().connectionCount() == 2; }, kWaitMs));

    // Big updates: the log's newest lines of a flood in each.
    Flood flood(kUnits[0]);
    const bool dropped = QTest::qWaitFor([&] { return m_server->http().connectionCount() == 1; }, 30000);
    ::close(fd);
    QVERIFY(dropped);
    // The one that reads goes on.
    const qsizetype seen = reader.count("update");
    QVERIFY(QTest::qWaitFor([&] { return reader.count("update") > seen + 2; }, kWaitMs));
}

QTEST_GUILESS_MAIN(TestLiveFeed)
#include "tst_livefeed.moc"
