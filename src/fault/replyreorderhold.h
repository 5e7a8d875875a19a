#pragma once

#include "replydelayqueue.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <vector>

// Replies a reorder rule holds back: each leaves once N later replies of its unit have left, or
// when its gap is over, whichever comes first. "Later" is by the order the replies were ready to
// leave: a held reply that leaves counts for those held before it, never for those after it.
//
// A reply that comes while one of its rule's replies is held overtakes it: it is not held itself,
// so that a rule on every reply swaps them (reorder=1: 2,1,4,3,...; reorder=2: 2,3,1,5,6,4,...)
// instead of holding each for the one after it, which nothing would ever overtake. A rule thus
// holds at most one reply at a time.
//
// The hold is bounded (kDefaultCapacity replies for a unit): a reply that does not fit is not
// held, and the caller sends it in order and reports it.
class ReplyReorderHold : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype kDefaultCapacity = 4096;

    // Why a held reply left.
    struct Release {
        int rule = 0;
        QString ruleText;
        quint32 passed = 0; // later replies that left first
        // The last of them (IPv4, host byte order); 0 when none left.
        quint32 lastAddress = 0;
        quint16 lastPort = 0;
        bool gapOver = false;
        qint64 heldMs = 0;
    };

    explicit ReplyReorderHold(QObject* parent = nullptr, qsizetype capacity = kDefaultCapacity);

    enum class Outcome : quint8 {
        Held,
        Overtakes, // the rule holds an earlier reply: send this one now, before it
        Full,      // not held: send it in order and report it
    };
    // Holds `reply` until `laterReplies` later replies have left, or `gapMs`.
    Outcome hold(const DelayedReply& reply, int rule, const QString& ruleText, int laterReplies, int gapMs);
    // A reply of the unit left for `address`:`port`: releases what was waiting for it. Cheap to
    // skip while isEmpty().
    void replyLeft(quint32 address, quint16 port);
    bool isEmpty() const { return m_size == 0; }
    qsizetype size() const { return m_size; }
    qsizetype capacity() const { return m_capacity; }

signals:
    // Send it now; a reply sent from here counts as one that left (call replyLeft()).
    void released(const DelayedReply& reply, const ReplyReorderHold::Release& why);

private:
    // A reply that left, as the held ones remember it.
    struct Departure {
        quint64 seq = 0; // 0: none
        quint32 address = 0;
        quint16 port = 0;
    };
    struct Held {
        DelayedReply reply;
        quint64 order = 0;   // when it was ready to leave, among all the unit's replies
        quint32 needed = 0;  // later replies to wait for
        quint64 freshAt = 0; // its line's count of fresh departures when it was held
        quint32 earlier = 0; // held replies of other rules, later than it, that left first
        Departure lastEarlier;
        qint64 dueNs = 0;
        qint64 sinceNs = 0;
    };
    // One rule's replies: they all wait for as many replies and as long, so they leave in the
    // order they came. A reply that was never held is later than all of them: the line counts
    // those once for all ("fresh"), so that a departure costs one step a rule, not one a reply.
    struct Line {
        int rule = 0;
        QString ruleText;
        std::deque<Held> held;
        quint64 fresh = 0;
        Departure lastFresh;
    };
    static quint32 passed(const Line& line, const Held& held)
    {
        return quint32(line.fresh - held.freshAt) + held.earlier;
    }
    void releaseDue();
    void arm();

    std::vector<Line> m_lines;
    qsizetype m_size = 0;
    qsizetype m_capacity;
    quint64 m_order = 0;
    quint64 m_departures = 0;
    // While a held reply is being sent: its place in the order, which is what it counts as.
    quint64 m_releasingOrder = 0;
    bool m_releasing = false;
    QTimer m_timer;
};
Q_DECLARE_METATYPE(ReplyReorderHold::Release)
