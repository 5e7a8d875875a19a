#include "shrinksearch.h"

#include "explorespace.h"
#include "fault/faultrule.h"

#include <QRegularExpression>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {
// Shorter than this, a span shrinks no further: a reboot of a few milliseconds tells nothing.
constexpr qint64 kMinShrinkForMs = 100;

// The values in a rule that make its fault milder when lowered, and how low each goes: a delay
// toward none (and so toward where the controller's timeout lies), a chance toward never, counts
// toward their least.
struct Lowerable {
    const char* key;
    double toward; // what lowering approaches
    double least;  // what it may reach
    bool whole;
};
constexpr Lowerable kLowerable[] = {
    {"delay", 0, 0, true},     {"jitter", 0, 0, true},  {"chance", 0, 0.001, false}, {"times", 1, 1, true},
    {"duplicate", 2, 2, true}, {"corrupt", 1, 1, true}, {"reorder", 1, 1, true}};

// `rule` with the value of `lowerable` brought `fraction` of the way down to its least; nothing
// when it has no such value, or that would not change it.
std::optional<FaultRule> lowered(const FaultRule& rule, const Lowerable& lowerable, double fraction)
{
    const QRegularExpression value(u"(^|,)"_s + QLatin1String(lowerable.key) +
                                   u"=(\\d+(?:\\.\\d+)?)(?=,|$)"_s);
    const QRegularExpressionMatch match = value.match(rule.text);
    if (!match.hasMatch())
        return std::nullopt;
    const double old = match.captured(2).toDouble();
    const double target = old - (old - lowerable.toward) * fraction;
    const double low = lowerable.whole ? std::floor(target) : std::round(target * 1000) / 1000;
    if (low < lowerable.least || low >= old)
        return std::nullopt;
    QString text = rule.text;
    text.replace(match.capturedStart(2), match.capturedLength(2),
                 DrawRange::numberText(low, lowerable.whole));
    QString problem;
    return FaultRule::parse(text, &problem);
}
} // namespace

QList<ShrinkCandidate> shrinkCandidates(const Scenario& scenario, const QList<ScenarioEvent>& additions)
{
    QList<ShrinkCandidate> candidates;
    const auto with = [&](qsizetype k, const ScenarioEvent& changed, const QString& change) {
        QList<ScenarioEvent> smaller = additions;
        smaller[k] = changed;
        candidates.append({smaller, change + u": "_s + scenario.eventText(additions[k])});
    };
    for (qsizetype k = 0; k < additions.size(); ++k) {
        QList<ScenarioEvent> fewer = additions;
        fewer.removeAt(k);
        candidates.append({fewer, u"without "_s + scenario.eventText(additions[k])});
    }
    for (qsizetype k = 0; k < additions.size(); ++k) {
        const ScenarioEvent& event = additions[k];
        if (event.units.isAll() || event.units.first == event.units.last)
            continue;
        // Each half of the range: a unit among many is found in a few steps.
        const int middle = event.units.first + (event.units.last - event.units.first) / 2;
        for (const auto& [first, last] :
             {std::pair{event.units.first, middle}, std::pair{middle + 1, event.units.last}}) {
            ScenarioEvent part = event;
            part.units = {first, last,
                          first == last ? QString::number(first)
                                        : QStringLiteral("%1-%2").arg(first).arg(last)};
            with(k, part,
                 first == last ? QStringLiteral("unit %1 only").arg(first)
                               : QStringLiteral("units %1-%2 only").arg(first).arg(last));
        }
    }
    // The shortest span the block gives each kind of addition.
    const auto shortest = [&](ScenarioEvent::Kind kind) {
        qint64 least = kMinShrinkForMs;
        if (!scenario.explore)
            return least;
        bool found = false;
        for (const ExploreSpace::Choice& choice : scenario.explore->choices) {
            const bool same =
                (choice.kind == ExploreSpace::Choice::Kind::Reboot && kind == ScenarioEvent::Kind::Reboot) ||
                (choice.kind == ExploreSpace::Choice::Kind::Offline &&
                 kind == ScenarioEvent::Kind::Offline) ||
                (choice.kind == ExploreSpace::Choice::Kind::Fault && kind == ScenarioEvent::Kind::Fault);
            if (!same)
                continue;
            const qint64 low =
                choice.forMs ? qint64(choice.forMs->low)
                             : (kind == ScenarioEvent::Kind::Reboot ? ScenarioEvent::kDefaultRebootMs : 0);
            least = found ? std::min(least, low) : low;
            found = true;
        }
        return std::max(least, kMinShrinkForMs);
    };
    for (qsizetype k = 0; k < additions.size(); ++k) {
        const ScenarioEvent& event = additions[k];
        const qint64 half = std::max(event.forMs / 2, shortest(event.kind));
        if (event.forMs == 0 || half >= event.forMs)
            continue;
        ScenarioEvent shorter = event;
        shorter.forMs = half;
        with(k, shorter,
             QStringLiteral("for %1 instead of %2")
                 .arg(scenarioDurationText(shorter.forMs), scenarioDurationText(event.forMs)));
    }
    for (qsizetype k = 0; k < additions.size(); ++k) {
        const ScenarioEvent& event = additions[k];
        if (event.kind != ScenarioEvent::Kind::Fault)
            continue;
        // Half way down, then a quarter: as far as the failure holds.
        for (const Lowerable& lowerable : kLowerable) {
            for (const double fraction : {0.5, 0.25}) {
                if (const std::optional<FaultRule> lower = lowered(event.rule, lowerable, fraction)) {
                    ScenarioEvent changed = event;
                    changed.rule = *lower;
                    with(k, changed, QStringLiteral("\"%1\" instead").arg(lower->text));
                }
            }
        }
    }
    const qint64 earliest = scenario.explore ? qint64(scenario.explore->windowMs.low) : 0;
    for (qsizetype k = 0; k < additions.size(); ++k) {
        const ScenarioEvent& event = additions[k];
        if (event.atMs <= earliest)
            continue;
        for (const qint64 at : {earliest, earliest + (event.atMs - earliest) / 2}) {
            if (at >= event.atMs || (at != earliest && at - earliest < kMinShrinkForMs))
                continue;
            ScenarioEvent earlier = event;
            earlier.atMs = at;
            with(k, earlier,
                 QStringLiteral("at %1 instead of %2")
                     .arg(scenarioDurationText(at), scenarioDurationText(event.atMs)));
        }
    }
    return candidates;
}

ShrinkSearch::ShrinkSearch(const Scenario& scenario, QString target, ExploreVariation failing, int repeats,
                           int maxPlays)
    : m_scenario(scenario)
    , m_target(std::move(target))
    , m_smallest(std::move(failing))
    , m_repeats(std::max(1, repeats))
    , m_maxPlays(maxPlays)
{
    offerSmaller();
    m_budgetSpent = m_maxPlays <= 0;
}

void ShrinkSearch::offerSmaller()
{
    ++m_generation;
    m_candidates = shrinkCandidates(m_scenario, m_smallest.additions);
    m_results = QList<QList<std::optional<bool>>>(m_candidates.size(), QList<std::optional<bool>>(m_repeats));
    m_front = 0;
    m_handedOut = 0;
}

std::optional<ShrinkSearch::Play> ShrinkSearch::next()
{
    if (over())
        return std::nullopt;
    // Not the rest of a candidate already decided, or already known to be rejected.
    m_handedOut = std::max(m_handedOut, m_front * m_repeats);
    while (m_handedOut < m_candidates.size() * m_repeats &&
           m_results[m_handedOut / m_repeats].contains(std::optional<bool>(false)))
        m_handedOut = (m_handedOut / m_repeats + 1) * m_repeats;
    // Ahead of the first undecided candidate, no more plays than could still be counted.
    const qsizetype ahead = m_handedOut - m_front * m_repeats;
    if (m_handedOut >= m_candidates.size() * m_repeats || ahead >= playsLeft())
        return std::nullopt;
    Play play;
    play.generation = m_generation;
    play.candidate = m_handedOut / m_repeats;
    play.repeat = int(m_handedOut % m_repeats);
    play.variation = m_smallest;
    play.variation.additions = m_candidates[play.candidate].additions;
    ++m_handedOut;
    return play;
}

std::optional<qsizetype> ShrinkSearch::record(const Play& play, const QStringList& failed)
{
    if (!counts(play) || play.candidate >= m_candidates.size() || play.repeat >= m_repeats)
        return std::nullopt;
    m_results[play.candidate][play.repeat] = failed.contains(m_target);
    return decide();
}

std::optional<qsizetype> ShrinkSearch::decide()
{
    std::optional<qsizetype> kept;
    while (!over()) {
        const QList<std::optional<bool>>& results = m_results[m_front];
        int repeat = 0;
        for (; repeat < m_repeats; ++repeat) {
            // One playing them in turn would not have made this play.
            if (m_plays + repeat >= m_maxPlays) {
                m_plays += repeat; // those before it were made
                m_budgetSpent = true;
                return kept;
            }
            if (!results[repeat])
                return kept; // not in yet
            if (!*results[repeat])
                break;
        }
        if (repeat < m_repeats) {
            m_plays += repeat + 1; // played until one did not fail the target
            ++m_front;
            continue;
        }
        m_plays += m_repeats;
        ++m_steps;
        m_smallest.additions = m_candidates[m_front].additions;
        m_lastChange = m_candidates[m_front].change;
        kept = m_front;
        offerSmaller();
    }
    return kept;
}

QString ShrinkSearch::whyOver() const
{
    return m_budgetSpent ? QStringLiteral("the shrink budget is spent")
                         : QStringLiteral("nothing smaller fails");
}
