#pragma once

#include "explorevariation.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The search for the smallest variation of a failing run that still fails the same expectation.
// It offers the candidates one step smaller than the smallest so far (shrinkCandidates()), each to
// be played `repeats` times; a candidate is kept only when every play fails the expectation being
// shrunk. A play that passes, or fails only other expectations, rejects it: a smaller case that
// fails another way is another bug, not this one made smaller. Plays are bounded by `maxPlays`.
class ShrinkSearch {
public:
    enum class Verdict {
        Again,    // the candidate failed the target; it is played again
        Rejected, // it passed, or failed only other expectations: the next candidate is tried
        Kept,     // every play failed the target: it is the smallest now
    };

    ShrinkSearch(const Scenario& scenario, QString target, ExploreVariation failing, int repeats,
                 int maxPlays);

    // The variation to play next, or nothing when the search is over (see whyOver()).
    std::optional<ExploreVariation> next();
    // What the play of next()'s variation failed (the names of the expectations).
    Verdict record(const QStringList& failed);

    const QString& target() const { return m_target; }
    const ExploreVariation& smallest() const { return m_smallest; }
    // What the last kept candidate made smaller ("without reboot 127.0.7.2 for 3 s").
    const QString& lastChange() const { return m_lastChange; }
    int plays() const { return m_plays; }
    int playsLeft() const { return m_maxPlays - m_plays; }
    int steps() const { return m_steps; }
    // "nothing smaller fails" or "the shrink budget is spent", once next() gave nothing.
    QString whyOver() const;

private:
    void offerSmaller();

    Scenario m_scenario;
    QString m_target;
    ExploreVariation m_smallest;
    int m_repeats;
    int m_maxPlays;
    QList<ShrinkCandidate> m_candidates;
    qsizetype m_next = 0;
    int m_repeat = 0;
    int m_plays = 0;
    int m_steps = 0;
    QString m_lastChange;
};
