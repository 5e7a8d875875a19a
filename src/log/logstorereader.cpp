#include "logstorereader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Unpacked blocks kept: a window's page and an API page of 10,000 lines both fit.
constexpr std::size_t kUnpackedBlocks = 8;
// Of an older segment, the place of every kSparseStep-th block stays in memory: a few bytes per
// hundred thousand lines, and a few dozen header reads to find any block from there.
constexpr std::size_t kSparseStep = 32;

bool readAt(int fd, char* out, qsizetype size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, out, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        size -= n;
        offset += n;
    }
    return true;
}
} // namespace

QString LogStoreReader::segmentFileName(quint64 segment)
{
    return QStringLiteral("segment-%1.log").arg(segment, 20, 10, QLatin1Char('0'));
}

LogStoreReader::LogStoreReader(const QString& directory)
    : m_directory(directory)
{
}

LogStoreReader::~LogStoreReader()
{
    for (const auto& [segment, fd] : m_files)
        ::close(fd);
}

void LogStoreReader::add(const LogBlockPlace& place)
{
    if (m_segments.empty() || m_segments.back().id != place.segment) {
        m_segments.push_back({place.segment, place.header.firstSeq, place.header.firstSeq, {}, false});
        forgetIdlePlaces();
    }
    Segment& segment = m_segments.back();
    segment.blocks.push_back(place);
    segment.endSeq = place.endSeq();
}

qsizetype LogStoreReader::segmentsIndexed() const
{
    return std::count_if(m_segments.begin(), m_segments.end(), [](const Segment& s) { return !s.sparse; });
}

void LogStoreReader::forgetIdlePlaces()
{
    // The segment being written (the last) keeps all its places, so does the one before it.
    for (std::size_t k = 0; k + 2 < m_segments.size(); ++k) {
        Segment& segment = m_segments[k];
        if (segment.sparse)
            continue;
        std::vector<LogBlockPlace> kept;
        kept.reserve(segment.blocks.size() / kSparseStep + 1);
        for (std::size_t b = 0; b < segment.blocks.size(); b += kSparseStep)
            kept.push_back(segment.blocks[b]);
        segment.blocks = std::move(kept);
        segment.sparse = true;
    }
}

quint64 LogStoreReader::dropOldestSegment()
{
    if (m_segments.empty())
        return 0;
    const Segment oldest = std::move(m_segments.front());
    m_segments.pop_front();
    closeFile(oldest.id);
    const quint64 first = firstSeq();
    const bool empty = isEmpty();
    std::erase_if(m_unpacked, [&](const Unpacked& u) { return empty || u.firstSeq < first; });
    return oldest.endSeq - oldest.firstSeq;
}

void LogStoreReader::clear()
{
    m_segments.clear();
    m_unpacked.clear();
    m_damagedFirst = m_damagedEnd = 0;
    for (const auto& [segment, fd] : m_files)
        ::close(fd);
    m_files.clear();
}

void LogStoreReader::closeFile(quint64 segment)
{
    if (const auto it = m_files.find(segment); it != m_files.end()) {
        ::close(it->second);
        m_files.erase(it);
    }
}

int LogStoreReader::fileOf(quint64 segment, QString* error) const
{
    if (const auto it = m_files.find(segment); it != m_files.end())
        return it->second;
    const QByteArray path = QFile::encodeName(m_directory + QLatin1Char('/') + segmentFileName(segment));
    // Never through a link, and never waiting on a pipe someone put there: a segment is a file.
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(QFile::decodeName(path), QString::fromLocal8Bit(strerror(errno)));
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("cannot open %1: not a file").arg(QFile::decodeName(path));
        ::close(fd);
        return -1;
    }
    m_files.emplace(segment, fd);
    return fd;
}

const LogStoreReader::Unpacked* LogStoreReader::blockWith(quint64 seq, QString* error) const
{
    for (Unpacked& unpacked : m_unpacked) {
        if (seq >= unpacked.firstSeq && seq < unpacked.firstSeq + unpacked.lines.size()) {
            unpacked.lastUse = ++m_uses;
            return &unpacked;
        }
    }
    if (seq >= m_damagedFirst && seq < m_damagedEnd) {
        *error = m_damagedError;
        return nullptr;
    }
    auto in = std::upper_bound(m_segments.begin(), m_segments.end(), seq,
                               [](quint64 s, const Segment& segment) { return s < segment.firstSeq; });
    if (in == m_segments.begin() || seq >= (--in)->endSeq) {
        *error = QStringLiteral("line %1 is not in the log store").arg(seq);
        return nullptr;
    }
    Segment& segment = *in;
    auto it =
        std::upper_bound(segment.blocks.begin(), segment.blocks.end(), seq,
                         [](quint64 s, const LogBlockPlace& place) { return s < place.header.firstSeq; });
    if (it == segment.blocks.begin()) {
        *error = QStringLiteral("line %1 cannot be found in %2").arg(seq).arg(segmentFileName(segment.id));
        return nullptr;
    }
    LogBlockPlace place = *--it;
    const int fd = fileOf(place.segment, error);
    if (fd < 0)
        return nullptr;
    // A thinned segment keeps every kSparseStep-th place: the block wanted is found from there by
    // its headers, a few dozen small reads at most.
    for (std::size_t step = 0; seq >= place.endSeq(); ++step) {
        char bytes[LogBlockHeader::kSize];
        const qint64 next = place.offset + LogBlockHeader::kSize + place.header.packedSize;
        if (step > kSparseStep || !readAt(fd, bytes, LogBlockHeader::kSize, next) ||
            !LogBlockHeader::read(bytes, &place.header)) {
            *error =
                QStringLiteral("line %1 cannot be found in %2").arg(seq).arg(segmentFileName(segment.id));
            return nullptr;
        }
        place.offset = next;
    }
    ++m_blocksRead;
    const auto damaged = [&] {
        m_damagedFirst = place.header.firstSeq;
        m_damagedEnd = place.endSeq();
        m_damagedError = *error;
        return nullptr;
    };
    QByteArray packed(place.header.packedSize, Qt::Uninitialized);
    if (!readAt(fd, packed.data(), packed.size(), place.offset + LogBlockHeader::kSize)) {
        *error =
            QStringLiteral("cannot read %1: %2")
                .arg(segmentFileName(place.segment), QString::fromLocal8Bit(strerror(errno ? errno : EIO)));
        return damaged();
    }
    Unpacked fresh;
    fresh.firstSeq = place.header.firstSeq;
    if (!unpackLogBlock(place.header, packed.constData(), &fresh.lines, error))
        return damaged();
    fresh.lastUse = ++m_uses;
    if (m_unpacked.size() < kUnpackedBlocks) {
        m_unpacked.push_back(std::move(fresh));
        return &m_unpacked.back();
    }
    auto oldest =
        std::min_element(m_unpacked.begin(), m_unpacked.end(),
                         [](const Unpacked& a, const Unpacked& b) { return a.lastUse < b.lastUse; });
    *oldest = std::move(fresh);
    return &*oldest;
}

bool LogStoreReader::read(quint64 seq, LogLine* line, QString* error) const
{
    const Unpacked* block = blockWith(seq, error);
    if (!block)
        return false;
    *line = block->lines[std::size_t(seq - block->firstSeq)];
    return true;
}

bool LogStoreReader::indexFile(Segment& segment, quint64 endSeq, QString* note) const
{
    const QString name = segmentFileName(segment.id);
    const int fd = fileOf(segment.id, note);
    if (fd < 0)
        return false;
    struct stat info {};
    ::fstat(fd, &info);
    const qint64 size = info.st_size;
    char head[kSegmentHeaderSize];
    if (!readAt(fd, head, kSegmentHeaderSize, 0) ||
        std::memcmp(head, kSegmentMagic, sizeof kSegmentMagic) != 0) {
        *note = QStringLiteral("%1 is not a segment of a log store").arg(name);
        return false;
    }
    std::vector<LogBlockPlace> blocks;
    qint64 offset = kSegmentHeaderSize;
    while (offset < size && (endSeq == 0 || blocks.empty() || blocks.back().endSeq() < endSeq)) {
        char bytes[LogBlockHeader::kSize];
        LogBlockPlace place{segment.id, offset, {}};
        if (!readAt(fd, bytes, LogBlockHeader::kSize, offset) ||
            !LogBlockHeader::read(bytes, &place.header) ||
            offset + LogBlockHeader::kSize + place.header.packedSize > size) {
            *note =
                QStringLiteral("%1 ends with %2 bytes that are no whole block (the run is writing it still, "
                               "or was stopped while writing it)")
                    .arg(name)
                    .arg(size - offset);
            break;
        }
        if (!blocks.empty() && place.header.firstSeq != blocks.back().endSeq()) {
            *note = QStringLiteral("%1 does not follow on at line %2; read up to there")
                        .arg(name)
                        .arg(place.header.firstSeq);
            break;
        }
        blocks.push_back(place);
        offset += LogBlockHeader::kSize + place.header.packedSize;
    }
    if (blocks.empty())
        return false;
    segment.firstSeq = blocks.front().header.firstSeq;
    segment.endSeq = blocks.back().endSeq();
    segment.blocks = std::move(blocks);
    return true;
}

bool LogStoreReader::scan(QStringList* notes, QString* error)
{
    clear();
    const QDir dir(m_directory);
    if (!dir.exists()) {
        *error = QStringLiteral("%1 does not exist").arg(m_directory);
        return false;
    }
    const QStringList names =
        dir.entryList({QStringLiteral("segment-*.log")}, QDir::Files, QDir::Name); // names sort by seq
    if (names.isEmpty() && !dir.exists(QStringLiteral("store.json"))) {
        *error = QStringLiteral("%1 holds no log store").arg(m_directory);
        return false;
    }
    for (const QString& name : names) {
        bool ok = false;
        const quint64 id = name.mid(8, 20).toULongLong(&ok);
        if (!ok || name != segmentFileName(id))
            continue;
        Segment segment{id, id, id, {}, false};
        QString note;
        const bool indexed = indexFile(segment, 0, &note);
        if (!note.isEmpty())
            notes->append(note);
        if (!indexed)
            continue;
        if (!m_segments.empty() && segment.firstSeq < m_segments.back().endSeq) {
            notes->append(
                QStringLiteral("%1 repeats lines from %2 on; left out").arg(name).arg(segment.firstSeq));
            continue;
        }
        m_segments.push_back(std::move(segment));
        forgetIdlePlaces();
    }
    return true;
}
