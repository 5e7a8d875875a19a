#pragma once

#include "scenario/explorevariation.h"
#include "scenario/scenario.h"
#include "scenario/shrinksearch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

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
};

// Plays a scenario again and again against a controller, each run with additions of its own drawn
// from the scenario's explore block, and judges each run by the scenario's expectations. Each run
// has everything anew: units, log, control API and controller process.
//
// A failing run is shrunk before the exploration goes on: smaller variations of it (fewer
// additions, fewer units, shorter, less likely, earlier; within what the explore block draws) are played,
// each kShrinkRepeats times, and one is kept only when every play fails the same expectation, until nothing
// smaller fails or kShrinkPlays plays are spent. The smallest is written to OUT/failure-K/ (its scenario, the
// capture of its last failing play, the JUnit report, the controller's output and a README saying
// how to repeat it).
//
// The controller is started with `sh -c COMMAND` once the run's units listen, with
// UNITSIM_CONTROL_URL, UNITSIM_UNITS (the units' addresses, comma-separated), UNITSIM_SEED (the
// run's seed) and UNITSIM_TIME_SCALE in its environment; at the scenario's end its process group
// (the shell and all it started) gets SIGTERM, and SIGKILL if any of it is still there
// kStopGraceMs later. The run is concluded when the whole group has gone (or ended and waits only
// to be reaped), not the shell alone.
class ExploreRunner : public QObject {
    Q_OBJECT

public:
    static constexpr int kStopGraceMs = 5000;
    // After the SIGKILL, how long the group is still waited for; and how often it is looked at.
    static constexpr int kGroupAfterKillMs = 1000;
    static constexpr int kGroupPollMs = 20;
    static constexpr int kShrinkRepeats = 2;
    static constexpr int kShrinkPlays = 60;

    explicit ExploreRunner(ExploreOptions options, QObject* parent = nullptr);
    ~ExploreRunner() override;

    // Begins the first run; finished() comes when the exploration is over.
    void start();
    // Stops after the run in progress (SIGINT, SIGTERM).
    void stop();

signals:
    // 0: no run failed; 4: at least one did; 1: a run could not be played (a port taken, say).
    void finished(int status);

private:
    struct Run;
    // What a play left: its verdict, and for a failing one what is written of it.
    struct Outcome {
        int number = 0;
        ExploreVariation variation;
        Scenario scenario;
        QStringList addresses; // the units', as the controller was given them
        qint64 elapsedMs = 0;
        QStringList failed; // the expectations that failed
        QStringList report;
        QByteArray junit;
        QByteArray capture;
        QByteArray output;
    };
    // A failing run being made smaller.
    // The shrinking of a failing run in progress, and the play of its smallest variation so far.
    struct Shrink {
        ShrinkSearch search;
        Outcome smallest;
    };
    void startRun(int run);
    void play(int number, const ExploreVariation& variation);
    void scenarioEnded();
    void controllerEnded();
    // Concludes the run once nothing of the controller's process group is left: what the shell
    // started may still be writing what SIGTERM asked of it after the shell has gone.
    void concludeWhenTheGroupIsGone();
    void concludeRun();
    void tryCandidate();
    void shrinkStep(const Outcome& outcome);
    void record(const Outcome& outcome, const QString& shrinkSummary);
    void next(int number);
    bool writeFailure(const QString& directory, const Outcome& outcome, const QString& shrinkSummary,
                      QString* error);
    void finish(int status);
    int lastRun() const;
    // " (2 failures found, 3 m left)", or nothing.
    QString progress() const;

    ExploreOptions m_options;
    std::unique_ptr<Run> m_run;
    std::unique_ptr<Shrink> m_shrink;
    QElapsedTimer m_clock;
    int m_runsDone = 0;
    QStringList m_failures; // the directories written
    bool m_stopping = false;
};
