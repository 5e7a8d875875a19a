#include "app/exploremerge.h"
#include "app/explorerunner.h"
#include "app/exploreworker.h"
#include "app/headlessrunner.h"
#include "app/simulatorcommandline.h"
#include "app/unixsignalwatcher.h"
#include "ui/app.h"
#include "ui/window1.h"

#include "app/consoleoutput.h"
#include "net/datagramendpoint.h"

#include <QCoreApplication>
#include <QMessageBox>

int main(int argc, char** argv)
{
    // One play of an exploration, for the exploring process that started it.
    if (isExploreWorker(argc, argv))
        return runExploreWorker(argc, argv);
    // The simulator's own options mean a run without the window, which needs no display.
    if (SimulatorCommandLine::wantsConsole(argc, argv)) {
        QCoreApplication app(argc, argv);
        SimulatorOptions options =
            SimulatorCommandLine::parse(QCoreApplication::arguments(), qgetenv("UNITSIM_CONTROL_TOKEN"));
        SimulatorCommandLine::readFiles(options);
        DatagramEndpoint::setSegmentOffload(options.segmentOffload);
        if (options.action == SimulatorOptions::Action::ExploreMerge)
            return mergeExplorations(options.mergeDirs, options.mergeOut);
        if (options.action == SimulatorOptions::Action::Explore) {
            ExploreRunner explorer(*options.explore);
            // A stop signal ends the exploration after the run in progress.
            UnixSignalWatcher signalWatcher;
            QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &explorer,
                             &ExploreRunner::stop);
            QObject::connect(&explorer, &ExploreRunner::finished, &app, &QCoreApplication::exit);
            explorer.start();
            return app.exec();
        }
        if (options.action != SimulatorOptions::Action::RunHeadless)
            return reportWithoutRunning(options);
        HeadlessRunner runner(options);
        if (const int status = runner.start(); status != 0)
            return status;
        return app.exec();
    }
    // Otherwise the program is the window; QApplication takes Qt's own options for itself.
    App app(argc, argv);
    SimulatorOptions options =
        SimulatorCommandLine::parse(QCoreApplication::arguments(), qgetenv("UNITSIM_CONTROL_TOKEN"));
    if (!SimulatorCommandLine::readFiles(options))
        return reportWithoutRunning(options);
    warnAboutIgnoredArguments(options);
    DatagramEndpoint::setSegmentOffload(options.segmentOffload);
    Window1 window(options.seed.value_or(drawSeed()));
    if (QString error; !window.openLogStore({options.logDir, options.logDiskLimit, {}}, &error)) {
        printToStderr(QStringLiteral("Cannot keep the traffic log: ") + error);
        QMessageBox::critical(nullptr, QStringLiteral("Traffic log"),
                              QStringLiteral("Cannot keep the traffic log:\n") + error);
        return 1;
    }
    if (options.control)
        window.startControlApi(*options.control);
    // Ctrl-C or a stop signal ends the window as closing it does: the log store it made goes too.
    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &app, &QCoreApplication::quit);
    window.show();
    return app.exec();
}
