#include "shrinksearch.h"

ShrinkSearch::ShrinkSearch(const Scenario& scenario, QString target, ExploreVariation failing, int repeats,
                           int maxPlays)
    : m_scenario(scenario)
    , m_target(std::move(target))
    , m_smallest(std::move(failing))
    , m_repeats(repeats)
    , m_maxPlays(maxPlays)
{
    offerSmaller();
}

void ShrinkSearch::offerSmaller()
{
    m_candidates = shrinkCandidates(m_scenario, m_smallest.additions);
    m_next = 0;
    m_repeat = 0;
}

std::optional<ExploreVariation> ShrinkSearch::next()
{
    if (m_next >= m_candidates.size() || m_plays >= m_maxPlays)
        return std::nullopt;
    ++m_plays;
    ExploreVariation variation = m_smallest;
    variation.additions = m_candidates[m_next].additions;
    return variation;
}

ShrinkSearch::Verdict ShrinkSearch::record(const QStringList& failed)
{
    if (m_next >= m_candidates.size())
        return Verdict::Rejected;
    if (!failed.contains(m_target)) {
        m_repeat = 0;
        ++m_next;
        return Verdict::Rejected;
    }
    if (++m_repeat < m_repeats)
        return Verdict::Again;
    ++m_steps;
    m_smallest.additions = m_candidates[m_next].additions;
    m_lastChange = m_candidates[m_next].change;
    offerSmaller();
    return Verdict::Kept;
}

QString ShrinkSearch::whyOver() const
{
    return m_next >= m_candidates.size() ? QStringLiteral("nothing smaller fails")
                                         : QStringLiteral("the shrink budget is spent");
}
