#include "throttledcount.h"

ThrottledCount::ThrottledCount(int intervalMs, QObject* parent)
    : QObject(parent)
    , m_intervalMs(intervalMs)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ThrottledCount::flush);
}

void ThrottledCount::add(quint64 n)
{
    m_pending += n;
    m_total += n;
    const qint64 since = m_lastReportMs < 0 ? m_intervalMs : m_clock.elapsed() - m_lastReportMs;
    if (since >= m_intervalMs)
        flush();
    else if (!m_timer.isActive())
        m_timer.start(int(m_intervalMs - since));
}

void ThrottledCount::flush()
{
    if (m_pending == 0)
        return;
    m_lastReportMs = m_clock.elapsed();
    const quint64 count = m_pending;
    m_pending = 0;
    emit report(count);
}
