#pragma once

#include "faultinjector.h"
#include "record/throttledcount.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <queue>
#include <vector>

// A reply held back by a delay rule, with what is needed to send and log it later.
struct DelayedReply {
    qint64 dueNs = 0;    // on the queue's clock, in nanoseconds
    quint64 order = 0;   // replies due at the same moment leave in the order they were held
    quint32 address = 0; // IPv4, host byte order
    quint32 source = 0;  // the address it leaves from; 0: whichever the route gives
    quint16 port = 0;
    quint8 endpoint = 0; // which of the unit's endpoints sends it
    quint8 profile = 0;
    quint8 answers = 0; // the command the reply answers (the log's TrafficLogEntry::Command)
    ReplyCopy copy;
};

// Delayed replies, each released when its time comes. Nothing else waits for them: the event
// loop runs on, and a reply with a shorter delay overtakes one with a longer delay.
//
// The queue is bounded. A reply that does not fit is dropped and counted; the count is reported
// through overflowed() at most once a second, and never lost.
class ReplyDelayQueue : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype kDefaultCapacity = 100000;

    explicit ReplyDelayQueue(QObject* parent = nullptr, qsizetype capacity = kDefaultCapacity);

    // Holds `reply` for `delayMs`; false (and counted) when the queue is full.
    bool hold(DelayedReply reply, int delayMs);
    bool isFull() const { return size() >= m_capacity; }
    qsizetype size() const { return qsizetype(m_heap.size()); }
    qsizetype capacity() const { return m_capacity; }

signals:
    void released(const DelayedReply& reply);
    void overflowed(quint64 droppedReplies);

private:
    struct Later {
        bool operator()(const DelayedReply& a, const DelayedReply& b) const
        {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.order > b.order;
        }
    };
    void releaseDue();
    void arm();

    std::priority_queue<DelayedReply, std::vector<DelayedReply>, Later> m_heap;
    qsizetype m_capacity;
    QElapsedTimer m_clock;
    QTimer m_timer;
    quint64 m_nextOrder = 0;
    ThrottledCount m_dropped;
};
