#pragma once

// The parts of the expectation monitor that judge: what the checks share (the run's clock, units
// and events, and the results they write), one check, and what makes each kind of check.
#include "expectationmonitor.h"

#include "log/trafficlogjson.h"
#include "log/trafficlogmodel.h"
#include "scenario/scenario.h"

#include <QHostAddress>

#include <deque>
#include <memory>

class ScenarioSession;

namespace expectcheck {
using Command = TrafficLogEntry::Command;
using Kind = TrafficLogEntry::Kind;
inline QString timeText(qint64 us)
{
    return isoTimeUs(us);
}

inline QString secondsText(qint64 us)
{
    return QString::number(double(us) / 1e6, 'f', 3) + QStringLiteral(" s");
}

inline quint64 peerKey(const TrafficLogEntry& entry)
{
    return quint64(entry.address) << 16 | entry.remotePort;
}

inline QString peerName(quint64 key)
{
    return QHostAddress(quint32(key >> 16)).toString() + u':' + QString::number(quint16(key));
}

// A flood from changing ports must not grow a table of peers without end: past this many, what
// new peers send is not judged, and the note says how much that was.
constexpr std::size_t kMaxTracked = 65536;

inline QString untrackedText(quint64 untracked)
{
    return untracked == 0 ? QString()
                          : QStringLiteral("; %1 requests from peers beyond the first %2 not judged")
                                .arg(untracked)
                                .arg(kMaxTracked);
}

inline bool isQuery(Command command)
{
    return command == Command::ChannelQuery || command == Command::StatusQuery;
}

// The margin of the worst value seen against a ceiling (a count, a delay, a gap): how much of the
// limit was left.
inline ExpectationMargin belowCeiling(double worst, double limit, QString text, int unit = -1)
{
    return {limit > 0 ? std::min(1.0, (limit - worst) / limit) : (worst > 0 ? -1.0 : 1.0), std::move(text),
            unit};
}
// Against a floor (an interval, a count reached): how far above it the worst stayed.
inline ExpectationMargin aboveFloor(double worst, double limit, QString text)
{
    return {limit > 0 ? std::min(1.0, (worst - limit) / limit) : 1.0, std::move(text)};
}

// At most `limit` within any `spanUs` of real time.
struct RateLimit {
    qint64 spanUs;
    qsizetype limit;
};

// A sliding window of what happened within the last span of a limit, kept to the few entries
// that decide whether more than the limit did.
class RateWindow {
public:
    struct Hit {
        qint64 timeUs;
        quint64 seq;
    };
    // Adds a hit; true when the window now holds more than `limit`.
    bool add(qint64 timeUs, quint64 seq, const RateLimit& rate)
    {
        while (!m_hits.empty() && m_hits.front().timeUs <= timeUs - rate.spanUs)
            m_hits.pop_front();
        m_hits.push_back({timeUs, seq});
        while (qsizetype(m_hits.size()) > rate.limit + 1)
            m_hits.pop_front();
        return qsizetype(m_hits.size()) > rate.limit;
    }
    const Hit& first() const { return m_hits.front(); }
    // How many the window holds now: at most the limit, and one more once it was exceeded.
    qsizetype size() const { return qsizetype(m_hits.size()); }
    void clear() { m_hits.clear(); }

private:
    std::deque<Hit> m_hits;
};
} // namespace expectcheck

using expectcheck::RateLimit;

// What the checkers share: the scenario's clock and units, the events so far, and the results.
class ExpectationMonitor::Context {
public:
    struct Event {
        quint64 seq;
        quint32 first;
        quint32 last;
        QString text;
    };

    Context(QList<ExpectationResult>& results, QStringList addresses, double timeScale)
        : m_results(results)
        , m_addresses(std::move(addresses))
        , m_timeScale(timeScale)
    {
    }

    // A span of the scenario's time in real microseconds.
    qint64 realUs(qint64 scenarioMs) const { return qint64(double(scenarioMs) * 1000 / m_timeScale); }
    // A span of real time as the scenario's: "3.6 s" of a scenario played 3 times as fast.
    QString scenarioText(qint64 realUs) const
    {
        return scenarioDurationText(qint64(std::llround(double(realUs) * m_timeScale / 1000)));
    }
    // A rate as a window of real time and how many fit in it: a second of the scenario's time,
    // or longer for rates below one a second (0.5/s: one in two seconds).
    RateLimit rateLimit(double perSecond) const
    {
        const double seconds = std::max(1.0, 1 / perSecond);
        return {realUs(qint64(1000 * seconds)), qsizetype(std::floor(perSecond * seconds + 1e-9))};
    }

    int unitCount() const { return std::max<int>(1, int(m_addresses.size())); }
    QString unitText(int unit) const
    {
        return m_addresses.isEmpty() ? QStringLiteral("the unit")
                                     : m_addresses.value(unit, QString::number(unit));
    }

    // A request (any datagram from a peer) came in the run.
    void countRequest() { ++m_requests; }
    quint64 requests() const { return m_requests; }
    // The reason of checks that are exercised by any request at all.
    QString unexercisedWithoutRequests() const
    {
        return m_requests == 0 ? QStringLiteral("no datagram came from any peer") : QString();
    }

    void noteEvent(quint64 seq, const TrafficLogEntry& entry)
    {
        m_events.push_back(
            {seq, entry.markFirstUnit(), entry.markLastUnit(), QString::fromUtf8(entry.note->text)});
    }
    // The latest event on `unit` (any unit when -1) before now.
    const Event* lastEventOn(int unit) const
    {
        for (auto it = m_events.crbegin(); it != m_events.crend(); ++it) {
            if (unit < 0 || (quint32(unit) >= it->first && quint32(unit) <= it->last))
                return &*it;
        }
        return nullptr;
    }

    ExpectationFailure failure(const QString& message, int unit, qint64 timeUs) const
    {
        ExpectationFailure failure;
        failure.message = message;
        failure.unit = unit;
        if (unit >= 0)
            failure.unitText = unitText(unit);
        failure.timeUs = timeUs;
        if (const Event* event = lastEventOn(unit)) {
            failure.eventSeq = qint64(event->seq);
            failure.eventText = event->text;
        }
        return failure;
    }
    void fail(int result, ExpectationFailure failure)
    {
        ExpectationResult& r = m_results[result];
        r.state = ExpectationResult::State::Failed;
        ++r.failureCount;
        // Bounded by the units of the run, and one key for all that name none.
        ++r.failuresByUnit[failure.unit >= 0 ? failure.unitText : QString()];
        if (r.failures.size() < ExpectationResult::kMaxFailuresKept)
            r.failures.append(std::move(failure));
        m_changed = true;
    }
    // Whether a failure of `result` would still be kept with its evidence.
    bool keepsEvidence(int result) const
    {
        return m_results[result].failures.size() < ExpectationResult::kMaxFailuresKept;
    }
    // A failure past the evidence kept: counted, by unit, and nothing more.
    void countFailure(int result, int unit)
    {
        ExpectationResult& r = m_results[result];
        r.state = ExpectationResult::State::Failed;
        ++r.failureCount;
        ++r.failuresByUnit[unit >= 0 ? unitText(unit) : QString()];
        m_changed = true;
    }
    void pass(int result)
    {
        if (m_results[result].state == ExpectationResult::State::Pending) {
            m_results[result].state = ExpectationResult::State::Passed;
            m_changed = true;
        }
    }
    void setNote(int result, const QString& note) { m_results[result].note = note; }
    quint64 failureCount(int result) const { return m_results[result].failureCount; }
    // The run is over: what has not failed passed, unless the run never exercised it.
    void conclude(int result, const QString& unexercised)
    {
        ExpectationResult& r = m_results[result];
        if (r.state != ExpectationResult::State::Pending)
            return;
        r.state =
            unexercised.isEmpty() ? ExpectationResult::State::Passed : ExpectationResult::State::NotExercised;
        r.reason = unexercised;
        m_changed = true;
    }
    bool takeChanged() { return std::exchange(m_changed, false); }

    const QStringList& addresses() const { return m_addresses; }

private:
    QList<ExpectationResult>& m_results;
    QStringList m_addresses;
    double m_timeScale;
    std::vector<Event> m_events;
    quint64 m_requests = 0;
    bool m_changed = false;
};

class ExpectationMonitor::Checker {
public:
    Checker(Context& context, int result, const ExpectationDefinition& expectation)
        : m_context(context)
        , m_result(result)
        , m_expectation(expectation)
    {
    }
    virtual ~Checker() = default;
    // Time has come to `nowUs`: what was due before then is decided. Called before each line with
    // its time, and with the clock's time between lines.
    virtual void advance(qint64 nowUs) { Q_UNUSED(nowUs); }
    virtual void line(quint64 seq, const LogLine& line) = 0;
    // A few times a second, for what the log does not show.
    virtual void poll() {}
    // The run ended at `endUs`, after the line before `endSeq`.
    virtual void finish(qint64 endUs, quint64 endSeq)
    {
        Q_UNUSED(endUs);
        Q_UNUSED(endSeq);
    }
    virtual QString note() const { return {}; }
    // How near it came to failing so far, for a check with a limit once the run showed it something.
    virtual std::optional<ExpectationMargin> margin() const { return std::nullopt; }
    // At the end, for an expectation that held: why the run gave it nothing to judge, if so.
    virtual QString unexercised() const { return {}; }

protected:
    ExpectationFailure failure(const QString& message, int unit, qint64 timeUs) const
    {
        return m_context.failure(message, unit, timeUs);
    }
    void fail(ExpectationFailure failure) { m_context.fail(m_result, std::move(failure)); }
    quint64 failedCount() const { return m_context.failureCount(m_result); }

    Context& m_context;
    const int m_result;
    const ExpectationDefinition& m_expectation;
};

// What a check is made from.
struct CheckerArgs {
    ExpectationMonitor::Context& context;
    int result; // its index among the results
    const ExpectationDefinition& expectation;
    quint64 startSeq; // the run's "started" line
    qint64 startUs;
    const TrafficLogModel& log;
    const ScenarioSession* session; // none: only what the log shows
};
using CheckerFactory = std::unique_ptr<ExpectationMonitor::Checker> (*)(const CheckerArgs&);

std::unique_ptr<ExpectationMonitor::Checker> makeResendChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makeMaxRateChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makeDiscoveryIntervalChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makeBackoffChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makePollCoverageChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makeNoMalformedChecker(const CheckerArgs& args);
std::unique_ptr<ExpectationMonitor::Checker> makeVerifyChecker(const CheckerArgs& args);
