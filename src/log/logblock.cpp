#include "logblock.h"

#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace {
// A row: time since the previous row (the first: since 1970) in microseconds, the unit, the
// entry's fixed fields and the lengths of its note's two parts, which follow all rows.
constexpr qsizetype kRowSize = 56;
constexpr qsizetype kTimeAt = 0, kUnitAt = 8, kAddressAt = 12, kRemotePortAt = 16, kLocalPortAt = 18,
                    kKindAt = 20, kCountAt = 21, kFlagsAt = 22, kBytesAt = 23, kTextLengthAt = 52,
                    kReplyLengthAt = 54;
static_assert(kBytesAt + kUnitFrameSize == kTextLengthAt);
constexpr quint8 kHasNote = 0x80;
// Fast compression: a block of rows of the same shape packs to a fraction of its size at the
// lowest levels already, and the writer thread shares the machine with the units.
constexpr int kCompressionLevel = 3;

template <typename T> void put(char* at, T value)
{
    qToLittleEndian(value, at);
}
template <typename T> T get(const char* at)
{
    return qFromLittleEndian<T>(at);
}

// Rows of the same shape, one byte column after the other: what zlib packs best.
void transpose(const char* rows, qsizetype count, char* out)
{
    for (qsizetype column = 0; column < kRowSize; ++column)
        for (qsizetype row = 0; row < count; ++row)
            out[column * count + row] = rows[row * kRowSize + column];
}

void untranspose(const char* columns, qsizetype count, char* out)
{
    for (qsizetype column = 0; column < kRowSize; ++column)
        for (qsizetype row = 0; row < count; ++row)
            out[row * kRowSize + column] = columns[column * count + row];
}

quint32 crc32Of(const char* data, qsizetype size)
{
    return quint32(::crc32(::crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data), uInt(size)));
}
} // namespace

void LogBlockHeader::writeTo(char* out) const
{
    std::memset(out, 0, kSize);
    put<quint32>(out, kMagic);
    put<quint32>(out + 4, rows);
    put<quint64>(out + 8, firstSeq);
    put<quint32>(out + 16, rawSize);
    put<quint32>(out + 20, packedSize);
    put<quint32>(out + 24, checksum);
}

bool LogBlockHeader::read(const char* data, LogBlockHeader* header)
{
    if (get<quint32>(data) != kMagic)
        return false;
    header->rows = get<quint32>(data + 4);
    header->firstSeq = get<quint64>(data + 8);
    header->rawSize = get<quint32>(data + 16);
    header->packedSize = get<quint32>(data + 20);
    header->checksum = get<quint32>(data + 24);
    // A note is at most two times 64 KiB, so a block can never unpack to more than this.
    const quint64 largest = quint64(header->rows) * (kRowSize + 2 * 65535);
    return header->rows >= 1 && header->rows <= kMaxRows && header->rawSize >= header->rows * kRowSize &&
           header->rawSize <= largest && header->packedSize > 0 &&
           header->packedSize <= compressBound(uLong(header->rawSize));
}

LogBlockBuilder::LogBlockBuilder()
{
    m_rows.reserve(LogBlockHeader::kMaxRows * kRowSize);
}

void LogBlockBuilder::append(const TrafficLogEntry& entry, quint32 unit)
{
    const qsizetype at = m_rows.size();
    m_rows.resize(at + kRowSize);
    char* row = m_rows.data() + at;
    put<qint64>(row + kTimeAt, entry.timeUs - m_lastTimeUs);
    m_lastTimeUs = entry.timeUs;
    put<quint32>(row + kUnitAt, unit);
    put<quint32>(row + kAddressAt, entry.address);
    put<quint16>(row + kRemotePortAt, entry.remotePort);
    put<quint16>(row + kLocalPortAt, entry.localPort);
    row[kKindAt] = char(quint8(entry.kind) | (entry.note ? kHasNote : 0));
    row[kCountAt] = char(entry.count);
    row[kFlagsAt] =
        char(entry.profile | entry.notSent << 4 | entry.alsoHeardByOthers << 5 | entry.answers << 6);
    std::memcpy(row + kBytesAt, entry.bytes.data(), kUnitFrameSize);
    quint16 textLength = 0, replyLength = 0;
    if (entry.note) {
        textLength = quint16(std::min<qsizetype>(entry.note->text.size(), 65535));
        replyLength = quint16(std::min<qsizetype>(entry.note->reply.size(), 65535));
        m_notes.append(entry.note->text.constData(), textLength);
        m_notes.append(entry.note->reply.constData(), replyLength);
    }
    put<quint16>(row + kTextLengthAt, textLength);
    put<quint16>(row + kReplyLengthAt, replyLength);
    ++m_count;
}

QByteArray LogBlockBuilder::take()
{
    QByteArray raw = m_rows + m_notes;
    m_rows.resize(0);
    m_notes.resize(0);
    m_count = 0;
    m_lastTimeUs = 0;
    return raw;
}

QByteArray packLogBlock(const QByteArray& raw, quint32 rows, quint64 firstSeq)
{
    const qsizetype rowBytes = qsizetype(rows) * kRowSize;
    Q_ASSERT(raw.size() >= rowBytes);
    QByteArray shaped(raw.size(), Qt::Uninitialized);
    transpose(raw.constData(), rows, shaped.data());
    std::memcpy(shaped.data() + rowBytes, raw.constData() + rowBytes, size_t(raw.size() - rowBytes));

    uLongf packedSize = compressBound(uLong(shaped.size()));
    QByteArray block(LogBlockHeader::kSize + qsizetype(packedSize), Qt::Uninitialized);
    char* packed = block.data() + LogBlockHeader::kSize;
    if (compress2(reinterpret_cast<Bytef*>(packed), &packedSize,
                  reinterpret_cast<const Bytef*>(shaped.constData()), uLong(shaped.size()),
                  kCompressionLevel) != Z_OK)
        return {}; // only when out of memory
    block.resize(LogBlockHeader::kSize + qsizetype(packedSize));
    LogBlockHeader header;
    header.rows = rows;
    header.firstSeq = firstSeq;
    header.rawSize = quint32(raw.size());
    header.packedSize = quint32(packedSize);
    header.checksum = crc32Of(packed, qsizetype(packedSize));
    header.writeTo(block.data());
    return block;
}

bool unpackLogBlock(const LogBlockHeader& header, const char* packed, std::vector<LogLine>* lines,
                    QString* error)
{
    if (crc32Of(packed, header.packedSize) != header.checksum) {
        *error = QStringLiteral("block of lines %1 to %2 is damaged (checksum)")
                     .arg(header.firstSeq)
                     .arg(header.firstSeq + header.rows - 1);
        return false;
    }
    QByteArray shaped(header.rawSize, Qt::Uninitialized);
    uLongf rawSize = header.rawSize;
    if (uncompress(reinterpret_cast<Bytef*>(shaped.data()), &rawSize, reinterpret_cast<const Bytef*>(packed),
                   header.packedSize) != Z_OK ||
        rawSize != header.rawSize) {
        *error = QStringLiteral("block of lines %1 to %2 does not unpack")
                     .arg(header.firstSeq)
                     .arg(header.firstSeq + header.rows - 1);
        return false;
    }
    const qsizetype count = header.rows;
    const qsizetype rowBytes = count * kRowSize;
    QByteArray rows(rowBytes, Qt::Uninitialized);
    untranspose(shaped.constData(), count, rows.data());
    const char* notes = shaped.constData() + rowBytes;
    const qsizetype notesSize = shaped.size() - rowBytes;

    const std::size_t start = lines->size();
    lines->reserve(start + std::size_t(count));
    qint64 timeUs = 0;
    qsizetype noteAt = 0;
    for (qsizetype k = 0; k < count; ++k) {
        const char* row = rows.constData() + k * kRowSize;
        LogLine line;
        TrafficLogEntry& entry = line.entry;
        timeUs += get<qint64>(row + kTimeAt);
        entry.timeUs = timeUs;
        line.unit = get<quint32>(row + kUnitAt);
        entry.address = get<quint32>(row + kAddressAt);
        entry.remotePort = get<quint16>(row + kRemotePortAt);
        entry.localPort = get<quint16>(row + kLocalPortAt);
        const quint8 kind = quint8(row[kKindAt]);
        const quint8 flags = quint8(row[kFlagsAt]);
        if ((kind & ~kHasNote) > quint8(TrafficLogEntry::kLastKind))
            break;
        entry.kind = TrafficLogEntry::Kind(kind & ~kHasNote);
        entry.count = std::min<quint8>(quint8(row[kCountAt]), quint8(kUnitFrameSize));
        entry.profile = flags & 0x0f;
        entry.notSent = (flags >> 4) & 1;
        entry.alsoHeardByOthers = (flags >> 5) & 1;
        entry.answers = (flags >> 6) & 3;
        std::memcpy(entry.bytes.data(), row + kBytesAt, kUnitFrameSize);
        const qsizetype textLength = get<quint16>(row + kTextLengthAt);
        const qsizetype replyLength = get<quint16>(row + kReplyLengthAt);
        if (notesSize - noteAt < textLength + replyLength)
            break;
        if (kind & kHasNote) {
            entry.note = new TrafficLogNote;
            entry.note->text = QByteArray(notes + noteAt, textLength);
            entry.note->reply = QByteArray(notes + noteAt + textLength, replyLength);
        }
        noteAt += textLength + replyLength;
        lines->push_back(std::move(line));
    }
    if (qsizetype(lines->size() - start) != count || noteAt != notesSize) {
        lines->resize(start);
        *error = QStringLiteral("block of lines %1 to %2 holds rows that cannot be right")
                     .arg(header.firstSeq)
                     .arg(header.firstSeq + header.rows - 1);
        return false;
    }
    return true;
}
