#pragma once

#include <tuple>

#include "scenario/requestmatcher.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class TrafficLogModel;
struct LogLine;

// What a log holds of a matcher's requests.
struct VerifyResult {
    static constexpr int kFirstSeqs = 10;
    static constexpr int kNearMisses = 3;

    struct NearMiss {
        quint64 seq = 0;
        QString line;            // the log line, as the window shows it
        QStringList differences; // "position 2: expected 255, was 254"
    };

    bool matched = false;
    quint64 count = 0;
    QList<quint64> firstSeqs;   // the first matching lines
    QList<NearMiss> nearMisses; // when it did not hold: the requests nearest to matching
    quint64 scanned = 0;        // requests looked at
    QString error;              // a line that could not be read (the scan stops there)

    QJsonObject toJson() const;
};

// Says whether a logged request is one a matcher takes, and when not, how far it is from one.
class RequestJudge {
public:
    // How far a request is from the matcher: what differs, and by how much in the bytes.
    // How far a request is from matching: a request to another unit is further than any to the
    // units wanted, another command further than any with the command wanted; then the fewer
    // conditions failed, and the smaller the bytes' distance from what was wanted, the nearer.
    struct Distance {
        bool otherUnit = false;
        bool otherCommand = false;
        int differences = 0; // every condition that failed, the unit and the command among them
        int byteDistance = 0;
        bool operator<(const Distance& other) const
        {
            return std::tie(otherUnit, otherCommand, differences, byteDistance) <
                   std::tie(other.otherUnit, other.otherCommand, other.differences, other.byteDistance);
        }
    };

    // `unitAddresses`: a fleet's, unit k at index k; empty for the single unit.
    RequestJudge(RequestMatcher matcher, QStringList unitAddresses);
    // Only the units, the command and the bytes: the range and the count are the caller's.
    // `describe`: also say what differs, in words.
    Distance judge(const LogLine& line, QStringList* describe) const;
    bool matches(const LogLine& line) const { return judge(line, nullptr).differences == 0; }
    const RequestMatcher& matcher() const { return m_matcher; }

private:
    // The units the matcher names, as a person reads them.
    QString wanted() const;

    RequestMatcher m_matcher;
    QStringList m_addresses;
    QList<quint32> m_numbers; // the same, as numbers
};

// A verification that reads the log a slice at a time, so that a long stored log does not hold up
// the units while it is read. The log must outlive it; lines added meanwhile are not read.
class VerifyScan {
public:
    VerifyScan(RequestMatcher matcher, const TrafficLogModel& log);
    ~VerifyScan();
    // Reads up to `lines` more lines; true once the whole range is read.
    bool step(quint64 lines);
    // Complete once step() returned true.
    const VerifyResult& result() const { return m_result; }

private:
    struct Candidate;
    void finish();

    RequestMatcher m_matcher;
    const TrafficLogModel& m_log;
    RequestJudge m_judge;
    QList<Candidate> m_nearest;   // the nearest misses so far, nearest first
    bool m_sawWantedUnit = false; // a request reached one of the units wanted
    quint64 m_next = 0;
    quint64 m_end = 0;
    bool m_done = false;
    VerifyResult m_result;
};

// Reads every held line of `log` (from memory or its store) that the matcher's range takes.
VerifyResult verifyRequests(const RequestMatcher& matcher, const TrafficLogModel& log);
