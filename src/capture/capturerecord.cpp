#include "capturerecord.h"

#include "net/datagramendpoint.h"
#include "record/unitprofiles.h"

#include <QtEndian>

std::optional<CaptureRecord> captureRecordFor(const TrafficLogEntry& entry, quint32 unitAddress)
{
    // Fault lines are no datagrams, and a reply that did not leave was never on the wire.
    if (!entry.isDatagram())
        return std::nullopt;
    const quint16 localPort = entry.simulatorPort();
    CaptureRecord record;
    record.timeUs = entry.timeUs;
    record.payload = entry.payload();
    // A proxy unit's legs to the real unit go from and to its relay's port (at the unit's address).
    if (entry.isIncoming() || entry.kind == TrafficLogEntry::Kind::RelayIn) {
        record.source = entry.address;
        record.sourcePort = entry.remotePort;
        record.destination = unitAddress;
        record.destinationPort = localPort;
    } else {
        record.source = unitAddress;
        record.sourcePort = localPort;
        record.destination = entry.address;
        record.destinationPort = entry.remotePort;
        record.ttl = DatagramEndpoint::kHopLimit;
    }
    return record;
}

qsizetype buildIpv4Udp(const CaptureRecord& record, char* out, qsizetype capacity)
{
    const qsizetype size = kIpv4UdpHeaders + record.payload.size();
    if (size > capacity || size > 0xFFFF)
        return 0;
    auto* p = reinterpret_cast<uchar*>(out);
    p[0] = 0x45; // version 4, 20-byte header
    p[1] = 0;
    qToBigEndian(quint16(size), p + 2);
    qToBigEndian(quint16(0), p + 4);      // identification
    qToBigEndian(quint16(0x4000), p + 6); // don't fragment
    p[8] = record.ttl;
    p[9] = 17; // UDP
    qToBigEndian(quint16(0), p + 10);
    qToBigEndian(record.source, p + 12);
    qToBigEndian(record.destination, p + 16);
    quint32 sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += quint32(p[i] << 8 | p[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    qToBigEndian(quint16(~sum), p + 10);

    uchar* udp = p + 20;
    qToBigEndian(record.sourcePort, udp);
    qToBigEndian(record.destinationPort, udp + 2);
    qToBigEndian(quint16(8 + record.payload.size()), udp + 4);
    qToBigEndian(quint16(0), udp + 6);
    std::copy_n(record.payload.data(), record.payload.size(), out + kIpv4UdpHeaders);
    return size;
}
