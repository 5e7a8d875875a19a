#pragma once

#include "unit/trafficlogentry.h"

#include <QString>

// Longest line: an incoming unit line from 255.255.255.255 with 29 three-digit bytes.
inline constexpr qsizetype kMaxTrafficLogLine = 160;

// Composes the text of a log line into `out` and returns its length. Plain ASCII, no allocation.
qsizetype formatTrafficLogLine(const TrafficLogEntry& entry, char* out);

QString trafficLogLine(const TrafficLogEntry& entry);
