#pragma once

#include "faultrule.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QVarLengthArray>

#include <array>
#include <random>

// One copy of a reply on its way out: the bytes that will leave, and when.
struct ReplyCopy {
    static constexpr int kMaxSize = 50; // the longest reply, the discovery identity

    std::array<char, kMaxSize> bytes{};
    quint8 size = 0;
    int delayMs = 0;
};
using ReplyCopies = QVarLengthArray<ReplyCopy, 4>;

// The active fault rules of one unit, their counters, and the draws they make.
//
// A datagram meets the rules in two steps, each in the order the rules were added: drop rules
// act on the request (the first that fires loses it, and no later rule sees it), then the other
// rules act on the copies of its reply. While no rule is enabled, isActive() is false and the
// unit does not ask at all.
class FaultInjector : public QObject {
    Q_OBJECT

public:
    struct Entry {
        int id = 0;
        FaultRule rule;
        quint64 matched = 0; // matching datagrams seen, for every=N
        quint64 fired = 0;
    };

    explicit FaultInjector(quint64 seed, QObject* parent = nullptr);

    // Whether an enabled rule acts on this unit.
    bool isActive() const { return m_enabledCount > 0; }
    // Enabled rules that act on this unit.
    int enabledCount() const { return m_enabledCount; }
    const QList<Entry>& rules() const { return m_rules; }

    // Adds a rule after the others; returns its id (never reused).
    int add(const FaultRule& rule);
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
    // From now on, every draw is as if the process had started with `seed`.
    void reseed(quint64 seed);

    // The drop rule that loses this request, if one fires; counts the request for every drop rule
    // up to and including that one.
    const FaultRule* dropRequest(quint8 kind);
    // Lets the reply rules act on the copies of a reply to a datagram of `kind`. Appends one note
    // per action ("RULE: what it did"), naming `peer` (the requester, as "address:port"). With
    // `delayedCopies`, appends for each note the copy it delays, or -1 for a note of another kind.
    void actOnReply(quint8 kind, ReplyCopies& copies, const QString& peer, QStringList& notes,
                    QList<int>* delayedCopies = nullptr);

signals:
    void rulesChanged();

private:
    bool fires(Entry& entry);
    void countEnabled();

    QList<Entry> m_rules;
    int m_nextId = 1;
    int m_enabledCount = 0;
    int m_unitIndex = 0;
    quint32 m_unitAddress = 0;
    std::mt19937_64 m_random;
};

// A seed for a run that was given none: drawn, so that it can be printed and the run repeated.
quint64 drawSeed();
// The generator of one purpose (status draws, fault draws, ...) under a process's seed, so that
// the purposes do not disturb each other's sequences.
std::seed_seq seedSequence(quint64 seed, quint32 purpose);
