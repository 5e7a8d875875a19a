#include "scenariosession.h"

#include "fleet/openfilelimit.h"
#include "record/unitprofiles.h"

ScenarioSession::ScenarioSession(quint64 seed, QObject* parent)
    : QObject(parent)
    , m_seed(seed)
{
    // A rule that wore off went from every unit: one line for all of them.
    connect(&m_faultRules, &FaultRuleSet::ruleWornOff, this, [this](int, const QString& text) {
        emit trafficLogged(-1, TrafficLogEntry::notice(QStringLiteral("fault ") + text));
    });
}

ScenarioSession::~ScenarioSession() = default;

const PeerTable& ScenarioSession::peers() const
{
    static const PeerTable none;
    return m_fleet ? m_fleet->peers() : m_single ? m_single->peers() : none;
}

void ScenarioSession::reseed(quint64 seed)
{
    m_seed = seed;
    for (qsizetype k = 0; k < m_units.size(); ++k)
        m_units[k]->reseed(m_fleet ? UnitFleet::unitSeed(seed, k) : seed);
}

QStringList ScenarioSession::unitAddresses() const
{
    QStringList addresses;
    if (m_fleet) {
        for (const UnitSimulator* unit : m_units)
            addresses << unit->address().toString();
    }
    return addresses;
}

bool ScenarioSession::startUnits(const QList<FleetUnit>& fleet, int profile, const QList<FaultRule>& rules,
                                 QString* error)
{
    if (!fleet.isEmpty() && !reserveOpenFiles(fleet.size(), isDenseFleet(fleet.size()), error))
        return false;
    makeUnits(fleet, rules);
    if (m_fleet)
        m_fleet->start();
    else
        m_single->start(profile);
    return true;
}

bool ScenarioSession::reserveOpenFiles(qsizetype units, bool dense, QString* error)
{
    // Two sockets a unit (unit port, discovery on its address) and one for the fleet's broadcast
    // discovery, with room for what Qt and the process hold; a dense fleet's few sockets fit the
    // room.
    const quint64 needed = (dense ? 0 : 2 * quint64(units)) + 64;
    QString why;
    if (raiseOpenFileLimit(needed, &why))
        return true;
    *error = QStringLiteral("%1 units need %2 open files: %3").arg(units).arg(needed).arg(why);
    return false;
}

void ScenarioSession::makeUnits(const QList<FleetUnit>& fleet, const QList<FaultRule>& rules)
{
    m_player.reset();
    m_units.clear();
    // The old units go before the new ones bind: they may hold the same addresses and ports.
    m_single.reset();
    m_fleet.reset();
    if (fleet.isEmpty()) {
        m_single = std::make_unique<UnitSimulator>(m_seed);
        m_units << m_single.get();
        wireSingle();
    } else {
        m_fleet = std::make_unique<UnitFleet>(fleet, m_seed,
                                              isDenseFleet(fleet.size()) ? UnitFleet::Sockets::Dense
                                                                         : UnitFleet::Sockets::PerUnit);
        for (qsizetype k = 0; k < m_fleet->size(); ++k)
            m_units << &m_fleet->unit(k);
        wireFleet();
    }
    QList<FaultInjector*> injectors;
    for (UnitSimulator* unit : std::as_const(m_units))
        injectors << &unit->faults();
    m_faultRules.setInjectors(injectors);
    for (const FaultRule& rule : rules)
        m_faultRules.add(rule);
    emit unitsReplaced();
}

void ScenarioSession::wireSingle()
{
    UnitSimulator* unit = m_single.get();
    connect(unit, &UnitSimulator::trafficLogged, this,
            [this](const TrafficLogEntry& entry) { emit trafficLogged(0, entry); });
    connect(unit, &UnitSimulator::endpointStateChanged, this,
            [this, unit](UnitSimulator::Endpoint endpoint, const QString& text) {
                const bool discovery = endpoint == UnitSimulator::Endpoint::Discovery;
                emit endpointStateChanged(
                    discovery ? -1 : 0,
                    discovery ? unit->discoveryEndpoint().isBound() : unit->unitEndpoint().isBound(), text);
            });
    connect(unit, &UnitSimulator::replyNotSent, this, &ScenarioSession::replyNotSent);
    connect(unit, &UnitSimulator::profileChanged, this,
            [this](int profile) { emit profileChanged(0, profile); });
}

void ScenarioSession::wireFleet()
{
    connect(m_fleet.get(), &UnitFleet::trafficLogged, this, &ScenarioSession::trafficLogged);
    // The units of a fleet bind no discovery endpoint of their own: the fleet's reports as -1.
    connect(m_fleet.get(), &UnitFleet::endpointStateChanged, this, &ScenarioSession::endpointStateChanged);
    connect(m_fleet.get(), &UnitFleet::replyNotSent, this, &ScenarioSession::replyNotSent);
    connect(m_fleet.get(), &UnitFleet::profileChanged, this, &ScenarioSession::profileChanged);
}

bool ScenarioSession::sameUnitsAs(const QList<FleetUnit>& fleet) const
{
    if (fleet.isEmpty() || !m_fleet)
        return fleet.isEmpty() && m_single;
    if (fleet.size() != m_units.size())
        return false;
    // A unit is made a proxy once, before it starts: one that stands in front of another real
    // unit, or no longer does, is a unit to make anew.
    for (qsizetype k = 0; k < fleet.size(); ++k) {
        const UnitRelay* relay = m_units[k]->relay();
        const quint32 real = fleet[k].proxy.isNull() ? 0 : fleet[k].proxy.toIPv4Address();
        if (fleet[k].address != m_units[k]->address() || (relay ? relay->realAddress() : 0) != real)
            return false;
    }
    return true;
}

bool ScenarioSession::play(const Scenario& scenario, QString* error)
{
    if (scenario.seed)
        m_seed = *scenario.seed;
    const QList<FleetUnit> fleet = scenario.fleetUnits();
    if (sameUnitsAs(fleet)) {
        m_player.reset();
        reseed(m_seed);
    } else {
        const int profile = m_single ? m_single->profileIndex() : 0;
        if (!startUnits(fleet, profile, {}, error))
            return false;
    }
    m_player = std::make_unique<ScenarioPlayer>(scenario, m_units, m_faultRules, m_extraRules);
    connect(m_player.get(), &ScenarioPlayer::eventLogged, this,
            [this](const TrafficLogEntry& entry) { emit trafficLogged(-1, entry); });
    connect(m_player.get(), &ScenarioPlayer::stateChanged, this, &ScenarioSession::scenarioChanged);
    connect(m_player.get(), &ScenarioPlayer::finished, this, &ScenarioSession::scenarioFinished);
    m_player->applyStart();
    emit scenarioLoaded();
    emit scenarioChanged();
    m_player->start();
    return true;
}

Scenario ScenarioSession::snapshot() const
{
    Scenario scenario = m_player ? m_player->scenario() : Scenario{};
    scenario.seed = m_seed;
    scenario.units.clear();
    // A unit's values, when they are not the start values.
    const auto channelsOf = [](const UnitSimulator& unit) -> std::optional<ChannelValues24> {
        ChannelArray start{};
        setStartChannelValues(start);
        if (unit.channelValues() == start)
            return std::nullopt;
        ChannelValues24 values{};
        for (std::size_t k = 0; k < values.size(); ++k)
            values[k] = quint8(unit.channelValues()[k + 2]);
        return values;
    };
    if (m_fleet) {
        // Runs of consecutive addresses that look alike become one group each.
        for (const UnitSimulator* unit : m_units) {
            const quint32 address = unit->address().toIPv4Address();
            if (const UnitRelay* relay = unit->relay()) {
                // A proxy's channels are the real unit's, and its profile asked of it unless given.
                ScenarioUnitGroup proxy;
                proxy.first = address;
                proxy.single = true;
                proxy.profile = unit->profileIndex();
                proxy.proxy = relay->realAddress();
                proxy.profileGiven = unit->proxyProfileGiven();
                scenario.units.append(proxy);
                continue;
            }
            const std::optional<ChannelValues24> channels = channelsOf(*unit);
            if (!scenario.units.isEmpty() && !scenario.units.last().proxy) {
                ScenarioUnitGroup& last = scenario.units.last();
                const int profile = unit->profileIndex();
                const bool next = last.first + quint32(last.count) == address && last.channels == channels &&
                                  last.recording == unit->recording();
                // A group that cycles goes on cycling; one of a single profile-0 unit may start to.
                const bool cycles = (last.cycle || (last.count == 1 && last.profile == 0 && profile == 1)) &&
                                    profile == last.count % kProfileCount;
                if (next && (last.recording || cycles || (!last.cycle && last.profile == profile))) {
                    last.cycle = last.cycle || cycles;
                    ++last.count;
                    last.single = false;
                    continue;
                }
            }
            scenario.units.append({.first = address,
                                   .count = 1,
                                   .single = true,
                                   .profile = unit->profileIndex(),
                                   .channels = channels,
                                   .recording = unit->recording()});
        }
    }
    if (m_single) {
        // The single unit has no group to hold its profile and values: events at 0 set them.
        QList<ScenarioEvent> start;
        if (m_single->profileIndex() != 0) {
            ScenarioEvent profile;
            profile.kind = ScenarioEvent::Kind::Profile;
            profile.profile = m_single->profileIndex();
            start.append(profile);
        }
        if (const std::optional<ChannelValues24> channels = channelsOf(*m_single)) {
            ScenarioEvent values;
            values.kind = ScenarioEvent::Kind::Channels;
            values.channels = *channels;
            start.append(values);
        }
        scenario.timeline = start + scenario.timeline;
    }
    scenario.faults.clear();
    if (!m_units.isEmpty()) {
        for (const FaultInjector::Entry& entry : m_faultRules.rules()) {
            if (entry.rule.enabled && !(m_player && m_player->isTimelineRule(entry.id)))
                scenario.faults << entry.rule;
        }
    }
    return scenario;
}
