#pragma once

#include "record/trafficlogentry.h"

#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

// One datagram as a capture shows it: who sent it to whom, when, and its bytes.
struct CaptureRecord {
    qint64 timeUs = 0;  // microseconds since 1970, UTC
    quint32 source = 0; // IPv4, host byte order
    quint16 sourcePort = 0;
    quint32 destination = 0;
    quint16 destinationPort = 0;
    quint8 ttl = 64;
    QByteArrayView payload;
};

// The datagram a log line stands for, with `unitAddress` as the simulator's side; nothing for a
// fault line, which is not a datagram, nor for a reply that was not sent.
std::optional<CaptureRecord> captureRecordFor(const TrafficLogEntry& entry, quint32 unitAddress);

// Largest packet buildIpv4Udp() makes: the headers and a payload of up to 65,507 bytes.
constexpr qsizetype kIpv4UdpHeaders = 20 + 8;

// Writes the record as an IPv4 packet carrying a UDP datagram (header checksum set, UDP checksum
// left out, as IPv4 allows) into `out`; returns its size, or 0 when it does not fit `capacity`.
qsizetype buildIpv4Udp(const CaptureRecord& record, char* out, qsizetype capacity);
