#include "datagramendpoint.h"

#include "datagrampoller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

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
    , m_capacity(qMax<qsizetype>(capacity, 1))
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
    ++m_binding;
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
    ++m_binding;
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

namespace {
// Where one drain receives: the headers, senders and control space of a batch, and its payloads
// side by side. One a depth of nested drains (a handler may poll another endpoint), shared by
// every endpoint of the thread: a fleet's thousands of endpoints need no room of their own.
struct ReceiveRoom {
    union Control {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    };
    std::array<mmsghdr, DatagramEndpoint::kBatchSize> messages;
    std::array<iovec, DatagramEndpoint::kBatchSize> payloads;
    std::array<sockaddr_in, DatagramEndpoint::kBatchSize> senders;
    std::array<Control, DatagramEndpoint::kBatchSize> controls;
    std::vector<char> bytes;
    // What the headers are set up for; the kernel changes only the lengths of those it filled.
    std::size_t capacity = 0;
    bool wantDestination = false;

    void prepare(std::size_t payloadCapacity, bool destination)
    {
        if (capacity == payloadCapacity && wantDestination == destination)
            return;
        capacity = payloadCapacity;
        wantDestination = destination;
        if (bytes.size() < capacity * DatagramEndpoint::kBatchSize)
            bytes.resize(capacity * DatagramEndpoint::kBatchSize);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            payloads[i] = {bytes.data() + i * capacity, capacity};
            msghdr& message = messages[i].msg_hdr;
            message = {};
            message.msg_name = &senders[i];
            message.msg_iov = &payloads[i];
            message.msg_iovlen = 1;
            if (destination)
                message.msg_control = controls[i].bytes;
            reset(i);
        }
    }
    // Ready to take a datagram again after one was received into it.
    void reset(std::size_t i)
    {
        msghdr& message = messages[i].msg_hdr;
        message.msg_namelen = sizeof(sockaddr_in);
        message.msg_controllen = wantDestination ? sizeof controls[i].bytes : 0;
        message.msg_flags = 0;
    }
};

thread_local std::vector<std::unique_ptr<ReceiveRoom>> receiveRooms;
thread_local int drainDepth = 0;

ReceiveRoom& receiveRoom(int depth)
{
    while (int(receiveRooms.size()) <= depth)
        receiveRooms.push_back(std::make_unique<ReceiveRoom>());
    return *receiveRooms[std::size_t(depth)];
}
} // namespace

void DatagramEndpoint::drain()
{
    // An endpoint that failed to bind has nothing to deliver. A receiver that polls from inside
    // its own handler must not recurse into delivery.
    if (m_draining || m_fd < 0)
        return;
    m_draining = true;
    const int depth = drainDepth++;
    ReceiveRoom& room = receiveRoom(depth);
    room.prepare(std::size_t(m_capacity), m_wantDestination);
    const quint64 binding = m_binding;
    for (int handled = 0; handled < kMaxDatagramsPerWakeUp && m_fd >= 0 && m_binding == binding;) {
        // The kernel drops whatever of a longer payload does not fit its room.
        const int wanted = std::min(kBatchSize, kMaxDatagramsPerWakeUp - handled);
        const int n = ::recvmmsg(m_fd, room.messages.data(), unsigned(wanted), MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            ++handled; // an interrupted call, or an error queued by the network: read on
            continue;
        }
        if (n == 0)
            break;
        // Read again after the replies left, even when this batch emptied the queue: a client
        // that answers at once (on this CPU, say) has its next request in by then, which is
        // cheaper to read now than after a trip through the event loop.
        deliver(depth, n, binding);
        for (int i = 0; i <= n && i < kBatchSize; ++i)
            room.reset(std::size_t(i)); // and the one the kernel found nothing for
        handled += n;
    }
    --drainDepth;
    m_draining = false;
}

void DatagramEndpoint::deliver(int depth, int count, quint64 binding)
{
    ReceiveRoom& room = receiveRoom(depth);
    if (m_observer)
        m_observer->drainBegins();
    // A handler may close or re-bind the endpoint: what the old socket brought goes with it.
    for (int i = 0; i < count && m_binding == binding; ++i) {
        msghdr& message = room.messages[i].msg_hdr;
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
        const sockaddr_in& sender = room.senders[i];
        m_datagram.address.setAddress(ntohl(sender.sin_addr.s_addr));
        m_datagram.port = ntohs(sender.sin_port);
        const std::size_t length = std::min<std::size_t>(room.messages[i].msg_len, room.payloads[i].iov_len);
        m_datagram.data =
            QByteArrayView(static_cast<const char*>(room.payloads[i].iov_base), qsizetype(length));
        emit datagramReceived(m_datagram);
    }
    if (m_observer)
        m_observer->drainEnds();
}
