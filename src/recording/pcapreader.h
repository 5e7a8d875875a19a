#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// A UDP datagram over IPv4 read from a capture.
struct CapturedDatagram {
    int frame = 0; // the packet's number in the file, from 1, as Wireshark counts
    qint64 timeUs = 0;
    quint32 source = 0; // IPv4, host byte order
    quint16 sourcePort = 0;
    quint32 destination = 0;
    quint16 destinationPort = 0;
    QByteArray payload;
    // False when the capture kept fewer bytes than the datagram had.
    bool complete = true;
};

struct CaptureContents {
    QList<CapturedDatagram> datagrams;
    // Packets that are not UDP over IPv4, or that are cut before their UDP header, or fragments.
    int skipped = 0;
};

// Reads a pcap or pcapng file with libpcap. Link types as recorded on a LAN or a host: Ethernet
// (with VLAN tags, and padding after short packets), Linux cooked (v1 and v2), raw IP, and BSD
// loopback. Nothing, with `error` saying why, when the file cannot be read or its link type is
// none of these.
std::optional<CaptureContents> readCapture(const QString& path, QString* error);
// The same for one packet of the given link type (a DLT_ value), for tests and fuzzing.
// `capturedLength` is what the recorder kept of it.
std::optional<CapturedDatagram> datagramFromPacket(int linkType, const uchar* data, qsizetype capturedLength);
