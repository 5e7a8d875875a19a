#pragma once
// Recordings of a "real" unit made up for tests: the datagrams of a probe, and a pcap file of them.
#include "capture/pcapwriter.h"
#include "loopbackclient.h"
#include "record/unitframe.h"
#include "record/unitprofiles.h"
#include "recording/pcapreader.h"
#include "unit/discovery.h"

#include <QList>

namespace recordingsupport {
inline constexpr quint32 kController = 0x7f000001; // 127.0.0.1
inline constexpr quint32 kRealUnit = 0x0a4f0002;   // 10.79.0.2, where it was recorded
// An identity that is no profile's, on port 4003.
inline const QByteArray kFirmware = QByteArrayLiteral("ALED.SIM.ULA.TOR.3/4003/*****/**/Lumivane/PoE2.1/*");

inline QByteArray identityOf(int profile)
{
    const std::string_view identity = identityForProfile(profile);
    return QByteArray(identity.data(), qsizetype(identity.size()));
}

inline QByteArray bytesOf(const UnitFrame& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.data()), kUnitFrameSize);
}

inline CapturedDatagram datagram(quint32 from, quint16 fromPort, quint32 to, quint16 toPort,
                                 const QByteArray& payload)
{
    static int frame = 0;
    return {.frame = ++frame,
            .source = from,
            .sourcePort = fromPort,
            .destination = to,
            .destinationPort = toPort,
            .payload = payload};
}

// A probe as `unitctl record` makes it, shortened: discovery, then status-queries with their replies.
inline QList<CapturedDatagram> probe(const QByteArray& identity, quint16 port,
                                     const QList<UnitFrame>& statusReplies, quint32 unit = kRealUnit)
{
    QList<CapturedDatagram> datagrams{datagram(kController, 50000, unit, kDiscoveryPort, QByteArray("X")),
                                      datagram(unit, kDiscoveryPort, kController, 50000, identity)};
    for (const UnitFrame& reply : statusReplies) {
        datagrams << datagram(kController, 50001, unit, port, unitFrame(51))
                  << datagram(unit, port, kController, 50001, bytesOf(reply));
    }
    return datagrams;
}

// Six status replies of `profile` as the simulator makes them, with varied draws.
inline QList<UnitFrame> simulatedReplies(int profile, int count = 6)
{
    QList<UnitFrame> replies;
    for (int k = 0; k < count; ++k)
        replies << statusQueryReply(profile, {.first = 25 + 7 * k, .second = 13 + 40 * k});
    return replies;
}

// A firmware that is no profile of ours: other bytes at 11 and 20, its own range at position 2.
inline QList<UnitFrame> firmwareReplies()
{
    QList<UnitFrame> replies;
    for (int drawn : {30, 40, 35}) {
        UnitFrame reply = statusQueryReply(3, {.first = drawn});
        reply[11] = 9;
        reply[20] = 7;
        replies << reply;
    }
    return replies;
}

// Writes `datagrams` as a pcap file.
inline bool writeRecording(const QString& path, const QList<CapturedDatagram>& datagrams)
{
    PcapWriter writer;
    QString error;
    if (!writer.open(path, &error))
        return false;
    for (const CapturedDatagram& d : datagrams)
        writer.write({.timeUs = 1'700'000'000'000'000 + d.frame,
                      .source = d.source,
                      .sourcePort = d.sourcePort,
                      .destination = d.destination,
                      .destinationPort = d.destinationPort,
                      .payload = d.payload});
    writer.close();
    return true;
}

} // namespace recordingsupport
