#include "replydelayqueue.h"

ReplyDelayQueue::ReplyDelayQueue(QObject* parent, qsizetype capacity)
    : QObject(parent)
    , m_capacity(capacity)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ReplyDelayQueue::releaseDue);
    connect(&m_dropped, &ThrottledCount::report, this, &ReplyDelayQueue::overflowed);
}

bool ReplyDelayQueue::hold(DelayedReply reply, int delayMs)
{
    if (size() >= m_capacity) {
        m_dropped.add();
        return false;
    }
    // Nanoseconds: a clock in whole milliseconds would let a reply leave up to 1 ms early.
    reply.dueNs = m_clock.nsecsElapsed() + qint64(delayMs) * 1000000;
    reply.order = m_nextOrder++;
    const bool earliest = m_heap.empty() || reply.dueNs < m_heap.top().dueNs;
    m_heap.push(reply);
    if (earliest)
        arm();
    return true;
}

void ReplyDelayQueue::arm()
{
    if (m_heap.empty()) {
        m_timer.stop();
        return;
    }
    // Rounded up: the timer counts whole milliseconds, and a reply must not leave early.
    const qint64 waitNs = std::max<qint64>(0, m_heap.top().dueNs - m_clock.nsecsElapsed());
    m_timer.start(int((waitNs + 999999) / 1000000));
}

void ReplyDelayQueue::releaseDue()
{
    const qint64 now = m_clock.nsecsElapsed();
    while (!m_heap.empty() && m_heap.top().dueNs <= now) {
        const DelayedReply reply = m_heap.top();
        m_heap.pop();
        emit released(reply);
    }
    arm();
}
