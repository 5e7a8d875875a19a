#pragma once

#include "fault/faultruleset.h"
#include "fleet/unitfleet.h"
#include "scenario.h"
#include "scenarioplayer.h"
#include "unit/unitsimulator.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>

// The units a run simulates (the single unit on every address, or a fleet) and the scenario that
// plays on them. A scenario with other units replaces them; the window, the control API and the
// headless runner ask the session for the units they show or steer, and hear unitsReplaced().
class ScenarioSession : public QObject {
    Q_OBJECT

public:
    explicit ScenarioSession(quint64 seed, QObject* parent = nullptr);
    ~ScenarioSession() override;

    // Unit k of a fleet draws from a seed made from this one and k; the single unit from it.
    quint64 seed() const { return m_seed; }
    // From now on every unit draws as if it had been made with `seed`.
    void reseed(quint64 seed);

    // The units now; none before startUnits().
    const QList<UnitSimulator*>& units() const { return m_units; }
    // The fault rules of all the units, kept in step: add, remove and turn rules on or off here.
    FaultRuleSet& faultRules() { return m_faultRules; }
    const FaultRuleSet& faultRules() const { return m_faultRules; }
    bool isFleet() const { return bool(m_fleet); }
    const UnitFleet* fleet() const { return m_fleet.get(); }
    // Who sent what to the units: the fleet's table, or the single unit's.
    const PeerTable& peers() const;
    // The units a peer of peers() touched, as units= takes them; the single unit is unit 0.
    QString unitsOf(const PeerTable::Peer& peer) const
    {
        return m_fleet ? peer.unitRanges() : QStringLiteral("0");
    }
    // Each unit's address, for a fleet; empty for the single unit.
    QStringList unitAddresses() const;

    // Makes the units anew (the single unit, on `profile`, when `fleet` is empty), gives each the
    // `rules`, and binds them. A fleet needs an open file a unit; false, with why, and nothing
    // changed, when the process cannot have them.
    bool startUnits(const QList<FleetUnit>& fleet, int profile, const QList<FaultRule>& rules,
                    QString* error);
    // Raises the process's limit of open files for a fleet of `units`; false, with why, when the
    // system does not allow that many.
    static bool reserveOpenFiles(qsizetype units, bool dense, QString* error);
    // Fleets from now on are dense (see UnitFleet) whatever their size; otherwise only those of
    // more than UnitFleet::kDenseAbove units are.
    void setDense(bool dense) { m_dense = dense; }
    bool isDenseFleet(qsizetype units) const { return m_dense || units > UnitFleet::kDenseAbove; }
    // The first half of startUnits(): the units made, with their rules, and not bound.
    void makeUnits(const QList<FleetUnit>& fleet, const QList<FaultRule>& rules);

    // Rules that every scenario's units get after the scenario's own (the command line's --fault).
    void setExtraRules(const QList<FaultRule>& rules) { m_extraRules = rules; }
    // Plays `scenario` from 0: the units it names (made anew when they are not the ones running;
    // the single unit keeps its profile), in its start state, under its seed (this session's
    // seed when it has none). False, with why, and the running units untouched, when a fleet
    // cannot be made.
    bool play(const Scenario& scenario, QString* error);
    // The scenario being played, if any.
    ScenarioPlayer* player() const { return m_player.get(); }
    // The state as it is now, as a scenario: the units with their current profiles and channel
    // values, the rules that are on (not those the timeline put there), the seed, and the
    // timeline of the scenario being played.
    Scenario snapshot() const;

signals:
    // A line for the traffic log: unit k's (its index), or the scenario's own (-1).
    void trafficLogged(int unit, const TrafficLogEntry& entry);
    // An endpoint was bound or failed to bind: unit k's unit port, or (-1) the discovery port.
    void endpointStateChanged(int unit, bool listening, const QString& text);
    void replyNotSent(const QString& message);
    // Unit k took `profile`, whoever chose it.
    void profileChanged(int unit, int profile);
    // The units were made anew: anything holding on to one must let go and ask again.
    void unitsReplaced();
    // play() put a new scenario in place (before it starts).
    void scenarioLoaded();
    // A scenario was loaded, started, stopped, or one of its events fired.
    void scenarioChanged();
    void scenarioFinished();

private:
    void wireSingle();
    void wireFleet();
    bool sameUnitsAs(const QList<FleetUnit>& fleet) const;

    quint64 m_seed;
    QList<FaultRule> m_extraRules;
    bool m_dense = false;
    FaultRuleSet m_faultRules;
    std::unique_ptr<UnitSimulator> m_single;
    std::unique_ptr<UnitFleet> m_fleet;
    // Declared after the units it plays on, so that it goes before them.
    std::unique_ptr<ScenarioPlayer> m_player;
    QList<UnitSimulator*> m_units;
};
