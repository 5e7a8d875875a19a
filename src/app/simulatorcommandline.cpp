#include "simulatorcommandline.h"

#include "appversion.h"
#include "consoleoutput.h"
#include "unit/unitprofiles.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {
// The simulator's own options; any of them on the command line means a run without a window.
const char* const kConsoleOptions[] = {"headless", "profile",  "quiet", "h",
                                       "help",     "help-all", "v",     "version"};

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
        profileList());
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Run without a window."));
    const QCommandLineOption profile(QStringLiteral("profile"),
                                     QStringLiteral("Unit profile to simulate, 0 to 8 (default 0)."),
                                     QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Do not print traffic-log lines."));
    parser.addOptions({headless, profile, quiet});
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
        return usageError(QStringLiteral("--profile and --quiet need --headless"));
    bool isNumber = false;
    const QString profileText = parser.value(profile);
    options.profile = profileText.toInt(&isNumber);
    if (!isNumber || !isValidProfileIndex(options.profile))
        return usageError(
            QStringLiteral("--profile must be a whole number from 0 to 8, not '%1'").arg(profileText));
    options.quiet = parser.isSet(quiet);
    options.action = SimulatorOptions::Action::RunHeadless;
    return options;
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
