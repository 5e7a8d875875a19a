#pragma once

#include "exploreoptions.h"
#include "exploreplay.h"
#include "scenario/explorevariation.h"

// A failing run as it is written out: the variation (as shrunk), the scenario it played and what
// its last failing play left.
struct ExploreFailure {
    int number = 0; // the run's
    ExploreVariation variation;
    Scenario scenario;
    ExploreOutcome outcome;
    QString shrinkSummary; // "shrunk in 3 steps and 12 plays (...)", or nothing: as played
    // How its replays went, once confirmed: how many were played, and how many failed the
    // expectation it was shrunk for.
    int replays = 0;
    int replaysFailed = 0;

    // Failed in fewer than half of its replays: kept and reported, but not to be trusted.
    bool flaky() const { return replays > 0 && replaysFailed * 2 < replays; }
    // "failed 9 of 10 replays", or nothing when it was not replayed.
    QString replaysText() const;
};

// Writes `bytes` to `path` whole or not at all; false, with why, when it cannot.
bool writeWholeFile(const QString& path, const QByteArray& bytes, QString* error);

// Writes `failure` to `directory` (made when missing): scenario.yaml, capture.pcap, report.xml,
// controller.log and a README.txt saying what failed and how to repeat it. False, with why, when
// a file cannot be written.
bool writeExploreFailure(const QString& directory, const ExploreOptions& options,
                         const ExploreFailure& failure, QString* error);
