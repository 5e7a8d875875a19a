#pragma once

#include "expectationdefinition.h"
#include "explorespace.h"
#include "fault/faultrule.h"
#include "fleet/unitfleet.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>

using ChannelValues24 = std::array<quint8, 24>;

// A group of units of a scenario: `count` units on consecutive addresses from `first`.
struct ScenarioUnitGroup {
    quint32 first = 0; // IPv4, host byte order
    int count = 1;
    // Written as `address` (one unit) rather than `count` + `first`.
    bool single = false;
    int profile = 0;
    // Unit k of the group poses as profile k mod 9.
    bool cycle = false;
    // Values for channels 2 to 25 at the start, as a set-channels frame would set them.
    std::optional<ChannelValues24> channels;
    // A proxy unit (single): the real unit it stands in front of (0: a simulated unit), and
    // whether its profile was given or is asked of the real unit.
    quint32 proxy = 0;
    bool profileGiven = true;
    // Units that answer as the recorded real unit did; `profile` is then the recording's.
    std::shared_ptr<const RecordedUnit> recording;
};

// Which units an event acts on.
struct ScenarioUnits {
    int first = 0;
    int last = -1; // below first: every unit
    QString text;  // as written (an index range or an address), for saving; empty for all

    bool isAll() const { return last < first; }
    bool contains(int index) const { return isAll() || (index >= first && index <= last); }
};

// One thing that happens at a moment of the scenario's time.
struct ScenarioEvent {
    enum class Kind { Offline, Reboot, Fault, Profile, Channels };

    qint64 atMs = 0;
    ScenarioUnits units;
    Kind kind = Kind::Offline;
    // How long an outage, a reboot or a fault lasts; 0: for the rest of the run (offline, fault).
    qint64 forMs = 0;
    FaultRule rule;
    int profile = 0;
    ChannelValues24 channels{};

    static constexpr qint64 kDefaultRebootMs = 2000;
    static const char* kindName(Kind kind);
};

// A whole situation: which units, their profiles, channel values and fault rules, under which
// seed, and what happens to them over time. The file, the window and the control API all read
// and write this one structure.
struct Scenario {
    static constexpr int kVersion = 1;
    static constexpr double kMinTimeScale = 0.01;
    static constexpr double kMaxTimeScale = 1000;

    QString name;
    std::optional<quint64> seed;
    double timeScale = 1.0; // 10 plays a 60 s timeline in 6 s
    // Empty: the single unit, on every address of the machine.
    QList<ScenarioUnitGroup> units;
    QList<FaultRule> faults;
    // In the order written; events at the same moment act in that order.
    QList<ScenarioEvent> timeline;
    std::optional<qint64> endMs; // none: runs until stopped
    // What the controller must do while it plays, judged live and at the end.
    QList<ExpectationDefinition> expect;
    // What an exploration may add to it, run by run (--explore).
    std::optional<ExploreSpace> explore;

    // The units, in order: the groups one after another. Empty for the single unit.
    QList<FleetUnit> fleetUnits() const;
    // How many units there are: 1 for the single unit.
    int unitCount() const;
    // The start channel values of unit `index`, when the scenario sets them.
    std::optional<ChannelValues24> startChannels(int index) const;
    // What "the unit" means in the scenario's texts: "the unit", an address, or a range.
    QString unitsText(const ScenarioUnits& units) const;
    // The event in words, for the log and the status bar: "reboot 127.0.1.7 for 2 s".
    QString eventText(const ScenarioEvent& event) const;
};

// A duration for people: "2 s", "0.25 s", "90 s".
QString scenarioDurationText(qint64 ms);
