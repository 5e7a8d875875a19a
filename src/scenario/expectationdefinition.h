#pragma once

#include "requestmatcher.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// Something a well-behaved controller does, which a scenario states and the run checks: each has
// a name (the test case's, in a report) and one check with its values. Durations and rates are
// the scenario's own time: under a time scale of 10, "within 2s" is 200 ms of real time.
struct ExpectationDefinition {
    enum class Check : quint8 {
        ResendAfterReboot, // {within: 2s}
        MaxRate,           // {per_unit: 50/s} or {per_peer: 50/s}
        DiscoveryInterval, // {at_least: 5s}
        Backoff,           // {after_unanswered: 3, at_most: 2/s}
        PollCoverage,      // {every: 10s, warm_up: 10s}
        NoMalformed,       // {}
        Verify,            // a request matcher
    };
    static constexpr int kCheckCount = 7;
    // The key a file gives the check under: "resend_after_reboot".
    static const char* checkName(Check check);

    QString name;
    Check check = Check::NoMalformed;
    QJsonValue value; // as given (durations and rates as text), for writing the scenario back

    qint64 withinMs = 0;     // resend_after_reboot
    double perSecond = 0;    // max_rate; backoff's at_most
    bool perPeer = false;    // max_rate: each peer, rather than each unit
    qint64 atLeastMs = 0;    // discovery_interval
    int afterUnanswered = 0; // backoff
    qint64 everyMs = 0;      // poll_coverage
    qint64 warmUpMs = 0;     // poll_coverage: the first poll of each unit is due by then
    RequestMatcher matcher;  // verify

    // The check `key` with its `value`, as a file or the control API gives them; nothing, with
    // why in `error` (naming the value's part), when they are not one.
    static std::optional<ExpectationDefinition> fromJson(const QString& name, const QString& key,
                                                         const QJsonValue& value, QString* error);
    // What it asks, in words: "each unit back after a reboot gets set-channels within 2 s".
    QString text() const;
};

// A rate as a file writes it, "50/s" or "0.5/s", in requests a second; nothing when it is not one.
std::optional<double> parseRate(const QString& text);
