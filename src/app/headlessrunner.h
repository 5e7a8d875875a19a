#pragma once

#include "log/trafficlogwriter.h"
#include "simulatorcommandline.h"
#include "unit/unitsimulator.h"
#include "unixsignalwatcher.h"

#include <QObject>

// The simulator without a window: the unit, its log as a stream on standard output, the state
// of its ports on standard error, and a clean stop on SIGINT or SIGTERM.
class HeadlessRunner : public QObject {
    Q_OBJECT

public:
    explicit HeadlessRunner(const SimulatorOptions& options, QObject* parent = nullptr);

    // Binds both ports. The event loop then serves until a stop signal quits it; everything
    // written so far reaches standard output before the runner is gone.
    void start();

private:
    SimulatorOptions m_options;
    UnitSimulator m_unit;
    TrafficLogWriter m_writer;
    UnixSignalWatcher m_signalWatcher;
};
