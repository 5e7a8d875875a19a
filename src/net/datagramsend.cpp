// The sending side of DatagramEndpoint: one datagram, or many to a system call.
#include "datagramendpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {
// Room for a message's source address and, for a segmented send, its segment size.
union GroupControl {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(quint16))];
};

// Datagrams that may leave as one segmented send: the same way, and the same size.
bool sameFlow(const OutgoingDatagram& a, const OutgoingDatagram& b)
{
    return a.source == b.source && a.address == b.address && a.port == b.port &&
           a.data.size() == b.data.size();
}

// Fills `message` to send the `count` datagrams of one flow whose payloads are at `payloads`:
// from `first.source` (0: whichever the route gives) to its address, and when there are several,
// as one send the kernel cuts into them again.
void prepareGroup(const OutgoingDatagram& first, int count, iovec* payloads, msghdr& message, sockaddr_in& to,
                  GroupControl& control)
{
    to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(first.port);
    to.sin_addr.s_addr = htonl(first.address);
    message = {};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = payloads;
    message.msg_iovlen = std::size_t(count);
    if (first.source == 0 && count == 1)
        return;
    std::memset(control.bytes, 0, sizeof control.bytes);
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    std::size_t used = 0;
    if (first.source != 0) {
        // The source address rides along with the datagram; the route picks the interface.
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(first.source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        used += CMSG_SPACE(sizeof(in_pktinfo));
        c = reinterpret_cast<cmsghdr*>(control.bytes + used);
    }
    if (count > 1) {
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(quint16));
        const quint16 segment = quint16(first.data.size());
        std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        used += CMSG_SPACE(sizeof(quint16));
    }
    message.msg_controllen = used;
}
} // namespace

bool DatagramEndpoint::writeFrom(quint32 source, quint32 address, quint16 port, QByteArrayView data)
{
    const OutgoingDatagram datagram{source, address, port, data};
    int error = 0;
    return writeMany(&datagram, 1, &error) == 1;
}

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
        // Up to kBatchSize datagrams from `at`, in as many groups as their flows make.
        int groups = 0;
        for (int next = at; next < count && next - at < kBatchSize; ++groups) {
            int size = 1;
            while (m_segmentOffload && next + size < count && next + size - at < kBatchSize &&
                   sameFlow(datagrams[next], datagrams[next + size]))
                ++size;
            for (int i = 0; i < size; ++i)
                payloads[std::size_t(next - at + i)] = {const_cast<char*>(datagrams[next + i].data.data()),
                                                        std::size_t(datagrams[next + i].data.size())};
            const auto g = std::size_t(groups);
            prepareGroup(datagrams[next], size, &payloads[std::size_t(next - at)], messages[g].msg_hdr, to[g],
                         controls[g]);
            messages[g].msg_len = 0;
            groupFirst[g] = next;
            groupSize[g] = size;
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
            std::fill(errors + at, errors + at + groupSize[0], error);
            noteSendError(error);
            at += groupSize[0];
            continue;
        }
        for (int g = 0; g < sent; ++g) {
            const std::size_t group = std::size_t(g);
            std::size_t bytes = 0;
            for (int i = 0; i < groupSize[group]; ++i)
                bytes += payloads[std::size_t(groupFirst[group] - at + i)].iov_len;
            const bool whole = messages[group].msg_len == bytes;
            std::fill(errors + groupFirst[group], errors + groupFirst[group] + groupSize[group],
                      whole ? 0 : EMSGSIZE);
            if (whole)
                left += groupSize[group];
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
