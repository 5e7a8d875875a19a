#include "datagramendpoint.h"

#include "datagrampoller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
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
    const std::size_t capacity = std::size_t(m_capacity);
    if (room.bytes.size() < capacity * kBatchSize)
        room.bytes.resize(capacity * kBatchSize);
    const quint64 binding = m_binding;
    for (int handled = 0; handled < kMaxDatagramsPerWakeUp && m_fd >= 0 && m_binding == binding;) {
        for (int i = 0; i < kBatchSize; ++i) {
            room.payloads[i] = {room.bytes.data() + std::size_t(i) * capacity, capacity};
            msghdr& message = room.messages[i].msg_hdr;
            message = {};
            message.msg_name = &room.senders[i];
            message.msg_namelen = sizeof(sockaddr_in);
            message.msg_iov = &room.payloads[i];
            message.msg_iovlen = 1;
            if (m_wantDestination) {
                message.msg_control = room.controls[i].bytes;
                message.msg_controllen = sizeof room.controls[i].bytes;
            }
        }
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
        deliver(depth, n, binding);
        handled += n;
        if (n < wanted)
            break; // the queue is empty: another call would only say so
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

namespace {
// Fills `message` to send `datagram` through `to` and `control`.
void prepareMessage(const OutgoingDatagram& datagram, msghdr& message, sockaddr_in& to, iovec& payload,
                    char* control, std::size_t controlSize)
{
    to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(datagram.port);
    to.sin_addr.s_addr = htonl(datagram.address);
    payload = {const_cast<char*>(datagram.data.data()), std::size_t(datagram.data.size())};
    message = {};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    if (datagram.source != 0) {
        // The source address rides along with the datagram; the route picks the interface.
        std::memset(control, 0, controlSize);
        message.msg_control = control;
        message.msg_controllen = controlSize;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(datagram.source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
}

union SendControl {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};
} // namespace

bool DatagramEndpoint::writeFrom(quint32 source, quint32 address, quint16 port, QByteArrayView data)
{
    int error = EBADF;
    if (m_fd >= 0) {
        sockaddr_in to;
        iovec payload;
        SendControl control;
        msghdr message;
        prepareMessage({source, address, port, data}, message, to, payload, control.bytes,
                       sizeof control.bytes);
        ssize_t sent = 0;
        do {
            sent = ::sendmsg(m_fd, &message, 0);
        } while (sent < 0 && errno == EINTR);
        if (sent == data.size())
            return true;
        error = sent < 0 ? errno : EMSGSIZE;
    }
    noteSendError(error);
    return false;
}

namespace {
// Datagrams that may leave as one segmented send: the same way, and the same size.
bool sameFlow(const OutgoingDatagram& a, const OutgoingDatagram& b)
{
    return a.source == b.source && a.address == b.address && a.port == b.port &&
           a.data.size() == b.data.size();
}

union GroupControl {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(quint16))];
};
} // namespace

int DatagramEndpoint::writeMany(const OutgoingDatagram* datagrams, int count, int* errors)
{
    if (m_fd < 0) {
        std::fill(errors, errors + count, EBADF);
        noteSendError(EBADF);
        return 0;
    }
    // A message a group: one datagram, or several of one flow that the kernel cuts apart again
    // (UDP segmentation offload) after one pass through routing and the firewall for all.
    std::array<mmsghdr, kBatchSize> messages;
    std::array<sockaddr_in, kBatchSize> to;
    std::array<iovec, kBatchSize> payloads;
    std::array<GroupControl, kBatchSize> controls;
    std::array<int, kBatchSize> groupFirst;
    std::array<int, kBatchSize> groupSize;
    int left = 0;
    for (int at = 0; at < count;) {
        int groups = 0;
        int next = at;
        while (groups < kBatchSize && next < count && next - at < kBatchSize) {
            int size = 1;
            while (m_segmentOffload && next + size < count && next + size - at < kBatchSize &&
                   sameFlow(datagrams[next], datagrams[next + size]))
                ++size;
            const OutgoingDatagram& first = datagrams[next];
            for (int i = 0; i < size; ++i) {
                const OutgoingDatagram& datagram = datagrams[next + i];
                payloads[std::size_t(next - at + i)] = {const_cast<char*>(datagram.data.data()),
                                                        std::size_t(datagram.data.size())};
            }
            msghdr& message = messages[std::size_t(groups)].msg_hdr;
            sockaddr_in& address = to[std::size_t(groups)];
            address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(first.port);
            address.sin_addr.s_addr = htonl(first.address);
            message = {};
            message.msg_name = &address;
            message.msg_namelen = sizeof address;
            message.msg_iov = &payloads[std::size_t(next - at)];
            message.msg_iovlen = std::size_t(size);
            if (first.source != 0 || size > 1) {
                GroupControl& control = controls[std::size_t(groups)];
                std::memset(control.bytes, 0, sizeof control.bytes);
                message.msg_control = control.bytes;
                message.msg_controllen = sizeof control.bytes;
                cmsghdr* c = CMSG_FIRSTHDR(&message);
                std::size_t used = 0;
                if (first.source != 0) {
                    c->cmsg_level = IPPROTO_IP;
                    c->cmsg_type = IP_PKTINFO;
                    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                    in_pktinfo info{};
                    info.ipi_spec_dst.s_addr = htonl(first.source);
                    std::memcpy(CMSG_DATA(c), &info, sizeof info);
                    used += CMSG_SPACE(sizeof(in_pktinfo));
                    c = reinterpret_cast<cmsghdr*>(control.bytes + used);
                }
                if (size > 1) {
                    c->cmsg_level = SOL_UDP;
                    c->cmsg_type = UDP_SEGMENT;
                    c->cmsg_len = CMSG_LEN(sizeof(quint16));
                    const quint16 segment = quint16(first.data.size());
                    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
                    used += CMSG_SPACE(sizeof(quint16));
                }
                message.msg_controllen = used;
            }
            messages[std::size_t(groups)].msg_len = 0;
            groupFirst[std::size_t(groups)] = next;
            groupSize[std::size_t(groups)] = size;
            ++groups;
            next += size;
        }
        int sent = 0;
        do {
            sent = ::sendmmsg(m_fd, messages.data(), unsigned(groups), 0);
        } while (sent < 0 && errno == EINTR);
        if (sent <= 0) {
            const int error = sent < 0 ? errno : EIO;
            if (groupSize[0] > 1 &&
                (error == EINVAL || error == EIO || error == EOPNOTSUPP || error == ENOPROTOOPT)) {
                // A route or device that cannot cut segments: one datagram a message from now on.
                m_segmentOffload = false;
                continue;
            }
            // The first group did not leave: say why, and go on with the next.
            for (int i = 0; i < groupSize[0]; ++i)
                errors[at + i] = error;
            noteSendError(error);
            at += groupSize[0];
            continue;
        }
        for (int g = 0; g < sent; ++g) {
            std::size_t bytes = 0;
            for (int i = 0; i < groupSize[std::size_t(g)]; ++i)
                bytes += payloads[std::size_t(groupFirst[std::size_t(g)] - at + i)].iov_len;
            const bool whole =
                messages[std::size_t(g)].msg_hdr.msg_iovlen > 0 && messages[std::size_t(g)].msg_len == bytes;
            for (int i = 0; i < groupSize[std::size_t(g)]; ++i)
                errors[groupFirst[std::size_t(g)] + i] = whole ? 0 : EMSGSIZE;
            if (whole)
                left += groupSize[std::size_t(g)];
            else
                noteSendError(EMSGSIZE);
        }
        at = groupFirst[std::size_t(sent - 1)] + groupSize[std::size_t(sent - 1)];
    }
    return left;
}

void DatagramEndpoint::noteSendError(int error)
{
    // One message per kind of failure, not one per datagram: a flood must not flood stderr.
    if (error != m_lastSendError) {
        m_lastSendError = error;
        emit sendFailed(lastSendError());
    }
}

QString DatagramEndpoint::sendErrorText(int error)
{
    if (error == 0)
        return {};
    return error == EBADF ? QStringLiteral("the port is not open")
                          : QString::fromLocal8Bit(std::strerror(error));
}
