#pragma once

#include "faultkind.h"
#include "unitframe.h"
#include "unitprofiles.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QExplicitlySharedDataPointer>
#include <QMetaType>
#include <QSharedData>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <chrono>

// What a line holds beyond the fixed fields; only lines about faults have one.
struct TrafficLogNote : QSharedData {
    // fault lines: what the fault did, "RULE: ..."; replies not sent: why; requests that reached
    // a unit that was down: its state ("offline", "rebooting"); notices and events: their text
    QByteArray text;
    QByteArray reply; // discovery replies a fault changed: the bytes that really left
};

// What the unit records for each datagram it receives or sends, and for each time a fault rule
// acts: one line of the traffic log, kept as the raw fields it is composed from. The text is only
// made when a line is shown, which keeps the datagram path free of formatting and each record
// down to 56 bytes.
struct TrafficLogEntry {
    enum class Kind : quint8 {
        UnitIncoming,
        UnitOutgoing,
        DiscoveryIncoming,
        DiscoveryOutgoing,
        UnitFault,      // a fault rule acted on a unit-port request or its reply
        DiscoveryFault, // ... on a discovery request or its reply
        Notice,         // the simulator's own word about the log (lines removed, say)
        Event,          // a scenario's event fired ("*** scenario: reboot ...")
        // A proxy unit's leg to the real unit: a request passed on to it, and its reply. The
        // address and remote port are the real unit's, the local port the relay's own.
        RelayOut,
        RelayIn
    };
    static constexpr Kind kLastKind = Kind::RelayIn;

    quint32 address = 0;    // the sender's IPv4 address, host byte order
    quint16 remotePort = 0; // the sender's port, where replies go
    // The simulator's own port that received the datagram, or that a unit-port reply left from.
    quint16 localPort = 0;
    Kind kind = Kind::UnitIncoming;
    // How many of the datagram's bytes `bytes` holds: a short request, or a reply a fault cut,
    // has fewer than 29. A discovery reply holds none; its payload is the identity string of
    // `profile`, or the note's reply when a fault changed it.
    quint8 count = 0;
    UnitFrame bytes{};
    // The profile the unit posed as when it handled the datagram.
    quint8 profile : 4 = 0;
    // An outgoing line whose datagram did not leave (no route, say): the note's text says why.
    quint8 notSent : 1 = 0;
    // A discovery request another unit of the fleet logged already: one datagram, heard by many.
    quint8 alsoHeardByOthers : 1 = 0;
    // For a unit-port reply, what it answers (a fault may have changed its command byte):
    // 0 unknown, else Command + 1 for a channel-query or status-query.
    quint8 answers : 2 = 0;
    QExplicitlySharedDataPointer<TrafficLogNote> note{};
    qint64 timeUs = now(); // when it happened: microseconds since 1970, UTC

    static qint64 now()
    {
        using namespace std::chrono;
        return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    }

    bool isIncoming() const { return kind == Kind::UnitIncoming || kind == Kind::DiscoveryIncoming; }
    // A datagram between a proxy unit and the real unit behind it: traffic, but not the controller's.
    bool isRelay() const { return kind == Kind::RelayOut || kind == Kind::RelayIn; }
    // A line of the simulator's own, about no datagram, port or peer.
    bool isRemark() const { return kind == Kind::Notice || kind == Kind::Event; }
    // A datagram that really came in, or really left: what counts as traffic.
    bool isDatagram() const { return !isFault() && !notSent && !isRemark(); }
    // A request that reached a unit which was down and so left it unanswered: the state it was in.
    QByteArrayView unansweredBecause() const
    {
        return isIncoming() && note ? QByteArrayView(note->text) : QByteArrayView();
    }
    bool isFault() const { return kind == Kind::UnitFault || kind == Kind::DiscoveryFault; }
    bool isDiscovery() const
    {
        return kind == Kind::DiscoveryIncoming || kind == Kind::DiscoveryOutgoing ||
               kind == Kind::DiscoveryFault || (isRelay() && remotePort == kDiscoveryPort);
    }

    // The datagram's bytes as the log holds them: none for a fault line.
    QByteArrayView payload() const
    {
        switch (kind) {
        case Kind::DiscoveryOutgoing:
            if (note)
                return note->reply;
            if (isValidProfileIndex(profile)) {
                const std::string_view identity = identityForProfile(profile);
                return QByteArrayView(identity.data(), qsizetype(identity.size()));
            }
            return {};
        case Kind::UnitFault:
        case Kind::DiscoveryFault:
        case Kind::Notice:
        case Kind::Event:
            return {};
        case Kind::RelayOut:
        case Kind::RelayIn:
            // What does not fit the frame's bytes (a discovery reply) is in the note.
            if (note)
                return note->reply;
            [[fallthrough]];
        default:
            return QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                  std::min<qsizetype>(count, kUnitFrameSize));
        }
    }

    static TrafficLogEntry unitIncoming(quint32 address, quint16 remotePort, quint16 localPort,
                                        QByteArrayView request, int profile)
    {
        return withPayload(Kind::UnitIncoming, address, remotePort, localPort, request, profile);
    }
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 remotePort, const UnitFrame& reply,
                                        int profile, quint16 localPort = 0)
    {
        return {.address = address,
                .remotePort = remotePort,
                .localPort = localPort,
                .kind = Kind::UnitOutgoing,
                .count = quint8(kUnitFrameSize),
                .bytes = reply,
                .profile = quint8(profile)};
    }
    // A reply as it really left, which a fault may have cut or changed.
    static TrafficLogEntry unitOutgoing(quint32 address, quint16 remotePort, QByteArrayView sent, int profile,
                                        quint16 localPort = 0)
    {
        return withPayload(Kind::UnitOutgoing, address, remotePort, localPort, sent, profile);
    }
    static TrafficLogEntry discoveryIncoming(quint32 address, quint16 remotePort, quint16 localPort,
                                             QByteArrayView request, int profile)
    {
        return withPayload(Kind::DiscoveryIncoming, address, remotePort, localPort, request, profile);
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 remotePort, int profile)
    {
        return {.address = address,
                .remotePort = remotePort,
                .kind = Kind::DiscoveryOutgoing,
                .profile = quint8(profile)};
    }
    static TrafficLogEntry discoveryOutgoing(quint32 address, quint16 remotePort, int profile,
                                             QByteArrayView sent)
    {
        TrafficLogEntry entry = discoveryOutgoing(address, remotePort, profile);
        entry.note = new TrafficLogNote;
        entry.note->reply = sent.toByteArray();
        return entry;
    }
    // `faultKind`: the FaultKind flag of what the rule acted on (0: nothing in particular).
    static TrafficLogEntry fault(Kind kind, quint32 address, quint16 remotePort, int profile,
                                 const QString& text, quint8 faultKind = 0)
    {
        TrafficLogEntry entry{
            .address = address, .remotePort = remotePort, .kind = kind, .profile = quint8(profile)};
        // A fault line carries no datagram; its first byte says what the rule acted on.
        entry.bytes[0] = faultKind;
        entry.note = new TrafficLogNote;
        entry.note->text = text.toUtf8();
        return entry;
    }

    // A leg between a proxy unit and the real unit: `kind` RelayOut or RelayIn.
    static TrafficLogEntry relayed(Kind kind, quint32 real, quint16 realPort, quint16 relayPort,
                                   QByteArrayView payload, int profile)
    {
        TrafficLogEntry entry = withPayload(kind, real, realPort, relayPort, payload, profile);
        if (payload.size() > kUnitFrameSize) {
            entry.note = new TrafficLogNote;
            entry.note->reply = payload.toByteArray();
        }
        return entry;
    }

    static TrafficLogEntry notice(const QString& text, Kind kind = Kind::Notice)
    {
        TrafficLogEntry entry{.kind = kind};
        entry.note = new TrafficLogNote;
        entry.note->text = text.toUtf8();
        return entry;
    }
    // What a scenario's event line tells a program that judges the run, beside its text: which
    // units went down or came back. Kept in the bytes, which an event line has no other use for.
    enum class EventMark : quint8 {
        None,
        ScenarioStarted,
        ScenarioEnded,
        UnitsOffline,
        UnitsOnline,
        UnitsRebooting,
        UnitsRebooted, // back after a reboot
        FaultAdded,    // a scenario's fault rule began to act on the units...
        FaultEnded,    // ... and stopped
    };
    static constexpr quint32 kNoUnit = 0xffffffff;
    // `firstUnit` to `lastUnit`: the units the event acted on (indexes; 0 for the single unit);
    // kNoUnit for an event about the scenario itself (its start, its end).
    static TrafficLogEntry event(const QString& text, EventMark mark = EventMark::None,
                                 quint32 firstUnit = kNoUnit, quint32 lastUnit = kNoUnit)
    {
        TrafficLogEntry entry = notice(text, Kind::Event);
        entry.bytes[0] = quint8(mark);
        entry.bytes[1] = firstUnit != kNoUnit;
        if (firstUnit == kNoUnit)
            firstUnit = lastUnit = 0;
        std::copy_n(reinterpret_cast<const quint8*>(&firstUnit), 4, entry.bytes.begin() + 4);
        std::copy_n(reinterpret_cast<const quint8*>(&lastUnit), 4, entry.bytes.begin() + 8);
        return entry;
    }
    // An event line about units, markFirstUnit() to markLastUnit().
    bool namesUnits() const { return kind == Kind::Event && bytes[1] == 1; }
    EventMark eventMark() const
    {
        return kind == Kind::Event && bytes[0] <= quint8(EventMark::FaultEnded) ? EventMark(bytes[0])
                                                                                : EventMark::None;
    }
    quint32 markFirstUnit() const { return markUnit(4); }
    quint32 markLastUnit() const { return markUnit(8); }

    // What the line is about, in the words the control API, its metrics and unitctl use.
    enum class Command : quint8 { SetChannels, ChannelQuery, StatusQuery, Discovery, Other };
    static constexpr int kCommandCount = 5;
    Command command() const
    {
        if (isDiscovery())
            return Command::Discovery;
        if (!isIncoming() && answers != 0)
            return Command(answers - 1);
        if (isFault())
            return commandOfKind(bytes[0]);
        // Only a whole frame is a command: a shorter one is logged and otherwise ignored.
        if (isIncoming() && count < kUnitFrameSize)
            return Command::Other;
        if (count < 2)
            return Command::Other;
        switch (bytes[1]) {
        case UnitCommand::SetChannels:
            return Command::SetChannels;
        case UnitCommand::ChannelQuery:
            return Command::ChannelQuery;
        case UnitCommand::StatusQuery:
            return Command::StatusQuery;
        default:
            return Command::Other;
        }
    }
    // The command of a request of FaultKind `kind` (0: not one a unit acts on).
    static Command commandOfKind(quint8 kind)
    {
        switch (kind) {
        case FaultKind::SetChannels:
            return Command::SetChannels;
        case FaultKind::ChannelQuery:
            return Command::ChannelQuery;
        case FaultKind::StatusQuery:
            return Command::StatusQuery;
        case FaultKind::Discovery:
            return Command::Discovery;
        default:
            return Command::Other;
        }
    }
    static const char* commandName(Command command)
    {
        static constexpr const char* kNames[kCommandCount] = {"set-channels", "channel-query", "status-query",
                                                              "discovery", "other"};
        return kNames[int(command)];
    }
    // The same reply, marked as one that did not leave, with why.
    TrafficLogEntry notSentBecause(const QString& reason) const
    {
        TrafficLogEntry entry = *this;
        entry.notSent = 1;
        TrafficLogNote* why = entry.note ? new TrafficLogNote(*entry.note) : new TrafficLogNote;
        why->text = reason.toUtf8();
        entry.note = why;
        return entry;
    }
    // The same reply, marked with the command it answers. Only a unit-port reply (to a
    // channel-query or a status-query) keeps the mark; a discovery reply's lines say it already.
    TrafficLogEntry answering(Command command) const
    {
        TrafficLogEntry entry = *this;
        if (command == Command::ChannelQuery || command == Command::StatusQuery)
            entry.answers = quint8(int(command) + 1);
        return entry;
    }

    // The simulator's own port the line is about: the unit port or 65535.
    quint16 simulatorPort() const
    {
        if (isRemark())
            return 0;
        if (isRelay())
            return localPort; // the relay's own port toward the real unit
        if (isDiscovery())
            return kDiscoveryPort;
        if (localPort != 0)
            return localPort;
        return isValidProfileIndex(profile) ? unitPortForProfile(profile) : 0;
    }

private:
    quint32 markUnit(int at) const
    {
        quint32 unit = 0;
        std::copy_n(bytes.begin() + at, 4, reinterpret_cast<quint8*>(&unit));
        return unit;
    }
    static TrafficLogEntry withPayload(Kind kind, quint32 address, quint16 remotePort, quint16 localPort,
                                       QByteArrayView payload, int profile)
    {
        TrafficLogEntry entry{.address = address,
                              .remotePort = remotePort,
                              .localPort = localPort,
                              .kind = kind,
                              .profile = quint8(profile)};
        const qsizetype n = std::min(payload.size(), kUnitFrameSize);
        std::copy_n(payload.data(), n, entry.bytes.begin());
        entry.count = quint8(n);
        return entry;
    }
};
static_assert(sizeof(TrafficLogEntry) <= 56, "keep log rows compact");
Q_DECLARE_METATYPE(TrafficLogEntry)
