#pragma once

#include <QString>

#include <optional>

// Durations as people write them in rules and scenario files: a number and its unit. The longest
// is 30 days: beyond it a typo is likelier than a month-long test.
inline constexpr qint64 kMaxDurationMs = 30LL * 24 * 3600 * 1000;

// "250ms", "10s", "2m", "1.5h" in milliseconds (at most 30 days); nothing when it is no such
// duration. A bare number is none: "10" could mean seconds as well as milliseconds.
std::optional<qint64> parseDuration(QStringView text);
// The shortest form parseDuration() reads back: "2m", "10s", "250ms".
QString durationText(qint64 ms);
