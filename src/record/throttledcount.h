#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Counts something that may happen thousands of times a second (replies dropped, datagrams
// ignored, lines not written) and reports the count at most once an interval: at once for the
// first after a quiet interval, then what came meanwhile when the interval is over. No count is
// lost: a report carries everything since the one before.
class ThrottledCount : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultIntervalMs = 1000;

    explicit ThrottledCount(int intervalMs = kDefaultIntervalMs, QObject* parent = nullptr);

    void add(quint64 n = 1);
    // Everything counted since it started.
    quint64 total() const { return m_total; }

signals:
    void report(quint64 count);

private:
    void flush();

    int m_intervalMs;
    QElapsedTimer m_clock;
    qint64 m_lastReportMs = -1;
    quint64 m_pending = 0;
    quint64 m_total = 0;
    QTimer m_timer;
};
