#pragma once

#include "logblock.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <vector>

// Where a block of lines lies: in which segment file (named for the first line it was started
// with) and at which offset.
struct LogBlockPlace {
    quint64 segment = 0;
    qint64 offset = 0;
    LogBlockHeader header;
    quint64 endSeq() const { return header.firstSeq + header.rows; }
};
Q_DECLARE_METATYPE(LogBlockPlace)

// Reads lines from a log store's segment files by sequence number. Where each block lies is held
// for the last two segments; of older ones only every few dozenth block's place is kept, and the
// rest found again from the file's block headers (so that a run of days holds hardly more than a
// run of minutes). The last blocks unpacked are kept too, so that reading on through a page, or
// scrolling, unpacks each block once.
class LogStoreReader {
public:
    static constexpr qsizetype kSegmentHeaderSize = 16;
    static constexpr char kSegmentMagic[12] = {'U', 'N', 'I', 'T', 'S', 'I', 'M', '-', 'L', 'O', 'G', '\0'};
    static constexpr quint32 kFormat = 1;
    static QString segmentFileName(quint64 segment);

    explicit LogStoreReader(const QString& directory);
    ~LogStoreReader();
    LogStoreReader(const LogStoreReader&) = delete;
    LogStoreReader& operator=(const LogStoreReader&) = delete;

    // A block written after those added so far.
    void add(const LogBlockPlace& place);
    // Forgets the blocks of the oldest segment and returns how many lines they held.
    quint64 dropOldestSegment();
    void clear();

    bool isEmpty() const { return m_segments.empty(); }
    quint64 firstSeq() const { return m_segments.empty() ? 0 : m_segments.front().firstSeq; }
    quint64 endSeq() const { return m_segments.empty() ? 0 : m_segments.back().endSeq; }
    qsizetype segmentCount() const { return qsizetype(m_segments.size()); }
    // Segments whose block places are all in memory (for tests).
    qsizetype segmentsIndexed() const;
    // Blocks read from disk and unpacked (or found damaged) so far (for tests).
    quint64 blocksRead() const { return m_blocksRead; }

    // The line with `seq`; false (with why) when no block holds it or its block cannot be read.
    bool read(quint64 seq, LogLine* line, QString* error) const;

    // Indexes the segment files of the directory as a run left them, a killed one too: every
    // whole block, in order. What cannot be read (a block cut short by the kill, a damaged file)
    // ends its segment and is said in `notes`. False only when there is no store there.
    bool scan(QStringList* notes, QString* error);

private:
    struct Unpacked {
        quint64 firstSeq = 0;
        std::vector<LogLine> lines;
        quint64 lastUse = 0;
    };
    struct Segment {
        quint64 id = 0;
        quint64 firstSeq = 0;
        quint64 endSeq = 0;
        std::vector<LogBlockPlace> blocks;
        bool sparse = false; // only every kSparseStep-th block's place is held
    };
    int fileOf(quint64 segment, QString* error) const;
    const Unpacked* blockWith(quint64 seq, QString* error) const;
    void closeFile(quint64 segment);
    // The places of the segment's blocks from its file, up to `endSeq` at most (all when 0); what
    // cannot be read ends the list and is said in `note`.
    bool indexFile(Segment& segment, quint64 endSeq, QString* note) const;
    // Thins the block places of all but the last two segments.
    void forgetIdlePlaces();

    QString m_directory;
    mutable std::deque<Segment> m_segments;
    mutable std::map<quint64, int> m_files;
    mutable std::vector<Unpacked> m_unpacked;
    mutable quint64 m_uses = 0;
    mutable quint64 m_blocksRead = 0;
    // The last block found damaged: its lines fail at once, with the same reason, rather than
    // each reading and checking it again.
    mutable quint64 m_damagedFirst = 0;
    mutable quint64 m_damagedEnd = 0;
    mutable QString m_damagedError;
};
