#pragma once

#include "scenario/explorecorpus.h"
#include "scenario/scenario.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// What one play of an exploration is given: the scenario as it plays (the run's additions in its
// timeline, the run's seed) and the controller to judge beside it.
struct ExploreJob {
    int number = 0;   // the run's, for what is said of the play
    quint64 seed = 0; // the run's: the controller's UNITSIM_SEED
    Scenario scenario;
    QString controller; // a shell command

    // As the worker process reads it (CBOR, the scenario as YAML in it).
    QByteArray toCbor() const;
    static std::optional<ExploreJob> fromCbor(const QByteArray& bytes, QString* error);
};

// What a play left: its verdict, and for a failing one what is written of it.
struct ExploreOutcome {
    QString problem;       // set when the play could not be played (a port taken, say)
    QStringList addresses; // the units', as the controller was given them
    qint64 elapsedMs = 0;
    QStringList failed; // the expectations that failed
    // How near each expectation with a limit came to failing, and on which unit.
    ExploreMargins margins;
    // Only of a failing play:
    QStringList report;
    QByteArray junit;
    QByteArray capture;
    QByteArray html;   // the picture of the play, a page of its own
    QByteArray output; // the end of what the controller printed

    QByteArray toCbor() const;
    static std::optional<ExploreOutcome> fromCbor(const QByteArray& bytes, QString* error);
};

// What a controller is told of its run: the control API, the units, the run's seed and time scale.
QList<std::pair<QString, QString>> controllerEnvironment(const QString& controlUrl,
                                                         const QStringList& addresses, quint64 seed,
                                                         double timeScale);

// One play of a run: units, log, control API and controller process, all made anew for it.
// done() comes once, when the play is over (or could not start); deleting a play ends whatever
// of it still runs.
class ExplorePlay : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    virtual void start(const ExploreJob& job) = 0;

signals:
    void done(const ExploreOutcome& outcome);
};

// A play in this process, on its network.
//
// The controller is started with `sh -c COMMAND` once the units listen, with the environment
// controllerEnvironment() gives; at the scenario's end its process group (the shell and all it
// started) gets SIGTERM, and SIGKILL if any of it is still there kStopGraceMs later. The play is
// over when the whole group has gone (or ended and waits only to be reaped), not the shell alone.
class LocalPlay : public ExplorePlay {
    Q_OBJECT

public:
    static constexpr int kStopGraceMs = 5000;
    // After the SIGKILL, how long the group is still waited for; and how often it is looked at.
    static constexpr int kGroupAfterKillMs = 1000;
    static constexpr int kGroupPollMs = 20;

    explicit LocalPlay(QObject* parent = nullptr);
    ~LocalPlay() override;

    void start(const ExploreJob& job) override;
    // The controller's process group once started, else 0.
    qint64 controllerGroup() const;

private:
    struct Parts;
    void fail(const QString& problem);
    void scenarioEnded();
    void controllerEnded();
    // What the shell started may still be writing what SIGTERM asked of it after the shell has
    // gone: the play is over once nothing of the group is left.
    void concludeWhenTheGroupIsGone();
    void conclude();

    std::unique_ptr<Parts> m_parts;
    bool m_over = false;
};
