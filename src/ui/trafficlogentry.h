#pragma once

#include "unit/unitframe.h"

#include <QByteArrayView>
#include <QMetaType>
#include <QtGlobal>

#include <algorithm>
#include <array>

// One line of the traffic log, kept as the raw fields it is composed from. The text is only
// made when a line is shown, which keeps the datagram path free of formatting and each row
// down to 40 bytes.
struct TrafficLogEntry {
    enum class Kind : quint8 { UnitIncoming, UnitOutgoing, DiscoveryIncoming, DiscoveryOutgoing };

    Kind kind = Kind::UnitIncoming;
    // Unit lines: how many of the 29 positions the datagram had. Discovery replies: the
    // profile whose identity string was sent.
    quint8 count = 0;
    // Incoming lines: the simulator's own port. Outgoing lines: the sender's port.
    quint16 port = 0;
    quint32 address = 0; // the sender's IPv4 address, host byte order
    UnitFrame bytes{};

    static TrafficLogEntry unitIncoming(quint32 address, quint16 localPort, QByteArrayView request)
    {
        TrafficLogEntry entry{Kind::UnitIncoming, 0, localPort, address, {}};
        const qsizetype n = std::min(request.size(), kUnitFrameSize);
        std::copy_n(request.data(), n, entry.bytes.begin());
        entry.count = quint8(n);
        return entry;
    }
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 senderPort, const UnitFrame& reply)
    {
        return {Kind::UnitOutgoing, quint8(kUnitFrameSize), senderPort, address, reply};
    }
    static TrafficLogEntry discoveryIncoming(quint32 address, quint16 localPort)
    {
        return {Kind::DiscoveryIncoming, 0, localPort, address, {}};
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 senderPort, int profileIndex)
    {
        return {Kind::DiscoveryOutgoing, quint8(profileIndex), senderPort, address, {}};
    }
};
static_assert(sizeof(TrafficLogEntry) == 40, "keep log rows compact");
Q_DECLARE_METATYPE(TrafficLogEntry)
