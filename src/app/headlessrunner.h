#pragma once

#include "capture/trafficcapture.h"
#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "log/trafficlogwriter.h"
#include "report/runpicture.h"
#include "scenario/scenariosession.h"
#include "simulatorcommandline.h"
#include "unixsignalwatcher.h"
#include "verify/expectationmonitor.h"

#include <QObject>

#include <memory>

// The simulator without a window: the unit (or a fleet of them), its log as a stream on standard
// output, the state of its ports on standard error, the control API when asked for, and a clean
// stop on SIGINT or SIGTERM.
class HeadlessRunner : public QObject {
    Q_OBJECT

public:
    explicit HeadlessRunner(const SimulatorOptions& options, QObject* parent = nullptr);

    // Binds the control API's port first, when asked for, then the units' ports. Returns 0 when
    // serving (a scenario with an end quits the event loop with 0 there); otherwise the exit status, having
    // said why on standard error: 1 when the control API cannot listen, or a port of a unit cannot be bound
    // (unless told to keep going), 2 when a fleet cannot have the open files it needs (nothing is bound
    // then). The event loop then serves until a stop signal quits it; everything written so far reaches
    // standard output before the runner is gone.
    int start();

private:
    int startFleet();
    // Listens for the control API when asked to; false, having said why, when it cannot.
    bool listenForControl();
    // Opens the capture file when asked to; false, having said why, when it cannot.
    bool openCapture();
    // Whether the run keeps its log (for the control API, or on disk when asked to).
    bool keepsLog() const;
    // Gives the log its store on disk; false, having said why, when it cannot.
    bool openLogStore();
    // Plays the scenario of the command line, when there is one.
    void startScenario();
    // The log, the stream and the capture name a fleet's units by address.
    void takeUnitAddresses();
    // The run's verdict on the scenario's expectations, decided now if it was not: says it on
    // standard error (once a scenario), writes the report when asked to, and gives the exit status.
    int concludeExpectations();
    // Writes the expectations as they stand to --report's file; false, having said why, when it cannot.
    bool writeReport();
    // Writes the picture of the run to --report-html's file; false, having said why, when it cannot.
    bool writeHtmlReport();
    // With --exit-with-stdin: ends the run as SIGTERM does once standard input closes.
    void watchStandardInput();

    SimulatorOptions m_options;
    TrafficLogWriter m_writer;
    UnixSignalWatcher m_signalWatcher;
    std::unique_ptr<QSocketNotifier> m_standardInput;
    TrafficCapture m_capture;
    // Only with the control API (which reads the log back) or --log-dir.
    std::unique_ptr<TrafficLogModel> m_log;
    ScenarioSession m_session;
    // Judges the scenario's expectations, on the log; with the log only.
    std::unique_ptr<ExpectationMonitor> m_monitor;
    std::unique_ptr<ControlServer> m_control;
    // The run as a picture, for --report-html.
    std::unique_ptr<RunPicture> m_picture;
    // The command line's scenario ends the run at its end; one put through the API does not.
    bool m_exitAtEnd = false;
    // The verdict on the scenario now playing was given, with this exit status.
    std::optional<int> m_verdict;
};
