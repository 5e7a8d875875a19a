#include "unitsimulator.h"

#include "discovery.h"
#include "record/unitprofiles.h"
#include "unitsupport.h"

namespace {
// The unit endpoint keeps a whole frame and one byte more, which only tells that a datagram was
// longer than a frame; later bytes are never looked at. The discovery endpoint keeps one byte
// more than the request, so that a longer payload can never look like it.
constexpr qsizetype kUnitCapacity = kUnitFrameSize + 1;
constexpr qsizetype kDiscoveryCapacity = qsizetype(kDiscoveryRequest.size()) + 1;

QString endpointStateText(const QString& name, const DatagramEndpoint& endpoint, const QHostAddress& address)
{
    // A unit of a fleet names its address; the single unit listens on all of them.
    const QString where =
        address == QHostAddress(QHostAddress::AnyIPv4) ? QString() : address.toString() + u' ';
    const QString head =
        where + name + QLatin1Char(' ') + QString::number(endpoint.port()) + QStringLiteral(": ");
    if (endpoint.isBound())
        return head + QStringLiteral("listening");
    return head + QStringLiteral("not listening \u2014 ") + endpoint.bindError();
}

// The mark on a request the unit left unanswered, one shared note a state: logging one costs no
// allocation.
const QExplicitlySharedDataPointer<TrafficLogNote>& stateNote(UnitSimulator::State state)
{
    static const auto make = [](UnitSimulator::State s) {
        QExplicitlySharedDataPointer<TrafficLogNote> note(new TrafficLogNote);
        note->text = UnitSimulator::stateName(s);
        return note;
    };
    static const QExplicitlySharedDataPointer<TrafficLogNote> offline = make(UnitSimulator::State::Offline);
    static const QExplicitlySharedDataPointer<TrafficLogNote> rebooting =
        make(UnitSimulator::State::Rebooting);
    return state == UnitSimulator::State::Rebooting ? rebooting : offline;
}

QByteArrayView identityView(int profile)
{
    const std::string_view identity = identityForProfile(profile);
    return QByteArrayView(identity.data(), qsizetype(identity.size()));
}
} // namespace

using namespace unitsupport;

UnitSimulator::UnitSimulator(quint64 seed, QObject* parent)
    : UnitSimulator(seed, static_cast<DatagramPoller*>(nullptr), parent)
{
}

UnitSimulator::UnitSimulator(quint64 seed, DatagramPoller* poller, QObject* parent)
    : QObject(parent)
    , UDPSocket1(std::make_unique<DatagramEndpoint>(kUnitCapacity, poller))
    , UDPSocket2(std::make_unique<DatagramEndpoint>(kDiscoveryCapacity, poller))
    , m_unitEndpoint(UDPSocket1.get())
    , m_seed(seed)
    , m_faults(seed)
    , m_poller(poller)
{
    connect(UDPSocket1.get(), &DatagramEndpoint::datagramReceived, this,
            &UnitSimulator::UDPSocket1_DataAvailable);
    connect(UDPSocket2.get(), &DatagramEndpoint::datagramReceived, this,
            &UnitSimulator::UDPSocket2_DataAvailable);
    connect(UDPSocket1.get(), &DatagramEndpoint::bindStateChanged, this,
            [this] { announceEndpointState(Endpoint::Unit); });
    connect(UDPSocket2.get(), &DatagramEndpoint::bindStateChanged, this,
            [this] { announceEndpointState(Endpoint::Discovery); });
    for (DatagramEndpoint* endpoint : {UDPSocket1.get(), UDPSocket2.get()}) {
        connect(endpoint, &DatagramEndpoint::sendFailed, this, [this](const QString& reason) {
            announceNotSent(QStringLiteral("A reply could not be sent: ") + reason);
        });
    }
    connectParts();
    // Datagrams are delivered as they arrive; the tick is the guaranteed upper bound. A shared
    // poller keeps reporting a socket with datagrams left, so a thousand ticks would add nothing.
    if (!poller || !poller->isValid()) {
        Timer1 = std::make_unique<QTimer>();
        Timer1->setInterval(kPollIntervalMs);
        connect(Timer1.get(), &QTimer::timeout, this, &UnitSimulator::Timer1_Action);
        Timer1->start();
    }
}

UnitSimulator::UnitSimulator(quint64 seed, SharedUnitPorts* ports, QObject* parent)
    : QObject(parent)
    , m_unitEndpoint(&ports->unitPort(unitPortForProfile(0)))
    , m_sharedPorts(ports)
    , m_seed(seed)
    , m_faults(seed)
{
    connectParts();
}

void UnitSimulator::connectParts()
{
    seedStatusDraws(m_seed);
    m_faults.setNoteSink([this](const QString& text) { faultLine(text); });
}

void UnitSimulator::reseed(quint64 seed)
{
    m_seed = seed;
    seedStatusDraws(seed);
    m_faults.reseed(seed);
}

void UnitSimulator::seedStatusDraws(quint64 seed)
{
    std::seed_seq sequence = seedSequence(seed, kStatusDraws);
    m_random.seed(sequence);
}

void UnitSimulator::start(int profileIndex)
{
    // On all addresses, a reply leaves from the address the request reached: a client with a
    // connected socket hears only that one.
    const bool anyAddress = m_address == QHostAddress(QHostAddress::AnyIPv4);
    setStartChannelValues(ChannelValues);
    m_started = true;
    if (!m_batch) {
        m_ownBatch = std::make_unique<ReplyBatch>();
        m_batch = m_ownBatch.get();
    }
    if (!UDPSocket1) {
        // A dense fleet's unit: the fleet listens for it, and says how its ports fare.
        bindUnitEndpoint(m_recording ? m_recording->profile : profileIndex, false);
    } else {
        for (DatagramEndpoint* endpoint : {UDPSocket1.get(), UDPSocket2.get()}) {
            endpoint->setReceiveDestination(anyAddress);
            endpoint->setDrainObserver(m_batch);
        }
        bindUnitEndpoint(m_recording ? m_recording->profile : profileIndex);
        UDPSocket2->bind(m_address, kDiscoveryPort,
                         m_sharedDiscovery ? DatagramEndpoint::Sharing::Shared
                                           : DatagramEndpoint::Sharing::Exclusive);
    }
    if (m_relay) {
        m_proxy->identity.clear();
        m_proxy->discovery.start(kProxyDiscoveryMs);
        m_proxy->askAgain.start(kProxyDiscoveryMs / 4);
        askRealUnit();
    }
}

void UnitSimulator::setSharedDiscovery(DatagramEndpoint* endpoint)
{
    m_sharedDiscovery = endpoint;
}

bool UnitSimulator::selectProfile(int index)
{
    if (!isValidProfileIndex(index))
        return false;
    m_recording.reset();
    return bindUnitEndpoint(index);
}

void UnitSimulator::setRecording(std::shared_ptr<const RecordedUnit> recording)
{
    m_recording = std::move(recording);
    if (!m_started || !m_recording)
        return; // start() binds the recording's port
    if (m_recording->profile != m_profileIndex)
        bindUnitEndpoint(m_recording->profile);
    else
        announceProfile(m_profileIndex); // the same port, but a table shows the recording
}

QByteArrayView UnitSimulator::identity(int profile) const
{
    return m_recording ? QByteArrayView(m_recording->identity) : identityView(profile);
}

TrafficLogEntry UnitSimulator::discoveryReplyEntry(quint32 address, quint16 port, int profile) const
{
    TrafficLogEntry entry = TrafficLogEntry::discoveryOutgoing(address, port, profile);
    if (m_recording)
        entry.note = m_recording->identityNote;
    return entry;
}

bool UnitSimulator::bindUnitEndpoint(int index, bool announce)
{
    m_profileIndex = index;
    bool bound = false;
    if (m_sharedPorts) {
        m_unitEndpoint = &m_sharedPorts->unitPort(unitPortForProfile(index));
        bound = m_unitEndpoint->isBound();
        if (announce)
            announceEndpointState(Endpoint::Unit);
    } else {
        bound = UDPSocket1->bind(m_address, unitPortForProfile(index), DatagramEndpoint::Sharing::Exclusive);
    }
    announceProfile(index);
    return bound;
}

void UnitSimulator::setChannels(const std::array<quint8, 24>& values)
{
    UnitFrame frame{};
    std::copy(values.begin(), values.end(), frame.begin() + 2);
    if (m_relay) {
        // A proxy's channels are the real unit's: they are set there, by the frame a controller
        // would send (frame[28] 255, as unitctl sends it).
        frame[kUnitFrameSize - 1] = 255;
        passOn(0, 0, 0, unitPortForProfile(m_profileIndex),
               QByteArrayView(reinterpret_cast<const char*>(frame.data()), kUnitFrameSize), m_profileIndex);
        return;
    }
    handleUnitRequest(QByteArrayView(reinterpret_cast<const char*>(frame.data()), kUnitFrameSize),
                      ChannelValues, m_profileIndex, {});
}

const char* UnitSimulator::stateName(State state)
{
    switch (state) {
    case State::Offline:
        return "offline";
    case State::Rebooting:
        return "rebooting";
    case State::Answering:
        break;
    }
    return "answering";
}

void UnitSimulator::setOffline(bool offline)
{
    m_offlineCount = std::max(0, m_offlineCount + (offline ? 1 : -1));
    updateState();
}

void UnitSimulator::powerOff()
{
    ++m_powerOffCount;
    updateState();
}

void UnitSimulator::powerOn()
{
    if (m_powerOffCount == 0)
        return;
    if (--m_powerOffCount == 0)
        setStartChannelValues(ChannelValues);
    updateState();
}

void UnitSimulator::resetState()
{
    m_offlineCount = 0;
    m_powerOffCount = 0;
    updateState();
}

void UnitSimulator::updateState()
{
    m_state = m_powerOffCount > 0 ? State::Rebooting : m_offlineCount > 0 ? State::Offline : State::Answering;
}

void UnitSimulator::countPeer(quint32 address, quint16 port, TrafficLogEntry::Command command, qint64 timeUs)
{
    m_peers.record(address, port, m_unitIndex, command, timeUs);
    if (m_sharedPeers)
        m_sharedPeers->record(address, port, m_unitIndex, command, timeUs);
}

void UnitSimulator::countMalformed(quint32 address, quint16 port, PeerTable::Malformed why, qint64 timeUs)
{
    m_peers.recordMalformed(address, port, m_unitIndex, why, timeUs);
    if (m_sharedPeers)
        m_sharedPeers->recordMalformed(address, port, m_unitIndex, why, timeUs);
}

void UnitSimulator::logUnanswered(TrafficLogEntry entry)
{
    entry.note = stateNote(m_state);
    log(entry);
}

QString UnitSimulator::unitEndpointState() const
{
    return endpointStateText(QStringLiteral("Unit port"), *m_unitEndpoint, m_address);
}

QString UnitSimulator::discoveryEndpointState() const
{
    return endpointStateText(QStringLiteral("Discovery port"), discoveryEndpoint(), m_address);
}

StatusDraw UnitSimulator::drawStatusValues()
{
    StatusDraw draw;
    draw.first = m_firstDraw(m_random);
    draw.second = m_secondDraw(m_random);
    return draw;
}

bool UnitSimulator::comesFromItself(quint32 sender, quint16 port, bool anyPort)
{
    // The common case costs two comparisons: a controller does not send from these ports.
    if (!anyPort && port != kDiscoveryPort && (port < kFirstUnitPort || port > kLastUnitPort))
        return false;
    const bool own = m_isOwnEndpoint ? m_isOwnEndpoint(sender, port)
                                     : (port == kDiscoveryPort || port == m_unitEndpoint->localPort()) &&
                                           m_localAddresses.contains(sender);
    if (own) {
        m_lastIgnoredAddress = sender;
        m_lastIgnoredPort = port;
        if (!m_ignoredFromItself) {
            m_ignoredFromItself = std::make_unique<ThrottledCount>();
            connect(m_ignoredFromItself.get(), &ThrottledCount::report, this,
                    &UnitSimulator::reportIgnoredFromItself);
        }
        m_ignoredFromItself->add();
    }
    return own;
}

void UnitSimulator::reportIgnoredFromItself(quint64 count)
{
    log(TrafficLogEntry::fault(
        TrafficLogEntry::Kind::UnitFault, m_lastIgnoredAddress, m_lastIgnoredPort, m_profileIndex,
        QStringLiteral(
            "loop guard: %1 datagram%2 from the simulator's own endpoints not answered (last from %3)")
            .arg(count)
            .arg(count == 1 ? QString() : QStringLiteral("s"),
                 peerText(m_lastIgnoredAddress, m_lastIgnoredPort))));
}

void UnitSimulator::UDPSocket1_DataAvailable(const Datagram& datagram)
{
    const quint32 sender = ipv4Of(datagram.address);
    if (comesFromItself(sender, datagram.port))
        return;
    const int profile = m_profileIndex;
    ++m_requests;
    // The frame: what a longer datagram holds beyond it is never looked at.
    const QByteArrayView frame = datagram.data.first(std::min(datagram.data.size(), kUnitFrameSize));
    const TrafficLogEntry heard =
        TrafficLogEntry::unitIncoming(sender, datagram.port, m_unitEndpoint->port(), frame, profile);
    const quint8 requestKind = unitFaultKind(frame);
    if (datagram.data.size() != kUnitFrameSize)
        countMalformed(sender, datagram.port, PeerTable::Malformed::Length, heard.timeUs);
    else if (requestKind == 0)
        countMalformed(sender, datagram.port, PeerTable::Malformed::Command, heard.timeUs);
    else
        countPeer(sender, datagram.port, TrafficLogEntry::commandOfKind(requestKind), heard.timeUs);
    if (m_state != State::Answering) {
        logUnanswered(heard);
        return;
    }
    const StatusDraw draw = drawStatusValues();
    log(heard);

    const quint8 faultKind = m_faults.isActive() ? requestKind : 0;
    if (faultKind && dropByFault(faultKind, datagram, profile))
        return;
    if (m_relay) {
        relayRequest(Endpoint::Unit, datagram, profile);
        return;
    }
    std::optional<UnitFrame> reply = handleUnitRequest(frame, ChannelValues, profile, draw);
    if (!reply)
        return;
    if (m_recording && (*reply)[1] == UnitCommand::StatusQuery)
        *reply = m_recording->statusReply(m_random);
    const QByteArrayView bytes(reinterpret_cast<const char*>(reply->data()), kUnitFrameSize);
    if (faultKind) {
        replyWithFaults(Endpoint::Unit, faultKind, datagram, bytes, profile);
        return;
    }
    const auto [endpoint, source] = unitRoute(datagram.local);
    this->reply(*endpoint, {source, sender, datagram.port, bytes},
                TrafficLogEntry::unitOutgoing(sender, datagram.port, *reply, profile, endpoint->port())
                    .answering(TrafficLogEntry::commandOfKind(requestKind)));
    // Replies a reorder rule held before it was removed still wait for later ones.
    if (m_reorder && !m_reorder->isEmpty())
        m_reorder->replyLeft(sender, datagram.port);
}

void UnitSimulator::UDPSocket2_DataAvailable(const Datagram& datagram)
{
    const quint32 sender = ipv4Of(datagram.address);
    if (!isDiscoveryRequest(datagram.data)) {
        // Not answered and not logged, but the controller that sent it is told about. A proxy
        // passes it on all the same: what the real unit makes of it is the real unit's business.
        countMalformed(sender, datagram.port, PeerTable::Malformed::Discovery, TrafficLogEntry::now());
        if (m_relay && m_state == State::Answering && !comesFromItself(sender, datagram.port))
            relayRequest(Endpoint::Discovery, datagram, m_profileIndex);
        return;
    }
    if (comesFromItself(sender, datagram.port))
        return;
    const int profile = m_profileIndex;
    TrafficLogEntry heard =
        TrafficLogEntry::discoveryIncoming(sender, datagram.port, kDiscoveryPort, datagram.data, profile);
    heard.alsoHeardByOthers = m_alsoHeardByOthers;
    ++m_requests;
    m_peers.record(sender, datagram.port, m_unitIndex, TrafficLogEntry::Command::Discovery, heard.timeUs);
    if (m_sharedPeers) {
        // A broadcast heard by many units is one datagram from its sender.
        if (m_alsoHeardByOthers)
            m_sharedPeers->touch(sender, datagram.port, m_unitIndex);
        else
            m_sharedPeers->record(sender, datagram.port, m_unitIndex, TrafficLogEntry::Command::Discovery,
                                  heard.timeUs);
    }
    if (m_state != State::Answering) {
        logUnanswered(heard);
        return;
    }
    log(heard);

    const bool faulty = m_faults.isActive();
    if (faulty && dropByFault(FaultKind::Discovery, datagram, profile))
        return;
    if (m_relay) {
        relayRequest(Endpoint::Discovery, datagram, profile);
        return;
    }
    if (faulty) {
        replyWithFaults(Endpoint::Discovery, FaultKind::Discovery, datagram, identity(profile), profile);
        return;
    }
    const auto [endpoint, source] = discoveryRoute(datagram.local);
    reply(*endpoint, {source, sender, datagram.port, identity(profile)},
          discoveryReplyEntry(sender, datagram.port, profile));
    if (m_reorder && !m_reorder->isEmpty())
        m_reorder->replyLeft(sender, datagram.port);
}

void UnitSimulator::Timer1_Action()
{
    UDPSocket1->poll();
    UDPSocket2->poll();
}
