#pragma once

#include "explorevariation.h"

#include <QList>
#include <QMap>
#include <QString>

// How near a run came to failing one expectation: the share of its limit left (as
// ExpectationMargin gives it), and on which unit, when on one.
struct ExploreMargin {
    double fraction = 1;
    int unit = -1;

    bool operator==(const ExploreMargin&) const = default;
};
using ExploreMargins = QMap<QString, ExploreMargin>; // by expectation

// The passing runs an exploration keeps to draw near: the kClosest runs that came nearest to
// failing any expectation (by their least margin), and for each expectation with a margin the run
// that came nearest to failing it, so that a run that is the first to come near an expectation at
// all gets in. A run that holds no place any more goes.
class ExploreCorpus {
public:
    static constexpr qsizetype kClosest = 8;

    struct Entry {
        int run = 0;
        ExploreVariation variation;
        ExploreMargins margins;

        // Its nearest margin, which ranks it.
        const ExploreMargin& nearest() const;
    };

    // Offers a passing run with its margins; true when it was kept.
    bool offer(int run, const ExploreVariation& variation, const ExploreMargins& margins);
    // In run order.
    const QList<Entry>& entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.isEmpty(); }

private:
    QMap<QString, Entry> m_closestOn; // by expectation
    QList<Entry> m_closest;           // by least margin, the nearest first
    QList<Entry> m_entries;
};

// Guided search draws run `run` (of an exploration from `seed`) either afresh, as drawVariation()
// does, or as a small change of a run of `corpus`: an addition moved in time, its span widened,
// another addition on the same units around the moment they change (as the first starts or ends),
// or the same addition on other units; one or two of them, within what the explore block draws.
// A change acts on an addition on the unit where the run came nearest to failing, when it came
// near on one. Half of the runs go each way once the corpus holds any. The same seed, run and
// corpus give the same variation. A changed one says how in its `origin`.
ExploreVariation drawGuidedVariation(const Scenario& scenario, quint64 seed, int run, ExploreDraw draw,
                                     const ExploreCorpus& corpus);
