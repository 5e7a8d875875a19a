#pragma once

#include "record/throttledcount.h"
#include "record/trafficlogentry.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <memory>

// The traffic log as a stream: each line goes to a file descriptor (standard output) as it is
// written, oldest first. Lines are gathered through a burst and written as soon as the event
// loop is idle again, so a reader sees them at once without a write per line.
//
// Writing never blocks the event loop, and so never the unit: a pipe or terminal is written
// through a descriptor of its own that does not block, and what the reader has not taken yet
// waits in a buffer of at most kMaxPendingBytes. Lines that find it full are not written; they
// are counted and reported through linesNotWritten() at most once a second (the log model and
// the control API still hold them). When the reader goes away (a closed pipe), the writer says so
// once and stops writing; the unit itself carries on.
class TrafficLogWriter : public QObject {
    Q_OBJECT

public:
    // Text: the lines exactly as the window shows them. JsonLines: one JSON object per line.
    enum class Format { Text, JsonLines };
    static constexpr qsizetype kMaxPendingBytes = 1024 * 1024;

    // Writes to `fd` (which stays open; the writer may use a descriptor of its own for it).
    explicit TrafficLogWriter(int fd, Format format = Format::Text, QObject* parent = nullptr);
    ~TrafficLogWriter() override;

    void append(const TrafficLogEntry& entry);
    // A line of unit `unit` of a fleet: prefixed with the unit's address once they are known.
    void appendFrom(int unit, const TrafficLogEntry& entry);
    // The fleet's units by index; every line then starts with its unit's address and a space.
    void setUnitAddresses(const QStringList& addresses);
    // Writes what the descriptor takes now.
    void flush();

signals:
    void outputClosed();
    // `count` lines found the buffer full since the last report.
    void linesNotWritten(quint64 count);

private:
    void queue(QByteArrayView line);
    void armWhenWritable();

    int m_fd = -1;
    bool m_ownsFd = false;
    bool m_isSocket = false;
    Format m_format;
    quint64 m_seq = 0; // as the control API numbers the same lines
    QStringList m_unitAddresses;
    QList<QByteArray> m_unitPrefixes;
    QList<QByteArray> m_unitAddressBytes; // for the units an event names
    bool m_writing = true;
    QByteArray m_pending;
    QByteArray m_jsonLine;
    QTimer m_flushTimer;
    std::unique_ptr<QSocketNotifier> m_writable;
    ThrottledCount m_notWritten;
};
