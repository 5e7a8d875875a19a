#include "simulatoroptiontable.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>

namespace SimulatorOptionTable {
namespace {
using enum Scope;

constexpr const char* kUnitsOwnWhy = "the scenario names its units";

// In the order --help shows them.
constexpr Option kOptions[] = {
    {"headless", nullptr, nullptr, Headless, true, {}, 0, nullptr, {}, nullptr, "Run without a window."},
    {"profile",
     "N",
     "0",
     Headless,
     false,
     {},
     0,
     nullptr,
     {"profiles"},
     nullptr,
     "Unit profile to simulate, 0 to 8 (default 0)."},
    {"quiet",
     nullptr,
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Do not print traffic-log lines."},
    {"fault",
     "RULE",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Misbehave on purpose by RULE; may be given several times, the rules act in the order given. See "
     "Fault rules below."},
    {"seed",
     "S",
     nullptr,
     Window,
     true,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Draw every random value (status bytes, fault chances, jitter, corruption) from seed S, to repeat a "
     "run exactly. Without it a seed is drawn and printed on standard error. Also with the window."},
    {"control",
     "[ADDRESS:]PORT",
     nullptr,
     Window,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Serve the HTTP control API on [ADDRESS:]PORT (address 127.0.0.1 unless given, an IPv6 one in "
     "brackets: [::1]:8080; port 0 picks a free one). Also with the window."},
    {"control-token",
     "TOKEN",
     nullptr,
     Window,
     false,
     {"control"},
     AnyRun,
     nullptr,
     {"control-token-file"},
     nullptr,
     "Require \"Authorization: Bearer TOKEN\" on every control request; needed for any address other than "
     "loopback. A token given here is visible to every user in the process list: UNITSIM_CONTROL_TOKEN or "
     "--control-token-file are the safe ways."},
    {"control-token-file",
     "FILE",
     nullptr,
     Window,
     false,
     {"control"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "Read the control API's token from FILE (its first line). Also with the window."},
    {"log-format",
     "FORMAT",
     "text",
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "text (the lines as the window shows them, the default) or jsonl (one JSON object per line, as the "
     "control API gives)."},
    {"units",
     "COUNT[@FIRST_ADDRESS]",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {"scenario"},
     kUnitsOwnWhy,
     "Simulate COUNT units on consecutive IPv4 addresses from FIRST_ADDRESS (default 127.0.1.1), each on "
     "its own."},
    {"unit",
     "ADDRESS[:PROFILE]",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {"scenario"},
     kUnitsOwnWhy,
     "Simulate a unit on ADDRESS (with its own profile); may be given several times."},
    {"proxy",
     "ADDRESS[:PROFILE]=REAL",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {"scenario"},
     kUnitsOwnWhy,
     "A proxy unit on ADDRESS for the real unit at REAL: every datagram to its unit port and discovery port "
     "is passed on to the real unit, and the real unit's replies come back from ADDRESS through the fault "
     "rules, both legs in the log. Its profile is the one the real unit's discovery reply names, unless "
     "given. May be given several times."},
    {"profiles",
     "cycle",
     nullptr,
     Headless,
     false,
     {"units", "unit"},
     AnyRun,
     nullptr,
     {"scenario"},
     kUnitsOwnWhy,
     "cycle: unit k of a fleet poses as profile k mod 9."},
    {"pcap",
     "FILE",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Write every datagram received or sent (after faults) to FILE as a pcap capture, as it happens."},
    {"keep-going",
     nullptr,
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Run on when a port of the unit (or of any unit of a fleet) cannot be bound at start; without it the "
     "run ends with status 1 after saying which."},
    {"exit-with-stdin",
     nullptr,
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "End the run, as SIGTERM does, when standard input closes: a test that starts the simulator and holds "
     "a pipe to it never leaves it running, even when the test is killed."},
    {"log-dir",
     "DIR",
     nullptr,
     Window,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Keep the traffic log of the window or the control API in DIR (made if need be) and leave it there "
     "after the run; \"unitctl log DIR\" reads it. Without it the log is kept in a directory of the run's "
     "own, removed at exit. Also with the window."},
    {"log-disk-limit",
     "SIZE",
     nullptr,
     Window,
     false,
     {"log-dir", "control"},
     HeadlessRun,
     "without them a headless run keeps no log",
     {},
     nullptr,
     "Let the stored traffic log take SIZE on disk at most (such as 500MiB or 20GiB; default 10GiB, or a "
     "tenth of the free space if less); beyond it the oldest lines are removed, and that is said. Also "
     "with the window."},
    {"scenario",
     "FILE",
     nullptr,
     Headless,
     false,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Play the scenario in FILE (YAML; see unit-simulator(1)): its units, profiles, channel values, fault "
     "rules, seed and timeline. --seed, --fault, --profile and --time-scale act on top of it. The run ends "
     "with status 0 at the scenario's end."},
    {"time-scale",
     "X",
     nullptr,
     Headless,
     true,
     {"scenario"},
     HeadlessRun,
     nullptr,
     {},
     nullptr,
     "Play the scenario's timeline X times as fast (0.01 to 1000; 10 plays 60 s in 6 s)."},
    {"report",
     "FILE",
     nullptr,
     Headless,
     false,
     {"scenario"},
     HeadlessRun,
     nullptr,
     {},
     nullptr,
     "Write the verdict on the scenario's expectations to FILE as JUnit XML, at its end (or on "
     "SIGINT/SIGTERM); a run where one failed ends with status 4."},
    {"require-exercised",
     nullptr,
     nullptr,
     Headless,
     false,
     {"scenario"},
     HeadlessRun,
     nullptr,
     {},
     nullptr,
     "End with status 4 also when an expectation was not exercised: it held only because nothing it judges "
     "happened (no controller sent anything, no unit came back from a reboot)."},
    {"explore",
     "FILE",
     nullptr,
     Explore,
     true,
     {},
     0,
     nullptr,
     {},
     nullptr,
     "Look for the situation that breaks a controller: play the scenario in FILE again and again beside "
     "--controller, each run with additions drawn from its explore block, and judge each run by its "
     "expectations. Failing runs are written to --out. Exit status 0 when no run failed, 4 when one did."},
    {"controller",
     "COMMAND",
     nullptr,
     Explore,
     true,
     {"explore"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "With --explore: the controller to start for each run, a shell command; its environment has "
     "UNITSIM_CONTROL_URL, UNITSIM_UNITS, UNITSIM_SEED and UNITSIM_TIME_SCALE. It gets SIGTERM at the run's "
     "end, SIGKILL 5 s later."},
    {"runs",
     "N",
     nullptr,
     Explore,
     true,
     {"explore"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "With --explore: how many runs (default 20)."},
    {"budget",
     "DURATION",
     nullptr,
     Explore,
     true,
     {"explore"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "With --explore: start no run once DURATION (such as 10m) has passed."},
    {"out",
     "DIR",
     nullptr,
     Explore,
     true,
     {"explore"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "With --explore: where failing runs are written, each to failure-K/ (default explore-out)."},
    {"explore-run",
     "K",
     nullptr,
     Explore,
     true,
     {"explore"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "With --explore: play run K alone, as the exploration from the same --seed played it."},
    {"allow-api-proxies",
     nullptr,
     nullptr,
     Window,
     false,
     {"control"},
     AnyRun,
     nullptr,
     {},
     nullptr,
     "Let a scenario put through the control API make proxy units. A proxy sends what reaches it on to the "
     "address it names: without this only the command line and scenario files make them. Also with the "
     "window."},
};

// What QCommandLineParser's own help and version options are called.
constexpr const char* kParserOwn[] = {"h", "help", "help-all", "v", "version"};

QString dashed(const char* name)
{
    return QStringLiteral("--") + QLatin1String(name);
}

bool given(const QStringList& names, const char* name)
{
    return names.contains(QLatin1String(name));
}

QString withWhy(const QString& text, const char* why)
{
    return why ? text + QStringLiteral(": ") + QLatin1String(why) : text;
}

QString needsProblem(const Option& option, const QStringList& names, int run)
{
    if (!option.needs[0] || !(option.needsIn & run))
        return {};
    if (std::any_of(option.needs.begin(), option.needs.end(),
                    [&](const char* other) { return other && given(names, other); }))
        return {};
    QString text = dashed(option.name) + QStringLiteral(" goes with ") + dashed(option.needs[0]);
    if (option.needs[1])
        text += QStringLiteral(" or ") + dashed(option.needs[1]);
    return withWhy(text, option.needsWhy);
}

QString excludesProblem(const Option& option, const QStringList& names)
{
    for (const char* other : option.excludes) {
        if (other && given(names, other))
            return withWhy(dashed(option.name) + QStringLiteral(" and ") + dashed(other) +
                               QStringLiteral(" exclude each other"),
                           option.excludesWhy);
    }
    return {};
}
} // namespace

std::span<const Option> options()
{
    return kOptions;
}

const Option* find(const QString& name)
{
    for (const Option& option : kOptions) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

bool meansConsole(const QString& name)
{
    if (std::any_of(std::begin(kParserOwn), std::end(kParserOwn),
                    [&](const char* own) { return name == QLatin1String(own); }))
        return true;
    const Option* option = find(name);
    return option && option->scope != Scope::Window;
}

void addTo(QCommandLineParser& parser)
{
    for (const Option& option : kOptions) {
        parser.addOption(
            QCommandLineOption(QLatin1String(option.name), QLatin1String(option.help),
                               option.valueName ? QLatin1String(option.valueName) : QString(),
                               option.defaultValue ? QLatin1String(option.defaultValue) : QString()));
    }
}

QString combinationProblem(const QStringList& given, Mode mode)
{
    const auto rows = [&] {
        QList<const Option*> list;
        for (const QString& name : given) {
            if (const Option* option = find(name); option && !list.contains(option))
                list << option;
        }
        return list;
    }();
    if (mode == Mode::Explore) {
        // Each run is a headless run of its own: of the other options only a few act on the
        // exploration.
        for (const Option* option : rows) {
            if (!option->withExplore)
                return dashed(option->name) + QStringLiteral(" does not go with --explore");
        }
        return {};
    }
    if (mode == Mode::Headless) {
        for (const Option* option : rows) {
            if (option->scope == Scope::Explore)
                return needsProblem(*option, given, AnyRun);
        }
        if (!given.contains(QLatin1String("headless"))) {
            for (const Option* option : rows) {
                if (option->scope == Scope::Headless)
                    return dashed(option->name) + QStringLiteral(" needs --headless");
            }
        }
    }
    const int run = mode == Mode::Window ? WindowRun : HeadlessRun;
    for (const Option* option : rows) {
        if (QString problem = needsProblem(*option, given, run); !problem.isEmpty())
            return problem;
        if (QString problem = excludesProblem(*option, given); !problem.isEmpty())
            return problem;
    }
    return {};
}

} // namespace SimulatorOptionTable
