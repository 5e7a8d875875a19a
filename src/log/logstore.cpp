#include "logstore.h"

#include "trafficlogjson.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSemaphore>
#include <QStorageInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A segment is a sixteenth of the limit (so that removing the oldest frees little more than is
// needed), within sensible file sizes.
qint64 segmentBytesFor(qint64 diskLimit)
{
    return std::clamp<qint64>(diskLimit / 16, 256 * 1024, 64 * 1024 * 1024);
}

// Writers stuck in the kernel at their store's end, and their threads: left to the process's end,
// and kept reachable meanwhile, since they are meant to outlive their store (never freed, as a
// running thread must not be destroyed).
QList<QObject*>& abandoned()
{
    static auto* const objects = new QList<QObject*>;
    return *objects;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// A directory asked for by name, made if need be (for this user alone). Refused when another user
// could change what is in it: they could put a link where a segment is about to be written.
int openNamedDirectory(const QString& directory, QString* opened, QString* error)
{
    *opened = directory;
    const QByteArray path = QFile::encodeName(directory);
    if (QFileInfo(directory).dir().mkpath(QStringLiteral(".")) && ::mkdir(path.constData(), 0700) != 0 &&
        errno != EEXIST) {
        *error = QStringLiteral("cannot make the log directory %1: %2").arg(directory, systemError(errno));
        return -1;
    }
    const uid_t me = ::geteuid();
    struct stat link {};
    if (::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != me) {
        *error = QStringLiteral("the log directory %1 is a link of another user's (uid %2); choose a "
                                "directory of your own")
                     .arg(directory)
                     .arg(link.st_uid);
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        *error = QStringLiteral("cannot open the log directory %1: %2").arg(directory, systemError(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    QString refused;
    if (info.st_uid != me)
        refused = QStringLiteral("belongs to another user (uid %1)").arg(info.st_uid);
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        refused = QStringLiteral("can be written by other users (mode %1)")
                      .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (!refused.isEmpty()) {
        *error = QStringLiteral("the log directory %1 %2: they could make the run write where they "
                                "like; choose a directory only you can write in")
                     .arg(directory, refused);
        ::close(fd);
        return -1;
    }
    return fd;
}

// A new directory of the run's own, under a name nobody can take first, for this user alone.
int makeOwnDirectory(QString* made, QString* error)
{
    const QString parent = LogStore::defaultParent();
    const QByteArray parentPath = QFile::encodeName(parent);
    if (!QDir(parent).exists() &&
        (!QFileInfo(parent).dir().mkpath(QStringLiteral(".")) ||
         ::mkdir(parentPath.constData(), 0700) != 0) &&
        errno != EEXIST) {
        *error = QStringLiteral("cannot make %1: %2").arg(parent, systemError(errno));
        return -1;
    }
    QByteArray name = QFile::encodeName(
        QStringLiteral("%1/unitsim-log-%2-XXXXXX")
            .arg(parent, QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    if (!::mkdtemp(name.data())) {
        *error = QStringLiteral("cannot make a log directory in %1: %2").arg(parent, systemError(errno));
        return -1;
    }
    *made = QFile::decodeName(name);
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the log directory %1: %2").arg(*made, systemError(errno));
        ::rmdir(name.constData());
    }
    return fd;
}
} // namespace

QString LogStore::defaultParent()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state + QStringLiteral("/unit-simulator");
    return QDir::tempPath();
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
    QString directory;
    const int dirFd =
        keep ? openNamedDirectory(QDir::cleanPath(QDir(options.directory).absolutePath()), &directory, error)
             : makeOwnDirectory(&directory, error);
    if (dirFd < 0)
        return nullptr;
    // Made exclusively: two runs never share a store, and an earlier run's is never overwritten.
    const int fd = ::openat(dirFd, kMetadataFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno == EEXIST
                     ? QStringLiteral("%1 holds the log store of another run already (read it with "
                                      "\"unitctl log %1\"); remove it or choose another directory")
                           .arg(directory)
                     : QStringLiteral("cannot write in the log directory %1: %2")
                           .arg(directory, QString::fromLocal8Bit(strerror(errno)));
        ::close(dirFd);
        if (!keep)
            QDir().rmdir(directory);
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
        ::unlinkat(dirFd, kMetadataFile, 0);
        ::close(dirFd);
        if (!keep)
            QDir().rmdir(directory);
        *error = QStringLiteral("cannot write in the log directory %1: %2")
                     .arg(directory, QString::fromLocal8Bit(strerror(writeError)));
        return nullptr;
    }
    return std::unique_ptr<LogStore>(
        new LogStore(directory, dirFd, keep, limit, about, std::max(0, options.exitWaitMs)));
}

LogStore::LogStore(const QString& directory, int directoryFd, bool keep, qint64 diskLimit,
                   const QJsonObject& metadata, int exitWaitMs)
    : m_directory(directory)
    , m_metadata(metadata)
    , m_keep(keep)
    , m_diskLimit(diskLimit)
    , m_segmentBytes(segmentBytesFor(diskLimit))
    , m_exitWaitMs(exitWaitMs)
    , m_thread(std::make_unique<QThread>())
    , m_writer(std::make_unique<LogStoreWriter>(directory, directoryFd, m_segmentBytes))
    , m_reader(directory)
{
    qRegisterMetaType<LogBlockPlace>();
    m_thread->setObjectName(QStringLiteral("log store"));
    m_writer->moveToThread(m_thread.get());
    connect(m_writer.get(), &LogStoreWriter::written, this, &LogStore::blockWritten);
    connect(m_writer.get(), &LogStoreWriter::failed, this, &LogStore::writeFailed);
    m_thread->start();
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &LogStore::flush);
}

LogStore::~LogStore()
{
    // A store that stays is written whole: a normal exit loses no line. But a disk that does not
    // answer (a hung network mount, say) must not keep the run from ending.
    const QDeadlineTimer deadline(m_exitWaitMs);
    const bool finished = !m_keep || waitUntilWritten(deadline);
    m_thread->quit();
    if (!finished || !m_thread->wait(deadline)) {
        reportUnfinished();
        // The writer is stuck in a system call: it and its thread are left to the process's end
        // rather than destroyed under it.
        abandoned() << m_writer.release() << m_thread.release();
        m_reader.clear();
        return;
    }
    m_writer.reset();
    m_reader.clear();
    if (!m_keep)
        removeDirectory();
}

void LogStore::reportUnfinished() const
{
    const quint64 stored = storedEnd();
    QString text = QStringLiteral("log store: the disk did not take what was left within %1 s")
                       .arg(m_exitWaitMs / 1000.0, 0, 'g', 3);
    if (!m_keep)
        text += QStringLiteral("; %1 is left behind").arg(m_directory);
    else if (m_end > stored)
        text += QStringLiteral("; lines %1 to %2 (%3) were not written to %4")
                    .arg(stored)
                    .arg(m_end - 1)
                    .arg(m_end - stored)
                    .arg(m_directory);
    qWarning("%s", qPrintable(text));
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

bool LogStore::waitUntilWritten(QDeadlineTimer deadline)
{
    flush();
    // Twice: what the blocks' arrival set off (the oldest segments removed) is the writer's to do too.
    for (int round = 0; round < 2; ++round) {
        // Shared: a writer that answers after the deadline still finds it.
        const auto done = std::make_shared<QSemaphore>();
        QMetaObject::invokeMethod(
            m_writer.get(), [done] { done->release(); }, Qt::QueuedConnection);
        if (!done->tryAcquire(1, int(std::min<qint64>(deadline.remainingTime(), INT_MAX))))
            return false;
        QCoreApplication::sendPostedEvents(this);
    }
    return true;
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
