#pragma once

#include "logstorereader.h"
#include "logstorewriter.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <deque>
#include <memory>

struct LogStoreOptions {
    // Empty: a directory of the run's own (see defaultDirectory()), removed at a normal exit.
    QString directory;
    // Bytes on disk at most; 0 for the default (10 GiB, or a tenth of the free space if less).
    qint64 diskLimit = 0;
    // A fleet's units by index, so that a reader of the store can name them.
    QStringList unitAddresses;
    // How long the end of the run waits for the disk to take what is left, at most.
    int exitWaitMs = 10000;
};

// The traffic log on disk: every line goes to segment files in a directory, packed in blocks on
// a writer thread, so that a long run keeps all of its log in little memory. Lines are gathered
// into a block here (cheap) and handed to the writer when it is full or a moment has passed, so
// that a run that is killed loses no more than that moment.
//
// Lines are numbered as the log model numbers them. Those from firstSeq() up to storedEnd() are
// on disk and read back with read(). When the store would outgrow its disk limit, its oldest
// segment goes (linesRemoved()). When writing fails, the store says why once (failed()) and
// stores nothing more until it is cleared.
class LogStore : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kMinDiskLimit = 1024 * 1024;
    static constexpr qint64 kDefaultDiskLimit = 10LL * 1024 * 1024 * 1024;
    // Blocks handed to the writer and not yet written: beyond this the disk does not keep up.
    static constexpr int kMaxBlocksInFlight = 256;
    static constexpr int kFlushIntervalMs = 200;
    static constexpr auto kMetadataFile = "store.json";

    // Opens a new store in `options.directory` (made if need be; it must be the user's own, no
    // other user may write in it, and it must not hold a store already), or in a new directory
    // of the run's own (see defaultParent()).
    static std::unique_ptr<LogStore> open(const LogStoreOptions& options, QString* error);
    // Where a run's own store directory is made, under a name nobody can guess or take first:
    // $XDG_STATE_HOME/unit-simulator, else the system's temporary directory.
    static QString defaultParent();
    // "10GiB", "500M", "1.5 GB", "1048576": bytes, or -1 when it is none of those.
    static qint64 parseSize(const QString& text);
    static QString sizeText(qint64 bytes);

    ~LogStore() override;

    QString directory() const { return m_directory; }
    // Whether the directory stays after the run (it was asked for by name).
    bool keepsDirectory() const { return m_keep; }
    qint64 diskLimit() const { return m_diskLimit; }
    // How large a segment file grows: what removing the oldest frees at a time.
    qint64 segmentBytes() const { return m_segmentBytes; }

    void append(const TrafficLogEntry& entry, quint32 unit);
    // Every line gone, on disk and on the way there; numbering carries on.
    void clear();
    // The units' addresses as lines from now on name them (after a clear: the units were made
    // anew), for the store's readers; false, with why, when the directory cannot be written.
    bool setUnitAddresses(const QStringList& addresses, QString* error);
    // Hands what has gathered to the writer now.
    void flush();

    quint64 firstSeq() const { return m_first; }
    quint64 storedEnd() const { return m_reader.isEmpty() ? m_first : m_reader.endSeq(); }
    bool read(quint64 seq, LogLine* line, QString* error) const { return m_reader.read(seq, line, error); }
    const LogStoreReader& reader() const { return m_reader; }

    qint64 bytesOnDisk() const { return m_bytes; }
    quint64 linesRemovedTotal() const { return m_removed; }
    // Why lines are not stored, or empty while they are.
    QString failure() const { return m_failure; }
    // Waits until everything handed to the writer is written, and the segments beyond the limit
    // are gone (for tests and for a clean exit); false when the deadline came first.
    bool waitUntilWritten(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    // The thread the disk work runs on (for tests that stall it).
    QThread* writerThread() const { return m_thread.get(); }

signals:
    // Lines up to `end` are on disk.
    void stored(quint64 end);
    // The `count` oldest lines were removed to stay within the disk limit; firstSeq() moved.
    void linesRemoved(quint64 count);
    void failed(const QString& reason);

private:
    LogStore(const QString& directory, int directoryFd, bool keep, qint64 diskLimit,
             const QJsonObject& metadata, int exitWaitMs);
    void blockWritten(const LogBlockPlace& place, qint64 fileBytes);
    void writeFailed(const QString& reason);
    void removeDirectory();
    // Tells on standard error what a writer that did not finish in time left unwritten.
    void reportUnfinished() const;

    QString m_directory;
    QJsonObject m_metadata; // as store.json holds it
    bool m_keep = false;
    qint64 m_diskLimit = kDefaultDiskLimit;
    qint64 m_segmentBytes = 0;
    int m_exitWaitMs = 0;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<LogStoreWriter> m_writer;
    LogStoreReader m_reader;
    LogBlockBuilder m_builder;
    quint64 m_builderFirst = 0;
    quint64 m_end = 0;   // lines appended
    quint64 m_first = 0; // oldest line still held
    int m_blocksInFlight = 0;
    std::deque<std::pair<quint64, qint64>> m_segmentSizes; // each segment's size, oldest first
    qint64 m_bytes = 0;
    quint64 m_removed = 0;
    QString m_failure;
    QTimer m_flushTimer;
};
