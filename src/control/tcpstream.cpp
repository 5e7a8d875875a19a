#include "tcpstream.h"

#include <QMetaObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

TcpStream::TcpStream(int fd, QObject* parent)
    : QObject(parent)
    , m_fd(fd)
    , m_readable(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read))
    , m_writable(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write))
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        m_local = QHostAddress(reinterpret_cast<const sockaddr*>(&local));
    m_writable->setEnabled(false);
    connect(m_readable.get(), &QSocketNotifier::activated, this, &TcpStream::readyRead);
    connect(m_writable.get(), &QSocketNotifier::activated, this, &TcpStream::sendQueued);
}

TcpStream::~TcpStream()
{
    abort();
}

QByteArray TcpStream::read(qsizetype max)
{
    if (m_fd < 0 || m_readEnded || max <= 0)
        return {};
    QByteArray bytes(max, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::recv(m_fd, bytes.data(), size_t(max), 0);
        if (n > 0) {
            bytes.truncate(n);
            return bytes;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // The client's end of sending; the socket stays readable from now on, for nothing.
            m_readEnded = true;
            m_readable->setEnabled(false);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            fail();
        }
        return {};
    }
}

void TcpStream::setReadNotifications(bool enabled)
{
    if (m_fd >= 0)
        m_readable->setEnabled(enabled && !m_readEnded);
}

void TcpStream::write(QByteArrayView bytes)
{
    if (m_fd < 0 || m_broken || bytes.isEmpty())
        return;
    if (m_outSent > 0 && m_outSent >= m_out.size() / 2) {
        m_out.remove(0, m_outSent);
        m_outSent = 0;
    }
    m_out.append(bytes);
    m_writable->setEnabled(true);
}

void TcpStream::setSendBufferSize(int bytes)
{
    if (m_fd >= 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void TcpStream::sendQueued()
{
    qint64 sent = 0;
    while (m_fd >= 0 && m_outSent < m_out.size()) {
        const ssize_t n =
            ::send(m_fd, m_out.constData() + m_outSent, size_t(m_out.size() - m_outSent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail();
            break;
        }
        m_outSent += n;
        sent += n;
    }
    if (m_fd >= 0 && m_outSent == m_out.size()) {
        m_out.clear();
        m_outSent = 0;
        m_writable->setEnabled(false);
        if (m_shutdownPending) {
            m_shutdownPending = false;
            ::shutdown(m_fd, SHUT_WR);
        }
    }
    if (sent > 0)
        emit bytesWritten(sent);
}

void TcpStream::shutdownWrite()
{
    if (m_fd < 0)
        return;
    if (bytesToWrite() > 0)
        m_shutdownPending = true;
    else
        ::shutdown(m_fd, SHUT_WR);
}

void TcpStream::fail()
{
    if (m_broken)
        return;
    m_broken = true;
    m_readEnded = true;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    m_out.clear();
    m_outSent = 0;
    // Told from the event loop: the reader may be in the middle of reading.
    QMetaObject::invokeMethod(this, &TcpStream::failed, Qt::QueuedConnection);
}

void TcpStream::abort()
{
    if (m_fd < 0)
        return;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    m_out.clear();
    m_outSent = 0;
}
