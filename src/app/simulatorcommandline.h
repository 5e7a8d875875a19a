#pragma once

#include "explorer.h"
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
    enum class Action { OpenWindow, RunHeadless, Explore, ShowHelp, ShowVersion, UsageError };

    Action action = Action::OpenWindow;
    int profile = 0;
    bool quiet = false;
    // Run on when a port cannot be bound at start, instead of ending with status 1.
    bool keepGoing = false;
    // End the run when standard input closes (the test that started it is gone).
    bool exitWithStdin = false;
    QList<FaultRule> faults;
    std::optional<quint64> seed; // none given: the run draws one
    std::optional<ControlOptions> control;
    QString pcap; // a capture file to write, or none
    // Many units, each on its own address; empty for the single unit on all addresses.
    QList<FleetUnit> fleet;
    TrafficLogWriter::Format logFormat = TrafficLogWriter::Format::Text;
    // Where the traffic log is stored on disk (none: a directory of the run's own, removed at
    // exit), and how much it may take there (0: the default).
    QString logDir;
    qint64 logDiskLimit = 0;
    // A scenario to play, from the file at scenarioPath; the other options act on top of it.
    std::optional<Scenario> scenario;
    QString scenarioPath;
    // What the other options change of the scenario, for people.
    QStringList scenarioNotes;
    // Where to write the verdict on the scenario's expectations (JUnit XML), if anywhere.
    QString reportPath;
    bool requireExercised = false; // an expectation not exercised fails the run (status 4)
    // What --explore asks for.
    std::optional<ExploreOptions> explore;
    // The help text, the version line, or what is wrong.
    QString text;
    // Arguments the window does not use (those Qt did not take for itself).
    QStringList ignored;
};

// The simulator's command line. Without the simulator's own options the program is the window,
// which takes --control, --control-token and --seed and leaves everything else to Qt (-platform,
// -style, -geometry, ...). With one of them (--headless, --help, --version, or a headless
// option such as --fault) it runs without a window and the command line is checked strictly.
class SimulatorCommandLine {
public:
    // Decides before the application object exists, so that a run without a window never
    // needs a display.
    static bool wantsConsole(const QStringList& arguments);
    static bool wantsConsole(int argc, char** argv);

    // `arguments` as QCoreApplication::arguments() gives them, program name first;
    // `environmentToken` is UNITSIM_CONTROL_TOKEN, used when --control-token is not given.
    static SimulatorOptions parse(const QStringList& arguments, const QByteArray& environmentToken = {});
};

// A seed as the user writes it: a whole number from 0 to 2^64 - 1.
std::optional<quint64> parseSeed(const QString& text);
// Prints what the options ask for instead of a run (help, version or a usage error) and returns
// the exit status: 0, or 2 for a usage error.
int reportWithoutRunning(const SimulatorOptions& options);
// Says on standard error which arguments the window leaves unused.
void warnAboutIgnoredArguments(const SimulatorOptions& options);
