#pragma once

#include "explorefailure.h"
#include "exploreoptions.h"
#include "scenario/explorecorpus.h"
#include "scenario/shrinksearch.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>

class ExplorePlay;

// Plays a scenario again and again against a controller, each run with additions of its own drawn
// from the scenario's explore block, and judges each run by the scenario's expectations. Each play
// has everything anew: units, log, control API and controller process (see LocalPlay).
//
// Up to `jobs` plays go at once, each in a process and a network of its own (WorkerPlay), so that
// every one has the scenario's addresses and fixed ports to itself; where no network of one's own
// can be made, plays go one at a time in this process, and the exploration says why once.
// Run K is the same run whatever plays beside it: its additions come from the seed and K alone.
//
// A failing run is shrunk: smaller variations of it (fewer additions, fewer units, shorter, less
// likely, earlier; within what the explore block draws) are played, each kShrinkRepeats times, and
// one is kept only when every play fails the same expectation, until nothing smaller fails or
// kShrinkPlays plays are spent. Shrink plays go before new runs, in parallel as the runs do, and
// keep what one playing them in turn would (ShrinkSearch). The smallest is then replayed `confirm`
// times (at once as well) and how many of those failed is told with it; one that fails fewer than
// half is flaky: written and counted, but said to be so. It is written to
// OUT/failure-K/ (explorefailure.h), K counting the failing runs in run order, so that the
// folders are the same however many plays went at once.
class ExploreRunner : public QObject {
    Q_OBJECT

public:
    static constexpr int kShrinkRepeats = 2;
    static constexpr int kShrinkPlays = 60;
    // A guided search draws runs in generations of this many, each from the corpus of the
    // generations before it: so a run is the same whatever played beside it, and that many runs
    // go at once.
    static constexpr int kGeneration = 8;

    explicit ExploreRunner(ExploreOptions options, QObject* parent = nullptr);
    ~ExploreRunner() override;

    // Begins the first plays; finished() comes when the exploration is over.
    void start();
    // Starts nothing new: stops once the plays in flight are over (SIGINT, SIGTERM).
    void stop();

signals:
    // 0: no run failed; 4: at least one did; 1: a run could not be played (a port taken, say).
    void finished(int status);

private:
    enum class Purpose : quint8 { Run, Shrink, Confirm };
    // A play in flight: of a run, of a candidate while the run is shrunk, or a replay of its
    // smallest failure.
    struct InFlight {
        std::unique_ptr<ExplorePlay> play;
        Purpose purpose = Purpose::Run;
        int number = 0;
        ExploreVariation variation;
        Scenario scenario;
        std::optional<ShrinkSearch::Play> shrinkPlay;
    };
    // The shrinking of a failing run: its search, the smallest failure so far, and the failing
    // plays of candidates not yet decided (one of them becomes the smallest when kept).
    struct Shrink {
        ShrinkSearch search;
        ExploreFailure smallest;
        std::map<qsizetype, ExploreFailure> failing; // by candidate, of the current step
    };
    // The replays of a shrunk failure: how many have started, how many are in.
    struct Confirm {
        ExploreFailure failure;
        QString target; // the expectation it was shrunk for
        int started = 0;
        int done = 0;
    };

    bool mayStartRun() const;
    bool guided() const { return m_options.search == ExploreSearch::Guided && !m_options.onlyRun; }
    ExploreVariation drawRun(int number) const;
    // Takes a run's first play into its generation; once a generation is in, into the corpus.
    void takeIntoCorpus(const ExploreFailure& played);
    bool budgetSpent() const;
    // Starts plays while there is room, shrink plays first; finishes when nothing is left.
    void schedule();
    void startPlay(Purpose purpose, int number, const ExploreVariation& variation,
                   std::optional<ShrinkSearch::Play> shrinkPlay = std::nullopt);
    // The first play that may start of a confirmation or a shrink, the oldest run's first.
    bool startReplayOrShrinkPlay();
    void playDone(InFlight* inFlight, const ExploreOutcome& outcome);
    void runDone(ExploreFailure played);
    void shrinkPlayDone(const InFlight& inFlight, ExploreFailure played);
    void confirmPlayDone(int number, const ExploreOutcome& outcome);
    void endShrinksThatAreOver();
    // Replays `failure` (the options' confirm count) before it is recorded.
    void confirm(ExploreFailure failure, const QString& target);
    void endConfirmsThatAreOver();
    // Writes the concluded runs' failures in run order, as far as the runs before are concluded.
    void recordInOrder();
    void finish(int status);
    int lastRun() const;
    // Of the runs this exploration plays (its shard's): how many, and which one run `number` is.
    int runsToPlay() const;
    int runIndex(int number) const { return (number - m_options.shardIndex) / m_options.shardCount; }
    // What an exploration leaves beside its failures: exploration.json (what was played, what
    // failed, for --explore-merge) and report.xml (JUnit, a test case a run).
    void writeRecord(int status);
    // " (2 playing, 1 failure found, 3 m left)", or nothing.
    QString progress() const;

    ExploreOptions m_options;
    bool m_ownNetworks = false;
    int m_jobs = 1;
    std::vector<std::unique_ptr<InFlight>> m_inFlight;
    std::map<int, std::unique_ptr<Shrink>> m_shrinks; // by run, the oldest first
    std::map<int, Confirm> m_confirms;                // by run
    // Concluded runs not yet recorded: a failure, or nothing when the run passed.
    std::map<int, std::optional<ExploreFailure>> m_concluded;
    int m_nextRun = 0;
    ExploreCorpus m_corpus;
    int m_foldedGenerations = 0; // the generations the corpus has taken in
    // The runs in of generations not yet taken in: a passing one with its margins, or nothing.
    std::map<int, std::map<int, std::optional<ExploreFailure>>> m_generations;
    int m_nextRecord = 0;
    QElapsedTimer m_clock;
    QStringList m_failures; // the directories written
    // What the record says: each run's first play (what it failed), and each failure written.
    std::map<int, QStringList> m_played;
    QJsonArray m_failureRecords;
    int m_flaky = 0; // of them
    bool m_stopping = false;
    bool m_finished = false;
};
