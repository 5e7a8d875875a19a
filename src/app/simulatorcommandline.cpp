#include "simulatorcommandline.h"

#include "appversion.h"
#include "consoleoutput.h"
#include "record/duration.h"
#include "record/unitprofiles.h"
#include "scenario/scenariofile.h"
#include "simulatoroptiontable.h"
#include "simulatoroptionvalues.h"

#include <QCommandLineParser>
#include <QThread>

#include <cstdio>

using namespace SimulatorOptionValues;

namespace {
// Plays at once: each is a process with its own units and controller.
constexpr int kMaxJobs = 256;
// Replays of a shrunk failure.
constexpr int kMaxConfirm = 1000;
// Machines sharing one exploration.
constexpr int kMaxShards = 10000;

QString optionName(const QString& argument)
{
    if (!argument.startsWith(QLatin1Char('-')))
        return {};
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    return name.left(name.indexOf(QLatin1Char('=')));
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

SimulatorOptions usageError(const QString& message)
{
    SimulatorOptions options;
    options.action = SimulatorOptions::Action::UsageError;
    options.text = message;
    return options;
}

// --control with its token (or the file it is in) and --allow-api-proxies.
QString parseControlOptions(const QString& value, const std::optional<QByteArray>& token,
                            const QByteArray& environmentToken, const QString& tokenFile, bool allowProxies,
                            SimulatorOptions& options)
{
    ControlOptions control;
    if (const QString error = parseControl(value, control); !error.isEmpty())
        return error;
    control.allowProxies = allowProxies;
    control.token = token.value_or(environmentToken);
    options.controlTokenFile = tokenFile;
    // A token from a file is there once readFiles() has read it.
    if (tokenFile.isEmpty()) {
        if (const QString error = controlTokenProblem(control); !error.isEmpty())
            return error;
    }
    options.control = control;
    return {};
}

// The window's own options, picked out by hand: everything else is Qt's.
SimulatorOptions parseWindow(const QStringList& arguments, const QByteArray& environmentToken)
{
    SimulatorOptions options;
    QStringList given;
    QHash<QString, QString> values;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString name = optionName(arguments[i]);
        const SimulatorOptionTable::Option* option = SimulatorOptionTable::find(name);
        if (!option || option->scope != SimulatorOptionTable::Scope::Window) {
            options.ignored << arguments[i];
            continue;
        }
        if (!option->valueName) {
            // A switch with a value is not ours.
            if (arguments[i].contains(QLatin1Char('='))) {
                options.ignored << arguments[i];
                continue;
            }
        } else {
            const std::optional<QString> value = optionValue(arguments, i);
            if (!value)
                return usageError(QStringLiteral("--%1 needs a value").arg(name));
            values.insert(name, *value); // the last one given counts
        }
        given << name;
    }
    if (const QString problem =
            SimulatorOptionTable::combinationProblem(given, SimulatorOptionTable::Mode::Window);
        !problem.isEmpty())
        return usageError(problem);
    for (const char* option : {"log-dir", "log-disk-limit"}) {
        const QString name = QLatin1String(option);
        if (!values.contains(name))
            continue;
        if (const QString error = parseLogStoreOption(name, values.value(name), options); !error.isEmpty())
            return usageError(error);
    }
    options.segmentOffload = !given.contains(QStringLiteral("no-segment-offload"));
    if (values.contains(QStringLiteral("seed"))) {
        options.seed = parseSeed(values.value(QStringLiteral("seed")));
        if (!options.seed)
            return usageError(seedError(values.value(QStringLiteral("seed"))));
    }
    if (values.contains(QStringLiteral("control"))) {
        std::optional<QByteArray> token;
        if (values.contains(QStringLiteral("control-token")))
            token = values.value(QStringLiteral("control-token")).toUtf8();
        if (const QString error =
                parseControlOptions(values.value(QStringLiteral("control")), token, environmentToken,
                                    values.value(QStringLiteral("control-token-file")),
                                    given.contains(QStringLiteral("allow-api-proxies")), options);
            !error.isEmpty())
            return usageError(error);
    }
    return options;
}

// --explore and what goes with it; the scenario is read by readFiles().
SimulatorOptions parseExplore(const QCommandLineParser& parser)
{
    ExploreOptions exploring;
    exploring.scenarioPath = parser.value(QStringLiteral("explore"));
    exploring.controller = parser.value(QStringLiteral("controller")).trimmed();
    if (exploring.controller.isEmpty())
        return usageError(QStringLiteral("--explore needs --controller COMMAND, the controller to judge"));
    bool ok = true;
    if (parser.isSet(QStringLiteral("runs")))
        exploring.runs = parser.value(QStringLiteral("runs")).toInt(&ok);
    if (!ok || exploring.runs < 1 || exploring.runs > 1'000'000)
        return usageError(QStringLiteral("--runs needs a whole number from 1 to 1000000, not '%1'")
                              .arg(parser.value(QStringLiteral("runs"))));
    if (parser.isSet(QStringLiteral("budget"))) {
        const QString budget = parser.value(QStringLiteral("budget"));
        exploring.budgetMs = parseDuration(budget);
        if (!exploring.budgetMs || *exploring.budgetMs <= 0)
            return usageError(
                QStringLiteral("--budget needs a duration such as 90s or 10m, not '%1'").arg(budget));
    }
    if (parser.isSet(QStringLiteral("out")))
        exploring.outDir = parser.value(QStringLiteral("out"));
    if (exploring.outDir.isEmpty())
        return usageError(QStringLiteral("--out needs a directory"));
    exploring.jobs = std::max(1, QThread::idealThreadCount());
    if (parser.isSet(QStringLiteral("jobs"))) {
        exploring.jobs = parser.value(QStringLiteral("jobs")).toInt(&ok);
        if (!ok || exploring.jobs < 1 || exploring.jobs > kMaxJobs)
            return usageError(QStringLiteral("--jobs needs a whole number from 1 to %1, not '%2'")
                                  .arg(kMaxJobs)
                                  .arg(parser.value(QStringLiteral("jobs"))));
    }
    if (parser.isSet(QStringLiteral("confirm"))) {
        exploring.confirm = parser.value(QStringLiteral("confirm")).toInt(&ok);
        if (!ok || exploring.confirm < 0 || exploring.confirm > kMaxConfirm)
            return usageError(QStringLiteral("--confirm needs a whole number from 0 to %1, not '%2'")
                                  .arg(kMaxConfirm)
                                  .arg(parser.value(QStringLiteral("confirm"))));
    }
    if (parser.isSet(QStringLiteral("search"))) {
        const QString how = parser.value(QStringLiteral("search"));
        if (how == QStringLiteral("random"))
            exploring.search = ExploreSearch::Random;
        else if (how != QStringLiteral("guided"))
            return usageError(QStringLiteral("--search takes guided or random, not '%1'").arg(how));
    }
    if (parser.isSet(QStringLiteral("shard"))) {
        const QString text = parser.value(QStringLiteral("shard"));
        const QStringList parts = text.split(u'/');
        bool indexOk = false;
        bool countOk = false;
        exploring.shardIndex = parts.value(0).toInt(&indexOk);
        exploring.shardCount = parts.value(1).toInt(&countOk);
        if (parts.size() != 2 || !indexOk || !countOk || exploring.shardCount < 1 ||
            exploring.shardCount > kMaxShards || exploring.shardIndex < 0 ||
            exploring.shardIndex >= exploring.shardCount)
            return usageError(
                QStringLiteral("--shard needs K/N, N from 1 to %1 and K from 0 to N-1, not '%2'")
                    .arg(kMaxShards)
                    .arg(text));
        if (parser.isSet(QStringLiteral("explore-run")))
            return usageError(
                QStringLiteral("--shard and --explore-run exclude each other: a run alone is no share"));
    }
    if (parser.isSet(QStringLiteral("no-swarm")))
        exploring.draw = ExploreDraw::Uniform;
    if (parser.isSet(QStringLiteral("explore-run"))) {
        const QString text = parser.value(QStringLiteral("explore-run"));
        const int run = text.toInt(&ok);
        if (!ok || run < 0)
            return usageError(QStringLiteral("--explore-run needs a run number from 0, not '%1'").arg(text));
        exploring.onlyRun = run;
    }
    SimulatorOptions options;
    if (parser.isSet(QStringLiteral("time-scale"))) {
        const QString text = parser.value(QStringLiteral("time-scale"));
        options.timeScale = parseTimeScale(text);
        if (!options.timeScale)
            return usageError(timeScaleError(text));
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        const std::optional<quint64> value = parseSeed(parser.value(QStringLiteral("seed")));
        if (!value)
            return usageError(seedError(parser.value(QStringLiteral("seed"))));
        exploring.seed = *value;
    } else {
        exploring.seed = drawSeed();
    }
    options.action = SimulatorOptions::Action::Explore;
    options.explore = exploring;
    return options;
}

// A headless run's options; a scenario is read by readFiles().
SimulatorOptions parseHeadless(const QCommandLineParser& parser, const QByteArray& environmentToken)
{
    const auto value = [&](const char* name) { return parser.value(QLatin1String(name)); };
    const auto isSet = [&](const char* name) { return parser.isSet(QLatin1String(name)); };
    SimulatorOptions options;
    bool isNumber = false;
    options.profile = value("profile").toInt(&isNumber);
    if (!isNumber || !isValidProfileIndex(options.profile))
        return usageError(
            QStringLiteral("--profile must be a whole number from 0 to 8, not '%1'").arg(value("profile")));
    options.profileGiven = isSet("profile");
    options.quiet = isSet("quiet");
    options.segmentOffload = !isSet("no-segment-offload");
    options.dense = isSet("dense");
    options.keepGoing = isSet("keep-going");
    options.exitWithStdin = isSet("exit-with-stdin");
    options.pcap = value("pcap");
    if (isSet("pcap") && options.pcap.isEmpty())
        return usageError(QStringLiteral("--pcap needs a file name"));
    for (const QString& text : parser.values(QStringLiteral("fault"))) {
        QString error;
        const std::optional<FaultRule> rule = FaultRule::parse(text, &error);
        if (!rule)
            return usageError(QStringLiteral("--fault '%1': %2").arg(text, error));
        options.faults.append(*rule);
    }
    if (isSet("seed")) {
        options.seed = parseSeed(value("seed"));
        if (!options.seed)
            return usageError(seedError(value("seed")));
    }
    if (isSet("control")) {
        std::optional<QByteArray> token;
        if (isSet("control-token"))
            token = value("control-token").toUtf8();
        if (const QString error =
                parseControlOptions(value("control"), token, environmentToken, value("control-token-file"),
                                    isSet("allow-api-proxies"), options);
            !error.isEmpty())
            return usageError(error);
    }
    for (const char* name : {"log-dir", "log-disk-limit"}) {
        if (!isSet(name))
            continue;
        if (const QString error = parseLogStoreOption(QLatin1String(name), value(name), options);
            !error.isEmpty())
            return usageError(error);
    }
    if (value("log-format") == QLatin1String("jsonl"))
        options.logFormat = TrafficLogWriter::Format::JsonLines;
    else if (value("log-format") != QLatin1String("text"))
        return usageError(QStringLiteral("--log-format is text or jsonl, not '%1'").arg(value("log-format")));
    if (isSet("profiles") && value("profiles") != QLatin1String("cycle"))
        return usageError(QStringLiteral("--profiles takes cycle, not '%1'").arg(value("profiles")));
    if (isSet("time-scale")) {
        options.timeScale = parseTimeScale(value("time-scale"));
        if (!options.timeScale)
            return usageError(timeScaleError(value("time-scale")));
    }
    options.scenarioPath = value("scenario");
    if (isSet("scenario") && options.scenarioPath.isEmpty())
        return usageError(QStringLiteral("--scenario needs a file name"));
    options.requireExercised = isSet("require-exercised");
    options.reportPath = value("report");
    if (isSet("report") && options.reportPath.isEmpty())
        return usageError(QStringLiteral("--report needs a file name"));
    options.reportHtmlPath = value("report-html");
    if (isSet("report-html") && options.reportHtmlPath.isEmpty())
        return usageError(QStringLiteral("--report-html needs a file name"));
    if (!isSet("scenario")) {
        if (const QString error = parseFleet(
                parser.values(QStringLiteral("units")), parser.values(QStringLiteral("unit")),
                parser.values(QStringLiteral("proxy")), options.profile, isSet("profiles"), options.fleet);
            !error.isEmpty())
            return usageError(error);
        // A rule for units that do not exist would be accepted and never act.
        if (const QString problem = faultUnitsProblem(options.faults, options.fleet); !problem.isEmpty())
            return usageError(problem);
    }
    options.action = SimulatorOptions::Action::RunHeadless;
    return options;
}

bool refuse(SimulatorOptions& options, const QString& message)
{
    options = usageError(message);
    return false;
}
} // namespace

bool SimulatorCommandLine::wantsConsole(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (SimulatorOptionTable::meansConsole(optionName(arguments[i])))
            return true;
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
    if (!wantsConsole(arguments))
        return parseWindow(arguments, environmentToken);

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
    SimulatorOptionTable::addTo(parser);
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
    if (parser.isSet(QStringLiteral("explore-merge"))) {
        for (const QString& name : parser.optionNames()) {
            if (name != QStringLiteral("explore-merge") && name != QStringLiteral("out"))
                return usageError(
                    QStringLiteral("--%1 does not go with --explore-merge, which takes folders and "
                                   "--out")
                        .arg(name));
        }
        options.action = SimulatorOptions::Action::ExploreMerge;
        options.mergeDirs =
            QStringList{parser.value(QStringLiteral("explore-merge"))} + parser.positionalArguments();
        options.mergeOut = parser.isSet(QStringLiteral("out")) ? parser.value(QStringLiteral("out"))
                                                               : ExploreOptions().outDir;
        if (options.mergeDirs.contains(options.mergeOut))
            return usageError(QStringLiteral("--out %1 is one of the folders merged").arg(options.mergeOut));
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const bool exploring = parser.isSet(QStringLiteral("explore"));
    if (const QString problem = SimulatorOptionTable::combinationProblem(
            parser.optionNames(),
            exploring ? SimulatorOptionTable::Mode::Explore : SimulatorOptionTable::Mode::Headless);
        !problem.isEmpty())
        return usageError(problem);
    return exploring ? parseExplore(parser) : parseHeadless(parser, environmentToken);
}

bool SimulatorCommandLine::readFiles(SimulatorOptions& options)
{
    if (options.action == SimulatorOptions::Action::UsageError)
        return false;
    if (options.control && !options.controlTokenFile.isEmpty()) {
        QString error;
        options.control->token = readTokenFile(options.controlTokenFile, &error);
        if (!error.isEmpty())
            return refuse(options, error);
        if (const QString problem = controlTokenProblem(*options.control); !problem.isEmpty())
            return refuse(options, problem);
    }
    if (options.explore) {
        ExploreOptions& exploring = *options.explore;
        QString error;
        const std::optional<Scenario> loaded = ScenarioFile::load(exploring.scenarioPath, &error);
        if (!loaded)
            return refuse(options, error);
        if (!loaded->explore || loaded->expect.isEmpty() || !loaded->endMs)
            return refuse(options,
                          QStringLiteral("%1: exploring needs an explore block (what a run may add), "
                                         "an expect list (what decides a run) and an end")
                              .arg(exploring.scenarioPath));
        exploring.scenario = *loaded;
        if (options.timeScale)
            exploring.scenario.timeScale = *options.timeScale;
    }
    if (!options.scenarioPath.isEmpty()) {
        QString error;
        options.scenario = ScenarioFile::load(options.scenarioPath, &error);
        if (!options.scenario)
            return refuse(options, error);
        applyOnTop(options);
        if (const QString problem = faultUnitsProblem(options.faults, options.fleet); !problem.isEmpty())
            return refuse(options, problem);
    }
    return true;
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
