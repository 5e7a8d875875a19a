#include "unitfleet.h"

#include "record/unitprofiles.h"
#include "unit/discovery.h"

#include <QNetworkInterface>

QString proxyRing(const QList<FleetUnit>& units)
{
    QHash<quint32, quint32> realOf; // proxy address -> the address it passes on to
    for (const FleetUnit& unit : units) {
        if (!unit.proxy.isNull())
            realOf.insert(unit.address.toIPv4Address(), unit.proxy.toIPv4Address());
    }
    // From each proxy in the order given, so that the same units are always named the same way.
    for (const FleetUnit& unit : units) {
        if (unit.proxy.isNull())
            continue;
        const quint32 start = unit.address.toIPv4Address();
        QStringList path{unit.address.toString()};
        quint32 at = unit.proxy.toIPv4Address();
        // Each step moves to another proxy; a ring comes back within as many steps as there are.
        for (qsizetype step = 0; step <= realOf.size(); ++step) {
            path << QHostAddress(at).toString();
            if (at == start)
                return path.join(QStringLiteral(" -> "));
            const auto next = realOf.constFind(at);
            if (next == realOf.cend())
                break;
            at = *next;
        }
    }
    return {};
}

UnitFleet::UnitFleet(const QList<FleetUnit>& units, quint64 seed, QObject* parent)
    : QObject(parent)
    , m_discovery(qsizetype(kDiscoveryRequest.size()) + 1)
{
    m_peers.setTracksUnits(true);
    m_units.reserve(std::size_t(units.size()));
    for (qsizetype k = 0; k < units.size(); ++k) {
        auto unit = std::make_unique<UnitSimulator>(unitSeed(seed, k), &m_poller);
        unit->setAddress(units[k].address);
        unit->setSharedPeers(&m_peers, int(k));
        unit->setSharedDiscovery(&m_discovery);
        unit->setSharedBatch(&m_batch);
        if (!units[k].proxy.isNull()) {
            unit->setProxy(units[k].proxy.toIPv4Address(), units[k].profileGiven);
            m_proxies.push_back(unit.get());
        }
        unit->setRecording(units[k].recording);
        m_byAddress.insert(units[k].address.toIPv4Address(), int(k));
        unit->faults().setUnit(int(k), units[k].address.toIPv4Address());
        unit->setOwnEndpointTest(
            [this](quint32 address, quint16 port) { return isOwnEndpoint(address, port); });
        UnitSimulator* raw = unit.get();
        const int index = int(k);
        connect(raw, &UnitSimulator::trafficLogged, this,
                [this, index](const TrafficLogEntry& entry) { emit trafficLogged(index, entry); });
        connect(raw, &UnitSimulator::endpointStateChanged, this,
                [this, index, raw](UnitSimulator::Endpoint endpoint, const QString& text) {
                    const bool listening = endpoint == UnitSimulator::Endpoint::Unit
                                               ? raw->unitEndpoint().isBound()
                                               : raw->discoveryEndpoint().isBound();
                    emit endpointStateChanged(index, listening, text);
                });
        connect(raw, &UnitSimulator::replyNotSent, this, &UnitFleet::replyNotSent);
        m_units.push_back(std::move(unit));
    }
    m_profiles.reserve(units.size());
    for (const FleetUnit& unit : units)
        m_profiles.append(unit.profile);
    // One endpoint on all addresses hears discovery for every unit; the address a request was
    // sent to says which unit it is for.
    m_discovery.setReceiveDestination(true);
    m_discovery.setDrainObserver(&m_batch);
    connect(&m_discovery, &DatagramEndpoint::datagramReceived, this, &UnitFleet::answerDiscovery);
    connect(&m_discovery, &DatagramEndpoint::sendFailed, this, [this](const QString& reason) {
        emit replyNotSent(QStringLiteral("A discovery reply could not be sent: ") + reason);
    });
    connect(&m_discovery, &DatagramEndpoint::bindStateChanged, this, [this] {
        const QString state =
            QStringLiteral("Fleet discovery port %1 on all addresses: ").arg(kDiscoveryPort);
        emit endpointStateChanged(-1, m_discovery.isBound(),
                                  state + (m_discovery.isBound() ? QStringLiteral("listening")
                                                                 : QStringLiteral("not listening \u2014 ") +
                                                                       m_discovery.bindError()));
    });
}

UnitFleet::~UnitFleet() = default;

quint64 UnitFleet::unitSeed(quint64 seed, qsizetype index)
{
    // splitmix64 of the pair: neighbouring units get unrelated seeds.
    quint64 z = seed + 0x9E3779B97F4A7C15ull * quint64(index + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void UnitFleet::start()
{
    findBroadcastAddresses();
    for (std::size_t k = 0; k < m_units.size(); ++k)
        m_units[k]->start(m_profiles[qsizetype(k)]);
    // Shared, as before with a socket a unit: another fleet process on other addresses still
    // hears broadcasts.
    m_discovery.bind(QHostAddress(QHostAddress::AnyIPv4), kDiscoveryPort, DatagramEndpoint::Sharing::Shared);
}

qsizetype UnitFleet::listeningCount() const
{
    return std::count_if(m_units.cbegin(), m_units.cend(), [](const std::unique_ptr<UnitSimulator>& unit) {
        return unit->unitEndpoint().isBound() && unit->discoveryEndpoint().isBound();
    });
}

void UnitFleet::findBroadcastAddresses()
{
    m_broadcasts = {0xffffffffu};
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            m_loopbackInterface = interface.index();
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            bool isIPv4 = false;
            const quint32 ip = entry.ip().toIPv4Address(&isIPv4);
            const quint32 broadcast = entry.broadcast().toIPv4Address();
            if (!isIPv4 || broadcast == 0)
                continue;
            const quint32 mask = entry.netmask().toIPv4Address();
            const bool holdsUnits = std::any_of(m_units.cbegin(), m_units.cend(), [&](const auto& unit) {
                return (unit->address().toIPv4Address() & mask) == (ip & mask);
            });
            if (holdsUnits)
                m_broadcasts.insert(broadcast);
        }
    }
    // Loopback has no broadcast address of its own; 127.255.255.255 reaches every socket on it.
    const bool onLoopback = std::any_of(m_units.cbegin(), m_units.cend(), [](const auto& unit) {
        return (unit->address().toIPv4Address() >> 24) == 127;
    });
    if (onLoopback)
        m_broadcasts.insert(0x7fffffffu);
}

bool UnitFleet::isOwnEndpoint(quint32 address, quint16 port)
{
    const bool local = m_byAddress.contains(address) || m_localAddresses.contains(address);
    if (port == kDiscoveryPort)
        return local;
    const auto unit = m_byAddress.constFind(address);
    if (unit != m_byAddress.cend() && m_units[std::size_t(*unit)]->unitEndpoint().localPort() == port)
        return true;
    // A proxy's relay: a proxy whose real unit is an address the fleet answers for every unit
    // would otherwise be answered by itself, pass that on again from a new relay, and so on.
    return local && std::any_of(m_proxies.cbegin(), m_proxies.cend(),
                                [port](const UnitSimulator* proxy) { return proxy->relay()->hasPort(port); });
}

void UnitFleet::answerDiscovery(const Datagram& datagram)
{
    // Sent to one unit's address: that unit's alone (which ignores what is not a request, as its
    // own endpoint would).
    const auto addressed = m_byAddress.constFind(datagram.destination);
    if (addressed != m_byAddress.cend()) {
        m_units[std::size_t(*addressed)]->answerDiscovery(datagram);
        return;
    }
    if (!isDiscoveryRequest(datagram.data)) {
        // For no unit in particular: the fleet's table counts it.
        m_peers.recordMalformed(datagram.address.toIPv4Address(), datagram.port, -1,
                                PeerTable::Malformed::Discovery, TrafficLogEntry::now());
        return;
    }
    if (m_units.empty())
        return;
    // Counted once, by the first unit, for the whole fleet; a relay's port counts as the fleet's own.
    if (m_units.front()->ignoreIfFromItself(datagram.address.toIPv4Address(), datagram.port,
                                            !m_proxies.empty()))
        return;
    const bool forEveryUnit = m_broadcasts.contains(datagram.destination) ||
                              (m_loopbackInterface > 0 && datagram.interfaceIndex == m_loopbackInterface);
    if (!forEveryUnit)
        return;
    bool first = true;
    for (const std::unique_ptr<UnitSimulator>& unit : m_units) {
        unit->answerDiscovery(datagram, !first);
        first = false;
    }
}
