#pragma once

#include "exploreoptions.h"
#include "fault/faultrule.h"
#include "fleet/unitfleet.h"
#include "log/trafficlogwriter.h"
#include "scenario/scenario.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Where the control API listens, and the token it asks for (empty: none).
struct ControlOptions {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 0;
    QByteArray token;
    // Whether a scenario put through the API may make proxy units: a proxy sends what reaches it
    // on to the address it names, so by default only the command line and scenario files do.
    bool allowProxies = false;
};

// What the simulator's command line asks for.
struct SimulatorOptions {
    enum class Action { OpenWindow, RunHeadless, Explore, ExploreMerge, ShowHelp, ShowVersion, UsageError };

    Action action = Action::OpenWindow;
    int profile = 0;
    bool profileGiven = false; // --profile was on the command line (it then overrides a scenario's)
    bool quiet = false;
    bool dense = false;         // a fleet listens on shared sockets, whatever its size
    bool segmentOffload = true; // replies of a burst to one controller may leave as one segmented send
    // Run on when a port cannot be bound at start, instead of ending with status 1.
    bool keepGoing = false;
    // End the run when standard input closes (the test that started it is gone).
    bool exitWithStdin = false;
    QList<FaultRule> faults;
    std::optional<quint64> seed; // none given: the run draws one
    std::optional<ControlOptions> control;
    // --control-token-file: read into control->token by SimulatorCommandLine::readFiles().
    QString controlTokenFile;
    QString pcap; // a capture file to write, or none
    // Many units, each on its own address; empty for the single unit on all addresses.
    QList<FleetUnit> fleet;
    TrafficLogWriter::Format logFormat = TrafficLogWriter::Format::Text;
    // Where the traffic log is stored on disk (none: a directory of the run's own, removed at
    // exit), and how much it may take there (0: the default).
    QString logDir;
    qint64 logDiskLimit = 0;
    // A scenario to play, from the file at scenarioPath (read by readFiles()); the other options
    // act on top of it.
    std::optional<Scenario> scenario;
    QString scenarioPath;
    std::optional<double> timeScale; // --time-scale, over the scenario's own
    // What the other options change of the scenario, for people.
    QStringList scenarioNotes;
    // Where to write the verdict on the scenario's expectations (JUnit XML), if anywhere.
    QString reportPath;
    QString reportHtmlPath;
    bool requireExercised = false; // an expectation not exercised fails the run (status 4)
    // What --explore asks for; its scenario is read by readFiles().
    std::optional<ExploreOptions> explore;
    // --explore-merge: the shards' folders, and where the merge goes.
    QStringList mergeDirs;
    QString mergeOut;
    // The help text, the version line, or what is wrong.
    QString text;
    // Arguments the window does not use (those Qt did not take for itself).
    QStringList ignored;
};
