#include "httpserver.h"

#include "httpconnection.h"

#include "tcpstream.h"

#include <QElapsedTimer>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// How long accepting rests after accept() failed (out of file descriptors, say).
constexpr int kAcceptPauseMs = 100;
// Connections taken per wake-up, so that a flood of them cannot hold the event loop.
constexpr int kMaxAcceptsPerWakeUp = 64;
constexpr int kListenBacklog = 128;
// Connections being told 503 at once; past this a connection is closed without an answer, so
// that a flood of them costs no more than this.
constexpr int kMaxRefusing = 64;
// A request that takes this long or more is followed by a rest as long.
constexpr qint64 kRestAfterMs = 1;
} // namespace

QByteArray httpReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

HttpServer::HttpServer(Screen screen, Handler handler, QObject* parent)
    : QObject(parent)
    , m_screen(std::move(screen))
    , m_handler(std::move(handler))
{
    m_acceptPause.setSingleShot(true);
    m_acceptPause.setInterval(kAcceptPauseMs);
    connect(&m_acceptPause, &QTimer::timeout, this, [this] {
        if (m_notifier)
            m_notifier->setEnabled(true);
    });
}

HttpServer::~HttpServer()
{
    // The connections refer to the limits, screen and handler: they go first.
    qDeleteAll(findChildren<HttpConnection*>(Qt::FindDirectChildrenOnly));
    close();
}

void HttpServer::close()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_port = 0;
}

bool HttpServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    close();
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (!v6 && address.protocol() != QAbstractSocket::IPv4Protocol) {
        if (error)
            *error = QStringLiteral("not an IP address");
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = 0;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = uint32_t(address.scopeId().toUInt());
        length = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    }
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    // An IPv6 address is that address alone, never IPv4's as well.
    const bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    (!v6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0) &&
                    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), length) == 0 &&
                    ::listen(fd, kListenBacklog) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    if (!ok) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    m_address = address;
    m_port = ntohs(v6 ? reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port
                      : reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &HttpServer::acceptConnections);
    return true;
}

void HttpServer::queueTurn(HttpConnection* connection)
{
    m_turns.emplace_back(connection);
    if (!m_turnPosted) {
        m_turnPosted = true;
        QMetaObject::invokeMethod(this, &HttpServer::serveTurn, Qt::QueuedConnection);
    }
}

void HttpServer::serveTurn()
{
    m_turnPosted = false;
    QElapsedTimer took;
    took.start();
    while (!m_turns.empty()) {
        const QPointer<HttpConnection> next = m_turns.front();
        m_turns.pop_front();
        if (next) {
            next->takeTurn();
            break;
        }
    }
    if (m_turns.empty() || m_turnPosted)
        return;
    m_turnPosted = true;
    // A request that took a while is followed by as long a rest: however busy its callers, the
    // API takes at most about half of the event loop's time from the units.
    const qint64 restMs = took.elapsed();
    if (restMs >= kRestAfterMs)
        QTimer::singleShot(int(restMs), this, &HttpServer::serveTurn);
    else
        QMetaObject::invokeMethod(this, &HttpServer::serveTurn, Qt::QueuedConnection);
}

QString HttpServer::refusalFor(const QHostAddress& peer) const
{
    if (m_connections >= m_limits.maxConnections)
        return QStringLiteral("the control API serves at most %1 connections at once")
            .arg(m_limits.maxConnections);
    const bool loopback = peer.isLoopback();
    if (!loopback && m_connections >= m_limits.maxConnections - m_limits.loopbackReserve)
        return QStringLiteral("the control API serves at most %1 connections at once, the last %2 for "
                              "callers on its own machine")
            .arg(m_limits.maxConnections)
            .arg(m_limits.loopbackReserve);
    if (m_byPeer.value(peer) >= m_limits.maxConnectionsPerAddress)
        return QStringLiteral("the control API serves at most %1 connections from one address")
            .arg(m_limits.maxConnectionsPerAddress);
    return {};
}

void HttpServer::acceptConnections()
{
    for (int i = 0; i < kMaxAcceptsPerWakeUp; ++i) {
        sockaddr_storage peerAddress{};
        socklen_t peerLength = sizeof peerAddress;
        const int descriptor = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peerAddress), &peerLength,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of file descriptors (or memory): the socket stays readable, and trying
                // again at once would spin. Rest; the kernel holds the clients meanwhile.
                m_notifier->setEnabled(false);
                m_acceptPause.start();
            }
            return;
        }
        const QHostAddress peer(reinterpret_cast<const sockaddr*>(&peerAddress));
        const QString refusal = refusalFor(peer);
        if (!refusal.isEmpty() && m_refusing >= kMaxRefusing) {
            ::close(descriptor);
            continue;
        }
        auto socket = std::make_unique<TcpStream>(descriptor);
        if (refusal.isEmpty()) {
            ++m_connections;
            ++m_byPeer[peer];
        } else {
            ++m_refusing;
        }
        auto* connection = new HttpConnection(
            std::move(socket), m_limits, m_screen, m_handler,
            [this](HttpConnection* ready) { queueTurn(ready); },
            [this, peer, served = refusal.isEmpty()](HttpConnection* done) {
                if (served) {
                    --m_connections;
                    if (--m_byPeer[peer] <= 0)
                        m_byPeer.remove(peer);
                } else {
                    --m_refusing;
                }
                done->deleteLater();
            },
            this);
        // Past the cap a client is told so at once, and nothing it sends is read.
        if (refusal.isEmpty())
            connection->start();
        else
            connection->refuse(503, refusal);
    }
}
