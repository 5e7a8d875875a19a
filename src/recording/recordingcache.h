#pragma once

#include "unit/recordedunit.h"

#include <QString>

#include <memory>

// Recordings read once for the whole process, however their path is spelt (a link, "..",
// /proc/self/root/...): known by the file itself (its device and inode), its size and the time
// it last changed, and kept only while something holds the unit read from it. Safe to use from
// any thread.
namespace RecordingCache {
// The unit the recording at `path` shows, read when it is not known; `bytesRead` then grows by
// the file's size.
std::shared_ptr<const RecordedUnit> read(const QString& path, qint64* bytesRead, QString* error);
} // namespace RecordingCache
