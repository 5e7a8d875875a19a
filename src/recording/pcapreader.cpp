#include "pcapreader.h"

#include <QFile>
#include <QtEndian>

#include <pcap/pcap.h>

namespace {
constexpr quint16 kEtherTypeIpv4 = 0x0800;

quint16 be16(const uchar* p)
{
    return qFromBigEndian<quint16>(p);
}

// Where the IPv4 header starts in a packet of this link type, or -1 when it carries no IPv4.
qsizetype ipv4Offset(int linkType, const uchar* data, qsizetype length)
{
    switch (linkType) {
    case DLT_EN10MB: {
        qsizetype offset = 12;
        // 802.1Q and 802.1ad tags, stacked.
        while (offset + 2 <= length && (be16(data + offset) == 0x8100 || be16(data + offset) == 0x88A8 ||
                                        be16(data + offset) == 0x9100))
            offset += 4;
        if (offset + 2 > length || be16(data + offset) != kEtherTypeIpv4)
            return -1;
        return offset + 2;
    }
    case DLT_LINUX_SLL:
        return length >= 16 && be16(data + 14) == kEtherTypeIpv4 ? 16 : -1;
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
        return length >= 20 && be16(data) == kEtherTypeIpv4 ? 20 : -1;
#endif
    case DLT_NULL: {
        // The address family in the recording host's byte order: 2 is AF_INET everywhere.
        if (length < 4)
            return -1;
        const quint32 family = qFromLittleEndian<quint32>(data);
        return family == 2 || qFromBigEndian<quint32>(data) == 2 ? 4 : -1;
    }
    case DLT_LOOP:
        return length >= 4 && qFromBigEndian<quint32>(data) == 2 ? 4 : -1;
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
#endif
        return 0;
    default:
        return -2;
    }
}

bool knownLinkType(int linkType)
{
    return ipv4Offset(linkType, nullptr, 0) != -2;
}
} // namespace

std::optional<CapturedDatagram> datagramFromPacket(int linkType, const uchar* data, qsizetype capturedLength)
{
    const qsizetype ip = ipv4Offset(linkType, data, capturedLength);
    if (ip < 0 || capturedLength < ip + 20)
        return std::nullopt;
    const uchar* header = data + ip;
    const qsizetype headerLength = qsizetype(header[0] & 0x0F) * 4;
    if ((header[0] >> 4) != 4 || headerLength < 20 || header[9] != 17)
        return std::nullopt;
    // A fragment holds only part of a datagram.
    if ((be16(header + 6) & 0x3FFF) != 0)
        return std::nullopt;
    // Ethernet pads short packets: the IP total length says where the packet really ends.
    const qsizetype totalLength = be16(header + 2);
    const qsizetype udp = ip + headerLength;
    if (totalLength < headerLength + 8 || capturedLength < udp + 8)
        return std::nullopt;
    const qsizetype udpLength = be16(data + udp + 4);
    if (udpLength < 8 || udpLength > totalLength - headerLength)
        return std::nullopt;
    const qsizetype payloadLength = udpLength - 8;
    const qsizetype kept = std::min(payloadLength, capturedLength - udp - 8);

    CapturedDatagram datagram;
    datagram.source = qFromBigEndian<quint32>(header + 12);
    datagram.destination = qFromBigEndian<quint32>(header + 16);
    datagram.sourcePort = be16(data + udp);
    datagram.destinationPort = be16(data + udp + 2);
    datagram.payload = QByteArray(reinterpret_cast<const char*>(data + udp + 8), kept);
    // Only the datagram counts: a recorder that cut Ethernet padding cut nothing of it.
    datagram.complete = kept == payloadLength;
    return datagram;
}

std::optional<CaptureContents> readCapture(const QString& path, QString* error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(QFile::encodeName(path).constData(),
                                                           PCAP_TSTAMP_PRECISION_MICRO, message);
    if (!pcap) {
        *error = QString::fromLocal8Bit(message);
        return std::nullopt;
    }
    const int linkType = pcap_datalink(pcap);
    if (!knownLinkType(linkType)) {
        const char* name = pcap_datalink_val_to_name(linkType);
        *error = QStringLiteral(
                     "link type %1 (%2) is not one this reads: Ethernet, Linux cooked, raw IP or loopback")
                     .arg(name ? QString::fromLatin1(name) : QStringLiteral("unknown"))
                     .arg(linkType);
        pcap_close(pcap);
        return std::nullopt;
    }
    CaptureContents contents;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    int frame = 0;
    while ((status = pcap_next_ex(pcap, &header, &data)) == 1) {
        ++frame;
        std::optional<CapturedDatagram> datagram =
            datagramFromPacket(linkType, data, qsizetype(header->caplen));
        if (!datagram) {
            ++contents.skipped;
            continue;
        }
        datagram->frame = frame;
        datagram->timeUs = qint64(header->ts.tv_sec) * 1000000 + qint64(header->ts.tv_usec);
        contents.datagrams.append(std::move(*datagram));
    }
    if (status == PCAP_ERROR) {
        // A file cut short (a capture still being written, say): say so rather than pretend.
        *error = QString::fromLocal8Bit(pcap_geterr(pcap));
        pcap_close(pcap);
        return std::nullopt;
    }
    pcap_close(pcap);
    return contents;
}
