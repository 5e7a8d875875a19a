#pragma once

#include "simulatoroptions.h"

#include <QByteArray>
#include <QStringList>

// The simulator's command line. Without the simulator's own options the program is the window,
// which takes --control, --control-token and --seed and leaves everything else to Qt (-platform,
// -style, -geometry, ...). With one of them (--headless, --help, --version, or a headless
// option such as --fault) it runs without a window and the command line is checked strictly.
// The options themselves, what each needs and what each excludes, are in SimulatorOptionTable.
class SimulatorCommandLine {
public:
    // Decides before the application object exists, so that a run without a window never
    // needs a display.
    static bool wantsConsole(const QStringList& arguments);
    static bool wantsConsole(int argc, char** argv);

    // `arguments` as QCoreApplication::arguments() gives them, program name first;
    // `environmentToken` is UNITSIM_CONTROL_TOKEN, used when --control-token is not given.
    // Reads no file: readFiles() does that next.
    static SimulatorOptions parse(const QStringList& arguments, const QByteArray& environmentToken = {});
    // Reads what the options name (the scenario, the token file) into them and applies the command
    // line on top of the scenario; false when one cannot be read or does not fit, `options` then
    // being a usage error.
    static bool readFiles(SimulatorOptions& options);
};

// Prints what the options ask for instead of a run (help, version or a usage error) and returns
// the exit status: 0, or 2 for a usage error.
int reportWithoutRunning(const SimulatorOptions& options);
// Says on standard error which arguments the window leaves unused.
void warnAboutIgnoredArguments(const SimulatorOptions& options);
