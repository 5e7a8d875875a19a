#pragma once

#include "unitframe.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QExplicitlySharedDataPointer>
#include <QMetaType>
#include <QSharedData>
#include <QtGlobal>

#include <algorithm>
#include <array>

// What a line holds beyond the fixed fields; only lines about faults have one.
struct TrafficLogNote : QSharedData {
    QByteArray text;  // fault lines: what the fault did, "RULE: ..."
    QByteArray reply; // discovery replies a fault changed: the bytes that really left
};

// What the unit records for each datagram it receives or sends, and for each time a fault rule
// acts: one line of the traffic log, kept as the raw fields it is composed from. The text is only
// made when a line is shown, which keeps the datagram path free of formatting and each record
// down to 48 bytes.
struct TrafficLogEntry {
    enum class Kind : quint8 { UnitIncoming, UnitOutgoing, DiscoveryIncoming, DiscoveryOutgoing, Fault };

    quint32 address = 0; // the sender's IPv4 address, host byte order
    // Incoming lines: the simulator's own port. Outgoing and fault lines: the sender's port.
    quint16 port = 0;
    Kind kind = Kind::UnitIncoming;
    // How many of the datagram's bytes `bytes` holds: a short request, or a reply a fault cut,
    // has fewer than 29. A discovery reply holds none; its payload is the identity string of
    // `profile`, or the note's reply when a fault changed it.
    quint8 count = 0;
    UnitFrame bytes{};
    // The profile the unit posed as when it handled the datagram.
    quint8 profile = 0;
    QExplicitlySharedDataPointer<TrafficLogNote> note;

    static TrafficLogEntry unitIncoming(quint32 address, quint16 localPort, QByteArrayView request,
                                        int profile)
    {
        return withPayload(Kind::UnitIncoming, address, localPort, request, profile);
    }
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 senderPort, const UnitFrame& reply,
                                        int profile)
    {
        return {address, senderPort, Kind::UnitOutgoing, quint8(kUnitFrameSize), reply, quint8(profile), {}};
    }
    // A reply as it really left, which a fault may have cut or changed.
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 senderPort, QByteArrayView sent, int profile)
    {
        return withPayload(Kind::UnitOutgoing, address, senderPort, sent, profile);
    }
    static TrafficLogEntry discoveryIncoming(quint32 address, quint16 localPort, QByteArrayView request,
                                             int profile)
    {
        return withPayload(Kind::DiscoveryIncoming, address, localPort, request, profile);
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 senderPort, int profile)
    {
        return {address, senderPort, Kind::DiscoveryOutgoing, 0, {}, quint8(profile), {}};
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 senderPort, int profile,
                                             QByteArrayView sent)
    {
        TrafficLogEntry entry = discoveryOutgoing(address, senderPort, profile);
        entry.note = new TrafficLogNote;
        entry.note->reply = sent.toByteArray();
        return entry;
    }
    static TrafficLogEntry fault(quint32 address, quint16 senderPort, int profile, const QString& text)
    {
        TrafficLogEntry entry{address, senderPort, Kind::Fault, 0, {}, quint8(profile), {}};
        entry.note = new TrafficLogNote;
        entry.note->text = text.toUtf8();
        return entry;
    }

private:
    static TrafficLogEntry withPayload(Kind kind, quint32 address, quint16 port, QByteArrayView payload,
                                       int profile)
    {
        TrafficLogEntry entry{address, port, kind, 0, {}, quint8(profile), {}};
        const qsizetype n = std::min(payload.size(), kUnitFrameSize);
        std::copy_n(payload.data(), n, entry.bytes.begin());
        entry.count = quint8(n);
        return entry;
    }
};
static_assert(sizeof(TrafficLogEntry) <= 48, "keep log rows compact");
Q_DECLARE_METATYPE(TrafficLogEntry)
