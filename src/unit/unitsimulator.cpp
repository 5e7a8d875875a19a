#include "unitsimulator.h"

#include "discovery.h"
#include "unitprofiles.h"

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

quint32 ipv4Of(const QHostAddress& address)
{
    // The endpoints bind IPv4 only, so every sender has an IPv4 address.
    return address.toIPv4Address();
}

constexpr quint32 kStatusDraws = 1;

// Which kind of request a fault rule may act on; 0 for anything else, which faults never touch.
quint8 unitFaultKind(QByteArrayView request)
{
    if (request.size() < kUnitFrameSize)
        return 0;
    switch (quint8(request[1])) {
    case UnitCommand::SetChannels:
        return FaultKind::SetChannels;
    case UnitCommand::ChannelQuery:
        return FaultKind::ChannelQuery;
    case UnitCommand::StatusQuery:
        return FaultKind::StatusQuery;
    default:
        return 0;
    }
}

QString peerText(quint32 address, quint16 port)
{
    return QHostAddress(address).toString() + QLatin1Char(':') + QString::number(port);
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

UnitSimulator::UnitSimulator(quint64 seed, QObject* parent)
    : UnitSimulator(seed, nullptr, parent)
{
}

UnitSimulator::UnitSimulator(quint64 seed, DatagramPoller* poller, QObject* parent)
    : QObject(parent)
    , UDPSocket1(kUnitCapacity, poller)
    , UDPSocket2(kDiscoveryCapacity, poller)
    , m_seed(seed)
    , m_faults(seed)
{
    seedStatusDraws(seed);
    connect(&UDPSocket1, &DatagramEndpoint::datagramReceived, this, &UnitSimulator::UDPSocket1_DataAvailable);
    connect(&UDPSocket2, &DatagramEndpoint::datagramReceived, this, &UnitSimulator::UDPSocket2_DataAvailable);
    connect(&UDPSocket1, &DatagramEndpoint::bindStateChanged, this,
            [this] { emit endpointStateChanged(Endpoint::Unit, unitEndpointState()); });
    connect(&UDPSocket2, &DatagramEndpoint::bindStateChanged, this,
            [this] { emit endpointStateChanged(Endpoint::Discovery, discoveryEndpointState()); });
    for (DatagramEndpoint* endpoint : {&UDPSocket1, &UDPSocket2}) {
        connect(endpoint, &DatagramEndpoint::sendFailed, this, [this](const QString& reason) {
            emit replyNotSent(QStringLiteral("A reply could not be sent: ") + reason);
        });
    }

    connect(&m_delayed, &ReplyDelayQueue::released, this, &UnitSimulator::dispatch);
    connect(&m_delayed, &ReplyDelayQueue::overflowed, this, &UnitSimulator::reportDelayOverflow);
    connect(&m_reorder, &ReplyReorderHold::released, this, &UnitSimulator::releaseHeld);
    connect(&m_reorderOverflow, &ThrottledCount::report, this, &UnitSimulator::reportReorderOverflow);
    connect(&m_faults, &FaultInjector::noted, this, &UnitSimulator::faultLine);
    connect(&m_ignoredFromItself, &ThrottledCount::report, this, &UnitSimulator::reportIgnoredFromItself);
    m_poller = poller;
    connect(&m_foreignReplies, &ThrottledCount::report, this, [this](quint64 count) {
        faultLine(
            QStringLiteral("proxy: %1 datagram%2 to the relay from elsewhere than the real unit dropped "
                           "(last from %3)")
                .arg(count)
                .arg(count == 1 ? QString() : QStringLiteral("s"),
                     peerText(m_lastForeignAddress, m_lastForeignPort)));
    });
    m_proxyDiscovery.setSingleShot(true);
    connect(&m_proxyAskAgain, &QTimer::timeout, this, &UnitSimulator::askRealUnit);
    connect(&m_proxyDiscovery, &QTimer::timeout, this, [this] {
        m_proxyAskAgain.stop();
        const QString text =
            QStringLiteral("proxy %1: the real unit at %2 did not answer discovery within %3 s; "
                           "passing requests on to its port %4 (profile %5) regardless")
                .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString())
                .arg(kProxyDiscoveryMs / 1000.0)
                .arg(unitPortForProfile(m_profileIndex))
                .arg(m_profileIndex);
        faultLine(text);
        emit replyNotSent(text);
    });

    // Datagrams are delivered as they arrive; the tick is the guaranteed upper bound. A shared
    // poller keeps reporting a socket with datagrams left, so a thousand ticks would add nothing.
    Timer1.setInterval(kPollIntervalMs);
    connect(&Timer1, &QTimer::timeout, this, &UnitSimulator::Timer1_Action);
    if (!poller || !poller->isValid())
        Timer1.start();
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
    UDPSocket1.setReceiveDestination(anyAddress);
    UDPSocket2.setReceiveDestination(anyAddress);
    setStartChannelValues(ChannelValues);
    m_started = true;
    bindUnitEndpoint(m_recording ? m_recording->profile : profileIndex);
    UDPSocket2.bind(m_address, kDiscoveryPort,
                    m_sharedDiscovery ? DatagramEndpoint::Sharing::Shared
                                      : DatagramEndpoint::Sharing::Exclusive);
    if (m_relay) {
        m_proxyDiscovery.start(kProxyDiscoveryMs);
        m_proxyAskAgain.start(kProxyDiscoveryMs / 4);
        askRealUnit();
    }
}

void UnitSimulator::askRealUnit()
{
    // What the real unit is: its discovery reply names its unit port (and so the profile).
    QString error;
    const QByteArrayView question(kDiscoveryRequest.data(), qsizetype(kDiscoveryRequest.size()));
    if (const quint16 relayPort = m_relay->forward(0, 0, 0, kDiscoveryPort, question, &error)) {
        // Logged as any leg is, so that the answer has its question above it.
        emit trafficLogged(TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, m_relay->realAddress(),
                                                    kDiscoveryPort, relayPort, question, m_profileIndex));
        return;
    }
    m_proxyDiscovery.stop();
    m_proxyAskAgain.stop();
    const QString text =
        QStringLiteral("proxy %1: the real unit at %2 cannot be asked: %3")
            .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString(), error);
    faultLine(text);
    emit replyNotSent(text);
}

void UnitSimulator::setProxy(quint32 real, bool profileGiven)
{
    // Relays toward a real unit on loopback leave from the unit's own address; toward any other,
    // from whichever address the route picks (a unit on 127.x.y.z may proxy one on the LAN).
    const quint32 own = m_address.toIPv4Address();
    const bool loopback = (real >> 24) == 127;
    m_relay = std::make_unique<UnitRelay>(real, loopback ? own : 0, m_poller);
    m_proxyProfileGiven = profileGiven;
    // Passed on as they came, however long.
    UDPSocket1.setCapacity(UnitRelay::kReplyCapacity);
    UDPSocket2.setCapacity(UnitRelay::kReplyCapacity);
    connect(m_relay.get(), &UnitRelay::replied, this, &UnitSimulator::relayReply);
    connect(m_relay.get(), &UnitRelay::foreignDatagram, this, [this](quint32 address, quint16 port) {
        m_lastForeignAddress = address;
        m_lastForeignPort = port;
        m_foreignReplies.add();
    });
    connect(m_relay.get(), &UnitRelay::relayClosed, this,
            [this](quint32 controller, quint16, const QString& why) {
                if (controller != 0) // not the unit's own, which asked what the real unit is
                    faultLine(QStringLiteral("proxy: ") + why);
            });
}

void UnitSimulator::learnProfile(QByteArrayView identity)
{
    if (!m_proxyDiscovery.isActive())
        return; // known already: another answer to a question asked again
    m_proxyDiscovery.stop();
    m_proxyAskAgain.stop();
    // The identity names the kind of unit; where two profiles share it (5 and 6, 7 and 8), they
    // share the unit port too, and the first stands for both.
    int learned = -1;
    for (int index = 0; index < kProfileCount && learned < 0; ++index) {
        const std::string_view known = identityForProfile(index);
        if (identity == QByteArrayView(known.data(), qsizetype(known.size())))
            learned = index;
    }
    const QString real = QHostAddress(m_relay->realAddress()).toString();
    if (learned < 0) {
        faultLine(
            QStringLiteral("proxy %1: the real unit at %2 answered discovery as no known profile; passing "
                           "requests on to port %3 (profile %4)")
                .arg(m_address.toString(), real)
                .arg(unitPortForProfile(m_profileIndex))
                .arg(m_profileIndex));
        return;
    }
    if (!m_proxyProfileGiven && learned != m_profileIndex)
        selectProfile(learned);
    faultLine(QStringLiteral("proxy %1: the real unit at %2 answers as profile %3 (unit port %4)%5")
                  .arg(m_address.toString(), real)
                  .arg(learned)
                  .arg(unitPortForProfile(learned))
                  .arg(m_proxyProfileGiven && learned != m_profileIndex
                           ? QStringLiteral("; posing as profile %1 as given").arg(m_profileIndex)
                           : QString()));
}

void UnitSimulator::relayRequest(Endpoint endpoint, const Datagram& datagram, int profile)
{
    passOn(ipv4Of(datagram.address), datagram.port, datagram.local,
           endpoint == Endpoint::Unit ? unitPortForProfile(profile) : kDiscoveryPort, datagram.data, profile);
}

void UnitSimulator::passOn(quint32 controller, quint16 controllerPort, quint32 local, quint16 port,
                           QByteArrayView bytes, int profile)
{
    QString error;
    const quint16 relayPort = m_relay->forward(controller, controllerPort, local, port, bytes, &error);
    const TrafficLogEntry leg = TrafficLogEntry::relayed(
        TrafficLogEntry::Kind::RelayOut, m_relay->realAddress(), port, relayPort, bytes, profile);
    emit trafficLogged(relayPort ? leg : leg.notSentBecause(error));
}

void UnitSimulator::relayReply(const UnitRelay::Reply& reply)
{
    const int profile = m_profileIndex;
    emit trafficLogged(TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayIn, m_relay->realAddress(),
                                                reply.fromPort, reply.relayPort, reply.bytes, profile));
    if (reply.controller == 0) {
        // The unit's own question at start.
        if (reply.discovery)
            learnProfile(reply.bytes);
        return;
    }
    const Endpoint endpoint = reply.discovery ? Endpoint::Discovery : Endpoint::Unit;
    const quint8 kind = reply.discovery ? FaultKind::Discovery : unitFaultKind(reply.bytes);
    const TrafficLogEntry::Command answers = TrafficLogEntry::commandOfKind(kind);
    if (reply.bytes.size() > ReplyCopy::kMaxSize) {
        // Longer than any reply of the protocol: passed on as it came, past the faults.
        const bool up = m_state == State::Answering;
        const bool unitPort = endpoint == Endpoint::Unit;
        const bool sent =
            up &&
            (unitPort ? UDPSocket1.writeFrom(reply.local, reply.controller, reply.controllerPort, reply.bytes)
                      : sendDiscoveryReply(reply.local, reply.controller, reply.controllerPort, reply.bytes));
        logReply(TrafficLogEntry::unitOutgoing(reply.controller, reply.controllerPort, reply.bytes, profile,
                                               unitPort ? UDPSocket1.port() : kDiscoveryPort),
                 sent, unitPort ? UDPSocket1 : discoveryEndpoint());
        return;
    }
    if (kind && m_faults.isActive() && m_state == State::Answering) {
        Datagram to;
        to.address = QHostAddress(reply.controller);
        to.port = reply.controllerPort;
        to.local = reply.local;
        replyWithFaults(endpoint, kind, to, reply.bytes, profile);
        return;
    }
    ReplyCopy copy;
    copy.size = quint8(reply.bytes.size());
    std::copy_n(reply.bytes.data(), copy.size, copy.bytes.begin());
    // send() says it did not leave when the unit went down meanwhile.
    send(endpoint, reply.local, reply.controller, reply.controllerPort, copy, profile, answers);
}

void UnitSimulator::setSharedDiscovery(DatagramEndpoint* endpoint)
{
    m_sharedDiscovery = endpoint;
}

bool UnitSimulator::sendDiscoveryReply(quint32 source, quint32 address, quint16 port, QByteArrayView bytes)
{
    // A unit of a fleet answers from its own address, whichever endpoint heard the request (a
    // broadcast comes to the fleet's, addressed to no one unit).
    if (m_sharedDiscovery && !UDPSocket2.isBound())
        return m_sharedDiscovery->writeFrom(m_address.toIPv4Address(), address, port, bytes);
    return UDPSocket2.writeFrom(m_sharedDiscovery ? 0 : source, address, port, bytes);
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
        emit profileChanged(m_profileIndex); // the same port, but a table shows the recording
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

bool UnitSimulator::bindUnitEndpoint(int index)
{
    m_profileIndex = index;
    const bool bound =
        UDPSocket1.bind(m_address, unitPortForProfile(index), DatagramEndpoint::Sharing::Exclusive);
    emit profileChanged(index);
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
    emit trafficLogged(entry);
}

QString UnitSimulator::unitEndpointState() const
{
    return endpointStateText(QStringLiteral("Unit port"), UDPSocket1, m_address);
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

bool UnitSimulator::comesFromItself(quint32 sender, quint16 port)
{
    // The common case costs two comparisons: a controller does not send from these ports.
    if (port != kDiscoveryPort && (port < kFirstUnitPort || port > kLastUnitPort))
        return false;
    const bool own = m_isOwnEndpoint ? m_isOwnEndpoint(sender, port)
                                     : (port == kDiscoveryPort || port == UDPSocket1.localPort()) &&
                                           m_localAddresses.contains(sender);
    if (own) {
        m_lastIgnoredAddress = sender;
        m_lastIgnoredPort = port;
        m_ignoredFromItself.add();
    }
    return own;
}

void UnitSimulator::reportIgnoredFromItself(quint64 count)
{
    emit trafficLogged(TrafficLogEntry::fault(
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
        TrafficLogEntry::unitIncoming(sender, datagram.port, UDPSocket1.port(), frame, profile);
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
    emit trafficLogged(heard);

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
    const bool sent = UDPSocket1.writeFrom(datagram.local, sender, datagram.port, bytes);
    logReply(TrafficLogEntry::unitOutgoing(sender, datagram.port, *reply, profile, UDPSocket1.port())
                 .answering(TrafficLogEntry::commandOfKind(requestKind)),
             sent, UDPSocket1);
    // Replies a reorder rule held before it was removed still wait for later ones.
    if (!m_reorder.isEmpty())
        m_reorder.replyLeft(sender, datagram.port);
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
    emit trafficLogged(heard);

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
    const bool sent = sendDiscoveryReply(datagram.local, sender, datagram.port, identity(profile));
    logReply(discoveryReplyEntry(sender, datagram.port, profile), sent, discoveryEndpoint());
    if (!m_reorder.isEmpty())
        m_reorder.replyLeft(sender, datagram.port);
}

bool UnitSimulator::dropByFault(quint8 kind, const Datagram& datagram, int profile)
{
    bool inBurst = false;
    const FaultRule* rule = m_faults.dropRequest(kind, &inBurst);
    if (!rule)
        return false;
    // A burst is told in one line when it ends.
    if (inBurst)
        return true;
    const quint32 sender = ipv4Of(datagram.address);
    const auto lineKind = kind == FaultKind::Discovery ? TrafficLogEntry::Kind::DiscoveryFault
                                                       : TrafficLogEntry::Kind::UnitFault;
    emit trafficLogged(TrafficLogEntry::fault(lineKind, sender, datagram.port, profile,
                                              rule->text + QStringLiteral(": request from ") +
                                                  peerText(sender, datagram.port) +
                                                  QStringLiteral(" dropped"),
                                              kind));
    return true;
}

void UnitSimulator::replyWithFaults(Endpoint endpoint, quint8 kind, const Datagram& datagram,
                                    QByteArrayView reply, int profile)
{
    const quint32 sender = ipv4Of(datagram.address);
    ReplyCopies copies(1);
    copies[0].size = quint8(std::min<qsizetype>(reply.size(), ReplyCopy::kMaxSize));
    std::copy_n(reply.data(), copies[0].size, copies[0].bytes.begin());
    QStringList notes;
    QList<int> delayedCopies;
    m_faults.actOnReply(kind, copies, peerText(sender, datagram.port), notes, &delayedCopies);
    const TrafficLogEntry::Command answers = TrafficLogEntry::commandOfKind(kind);
    // Delayed copies go to the queue first: one it has no room for is dropped, and its notes say
    // so instead of "delayed".
    QVarLengthArray<bool, 4> dropped(copies.size(), false);
    for (qsizetype i = 0; i < copies.size(); ++i) {
        const ReplyCopy& copy = copies[i];
        if (copy.delayMs > 0 && !copy.dropped &&
            !m_delayed.hold({.address = sender,
                             .source = datagram.local,
                             .port = datagram.port,
                             .endpoint = quint8(endpoint),
                             .profile = quint8(profile),
                             .answers = quint8(answers),
                             .copy = copy},
                            copy.delayMs)) {
            dropped[i] = true;
            ++m_repliesNotSent;
        }
    }
    const auto lineKind =
        endpoint == Endpoint::Unit ? TrafficLogEntry::Kind::UnitFault : TrafficLogEntry::Kind::DiscoveryFault;
    for (qsizetype n = 0; n < notes.size(); ++n) {
        QString note = notes[n];
        if (const int copy = delayedCopies.value(n, -1); copy >= 0 && dropped[copy])
            note = note.left(note.lastIndexOf(QStringLiteral(" delayed by "))) +
                   QStringLiteral(" dropped: the delay queue is full (%1 replies waiting)")
                       .arg(m_delayed.capacity());
        emit trafficLogged(TrafficLogEntry::fault(lineKind, sender, datagram.port, profile, note, kind));
    }
    for (const ReplyCopy& copy : std::as_const(copies)) {
        if (copy.delayMs <= 0 && !copy.dropped)
            dispatch({.address = sender,
                      .source = datagram.local,
                      .port = datagram.port,
                      .endpoint = quint8(endpoint),
                      .profile = quint8(profile),
                      .answers = quint8(answers),
                      .copy = copy});
    }
}

void UnitSimulator::dispatch(const DelayedReply& reply)
{
    if (reply.copy.holdRule != 0) {
        const auto& rules = m_faults.rules();
        const auto rule = std::find_if(rules.cbegin(), rules.cend(), [&](const FaultInjector::Entry& entry) {
            return entry.id == reply.copy.holdRule;
        });
        const QString text = rule != rules.cend() ? rule->rule.text : QStringLiteral("reorder");
        if (m_reorder.hold(reply, reply.copy.holdRule, text, reply.copy.holdReplies, reply.copy.holdGapMs))
            return;
        // Full: it leaves in order, and the count says so.
        m_faults.countOverflow(reply.copy.holdRule);
        m_reorderOverflow.add();
    }
    send(Endpoint(reply.endpoint), reply.source, reply.address, reply.port, reply.copy, reply.profile,
         TrafficLogEntry::Command(reply.answers));
}

void UnitSimulator::releaseHeld(const DelayedReply& reply, const ReplyReorderHold::Release& why)
{
    QString text = why.ruleText + QStringLiteral(": reply to ") + peerText(reply.address, reply.port) +
                   QStringLiteral(" held back ");
    if (why.passed == 0)
        text += QStringLiteral("%1 ms, no later reply left meanwhile").arg(why.heldMs);
    else
        text += QStringLiteral("%1 ms, sent after %2 later repl%3, the last to %4%5")
                    .arg(why.heldMs)
                    .arg(why.passed)
                    .arg(why.passed == 1 ? QStringLiteral("y") : QStringLiteral("ies"),
                         peerText(why.lastAddress, why.lastPort),
                         why.gapOver ? QStringLiteral(" (its gap was over)") : QString());
    const Endpoint endpoint = Endpoint(reply.endpoint);
    emit trafficLogged(TrafficLogEntry::fault(
        endpoint == Endpoint::Unit ? TrafficLogEntry::Kind::UnitFault : TrafficLogEntry::Kind::DiscoveryFault,
        reply.address, reply.port, reply.profile, text));
    send(endpoint, reply.source, reply.address, reply.port, reply.copy, reply.profile,
         TrafficLogEntry::Command(reply.answers));
}

void UnitSimulator::faultLine(const QString& text)
{
    emit trafficLogged(TrafficLogEntry::fault(TrafficLogEntry::Kind::UnitFault, 0, 0, m_profileIndex, text));
}

void UnitSimulator::reportReorderOverflow(quint64 count)
{
    faultLine(QStringLiteral("reorder hold full (%1 replies held): %2 repl%3 sent in order instead")
                  .arg(m_reorder.capacity())
                  .arg(count)
                  .arg(count == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
}

void UnitSimulator::send(Endpoint endpoint, quint32 source, quint32 address, quint16 port,
                         const ReplyCopy& copy, int profile, TrafficLogEntry::Command answers)
{
    const QByteArrayView bytes(copy.bytes.data(), copy.size);
    // A delayed reply that comes due while the unit is down never leaves (logReply says why).
    const bool up = m_state == State::Answering;
    if (endpoint == Endpoint::Unit) {
        const bool sent = up && UDPSocket1.writeFrom(source, address, port, bytes);
        logReply(TrafficLogEntry::unitOutgoing(address, port, bytes, profile, UDPSocket1.port())
                     .answering(answers),
                 sent, UDPSocket1);
    } else {
        const bool sent = up && sendDiscoveryReply(source, address, port, bytes);
        logReply(bytes == identity(profile)
                     ? discoveryReplyEntry(address, port, profile)
                     : TrafficLogEntry::discoveryOutgoing(address, port, profile, bytes),
                 sent, discoveryEndpoint());
    }
    // Held replies wait for this one to leave, whether or not the network took it.
    m_reorder.replyLeft(address, port);
}

void UnitSimulator::logReply(const TrafficLogEntry& entry, bool sent, const DatagramEndpoint& endpoint)
{
    if (sent) {
        emit trafficLogged(entry);
        return;
    }
    ++m_repliesNotSent;
    emit trafficLogged(entry.notSentBecause(
        m_state == State::Answering ? endpoint.lastSendError()
                                    : QStringLiteral("the unit is ") + QLatin1String(stateName(m_state))));
}

void UnitSimulator::reportDelayOverflow(quint64 dropped)
{
    emit trafficLogged(TrafficLogEntry::fault(
        TrafficLogEntry::Kind::UnitFault, 0, 0, m_profileIndex,
        QStringLiteral("delay queue full (%1 replies held): %2 delayed replies dropped")
            .arg(m_delayed.capacity())
            .arg(dropped)));
}

void UnitSimulator::Timer1_Action()
{
    UDPSocket1.poll();
    UDPSocket2.poll();
}
