// The request head as the HTTP server reads it, a pure function of the bytes: what it takes,
// what it refuses and with which status, table by table; and a client that waits for
// "100 Continue" before its body, over loopback.
#include "control/httprequesthead.h"
#include "control/httpserver.h"

#include <QTcpSocket>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using Outcome = HttpRequestHead::Outcome;

namespace {
constexpr qsizetype kLimit = 256;
}

class TestHttpHead : public QObject {
    Q_OBJECT

private slots:
    void readsWhatIsAllowed_data();
    void readsWhatIsAllowed();
    void refusesWithItsStatus_data();
    void refusesWithItsStatus();
    void theLimitIsTheBlocksWholeLength();
    void waitsForTheEndOfTheBlock();
    void aClientThatExpectsContinueHearsItBeforeSendingItsBody();
};

void TestHttpHead::readsWhatIsAllowed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<qint64>("bodyLength");
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<bool>("expectsContinue");

    QTest::newRow("HTTP/1.1") << "GET /api/v1/units?from=3 HTTP/1.1\r\nHost: localhost\r\n\r\n"_ba
                              << u"/api/v1/units"_s << "localhost"_ba << qint64(0) << true << false;
    QTest::newRow("HTTP/1.0 needs no Host")
        << "GET /a HTTP/1.0\r\n\r\n"_ba << u"/a"_s << QByteArray() << qint64(0) << false << false;
    QTest::newRow("bare LF, blank lines first") << "\r\n\nPUT /b HTTP/1.1\nHost: x\nContent-Length: 12\n\n"_ba
                                                << u"/b"_s << "x"_ba << qint64(12) << true << false;
    QTest::newRow("closing") << "GET /c HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"_ba << u"/c"_s
                             << "x"_ba << qint64(0) << false << false;
    QTest::newRow("100-continue")
        << "PUT /d HTTP/1.1\r\nHost: x\r\nExpect: 100-Continue\r\nContent-Length: 9\r\n\r\n"_ba << u"/d"_s
        << "x"_ba << qint64(9) << true << true;
    // The absolute form's authority is the host, whatever Host says.
    QTest::newRow("absolute form")
        << "GET http://127.0.0.1:8080/api/v1/health HTTP/1.1\r\nHost: evil.example\r\n\r\n"_ba
        << u"/api/v1/health"_s << "127.0.0.1:8080"_ba << qint64(0) << true << false;
    QTest::newRow("absolute form without a path") << "GET http://localhost HTTP/1.0\r\n\r\n"_ba << u"/"_s
                                                  << "localhost"_ba << qint64(0) << false << false;
    QTest::newRow("a percent-encoded path")
        << "GET /api/v1/units/127.0.0.%31 HTTP/1.0\r\n\r\n"_ba << u"/api/v1/units/127.0.0.1"_s << QByteArray()
        << qint64(0) << false << false;
}

void TestHttpHead::readsWhatIsAllowed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, path);
    QFETCH(QByteArray, host);
    QFETCH(qint64, bodyLength);
    QFETCH(bool, keepAlive);
    QFETCH(bool, expectsContinue);
    const QByteArray body(int(bodyLength), 'b');
    const HttpRequestHead head = parseHttpRequestHead(bytes + body, 0, kLimit);
    QCOMPARE(head.outcome, Outcome::Complete);
    QCOMPARE(head.consumed, bytes.size()); // the body is not the head's
    QCOMPARE(head.request.path, path);
    QCOMPARE(head.request.header("host"), host);
    QCOMPARE(head.bodyLength, bodyLength);
    QCOMPARE(head.keepAlive, keepAlive);
    QCOMPARE(head.expectsContinue, expectsContinue);
}

void TestHttpHead::refusesWithItsStatus_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    QTest::newRow("a block over the limit") << "GET /" + QByteArray(kLimit, 'a') + " HTTP/1.0\r\n\r\n"
                                            << 431 << u"longer than 256 bytes"_s;
    QTest::newRow("no end, over the limit") << "GET /" + QByteArray(kLimit + 10, 'a') << 431 << u"longer"_s;
    QTest::newRow("two words") << "GET /a\r\n\r\n"_ba << 400 << u"METHOD TARGET"_s;
    QTest::newRow("HTTP/2") << "GET /a HTTP/2.0\r\n\r\n"_ba << 505 << u"HTTP/1.1 and HTTP/1.0"_s;
    QTest::newRow("not a path") << "GET a HTTP/1.0\r\n\r\n"_ba << 400 << u"must be a path"_s;
    QTest::newRow("another scheme") << "GET https://localhost/a HTTP/1.0\r\n\r\n"_ba << 400
                                    << u"must be a path"_s;
    QTest::newRow("credentials in the target")
        << "GET http://u:p@localhost/a HTTP/1.0\r\n\r\n"_ba << 400 << u"must be a path"_s;
    QTest::newRow("a folded line") << "GET /a HTTP/1.1\r\nHost: x\r\n more\r\n\r\n"_ba << 400
                                   << u"NAME: VALUE"_s;
    QTest::newRow("a NUL in a value")
        << "GET /a HTTP/1.1\r\nHost: x\r\nX-A: b\0c\r\n\r\n"_ba << 400 << u"bare CR or a NUL"_s;
    QTest::newRow("a bare CR in a value")
        << "GET /a HTTP/1.1\r\nHost: x\r\nX-A: b\rc\r\n\r\n"_ba << 400 << u"bare CR or a NUL"_s;
    QTest::newRow("Host twice") << "GET /a HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n"_ba << 400
                                << u"Host is given more than once"_s;
    QTest::newRow("no Host in HTTP/1.1") << "GET /a HTTP/1.1\r\n\r\n"_ba << 400 << u"must name its Host"_s;
    QTest::newRow("two lengths") << "PUT /a HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n"_ba
                                 << 400 << u"more than once"_s;
    QTest::newRow("a length that is no number")
        << "PUT /a HTTP/1.0\r\nContent-Length: -1\r\n\r\n"_ba << 400 << u"a number of bytes"_s;
    QTest::newRow("chunked") << "PUT /a HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"_ba << 501
                             << u"Content-Length"_s;
    QTest::newRow("another expectation")
        << "PUT /a HTTP/1.1\r\nHost: x\r\nExpect: teapot\r\n\r\n"_ba << 417 << u"100-continue"_s;
}

void TestHttpHead::refusesWithItsStatus()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QString, message);
    const HttpRequestHead head = parseHttpRequestHead(bytes, 0, kLimit);
    QCOMPARE(head.outcome, Outcome::Refused);
    QCOMPARE(head.status, status);
    QVERIFY2(head.message.contains(message), qPrintable(head.message));
}

void TestHttpHead::theLimitIsTheBlocksWholeLength()
{
    // A block of exactly the limit, its ending empty line counted, is taken; one byte more is not.
    const QByteArray start = "GET /a HTTP/1.0\r\nX-Pad: ";
    const QByteArray end = "\r\n\r\n";
    const QByteArray exact = start + QByteArray(kLimit - start.size() - end.size(), 'p') + end;
    QCOMPARE(exact.size(), kLimit);
    const HttpRequestHead taken = parseHttpRequestHead(exact, 0, kLimit);
    QCOMPARE(taken.outcome, Outcome::Complete);
    QCOMPARE(taken.consumed, kLimit);
    const QByteArray over = start + QByteArray(kLimit - start.size() - end.size() + 1, 'p') + end;
    const HttpRequestHead refused = parseHttpRequestHead(over, 0, kLimit);
    QCOMPARE(refused.outcome, Outcome::Refused);
    QCOMPARE(refused.status, 431);
    // Blank lines before the request are not the block's.
    QCOMPARE(parseHttpRequestHead("\r\n" + exact, 0, kLimit).outcome, Outcome::Complete);
}

void TestHttpHead::waitsForTheEndOfTheBlock()
{
    const QByteArray whole = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    // Byte by byte, as a slow client sends it: incomplete until the last, each time saying how
    // far it looked, and never looking again at what it scanned.
    qsizetype scanned = 0;
    for (qsizetype n = 0; n < whole.size(); ++n) {
        const HttpRequestHead head = parseHttpRequestHead(whole.first(n), scanned, kLimit);
        QCOMPARE(head.outcome, Outcome::Incomplete);
        QVERIFY(head.scanned <= qMax<qsizetype>(n, 0));
        scanned = head.scanned;
    }
    QCOMPARE(parseHttpRequestHead(whole, scanned, kLimit).outcome, Outcome::Complete);
    QCOMPARE(parseHttpRequestHead("\r\n\r\n\n"_ba, 0, kLimit).outcome, Outcome::Incomplete);
}

void TestHttpHead::aClientThatExpectsContinueHearsItBeforeSendingItsBody()
{
    HttpServer server(nullptr, [](const HttpRequest& request) {
        HttpResponse response;
        response.body = request.body;
        return response;
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0, nullptr));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    client.write("PUT /e HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    QByteArray got;
    QVERIFY(QTest::qWaitFor(
        [&] {
            got += client.readAll();
            return got.contains("\r\n\r\n");
        },
        5000));
    QCOMPARE(got, "HTTP/1.1 100 Continue\r\n\r\n"_ba);
    client.write("hello");
    got.clear();
    QVERIFY(QTest::qWaitFor(
        [&] {
            got += client.readAll();
            return got.endsWith("hello");
        },
        5000));
    QVERIFY2(got.startsWith("HTTP/1.1 200 OK"), got.constData());
}

QTEST_GUILESS_MAIN(TestHttpHead)
#include "tst_httphead.moc"
