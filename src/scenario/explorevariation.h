#pragma once

#include "scenario.h"

#include <QList>

#include <random>

// One run's variation of a scenario with an explore block: the additions drawn for it.
struct ExploreVariation {
    quint64 seed = 0; // the run's own, from which the additions were drawn
    QList<ScenarioEvent> additions;
    // Drawn as a change of an earlier run ("run 3 changed: ..."); empty when drawn afresh.
    QString origin;
};

// How a run's additions are drawn.
enum class ExploreDraw : quint8 {
    // Each run first draws which of the block's kinds of addition it may use at all (each with
    // even odds, at least one), then its additions among those: runs of few kinds, where a
    // rare combination is not drowned by all the others, come up far more often.
    Swarm,
    Uniform, // every addition from all of the block's kinds
};

// The additions of run `run` of an exploration from `seed`: the same seed and run give the same
// additions, whatever ran before. None when the scenario has no explore block.
ExploreVariation drawVariation(const Scenario& scenario, quint64 seed, int run,
                               ExploreDraw draw = ExploreDraw::Swarm);
// `scenario` with `additions` added to its timeline and no explore block: what a run plays, and
// what a failure is written as.
Scenario withAdditions(const Scenario& scenario, const QList<ScenarioEvent>& additions);

// Draws from an explore block with a generator of its own: whole numbers, values of its ranges,
// and whole additions. The same seed gives the same draws in the same order.
class ExploreDrawer {
public:
    ExploreDrawer(const ExploreSpace& space, quint64 seed);

    qint64 whole(qint64 low, qint64 high);
    double value(const DrawRange& range);
    // An addition of `choice`'s kind at a time in the block's window, on units drawn within the
    // block's (or on `units`), with its span and rule values drawn.
    ScenarioEvent addition(const ExploreSpace::Choice& choice,
                           std::optional<ScenarioUnits> units = std::nullopt);

private:
    const ExploreSpace& m_space;
    std::mt19937_64 m_random;
};
