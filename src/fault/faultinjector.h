#pragma once

#include "faultrule.h"
#include "record/seededrandom.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QVarLengthArray>

#include <array>
#include <functional>
#include <limits>
#include <memory>
#include <random>

// One copy of a reply on its way out: the bytes that will leave, when, and whether a reorder
// rule holds it back once it is due.
struct ReplyCopy {
    static constexpr int kMaxSize = 50; // the longest reply, the discovery identity

    std::array<char, kMaxSize> bytes{};
    quint8 size = 0;
    bool dropped = false; // a rate rule took it: it never leaves
    int delayMs = 0;
    int holdRule = 0;        // the reorder rule's id; 0: not held
    quint16 holdReplies = 0; // later replies it waits for
    quint16 holdGapMs = 0;   // ... but no longer than this
};
using ReplyCopies = QVarLengthArray<ReplyCopy, 4>;

// How long a rule with for= or times= has left. The units of a fleet share one, so that the rule
// wears off everywhere at once.
struct FaultRuleLife {
    qint64 endNs = std::numeric_limits<qint64>::max(); // for=: on faultClockNs()
    int timesLeft = 0;                                 // times=: actions left on all units
    bool over = false;

    static std::shared_ptr<FaultRuleLife> of(const FaultRule& rule, qint64 nowNs);
};

// The monotonic clock rules keep time on, in nanoseconds.
qint64 faultClockNs();

// The active fault rules of one unit, their counters, and the draws they make.
//
// A datagram meets the rules in two steps, each in the order the rules were added: drop rules
// act on the request (the first that fires loses it, and no later rule sees it), then the other
// rules act on the copies of its reply. While no rule is enabled, isActive() is false and the
// unit does not ask at all.
//
// Each rule keeps its state here, for this unit alone: its counts, its loss chain, its bucket.
// Every draw comes from the one generator seeded from the unit's seed.
class FaultInjector : public QObject {
    Q_OBJECT

public:
    struct Entry {
        int id = 0;
        FaultRule rule;
        quint64 matched = 0;    // matching datagrams seen, for every=N and after=N
        quint64 fired = 0;      // times it acted: requests lost, replies changed, held or dropped
        quint64 bursts = 0;     // loss: bursts begun
        quint64 overflowed = 0; // reorder: replies sent in order because the hold was full
        std::shared_ptr<FaultRuleLife> life; // with for= or times=

        // loss: the chain's state, and the burst it is in
        bool bad = false;
        int burstLength = 0; // requests in the bad state so far; 0: no burst open
        int burstLost = 0;
        quint64 burstFirst = 0;  // its first request, as the rule counted them
        qint64 burstStartMs = 0; // since the epoch
        // rate: tokens in the bucket (below 0: full, not yet used) and when it was last filled
        double tokens = -1;
        qint64 filledNs = 0;
    };

    explicit FaultInjector(quint64 seed, QObject* parent = nullptr);

    // Whether an enabled rule acts on this unit.
    bool isActive() const { return m_enabledCount > 0; }
    // Enabled rules that act on this unit.
    int enabledCount() const { return m_enabledCount; }
    const QList<Entry>& rules() const { return m_rules; }

    // Adds a rule after the others; returns its id (never reused). The units of a fleet pass the
    // rule's one `life`; without, a rule that wears off gets its own.
    int add(const FaultRule& rule, std::shared_ptr<FaultRuleLife> life = {});
    bool remove(int id);
    bool setEnabled(int id, bool enabled);
    void clear();
    // Which unit of a fleet these rules belong to: rules with units= that name other units never
    // act here. The single unit is unit 0 with no address of its own.
    void setUnit(int index, quint32 address)
    {
        m_unitIndex = index;
        m_unitAddress = address;
        countEnabled();
    }
    // From now on, every draw is as if the process had started with `seed`; loss chains start
    // good and buckets full again.
    void reseed(quint64 seed);
    // For tests: the clock rate rules and for= read (faultClockNs() by default).
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

    // The drop or loss rule that loses this request, if one fires; counts the request for every
    // such rule up to and including that one. `inBurst` is set when a loss rule lost it within a
    // burst: the burst's line says so when it ends, not a line a request.
    const FaultRule* dropRequest(quint8 kind, bool* inBurst = nullptr);
    // Lets the reply rules act on the copies of a reply to a datagram of `kind`. Appends one note
    // per action ("RULE: what it did"), naming `peer` (the requester, as "address:port"). With
    // `delayedCopies`, appends for each note the copy it delays, or -1 for a note of another kind.
    void actOnReply(quint8 kind, ReplyCopies& copies, const QString& peer, QStringList& notes,
                    QList<int>* delayedCopies = nullptr);
    // A reply the reorder rule `id` would have held was sent in order: the hold was full.
    void countOverflow(int id);
    // Told each line noted() carries, by call: a unit of a large fleet holds no connection for it.
    void setNoteSink(std::function<void(const QString&)> sink) { m_noteSink = std::move(sink); }

signals:
    void rulesChanged();
    // A line for the log about what a rule did beyond one datagram: a burst of losses ended.
    void noted(const QString& text);
    // The rule `id` has worn off (for=, times=): it acts no more, and is to be removed from every
    // unit. Said once for all the units sharing its life.
    void wornOff(int id);

private:
    // Whether the rule is past its life; says wornOff() the first time.
    bool isOver(Entry& entry);
    void wearOff(Entry& entry);
    // Counts a matching datagram; false while after= holds the rule back (or it is over).
    bool counts(Entry& entry);
    bool fires(Entry& entry);
    void acted(Entry& entry);
    bool losesRequest(Entry& entry);
    bool takesToken(Entry& entry);
    void closeBurst(Entry& entry, const QString& why = {});
    void countEnabled();
    qint64 now() const { return m_clock ? m_clock() : faultClockNs(); }

    QList<Entry> m_rules;
    int m_nextId = 1;
    int m_enabledCount = 0;
    int m_unitIndex = 0;
    quint32 m_unitAddress = 0;
    SeededRandom m_random;
    std::function<void(const QString&)> m_noteSink;
    std::function<qint64()> m_clock;
};

// A seed for a run that was given none: drawn, so that it can be printed and the run repeated.
quint64 drawSeed();
// The generator of one purpose (status draws, fault draws, ...) under a process's seed, so that
// the purposes do not disturb each other's sequences.
std::seed_seq seedSequence(quint64 seed, quint32 purpose);
