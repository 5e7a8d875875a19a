#include "httpconnection.h"

#include "httprequesthead.h"
#include "log/trafficlogjson.h"

#include <QUrl>

#include <sys/socket.h>

namespace {
// After a refusal the client may still be sending (a body nobody will read): what comes is read
// and thrown away for a while, so that the answer is not lost to a reset, then the connection ends.
constexpr int kLingerMs = 2000;
constexpr qint64 kMaxLingerBytes = 1024 * 1024;
// Pieces of a streamed body are asked for while less than this waits to be sent.
constexpr qint64 kStreamLowWater = 64 * 1024;
// What the kernel may hold for a client of a pushed stream, which may stop reading at any time.
constexpr int kStreamSendBuffer = 64 * 1024;

QByteArray statusLine(int status, int minorVersion)
{
    return "HTTP/1." + QByteArray::number(minorVersion) + ' ' + QByteArray::number(status) + ' ' +
           httpReasonPhrase(status) + "\r\n";
}

QByteArray errorBody(const QString& message)
{
    // Escaped as any JSON string: a message may quote what the client sent.
    QByteArray body("{\"error\":");
    appendJsonString(body, message.toUtf8());
    return body + '}';
}
} // namespace

HttpConnection::HttpConnection(std::unique_ptr<TcpStream> socket, const HttpServer::Limits& limits,
                               const HttpServer::Screen& screen, const HttpServer::Handler& handler,
                               std::function<void(HttpConnection*)> askTurn,
                               std::function<void(HttpConnection*)> closed, QObject* parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_limits(limits)
    , m_screen(screen)
    , m_handler(handler)
    , m_askTurn(std::move(askTurn))
    , m_closed(std::move(closed))
{
    // Only what a request's state asks for is read; the rest waits in the kernel and TCP slows
    // the client down.
    m_socket->setReadNotifications(false);
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &HttpConnection::timedOut);
    connect(m_socket.get(), &TcpStream::readyRead, this, &HttpConnection::readMore);
    connect(m_socket.get(), &TcpStream::bytesWritten, this, &HttpConnection::writeMore);
    connect(m_socket.get(), &TcpStream::failed, this, &HttpConnection::finish);
}

void HttpConnection::start()
{
    armIdle();
    readMore();
}

HttpConnection::~HttpConnection()
{
    if (m_later)
        m_later->abandon();
    if (m_stream)
        m_stream->detach();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void HttpConnection::armIdle()
{
    // A client that has not got a request past the screen holds a connection briefly: many such
    // cannot keep the known ones out.
    m_idle.start(m_admitted ? m_limits.idleTimeoutMs : m_limits.firstRequestTimeoutMs);
}

void HttpConnection::readMore()
{
    if (m_state == State::Closing) {
        drainAfterClose();
        return;
    }
    // An answer that ends reading the next request comes back here through writeMore(); the loop
    // below carries on instead, so that pipelined requests do not nest calls.
    if (m_reading)
        return;
    m_reading = true;
    // One request at a time; the next is not read while an answer is still on its way out.
    while (m_state == State::Head || m_state == State::Body) {
        if (m_state == State::Head) {
            const qsizetype room = m_limits.maxHeaderBytes + 1 - m_buffer.size();
            if (room > 0)
                m_buffer += m_socket->read(room);
            if (!parseHead())
                break;
            continue;
        }
        const qsizetype missing = m_bodyLength - m_buffer.size();
        if (missing > 0)
            m_buffer += m_socket->read(missing);
        if (m_buffer.size() < m_bodyLength)
            break;
        // Handled in turn with other connections' requests, one each time the event loop comes
        // round: many busy clients cannot hold the units' datagrams up for more than one request.
        m_state = State::Waiting;
        m_socket->setReadNotifications(false);
        m_askTurn(this);
    }
    m_reading = false;
    const bool reading = m_state == State::Head || m_state == State::Body;
    if (reading && m_socket->atEnd()) {
        // The client sends no more (a half-close, or it is gone): requests it sent in full were
        // answered; one it left unfinished cannot be.
        const bool blank = m_state == State::Head && m_buffer.trimmed().isEmpty();
        if (blank)
            closeGracefully();
        else
            refuse(400, QStringLiteral("the connection ended in the middle of a request"));
        return;
    }
    if (reading)
        m_socket->setReadNotifications(true);
}

// True when a whole header block was read and the request goes on (to its body).
bool HttpConnection::parseHead()
{
    HttpRequestHead head = parseHttpRequestHead(m_buffer, m_scanned, m_limits.maxHeaderBytes);
    switch (head.outcome) {
    case HttpRequestHead::Outcome::Incomplete:
        m_scanned = head.scanned;
        return false;
    case HttpRequestHead::Outcome::Refused:
        refuse(head.status, head.message);
        return false;
    case HttpRequestHead::Outcome::Complete:
        break;
    }
    m_buffer.remove(0, head.consumed);
    m_scanned = 0;
    m_request = std::move(head.request);
    m_keepAlive = head.keepAlive;
    m_bodyLength = qsizetype(qMin<qint64>(head.bodyLength, std::numeric_limits<qsizetype>::max()));
    if (m_screen) {
        if (std::optional<HttpResponse> refusal = m_screen(m_request, m_socket->localAddress())) {
            refusal->close = true;
            respond(*std::move(refusal));
            return false;
        }
    }
    if (!m_admitted) {
        m_admitted = true;
        armIdle();
    }
    if (m_bodyLength >= m_limits.bodyLimitBytes) {
        refuse(413,
               QStringLiteral("a request body must be shorter than %1 bytes").arg(m_limits.bodyLimitBytes));
        return false;
    }
    // A client that waits to hear before it sends its body (curl does, for a large one) hears now.
    if (head.expectsContinue && m_bodyLength > m_buffer.size())
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    m_state = State::Body;
    return true;
}

void HttpConnection::takeTurn()
{
    if (m_state != State::Waiting)
        return;       // gone meanwhile
    m_reading = true; // what the answer sets off reads on below, not from within
    handleRequest();
    m_reading = false;
    if (m_state == State::Head || m_state == State::Body)
        readMore();
}

void HttpConnection::handleRequest()
{
    m_request.body = m_buffer.left(m_bodyLength);
    m_buffer.remove(0, m_bodyLength);
    HttpResponse response = m_handler(m_request);
    if (response.later) {
        // The client waits as long as the work takes: no idle time meanwhile.
        m_state = State::Working;
        m_idle.stop();
        m_later = std::move(response.later);
        m_later->whenAnswered([this](HttpResponse answer) {
            m_later.reset();
            answer.close = answer.close || !m_keepAlive;
            respond(std::move(answer));
        });
        return;
    }
    response.close = response.close || !m_keepAlive;
    respond(std::move(response));
}

void HttpConnection::respond(HttpResponse response)
{
    m_state = State::Answering;
    m_socket->setReadNotifications(false);
    armIdle();
    const bool head = m_request.isHead();
    QByteArray out = statusLine(response.status, m_request.minorVersion);
    for (const auto& [name, value] : std::as_const(response.headers))
        out += name + ": " + value + "\r\n";
    m_next = {};
    m_chunked = false;
    m_paced = response.paced;
    if (response.stream && !head) {
        m_stream = std::move(response.stream);
        m_socket->setSendBufferSize(kStreamSendBuffer);
        m_stream->attach([this](const QByteArray& piece) { writeStreamed(piece); }, [this] { endStream(); });
    }
    if (response.next || m_stream) {
        // A body of unknown length: in chunks for HTTP/1.1, to the end of the connection for 1.0.
        if (m_request.minorVersion == 1) {
            out += "Transfer-Encoding: chunked\r\n";
            m_chunked = true;
        } else {
            response.close = true;
        }
        if (!head)
            m_next = std::move(response.next);
    } else if (response.status != 204 && response.status != 304) {
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    if (response.close)
        out += "Connection: close\r\n";
    m_keepAlive = !response.close;
    out += "\r\n";
    if (!head && !response.next && !m_stream)
        out += response.body;
    m_socket->write(out);
    writeMore();
}

void HttpConnection::writeMore()
{
    if (m_state == State::Closing) {
        drainAfterClose();
        return;
    }
    if (m_state != State::Answering)
        return;
    armIdle(); // the client is reading: not idle
    while (m_next && m_socket->bytesToWrite() < kStreamLowWater) {
        const QByteArray piece = m_next();
        if (piece.isEmpty()) {
            m_next = {};
            if (m_chunked)
                m_socket->write("0\r\n\r\n");
            break;
        }
        if (m_chunked)
            m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
        else
            m_socket->write(piece);
        // bytesWritten brings us back for the next piece, after the event loop has run.
        if (m_paced)
            return;
    }
    if (m_next || m_stream)
        return;
    if (!m_keepAlive) {
        closeGracefully();
        return;
    }
    // The next request is read only once this answer has mostly left: a client that sends but
    // never reads holds no more than the output cap here.
    if (m_socket->bytesToWrite() > m_limits.maxQueuedOutputBytes)
        return;
    m_state = State::Head;
    armIdle();
    readMore(); // returns at once when called from within readMore(), whose loop goes on
}

void HttpConnection::writeStreamed(const QByteArray& piece)
{
    if (m_state != State::Answering || piece.isEmpty())
        return;
    // A client that does not read what comes costs no more than the output cap: it is dropped.
    if (m_socket->bytesToWrite() > m_limits.maxQueuedOutputBytes) {
        finish();
        return;
    }
    if (m_chunked)
        m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
    else
        m_socket->write(piece);
}

void HttpConnection::endStream()
{
    if (!m_stream)
        return;
    std::exchange(m_stream, {})->detach();
    if (m_state != State::Answering)
        return;
    if (m_chunked)
        m_socket->write("0\r\n\r\n");
    writeMore();
}

void HttpConnection::refuse(int status, const QString& message)
{
    HttpResponse response;
    response.status = status;
    response.body = errorBody(message);
    response.close = true;
    response.withHeader("Content-Type", "application/json");
    respond(std::move(response));
}

void HttpConnection::closeGracefully()
{
    m_state = State::Closing;
    m_buffer.clear();
    m_next = {};
    if (m_stream)
        std::exchange(m_stream, {})->detach();
    m_idle.stop();
    m_socket->setReadNotifications(true);
    QTimer::singleShot(kLingerMs, this, [this] {
        if (m_state == State::Closing)
            finish();
    });
    drainAfterClose();
}

void HttpConnection::drainAfterClose()
{
    if (m_state != State::Closing || m_socket->bytesToWrite() > 0)
        return; // bytesWritten brings us back
    if (!m_shutDown) {
        // The answer is out: say so, then throw away whatever the client still sends.
        m_shutDown = true;
        m_socket->shutdownWrite();
    }
    for (QByteArray sink; m_drained <= kMaxLingerBytes && !(sink = m_socket->read(4096)).isEmpty();)
        m_drained += sink.size();
    if (m_drained > kMaxLingerBytes || m_socket->atEnd() || !m_socket->isOpen())
        finish();
}

void HttpConnection::timedOut()
{
    if (m_state == State::Head && m_buffer.isEmpty()) {
        closeGracefully(); // idle between requests: nothing to say
        return;
    }
    if (m_state == State::Head || m_state == State::Body) {
        refuse(408, QStringLiteral("the request did not arrive within %1 ms").arg(m_idle.interval()));
        return;
    }
    finish(); // an answer the client stopped reading
}

void HttpConnection::finish()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_idle.stop();
    m_next = {};
    if (m_stream)
        std::exchange(m_stream, {})->detach();
    if (m_later)
        std::exchange(m_later, {})->abandon();
    m_socket->disconnect(this);
    m_socket->abort();
    if (m_closed)
        m_closed(this);
}
