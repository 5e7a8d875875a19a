#include "unitfleet.h"

#include "net/portholder.h"
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

UnitFleet::UnitFleet(const QList<FleetUnit>& units, quint64 seed, Sockets sockets, QObject* parent)
    : QObject(parent)
    , m_sockets(sockets)
    , m_unitPortCapacity(kUnitFrameSize + 1)
    , m_discovery(qsizetype(kDiscoveryRequest.size()) + 1)
{
    // A dense fleet's endpoints hear for every unit: as much as a proxy passes on, when it has one.
    const bool proxies =
        std::any_of(units.cbegin(), units.cend(), [](const FleetUnit& unit) { return !unit.proxy.isNull(); });
    if (isDense() && proxies) {
        m_unitPortCapacity = UnitRelay::kMaxRequestSize + 1;
        m_discovery.setCapacity(UnitRelay::kMaxRequestSize + 1);
    }
    m_peers.setTracksUnits(true);
    m_units.reserve(std::size_t(units.size()));
    m_byAddress.reserve(units.size());
    for (qsizetype k = 0; k < units.size(); ++k) {
        auto unit = isDense() ? std::make_unique<UnitSimulator>(unitSeed(seed, k),
                                                                static_cast<SharedUnitPorts*>(this))
                              : std::make_unique<UnitSimulator>(unitSeed(seed, k), &m_poller);
        unit->setAddress(units[k].address);
        unit->setSharedPeers(&m_peers, int(k));
        unit->setSharedDiscovery(&m_discovery);
        unit->setSharedBatch(&m_batch);
        unit->setHost(this);
        if (!units[k].proxy.isNull()) {
            unit->setProxy(units[k].proxy.toIPv4Address(), units[k].profileGiven);
            m_proxies.push_back(unit.get());
        }
        unit->setRecording(units[k].recording);
        m_byAddress.insert(units[k].address.toIPv4Address(), int(k));
        unit->faults().setUnit(int(k), units[k].address.toIPv4Address());
        unit->setOwnEndpointTest(
            [this](quint32 address, quint16 port) { return isOwnEndpoint(address, port); });
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
        emit endpointStateChanged(-1, m_discovery.isBound(),
                                  portStateText(QStringLiteral("Fleet discovery port"), m_discovery));
    });
}

UnitFleet::~UnitFleet() = default;

void UnitFleet::unitLogged(int unit, const TrafficLogEntry& entry)
{
    emit trafficLogged(unit, entry);
}

void UnitFleet::unitEndpointStateChanged(int unit, bool listening, const QString& text)
{
    emit endpointStateChanged(unit, listening, text);
}

void UnitFleet::unitReplyNotSent(const QString& message)
{
    emit replyNotSent(message);
}

void UnitFleet::unitProfileChanged(int unit, int profile)
{
    emit profileChanged(unit, profile);
}

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
    // A dense fleet's unit ports are bound as the units first ask for them.
    m_started = true;
    for (std::size_t k = 0; k < m_units.size(); ++k)
        m_units[k]->start(m_profiles[qsizetype(k)]);
    if (isDense()) {
        bindAllAddresses(m_discovery, kDiscoveryPort);
        return;
    }
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

DatagramEndpoint& UnitFleet::unitPort(quint16 port)
{
    auto found = m_unitPorts.find(port);
    if (found == m_unitPorts.end()) {
        auto endpoint = std::make_unique<DatagramEndpoint>(m_unitPortCapacity);
        endpoint->setReceiveDestination(true);
        endpoint->setDrainObserver(&m_batch);
        connect(endpoint.get(), &DatagramEndpoint::datagramReceived, this,
                [this, port](const Datagram& datagram) { answerUnitPort(port, datagram); });
        connect(endpoint.get(), &DatagramEndpoint::sendFailed, this, [this](const QString& reason) {
            emit replyNotSent(QStringLiteral("A reply could not be sent: ") + reason);
        });
        DatagramEndpoint* raw = endpoint.get();
        connect(raw, &DatagramEndpoint::bindStateChanged, this, [this, raw] {
            emit endpointStateChanged(0, raw->isBound(),
                                      portStateText(QStringLiteral("Fleet unit port"), *raw));
        });
        found = m_unitPorts.emplace(port, std::move(endpoint)).first;
    }
    // Bound once a unit listens on it, and tried once: a port another program holds is not asked
    // for again by every unit.
    if (m_started && !m_triedPorts.contains(port)) {
        m_triedPorts.insert(port);
        bindAllAddresses(*found->second, port);
    }
    return *found->second;
}

void UnitFleet::answerUnitPort(quint16 port, const Datagram& datagram)
{
    const auto unit = m_byAddress.constFind(datagram.destination);
    if (unit == m_byAddress.cend() || m_units[std::size_t(*unit)]->unitEndpoint().port() != port) {
        ++m_strays;
        return;
    }
    m_units[std::size_t(*unit)]->answerUnitPort(datagram);
}

bool UnitFleet::bindAllAddresses(DatagramEndpoint& endpoint, quint16 port)
{
    // Alone on the port: a second dense fleet, or any other program on it, would take datagrams
    // meant for these units.
    return endpoint.bind(QHostAddress(QHostAddress::AnyIPv4), port, DatagramEndpoint::Sharing::Exclusive);
}

QString UnitFleet::portStateText(const QString& name, const DatagramEndpoint& endpoint) const
{
    const QString head = QStringLiteral("%1 %2 on all addresses: ").arg(name).arg(endpoint.port());
    if (endpoint.isBound())
        return head + QStringLiteral("listening");
    QString text = head + QStringLiteral("not listening \u2014 ") + endpoint.bindError();
    if (!isDense())
        return text;
    // Looked for only when a bind failed, once a port.
    const QString holder = udpPortHolder(endpoint.port());
    if (!holder.isEmpty())
        text += QStringLiteral(" (%1)").arg(holder);
    return text + QStringLiteral("; a dense fleet listens on its ports on every address, so two cannot share "
                                 "one on a machine: run them in network namespaces or containers of "
                                 "their own");
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
