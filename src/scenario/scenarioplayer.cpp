#include "scenarioplayer.h"

#include <algorithm>
#include <cmath>

namespace {
// A timer is never set further ahead than this; it wakes and sets itself again.
constexpr qint64 kMaxWaitMs = 60 * 60 * 1000;
} // namespace

ScenarioPlayer::ScenarioPlayer(const Scenario& scenario, const QList<UnitSimulator*>& units,
                               FaultRuleSet& rules, const QList<FaultRule>& extraRules, QObject* parent)
    : QObject(parent)
    , m_scenario(scenario)
    , m_units(units)
    , m_rules(rules)
    , m_extraRules(extraRules)
{
    for (int k = 0; k < m_scenario.timeline.size(); ++k) {
        const ScenarioEvent& event = m_scenario.timeline[k];
        m_steps.append({event.atMs, k, false});
        const bool lasts = event.kind == ScenarioEvent::Kind::Offline ||
                           event.kind == ScenarioEvent::Kind::Reboot ||
                           event.kind == ScenarioEvent::Kind::Fault;
        if (lasts && event.forMs > 0)
            m_steps.append({event.atMs + event.forMs, k, true});
    }
    // A span [at, at + for) is over before what begins at its end: a unit back at 10 s can be
    // rebooted again at 10 s.
    std::stable_sort(m_steps.begin(), m_steps.end(), [](const Step& a, const Step& b) {
        if (a.atMs != b.atMs)
            return a.atMs < b.atMs;
        return a.ending && !b.ending;
    });
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ScenarioPlayer::fireDue);
}

template <typename Action> void ScenarioPlayer::forEachUnit(const ScenarioUnits& which, Action action)
{
    const int last = which.isAll() ? int(m_units.size()) - 1 : std::min(which.last, int(m_units.size()) - 1);
    for (int k = which.isAll() ? 0 : which.first; k <= last; ++k)
        action(k, *m_units[k]);
}

void ScenarioPlayer::applyStart()
{
    const QList<FleetUnit> fleet = m_scenario.fleetUnits();
    m_rules.clear();
    for (const FaultRule& rule : std::as_const(m_scenario.faults))
        m_rules.add(rule);
    for (const FaultRule& rule : std::as_const(m_extraRules))
        m_rules.add(rule);
    for (int k = 0; k < m_units.size(); ++k) {
        UnitSimulator& unit = *m_units[k];
        unit.resetState();
        // The single unit keeps the profile it was started with (the window's selector, --profile),
        // and a proxy the one its real unit named.
        if (k < fleet.size() && fleet[k].profileGiven) {
            if (unit.profileIndex() != fleet[k].profile || unit.recording() != fleet[k].recording)
                unit.selectProfile(fleet[k].profile);
            unit.setRecording(fleet[k].recording);
        }
        unit.resetChannels();
        if (const std::optional<ChannelValues24> values = m_scenario.startChannels(k))
            unit.setChannels(*values);
        unit.reseed(unit.seed());
    }
    m_addedRules.clear();
    m_latenessUs.clear();
    m_spansEnded = 0;
    m_nextStep = 0;
    m_heldMs = 0;
    m_finished = false;
    if (m_running)
        m_clock.start();
}

void ScenarioPlayer::start()
{
    // Started again after its end, a scenario plays once more from 0.
    if (m_finished)
        return restart();
    if (m_running)
        return;
    m_running = true;
    m_clock.start();
    if (m_heldMs == 0 && m_nextStep == 0)
        log(QStringLiteral("scenario%1 started: %2, %3 event%4, time scale %5")
                .arg(m_scenario.name.isEmpty() ? QString() : QLatin1Char(' ') + m_scenario.name,
                     m_scenario.units.isEmpty() ? QStringLiteral("the single unit")
                                                : QStringLiteral("%1 units").arg(m_scenario.unitCount()))
                .arg(m_scenario.timeline.size())
                .arg(m_scenario.timeline.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(m_scenario.timeScale),
            TrafficLogEntry::EventMark::ScenarioStarted);
    else
        log(QStringLiteral("scenario runs on from %1").arg(scenarioDurationText(m_heldMs)));
    fireDue();
    emit stateChanged();
}

void ScenarioPlayer::stop()
{
    if (!m_running)
        return;
    m_heldMs = elapsedMs();
    m_running = false;
    m_timer.stop();
    log(QStringLiteral("scenario stopped at %1").arg(scenarioDurationText(m_heldMs)));
    emit stateChanged();
}

void ScenarioPlayer::restart()
{
    m_running = false;
    m_timer.stop();
    applyStart();
    start();
}

qint64 ScenarioPlayer::elapsedMs() const
{
    if (!m_running)
        return m_heldMs;
    return m_heldMs + qint64(double(m_clock.nsecsElapsed()) * m_scenario.timeScale / 1e6);
}

std::optional<ScenarioPlayer::Upcoming> ScenarioPlayer::next() const
{
    for (qsizetype k = m_nextStep; k < m_steps.size(); ++k) {
        const Step& step = m_steps[k];
        if (step.ending)
            continue;
        return Upcoming{step.atMs, m_scenario.eventText(m_scenario.timeline[step.event])};
    }
    return std::nullopt;
}

QString ScenarioPlayer::statusText() const
{
    const QString name = m_scenario.name.isEmpty() ? QString() : QLatin1Char(' ') + m_scenario.name;
    const QString elapsed = QString::number(double(elapsedMs()) / 1000, 'f', 1) + QStringLiteral(" s");
    const QString of =
        m_scenario.endMs ? QStringLiteral(" of ") + scenarioDurationText(*m_scenario.endMs) : QString();
    QString text = QStringLiteral("Scenario%1: %2%3").arg(name, elapsed, of);
    if (m_finished)
        return text + QStringLiteral("; finished");
    if (!m_running)
        text += QStringLiteral(" (stopped)");
    if (const std::optional<Upcoming> upcoming = next())
        text += QStringLiteral("; next: %1 at %2").arg(upcoming->text, scenarioDurationText(upcoming->atMs));
    else
        text += QStringLiteral("; no more events");
    return text;
}

ScenarioPlayer::Timing ScenarioPlayer::timing() const
{
    Timing timing;
    timing.ended = m_spansEnded;
    timing.fired = qsizetype(m_latenessUs.size()) - m_spansEnded;
    if (m_latenessUs.empty())
        return timing;
    std::vector<qint64> sorted = m_latenessUs;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) {
        return double(sorted[std::min(sorted.size() - 1, std::size_t(q * double(sorted.size())))]) / 1000;
    };
    timing.medianMs = at(0.5);
    timing.p99Ms = at(0.99);
    timing.maxMs = double(sorted.back()) / 1000;
    return timing;
}

QString ScenarioPlayer::timingText() const
{
    const Timing late = timing();
    return QStringLiteral("%1 event%2 fired%3, late by %4 ms (median), %5 ms (p99), %6 ms at most")
        .arg(late.fired)
        .arg(late.fired == 1 ? QString() : QStringLiteral("s"),
             late.ended == 0 ? QString()
                             : QStringLiteral(" (and %1 span%2 ended)")
                                   .arg(late.ended)
                                   .arg(late.ended == 1 ? QString() : QStringLiteral("s")))
        .arg(late.medianMs, 0, 'f', 2)
        .arg(late.p99Ms, 0, 'f', 2)
        .arg(late.maxMs, 0, 'f', 2);
}

bool ScenarioPlayer::isTimelineRule(int ruleId) const
{
    return std::any_of(m_addedRules.cbegin(), m_addedRules.cend(),
                       [&](const AddedRule& added) { return added.id == ruleId; });
}

void ScenarioPlayer::schedule()
{
    if (!m_running)
        return;
    qint64 dueMs = -1;
    if (m_nextStep < m_steps.size())
        dueMs = m_steps[m_nextStep].atMs;
    if (m_scenario.endMs && (dueMs < 0 || *m_scenario.endMs < dueMs))
        dueMs = *m_scenario.endMs;
    if (dueMs < 0)
        return;
    // In real time: the scenario's time runs `timeScale` times as fast.
    const double waitMs = double(dueMs - elapsedMs()) / m_scenario.timeScale;
    m_timer.start(int(std::clamp<qint64>(qint64(std::ceil(waitMs)), 0, kMaxWaitMs)));
}

void ScenarioPlayer::fireDue()
{
    if (!m_running)
        return;
    const auto nowMs = [this] {
        return double(m_heldMs) + double(m_clock.nsecsElapsed()) * m_scenario.timeScale / 1e6;
    };
    bool fired = false;
    while (m_running && m_nextStep < m_steps.size() && double(m_steps[m_nextStep].atMs) <= nowMs()) {
        const Step step = m_steps[m_nextStep++];
        const double lateMs = (nowMs() - double(step.atMs)) / m_scenario.timeScale;
        fire(step);
        fired = true;
        if (step.ending)
            ++m_spansEnded;
        m_latenessUs.push_back(qint64(lateMs * 1000));
        emit eventFired(m_latenessUs.back());
    }
    if (m_scenario.endMs && double(*m_scenario.endMs) <= nowMs()) {
        m_heldMs = *m_scenario.endMs;
        m_running = false;
        m_finished = true;
        m_timer.stop();
        log(QStringLiteral("scenario%1 ended at %2")
                .arg(m_scenario.name.isEmpty() ? QString() : QLatin1Char(' ') + m_scenario.name,
                     scenarioDurationText(*m_scenario.endMs)),
            TrafficLogEntry::EventMark::ScenarioEnded);
        emit stateChanged();
        emit finished();
        return;
    }
    schedule();
    if (fired)
        emit stateChanged();
}

void ScenarioPlayer::fire(const Step& step)
{
    const ScenarioEvent& event = m_scenario.timeline[step.event];
    const QString who = m_scenario.unitsText(event.units);
    using Mark = TrafficLogEntry::EventMark;
    // The units it acts on, for the mark on its line.
    const quint32 first = event.units.isAll() ? 0 : quint32(event.units.first);
    const quint32 last =
        event.units.isAll() ? quint32(std::max<qsizetype>(m_units.size(), 1) - 1) : quint32(event.units.last);
    Mark mark = Mark::None;
    switch (event.kind) {
    case ScenarioEvent::Kind::Offline:
        forEachUnit(event.units, [&](int, UnitSimulator& unit) { unit.setOffline(!step.ending); });
        if (step.ending)
            return log(QStringLiteral("scenario: %1 back online").arg(who), Mark::UnitsOnline, first, last);
        mark = Mark::UnitsOffline;
        break;
    case ScenarioEvent::Kind::Reboot:
        forEachUnit(event.units, [&](int, UnitSimulator& unit) {
            if (step.ending)
                unit.powerOn();
            else
                unit.powerOff();
        });
        if (step.ending)
            return log(
                QStringLiteral("scenario: %1 back after reboot, channels at their start values").arg(who),
                Mark::UnitsRebooted, first, last);
        mark = Mark::UnitsRebooting;
        break;
    case ScenarioEvent::Kind::Fault:
        if (step.ending) {
            for (qsizetype k = m_addedRules.size() - 1; k >= 0; --k) {
                if (m_addedRules[k].event != step.event)
                    continue;
                m_rules.remove(m_addedRules[k].id);
                m_addedRules.removeAt(k);
            }
            return log(QStringLiteral("scenario: fault \"%1\" on %2 ended").arg(event.rule.text, who),
                       Mark::FaultEnded, first, last);
        }
        addRuleForUnits(step.event, event);
        mark = Mark::FaultAdded;
        break;
    case ScenarioEvent::Kind::Profile:
        forEachUnit(event.units, [&](int, UnitSimulator& unit) { unit.selectProfile(event.profile); });
        break;
    case ScenarioEvent::Kind::Channels:
        forEachUnit(event.units, [&](int, UnitSimulator& unit) { unit.setChannels(event.channels); });
        break;
    }
    log(QStringLiteral("scenario: ") + m_scenario.eventText(event), mark, first, last);
}

void ScenarioPlayer::addRuleForUnits(int eventIndex, const ScenarioEvent& event)
{
    // Every unit gets the rule, narrowed to the event's units: the units of a fleet keep one list
    // of rules with the same ids (the control API names a rule by its id on all of them), and a
    // unit the rule does not name keeps its fast path.
    FaultRule rule = event.rule;
    if (!event.units.isAll()) {
        if (rule.unitsAddress != 0) {
            const auto named = std::find_if(m_units.cbegin(), m_units.cend(), [&](const UnitSimulator* unit) {
                return unit->address().toIPv4Address() == rule.unitsAddress;
            });
            if (named == m_units.cend() || !event.units.contains(int(named - m_units.cbegin()))) {
                rule.unitsAddress = 0;
                rule.unitsFirst = 1;
                rule.unitsLast = 0; // names none of them
            }
        } else {
            rule.unitsFirst = std::max(rule.unitsFirst, event.units.first);
            rule.unitsLast = std::min(rule.unitsLast, event.units.last);
        }
    }
    m_addedRules.append({eventIndex, m_rules.add(rule)});
}

void ScenarioPlayer::log(const QString& text, TrafficLogEntry::EventMark mark, quint32 firstUnit,
                         quint32 lastUnit)
{
    emit eventLogged(TrafficLogEntry::event(text, mark, firstUnit, lastUnit));
}
