#pragma once

#include "record/trafficlogentry.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <limits>
#include <memory>
#include <optional>

// What a test asks of the requests the units received: which units, which command, which byte
// values, over which part of the log, and how many such requests there must be. Read from JSON:
//
//   {"units": "0-9", "command": "set-channels", "bytes": [{"position": 2, "equals": 200}],
//    "from": 120, "to": "2026-12-08T10:00:00Z", "at_least": 10}
//
// units: "FIRST-LAST" or "N" (indexes from 0) or an IPv4 address (all units when absent);
// command: set-channels, channel-query, status-query or discovery (any when absent); bytes: each
// {"position": P, "equals": V} or {"position": P, "min": A, "max": B}; from / to: a log sequence
// number or a time (ISO 8601), inclusive; and one of exactly / at_least / at_most (at_least 1
// when none is given).
struct RequestMatcher {
    struct ByteCondition {
        int position = 0;
        int min = 0; // equals: min == max
        int max = 255;
    };
    enum class Count : quint8 { Exactly, AtLeast, AtMost };

    QString unitsText; // as given; empty: every unit
    int unitsFirst = 0;
    int unitsLast = std::numeric_limits<int>::max();
    quint32 unitsAddress = 0; // IPv4, host byte order; 0: by index
    std::optional<TrafficLogEntry::Command> command;
    QList<ByteCondition> bytes;
    quint64 fromSeq = 0;
    quint64 toSeq = std::numeric_limits<quint64>::max();
    qint64 fromUs = std::numeric_limits<qint64>::min();
    qint64 toUs = std::numeric_limits<qint64>::max();
    Count count = Count::AtLeast;
    quint64 countValue = 1;

    // The matcher, or nothing with `error` naming the bad part.
    static std::optional<RequestMatcher> fromJson(const QJsonObject& json, QString* error);
    // "at least 10", "exactly 0".
    QString countText() const;
    bool countHolds(quint64 matches) const;
};
