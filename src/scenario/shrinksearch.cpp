#include "shrinksearch.h"

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
