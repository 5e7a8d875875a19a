// The checks of how often a controller asks: rates per unit or peer, the interval between
// discovery requests, and backing off from a unit that does not answer.
#include "expectationchecker.h"

#include <unordered_map>

using namespace expectcheck;
using namespace Qt::Literals::StringLiterals;

namespace {
// "second", or "2 s" for a rate below one a second.
QString windowText(double perSecond)
{
    const double seconds = std::max(1.0, 1 / perSecond);
    return seconds == 1 ? u"second"_s : QString::number(seconds, 'g', 6) + u" s"_s;
}

// The margin of the busiest window of a rate, which held `peak` of what `rate` allows: `what` names
// it, %1 standing for its length ("the busiest %1 of 127.0.7.2"). Nothing before any window held
// anything.
std::optional<ExpectationMargin> busiestWindow(qsizetype peak, const RateLimit& rate, double perSecond,
                                               const QString& what)
{
    if (peak == 0)
        return std::nullopt;
    return belowCeiling(double(peak), double(rate.limit),
                        what.arg(windowText(perSecond)) +
                            QStringLiteral(" held %1 of the %2 allowed").arg(peak).arg(rate.limit));
}

// No unit gets, or no peer sends, more than the rate in any window.
class MaxRateChecker : public ExpectationMonitor::Checker {
public:
    MaxRateChecker(ExpectationMonitor::Context& context, int result, const ExpectationDefinition& expectation)
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
        const bool over = window.hits.add(entry.timeUs, seq, m_rate);
        if (window.hits.size() > m_peak) {
            m_peak = window.hits.size();
            m_peakWho = m_expectation.perPeer ? peerName(key) : m_context.unitText(int(line.unit));
        }
        if (!over) {
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

    QString unexercised() const override
    {
        if (m_requests > 0)
            return {};
        return m_expectation.perPeer ? u"no peer sent a request"_s : u"no request reached a unit port"_s;
    }

    std::optional<ExpectationMargin> margin() const override
    {
        return busiestWindow(m_peak, m_rate, m_expectation.perSecond, u"the busiest %1 of "_s + m_peakWho);
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
    qsizetype m_peak = 0; // the most any window held
    QString m_peakWho;
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
        ++m_intervals;
        Last& last = it->second;
        const qint64 gapUs = entry.timeUs - last.timeUs;
        if (!m_shortestUs || gapUs < *m_shortestUs) {
            m_shortestUs = gapUs;
            m_shortestPeer = key;
        }
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

    QString unexercised() const override
    {
        if (m_intervals > 0)
            return {};
        return m_requests == 0 ? u"no discovery request came"_s
                               : u"no peer sent discovery twice: no interval to measure"_s;
    }

    std::optional<ExpectationMargin> margin() const override
    {
        if (!m_shortestUs)
            return std::nullopt;
        return aboveFloor(double(*m_shortestUs), double(m_context.realUs(m_expectation.atLeastMs)),
                          QStringLiteral("the shortest interval, of %1, was %2 against %3")
                              .arg(peerName(m_shortestPeer), m_context.scenarioText(*m_shortestUs),
                                   scenarioDurationText(m_expectation.atLeastMs)));
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
    quint64 m_intervals = 0;
    quint64 m_untracked = 0;
    std::optional<qint64> m_shortestUs;
    quint64 m_shortestPeer = 0;
};

// While a unit does not answer a peer, the peer's queries to it fall to the rate.
class BackoffChecker : public ExpectationMonitor::Checker {
public:
    BackoffChecker(ExpectationMonitor::Context& context, int result, const ExpectationDefinition& expectation)
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
        const bool over = pair.window.add(entry.timeUs, seq, m_rate);
        if (pair.window.size() > m_peak) {
            m_peak = pair.window.size();
            m_peakWho = peerName(peerKey(entry)) + u" to "_s + m_context.unitText(int(line.unit));
        }
        if (!over) {
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

    QString unexercised() const override
    {
        if (m_backingOff > 0)
            return {};
        return QStringLiteral("no peer asked a unit again after %1 unanswered quer%2")
            .arg(m_expectation.afterUnanswered)
            .arg(m_expectation.afterUnanswered == 1 ? u"y"_s : u"ies"_s);
    }

    std::optional<ExpectationMargin> margin() const override
    {
        return busiestWindow(m_peak, m_rate, m_expectation.perSecond,
                             u"backing off, the busiest %1 ("_s + m_peakWho + u')');
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
    qsizetype m_peak = 0; // the most any pair's window held
    QString m_peakWho;
};
} // namespace

std::unique_ptr<ExpectationMonitor::Checker> makeMaxRateChecker(const CheckerArgs& args)
{
    return std::make_unique<MaxRateChecker>(args.context, args.result, args.expectation);
}

std::unique_ptr<ExpectationMonitor::Checker> makeDiscoveryIntervalChecker(const CheckerArgs& args)
{
    return std::make_unique<DiscoveryIntervalChecker>(args.context, args.result, args.expectation);
}

std::unique_ptr<ExpectationMonitor::Checker> makeBackoffChecker(const CheckerArgs& args)
{
    return std::make_unique<BackoffChecker>(args.context, args.result, args.expectation);
}
