#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <limits>
#include <optional>

// What a fault rule does when it fires.
enum class FaultAction : quint8 { Drop, Delay, Duplicate, Truncate, Corrupt };

// The kinds of datagram a rule can act on, as flags. Anything else is never touched.
namespace FaultKind {
inline constexpr quint8 SetChannels = 1;
inline constexpr quint8 ChannelQuery = 2;
inline constexpr quint8 StatusQuery = 4;
inline constexpr quint8 Discovery = 8;
inline constexpr quint8 All = SetChannels | ChannelQuery | StatusQuery | Discovery;
// The kinds that are answered, and so have a reply to delay, double, cut or damage.
inline constexpr quint8 Answered = ChannelQuery | StatusQuery | Discovery;
} // namespace FaultKind

// One rule, as written: ACTION[=VALUE][,jitter=MS][,on=KINDS][,every=N|,chance=P]
//   drop                  the request is lost
//   delay=MS[,jitter=MS]  the reply leaves MS (plus or minus the jitter) milliseconds later
//   duplicate[=N]         the reply is sent N times (default 2)
//   truncate=N            only the first N bytes of the reply are sent
//   corrupt[=K]           K bytes of the reply (default 1) get a different value
//   on=KINDS              set-channels, channel-query, status-query, discovery or all (default),
//                         several joined with +
//   every=N               fires on the Nth, 2Nth, ... matching datagram
//   chance=P              fires with probability P (0 to 1)
//   units=FIRST-LAST      in a fleet, only the units with these indexes (from 0); units=N one
//   units=ADDRESS         in a fleet, only the unit at this IPv4 address
struct FaultRule {
    static constexpr int kMaxTextLength = 120;
    static constexpr int kMaxDelayMs = 60000;
    static constexpr int kMaxCopies = 100;

    QString text; // as given, without surrounding blanks: how the log names the rule
    FaultAction action = FaultAction::Drop;
    int value = 0;  // delay: milliseconds; duplicate: copies; truncate: bytes kept; corrupt: bytes changed
    int jitter = 0; // delay only, milliseconds
    quint8 kinds = FaultKind::All;
    int every = 0;       // 0: not counted
    double chance = -1;  // below 0: not drawn
    bool enabled = true; // a disabled rule neither counts nor fires
    // Which units of a fleet it acts on: indexes unitsFirst to unitsLast, or the unit at
    // unitsAddress (IPv4, host byte order) when that is not 0. All by default.
    int unitsFirst = 0;
    int unitsLast = std::numeric_limits<int>::max();
    quint32 unitsAddress = 0;

    bool appliesToUnit(int index, quint32 address) const
    {
        return unitsAddress != 0 ? address == unitsAddress : index >= unitsFirst && index <= unitsLast;
    }
    // Why the rule could never act on any of these units (unit k at unitAddresses[k]; the single
    // unit is one unit at address 0); empty when it names at least one of them.
    QString unitsProblem(const QList<quint32>& unitAddresses) const;

    // The rule, or nothing with `error` naming the bad part.
    static std::optional<FaultRule> parse(QStringView text, QString* error);

    bool isReplyAction() const { return action != FaultAction::Drop; }
    // The kinds it acts on: a reply action never sees set-channels, which has no reply.
    quint8 actsOn() const { return isReplyAction() ? quint8(kinds & FaultKind::Answered) : kinds; }
};

// The grammar in a few lines, for help texts.
QString faultRuleHelp();
