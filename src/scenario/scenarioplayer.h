#pragma once

#include "fault/faultruleset.h"
#include "record/trafficlogentry.h"
#include "scenario.h"
#include "unit/unitsimulator.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <optional>
#include <vector>

// Plays a scenario's timeline on its units: puts them in the scenario's start state, then fires
// each event at its time (divided by the time scale), and says so in the log.
//
// The clock is the scenario's own: stop() holds it where it is (the units stay as they are) and
// start() runs it on from there; restart() puts the units back in the start state and plays
// from 0. At `end` the player stops and reports finished().
class ScenarioPlayer : public QObject {
    Q_OBJECT

public:
    // Unit k of `units` is the scenario's unit k (the single unit when the scenario has no groups).
    // `extraRules` go on every unit after the scenario's own (the command line's --fault).
    // Rules go on and off the units through `rules`, which holds the units' injectors.
    ScenarioPlayer(const Scenario& scenario, const QList<UnitSimulator*>& units, FaultRuleSet& rules,
                   const QList<FaultRule>& extraRules = {}, QObject* parent = nullptr);

    const Scenario& scenario() const { return m_scenario; }

    // Puts every unit in the scenario's start state: answering, its start profile (re-bound only
    // when it differs), its start channel values, the scenario's rules alone, and its draws as
    // they were at the start.
    void applyStart();
    // Runs the clock from where it stands; after the end, restart().
    void start();
    // Holds the clock; the units stay as they are.
    void stop();
    // applyStart(), then plays from 0.
    void restart();

    bool isRunning() const { return m_running; }
    bool isFinished() const { return m_finished; }
    // The scenario's time, in milliseconds: real time since start, times the time scale.
    qint64 elapsedMs() const;
    // The next event to fire, if any: its time and its text.
    struct Upcoming {
        qint64 atMs = 0;
        QString text;
    };
    std::optional<Upcoming> next() const;
    // "Scenario NAME: 12.3 s of 60 s; next: reboot 127.0.1.7 at 20 s".
    QString statusText() const;

    // How late the events fired since the start, in real milliseconds.
    struct Timing {
        qsizetype fired = 0; // the timeline's events, as the start line counts them
        qsizetype ended = 0; // ends of their spans (an outage over, say), timed as events are
        double medianMs = 0;
        double p99Ms = 0;
        double maxMs = 0;
    };
    Timing timing() const;
    // "240 events fired (and 12 spans ended), late by 0.5 ms (median), 1.0 ms (p99), 1.3 ms at most".
    QString timingText() const;

    // Whether the rule with this id (the same on every unit) is one the timeline put there, and
    // will take away.
    bool isTimelineRule(int ruleId) const;

signals:
    // A line for the traffic log: an event fired, or the scenario started or ended.
    void eventLogged(const TrafficLogEntry& entry);
    // An event fired `latenessUs` after its time.
    void eventFired(qint64 latenessUs);
    void finished();
    // Started, stopped, restarted, or an event fired: what statusText() says has changed.
    void stateChanged();

private:
    // One step of the timeline: an event begins, or the span of one with `for` ends.
    struct Step {
        qint64 atMs = 0;
        int event = 0;
        bool ending = false;
    };
    struct AddedRule {
        int event;
        int id;
    };

    void schedule();
    void fireDue();
    void fire(const Step& step);
    void log(const QString& text, TrafficLogEntry::EventMark mark = TrafficLogEntry::EventMark::None,
             quint32 firstUnit = TrafficLogEntry::kNoUnit, quint32 lastUnit = TrafficLogEntry::kNoUnit);
    void addRuleForUnits(int eventIndex, const ScenarioEvent& event);
    template <typename Action> void forEachUnit(const ScenarioUnits& which, Action action);

    Scenario m_scenario;
    QList<UnitSimulator*> m_units;
    FaultRuleSet& m_rules;
    QList<FaultRule> m_extraRules;
    QList<Step> m_steps; // by time; at one moment, ends before beginnings, then in file order
    qsizetype m_nextStep = 0;
    QList<AddedRule> m_addedRules;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_heldMs = 0;              // the scenario's time when the clock last started or stopped
    std::vector<qint64> m_latenessUs; // of each step fired since the start
    qsizetype m_spansEnded = 0;       // of those steps, the ends of spans
    bool m_running = false;
    bool m_finished = false;
};
