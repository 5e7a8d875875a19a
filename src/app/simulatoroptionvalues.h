#pragma once
// The values of the simulator's options, each read and checked on its own; every function that
// returns a QString returns what is wrong (for the usage error), or nothing.

#include "simulatoroptions.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace SimulatorOptionValues {

// "  0  NAME" a line per profile, for the help text.
QString profileList();
// --control [ADDRESS:]PORT (an IPv6 address in brackets: [::1]:8080) into `control`.
QString parseControl(const QString& value, ControlOptions& control);
// A control API off loopback needs its token.
QString controlTokenProblem(const ControlOptions& control);
// The first line of --control-token-file's file.
QByteArray readTokenFile(const QString& path, QString* error);
// --units COUNT[@FIRST_ADDRESS], --unit ADDRESS[:PROFILE] and --proxy ADDRESS[:PROFILE]=REAL into
// the fleet's units, in order. Everything is checked before any unit is made.
QString parseFleet(const QStringList& counts, const QStringList& units, const QStringList& proxies,
                   int profile, bool cycle, QList<FleetUnit>& fleet);
// --log-dir or --log-disk-limit (`name` without its dashes) into `options`.
QString parseLogStoreOption(const QString& name, const QString& value, SimulatorOptions& options);
// --time-scale's value: a number from 0.01 to 1000.
std::optional<double> parseTimeScale(const QString& text);
QString timeScaleError(const QString& text);
QString seedError(const QString& value);
// A fault rule that names units none of `fleet` is (none: the single unit) could never act.
QString faultUnitsProblem(const QList<FaultRule>& faults, const QList<FleetUnit>& fleet);
// What the command line changes of the scenario in `options`, with a note for each change that
// overrides the file.
void applyOnTop(SimulatorOptions& options);

} // namespace SimulatorOptionValues

// A seed as the user writes it: a whole number from 0 to 2^64 - 1.
std::optional<quint64> parseSeed(const QString& text);
