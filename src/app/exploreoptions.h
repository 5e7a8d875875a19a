#pragma once

#include "scenario/explorevariation.h"

#include <QString>

#include <optional>

// How runs are drawn: guided by how near earlier runs came to failing, or each afresh.
enum class ExploreSearch : quint8 { Guided, Random };

// What --explore asks for.
struct ExploreOptions {
    Scenario scenario; // with an explore block and expectations
    QString scenarioPath;
    QString controller; // a shell command
    int runs = 20;
    std::optional<qint64> budgetMs; // none: until the runs are done
    QString outDir = QStringLiteral("explore-out");
    quint64 seed = 0;
    std::optional<int> onlyRun; // --explore-run K: that run alone
    int jobs = 1;               // plays at once, each in a network of its own
    ExploreDraw draw = ExploreDraw::Swarm;
    int confirm = 10; // replays of each shrunk failure
    ExploreSearch search = ExploreSearch::Guided;
    // --shard K/N: only the runs K, K+N, K+2N, ... of the exploration.
    int shardIndex = 0;
    int shardCount = 1;
};
