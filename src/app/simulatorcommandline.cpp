#include "simulatorcommandline.h"

#include "appversion.h"
#include "consoleoutput.h"
#include "unit/unitprofiles.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {
// The simulator's own options; any of them on the command line means a run without a window.
const char* const kConsoleOptions[] = {"headless", "profile", "quiet", "fault",    "seed",
                                       "h",        "help",    "v",     "help-all", "version"};

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

SimulatorOptions SimulatorCommandLine::parse(const QStringList& arguments)
{
    if (!wantsConsole(arguments)) {
        SimulatorOptions options;
        options.ignored = arguments.mid(1);
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
                       "seed is drawn and printed on standard error."),
        QStringLiteral("S"));
    parser.addOptions({headless, profile, quiet, fault, seed});
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
    if (!parser.isSet(headless))
        return usageError(QStringLiteral("--profile, --quiet, --fault and --seed need --headless"));
    bool isNumber = false;
    const QString profileText = parser.value(profile);
    options.profile = profileText.toInt(&isNumber);
    if (!isNumber || !isValidProfileIndex(options.profile))
        return usageError(
            QStringLiteral("--profile must be a whole number from 0 to 8, not '%1'").arg(profileText));
    options.quiet = parser.isSet(quiet);
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
            return usageError(
                QStringLiteral("--seed must be a whole number from 0 to 18446744073709551615, not '%1'")
                    .arg(parser.value(seed)));
        options.seed = value;
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
