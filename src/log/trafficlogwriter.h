#pragma once

#include "unit/trafficlogentry.h"

#include <QObject>
#include <QTimer>

#include <cstdio>

// The traffic log as a stream: each line goes to `out` as it is written, oldest first. Lines
// are buffered through a burst and flushed as soon as the event loop is idle again, so a reader
// sees them at once without a write per line. When the reader goes away (a closed pipe), the
// writer says so once and stops writing; the unit itself carries on.
class TrafficLogWriter : public QObject {
    Q_OBJECT

public:
    // Text: the lines exactly as the window shows them. JsonLines: one JSON object per line.
    enum class Format { Text, JsonLines };

    explicit TrafficLogWriter(std::FILE* out, Format format = Format::Text, QObject* parent = nullptr);
    ~TrafficLogWriter() override;

    void append(const TrafficLogEntry& entry);
    void flush();

signals:
    void outputClosed();

private:
    std::FILE* m_out;
    Format m_format;
    quint64 m_seq = 0; // as the control API numbers the same lines
    bool m_writing = true;
    QTimer m_flushTimer;
};
