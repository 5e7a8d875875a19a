// The HTTP server's share of itself among clients: one address cannot take every connection, a
// client that never gets a request past the screen is let go soon, the last connections are kept
// for this machine; and a client that half-closes after its requests still gets every answer.
// Clients are plain sockets on loopback addresses of their own.
#include "control/httpserver.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using namespace Qt::Literals::StringLiterals;

namespace {
// How long a test waits for what must come.
constexpr int kAnswerMs = 5000;

// A client on a socket of its own, from a loopback address of its choosing, that can half-close.
class Client {
public:
    Client(const char* from, quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The kernel completes a loopback connection without the server's accept().
        m_connected = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                      ::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    }
    ~Client()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool connected() const { return m_connected; }
    bool send(const QByteArray& bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    void halfClose() { ::shutdown(m_fd, SHUT_WR); }
    void close()
    {
        ::close(m_fd);
        m_fd = -1;
    }
    // Everything the server sends until it ends the connection, which the client then closes
    // too; `ended` false when the time ran out.
    QByteArray readToEnd(bool* ended, int timeoutMs = kAnswerMs)
    {
        QByteArray all;
        *ended = QTest::qWaitFor(
            [&] {
                char bytes[4096];
                for (;;) {
                    const ssize_t n = ::recv(m_fd, bytes, sizeof bytes, MSG_DONTWAIT);
                    if (n > 0) {
                        all.append(bytes, n);
                        continue;
                    }
                    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                }
            },
            timeoutMs);
        if (*ended) {
            ::close(m_fd);
            m_fd = -1;
        }
        return all;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

HttpResponse echoPath(const HttpRequest& request)
{
    HttpResponse response;
    response.body = request.path.toUtf8() + ' ' + QByteArray::number(request.body.size());
    return response;
}

int countOf(const QByteArray& text, const QByteArray& what)
{
    return int(text.count(what));
}
} // namespace

class TestHttpSafety : public QObject {
    Q_OBJECT

private slots:
    void halfClosedClientsGetTheirAnswers_data();
    void halfClosedClientsGetTheirAnswers();
    void oneAddressGetsItsShare();
    void clientsWithoutARequestAreLetGoSoon();
    void theLastConnectionsAreKeptForThisMachine_data();
    void theLastConnectionsAreKeptForThisMachine();
    void requestsTakeTurnsWithTheEventLoop();
    void answersWorkedOutOffTheLoopComeLater();
};

void TestHttpSafety::halfClosedClientsGetTheirAnswers_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QByteArray>("answers"); // in order, each one's start

    QTest::addRow("HTTP/1.0") << "GET /a HTTP/1.0\r\n\r\n"_ba
                              << "HTTP/1.0 200 OK|/a 0"_ba;
    QTest::addRow("HTTP/1.1") << "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"_ba
                              << "HTTP/1.1 200 OK|/a 0"_ba;
    QTest::addRow("two pipelined")
        << "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n"_ba
        << "HTTP/1.1 200 OK|/a 0|HTTP/1.1 200 OK|/b 0"_ba;
    QTest::addRow("with a body") << "PUT /c HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"_ba
                                 << "HTTP/1.1 200 OK|/c 5"_ba;
    QTest::addRow("after blank lines") << "\r\n\r\nGET /d HTTP/1.0\r\n\r\n"_ba
                                       << "HTTP/1.0 200 OK|/d 0"_ba;
    QTest::addRow("a body cut short") << "PUT /c HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\nhel"_ba
                                      << "HTTP/1.1 400 Bad Request|ended in the middle of a request"_ba;
    QTest::addRow("a header block cut short") << "GET /a HTTP/1.1\r\nHost"_ba
                                              << "HTTP/1.1 400 Bad Request|ended in the middle"_ba;
}

void TestHttpSafety::halfClosedClientsGetTheirAnswers()
{
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, answers);
    HttpServer server(nullptr, echoPath);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));
    // Several times: the end of sending and the request arrive together, in one read or two.
    for (int round = 0; round < 5; ++round) {
        Client client("127.0.0.1", server.serverPort());
        QVERIFY(client.connected());
        QVERIFY(client.send(requests));
        client.halfClose();
        bool ended = false;
        const QByteArray got = client.readToEnd(&ended);
        QVERIFY2(ended, got.constData());
        qsizetype at = 0;
        for (const QByteArray& answer : answers.split('|')) {
            at = got.indexOf(answer, at);
            QVERIFY2(at >= 0, qPrintable(u"round %1: no \"%2\" in order in: %3"_s.arg(round).arg(
                                  QString::fromLatin1(answer), QString::fromLatin1(got))));
        }
    }
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == 0; }, kAnswerMs));
}

void TestHttpSafety::oneAddressGetsItsShare()
{
    HttpServer server(nullptr, echoPath);
    HttpServer::Limits limits;
    limits.maxConnectionsPerAddress = 4;
    limits.firstRequestTimeoutMs = 60000; // the held ones stay while this test runs
    server.setLimits(limits);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));

    // One client holds its share, and asks for one more.
    std::vector<std::unique_ptr<Client>> held;
    for (int k = 0; k < limits.maxConnectionsPerAddress; ++k) {
        held.push_back(std::make_unique<Client>("127.0.13.1", server.serverPort()));
        QVERIFY(held.back()->connected());
    }
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == limits.maxConnectionsPerAddress; },
                            kAnswerMs));
    Client greedy("127.0.13.1", server.serverPort());
    QVERIFY(greedy.connected());
    bool ended = false;
    const QByteArray refused = greedy.readToEnd(&ended);
    QVERIFY(ended);
    QVERIFY2(refused.startsWith("HTTP/1.1 503 ") &&
                 refused.contains("at most 4 connections from one address"),
             refused.constData());

    // Another address is served as ever.
    Client other("127.0.13.2", server.serverPort());
    QVERIFY(other.send("GET /e HTTP/1.0\r\n\r\n"));
    const QByteArray answered = other.readToEnd(&ended);
    QVERIFY2(ended && answered.startsWith("HTTP/1.0 200 OK") && answered.endsWith("/e 0"),
             answered.constData());
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == limits.maxConnectionsPerAddress; },
                            kAnswerMs));
}

void TestHttpSafety::clientsWithoutARequestAreLetGoSoon()
{
    HttpServer server(nullptr, echoPath);
    HttpServer::Limits limits;
    limits.idleTimeoutMs = 60000;       // longer than this test waits
    limits.firstRequestTimeoutMs = 300; // shorter than it waits
    server.setLimits(limits);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));

    Client known("127.0.13.3", server.serverPort());
    QVERIFY(known.send("GET /f HTTP/1.1\r\nHost: x\r\n\r\n"));
    Client silent("127.0.13.4", server.serverPort());
    Client trickling("127.0.13.5", server.serverPort());
    QVERIFY(trickling.send("GET /g HTTP/1.1\r\n"));

    bool ended = false;
    QVERIFY(silent.readToEnd(&ended).isEmpty());
    QVERIFY2(ended, "a connection that sent nothing is kept");
    const QByteArray timedOut = trickling.readToEnd(&ended);
    QVERIFY2(ended && timedOut.startsWith("HTTP/1.1 408 ") && timedOut.contains("within 300 ms"),
             timedOut.constData());
    // The client whose request passed keeps its connection, for the next request.
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == 1; }, kAnswerMs));
    QVERIFY(known.send("GET /h HTTP/1.0\r\n\r\n"));
    const QByteArray both = known.readToEnd(&ended);
    QVERIFY2(ended && countOf(both, " 200 OK") == 2 && both.endsWith("/h 0"), both.constData());
}

void TestHttpSafety::theLastConnectionsAreKeptForThisMachine_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("others"); // connections served already, from other addresses
    QTest::addColumn<QString>("refusal");

    // maxConnections 64, of them 8 kept for loopback, 16 for one address.
    QTest::addRow("a LAN caller, room") << u"10.1.2.3"_s << 55 << QString();
    QTest::addRow("a LAN caller, only the kept ones left")
        << u"10.1.2.3"_s << 56 << u"the last 8 for callers"_s;
    QTest::addRow("this machine, the kept ones") << u"127.0.0.1"_s << 63 << QString();
    QTest::addRow("this machine, none left") << u"127.0.0.1"_s << 64 << u"at most 64 connections at once"_s;
    QTest::addRow("this machine over IPv6, the kept ones") << u"::1"_s << 63 << QString();
    QTest::addRow("a LAN caller over IPv6") << u"fd00::5"_s << 56 << u"the last 8 for callers"_s;
}

void TestHttpSafety::theLastConnectionsAreKeptForThisMachine()
{
    QFETCH(QString, peer);
    QFETCH(int, others);
    QFETCH(QString, refusal);
    HttpServer server(nullptr, echoPath);
    HttpServer::Limits limits;
    limits.firstRequestTimeoutMs = 60000; // the held ones stay while this test runs
    server.setLimits(limits);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));
    // Connections from addresses of their own, 127.0.14.x, so that no one address's share decides.
    std::vector<std::unique_ptr<Client>> held;
    for (int k = 0; k < others; ++k) {
        const QByteArray from = "127.0.14." + QByteArray::number(k + 1);
        held.push_back(std::make_unique<Client>(from.constData(), server.serverPort()));
        QVERIFY(held.back()->connected());
    }
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == others; }, kAnswerMs));
    const QString why = server.refusalFor(QHostAddress(peer));
    if (refusal.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.contains(refusal), qPrintable(why));
}

void TestHttpSafety::requestsTakeTurnsWithTheEventLoop()
{
    // Each handled request leaves a mark for the event loop's next round: with one request a
    // round, the marks fall between the requests, however many clients are ready at once.
    QStringList trace;
    HttpServer server(nullptr, [&trace](const HttpRequest& request) {
        trace << request.path;
        QTimer::singleShot(0, [&trace, path = request.path] { trace << u"round after "_s + path; });
        return echoPath(request);
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));
    std::vector<std::unique_ptr<Client>> clients;
    for (const char* path : {"/a", "/b", "/c"}) {
        clients.push_back(std::make_unique<Client>("127.0.13.6", server.serverPort()));
        QVERIFY(clients.back()->send("GET "_ba + path + " HTTP/1.0\r\n\r\n"));
    }
    QVERIFY(QTest::qWaitFor([&] { return trace.size() == 6; }, kAnswerMs));
    for (qsizetype k = 0; k < trace.size(); k += 2)
        QCOMPARE(trace[k + 1], u"round after "_s + trace[k]);
}

void TestHttpSafety::answersWorkedOutOffTheLoopComeLater()
{
    // /slow is answered later, as work off the event loop is; /fast at once.
    std::vector<std::shared_ptr<HttpDeferred>> pending;
    HttpServer server(nullptr, [&pending](const HttpRequest& request) {
        if (request.path != u"/slow"_s)
            return echoPath(request);
        HttpResponse later;
        later.later = std::make_shared<HttpDeferred>();
        pending.push_back(later.later);
        return later;
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));

    Client waiting("127.0.13.7", server.serverPort());
    QVERIFY(waiting.send("GET /slow HTTP/1.0\r\n\r\n"));
    Client gone("127.0.13.7", server.serverPort());
    QVERIFY(gone.send("GET /slow HTTP/1.0\r\n\r\n"));
    QVERIFY(QTest::qWaitFor([&] { return pending.size() == 2; }, kAnswerMs));
    // Meanwhile the server serves others, and a waiting client may go.
    Client other("127.0.13.8", server.serverPort());
    QVERIFY(other.send("GET /fast HTTP/1.0\r\n\r\n"));
    bool ended = false;
    QVERIFY(other.readToEnd(&ended).endsWith("/fast 0"));
    gone.close();

    HttpResponse answer;
    answer.body = "worked out";
    pending[1]->answer(answer); // to a client that is gone
    pending[0]->answer(answer);
    const QByteArray got = waiting.readToEnd(&ended);
    QVERIFY2(ended && got.startsWith("HTTP/1.0 200 OK") && got.endsWith("worked out"), got.constData());
    QVERIFY(QTest::qWaitFor([&] { return server.connectionCount() == 0; }, kAnswerMs));
}

QTEST_GUILESS_MAIN(TestHttpSafety)
#include "tst_httpsafety.moc"
