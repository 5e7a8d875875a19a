#include "spoofedsender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

bool canSpoof()
{
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool sendSpoofedUdp(quint32 source, quint16 sourcePort, quint32 destination, quint16 destinationPort,
                    const QByteArray& payload)
{
    // IP_HDRINCL: this socket writes the IPv4 header too, source address included.
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    QByteArray packet(20 + 8 + payload.size(), '\0');
    auto* p = reinterpret_cast<unsigned char*>(packet.data());
    const auto put16 = [](unsigned char* at, quint16 value) {
        at[0] = quint8(value >> 8);
        at[1] = quint8(value);
    };
    const auto put32 = [](unsigned char* at, quint32 value) {
        at[0] = quint8(value >> 24);
        at[1] = quint8(value >> 16);
        at[2] = quint8(value >> 8);
        at[3] = quint8(value);
    };
    p[0] = 0x45;
    put16(p + 2, quint16(packet.size()));
    p[8] = 64;
    p[9] = IPPROTO_UDP;
    put32(p + 12, source);
    put32(p + 16, destination);
    // The kernel fills in the header checksum; a UDP checksum of 0 means none.
    put16(p + 20, sourcePort);
    put16(p + 22, destinationPort);
    put16(p + 24, quint16(8 + payload.size()));
    std::memcpy(p + 28, payload.constData(), std::size_t(payload.size()));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(destination);
    const bool sent = ::sendto(fd, packet.constData(), std::size_t(packet.size()), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to) == packet.size();
    ::close(fd);
    return sent;
}
