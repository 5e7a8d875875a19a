#pragma once

#include "explorevariation.h"

#include <QList>
#include <QMap>
#include <QString>

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
        QMap<QString, double> margins;
    };

    // Offers a passing run with its margins by expectation; true when it was kept.
    bool offer(int run, const ExploreVariation& variation, const QMap<QString, double>& margins);
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
// another addition on the same units, or the same addition on other units; one or two of them,
// within what the explore block draws. Half of the runs go each way once the corpus holds any.
// The same seed, run and corpus give the same variation. A changed one says how in its `origin`.
ExploreVariation drawGuidedVariation(const Scenario& scenario, quint64 seed, int run, ExploreDraw draw,
                                     const ExploreCorpus& corpus);
