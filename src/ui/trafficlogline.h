#pragma once

#include "trafficlogentry.h"

#include <QString>

// Longest line: an incoming unit line from 255.255.255.255 with 29 three-digit bytes.
inline constexpr qsizetype kMaxTrafficLogLine = 160;

// Composes the text of a log line into `out` and returns its length. Plain ASCII, no allocation.
qsizetype formatTrafficLogLine(const TrafficLogEntry& entry, char* out);

QString trafficLogLine(const TrafficLogEntry& entry);

// Writes an IPv4 address (host byte order) in dotted decimal and returns the length.
qsizetype formatIPv4(quint32 address, char* out);
