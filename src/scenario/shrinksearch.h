#pragma once

#include "explorevariation.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A smaller variation to try while shrinking a failing one, and what was made smaller.
struct ShrinkCandidate {
    QList<ScenarioEvent> additions;
    QString change; // "without reboot 127.0.7.2 for 3 s", "for 1.5 s instead of 3 s: reboot ..."
};

// The variations one step smaller than `additions`, simplest first: one addition fewer, one unit
// instead of a range, half the duration, half the chance or count of a rule, earlier. They stay
// within what `scenario`'s explore block draws from (its window, the shortest span it gives that
// kind of addition), so that a smaller case is one the exploration could have found, not another
// situation that happens to fail the same way.
QList<ShrinkCandidate> shrinkCandidates(const Scenario& scenario, const QList<ScenarioEvent>& additions);

// The search for the smallest variation of a failing run that still fails the same expectation.
// It offers the candidates one step smaller than the smallest so far (shrinkCandidates()), each to
// be played `repeats` times; a candidate is kept only when every play fails the expectation being
// shrunk. A play that passes, or fails only other expectations, rejects it: a smaller case that
// fails another way is another bug, not this one made smaller. Plays are bounded by `maxPlays`.
//
// Plays may be handed out ahead, to be played at once: the candidates in order, each one's plays
// in order, as many as the plays left allow. Results may come back in any order; the search
// decides as one playing them one after another would (the first candidate in order whose plays
// all fail the target is kept), so it keeps the same candidate and counts the same plays however
// many play at once. Plays handed out before a candidate was kept are for candidates that no
// longer count: their results are not taken.
class ShrinkSearch {
public:
    // One play to make.
    struct Play {
        int generation = 0; // which list of candidates it is from: one for each step
        qsizetype candidate = 0;
        int repeat = 0;
        ExploreVariation variation;
    };

    ShrinkSearch(const Scenario& scenario, QString target, ExploreVariation failing, int repeats,
                 int maxPlays);

    // The next play to make, or nothing when none may start now: every candidate's plays are out,
    // or as many as the plays left allow are, or the search is over().
    std::optional<Play> next();
    // What a play of next() failed (the names of the expectations). When that kept a candidate,
    // which one: smallest() and lastChange() are new, and plays out before no longer count.
    std::optional<qsizetype> record(const Play& play, const QStringList& failed);
    // Whether a play from next() still counts.
    bool counts(const Play& play) const { return play.generation == m_generation && !over(); }

    // Nothing smaller fails, or the budget of plays is spent (whyOver()).
    bool over() const { return m_front >= m_candidates.size() || m_budgetSpent; }
    const QString& target() const { return m_target; }
    const ExploreVariation& smallest() const { return m_smallest; }
    // What the last kept candidate made smaller ("without reboot 127.0.7.2 for 3 s").
    const QString& lastChange() const { return m_lastChange; }
    // The plays counted as one playing the candidates one after another would have made them.
    int plays() const { return m_plays; }
    int playsLeft() const { return m_maxPlays - m_plays; }
    int steps() const { return m_steps; }
    // "nothing smaller fails" or "the shrink budget is spent", once over().
    QString whyOver() const;

private:
    void offerSmaller();
    // Decides the candidates in order as far as the results in allow; the one kept, if one was.
    std::optional<qsizetype> decide();

    Scenario m_scenario;
    QString m_target;
    ExploreVariation m_smallest;
    int m_repeats;
    int m_maxPlays;
    int m_generation = 0;
    QList<ShrinkCandidate> m_candidates;
    // For each candidate's plays: not in yet, or whether it failed the target.
    QList<QList<std::optional<bool>>> m_results;
    qsizetype m_front = 0;     // the first candidate not decided
    qsizetype m_handedOut = 0; // plays handed out, in order: candidate * repeats + repeat
    bool m_budgetSpent = false;
    int m_plays = 0;
    int m_steps = 0;
    QString m_lastChange;
};
