#pragma once

#include "record/trafficlogentry.h"

#include <QString>

// Room for the longest line: a fault line with a long rule and many changed positions, or a
// changed discovery reply with every byte escaped. A note too long for it (never one the unit
// writes) is cut short with "...".
inline constexpr qsizetype kMaxTrafficLogLine = 512;

// Composes the text of a log line into `out` (room for kMaxTrafficLogLine characters) and
// returns its length. Plain ASCII, no allocation.
qsizetype formatTrafficLogLine(const TrafficLogEntry& entry, char* out);

QString trafficLogLine(const TrafficLogEntry& entry);

// An IPv4 address (host byte order) in dotted decimal, as the lines write it.
QString ipv4Text(quint32 address);
