#include "commandline.h"

#include "appversion.h"
#include "consoleoutput.h"
#include "trafficlogwriter.h"
#include "unit/unitprofiles.h"
#include "unit/unitsimulator.h"
#include "unixsignalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {
int usageError(const QString& message)
{
    printToStderr(QStringLiteral("unit-simulator: ") + message);
    printToStderr(QStringLiteral("Try 'unit-simulator --help'."));
    return 2;
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
} // namespace

int runCommandLine(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("unit-simulator"));
    QCoreApplication::setApplicationVersion(versionText());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulates one networked lighting unit. Without arguments it opens its window.\n"
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
    parser.addOption(headless);
    parser.addOption(profile);
    parser.addOption(quiet);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("unit-simulator %s\n", qPrintable(versionText()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (!parser.isSet(headless))
        return usageError(QStringLiteral("--profile and --quiet need --headless"));
    bool isNumber = false;
    const QString profileText = parser.value(profile);
    const int profileIndex = profileText.toInt(&isNumber);
    if (!isNumber || !isValidProfileIndex(profileIndex))
        return usageError(
            QStringLiteral("--profile must be a whole number from 0 to 8, not '%1'").arg(profileText));

    UnitSimulator unit;
    TrafficLogWriter writer(stdout);
    if (!parser.isSet(quiet))
        QObject::connect(&unit, &UnitSimulator::trafficLogged, &writer, &TrafficLogWriter::append);
    QObject::connect(&unit, &UnitSimulator::endpointStateChanged, &app,
                     [](UnitSimulator::Endpoint, const QString& text) { printToStderr(text); });
    QObject::connect(&unit, &UnitSimulator::replyNotSent, &app, &printToStderr);
    // A log reader that goes away must not take the unit with it: no SIGPIPE, a message instead.
    std::signal(SIGPIPE, SIG_IGN);
    QObject::connect(&writer, &TrafficLogWriter::outputClosed, &app, [] {
        printToStderr(QStringLiteral("Standard output is closed: traffic-log lines are no longer written."));
    });
    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &app, &QCoreApplication::quit);

    unit.setStartChannelValues();
    unit.selectProfile(profileIndex);
    unit.bindDiscoveryPort();
    const int status = app.exec();
    writer.flush();
    return status;
}
