#pragma once

#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "log/trafficlogwriter.h"
#include "simulatorcommandline.h"
#include "unit/unitsimulator.h"
#include "unixsignalwatcher.h"

#include <QObject>

#include <memory>

// The simulator without a window: the unit, its log as a stream on standard output, the state
// of its ports on standard error, the control API when asked for, and a clean stop on SIGINT
// or SIGTERM.
class HeadlessRunner : public QObject {
    Q_OBJECT

public:
    explicit HeadlessRunner(const SimulatorOptions& options, QObject* parent = nullptr);

    // Binds the control API's port first, when asked for, then both unit ports. False (and said
    // on standard error) when the control API cannot listen; nothing else is bound then. The
    // event loop then serves until a stop signal quits it; everything written so far reaches
    // standard output before the runner is gone.
    bool start();

private:
    SimulatorOptions m_options;
    UnitSimulator m_unit;
    TrafficLogWriter m_writer;
    UnixSignalWatcher m_signalWatcher;
    // Only with the control API: it reads the log back, so the log is kept.
    std::unique_ptr<TrafficLogModel> m_log;
    std::unique_ptr<ControlServer> m_control;
};
