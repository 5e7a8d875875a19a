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
    {.name = "headless", .scope = Headless, .withExplore = true, .help = "Run without a window."},
    {.name = "profile",
     .valueName = "N",
     .defaultValue = "0",
     .scope = Headless,
     .excludes = {"profiles"},
     .help = "Unit profile to simulate, 0 to 8 (default 0)."},
    {.name = "quiet", .scope = Headless, .help = "Do not print traffic-log lines."},
    {.name = "fault",
     .valueName = "RULE",
     .scope = Headless,
     .help =
         "Misbehave on purpose by RULE; may be given several times, the rules act in the order given. See "
         "Fault rules below."},
    {.name = "seed",
     .valueName = "S",
     .scope = Window,
     .withExplore = true,
     .help =
         "Draw every random value (status bytes, fault chances, jitter, corruption) from seed S, to repeat a "
         "run exactly. Without it a seed is drawn and printed on standard error. Also with the window."},
    {.name = "control",
     .valueName = "[ADDRESS:]PORT",
     .scope = Window,
     .help = "Serve the HTTP control API on [ADDRESS:]PORT (address 127.0.0.1 unless given, an IPv6 one in "
             "brackets: [::1]:8080; port 0 picks a free one). Also with the window."},
    {.name = "control-token",
     .valueName = "TOKEN",
     .scope = Window,
     .needs = {"control"},
     .excludes = {"control-token-file"},
     .help = "Require \"Authorization: Bearer TOKEN\" on every control request; needed for any address other "
             "than "
             "loopback. A token given here is visible to every user in the process list: "
             "UNITSIM_CONTROL_TOKEN or "
             "--control-token-file are the safe ways."},
    {.name = "control-token-file",
     .valueName = "FILE",
     .scope = Window,
     .needs = {"control"},
     .help = "Read the control API's token from FILE (its first line). Also with the window."},
    {.name = "no-segment-offload",
     .scope = Window,
     .help =
         "Send each reply in a send of its own. Otherwise the replies a burst from one controller brings "
         "leave together as UDP segments: separate datagrams on the wire, as always, but a capture on this "
         "machine (on lo, or on a card that cuts segments itself) shows them as one large datagram. Also "
         "with the window."},
    {.name = "log-format",
     .valueName = "FORMAT",
     .defaultValue = "text",
     .scope = Headless,
     .help =
         "text (the lines as the window shows them, the default) or jsonl (one JSON object per line, as the "
         "control API gives)."},
    {.name = "units",
     .valueName = "COUNT[@FIRST_ADDRESS]",
     .scope = Headless,
     .excludes = {"scenario"},
     .excludesWhy = kUnitsOwnWhy,
     .help =
         "Simulate COUNT units on consecutive IPv4 addresses from FIRST_ADDRESS (default 127.0.1.1), each on "
         "its own."},
    {.name = "unit",
     .valueName = "ADDRESS[:PROFILE]",
     .scope = Headless,
     .excludes = {"scenario"},
     .excludesWhy = kUnitsOwnWhy,
     .help = "Simulate a unit on ADDRESS (with its own profile); may be given several times."},
    {.name = "proxy",
     .valueName = "ADDRESS[:PROFILE]=REAL",
     .scope = Headless,
     .excludes = {"scenario"},
     .excludesWhy = kUnitsOwnWhy,
     .help =
         "A proxy unit on ADDRESS for the real unit at REAL: every datagram to its unit port and discovery "
         "port "
         "is passed on to the real unit, and the real unit's replies come back from ADDRESS through the "
         "fault "
         "rules, both legs in the log. Its profile is the one the real unit's discovery reply names, unless "
         "given. May be given several times."},
    {.name = "profiles",
     .valueName = "cycle",
     .scope = Headless,
     .needs = {"units", "unit"},
     .excludes = {"scenario"},
     .excludesWhy = kUnitsOwnWhy,
     .help = "cycle: unit k of a fleet poses as profile k mod 9."},
    {.name = "dense",
     .scope = Headless,
     .help = "Run a fleet dense: one socket on all addresses for each unit port and one for discovery, "
             "instead of two sockets a unit; fleets of more than 10000 units are dense anyway. A dense "
             "fleet needs no address added for each unit, only a prefix routed to this machine, but "
             "holds its ports on every address: two dense fleets cannot run on one machine (or network "
             "namespace)."},
    {.name = "pcap",
     .valueName = "FILE",
     .scope = Headless,
     .help =
         "Write every datagram received or sent (after faults) to FILE as a pcap capture, as it happens."},
    {.name = "keep-going",
     .scope = Headless,
     .help = "Run on when a port of the unit (or of any unit of a fleet) cannot be bound at start; without "
             "it the "
             "run ends with status 1 after saying which."},
    {.name = "exit-with-stdin",
     .scope = Headless,
     .help = "End the run, as SIGTERM does, when standard input closes: a test that starts the simulator and "
             "holds "
             "a pipe to it never leaves it running, even when the test is killed."},
    {.name = "log-dir",
     .valueName = "DIR",
     .scope = Window,
     .help =
         "Keep the traffic log of the window or the control API in DIR (made if need be) and leave it there "
         "after the run; \"unitctl log DIR\" reads it. Without it the log is kept in a directory of the "
         "run's "
         "own, removed at exit. Also with the window."},
    {.name = "log-disk-limit",
     .valueName = "SIZE",
     .scope = Window,
     .needs = {"log-dir", "control"},
     .needsIn = HeadlessRun,
     .needsWhy = "without them a headless run keeps no log",
     .help =
         "Let the stored traffic log take SIZE on disk at most (such as 500MiB or 20GiB; default 10GiB, or a "
         "tenth of the free space if less); beyond it the oldest lines are removed, and that is said. Also "
         "with the window."},
    {.name = "scenario",
     .valueName = "FILE",
     .scope = Headless,
     .help = "Play the scenario in FILE (YAML; see unit-simulator(1)): its units, profiles, channel values, "
             "fault "
             "rules, seed and timeline. --seed, --fault, --profile and --time-scale act on top of it. The "
             "run ends "
             "with status 0 at the scenario's end."},
    {.name = "time-scale",
     .valueName = "X",
     .scope = Headless,
     .withExplore = true,
     .needs = {"scenario"},
     .needsIn = HeadlessRun,
     .help = "Play the scenario's timeline X times as fast (0.01 to 1000; 10 plays 60 s in 6 s)."},
    {.name = "report",
     .valueName = "FILE",
     .scope = Headless,
     .needs = {"scenario"},
     .needsIn = HeadlessRun,
     .help = "Write the verdict on the scenario's expectations to FILE as JUnit XML, at its end (or on "
             "SIGINT/SIGTERM); a run where one failed ends with status 4."},
    {.name = "report-html",
     .valueName = "FILE",
     .scope = Headless,
     .needs = {"scenario"},
     .needsIn = HeadlessRun,
     .help =
         "Write a picture of the run to FILE, one HTML page that needs nothing else: a row a unit with "
         "its states, fault windows and the requests it got, the scenario's events and each failure where "
         "it happened with its evidence, at its end (or on SIGINT/SIGTERM)."},
    {.name = "require-exercised",
     .scope = Headless,
     .needs = {"scenario"},
     .needsIn = HeadlessRun,
     .help = "End with status 4 also when an expectation was not exercised: it held only because nothing it "
             "judges "
             "happened (no controller sent anything, no unit came back from a reboot)."},
    {.name = "explore",
     .valueName = "FILE",
     .scope = Explore,
     .withExplore = true,
     .help =
         "Look for the situation that breaks a controller: play the scenario in FILE again and again beside "
         "--controller, each run with additions drawn from its explore block, and judge each run by its "
         "expectations. Failing runs are written to --out. Exit status 0 when no run failed, 4 when one "
         "did."},
    {.name = "controller",
     .valueName = "COMMAND",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: the controller to start for each run, a shell command; its environment has "
             "UNITSIM_CONTROL_URL, UNITSIM_UNITS, UNITSIM_SEED and UNITSIM_TIME_SCALE. It gets SIGTERM at "
             "the run's "
             "end, SIGKILL 5 s later."},
    {.name = "runs",
     .valueName = "N",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: how many runs (default 20)."},
    {.name = "budget",
     .valueName = "DURATION",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: start no run once DURATION (such as 10m) has passed."},
    {.name = "out",
     .valueName = "DIR",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: where failing runs are written, each to failure-K/ (default explore-out)."},
    {.name = "explore-run",
     .valueName = "K",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: play run K alone, as the exploration from the same --seed played it."},
    {.name = "jobs",
     .valueName = "N",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: play N runs at once, each in a network of its own (default: the number of "
             "CPUs). Where no network of its own can be made, runs go one at a time."},
    {.name = "confirm",
     .valueName = "N",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help =
         "With --explore: replay each shrunk failure N times (default 10; 0: not at all) and say how many "
         "failed; one that fails fewer than half is reported as flaky."},
    {.name = "shard",
     .valueName = "K/N",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: play only the runs K, K+N, K+2N, ... of the exploration (K from 0), so that N "
             "machines share one exploration; --explore-merge puts their --out folders together."},
    {.name = "explore-merge",
     .valueName = "DIR",
     .scope = Explore,
     .help = "Merge the --out folders of the shards of one exploration (DIR and the folders named after the "
             "options) into --out: failures renumbered in run order, one exploration.json and report.xml. "
             "Exit status as --explore gives it."},
    {.name = "search",
     .valueName = "HOW",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: guided (the default: half of the runs are small changes of the runs that came "
             "nearest to failing an expectation) or random (each run drawn afresh)."},
    {.name = "no-swarm",
     .scope = Explore,
     .withExplore = true,
     .needs = {"explore"},
     .help = "With --explore: draw every addition from all of the explore block's kinds. By default each run "
             "first draws which kinds it may use at all, so that runs of few kinds come up often."},
    {.name = "allow-api-proxies",
     .scope = Window,
     .needs = {"control"},
     .help =
         "Let a scenario put through the control API make proxy units. A proxy sends what reaches it on to "
         "the "
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
