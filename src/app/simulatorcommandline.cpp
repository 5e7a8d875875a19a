#include "simulatorcommandline.h"

#include "appversion.h"
#include "consoleoutput.h"
#include "fault/duration.h"
#include "fleet/unitaddress.h"
#include "log/logstore.h"
#include "scenario/scenariofile.h"
#include "unit/unitprofiles.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSet>

#include <cmath>
#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {
// The simulator's own options; any of them on the command line means a run without a window.
// --control, --control-token and --seed are the window's too, so they do not count.
const char* const kConsoleOptions[] = {
    "headless",
    "profile",
    "quiet",
    "fault",
    "log-format",
    "units",
    "unit",
    "profiles",
    "pcap",
    "keep-going",
    "h",
    "help",
    "help-all",
    "v",
    "version",
    "scenario",
    "time-scale",
    "report",
    "explore",
    "controller",
    "runs",
    "budget",
    "out",
    "explore-run",
    "exit-with-stdin",
    "require-exercised",
};

QString optionName(const QString& argument)
{
    if (!argument.startsWith(QLatin1Char('-')))
        return {};
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    return name.left(name.indexOf(QLatin1Char('=')));
}

QString profileList()
{
    QString list;
    for (int index = 0; index < kProfileCount; ++index) {
        const std::string_view label = kUnitProfiles[std::size_t(index)].label;
        list +=
            QStringLiteral("  %1  %2\n").arg(index).arg(QLatin1String(label.data(), qsizetype(label.size())));
    }
    return list;
}

// "--name value" or "--name=value" at `i`; advances `i` past what it took.
std::optional<QString> optionValue(const QStringList& arguments, qsizetype& i)
{
    const QString& argument = arguments[i];
    const qsizetype equals = argument.indexOf(QLatin1Char('='));
    if (equals >= 0)
        return argument.mid(equals + 1);
    if (i + 1 >= arguments.size())
        return std::nullopt;
    return arguments[++i];
}

// --control [ADDRESS:]PORT with its token (an IPv6 address in brackets: [::1]:8080); an error
// text when something is wrong.
QString parseControl(const QString& value, const QByteArray& token, ControlOptions& control)
{
    QString port = value;
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        port = value.mid(colon + 1);
        const QString address = value.left(colon);
        const bool bracketed = address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'));
        const QString bare = bracketed ? address.mid(1, address.size() - 2) : address;
        const bool parsed = control.address.setAddress(
            bare == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : bare);
        const bool v6 = control.address.protocol() == QAbstractSocket::IPv6Protocol;
        if (!parsed || v6 != bracketed ||
            (!v6 && control.address.protocol() != QAbstractSocket::IPv4Protocol))
            return QStringLiteral("--control: '%1' is not an IPv4 address or an IPv6 address in brackets")
                .arg(address);
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535)
        return QStringLiteral("--control: '%1' is not a port from 0 to 65535").arg(port);
    control.port = quint16(number);
    control.token = token;
    if (!control.address.isLoopback() && token.isEmpty())
        return QStringLiteral("--control on %1 needs a token (UNITSIM_CONTROL_TOKEN, --control-token-file "
                              "FILE or --control-token TOKEN): without "
                              "one, anybody on the network could steer the unit")
            .arg(control.address.toString());
    return {};
}

constexpr quint32 kDefaultFirstFleetAddress = (127u << 24) | (0u << 16) | (1u << 8) | 1u; // 127.0.1.1

// --units COUNT[@FIRST_ADDRESS], --unit ADDRESS[:PROFILE] and --proxy ADDRESS[:PROFILE]=REAL into
// the fleet's units, in order; an error text when something is wrong. Everything is checked
// before any unit is made.
QString parseFleet(const QStringList& counts, const QStringList& units, const QStringList& proxies,
                   int profile, bool cycle, QList<FleetUnit>& fleet)
{
    struct Range {
        quint32 first;
        qsizetype count;
    };
    QList<Range> ranges;
    qsizetype total = 0;
    for (const QString& text : counts) {
        const QString count = text.section(QLatin1Char('@'), 0, 0);
        bool ok = false;
        const qsizetype n = count.toLongLong(&ok);
        if (!ok || n < 1 || n > kMaxFleetUnits)
            return QStringLiteral("--units: '%1' is not a count from 1 to %2").arg(count).arg(kMaxFleetUnits);
        quint32 first = kDefaultFirstFleetAddress;
        if (text.contains(QLatin1Char('@'))) {
            const std::optional<QHostAddress> address = parseUnitAddress(text.section(QLatin1Char('@'), 1));
            if (!address)
                return QStringLiteral("--units: '%1' is not an IPv4 address")
                    .arg(text.section(QLatin1Char('@'), 1));
            first = address->toIPv4Address();
        }
        if (quint64(first) + quint64(n) - 1 > 0xffffffffull)
            return QStringLiteral("--units: %1 addresses from %2 run past 255.255.255.255")
                .arg(n)
                .arg(QHostAddress(first).toString());
        if (const QString problem = unitAddressProblem(first, quint32(first + quint32(n) - 1));
            !problem.isEmpty())
            return QStringLiteral("--units %1: %2").arg(text, problem);
        ranges.append({first, n});
        total += n;
    }
    QList<FleetUnit> single;
    for (const QString& text : units) {
        const std::optional<QHostAddress> address = parseUnitAddress(text.section(QLatin1Char(':'), 0, 0));
        if (!address)
            return QStringLiteral("--unit: '%1' is not an IPv4 address")
                .arg(text.section(QLatin1Char(':'), 0, 0));
        if (const QString problem = unitAddressProblem(address->toIPv4Address(), address->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--unit %1: %2").arg(text, problem);
        int unitProfile = profile;
        if (text.contains(QLatin1Char(':'))) {
            bool ok = false;
            unitProfile = text.section(QLatin1Char(':'), 1).toInt(&ok);
            if (!ok || !isValidProfileIndex(unitProfile))
                return QStringLiteral("--unit %1: the profile must be a whole number from 0 to 8").arg(text);
        }
        single.append({*address, unitProfile});
    }
    for (const QString& text : proxies) {
        const QString local = text.section(QLatin1Char('='), 0, 0);
        const QString realText = text.section(QLatin1Char('='), 1);
        const std::optional<QHostAddress> address = parseUnitAddress(local.section(QLatin1Char(':'), 0, 0));
        if (!text.contains(QLatin1Char('=')) || !address)
            return QStringLiteral("--proxy: '%1' is not LOCAL_ADDRESS[:PROFILE]=REAL_ADDRESS").arg(text);
        if (const QString problem = unitAddressProblem(address->toIPv4Address(), address->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--proxy %1: %2").arg(text, problem);
        const std::optional<QHostAddress> real = parseUnitAddress(realText);
        if (!real)
            return QStringLiteral(
                       "--proxy %1: the real unit's address '%2' is not an IPv4 address of one unit")
                .arg(text, realText);
        // Passed on to many, each reply would come back to every controller: never a broadcast.
        if (const QString problem = unitAddressProblem(real->toIPv4Address(), real->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--proxy %1: the real unit's address: %2").arg(text, problem);
        if (*real == *address)
            return QStringLiteral("--proxy %1: a unit cannot pass requests on to itself").arg(text);
        FleetUnit proxy{*address, profile, *real, false};
        if (local.contains(QLatin1Char(':'))) {
            bool ok = false;
            proxy.profile = local.section(QLatin1Char(':'), 1).toInt(&ok);
            if (!ok || !isValidProfileIndex(proxy.profile))
                return QStringLiteral("--proxy %1: the profile must be a whole number from 0 to 8").arg(text);
            proxy.profileGiven = true;
        }
        single.append(proxy);
    }
    if (total + single.size() > kMaxFleetUnits)
        return QStringLiteral("at most %1 units").arg(kMaxFleetUnits);
    fleet.reserve(total + single.size());
    for (const Range& range : std::as_const(ranges)) {
        for (qsizetype k = 0; k < range.count; ++k)
            fleet.append({QHostAddress(quint32(range.first + quint32(k))), profile});
    }
    fleet += single;
    QSet<quint32> seen;
    for (qsizetype k = 0; k < fleet.size(); ++k) {
        if (seen.contains(fleet[k].address.toIPv4Address()))
            return QStringLiteral("%1 is given to two units").arg(fleet[k].address.toString());
        seen.insert(fleet[k].address.toIPv4Address());
        if (cycle)
            fleet[k].profile = int(k % kProfileCount);
    }
    if (const QString ring = proxyRing(fleet); !ring.isEmpty())
        return QStringLiteral("--proxy: these proxies would pass every request round for ever: %1").arg(ring);
    return {};
}

QByteArray readTokenFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--control-token-file: cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    // A token is a line; more than a few KiB is no token.
    const QByteArray token = file.readLine(4096).trimmed();
    if (token.isEmpty())
        *error = QStringLiteral("--control-token-file: %1 holds no token on its first line").arg(path);
    return token;
}

// --log-dir or --log-disk-limit (`name` without its dashes), into `options`; what is wrong, if anything.
QString parseLogStoreOption(const QString& name, const QString& value, SimulatorOptions& options)
{
    if (name == QLatin1String("log-dir")) {
        if (value.isEmpty())
            return QStringLiteral("--log-dir needs a directory");
        options.logDir = value;
    } else if (name == QLatin1String("log-disk-limit")) {
        const qint64 bytes = LogStore::parseSize(value);
        if (bytes < LogStore::kMinDiskLimit)
            return QStringLiteral(
                       "--log-disk-limit must be a size of at least 1MiB (such as 500MiB or 20GiB), "
                       "not '%1'")
                .arg(value);
        options.logDiskLimit = bytes;
    }
    return {};
}

// --time-scale's value: a number from 0.01 to 1000.
std::optional<double> parseTimeScale(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < Scenario::kMinTimeScale || value > Scenario::kMaxTimeScale)
        return std::nullopt;
    return value;
}

QString timeScaleError(const QString& text)
{
    return QStringLiteral("--time-scale must be a number from 0.01 to 1000, not '%1'").arg(text);
}

// What the command line changes of the scenario in `options`, with a note for each change that
// overrides the file; what is wrong, if anything.
QString applyOnTop(const QCommandLineParser& parser, const QCommandLineOption& profile,
                   const QCommandLineOption& timeScale, SimulatorOptions& options)
{
    Scenario& scenario = *options.scenario;
    if (options.seed && scenario.seed && *options.seed != *scenario.seed)
        options.scenarioNotes << QStringLiteral("--seed %1 replaces the scenario's seed %2")
                                     .arg(*options.seed)
                                     .arg(*scenario.seed);
    if (!options.seed)
        options.seed = scenario.seed;
    if (parser.isSet(timeScale)) {
        const std::optional<double> scale = parseTimeScale(parser.value(timeScale));
        if (!scale)
            return timeScaleError(parser.value(timeScale));
        const double value = *scale;
        if (scenario.timeScale != 1.0 && scenario.timeScale != value)
            options.scenarioNotes << QStringLiteral("--time-scale %1 replaces the scenario's time_scale %2")
                                         .arg(value)
                                         .arg(scenario.timeScale);
        scenario.timeScale = value;
    }
    if (parser.isSet(profile) && !scenario.units.isEmpty()) {
        options.scenarioNotes << QStringLiteral(
                                     "--profile %1 replaces the profiles the scenario gives its units")
                                     .arg(options.profile);
        for (ScenarioUnitGroup& group : scenario.units) {
            group.profile = options.profile;
            group.cycle = false;
        }
    }
    options.fleet = scenario.fleetUnits();
    return {};
}

QString seedError(const QString& value)
{
    return QStringLiteral("--seed must be a whole number from 0 to 18446744073709551615, not '%1'")
        .arg(value);
}

SimulatorOptions usageError(const QString& message)
{
    SimulatorOptions options;
    options.action = SimulatorOptions::Action::UsageError;
    options.text = message;
    return options;
}
} // namespace

bool SimulatorCommandLine::wantsConsole(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString name = optionName(arguments[i]);
        for (const char* option : kConsoleOptions) {
            if (name == QLatin1String(option))
                return true;
        }
    }
    return false;
}

bool SimulatorCommandLine::wantsConsole(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return wantsConsole(arguments);
}

SimulatorOptions SimulatorCommandLine::parse(const QStringList& arguments, const QByteArray& environmentToken)
{
    if (!wantsConsole(arguments)) {
        // The window's own options are picked out by hand: everything else is Qt's.
        SimulatorOptions options;
        std::optional<QString> control;
        QByteArray token = environmentToken;
        bool tokenGiven = false;
        bool allowProxies = false;
        for (qsizetype i = 1; i < arguments.size(); ++i) {
            const QString name = optionName(arguments[i]);
            if (name == QLatin1String("allow-api-proxies") && !arguments[i].contains(QLatin1Char('='))) {
                allowProxies = true;
            } else if (name == QLatin1String("control") || name == QLatin1String("control-token") ||
                       name == QLatin1String("control-token-file") || name == QLatin1String("seed") ||
                       name == QLatin1String("log-dir") || name == QLatin1String("log-disk-limit")) {
                const std::optional<QString> value = optionValue(arguments, i);
                if (!value)
                    return usageError(QStringLiteral("--%1 needs a value").arg(name));
                if (name.startsWith(QLatin1String("log-"))) {
                    if (const QString error = parseLogStoreOption(name, *value, options); !error.isEmpty())
                        return usageError(error);
                } else if (name == QLatin1String("control")) {
                    control = value;
                } else if (name == QLatin1String("seed")) {
                    options.seed = parseSeed(*value);
                    if (!options.seed)
                        return usageError(seedError(*value));
                } else if (name == QLatin1String("control-token-file")) {
                    QString error;
                    token = readTokenFile(*value, &error);
                    if (!error.isEmpty())
                        return usageError(error);
                    tokenGiven = true;
                } else {
                    token = value->toUtf8();
                    tokenGiven = true;
                }
            } else {
                options.ignored << arguments[i];
            }
        }
        if (control) {
            ControlOptions controlOptions;
            if (const QString error = parseControl(*control, token, controlOptions); !error.isEmpty())
                return usageError(error);
            controlOptions.allowProxies = allowProxies;
            options.control = controlOptions;
        } else if (tokenGiven || allowProxies) {
            return usageError(QStringLiteral("--control-token, --control-token-file and --allow-api-proxies "
                                             "go with --control"));
        }
        return options;
    }

    QCommandLineParser parser;
    // "-platform" is reported as the unknown option it is, not as the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Simulates one networked lighting unit. Without arguments it opens its window;\n"
                       "Qt's own options (-platform, -style, ...) apply to the window as usual.\n"
                       "With --headless it runs without a window: unit commands on the unit port of the\n"
                       "profile, discovery on 65535. Each traffic-log line goes to standard output as it\n"
                       "is written; the state of both ports goes to standard error.\n\nProfiles:\n") +
        profileList() + QStringLiteral("\nFault rules:\n") + faultRuleHelp());
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Run without a window."));
    const QCommandLineOption profile(QStringLiteral("profile"),
                                     QStringLiteral("Unit profile to simulate, 0 to 8 (default 0)."),
                                     QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Do not print traffic-log lines."));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Misbehave on purpose by RULE; may be given several times, "
                                                  "the rules act in the order given. See Fault rules below."),
                                   QStringLiteral("RULE"));
    const QCommandLineOption seed(
        QStringLiteral("seed"),
        QStringLiteral("Draw every random value (status bytes, fault chances, jitter, "
                       "corruption) from seed S, to repeat a run exactly. Without it a "
                       "seed is drawn and printed on standard error. Also with the window."),
        QStringLiteral("S"));
    const QCommandLineOption control(
        QStringLiteral("control"),
        QStringLiteral("Serve the HTTP control API on [ADDRESS:]PORT (address 127.0.0.1 "
                       "unless given, an IPv6 one in brackets: [::1]:8080; port 0 picks a free one). "
                       "Also with the window."),
        QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption controlToken(
        QStringLiteral("control-token"),
        QStringLiteral("Require \"Authorization: Bearer TOKEN\" on every control request; needed for any "
                       "address other than loopback. A token given here is visible to every user in the "
                       "process list: UNITSIM_CONTROL_TOKEN or --control-token-file are the safe ways."),
        QStringLiteral("TOKEN"));
    const QCommandLineOption controlTokenFile(
        QStringLiteral("control-token-file"),
        QStringLiteral("Read the control API's token from FILE (its first line). Also with the window."),
        QStringLiteral("FILE"));
    const QCommandLineOption allowApiProxies(
        QStringLiteral("allow-api-proxies"),
        QStringLiteral("Let a scenario put through the control API make proxy units. A proxy sends "
                       "what reaches it on to the address it names: without this only the command "
                       "line and scenario files make them. Also with the window."));
    const QCommandLineOption logFormat(
        QStringLiteral("log-format"),
        QStringLiteral("text (the lines as the window shows them, the default) or "
                       "jsonl (one JSON object per line, as the control API gives)."),
        QStringLiteral("FORMAT"), QStringLiteral("text"));
    const QCommandLineOption units(QStringLiteral("units"),
                                   QStringLiteral("Simulate COUNT units on consecutive IPv4 addresses from "
                                                  "FIRST_ADDRESS (default 127.0.1.1), each on its own."),
                                   QStringLiteral("COUNT[@FIRST_ADDRESS]"));
    const QCommandLineOption proxy(
        QStringLiteral("proxy"),
        QStringLiteral("A proxy unit on ADDRESS for the real unit at REAL: every datagram to its unit port "
                       "and discovery port is passed on to the real unit, and the real unit's replies come "
                       "back from ADDRESS through the fault rules, both legs in the log. Its profile is the "
                       "one the real unit's discovery reply names, unless given. May be given several "
                       "times."),
        QStringLiteral("ADDRESS[:PROFILE]=REAL"));
    const QCommandLineOption unit(
        QStringLiteral("unit"),
        QStringLiteral("Simulate a unit on ADDRESS (with its own profile); may be given "
                       "several times."),
        QStringLiteral("ADDRESS[:PROFILE]"));
    const QCommandLineOption profiles(QStringLiteral("profiles"),
                                      QStringLiteral("cycle: unit k of a fleet poses as profile k mod 9."),
                                      QStringLiteral("cycle"));
    const QCommandLineOption keepGoing(
        QStringLiteral("keep-going"),
        QStringLiteral("Run on when a port of the unit (or of any unit of a fleet) cannot be bound at "
                       "start; without it the run ends with status 1 after saying which."));
    const QCommandLineOption exitWithStdin(
        QStringLiteral("exit-with-stdin"),
        QStringLiteral("End the run, as SIGTERM does, when standard input closes: a test that starts the "
                       "simulator and holds a pipe to it never leaves it running, even when the test is "
                       "killed."));
    const QCommandLineOption logDir(
        QStringLiteral("log-dir"),
        QStringLiteral("Keep the traffic log of the window or the control API in DIR (made if need be) and "
                       "leave it there after the run; \"unitctl log DIR\" reads it. Without it the log is "
                       "kept in a directory of the run's own, removed at exit. Also with the window."),
        QStringLiteral("DIR"));
    const QCommandLineOption logDiskLimit(
        QStringLiteral("log-disk-limit"),
        QStringLiteral(
            "Let the stored traffic log take SIZE on disk at most (such as 500MiB or 20GiB; default "
            "10GiB, or a tenth of the free space if less); beyond it the oldest lines are "
            "removed, and that is said. Also with the window."),
        QStringLiteral("SIZE"));
    const QCommandLineOption pcap(
        QStringLiteral("pcap"),
        QStringLiteral("Write every datagram received or sent (after faults) to FILE "
                       "as a pcap capture, as it happens."),
        QStringLiteral("FILE"));
    const QCommandLineOption scenario(
        QStringLiteral("scenario"),
        QStringLiteral(
            "Play the scenario in FILE (YAML; see unit-simulator(1)): its units, profiles, channel "
            "values, fault rules, seed and timeline. --seed, --fault, --profile and --time-scale act "
            "on top of it. The run ends with status 0 at the scenario's end."),
        QStringLiteral("FILE"));
    const QCommandLineOption timeScale(
        QStringLiteral("time-scale"),
        QStringLiteral("Play the scenario's timeline X times as fast (0.01 to 1000; 10 plays 60 s in 6 s)."),
        QStringLiteral("X"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Write the verdict on the scenario's expectations to FILE as JUnit XML, at its end "
                       "(or on SIGINT/SIGTERM); a run where one failed ends with status 4."),
        QStringLiteral("FILE"));
    const QCommandLineOption requireExercised(
        QStringLiteral("require-exercised"),
        QStringLiteral("End with status 4 also when an expectation was not exercised: it held only "
                       "because nothing it judges happened (no controller sent anything, no unit came "
                       "back from a reboot)."));
    const QCommandLineOption explore(
        QStringLiteral("explore"),
        QStringLiteral(
            "Look for the situation that breaks a controller: play the scenario in FILE again and again "
            "beside --controller, each run with additions drawn from its explore block, and judge each "
            "run by its expectations. Failing runs are written to --out. Exit status 0 when no run "
            "failed, 4 when one did."),
        QStringLiteral("FILE"));
    const QCommandLineOption controller(
        QStringLiteral("controller"),
        QStringLiteral(
            "With --explore: the controller to start for each run, a shell command; its environment "
            "has UNITSIM_CONTROL_URL, UNITSIM_UNITS, UNITSIM_SEED and UNITSIM_TIME_SCALE. It gets "
            "SIGTERM at the run's end, SIGKILL 5 s later."),
        QStringLiteral("COMMAND"));
    const QCommandLineOption runs(QStringLiteral("runs"),
                                  QStringLiteral("With --explore: how many runs (default 20)."),
                                  QStringLiteral("N"));
    const QCommandLineOption budget(
        QStringLiteral("budget"),
        QStringLiteral("With --explore: start no run once DURATION (such as 10m) has "
                       "passed."),
        QStringLiteral("DURATION"));
    const QCommandLineOption out(QStringLiteral("out"),
                                 QStringLiteral("With --explore: where failing runs are written, each to "
                                                "failure-K/ (default explore-out)."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption exploreRun(
        QStringLiteral("explore-run"),
        QStringLiteral("With --explore: play run K alone, as the exploration from "
                       "the same --seed played it."),
        QStringLiteral("K"));
    parser.addOptions(
        {headless,         profile,       quiet,      fault,        seed,     control,   controlToken,
         controlTokenFile, logFormat,     units,      unit,         proxy,    profiles,  pcap,
         keepGoing,        exitWithStdin, logDir,     logDiskLimit, scenario, timeScale, report,
         requireExercised, explore,       controller, runs,         budget,   out,       exploreRun,
         allowApiProxies});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    SimulatorOptions options;
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        options.action = SimulatorOptions::Action::ShowHelp;
        options.text = parser.helpText();
        return options;
    }
    if (parser.isSet(version)) {
        options.action = SimulatorOptions::Action::ShowVersion;
        options.text = QStringLiteral("unit-simulator ") + versionText() + QLatin1Char('\n');
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const QList<const QCommandLineOption*> exploreOnly{&controller, &runs, &budget, &out, &exploreRun};
    if (parser.isSet(explore)) {
        // Each run is a headless run of its own: of the other options only --seed and --time-scale
        // act on the exploration.
        for (const QString& name : parser.optionNames()) {
            static const QStringList together{u"explore"_s, u"controller"_s, u"runs"_s,
                                              u"budget"_s,  u"out"_s,        u"explore-run"_s,
                                              u"seed"_s,    u"time-scale"_s, u"headless"_s};
            if (!together.contains(name))
                return usageError(QStringLiteral("--%1 does not go with --explore").arg(name));
        }
        ExploreOptions exploring;
        exploring.scenarioPath = parser.value(explore);
        QString error;
        const std::optional<Scenario> loaded = ScenarioFile::load(exploring.scenarioPath, &error);
        if (!loaded)
            return usageError(error);
        exploring.scenario = *loaded;
        if (!loaded->explore || loaded->expect.isEmpty() || !loaded->endMs)
            return usageError(
                QStringLiteral("%1: exploring needs an explore block (what a run may add), an expect "
                               "list (what decides a run) and an end")
                    .arg(exploring.scenarioPath));
        exploring.controller = parser.value(controller).trimmed();
        if (exploring.controller.isEmpty())
            return usageError(
                QStringLiteral("--explore needs --controller COMMAND, the controller to judge"));
        bool ok = true;
        if (parser.isSet(runs))
            exploring.runs = parser.value(runs).toInt(&ok);
        if (!ok || exploring.runs < 1 || exploring.runs > 1'000'000)
            return usageError(QStringLiteral("--runs needs a whole number from 1 to 1000000, not '%1'")
                                  .arg(parser.value(runs)));
        if (parser.isSet(budget)) {
            exploring.budgetMs = parseDuration(parser.value(budget));
            if (!exploring.budgetMs || *exploring.budgetMs <= 0)
                return usageError(QStringLiteral("--budget needs a duration such as 90s or 10m, not '%1'")
                                      .arg(parser.value(budget)));
        }
        if (parser.isSet(out))
            exploring.outDir = parser.value(out);
        if (exploring.outDir.isEmpty())
            return usageError(QStringLiteral("--out needs a directory"));
        if (parser.isSet(exploreRun)) {
            const int run = parser.value(exploreRun).toInt(&ok);
            if (!ok || run < 0)
                return usageError(QStringLiteral("--explore-run needs a run number from 0, not '%1'")
                                      .arg(parser.value(exploreRun)));
            exploring.onlyRun = run;
        }
        if (parser.isSet(timeScale)) {
            const std::optional<double> scale = parseTimeScale(parser.value(timeScale));
            if (!scale)
                return usageError(timeScaleError(parser.value(timeScale)));
            exploring.scenario.timeScale = *scale;
        }
        if (parser.isSet(seed)) {
            const std::optional<quint64> value = parseSeed(parser.value(seed));
            if (!value)
                return usageError(seedError(parser.value(seed)));
            exploring.seed = *value;
        } else {
            exploring.seed = drawSeed();
        }
        options.action = SimulatorOptions::Action::Explore;
        options.explore = exploring;
        return options;
    }
    for (const QCommandLineOption* option : exploreOnly) {
        if (parser.isSet(*option))
            return usageError(QStringLiteral("--%1 goes with --explore").arg(option->names().first()));
    }
    if (!parser.isSet(headless))
        return usageError(
            QStringLiteral("--profile, --quiet, --fault, --pcap, --keep-going, --exit-with-stdin, "
                           "--scenario and the fleet options need --headless"));
    bool isNumber = false;
    const QString profileText = parser.value(profile);
    options.profile = profileText.toInt(&isNumber);
    if (!isNumber || !isValidProfileIndex(options.profile))
        return usageError(
            QStringLiteral("--profile must be a whole number from 0 to 8, not '%1'").arg(profileText));
    options.quiet = parser.isSet(quiet);
    options.keepGoing = parser.isSet(keepGoing);
    options.exitWithStdin = parser.isSet(exitWithStdin);
    options.pcap = parser.value(pcap);
    if (parser.isSet(pcap) && options.pcap.isEmpty())
        return usageError(QStringLiteral("--pcap needs a file name"));
    for (const QString& text : parser.values(fault)) {
        QString error;
        const std::optional<FaultRule> rule = FaultRule::parse(text, &error);
        if (!rule)
            return usageError(QStringLiteral("--fault '%1': %2").arg(text, error));
        options.faults.append(*rule);
    }
    if (parser.isSet(seed)) {
        const std::optional<quint64> value = parseSeed(parser.value(seed));
        if (!value)
            return usageError(seedError(parser.value(seed)));
        options.seed = value;
    }
    if (parser.isSet(control)) {
        if (parser.isSet(controlToken) && parser.isSet(controlTokenFile))
            return usageError(QStringLiteral("--control-token and --control-token-file exclude each other"));
        QByteArray token =
            parser.isSet(controlToken) ? parser.value(controlToken).toUtf8() : environmentToken;
        if (parser.isSet(controlTokenFile)) {
            QString error;
            token = readTokenFile(parser.value(controlTokenFile), &error);
            if (!error.isEmpty())
                return usageError(error);
        }
        ControlOptions controlOptions;
        if (const QString error = parseControl(parser.value(control), token, controlOptions);
            !error.isEmpty())
            return usageError(error);
        controlOptions.allowProxies = parser.isSet(allowApiProxies);
        options.control = controlOptions;
    } else if (parser.isSet(controlToken) || parser.isSet(controlTokenFile) ||
               parser.isSet(allowApiProxies)) {
        return usageError(QStringLiteral("--control-token, --control-token-file and --allow-api-proxies "
                                         "go with --control"));
    }
    for (const QCommandLineOption* option : {&logDir, &logDiskLimit}) {
        if (!parser.isSet(*option))
            continue;
        const QString name = option->names().first();
        if (const QString error = parseLogStoreOption(name, parser.value(*option), options); !error.isEmpty())
            return usageError(error);
    }
    if (parser.isSet(logDiskLimit) && !parser.isSet(logDir) && !parser.isSet(control))
        return usageError(QStringLiteral(
            "--log-disk-limit goes with --log-dir or --control: without them a headless run keeps no log"));
    if (parser.value(logFormat) == QLatin1String("jsonl"))
        options.logFormat = TrafficLogWriter::Format::JsonLines;
    else if (parser.value(logFormat) != QLatin1String("text"))
        return usageError(
            QStringLiteral("--log-format is text or jsonl, not '%1'").arg(parser.value(logFormat)));
    if (parser.isSet(profiles) && parser.value(profiles) != QLatin1String("cycle"))
        return usageError(QStringLiteral("--profiles takes cycle, not '%1'").arg(parser.value(profiles)));
    if (parser.isSet(profiles) && parser.isSet(profile))
        return usageError(QStringLiteral("--profile and --profiles exclude each other"));
    if (parser.isSet(profiles) && !parser.isSet(units) && !parser.isSet(unit))
        return usageError(QStringLiteral("--profiles goes with --units or --unit"));
    if (parser.isSet(scenario)) {
        if (parser.isSet(units) || parser.isSet(unit) || parser.isSet(profiles) || parser.isSet(proxy))
            return usageError(
                QStringLiteral("--units, --unit, --proxy and --profiles exclude --scenario: the scenario "
                               "names its units"));
        QString error;
        options.scenario = ScenarioFile::load(parser.value(scenario), &error);
        if (!options.scenario)
            return usageError(error);
        options.scenarioPath = parser.value(scenario);
        if (const QString problem = applyOnTop(parser, profile, timeScale, options); !problem.isEmpty())
            return usageError(problem);
    } else if (parser.isSet(timeScale) || parser.isSet(report) || parser.isSet(requireExercised)) {
        return usageError(QStringLiteral("%1 goes with --scenario")
                              .arg(parser.isSet(timeScale) ? u"--time-scale"
                                   : parser.isSet(report)  ? u"--report"
                                                           : u"--require-exercised"));
    }
    options.requireExercised = parser.isSet(requireExercised);
    options.reportPath = parser.value(report);
    if (parser.isSet(report) && options.reportPath.isEmpty())
        return usageError(QStringLiteral("--report needs a file name"));
    if (!options.scenario) {
        if (const QString error = parseFleet(parser.values(units), parser.values(unit), parser.values(proxy),
                                             options.profile, parser.isSet(profiles), options.fleet);
            !error.isEmpty())
            return usageError(error);
    }
    // A rule for units that do not exist would be accepted and never act.
    QList<quint32> addresses;
    for (const FleetUnit& member : std::as_const(options.fleet))
        addresses << member.address.toIPv4Address();
    if (addresses.isEmpty())
        addresses << 0; // the single unit
    for (const FaultRule& rule : std::as_const(options.faults)) {
        if (const QString problem = rule.unitsProblem(addresses); !problem.isEmpty())
            return usageError(QStringLiteral("--fault '%1': %2").arg(rule.text, problem));
    }
    options.action = SimulatorOptions::Action::RunHeadless;
    return options;
}

std::optional<quint64> parseSeed(const QString& text)
{
    bool ok = false;
    const quint64 value = text.trimmed().toULongLong(&ok);
    if (!ok || text.trimmed().startsWith(QLatin1Char('+')) || text.trimmed().startsWith(QLatin1Char('-')))
        return std::nullopt;
    return value;
}

int reportWithoutRunning(const SimulatorOptions& options)
{
    if (options.action == SimulatorOptions::Action::UsageError) {
        printToStderr(QStringLiteral("unit-simulator: ") + options.text);
        printToStderr(QStringLiteral("Try 'unit-simulator --help'."));
        return 2;
    }
    std::fputs(qPrintable(options.text), stdout);
    return 0;
}

void warnAboutIgnoredArguments(const SimulatorOptions& options)
{
    for (const QString& argument : options.ignored)
        printToStderr(QStringLiteral("unit-simulator: ignoring argument '%1'").arg(argument));
}
