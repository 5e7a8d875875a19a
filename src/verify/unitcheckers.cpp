// The checks of what each unit gets: set-channels after a reboot, polls often enough, nothing
// malformed, and a matcher's count over the run.
#include "expectationchecker.h"
#include "verifyscan.h"

#include "scenario/scenariosession.h"

#include <queue>
#include <unordered_map>

using namespace expectcheck;
using namespace Qt::Literals::StringLiterals;

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
            const qint64 afterUs =
                entry.timeUs - (it->second.deadlineUs - m_context.realUs(m_expectation.withinMs));
            if (afterUs > m_slowestUs) {
                m_slowestUs = afterUs;
                m_slowestUnit = it->first;
            }
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

    QString unexercised() const override
    {
        if (m_backs > quint64(m_unjudged))
            return {};
        return m_backs == 0 ? u"no unit came back from a reboot"_s
                            : u"every unit came back from its reboot too near the end to judge"_s;
    }

    std::optional<ExpectationMargin> margin() const override
    {
        // A unit that got none in time failed: beyond the limit by as much as the check waited.
        if (failedCount() > 0)
            return belowCeiling(2, 1,
                                u"a unit got no set-channels within %1 of being back"_s.arg(
                                    scenarioDurationText(m_expectation.withinMs)));
        if (m_slowestUs < 0)
            return std::nullopt;
        return belowCeiling(
            double(m_slowestUs), double(m_context.realUs(m_expectation.withinMs)),
            QStringLiteral("the slowest set-channels, to %1, came %2 after it was back, within %3")
                .arg(m_context.unitText(m_slowestUnit), m_context.scenarioText(m_slowestUs),
                     scenarioDurationText(m_expectation.withinMs)),
            m_slowestUnit);
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
    qint64 m_slowestUs = -1; // from being back to the set-channels, of those in time
    int m_slowestUnit = 0;
    std::size_t m_unjudged = 0;
};

// Each unit gets a channel- or status-query at least so often.
class PollCoverageChecker : public ExpectationMonitor::Checker {
public:
    PollCoverageChecker(ExpectationMonitor::Context& context, int result,
                        const ExpectationDefinition& expectation, qint64 startUs)
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
        if (unit.lastSeq)
            noteGap(entry.timeUs - unit.lastUs, int(line.unit));
        unit.dueUs = entry.timeUs + m_context.realUs(m_expectation.everyMs);
        unit.lastUs = entry.timeUs;
        unit.lastSeq = seq;
        unit.lastPeer = peerKey(entry);
        if (!std::exchange(unit.queued, true))
            m_due.push({unit.dueUs, int(line.unit)});
        ++m_polls;
    }

    void finish(qint64 endUs, quint64) override
    {
        advance(endUs);
        // The gap still open at the end counts too: a unit left unpolled since.
        for (std::size_t unit = 0; unit < m_units.size(); ++unit) {
            if (m_units[unit].lastSeq)
                noteGap(endUs - m_units[unit].lastUs, int(unit));
        }
    }

    std::optional<ExpectationMargin> margin() const override
    {
        if (m_longestUs < 0)
            return std::nullopt;
        return belowCeiling(double(m_longestUs), double(m_context.realUs(m_expectation.everyMs)),
                            QStringLiteral("the longest gap between polls, of %1, was %2 against %3")
                                .arg(m_context.unitText(m_longestUnit), m_context.scenarioText(m_longestUs),
                                     scenarioDurationText(m_expectation.everyMs)),
                            m_longestUnit);
    }

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
    void noteGap(qint64 gapUs, int unit)
    {
        if (gapUs > m_longestUs) {
            m_longestUs = gapUs;
            m_longestUnit = unit;
        }
    }

    std::vector<Unit> m_units;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> m_due; // soonest first
    quint64 m_polls = 0;
    quint64 m_gaps = 0;
    qint64 m_longestUs = -1; // between two polls of a unit, or from its last to the end
    int m_longestUnit = 0;
};

// The controller sends nothing a unit cannot read. Short frames and unknown commands are in the
// log; what it does not show (frames longer than 29 bytes, discovery requests that are not one)
// the peer table counts.
class NoMalformedChecker : public ExpectationMonitor::Checker {
public:
    // Without a session, only what the log shows.
    NoMalformedChecker(ExpectationMonitor::Context& context, int result,
                       const ExpectationDefinition& expectation, const ScenarioSession* session)
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
        // Counted as the peer table counts it, so that the two compare like with like: under the
        // peer's own entry while the table holds one, else with "other". Without a table, as
        // many peers as a table holds.
        const bool own = m_session
                             ? m_session->peers().holds(entry.address, entry.remotePort)
                             : m_logged.contains(peer) || qsizetype(m_logged.size()) < PeerTable::kMaxPeers;
        ++(own ? m_logged[peer] : m_loggedOther);
        // Past the evidence kept, a failure only counts: a flood of malformed datagrams must not
        // cost a message each.
        if (!m_context.keepsEvidence(m_result)) {
            m_context.countFailure(m_result, int(line.unit));
            return;
        }
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
            const quint64 known = value(m_baseline, k) +
                                  (peer.isOther() ? m_loggedOther : value(m_logged, k)) +
                                  value(m_unlogged, k);
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

    QString unexercised() const override { return m_context.unexercisedWithoutRequests(); }

    QString note() const override
    {
        quint64 logged = m_loggedOther;
        for (const auto& [peer, count] : m_logged)
            logged += count;
        quint64 unlogged = 0;
        for (const auto& [peer, count] : m_unlogged)
            unlogged += count;
        return QStringLiteral("%1 malformed in the log, %2 more counted by peer").arg(logged).arg(unlogged);
    }

private:
    static quint64 key(const PeerTable::Peer& peer) { return quint64(peer.address) << 16 | peer.port; }
    static quint64 value(const std::unordered_map<quint64, quint64>& map, quint64 k)
    {
        const auto found = map.find(k);
        return found == map.end() ? 0 : found->second;
    }

    const ScenarioSession* m_session;
    // Each bounded as the peer table is: by its peers, and one count for "other".
    std::unordered_map<quint64, quint64> m_baseline;
    std::unordered_map<quint64, quint64> m_logged;
    quint64 m_loggedOther = 0;
    std::unordered_map<quint64, quint64> m_unlogged;
};

// A matcher's count over the run; the near misses when it does not hold.
class VerifyChecker : public ExpectationMonitor::Checker {
public:
    VerifyChecker(ExpectationMonitor::Context& context, int result, const ExpectationDefinition& expectation,
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

    // A count with room on one side: at most N (how many were left), at least N (how many more).
    std::optional<ExpectationMargin> margin() const override
    {
        const RequestMatcher& matcher = m_expectation.matcher;
        const QString text = QStringLiteral("%1 matching, %2").arg(m_count).arg(matcher.countText());
        if (matcher.count == RequestMatcher::Count::AtMost && matcher.countValue > 0)
            return belowCeiling(double(m_count), double(matcher.countValue), text);
        if (matcher.count == RequestMatcher::Count::AtLeast && matcher.countValue > 0)
            return aboveFloor(double(m_count), double(matcher.countValue), text);
        return std::nullopt;
    }
    // A count of none that holds is only worth something if anything came at all.
    QString unexercised() const override { return m_context.unexercisedWithoutRequests(); }

private:
    RequestJudge m_judge;
    const quint64 m_startSeq;
    const TrafficLogModel& m_log;
    quint64 m_count = 0;
};
} // namespace

std::unique_ptr<ExpectationMonitor::Checker> makeResendChecker(const CheckerArgs& args)
{
    return std::make_unique<ResendChecker>(args.context, args.result, args.expectation);
}

std::unique_ptr<ExpectationMonitor::Checker> makePollCoverageChecker(const CheckerArgs& args)
{
    return std::make_unique<PollCoverageChecker>(args.context, args.result, args.expectation, args.startUs);
}

std::unique_ptr<ExpectationMonitor::Checker> makeNoMalformedChecker(const CheckerArgs& args)
{
    return std::make_unique<NoMalformedChecker>(args.context, args.result, args.expectation, args.session);
}

std::unique_ptr<ExpectationMonitor::Checker> makeVerifyChecker(const CheckerArgs& args)
{
    return std::make_unique<VerifyChecker>(args.context, args.result, args.expectation, args.startSeq,
                                           args.log);
}
