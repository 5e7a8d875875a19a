#include "logstorewriter.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {
QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// Writes all of `data`; on failure errno says why.
bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}
} // namespace

LogStoreWriter::LogStoreWriter(const QString& directory, int directoryFd, qint64 segmentBytes)
    : m_directory(directory)
    , m_dirFd(directoryFd)
    , m_segmentBytes(segmentBytes)
{
}

LogStoreWriter::~LogStoreWriter()
{
    closeSegment();
    ::close(m_dirFd);
}

void LogStoreWriter::closeSegment()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

bool LogStoreWriter::startSegment(quint64 segment, QString* error)
{
    closeSegment();
    const QString name = LogStoreReader::segmentFileName(segment);
    // Always a new file: whatever stands under the name (a link, a pipe) is never opened.
    m_fd = ::openat(m_dirFd, QFile::encodeName(name).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(name, systemError(errno));
        return false;
    }
    char header[LogStoreReader::kSegmentHeaderSize] = {};
    std::memcpy(header, LogStoreReader::kSegmentMagic, sizeof LogStoreReader::kSegmentMagic);
    const quint32 format = LogStoreReader::kFormat;
    std::memcpy(header + sizeof LogStoreReader::kSegmentMagic, &format, sizeof format);
    if (!writeAll(m_fd, header, sizeof header)) {
        *error = QStringLiteral("cannot write %1: %2").arg(name, systemError(errno));
        closeSegment();
        return false;
    }
    m_segment = segment;
    m_size = sizeof header;
    return true;
}

void LogStoreWriter::write(const QByteArray& raw, quint32 rows, quint64 firstSeq)
{
    if (m_failed)
        return;
    const QByteArray block = packLogBlock(raw, rows, firstSeq);
    QString error;
    if (block.isEmpty()) {
        m_failed = true;
        emit failed(QStringLiteral("no memory to pack lines for the disk"));
        return;
    }
    const qint64 sizeBefore = m_fd >= 0 && m_size + block.size() <= m_segmentBytes ? m_size : 0;
    if (sizeBefore == 0 && !startSegment(firstSeq, &error)) {
        m_failed = true;
        emit failed(error);
        return;
    }
    const qint64 offset = m_size;
    if (!writeAll(m_fd, block.constData(), block.size())) {
        const int why = errno;
        // What did get written is no whole block; a reader stops before it either way.
        [[maybe_unused]] const int ignored = ::ftruncate(m_fd, offset);
        m_failed = true;
        emit failed(QStringLiteral("cannot write %1: %2")
                        .arg(LogStoreReader::segmentFileName(m_segment), systemError(why)));
        return;
    }
    m_size += block.size();
    LogBlockPlace place{m_segment, offset, {}};
    LogBlockHeader::read(block.constData(), &place.header);
    emit written(place, m_size - (sizeBefore == 0 ? 0 : sizeBefore));
}

void LogStoreWriter::removeSegment(quint64 segment)
{
    if (m_fd >= 0 && segment == m_segment)
        closeSegment();
    ::unlinkat(m_dirFd, QFile::encodeName(LogStoreReader::segmentFileName(segment)).constData(), 0);
}

void LogStoreWriter::removeAll()
{
    closeSegment();
    m_failed = false; // a cleared store may well have room again
    const QDir dir(m_directory);
    for (const QString& name : dir.entryList({QStringLiteral("segment-*.log")}, QDir::Files))
        ::unlinkat(m_dirFd, QFile::encodeName(name).constData(), 0);
}
