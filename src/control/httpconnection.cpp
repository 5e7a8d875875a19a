#include "httpconnection.h"

#include <QUrl>

#include <sys/socket.h>

namespace {
// After a refusal the client may still be sending (a body nobody will read): what comes is read
// and thrown away for a while, so that the answer is not lost to a reset, then the connection ends.
constexpr int kLingerMs = 2000;
constexpr qint64 kMaxLingerBytes = 1024 * 1024;
// Pieces of a streamed body are asked for while less than this waits to be sent.
constexpr qint64 kStreamLowWater = 64 * 1024;

QByteArray statusLine(int status, int minorVersion)
{
    return "HTTP/1." + QByteArray::number(minorVersion) + ' ' + QByteArray::number(status) + ' ' +
           httpReasonPhrase(status) + "\r\n";
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

// A Content-Length value: digits only. One too large for any use reads as the largest number.
std::optional<qint64> contentLength(const QByteArray& value)
{
    if (value.isEmpty())
        return std::nullopt;
    qint64 length = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length > (std::numeric_limits<qint64>::max() - 9) / 10 ? std::numeric_limits<qint64>::max()
                                                                        : length * 10 + (c - '0');
    }
    return length;
}

QByteArray errorBody(const QString& message)
{
    QByteArray escaped = message.toUtf8();
    escaped.replace('\\', "\\\\");
    escaped.replace('"', "\\\"");
    return "{\"error\":\"" + escaped + "\"}";
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
    // The header block ends at the first empty line; lines end in CRLF, or a bare LF.
    qsizetype end = -1;
    qsizetype bodyStart = -1;
    for (qsizetype i = qMax<qsizetype>(m_scanned, 0); i < m_buffer.size(); ++i) {
        if (m_buffer[i] != '\n')
            continue;
        const qsizetype next = i + 1;
        if (next < m_buffer.size() && m_buffer[next] == '\n') {
            end = next;
            bodyStart = next + 1;
            break;
        }
        if (next + 1 < m_buffer.size() && m_buffer[next] == '\r' && m_buffer[next + 1] == '\n') {
            end = next + 1;
            bodyStart = next + 2;
            break;
        }
    }
    if (end < 0) {
        m_scanned = qMax<qsizetype>(m_buffer.size() - 2, 0);
        if (m_buffer.size() > m_limits.maxHeaderBytes)
            refuse(431, QStringLiteral("the request's header block is longer than %1 bytes")
                            .arg(m_limits.maxHeaderBytes));
        return false;
    }
    if (bodyStart - 1 > m_limits.maxHeaderBytes) {
        refuse(431, QStringLiteral("the request's header block is longer than %1 bytes")
                        .arg(m_limits.maxHeaderBytes));
        return false;
    }
    // Blank lines before a request are allowed (RFC 9112, 2.2).
    QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, bodyStart);
    m_scanned = 0;
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.first().isEmpty())
        lines.removeFirst();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the empty line that ends the block
    if (lines.isEmpty())    // nothing but blank lines: what follows them (already in the buffer, or
        return m_state == State::Head; // still to come) is the request

    m_request = HttpRequest();
    const QList<QByteArray> parts = lines.takeFirst().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty()) {
        refuse(400, QStringLiteral("a request line is METHOD TARGET HTTP/1.1"));
        return false;
    }
    m_request.method = parts[0];
    m_request.target = parts[1];
    if (parts[2] == "HTTP/1.1") {
        m_request.minorVersion = 1;
    } else if (parts[2] == "HTTP/1.0") {
        m_request.minorVersion = 0;
    } else {
        refuse(parts[2].startsWith("HTTP/") ? 505 : 400,
               QStringLiteral("this server speaks HTTP/1.1 and HTTP/1.0"));
        return false;
    }
    const QUrl url(QString::fromLatin1(m_request.target), QUrl::StrictMode);
    if (!m_request.target.startsWith('/') || !url.isValid()) {
        refuse(400, QStringLiteral("the request target must be a path"));
        return false;
    }
    m_request.path = url.path(QUrl::FullyDecoded);
    m_request.query = QUrlQuery(url);

    for (const QByteArray& line : std::as_const(lines)) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon))) {
            // A folded line (RFC 9112 5.2) or no field at all.
            refuse(400, QStringLiteral("a header line is NAME: VALUE"));
            return false;
        }
        m_request.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    }

    // Requests are read to their end by length only: a body of another framing, or two lengths
    // that a proxy and this server could read differently, are refused.
    m_keepAlive = m_request.minorVersion == 1;
    qsizetype lengths = 0;
    for (const auto& [name, value] : std::as_const(m_request.headers)) {
        if (name == "content-length")
            ++lengths;
        else if (name == "transfer-encoding") {
            refuse(501, QStringLiteral("request bodies must come with Content-Length"));
            return false;
        } else if (name == "connection") {
            const QByteArray options = value.toLower();
            if (options.contains("close"))
                m_keepAlive = false;
            else if (options.contains("keep-alive"))
                m_keepAlive = true;
        }
    }
    if (lengths > 1) {
        refuse(400, QStringLiteral("Content-Length is given more than once"));
        return false;
    }
    m_bodyLength = 0;
    if (lengths == 1) {
        const std::optional<qint64> length = contentLength(m_request.header("content-length"));
        if (!length) {
            refuse(400, QStringLiteral("Content-Length must be a number of bytes"));
            return false;
        }
        m_bodyLength = qsizetype(qMin<qint64>(*length, std::numeric_limits<qsizetype>::max()));
    }
    if (m_request.minorVersion == 1 && m_request.header("host").isNull()) {
        refuse(400, QStringLiteral("an HTTP/1.1 request must name its Host"));
        return false;
    }
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
    if (response.next) {
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
    if (!head && !response.next)
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
    if (m_next)
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
    if (m_later)
        std::exchange(m_later, {})->abandon();
    m_socket->disconnect(this);
    m_socket->abort();
    if (m_closed)
        m_closed(this);
}
