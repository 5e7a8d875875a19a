#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What an exploration leaves in its output folder beside its failure-K/ folders:
// exploration.json (the scenario, seed, runs and shard; each run played and what its first play
// failed; each failure written, with its folder, and the exit status) and report.xml, the same as
// JUnit with a test case a run. False, with why, when they cannot be written.
bool writeExplorationRecord(const QString& outDir, const QJsonObject& record, const QString& scenarioName,
                            QString* error);

// --explore-merge: the output folders of the shards of one exploration (the same scenario, seed,
// runs and search) into `outDir`: their failure-K/ folders renumbered in run order, one record and
// one JUnit report. Says on standard error what it merged, and returns the exit status --explore
// would: 4 when a run failed, 1 when a folder cannot be read, does not belong, or a shard is
// missing (and nothing failed), else 0.
int mergeExplorations(const QStringList& dirs, const QString& outDir);
