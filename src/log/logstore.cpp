#include "logstore.h"

#include "trafficlogjson.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {
// A segment is a sixteenth of the limit (so that removing the oldest frees little more than is
// needed), within sensible file sizes.
qint64 segmentBytesFor(qint64 diskLimit)
{
    return std::clamp<qint64>(diskLimit / 16, 256 * 1024, 64 * 1024 * 1024);
}
} // namespace

QString LogStore::defaultDirectory()
{
    const QString name = QStringLiteral("unitsim-log-%1-%2")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                             .arg(QCoreApplication::applicationPid());
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state + QStringLiteral("/unit-simulator/") + name;
    return QDir::tempPath() + QLatin1Char('/') + name;
}

qint64 LogStore::parseSize(const QString& text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*([0-9]+(?:\\.[0-9]+)?)\\s*([A-Za-z]*)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return -1;
    const QString unit = match.captured(2).toLower();
    static const std::pair<const char*, double> kUnits[] = {{"", 1},
                                                            {"b", 1},
                                                            {"k", 1024.0},
                                                            {"kib", 1024.0},
                                                            {"kb", 1e3},
                                                            {"m", 1048576.0},
                                                            {"mib", 1048576.0},
                                                            {"mb", 1e6},
                                                            {"g", 1073741824.0},
                                                            {"gib", 1073741824.0},
                                                            {"gb", 1e9},
                                                            {"t", 1099511627776.0},
                                                            {"tib", 1099511627776.0},
                                                            {"tb", 1e12}};
    for (const auto& [name, factor] : kUnits) {
        if (unit == QLatin1String(name)) {
            const double bytes = match.captured(1).toDouble() * factor;
            return bytes < 0x1p62 ? qint64(std::llround(bytes)) : -1;
        }
    }
    return -1;
}

QString LogStore::sizeText(qint64 bytes)
{
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    const bool whole = std::abs(value - std::round(value)) < 0.05;
    return QStringLiteral("%1 %2")
        .arg(value, 0, 'f', unit == 0 || whole ? 0 : 1)
        .arg(QLatin1String(kUnits[unit]));
}

std::unique_ptr<LogStore> LogStore::open(const LogStoreOptions& options, QString* error)
{
    const bool keep = !options.directory.isEmpty();
    const QString directory =
        QDir::cleanPath(QDir(keep ? options.directory : defaultDirectory()).absolutePath());
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot make the log directory %1").arg(directory);
        return nullptr;
    }
    // Made exclusively: two runs never share a store, and an earlier run's is never overwritten.
    const QByteArray metadataPath =
        QFile::encodeName(directory + QLatin1Char('/') + QLatin1String(kMetadataFile));
    const int fd = ::open(metadataPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno == EEXIST
                     ? QStringLiteral("%1 holds the log store of another run already (read it with "
                                      "\"unitctl log %1\"); remove it or choose another directory")
                           .arg(directory)
                     : QStringLiteral("cannot write in the log directory %1: %2")
                           .arg(directory, QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    qint64 limit = options.diskLimit;
    if (limit <= 0) {
        const qint64 free = QStorageInfo(directory).bytesAvailable();
        limit =
            std::max(kMinDiskLimit, std::min(kDefaultDiskLimit, free > 0 ? free / 10 : kDefaultDiskLimit));
    }
    QJsonArray units;
    for (const QString& address : options.unitAddresses)
        units.append(address);
    const QJsonObject about{{QStringLiteral("format"), int(LogStoreReader::kFormat)},
                            {QStringLiteral("program"), QStringLiteral("unit-simulator")},
                            {QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                            {QStringLiteral("started"), isoTimeUs(TrafficLogEntry::now())},
                            {QStringLiteral("diskLimit"), limit},
                            {QStringLiteral("units"), units}};
    const QByteArray metadata = QJsonDocument(about).toJson();
    const bool written = ::write(fd, metadata.constData(), size_t(metadata.size())) == metadata.size();
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        QFile::remove(QFile::decodeName(metadataPath));
        *error = QStringLiteral("cannot write in the log directory %1: %2")
                     .arg(directory, QString::fromLocal8Bit(strerror(writeError)));
        return nullptr;
    }
    return std::unique_ptr<LogStore>(new LogStore(directory, keep, limit, about));
}

LogStore::LogStore(const QString& directory, bool keep, qint64 diskLimit, const QJsonObject& metadata)
    : m_directory(directory)
    , m_metadata(metadata)
    , m_keep(keep)
    , m_diskLimit(diskLimit)
    , m_segmentBytes(segmentBytesFor(diskLimit))
    , m_writer(std::make_unique<LogStoreWriter>(directory, m_segmentBytes))
    , m_reader(directory)
{
    qRegisterMetaType<LogBlockPlace>();
    m_thread.setObjectName(QStringLiteral("log store"));
    m_writer->moveToThread(&m_thread);
    connect(m_writer.get(), &LogStoreWriter::written, this, &LogStore::blockWritten);
    connect(m_writer.get(), &LogStoreWriter::failed, this, &LogStore::writeFailed);
    m_thread.start();
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &LogStore::flush);
}

LogStore::~LogStore()
{
    // A store that stays is written whole: a normal exit loses no line.
    if (m_keep)
        waitUntilWritten();
    m_thread.quit();
    m_thread.wait();
    m_writer.reset();
    m_reader.clear();
    if (!m_keep)
        removeDirectory();
}

void LogStore::removeDirectory()
{
    QDir dir(m_directory);
    for (const QString& name : dir.entryList({QStringLiteral("segment-*.log")}, QDir::Files))
        dir.remove(name);
    dir.remove(QLatin1String(kMetadataFile));
    dir.rmdir(m_directory);
}

void LogStore::append(const TrafficLogEntry& entry, quint32 unit)
{
    if (!m_failure.isEmpty()) {
        ++m_end;
        return;
    }
    if (m_builder.isEmpty()) {
        m_builderFirst = m_end;
        m_flushTimer.start();
    }
    m_builder.append(entry, unit);
    ++m_end;
    if (m_builder.rows() >= LogBlockHeader::kMaxRows)
        flush();
}

void LogStore::flush()
{
    m_flushTimer.stop();
    if (m_builder.isEmpty() || !m_failure.isEmpty())
        return;
    if (m_blocksInFlight >= kMaxBlocksInFlight) {
        m_builder.take();
        writeFailed(QStringLiteral("the disk does not keep up with the traffic (%1 blocks of lines waiting)")
                        .arg(m_blocksInFlight));
        return;
    }
    const quint32 rows = m_builder.rows();
    const quint64 first = m_builderFirst;
    QMetaObject::invokeMethod(
        m_writer.get(),
        [writer = m_writer.get(), raw = m_builder.take(), rows, first] { writer->write(raw, rows, first); },
        Qt::QueuedConnection);
    ++m_blocksInFlight;
}

void LogStore::waitUntilWritten()
{
    flush();
    QMetaObject::invokeMethod(
        m_writer.get(), [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents(this);
    // What the blocks' arrival set off (the oldest segments removed) is the writer's to do too.
    QMetaObject::invokeMethod(
        m_writer.get(), [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents(this);
}

void LogStore::clear()
{
    m_flushTimer.stop();
    m_builder.take();
    m_first = m_end;
    m_reader.clear();
    m_segmentSizes.clear();
    m_bytes = 0;
    m_failure.clear();
    m_blocksInFlight = 0;
    QMetaObject::invokeMethod(
        m_writer.get(), [writer = m_writer.get()] { writer->removeAll(); }, Qt::QueuedConnection);
}

bool LogStore::setUnitAddresses(const QStringList& addresses, QString* error)
{
    m_metadata.insert(QStringLiteral("units"), QJsonArray::fromStringList(addresses));
    // Replaced whole: a reader never sees half a file.
    QSaveFile file(m_directory + QLatin1Char('/') + QLatin1String(kMetadataFile));
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(m_metadata).toJson()) >= 0 &&
        file.commit())
        return true;
    *error = file.errorString();
    return false;
}

void LogStore::blockWritten(const LogBlockPlace& place, qint64 fileBytes)
{
    m_blocksInFlight = std::max(0, m_blocksInFlight - 1);
    if (place.header.firstSeq < m_first)
        return; // written before a clear, and removed by it
    if (m_segmentSizes.empty() || m_segmentSizes.back().first != place.segment)
        m_segmentSizes.emplace_back(place.segment, 0);
    m_segmentSizes.back().second += fileBytes;
    m_bytes += fileBytes;
    m_reader.add(place);

    quint64 removed = 0;
    // Only whole segments go, never the one being written.
    while (m_bytes > m_diskLimit && m_segmentSizes.size() > 1) {
        const quint64 segment = m_segmentSizes.front().first;
        m_bytes -= m_segmentSizes.front().second;
        m_segmentSizes.pop_front();
        removed += m_reader.dropOldestSegment();
        QMetaObject::invokeMethod(
            m_writer.get(), [writer = m_writer.get(), segment] { writer->removeSegment(segment); },
            Qt::QueuedConnection);
    }
    if (removed > 0) {
        m_first = m_reader.firstSeq();
        m_removed += removed;
        emit linesRemoved(removed);
    }
    emit stored(place.endSeq());
}

void LogStore::writeFailed(const QString& reason)
{
    if (!m_failure.isEmpty())
        return;
    m_failure = reason;
    m_blocksInFlight = 0;
    m_flushTimer.stop();
    emit failed(reason);
}
