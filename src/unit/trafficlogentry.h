#pragma once

#include "unitframe.h"

#include <QByteArrayView>
#include <QMetaType>
#include <QtGlobal>

#include <algorithm>
#include <array>

// What the unit records for each datagram it receives or sends: one line of the traffic log,
// kept as the raw fields it is composed from. The text is only made when a line is shown, which
// keeps the datagram path free of formatting and each record down to 40 bytes.
struct TrafficLogEntry {
    enum class Kind : quint8 { UnitIncoming, UnitOutgoing, DiscoveryIncoming, DiscoveryOutgoing };

    quint32 address = 0; // the sender's IPv4 address, host byte order
    // Incoming lines: the simulator's own port. Outgoing lines: the sender's port.
    quint16 port = 0;
    Kind kind = Kind::UnitIncoming;
    // How many of the datagram's bytes `bytes` holds: a short request has fewer than 29. A
    // discovery reply holds none; its payload is the identity string of `profile`.
    quint8 count = 0;
    UnitFrame bytes{};
    // The profile the unit posed as when it handled the datagram.
    quint8 profile = 0;

    static TrafficLogEntry unitIncoming(quint32 address, quint16 localPort, QByteArrayView request,
                                        int profile)
    {
        return withPayload(Kind::UnitIncoming, address, localPort, request, profile);
    }
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 senderPort, const UnitFrame& reply,
                                        int profile)
    {
        return {address, senderPort, Kind::UnitOutgoing, quint8(kUnitFrameSize), reply, quint8(profile)};
    }
    static TrafficLogEntry discoveryIncoming(quint32 address, quint16 localPort, QByteArrayView request,
                                             int profile)
    {
        return withPayload(Kind::DiscoveryIncoming, address, localPort, request, profile);
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 senderPort, int profile)
    {
        return {address, senderPort, Kind::DiscoveryOutgoing, 0, {}, quint8(profile)};
    }

private:
    static TrafficLogEntry withPayload(Kind kind, quint32 address, quint16 port, QByteArrayView payload,
                                       int profile)
    {
        TrafficLogEntry entry{address, port, kind, 0, {}, quint8(profile)};
        const qsizetype n = std::min(payload.size(), kUnitFrameSize);
        std::copy_n(payload.data(), n, entry.bytes.begin());
        entry.count = quint8(n);
        return entry;
    }
};
static_assert(sizeof(TrafficLogEntry) == 40, "keep log rows compact");
Q_DECLARE_METATYPE(TrafficLogEntry)
