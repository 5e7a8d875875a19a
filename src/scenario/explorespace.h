#pragma once

#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// A range a value is drawn from, as a file writes it: "2s-6s", "0.1-0.5", "3-5", or one value.
struct DrawRange {
    double low = 0;
    double high = 0;
    bool whole = true; // both ends whole numbers: draws are whole too

    // `text` as a range of durations (in milliseconds) when `durations`, else of plain numbers;
    // nothing when it is none, or runs backwards.
    static std::optional<DrawRange> parse(const QString& text, bool durations);
    // A drawn value as a file writes it: whole, or with up to six digits.
    static QString numberText(double value, bool whole);
};

// What an exploration may add to a scenario, run by run: events (reboot, offline) and fault rules
// over some of its units, within a window of its time, at most so many a run. Every value a file
// writes as a range "A-B" is drawn anew for each addition.
struct ExploreSpace {
    // One kind of addition, as the `events` and `faults` lists give them.
    struct Choice {
        enum class Kind : quint8 { Reboot, Offline, Fault };
        Kind kind = Kind::Reboot;
        std::optional<DrawRange> forMs; // none: the kind's default (a reboot's 2 s; to the end)
        QString rule;                   // a fault rule, with ranges in its values
    };

    int atMost = 1;
    DrawRange windowMs; // when an addition may start
    int unitsFirst = 0; // the units an addition may act on
    int unitsLast = 0;
    QList<Choice> choices;
    QJsonValue value; // as given, for writing the scenario back

    // The block `value` (as JSON) of a scenario of `unitCount` units that ends at `endMs` (if it
    // does); nothing, with why (naming the part), when it is not one.
    static std::optional<ExploreSpace> fromJson(const QJsonValue& value, int unitCount,
                                                std::optional<qint64> endMs, QString* error);
    // `rule` with each range in it replaced by a value `draw` gives for that range.
    static QString drawRule(const QString& rule, const std::function<double(const DrawRange&)>& draw);
};
