#pragma once

#include "unit/trafficlogentry.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
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
    // A line of unit `unit` of a fleet: prefixed with the unit's address once they are known.
    void appendFrom(int unit, const TrafficLogEntry& entry);
    // The fleet's units by index; every line then starts with its unit's address and a space.
    void setUnitAddresses(const QStringList& addresses);
    void flush();

signals:
    void outputClosed();

private:
    std::FILE* m_out;
    Format m_format;
    quint64 m_seq = 0; // as the control API numbers the same lines
    QStringList m_unitAddresses;
    QList<QByteArray> m_unitPrefixes;
    bool m_writing = true;
    QTimer m_flushTimer;
};
