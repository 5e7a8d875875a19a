#pragma once

#include "scenario.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// What is wrong with a scenario's text, and where: line and column from 1 (0 when the text as a
// whole is wrong, an empty file say).
struct ScenarioError {
    int line = 0;
    int column = 0;
    QString message; // names the key: "timeline[2].reboot.for: must be more than 0"

    // "SOURCE:LINE:COLUMN: message", as compilers say it.
    QString text(const QString& source) const;
};

// The scenario file: YAML (and so JSON too) with a fixed shape. Reading is strict: an unknown
// key, a wrong type, a value out of range, an address outside the units, overlapping groups, an
// event before 0 or a `for` of 0 is refused, and nothing of the file is taken.
namespace ScenarioFile {
// Files larger than this are no scenario anybody wrote.
inline constexpr qint64 kMaxBytes = 16 * 1024 * 1024;
inline constexpr qsizetype kMaxEvents = 10000;

// A recording (`recording: FILE`) is read as the text is: a relative path from `baseDir`, or
// from the working directory when there is none. Only a regular file of at most
// kMaxRecordingBytes is read.
std::optional<Scenario> parse(const QByteArray& text, ScenarioError* error, const QString& baseDir = {});
// Reads and parses `path`; `error` then reads "PATH:LINE:COLUMN: what is wrong". Recordings are
// found from the file's folder.
std::optional<Scenario> load(const QString& path, QString* error);
inline constexpr qint64 kMaxRecordingBytes = 64 * 1024 * 1024;
// Read for one scenario at most, in all: recordings already read (by any spelling of their
// path) cost nothing.
inline constexpr qint64 kMaxRecordingBytesRead = 256 * 1024 * 1024;

// The scenario as YAML, in the order and the forms the loader reads (comments are not kept).
// Recordings are named from `baseDir` when given (where the file will be), else by absolute path.
QByteArray toYaml(const Scenario& scenario, const QString& baseDir = {});
// The same as JSON, as the control API gives it.
QJsonObject toJson(const Scenario& scenario);
// Writes toYaml() to `path` whole or not at all; false, with why, when it cannot.
bool save(const Scenario& scenario, const QString& path, QString* error);
} // namespace ScenarioFile
