#pragma once

#include "record/trafficlogentry.h"

#include <QByteArray>
#include <QJsonObject>

// A log line as JSON, for scripts and the control API:
// {"seq", "time" (ISO 8601 UTC, microseconds), "unit" (its index), "address" (the unit's, or null
//  for the single unit, which listens on every address), "direction": "in"|"out"|"fault"|"not-sent"
//  (with "reason"),
//  "command": "set-channels"|"channel-query"|"status-query"|"discovery"|"other", "port" (the
//  simulator's port, a number), "endpoint": "unit"|"discovery", "remote": "ADDRESS:PORT",
//  "bytes": [...], "text"}
// where "bytes" are the datagram's bytes as the log holds them and "text" is exactly the line,
// after a fleet unit's "ADDRESS " (`unitAddress`, empty for the single unit).
//
// A scenario's event about units says which: one unit as "unit" (and "address" from
// `unitAddresses`, a fleet's, unit k's at index k), several as "units": {"first", "last"} (and
// "firstAddress", "lastAddress").
QJsonObject trafficLogJson(const TrafficLogEntry& entry, quint64 seq, int unit,
                           const QString& unitAddress = {}, const QList<QByteArray>& unitAddresses = {});
// The same as one compact line, without the line end.
QByteArray trafficLogJsonLine(const TrafficLogEntry& entry, quint64 seq, int unit);
// The same compact line appended to `out`, written directly: the same bytes QJsonDocument makes
// of trafficLogJson(), at a fraction of the cost, for pages of thousands of lines and streams.
void appendTrafficLogJson(QByteArray& out, const TrafficLogEntry& entry, quint64 seq, int unit,
                          QByteArrayView unitAddress, const QList<QByteArray>& unitAddresses = {});
// A JSON string as QJsonDocument writes one, `text` being UTF-8: quotes, backslashes and control
// characters escaped, everything else as it is.
void appendJsonString(QByteArray& out, QByteArrayView text);
// Microseconds since 1970 as "2026-12-07T11:45:00.123456Z".
QString isoTimeUs(qint64 microseconds);
// A line's "direction": in and out (the controller's side), fault, not-sent, event, notice, and
// to-real and from-real (a proxy unit's side toward the real unit).
const char* trafficLogDirection(const TrafficLogEntry& entry);
