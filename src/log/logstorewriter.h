#pragma once

#include "logstorereader.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The log store's disk work, on a thread of its own: packs each block, appends it to the
// current segment file and starts a new segment when that one is full; removes segments when
// told. A write that fails (a full disk, say) is reported once, and nothing more is written.
class LogStoreWriter : public QObject {
    Q_OBJECT

public:
    // Takes `directoryFd`, the store's directory opened: files are made in it, never through links.
    LogStoreWriter(const QString& directory, int directoryFd, qint64 segmentBytes);
    ~LogStoreWriter() override;

    // Each runs on the writer's thread, in the order asked.
    void write(const QByteArray& raw, quint32 rows, quint64 firstSeq);
    void removeSegment(quint64 segment);
    void removeAll();

signals:
    // A whole block is on disk; `fileBytes` is how much the segment file grew (with its header
    // for a new segment).
    void written(const LogBlockPlace& place, qint64 fileBytes);
    void failed(const QString& reason);

private:
    bool startSegment(quint64 segment, QString* error);
    void closeSegment();

    QString m_directory;
    int m_dirFd;
    qint64 m_segmentBytes;
    int m_fd = -1;
    quint64 m_segment = 0;
    qint64 m_size = 0;
    bool m_failed = false;
};
