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
    m_blocks.push_back(place);
}

qsizetype LogStoreReader::segmentCount() const
{
    qsizetype count = 0;
    for (std::size_t k = 0; k < m_blocks.size(); ++k)
        count += (k == 0 || m_blocks[k].segment != m_blocks[k - 1].segment);
    return count;
}

quint64 LogStoreReader::dropOldestSegment()
{
    if (m_blocks.empty())
        return 0;
    const quint64 segment = m_blocks.front().segment;
    quint64 lines = 0;
    while (!m_blocks.empty() && m_blocks.front().segment == segment) {
        lines += m_blocks.front().header.rows;
        m_blocks.pop_front();
    }
    closeFile(segment);
    const quint64 first = firstSeq();
    const bool empty = isEmpty();
    std::erase_if(m_unpacked, [&](const Unpacked& u) { return empty || u.firstSeq < first; });
    return lines;
}

void LogStoreReader::clear()
{
    m_blocks.clear();
    m_unpacked.clear();
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
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(QFile::decodeName(path), QString::fromLocal8Bit(strerror(errno)));
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
    auto it =
        std::upper_bound(m_blocks.begin(), m_blocks.end(), seq,
                         [](quint64 s, const LogBlockPlace& place) { return s < place.header.firstSeq; });
    if (it == m_blocks.begin() || seq >= (--it)->endSeq()) {
        *error = QStringLiteral("line %1 is not in the log store").arg(seq);
        return nullptr;
    }
    const LogBlockPlace& place = *it;
    const int fd = fileOf(place.segment, error);
    if (fd < 0)
        return nullptr;
    QByteArray packed(place.header.packedSize, Qt::Uninitialized);
    if (!readAt(fd, packed.data(), packed.size(), place.offset + LogBlockHeader::kSize)) {
        *error =
            QStringLiteral("cannot read %1: %2")
                .arg(segmentFileName(place.segment), QString::fromLocal8Bit(strerror(errno ? errno : EIO)));
        return nullptr;
    }
    Unpacked fresh;
    fresh.firstSeq = place.header.firstSeq;
    if (!unpackLogBlock(place.header, packed.constData(), &fresh.lines, error))
        return nullptr;
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
        const quint64 segment = name.mid(8, 20).toULongLong(&ok);
        if (!ok || name != segmentFileName(segment))
            continue;
        QString problem;
        const int fd = fileOf(segment, &problem);
        if (fd < 0) {
            notes->append(problem);
            continue;
        }
        struct stat info {};
        ::fstat(fd, &info);
        const qint64 size = info.st_size;
        char head[kSegmentHeaderSize];
        if (!readAt(fd, head, kSegmentHeaderSize, 0) ||
            std::memcmp(head, kSegmentMagic, sizeof kSegmentMagic) != 0) {
            notes->append(QStringLiteral("%1 is not a segment of a log store").arg(name));
            closeFile(segment);
            continue;
        }
        qint64 offset = kSegmentHeaderSize;
        while (offset < size) {
            char bytes[LogBlockHeader::kSize];
            LogBlockPlace place{segment, offset, {}};
            if (!readAt(fd, bytes, LogBlockHeader::kSize, offset) ||
                !LogBlockHeader::read(bytes, &place.header) ||
                offset + LogBlockHeader::kSize + place.header.packedSize > size) {
                notes->append(QStringLiteral("%1 ends with %2 bytes that are no whole block (a run that was "
                                             "stopped while writing)")
                                  .arg(name)
                                  .arg(size - offset));
                break;
            }
            if (!m_blocks.empty() && place.header.firstSeq < m_blocks.back().endSeq()) {
                notes->append(QStringLiteral("%1 repeats lines from %2 on; read up to there")
                                  .arg(name)
                                  .arg(place.header.firstSeq));
                break;
            }
            m_blocks.push_back(place);
            offset += LogBlockHeader::kSize + place.header.packedSize;
        }
    }
    return true;
}
