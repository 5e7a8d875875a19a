#pragma once

#include "scenario/scenario.h"

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
// has everything anew: units, log, control API and controller process. A failing run is written
// to OUT/failure-K/ (its scenario, capture, report and a README saying how to repeat it).
//
// The controller is started with `sh -c COMMAND` once the run's units listen, with
// UNITSIM_CONTROL_URL, UNITSIM_UNITS (the units' addresses, comma-separated), UNITSIM_SEED (the
// run's seed) and UNITSIM_TIME_SCALE in its environment; at the scenario's end it gets SIGTERM,
// and SIGKILL if it is still there kStopGraceMs later.
class Explorer : public QObject {
    Q_OBJECT

public:
    static constexpr int kStopGraceMs = 5000;

    explicit Explorer(ExploreOptions options, QObject* parent = nullptr);
    ~Explorer() override;

    // Begins the first run; finished() comes when the exploration is over.
    void start();
    // Stops after the run in progress (SIGINT, SIGTERM).
    void stop();

signals:
    // 0: no run failed; 4: at least one did; 1: a run could not be played (a port taken, say).
    void finished(int status);

private:
    struct Run;
    void startRun(int run);
    void scenarioEnded();
    void controllerEnded();
    void concludeRun();
    bool writeFailure(const QString& directory, QString* error);
    void finish(int status);
    int lastRun() const;

    ExploreOptions m_options;
    std::unique_ptr<Run> m_run;
    QElapsedTimer m_clock;
    int m_runsDone = 0;
    QStringList m_failures; // the directories written
    bool m_stopping = false;
};
