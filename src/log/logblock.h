#pragma once

#include "record/trafficlogentry.h"

#include <QByteArray>
#include <QString>

#include <vector>

// One line of the log as the store hands it back: the entry and the fleet unit it came from
// (0 for the single unit).
struct LogLine {
    TrafficLogEntry entry;
    quint32 unit = 0;
};

// What starts each block on disk. Blocks follow each other in a segment file; a block is whole
// when its header is and its packed bytes match the checksum.
struct LogBlockHeader {
    static constexpr quint32 kMagic = 0x31424c55; // "ULB1"
    static constexpr qsizetype kSize = 32;
    // Enough for a burst, small enough that reading one line unpacks little.
    static constexpr quint32 kMaxRows = 2048;

    quint32 rows = 0;
    quint64 firstSeq = 0;
    quint32 rawSize = 0;    // the rows and their notes, unpacked
    quint32 packedSize = 0; // what follows the header
    quint32 checksum = 0;   // CRC-32 of the packed bytes

    void writeTo(char* out) const;
    // False when `data` (kSize bytes) is not a block header, or one that cannot be right.
    static bool read(const char* data, LogBlockHeader* header);
};

// Lines gathered for one block, as fixed-size rows and their notes. Cheap to add to (a few
// stores per line, no allocation once its buffers have grown); the packing (compression) is the
// writer thread's work.
class LogBlockBuilder {
public:
    LogBlockBuilder();
    void append(const TrafficLogEntry& entry, quint32 unit);
    quint32 rows() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    // The rows and notes gathered so far; the builder starts over.
    QByteArray take();

private:
    QByteArray m_rows;
    QByteArray m_notes;
    qint64 m_lastTimeUs = 0;
    quint32 m_count = 0;
};

// A block ready for disk: header and packed bytes. `raw` is what LogBlockBuilder::take() gave.
QByteArray packLogBlock(const QByteArray& raw, quint32 rows, quint64 firstSeq);
// The lines of a block from its header and packed bytes, appended to `lines`. False (with why)
// when the bytes are not what the header says, nothing appended then.
bool unpackLogBlock(const LogBlockHeader& header, const char* packed, std::vector<LogLine>* lines,
                    QString* error);
