#include "expectationmonitor.h"

#include "verifyscan.h"

#include "log/trafficlogjson.h"
#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QXmlStreamWriter>

#include <deque>
#include <queue>
#include <unordered_map>

using namespace Qt::Literals::StringLiterals;
using Command = TrafficLogEntry::Command;
using Kind = TrafficLogEntry::Kind;

namespace {
QString timeText(qint64 us)
{
    return isoTimeUs(us);
}

QString secondsText(qint64 us)
{
    return QString::number(double(us) / 1e6, 'f', 3) + u" s"_s;
}

quint64 peerKey(const TrafficLogEntry& entry)
{
    return quint64(entry.address) << 16 | entry.remotePort;
}

QString peerName(quint64 key)
{
    return QHostAddress(quint32(key >> 16)).toString() + u':' + QString::number(quint16(key));
}

ExpectationResult fresh(const Expectation& expectation)
{
    ExpectationResult result;
    result.expectation = expectation;
    return result;
}

// A flood from changing ports must not grow a table of peers without end: past this many, what
// new peers send is not judged, and the note says how much that was.
constexpr std::size_t kMaxTracked = 65536;

QString untrackedText(quint64 untracked)
{
    return untracked == 0 ? QString()
                          : QStringLiteral("; %1 requests from peers beyond the first %2 not judged")
                                .arg(untracked)
                                .arg(kMaxTracked);
}

bool isQuery(Command command)
{
    return command == Command::ChannelQuery || command == Command::StatusQuery;
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
    void clear() { m_hits.clear(); }

private:
    std::deque<Hit> m_hits;
};
} // namespace

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
        return m_addresses.isEmpty() ? u"the unit"_s : m_addresses.value(unit, QString::number(unit));
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
        if (r.failures.size() < ExpectationResult::kMaxFailuresKept)
            r.failures.append(std::move(failure));
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
    bool takeChanged() { return std::exchange(m_changed, false); }

    const QStringList& addresses() const { return m_addresses; }

private:
    QList<ExpectationResult>& m_results;
    QStringList m_addresses;
    double m_timeScale;
    std::vector<Event> m_events;
    bool m_changed = false;
};

class ExpectationMonitor::Checker {
public:
    Checker(Context& context, int result, const Expectation& expectation)
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

protected:
    ExpectationFailure failure(const QString& message, int unit, qint64 timeUs) const
    {
        return m_context.failure(message, unit, timeUs);
    }
    void fail(ExpectationFailure failure) { m_context.fail(m_result, std::move(failure)); }

    Context& m_context;
    const int m_result;
    const Expectation& m_expectation;
};

namespace {
// Every unit back after a reboot gets a set-channels within the time.
class ResendChecker : public ExpectationMonitor::Checker {
public:
    using Checker::Checker;

    void advance(qint64 nowUs) override
    {
        if (nowUs <= m_soonestUs)
            return;
        m_soonestUs = std::numeric_limits<qint64>::max();
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            const Waiting& w = it->second;
            if (w.deadlineUs >= nowUs) {
                m_soonestUs = std::min(m_soonestUs, w.deadlineUs);
                ++it;
                continue;
            }
            ExpectationFailure f =
                failure(QStringLiteral("%1 got no set-channels within %2 of being back after its "
                                       "reboot")
                            .arg(m_context.unitText(it->first), scenarioDurationText(m_expectation.withinMs)),
                        it->first, w.deadlineUs);
            f.eventSeq = qint64(w.backSeq);
            f.eventText = w.backText;
            f.seqs << w.backSeq;
            if (w.otherSeq) {
                f.peer = peerName(w.otherPeer);
                f.seqs << *w.otherSeq;
                f.message += QStringLiteral(", though %1 sent it %2 meanwhile")
                                 .arg(f.peer, QLatin1String(TrafficLogEntry::commandName(w.otherCommand)));
            }
            fail(std::move(f));
            it = m_waiting.erase(it);
        }
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        const auto mark = entry.eventMark();
        if (mark == TrafficLogEntry::EventMark::UnitsRebooted ||
            mark == TrafficLogEntry::EventMark::UnitsRebooting) {
            const qint64 deadline = entry.timeUs + m_context.realUs(m_expectation.withinMs);
            const QString text = QString::fromUtf8(entry.note->text);
            for (quint32 unit = entry.markFirstUnit(); unit <= entry.markLastUnit(); ++unit) {
                if (mark == TrafficLogEntry::EventMark::UnitsRebooting) {
                    m_waiting.erase(int(unit));
                    continue;
                }
                m_waiting[int(unit)] = {deadline, seq, text, std::nullopt, 0, Command::Other};
                ++m_backs;
            }
            m_soonestUs = std::min(m_soonestUs, deadline);
            return;
        }
        if (entry.kind != Kind::UnitIncoming)
            return;
        const auto it = m_waiting.find(int(line.unit));
        if (it == m_waiting.end())
            return;
        if (entry.command() == Command::SetChannels && entry.unansweredBecause().isEmpty()) {
            m_waiting.erase(it);
            ++m_resent;
        } else if (!it->second.otherSeq) {
            it->second.otherSeq = seq;
            it->second.otherPeer = peerKey(entry);
            it->second.otherCommand = entry.command();
        }
    }

    void finish(qint64 endUs, quint64) override
    {
        advance(endUs);
        m_unjudged = m_waiting.size();
        m_waiting.clear();
    }

    QString note() const override
    {
        QString text = QStringLiteral("%1 unit%2 back after a reboot, %3 got set-channels in time")
                           .arg(m_backs)
                           .arg(m_backs == 1 ? QString() : u"s"_s)
                           .arg(m_resent);
        if (m_unjudged > 0)
            text += QStringLiteral("; %1 back too near the end to judge").arg(m_unjudged);
        return text;
    }

private:
    struct Waiting {
        qint64 deadlineUs;
        quint64 backSeq;
        QString backText;
        std::optional<quint64> otherSeq; // the first other request it got meanwhile
        quint64 otherPeer;
        Command otherCommand;
    };
    std::unordered_map<int, Waiting> m_waiting;
    qint64 m_soonestUs = std::numeric_limits<qint64>::max();
    quint64 m_backs = 0;
    quint64 m_resent = 0;
    std::size_t m_unjudged = 0;
};

// No unit gets, or no peer sends, more than the rate in any window.
class MaxRateChecker : public ExpectationMonitor::Checker {
public:
    MaxRateChecker(ExpectationMonitor::Context& context, int result, const Expectation& expectation)
        : Checker(context, result, expectation)
        , m_rate(context.rateLimit(expectation.perSecond))
    {
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        if (!entry.isIncoming() || entry.alsoHeardByOthers)
            return;
        if (!m_expectation.perPeer && entry.kind != Kind::UnitIncoming)
            return; // a unit's rate is what reaches its unit port
        ++m_requests;
        const quint64 key = m_expectation.perPeer ? peerKey(entry) : line.unit;
        auto found = m_windows.find(key);
        if (found == m_windows.end()) {
            if (m_windows.size() >= kMaxTracked) {
                ++m_untracked;
                return;
            }
            found = m_windows.try_emplace(key).first;
        }
        Window& window = found->second;
        if (!window.hits.add(entry.timeUs, seq, m_rate)) {
            window.exceeding = false;
            return;
        }
        if (std::exchange(window.exceeding, true))
            return; // one failure for each stretch over the rate
        const int unit = entry.kind == Kind::UnitIncoming ? int(line.unit) : -1;
        const QString who = m_expectation.perPeer ? peerName(key) : m_context.unitText(int(line.unit));
        ExpectationFailure f =
            failure(QStringLiteral("%1 %2 %3 requests within %4 (from %5), more than %6 a second")
                        .arg(who, m_expectation.perPeer ? u"sent"_s : u"got"_s)
                        .arg(m_rate.limit + 1)
                        .arg(secondsText(entry.timeUs - window.hits.first().timeUs),
                             timeText(window.hits.first().timeUs))
                        .arg(QString::number(m_expectation.perSecond, 'g', 12)),
                    m_expectation.perPeer ? unit : int(line.unit), entry.timeUs);
        f.peer = peerName(peerKey(entry));
        f.seqs << window.hits.first().seq << seq;
        fail(std::move(f));
    }

    QString note() const override
    {
        return QStringLiteral("%1 requests from %2 %3")
            .arg(m_requests)
            .arg(m_windows.size())
            .arg(m_expectation.perPeer ? (m_windows.size() == 1 ? u"peer"_s : u"peers"_s)
                                       : (m_windows.size() == 1 ? u"unit"_s : u"units"_s));
    }

private:
    struct Window {
        RateWindow hits;
        bool exceeding = false;
    };
    const RateLimit m_rate;
    std::unordered_map<quint64, Window> m_windows;
    quint64 m_requests = 0;
    quint64 m_untracked = 0;
};

// Each peer waits at least so long between discovery requests.
class DiscoveryIntervalChecker : public ExpectationMonitor::Checker {
public:
    using Checker::Checker;

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        if (entry.kind != Kind::DiscoveryIncoming || entry.alsoHeardByOthers)
            return;
        ++m_requests;
        const quint64 key = peerKey(entry);
        if (m_last.size() >= kMaxTracked && !m_last.contains(key)) {
            ++m_untracked;
            return;
        }
        const auto [it, first] = m_last.try_emplace(key, Last{entry.timeUs, seq, false});
        if (first)
            return;
        Last& last = it->second;
        const qint64 gapUs = entry.timeUs - last.timeUs;
        const bool tooSoon = gapUs < m_context.realUs(m_expectation.atLeastMs);
        if (tooSoon && !last.tooSoon) {
            ExpectationFailure f = failure(
                QStringLiteral("%1 sent discovery %2 after its previous one, not %3")
                    .arg(peerName(key), secondsText(gapUs), scenarioDurationText(m_expectation.atLeastMs)),
                -1, entry.timeUs);
            f.peer = peerName(key);
            f.seqs << last.seq << seq;
            fail(std::move(f));
        }
        last = {entry.timeUs, seq, tooSoon}; // one failure for each storm
    }

    QString note() const override
    {
        return QStringLiteral("%1 discovery requests from %2 peer%3")
                   .arg(m_requests)
                   .arg(m_last.size())
                   .arg(m_last.size() == 1 ? QString() : u"s"_s) +
               untrackedText(m_untracked);
    }

private:
    struct Last {
        qint64 timeUs;
        quint64 seq;
        bool tooSoon;
    };
    std::unordered_map<quint64, Last> m_last;
    quint64 m_requests = 0;
    quint64 m_untracked = 0;
};

// While a unit does not answer a peer, the peer's queries to it fall to the rate.
class BackoffChecker : public ExpectationMonitor::Checker {
public:
    BackoffChecker(ExpectationMonitor::Context& context, int result, const Expectation& expectation)
        : Checker(context, result, expectation)
        , m_rate(context.rateLimit(expectation.perSecond))
    {
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        const bool reply = entry.kind == Kind::UnitOutgoing && entry.isDatagram();
        if (!reply && !(entry.kind == Kind::UnitIncoming && isQuery(entry.command())))
            return;
        const quint64 key = quint64(line.unit) << 48 | peerKey(entry);
        auto it = m_pairs.find(key);
        if (reply) {
            if (it != m_pairs.end())
                m_pairs.erase(it); // answered: the count starts over
            return;
        }
        if (it == m_pairs.end()) {
            if (m_pairs.size() >= kMaxTracked) {
                ++m_untracked;
                return;
            }
            it = m_pairs.try_emplace(key).first;
        }
        Pair& pair = it->second;
        if (pair.unanswered++ == 0)
            pair.firstSeq = seq;
        if (pair.unanswered <= quint64(m_expectation.afterUnanswered))
            return;
        ++m_backingOff;
        if (!pair.window.add(entry.timeUs, seq, m_rate)) {
            pair.exceeding = false;
            return;
        }
        if (std::exchange(pair.exceeding, true))
            return;
        const QString peer = peerName(peerKey(entry));
        ExpectationFailure f = failure(
            QStringLiteral("%1 sent %2 queries within %3 to %4 after %5 went unanswered, more than %6 "
                           "a second")
                .arg(peer)
                .arg(m_rate.limit + 1)
                .arg(secondsText(entry.timeUs - pair.window.first().timeUs),
                     m_context.unitText(int(line.unit)))
                .arg(m_expectation.afterUnanswered)
                .arg(QString::number(m_expectation.perSecond, 'g', 12)),
            int(line.unit), entry.timeUs);
        f.peer = peer;
        f.seqs << pair.firstSeq << pair.window.first().seq << seq;
        fail(std::move(f));
    }

    QString note() const override
    {
        QString text = QStringLiteral("%1 quer%2 sent after %3 unanswered")
                           .arg(m_backingOff)
                           .arg(m_backingOff == 1 ? u"y"_s : u"ies"_s)
                           .arg(m_expectation.afterUnanswered);
        return text + untrackedText(m_untracked);
    }

private:
    struct Pair {
        quint64 unanswered = 0;
        quint64 firstSeq = 0;
        RateWindow window;
        bool exceeding = false;
    };
    const RateLimit m_rate;
    std::unordered_map<quint64, Pair> m_pairs;
    quint64 m_backingOff = 0;
    quint64 m_untracked = 0;
};

// Each unit gets a channel- or status-query at least so often.
class PollCoverageChecker : public ExpectationMonitor::Checker {
public:
    PollCoverageChecker(ExpectationMonitor::Context& context, int result, const Expectation& expectation,
                        qint64 startUs)
        : Checker(context, result, expectation)
        , m_units(std::size_t(context.unitCount()))
    {
        const qint64 due = startUs + context.realUs(expectation.warmUpMs);
        for (std::size_t unit = 0; unit < m_units.size(); ++unit) {
            m_units[unit].dueUs = due;
            m_due.push({due, int(unit)});
        }
    }

    void advance(qint64 nowUs) override
    {
        // One entry a unit at most: one that a later poll moved goes back with its new time.
        while (!m_due.empty() && m_due.top().dueUs < nowUs) {
            const Due due = m_due.top();
            m_due.pop();
            Unit& unit = m_units[std::size_t(due.unit)];
            if (unit.dueUs != due.dueUs) {
                m_due.push({unit.dueUs, due.unit});
                continue;
            }
            unit.queued = false; // until its next poll
            ExpectationFailure f = failure(
                unit.lastSeq
                    ? QStringLiteral("%1 got no channel- or status-query for %2 after the one at %3")
                          .arg(m_context.unitText(due.unit), scenarioDurationText(m_expectation.everyMs),
                               timeText(unit.lastUs))
                    : QStringLiteral("%1 got no channel- or status-query within %2 of the start")
                          .arg(m_context.unitText(due.unit), scenarioDurationText(m_expectation.warmUpMs)),
                due.unit, due.dueUs);
            if (unit.lastSeq) {
                f.peer = peerName(unit.lastPeer);
                f.seqs << *unit.lastSeq;
            }
            fail(std::move(f));
            ++m_gaps;
        }
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        if (entry.kind != Kind::UnitIncoming || !isQuery(entry.command()) || line.unit >= m_units.size())
            return;
        Unit& unit = m_units[line.unit];
        unit.dueUs = entry.timeUs + m_context.realUs(m_expectation.everyMs);
        unit.lastUs = entry.timeUs;
        unit.lastSeq = seq;
        unit.lastPeer = peerKey(entry);
        if (!std::exchange(unit.queued, true))
            m_due.push({unit.dueUs, int(line.unit)});
        ++m_polls;
    }

    void finish(qint64 endUs, quint64) override { advance(endUs); }

    QString note() const override
    {
        return QStringLiteral("%1 polls of %2 unit%3; %4 gap%5 too long")
            .arg(m_polls)
            .arg(m_units.size())
            .arg(m_units.size() == 1 ? QString() : u"s"_s)
            .arg(m_gaps)
            .arg(m_gaps == 1 ? QString() : u"s"_s);
    }

private:
    struct Unit {
        qint64 dueUs = 0;
        bool queued = true; // has its entry in m_due
        qint64 lastUs = 0;
        std::optional<quint64> lastSeq;
        quint64 lastPeer = 0;
    };
    struct Due {
        qint64 dueUs;
        int unit;
        bool operator>(const Due& other) const { return dueUs > other.dueUs; }
    };
    std::vector<Unit> m_units;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> m_due; // soonest first
    quint64 m_polls = 0;
    quint64 m_gaps = 0;
};

// The controller sends nothing a unit cannot read. Short frames and unknown commands are in the
// log; what it does not show (frames longer than 29 bytes, discovery requests that are not one)
// the peer table counts.
class NoMalformedChecker : public ExpectationMonitor::Checker {
public:
    // Without a session, only what the log shows.
    NoMalformedChecker(ExpectationMonitor::Context& context, int result, const Expectation& expectation,
                       const ScenarioSession* session)
        : Checker(context, result, expectation)
        , m_session(session)
    {
        if (!m_session)
            return;
        for (const PeerTable::Peer& peer : m_session->peers().peers())
            m_baseline[key(peer)] = peer.malformedTotal();
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const TrafficLogEntry& entry = line.entry;
        if (entry.kind != Kind::UnitIncoming || entry.command() != Command::Other)
            return;
        const quint64 peer = peerKey(entry);
        ++m_logged[peer];
        const QString what = entry.count < kUnitFrameSize
                                 ? QStringLiteral("a frame of %1 byte%2, not %3")
                                       .arg(entry.count)
                                       .arg(entry.count == 1 ? QString() : u"s"_s)
                                       .arg(kUnitFrameSize)
                                 : QStringLiteral("command byte %1, which no unit knows").arg(entry.bytes[1]);
        ExpectationFailure f = failure(
            QStringLiteral("%1 sent %2 %3").arg(peerName(peer), m_context.unitText(int(line.unit)), what),
            int(line.unit), entry.timeUs);
        f.peer = peerName(peer);
        f.seqs << seq;
        fail(std::move(f));
    }

    void poll() override
    {
        if (!m_session)
            return;
        for (const PeerTable::Peer& peer : m_session->peers().peers()) {
            const quint64 k = key(peer);
            const quint64 total = peer.malformedTotal();
            const quint64 known = m_baseline[k] + m_logged[k] + m_unlogged[k];
            if (total <= known)
                continue;
            const quint64 more = total - known;
            m_unlogged[k] += more;
            ExpectationFailure f = failure(
                QStringLiteral(
                    "%1 sent %2 malformed datagram%3 the log does not show (longer than %4 bytes, or a "
                    "discovery request with another payload)")
                    .arg(peer.name())
                    .arg(more)
                    .arg(more == 1 ? QString() : u"s"_s)
                    .arg(kUnitFrameSize),
                -1, peer.lastUs);
            f.peer = peer.name();
            fail(std::move(f));
        }
    }

    void finish(qint64, quint64) override { poll(); }

    QString note() const override
    {
        quint64 logged = 0;
        for (const auto& [peer, count] : m_logged)
            logged += count;
        quint64 unlogged = 0;
        for (const auto& [peer, count] : m_unlogged)
            unlogged += count;
        return QStringLiteral("%1 malformed in the log, %2 more counted by peer").arg(logged).arg(unlogged);
    }

private:
    static quint64 key(const PeerTable::Peer& peer) { return quint64(peer.address) << 16 | peer.port; }

    const ScenarioSession* m_session;
    std::unordered_map<quint64, quint64> m_baseline;
    std::unordered_map<quint64, quint64> m_logged;
    std::unordered_map<quint64, quint64> m_unlogged;
};

// A matcher's count over the run; the near misses when it does not hold.
class VerifyChecker : public ExpectationMonitor::Checker {
public:
    VerifyChecker(ExpectationMonitor::Context& context, int result, const Expectation& expectation,
                  quint64 startSeq, const TrafficLogModel& log)
        : Checker(context, result, expectation)
        , m_judge(expectation.matcher, context.addresses())
        , m_startSeq(startSeq)
        , m_log(log)
    {
    }

    void line(quint64 seq, const LogLine& line) override
    {
        const RequestMatcher& matcher = m_expectation.matcher;
        const TrafficLogEntry& entry = line.entry;
        if (!entry.isIncoming() || seq < matcher.fromSeq || seq > matcher.toSeq ||
            entry.timeUs < matcher.fromUs || entry.timeUs > matcher.toUs || !m_judge.matches(line))
            return;
        ++m_count;
        // More than at most or exactly allow is a failure now; at least is a pass once reached.
        if (matcher.count != RequestMatcher::Count::AtLeast && m_count == matcher.countValue + 1) {
            ExpectationFailure f = failure(
                QStringLiteral("%1 matching requests by now, %2").arg(m_count).arg(matcher.countText()),
                int(line.unit), entry.timeUs);
            f.peer = peerName(peerKey(entry));
            f.seqs << seq;
            fail(std::move(f));
        } else if (matcher.count == RequestMatcher::Count::AtLeast && m_count == matcher.countValue) {
            m_context.pass(m_result);
        }
    }

    void finish(qint64 endUs, quint64 endSeq) override
    {
        const RequestMatcher& matcher = m_expectation.matcher;
        if (matcher.countHolds(m_count) || m_count > matcher.countValue)
            return; // passed, or failed already
        // Too few: the scan of the run's lines names the nearest misses.
        RequestMatcher run = matcher;
        run.fromSeq = std::max(run.fromSeq, m_startSeq);
        run.toSeq = std::min(run.toSeq, endSeq == 0 ? 0 : endSeq - 1);
        const VerifyResult result = verifyRequests(run, m_log);
        ExpectationFailure f;
        f.message = QStringLiteral("%1 matching request%2, %3")
                        .arg(m_count)
                        .arg(m_count == 1 ? QString() : u"s"_s, matcher.countText());
        f.timeUs = endUs;
        f.seqs = result.firstSeqs;
        for (const VerifyResult::NearMiss& miss : result.nearMisses)
            f.message += QStringLiteral("; near miss %1: %2").arg(miss.seq).arg(miss.differences.join(u", "));
        // The nearest miss last.
        for (auto miss = result.nearMisses.crbegin(); miss != result.nearMisses.crend(); ++miss)
            f.seqs << miss->seq;
        fail(std::move(f));
    }

    QString note() const override { return QStringLiteral("%1 matching").arg(m_count); }

private:
    RequestJudge m_judge;
    const quint64 m_startSeq;
    const TrafficLogModel& m_log;
    quint64 m_count = 0;
};
} // namespace

QJsonObject ExpectationFailure::toJson() const
{
    QJsonArray lines;
    for (const quint64 seq : seqs)
        lines.append(qint64(seq));
    QJsonObject json{{u"message"_s, message}, {u"time"_s, timeText(timeUs)}, {u"seqs"_s, lines}};
    if (unit >= 0) {
        json.insert(u"unit"_s, unit);
        json.insert(u"unitAddress"_s, unitText);
    }
    if (!peer.isEmpty())
        json.insert(u"peer"_s, peer);
    if (eventSeq >= 0)
        json.insert(u"event"_s, QJsonObject{{u"seq"_s, eventSeq}, {u"text"_s, eventText}});
    return json;
}

QStringList ExpectationFailure::evidence() const
{
    QStringList lines{message};
    QStringList what;
    what << u"at "_s + timeText(timeUs);
    if (unit >= 0)
        what << u"unit "_s + unitText;
    if (!peer.isEmpty())
        what << u"peer "_s + peer;
    if (!seqs.isEmpty()) {
        QStringList numbers;
        for (const quint64 seq : seqs)
            numbers << QString::number(seq);
        what << u"log lines "_s + numbers.join(u", ");
    }
    lines << what.join(u"; ");
    if (eventSeq >= 0)
        lines << QStringLiteral("after event (line %1): %2").arg(eventSeq).arg(eventText);
    return lines;
}

const char* ExpectationResult::stateName(State state)
{
    switch (state) {
    case State::Pending:
        return "pending";
    case State::Passed:
        return "passed";
    case State::Failed:
        return "failed";
    }
    return "";
}

QJsonObject ExpectationResult::toJson() const
{
    QJsonArray list;
    for (const ExpectationFailure& failure : failures)
        list.append(failure.toJson());
    return {{u"name"_s, expectation.name},
            {u"check"_s, QLatin1String(Expectation::checkName(expectation.check))},
            {u"value"_s, expectation.value},
            {u"text"_s, expectation.text()},
            {u"state"_s, QLatin1String(stateName(state))},
            {u"note"_s, note},
            {u"failureCount"_s, qint64(failureCount)},
            {u"failures"_s, list}};
}

ExpectationMonitor::ExpectationMonitor(const TrafficLogModel& log, ScenarioSession* session, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_session(session)
    , m_clock(&TrafficLogEntry::now)
{
    m_timer.setInterval(kUpdateIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ExpectationMonitor::update);
    if (!session)
        return;
    connect(session, &ScenarioSession::scenarioLoaded, this,
            [this] { judge(m_session->player()->scenario()); });
    connect(session, &ScenarioSession::scenarioFinished, this, &ExpectationMonitor::finish);
    // Units made anew for a scenario without a player leave nothing to judge.
    connect(session, &ScenarioSession::unitsReplaced, this, [this] {
        if (!m_session->player())
            forget();
    });
}

ExpectationMonitor::~ExpectationMonitor() = default;

void ExpectationMonitor::forget()
{
    m_timer.stop();
    m_checkers.clear();
    m_context.reset();
    m_results.clear();
    m_expect.clear();
    m_started = false;
    m_finished = false;
    emit changed();
}

void ExpectationMonitor::judge(const Scenario& scenario, std::optional<quint64> fromSeq)
{
    forget();
    m_scenarioName = scenario.name;
    m_timeScale = scenario.timeScale;
    m_expect = scenario.expect;
    for (const Expectation& expectation : std::as_const(m_expect))
        m_results.append(fresh(expectation));
    m_next = fromSeq.value_or(m_log.endSeq());
    m_unread = 0;
    if (isActive())
        m_timer.start();
    emit changed();
}

void ExpectationMonitor::begin(quint64 seq, qint64 timeUs)
{
    m_checkers.clear();
    for (ExpectationResult& result : m_results)
        result = fresh(result.expectation);
    m_context = std::make_unique<Context>(m_results, m_log.unitAddresses(), m_timeScale);
    for (int k = 0; k < m_expect.size(); ++k) {
        const Expectation& e = m_expect[k];
        Context& c = *m_context;
        switch (e.check) {
        case Expectation::Check::ResendAfterReboot:
            m_checkers.push_back(std::make_unique<ResendChecker>(c, k, e));
            break;
        case Expectation::Check::MaxRate:
            m_checkers.push_back(std::make_unique<MaxRateChecker>(c, k, e));
            break;
        case Expectation::Check::DiscoveryInterval:
            m_checkers.push_back(std::make_unique<DiscoveryIntervalChecker>(c, k, e));
            break;
        case Expectation::Check::Backoff:
            m_checkers.push_back(std::make_unique<BackoffChecker>(c, k, e));
            break;
        case Expectation::Check::PollCoverage:
            m_checkers.push_back(std::make_unique<PollCoverageChecker>(c, k, e, timeUs));
            break;
        case Expectation::Check::NoMalformed:
            m_checkers.push_back(std::make_unique<NoMalformedChecker>(c, k, e, m_session));
            break;
        case Expectation::Check::Verify:
            m_checkers.push_back(std::make_unique<VerifyChecker>(c, k, e, seq, m_log));
            break;
        }
    }
    m_started = true;
    m_finished = false;
    m_startSeq = seq;
    m_startUs = timeUs;
    m_endUs = 0;
}

void ExpectationMonitor::readLine(quint64 seq, const LogLine& line)
{
    const TrafficLogEntry& entry = line.entry;
    if (entry.eventMark() == TrafficLogEntry::EventMark::ScenarioStarted) {
        begin(seq, entry.timeUs);
        emit changed();
        return;
    }
    if (!m_started || m_finished)
        return;
    for (const auto& checker : m_checkers)
        checker->advance(entry.timeUs);
    for (const auto& checker : m_checkers)
        checker->line(seq, line);
    if (entry.kind == Kind::Event && entry.eventMark() != TrafficLogEntry::EventMark::ScenarioEnded)
        m_context->noteEvent(seq, entry);
}

void ExpectationMonitor::update()
{
    if (!isActive())
        return;
    const quint64 end = m_log.endSeq();
    if (m_next < m_log.firstSeq()) {
        m_unread += m_log.firstSeq() - m_next;
        m_next = m_log.firstSeq();
    }
    LogLine line;
    while (m_next < end) {
        const quint64 seq = m_next;
        const quint64 held = m_log.heldFrom(seq);
        if (held != seq) {
            m_unread += held - seq;
            m_next = held;
            continue;
        }
        m_next = seq + 1;
        if (!m_log.lineWithSeq(seq, &line)) {
            ++m_unread;
            continue;
        }
        readLine(seq, line);
    }
    if (m_started && !m_finished) {
        const qint64 now = m_clock();
        for (const auto& checker : m_checkers) {
            checker->advance(now);
            checker->poll();
        }
        for (qsizetype k = 0; k < m_results.size(); ++k)
            m_results[k].note = m_checkers[std::size_t(k)]->note();
    }
    if (m_context && m_context->takeChanged())
        emit changed();
}

void ExpectationMonitor::finish()
{
    if (!isActive() || m_finished)
        return;
    update();
    // The timer runs on: a restart of the scenario is judged afresh from its new "started" line.
    if (!m_started) // never started: judged over nothing
        begin(m_log.endSeq(), m_clock());
    m_endUs = m_clock();
    for (qsizetype k = 0; k < m_results.size(); ++k) {
        Checker& checker = *m_checkers[std::size_t(k)];
        checker.finish(m_endUs, m_log.endSeq());
        m_results[k].note = checker.note();
        if (m_unread > 0)
            m_results[k].note += QStringLiteral("; %1 log lines went before they were judged").arg(m_unread);
        m_context->pass(int(k));
    }
    m_finished = true;
    m_context->takeChanged();
    emit changed();
}

double ExpectationMonitor::runSeconds() const
{
    if (!m_started)
        return 0;
    return double((m_finished ? m_endUs : m_clock()) - m_startUs) / 1e6;
}

int ExpectationMonitor::failedCount() const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [](const ExpectationResult& r) {
        return r.state == ExpectationResult::State::Failed;
    }));
}

QString ExpectationMonitor::summary() const
{
    int counts[3] = {};
    for (const ExpectationResult& result : m_results)
        ++counts[int(result.state)];
    QString text = QStringLiteral("%1 expectation%2: %3 passed, %4 failed")
                       .arg(m_results.size())
                       .arg(m_results.size() == 1 ? QString() : u"s"_s)
                       .arg(counts[int(ExpectationResult::State::Passed)])
                       .arg(counts[int(ExpectationResult::State::Failed)]);
    if (counts[int(ExpectationResult::State::Pending)] > 0)
        text += QStringLiteral(", %1 pending").arg(counts[int(ExpectationResult::State::Pending)]);
    return text;
}

QStringList ExpectationMonitor::report() const
{
    QStringList lines{summary()};
    for (const ExpectationResult& result : m_results) {
        if (result.state != ExpectationResult::State::Failed)
            continue;
        lines << QStringLiteral("FAILED %1 (%2: %3): %4 time%5")
                     .arg(result.expectation.name,
                          QLatin1String(Expectation::checkName(result.expectation.check)),
                          result.expectation.text())
                     .arg(result.failureCount)
                     .arg(result.failureCount == 1 ? QString() : u"s"_s);
        for (const ExpectationFailure& failure : result.failures) {
            const QStringList evidence = failure.evidence();
            for (qsizetype k = 0; k < evidence.size(); ++k)
                lines << (k == 0 ? u"  - "_s : u"    "_s) + evidence[k];
        }
        if (result.failureCount > quint64(result.failures.size()))
            lines << QStringLiteral("  ... and %1 more")
                         .arg(result.failureCount - quint64(result.failures.size()));
    }
    return lines;
}

QJsonObject ExpectationMonitor::toJson() const
{
    QJsonArray list;
    for (const ExpectationResult& result : m_results)
        list.append(result.toJson());
    QJsonObject json{{u"scenario"_s, m_scenarioName},
                     {u"state"_s, !m_started   ? u"waiting"_s
                                  : m_finished ? u"ended"_s
                                               : u"running"_s},
                     {u"summary"_s, summary()},
                     {u"passed"_s, m_finished && failedCount() == 0},
                     {u"expectations"_s, list}};
    if (m_started)
        json.insert(u"from"_s, qint64(m_startSeq));
    return json;
}

QByteArray ExpectationMonitor::junitXml() const
{
    QByteArray xml;
    QXmlStreamWriter out(&xml);
    out.setAutoFormatting(true);
    out.writeStartDocument();
    const QString suite = m_scenarioName.isEmpty() ? u"scenario"_s : m_scenarioName;
    const QString failures = QString::number(failedCount());
    const QString tests = QString::number(m_results.size());
    const QString seconds = QString::number(runSeconds(), 'f', 3);
    out.writeStartElement(u"testsuites"_s);
    out.writeAttribute(u"name"_s, u"unit-simulator expectations"_s);
    out.writeAttribute(u"tests"_s, tests);
    out.writeAttribute(u"failures"_s, failures);
    out.writeAttribute(u"time"_s, seconds);
    out.writeStartElement(u"testsuite"_s);
    out.writeAttribute(u"name"_s, suite);
    out.writeAttribute(u"tests"_s, tests);
    out.writeAttribute(u"failures"_s, failures);
    out.writeAttribute(u"errors"_s, u"0"_s);
    out.writeAttribute(u"skipped"_s, u"0"_s);
    out.writeAttribute(u"time"_s, seconds);
    if (m_started)
        out.writeAttribute(u"timestamp"_s, timeText(m_startUs));
    for (const ExpectationResult& result : m_results) {
        out.writeStartElement(u"testcase"_s);
        out.writeAttribute(u"name"_s, result.expectation.name);
        out.writeAttribute(u"classname"_s,
                           suite + u'.' + QLatin1String(Expectation::checkName(result.expectation.check)));
        out.writeAttribute(u"time"_s, seconds);
        if (result.state == ExpectationResult::State::Failed) {
            out.writeStartElement(u"failure"_s);
            out.writeAttribute(u"message"_s, result.failures.isEmpty() ? result.expectation.text()
                                                                       : result.failures.first().message);
            out.writeAttribute(u"type"_s, QLatin1String(Expectation::checkName(result.expectation.check)));
            QString text = QStringLiteral("failed %1 time%2: %3\n")
                               .arg(result.failureCount)
                               .arg(result.failureCount == 1 ? QString() : u"s"_s, result.expectation.text());
            for (const ExpectationFailure& failure : result.failures)
                text += u"- "_s + failure.evidence().join(u"\n  "_s) + u'\n';
            if (result.failureCount > quint64(result.failures.size()))
                text += QStringLiteral("... and %1 more\n")
                            .arg(result.failureCount - quint64(result.failures.size()));
            out.writeCharacters(text);
            out.writeEndElement();
        } else if (result.state == ExpectationResult::State::Pending) {
            out.writeStartElement(u"skipped"_s);
            out.writeAttribute(u"message"_s, u"the run has not ended"_s);
            out.writeEndElement();
        }
        out.writeTextElement(u"system-out"_s, result.expectation.text() + u"\n"_s + result.note);
        out.writeEndElement();
    }
    out.writeEndElement();
    out.writeEndElement();
    out.writeEndDocument();
    return xml;
}
