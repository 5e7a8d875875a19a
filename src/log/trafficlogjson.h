#pragma once

#include "unit/trafficlogentry.h"

#include <QByteArray>
#include <QJsonObject>

// A log line as JSON, for scripts and the control API:
// {"seq", "time" (ISO 8601 UTC, microseconds), "unit", "direction": "in"|"out"|"fault",
//  "port": "unit"|"discovery", "remote": "ADDRESS:PORT", "bytes": [...], "text"}
// where "bytes" are the datagram's bytes as the log holds them and "text" is exactly the line,
// after `linePrefix` (a fleet unit's "ADDRESS ").
QJsonObject trafficLogJson(const TrafficLogEntry& entry, quint64 seq, int unit,
                           const QString& linePrefix = {});
// The same as one compact line, without the line end.
QByteArray trafficLogJsonLine(const TrafficLogEntry& entry, quint64 seq, int unit);
// Microseconds since 1970 as "2026-12-07T11:45:00.123456Z".
QString isoTimeUs(qint64 microseconds);
