#pragma once

#include "record/faultkind.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <limits>
#include <optional>

// What a fault rule does when it fires.
enum class FaultAction : quint8 { Drop, Delay, Duplicate, Truncate, Corrupt, Loss, Reorder, Rate };

// One rule, as written: ACTION[=VALUE][,jitter=MS][,on=KINDS][,every=N|,chance=P][,OPTIONS]
//   drop                  the request is lost
//   delay=MS[,jitter=MS]  the reply leaves MS (plus or minus the jitter) milliseconds later
//   duplicate[=N]         the reply is sent N times (default 2)
//   truncate=N            only the first N bytes of the reply are sent
//   corrupt[=K]           K bytes of the reply (default 1) get a different value
//   loss=gilbert:P,R[,H,K]  requests are lost in bursts (Gilbert-Elliott): P from good to bad,
//                         R from bad to good, 1-H lost in the bad state, 1-K in the good one
//   loss=burst:MEAN,RATE  the same model, given by its mean burst length and loss rate
//   reorder=N[,gap=MS]    the reply waits until N later replies have left, or MS (default 100)
//   rate=N/s[,burst=B]    at most N replies a second (a bucket of B, default N); others dropped
//   on=KINDS              set-channels, channel-query, status-query, discovery or all (default),
//                         several joined with +
//   every=N               fires on the Nth, 2Nth, ... matching datagram
//   chance=P              fires with probability P (0 to 1)
//   units=FIRST-LAST      in a fleet, only the units with these indexes (from 0); units=N one
//   units=ADDRESS         in a fleet, only the unit at this IPv4 address
//   for=DURATION          removed that long after it was added ("10s", "500ms", "2m")
//   after=N               acts only once N matching datagrams have passed it (on each unit)
//   times=N               removed once it has acted N times (on all units together)
struct FaultRule {
    static constexpr int kMaxTextLength = 120;
    static constexpr int kMaxDelayMs = 60000;
    static constexpr int kMaxCopies = 100;
    static constexpr int kMaxReorder = 1000;
    static constexpr int kDefaultReorderGapMs = 100;
    static constexpr int kMaxRate = 1000000;

    QString text; // as given, without surrounding blanks: how the log names the rule
    FaultAction action = FaultAction::Drop;
    // delay: milliseconds; duplicate: copies; truncate: bytes kept; corrupt: bytes changed;
    // reorder: later replies to wait for; rate: replies a second
    int value = 0;
    int jitter = 0; // delay only, milliseconds
    int gapMs = 0;  // reorder only: the longest a reply waits
    int burst = 0;  // rate only: the bucket's size
    // loss only: the chain's chances, always as gilbert:P,R,H,K
    double lossP = 0;
    double lossR = 1;
    double lossH = 0;
    double lossK = 1;
    quint8 kinds = FaultKind::All;
    int every = 0;       // 0: not counted
    double chance = -1;  // below 0: not drawn
    bool enabled = true; // a disabled rule neither counts nor fires
    qint64 forMs = 0;    // 0: stays until removed
    int after = 0;       // matching datagrams it lets pass before it acts
    int times = 0;       // 0: acts without end
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

    // Drop and loss act on the request; the others on its reply.
    bool isReplyAction() const { return action != FaultAction::Drop && action != FaultAction::Loss; }
    // Whether it wears off by itself (for=, times=).
    bool wearsOff() const { return forMs > 0 || times > 0; }
    // The kinds it acts on: a reply action never sees set-channels, which has no reply.
    quint8 actsOn() const { return isReplyAction() ? quint8(kinds & FaultKind::Answered) : kinds; }
};

// The grammar in a few lines, for help texts.
QString faultRuleHelp();
