#include "recordingcache.h"

#include "unitrecording.h"

#include <QFile>
#include <QHash>
#include <QMutex>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace {
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 changedNs = 0;
    bool operator==(const FileKey& other) const
    {
        return std::tie(device, inode, size, changedNs) ==
               std::tie(other.device, other.inode, other.size, other.changedNs);
    }
};

size_t qHash(const FileKey& key, size_t seed = 0)
{
    return qHashMulti(seed, quint64(key.device), quint64(key.inode), qint64(key.size), key.changedNs);
}

QMutex g_lock;
QHash<FileKey, std::weak_ptr<const RecordedUnit>> g_known;
} // namespace

std::shared_ptr<const RecordedUnit> RecordingCache::read(const QString& path, qint64* bytesRead,
                                                         QString* error)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    const FileKey key{info.st_dev, info.st_ino, info.st_size,
                      qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
    // Held while reading: two readers of one file read it once.
    const QMutexLocker locker(&g_lock);
    if (const auto known = g_known.constFind(key); known != g_known.cend()) {
        if (std::shared_ptr<const RecordedUnit> unit = known->lock())
            return unit;
    }
    std::shared_ptr<const RecordedUnit> unit = UnitRecording::read(path, error);
    *bytesRead += key.size;
    if (!unit)
        return nullptr;
    // Those no unit holds any more go, so that the table stays as small as what is in use.
    g_known.removeIf([](const auto& entry) { return entry.value().expired(); });
    g_known.insert(key, unit);
    return unit;
}
