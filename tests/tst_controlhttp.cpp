// The control API's transport against hostile and careless clients, spoken to byte by byte over
// loopback: limits that act while a request arrives, connections that end, cross-site requests,
// and the finer points of HTTP/1.1 and 1.0. The unit is never bound: no fixed ports.
#include "capture/trafficcapture.h"
#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
// How long a test lets the server run while a client holds still, to see that nothing grows.
constexpr int kSettleMs = 500;

// Runs the event loop until `done` holds or `timeoutMs` passed, waking on every event: unlike
// QTest::qWaitFor, no pause between rounds, which would slow a bulk transfer between this test's
// client and its server (both in this thread) to a crawl.
template <typename Predicate> bool runUntil(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
                                        int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
    return true;
}

// A client that speaks raw bytes, so that it can break every rule.
class RawClient {
public:
    explicit RawClient(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        (void)QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QTcpSocket& socket() { return m_socket; }

    // Everything the server sends until it closes the connection (or `timeoutMs` passes: then
    // `closed` is false).
    QByteArray readUntilClosed(bool* closed, int timeoutMs = 5000)
    {
        QByteArray all;
        *closed = QTest::qWaitFor(
            [&] {
                all += m_socket.readAll();
                return m_socket.state() == QAbstractSocket::UnconnectedState;
            },
            timeoutMs);
        return all + m_socket.readAll();
    }
    // Waits until `bytes` bytes came (or the time is up) and returns what came.
    QByteArray readAtLeast(qsizetype bytes, int timeoutMs = 5000)
    {
        (void)QTest::qWaitFor([&] { return (m_buffer += m_socket.readAll()).size() >= bytes; }, timeoutMs);
        return std::exchange(m_buffer, {});
    }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

int statusOf(const QByteArray& response)
{
    return response.startsWith("HTTP/1.") ? response.mid(9, 3).toInt() : 0;
}

// One response's header block and body (by Content-Length, or de-chunked), from `bytes` at `from`.
struct Parsed {
    int status = 0;
    QByteArray head;
    QByteArray body;
    qsizetype end = 0; // where in `bytes` it ends; 0 when incomplete
};
Parsed parseResponse(const QByteArray& bytes, qsizetype from = 0)
{
    Parsed parsed;
    const qsizetype end = bytes.indexOf("\r\n\r\n", from);
    if (end < 0)
        return parsed;
    parsed.status = statusOf(bytes.mid(from, 12));
    parsed.head = bytes.mid(from, end + 2 - from);
    const QByteArray lower = parsed.head.toLower();
    qsizetype at = end + 4;
    if (lower.contains("transfer-encoding: chunked")) {
        for (;;) {
            const qsizetype line = bytes.indexOf("\r\n", at);
            if (line < 0)
                return {};
            bool ok = false;
            const qsizetype size = bytes.mid(at, line - at).toLongLong(&ok, 16);
            if (!ok || bytes.size() < line + 2 + size + 2)
                return {};
            parsed.body += bytes.mid(line + 2, size);
            at = line + 2 + size + 2;
            if (size == 0)
                break;
        }
    } else if (const qsizetype cl = lower.indexOf("content-length: "); cl >= 0) {
        const qsizetype length = lower.mid(cl + 16, lower.indexOf("\r\n", cl) - cl - 16).toLongLong();
        if (bytes.size() < at + length)
            return {};
        parsed.body = bytes.mid(at, length);
        at += length;
    } else {
        parsed.body = bytes.mid(at); // to the end of the connection
        at = bytes.size();
    }
    parsed.end = at;
    return parsed;
}

QByteArray get(const QByteArray& path, const QByteArray& extra = {})
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}
} // namespace

class TestControlHttp : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusedAsSoonAsTheHeaderIsIn_data();
    void refusedAsSoonAsTheHeaderIsIn();
    void hostileRequestsCostNoMemory();
    void idleAndSlowConnectionsAreClosed();
    void connectionCapRefusesPolitely();
    void clientThatDoesNotReadHoldsLittle();
    void crossSiteRequestsAreRefused_data();
    void crossSiteRequestsAreRefused();
    void headCloseAndHttp10();
    void captureIsStreamed();
    void listensOnIPv6LoopbackWhenAsked();

private:
    void startServer(const QByteArray& token = {}, const HttpServer::Limits& limits = {});

    std::unique_ptr<ScenarioSession> m_session;
    std::unique_ptr<TrafficLogModel> m_log;
    std::unique_ptr<ControlServer> m_server;
    quint16 m_port = 0;
};

void TestControlHttp::init()
{
    // The unit is made and never bound: these tests are about HTTP.
    m_session = std::make_unique<ScenarioSession>(5);
    m_session->makeUnits({}, {});
    m_log = std::make_unique<TrafficLogModel>();
    startServer();
}

void TestControlHttp::cleanup()
{
    m_server.reset();
    m_log.reset();
    m_session.reset();
}

void TestControlHttp::startServer(const QByteArray& token, const HttpServer::Limits& limits)
{
    m_server.reset();
    m_server = std::make_unique<ControlServer>(*m_session, *m_log, token);
    HttpServer::Limits withBody = limits;
    withBody.bodyLimitBytes = ControlServer::kBodyLimitBytes;
    m_server->http().setLimits(withBody);
    QString error;
    QVERIFY2(m_server->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    m_port = m_server->http().serverPort();
}

void TestControlHttp::listensOnIPv6LoopbackWhenAsked()
{
    m_server.reset();
    m_server = std::make_unique<ControlServer>(*m_session, *m_log, QByteArray());
    QString error;
    if (!m_server->listen(QHostAddress::LocalHostIPv6, 0, &error))
        QSKIP(qPrintable(u"no IPv6 loopback here: "_s + error));
    const quint16 port = m_server->http().serverPort();
    QCOMPARE(m_server->url(), u"http://[::1]:%1"_s.arg(port));
    // Reached by its address, bracketed as a Host names it, or by the loopback name.
    for (const QByteArray& host : {"[::1]:"_ba + QByteArray::number(port), "localhost"_ba}) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHostIPv6, port);
        QVERIFY(client.waitForConnected(5000));
        client.write("GET /api/v1/units/0 HTTP/1.0\r\nHost: " + host + "\r\n\r\n");
        QByteArray answer;
        QVERIFY(QTest::qWaitFor(
            [&] {
                answer += client.readAll();
                return client.state() == QAbstractSocket::UnconnectedState;
            },
            5000));
        answer += client.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.0 200 OK"), answer.constData());
    }
}

void TestControlHttp::refusedAsSoonAsTheHeaderIsIn_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("head"); // all the client sends: no body follows
    QTest::addColumn<int>("status");
    const QByteArray post =
        "POST /api/v1/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
    QTest::addRow("header block over 16 KiB, never ended")
        << QByteArray() << "GET /api/v1/units HTTP/1.1\r\nX-Long: " + QByteArray(17 * 1024, 'a') << 431;
    QTest::addRow("Content-Length of 4 GiB") << QByteArray() << post + "Content-Length: 4294967296\r\n\r\n"
                                             << 413;
    QTest::addRow("Content-Length of 64 KiB") << QByteArray() << post + "Content-Length: 65536\r\n\r\n"
                                              << 413;
    QTest::addRow("Content-Length given twice")
        << QByteArray() << post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n"
        << 400;
    QTest::addRow("Content-Length not a number") << QByteArray() << post + "Content-Length: 0x10\r\n\r\n"
                                                 << 400;
    QTest::addRow("chunked body") << QByteArray() << post + "Transfer-Encoding: chunked\r\n\r\n" << 501;
    QTest::addRow("HTTP/2.0") << QByteArray() << QByteArray("GET /api/v1/units HTTP/2.0\r\n\r\n") << 505;
    QTest::addRow("no request line") << QByteArray() << QByteArray("hello\r\n\r\n") << 400;
    QTest::addRow("HTTP/1.1 without Host")
        << QByteArray() << QByteArray("GET /api/v1/units HTTP/1.1\r\n\r\n") << 400;
    QTest::addRow("folded header line")
        << QByteArray() << QByteArray("GET /api/v1/units HTTP/1.1\r\nHost: 127.0.0.1\r\n folded\r\n\r\n")
        << 400;
    // The token is checked before any of the body is read, whatever the body's size.
    QTest::addRow("no token, a large body announced")
        << QByteArray("secret") << post + "Content-Length: 4294967296\r\n\r\n"
        << 401;
    QTest::addRow("wrong token") << QByteArray("secret")
                                 << get("/api/v1/units", "Authorization: Bearer secreT\r\n") << 401;
}

void TestControlHttp::refusedAsSoonAsTheHeaderIsIn()
{
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    startServer(token);
    RawClient client(m_port);
    QVERIFY(client.isConnected());
    client.send(head);
    bool closed = false;
    const QByteArray response = client.readUntilClosed(&closed);
    QCOMPARE(statusOf(response), status);
    QVERIFY2(closed, "the server must end the connection after refusing");
    const Parsed parsed = parseResponse(response);
    QVERIFY(parsed.head.contains("Connection: close"));
    QVERIFY2(parsed.body.startsWith("{\"error\":"), parsed.body.constData());
    if (status == 401)
        QVERIFY(parsed.head.contains("WWW-Authenticate: Bearer"));
    QVERIFY(QTest::qWaitFor([&] { return m_server->http().connectionCount() == 0; }, 5000));
}

void TestControlHttp::hostileRequestsCostNoMemory()
{
    // A client that never stops sending: one endless header line, and a body of 4 GiB announced
    // without a token. Each is refused after at most the header limit, whatever follows (what
    // that costs in memory is measured by bench/run-api-bench.sh).
    startServer("secret");
    const QByteArray megabyte(1024 * 1024, 'a');
    for (const QByteArray& head :
         {QByteArray("GET /api/v1/units HTTP/1.1\r\nX-Long: "),
          QByteArray("POST /api/v1/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                     "Content-Length: 4294967296\r\n\r\n")}) {
        RawClient client(m_port);
        client.send(head);
        // Up to 64 MiB, for as long as the server lets the client write.
        qint64 written = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (client.socket().bytesToWrite() < qint64(megabyte.size()) &&
                    written < 64 * megabyte.size()) {
                    client.send(megabyte);
                    written += megabyte.size();
                }
                return client.socket().state() == QAbstractSocket::UnconnectedState;
            },
            10000));
        QVERIFY2(written < 32 * megabyte.size(), qPrintable(u"%1 bytes were taken"_s.arg(written)));
    }
}

void TestControlHttp::idleAndSlowConnectionsAreClosed()
{
    HttpServer::Limits limits;
    limits.idleTimeoutMs = 200;
    startServer({}, limits);
    RawClient idle(m_port);
    RawClient slow(m_port);
    RawClient served(m_port);
    slow.send("GET /api/v1/units HTTP/1.1\r\nHost: 127."); // and never the rest
    served.send(get("/api/v1/units"));
    QCOMPARE(statusOf(served.readAtLeast(12)), 200);

    bool closed = false;
    QCOMPARE(idle.readUntilClosed(&closed), QByteArray()); // nothing to say to a silent client
    QVERIFY(closed);
    QCOMPARE(statusOf(slow.readUntilClosed(&closed)), 408);
    QVERIFY(closed);
    // Kept alive after its answer, then idle: closed too.
    served.readUntilClosed(&closed);
    QVERIFY(closed);
    QVERIFY(QTest::qWaitFor([&] { return m_server->http().connectionCount() == 0; }, 5000));
}

void TestControlHttp::connectionCapRefusesPolitely()
{
    HttpServer::Limits limits;
    limits.maxConnections = 4;
    startServer({}, limits);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i)
        held.push_back(std::make_unique<RawClient>(m_port));
    QVERIFY(QTest::qWaitFor([&] { return m_server->http().connectionCount() == 4; }, 5000));

    RawClient refused(m_port);
    refused.send(get("/api/v1/units"));
    bool closed = false;
    const QByteArray answer = refused.readUntilClosed(&closed);
    QCOMPARE(statusOf(answer), 503);
    QVERIFY(answer.contains("at most 4 connections"));
    QVERIFY(closed);

    // One goes, and a new client is served again.
    held.pop_back();
    QVERIFY(QTest::qWaitFor([&] { return m_server->http().connectionCount() == 3; }, 5000));
    RawClient later(m_port);
    later.send(get("/api/v1/units"));
    QCOMPARE(statusOf(later.readAtLeast(12)), 200);
}

void TestControlHttp::clientThatDoesNotReadHoldsLittle()
{
    // 2,000 pipelined requests for the 25 KB API description: 50 MB of answers to a client that
    // reads none of them until it has sent them all.
    constexpr int kRequests = 2000;
    RawClient client(m_port);
    QByteArray requests;
    for (int i = 0; i < kRequests; ++i)
        requests += get("/api/v1/openapi.json");
    // What the server holds meanwhile is measured by bench/run-api-bench.sh.
    client.socket().setReadBufferSize(1); // the client's own buffer must not do the holding
    client.send(requests);
    QTest::qWait(kSettleMs);

    // Every request is answered once the client reads, in order.
    client.socket().setReadBufferSize(0);
    const qsizetype descriptionSize = QFile(u":/control/openapi.json"_s).size();
    QByteArray all;
    qsizetype at = 0;
    int answered = 0;
    QVERIFY(runUntil(
        [&] {
            all += client.socket().readAll();
            for (Parsed parsed = parseResponse(all, at); parsed.end > 0; parsed = parseResponse(all, at)) {
                if (parsed.status != 200 || parsed.body.size() != descriptionSize)
                    return true;
                ++answered;
                at = parsed.end;
            }
            return answered == kRequests;
        },
        30000));
    QCOMPARE(answered, kRequests);
}

void TestControlHttp::crossSiteRequestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray body = R"({"rule": "drop"})";
    const auto post = [&](const QByteArray& headers) {
        return "POST /api/v1/faults HTTP/1.1\r\n" + headers +
               "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const QByteArray host = "Host: 127.0.0.1\r\n";
    const QByteArray json = "Content-Type: application/json\r\n";
    QTest::addRow("a form a page can send") << post(host + "Content-Type: text/plain\r\n") << 415;
    QTest::addRow("no content type") << post(host) << 415;
    QTest::addRow("from another site's page") << post(host + json + "Origin: http://evil.example\r\n") << 403;
    QTest::addRow("from a page on another port of this machine")
        << post(host + json + "Origin: http://127.0.0.1:1\r\n") << 403;
    QTest::addRow("origin null") << post(host + json + "Origin: null\r\n") << 403;
    QTest::addRow("a name that is not ours (DNS rebinding)") << post("Host: evil.example\r\n" + json) << 421;
    QTest::addRow("a number that is not dotted decimal") << post("Host: 2130706433\r\n" + json) << 421;
    QTest::addRow("json, no origin (curl, scripts)") << post(host + json) << 201;
    QTest::addRow("json with parameters, localhost")
        << post("Host: localhost\r\nContent-Type: Application/JSON; charset=utf-8\r\n") << 201;
}

void TestControlHttp::crossSiteRequestsAreRefused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    RawClient client(m_port);
    client.send(request);
    QCOMPARE(statusOf(client.readAtLeast(12)), status);
    QCOMPARE(m_session->units().first()->faults().rules().size(), status == 201 ? 1 : 0);
}

void TestControlHttp::headCloseAndHttp10()
{
    // The page's own origin may ask.
    const QByteArray own = "Origin: http://127.0.0.1:" + QByteArray::number(m_port) + "\r\n";
    RawClient client(m_port);
    client.send("HEAD /api/v1/openapi.json HTTP/1.1\r\nHost: 127.0.0.1\r\n" + own + "\r\n" +
                get("/api/v1/units/0"));
    QByteArray both;
    QVERIFY(QTest::qWaitFor([&] { return (both += client.socket().readAll()).count("HTTP/1.1 200") == 2; },
                            5000));
    const qsizetype headEnd = both.indexOf("\r\n\r\n") + 4;
    const QByteArray head = both.left(headEnd);
    // The length GET would send, and no body: the next answer follows at once.
    QVERIFY2(
        head.contains("Content-Length: " + QByteArray::number(QFile(u":/control/openapi.json"_s).size())),
        head.constData());
    QVERIFY2(both.mid(headEnd).startsWith("HTTP/1.1 200"), both.mid(headEnd, 40).constData());

    // Connection: close is honoured.
    RawClient closing(m_port);
    closing.send(get("/api/v1/units", "Connection: close\r\n"));
    bool closed = false;
    QCOMPARE(statusOf(closing.readUntilClosed(&closed)), 200);
    QVERIFY(closed);

    // Blank lines before a request are allowed, however many; the request after them is answered.
    for (const QByteArray& blank : {QByteArray("\r\n"), QByteArray("\r\n\r\n"), QByteArray("\n\n\n")}) {
        RawClient late(m_port);
        late.send(blank + get("/api/v1/units/0", "Connection: close\r\n"));
        QCOMPARE(statusOf(late.readUntilClosed(&closed)), 200);
    }

    // HTTP/1.0: no Host needed, answered in 1.0, and the connection ends.
    RawClient old(m_port);
    old.send("GET /api/v1/units HTTP/1.0\r\n\r\n");
    const QByteArray answer = old.readUntilClosed(&closed);
    QVERIFY2(answer.startsWith("HTTP/1.0 200"), answer.left(40).constData());
    QVERIFY(closed);
}

void TestControlHttp::captureIsStreamed()
{
    for (int i = 0; i < 50000; ++i)
        m_log->append(TrafficLogEntry::unitIncoming(0x7f000001, quint16(40000 + i % 1000), 4000,
                                                    QByteArray(29, char(i)), 0));
    QString error;
    const QByteArray whole = TrafficCapture::ofLog(*m_log, &error);
    QVERIFY2(!whole.isEmpty(), qPrintable(error));

    // HTTP/1.1: in chunks, as the client takes them.
    RawClient client(m_port);
    client.send(get("/api/v1/capture.pcap"));
    QByteArray all;
    Parsed parsed;
    QVERIFY(runUntil(
        [&] {
            all += client.socket().readAll();
            parsed = parseResponse(all);
            return parsed.end > 0;
        },
        10000));
    QCOMPARE(parsed.status, 200);
    QVERIFY(parsed.head.contains("Transfer-Encoding: chunked"));
    QVERIFY(parsed.head.contains("Content-Type: application/vnd.tcpdump.pcap"));
    QCOMPARE(parsed.body.size(), whole.size());
    QVERIFY(parsed.body == whole);

    // HTTP/1.0: to the end of the connection.
    RawClient old(m_port);
    old.send("GET /api/v1/capture.pcap HTTP/1.0\r\n\r\n");
    bool closed = false;
    const Parsed plain = parseResponse(old.readUntilClosed(&closed));
    QVERIFY(closed);
    QVERIFY(plain.body == whole);
}

QTEST_GUILESS_MAIN(TestControlHttp)
#include "tst_controlhttp.moc"
