#include "datagramendpoint.h"

#include "datagrampoller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Room for bursts: a controller's stress test must not be dropped by the kernel while the
// event thread is busy painting. The kernel caps it at net.core.rmem_max.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Datagrams handled per wake-up before the event loop gets its turn again, so that a flood on
// one endpoint cannot starve the other one or the window.
constexpr int kMaxDatagramsPerWakeUp = 256;

QString describeErrno(int error)
{
    switch (error) {
    case EADDRINUSE:
        return QStringLiteral("the port is in use by another program");
    case EACCES:
        return QStringLiteral("permission denied");
    case EADDRNOTAVAIL:
        return QStringLiteral("the address is not on any interface of this machine");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

void setIntOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

void enlargeReceiveBuffer(int fd)
{
    // Beyond net.core.rmem_max only where the process may (CAP_NET_ADMIN); otherwise the
    // kernel's cap applies.
#ifdef SO_RCVBUFFORCE
    const int bytes = kReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return;
#endif
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes);
}
} // namespace

DatagramEndpoint::DatagramEndpoint(qsizetype capacity, QObject* parent)
    : DatagramEndpoint(capacity, nullptr, parent)
{
}

DatagramEndpoint::DatagramEndpoint(qsizetype capacity, DatagramPoller* poller, QObject* parent)
    : QObject(parent)
    , m_poller(poller && poller->isValid() ? poller : nullptr)
    , m_buffer(qMax<qsizetype>(capacity, 1), Qt::Uninitialized)
{
}

DatagramEndpoint::~DatagramEndpoint()
{
    close();
}

void DatagramEndpoint::close()
{
    if (m_fd < 0)
        return;
    if (m_pollerKey >= 0 && m_poller)
        m_poller->remove(m_pollerKey, m_fd);
    m_pollerKey = -1;
    m_notifier.reset();
    ::close(m_fd);
    m_fd = -1;
    m_localPort = 0;
}

bool DatagramEndpoint::bind(const QHostAddress& address, quint16 port, Sharing sharing)
{
    close();
    m_port = port;
    m_bindError.clear();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_bindError = describeErrno(errno);
        emit bindStateChanged();
        return false;
    }
    // Exclusive: no SO_REUSEADDR, so a port another program holds is refused.
    if (sharing == Sharing::Shared)
        setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    // Replies may go to a broadcast address (a controller that asks from one).
    setIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1);
    setIntOption(fd, IPPROTO_IP, IP_TTL, kHopLimit);
    setIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, kHopLimit);
    setIntOption(fd, IPPROTO_IP, IP_PKTINFO, m_wantDestination ? 1 : 0);
    enlargeReceiveBuffer(fd);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address.toIPv4Address());
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        m_bindError = describeErrno(errno);
        ::close(fd);
        emit bindStateChanged();
        return false;
    }
    m_fd = fd;
    m_localPort = ntohs(local.sin_port);
    watch();
    emit bindStateChanged();
    return true;
}

void DatagramEndpoint::watch()
{
    if (m_poller) {
        m_pollerKey = m_poller->add(m_fd, this);
        if (m_pollerKey >= 0)
            return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &DatagramEndpoint::drain);
}

void DatagramEndpoint::poll()
{
    drain();
}

void DatagramEndpoint::drain()
{
    // An endpoint that failed to bind has nothing to deliver. A receiver that polls from inside
    // its own handler must not recurse into delivery.
    if (m_draining || m_fd < 0)
        return;
    m_draining = true;
    char* const buffer = m_buffer.data();
    for (int i = 0; i < kMaxDatagramsPerWakeUp && m_fd >= 0; ++i) {
        sockaddr_in sender{};
        iovec payload{buffer, std::size_t(m_buffer.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &payload;
        message.msg_iovlen = 1;
        if (m_wantDestination) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
        }
        // The kernel drops whatever of a longer payload does not fit the buffer.
        const ssize_t n = ::recvmsg(m_fd, &message, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            continue; // an interrupted call, or an error queued by the network: read on
        }
        m_datagram.destination = 0;
        m_datagram.local = 0;
        m_datagram.interfaceIndex = 0;
        if (m_wantDestination) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    m_datagram.destination = ntohl(info.ipi_addr.s_addr);
                    m_datagram.local = ntohl(info.ipi_spec_dst.s_addr);
                    m_datagram.interfaceIndex = info.ipi_ifindex;
                }
            }
        }
        m_datagram.address.setAddress(ntohl(sender.sin_addr.s_addr));
        m_datagram.port = ntohs(sender.sin_port);
        m_datagram.data = QByteArrayView(buffer, qsizetype(n));
        emit datagramReceived(m_datagram);
    }
    m_draining = false;
}

bool DatagramEndpoint::writeFrom(quint32 source, quint32 address, quint16 port, QByteArrayView data)
{
    int error = EBADF;
    if (m_fd >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        iovec payload{const_cast<char*>(data.data()), std::size_t(data.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &payload;
        message.msg_iovlen = 1;
        if (source != 0) {
            // The source address rides along with the datagram; the route picks the interface.
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = htonl(source);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        ssize_t sent = 0;
        do {
            sent = ::sendmsg(m_fd, &message, 0);
        } while (sent < 0 && errno == EINTR);
        if (sent == data.size())
            return true;
        error = sent < 0 ? errno : EMSGSIZE;
    }
    // One message per kind of failure, not one per datagram: a flood must not flood stderr.
    if (error != m_lastSendError) {
        m_lastSendError = error;
        emit sendFailed(lastSendError());
    }
    return false;
}

QString DatagramEndpoint::lastSendError() const
{
    if (m_lastSendError == 0)
        return {};
    return m_lastSendError == EBADF ? QStringLiteral("the port is not open")
                                    : QString::fromLocal8Bit(std::strerror(m_lastSendError));
}
