#pragma once

#include <QString>
#include <QStringList>

#include <array>

class QCommandLineParser;

// The simulator's options in one table: what each takes, where it may stand and what it needs or
// excludes. The parser, the help text, the choice between window and console, and the checks of
// which options go together are all read from it, so a new option is one row.
namespace SimulatorOptionTable {

// Where an option may stand. The window's options work with and without the window; the others
// mean a run without one (and are refused unless --headless or --explore is given).
enum class Scope {
    Window,   // also the window's: --control, --seed, --log-dir, ...
    Headless, // a headless run's
    Explore,  // --explore's own
};

// Which runs a row's `needs` holds in.
enum Runs { WindowRun = 1, HeadlessRun = 2, AnyRun = WindowRun | HeadlessRun };

struct Option {
    const char* name;
    const char* valueName = nullptr; // nullptr: a switch
    const char* defaultValue = nullptr;
    Scope scope = Scope::Headless;
    bool withExplore = false; // may stand beside --explore (which takes little else)
    // Options one of which must be given too, and the runs that holds in.
    std::array<const char*, 2> needs{};
    int needsIn = AnyRun;
    const char* needsWhy = nullptr; // said after the refusal, for why
    // Options that may not be given with this one.
    std::array<const char*, 2> excludes{};
    const char* excludesWhy = nullptr;
    const char* help = "";
};

const Option* find(const QString& name);

// Whether `name` (without dashes) asks for a run without the window.
bool meansConsole(const QString& name);
// Every row into `parser`, in the table's order.
void addTo(QCommandLineParser& parser);

enum class Mode { Window, Headless, Explore };
// What is wrong with giving `given` (option names without dashes) together in `mode`, or
// nothing: "--runs goes with --explore", "--profile and --profiles exclude each other", ...
QString combinationProblem(const QStringList& given, Mode mode);

} // namespace SimulatorOptionTable
