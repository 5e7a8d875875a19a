// A proxy unit: what it asks the real unit at start, and the legs of every request it passes on.
#include "unitsimulator.h"

#include "discovery.h"
#include "record/unitprofiles.h"
#include "unitsupport.h"

using namespace unitsupport;

namespace {
// A status-query as a controller sends one: the command, and zeros.
UnitFrame statusQueryFrame()
{
    UnitFrame frame{};
    frame[1] = UnitCommand::StatusQuery;
    return frame;
}
} // namespace

void UnitSimulator::askRealUnit()
{
    // What the real unit is: its discovery reply names its unit port, and where two profiles share
    // its identity, its status reply tells which.
    QString error;
    const UnitFrame status = statusQueryFrame();
    const bool discovery = m_proxy->identity.isEmpty();
    const QByteArrayView question =
        discovery ? QByteArrayView(kDiscoveryRequest.data(), qsizetype(kDiscoveryRequest.size()))
                  : QByteArrayView(status.data(), kUnitFrameSize);
    const quint16 port = discovery ? kDiscoveryPort : unitPortForProfile(m_proxy->candidates.first());
    if (const quint16 relayPort = m_relay->forward(0, 0, 0, port, question, &error)) {
        // Logged as any leg is, so that the answer has its question above it.
        log(TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, m_relay->realAddress(), port, relayPort,
                                     question, m_profileIndex));
        return;
    }
    m_proxy->discovery.stop();
    m_proxy->askAgain.stop();
    const QString text =
        QStringLiteral("proxy %1: the real unit at %2 cannot be asked: %3")
            .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString(), error);
    faultLine(text);
    announceNotSent(text);
}

void UnitSimulator::setProxy(quint32 real, bool profileGiven)
{
    // Relays toward a real unit on loopback leave from the unit's own address; toward any other,
    // from whichever address the route picks (a unit on 127.x.y.z may proxy one on the LAN).
    const quint32 own = m_address.toIPv4Address();
    const bool loopback = (real >> 24) == 127;
    m_relay = std::make_unique<UnitRelay>(real, loopback ? own : 0, m_poller);
    m_proxy = std::make_unique<ProxyParts>();
    connect(&m_proxy->foreignReplies, &ThrottledCount::report, this, [this](quint64 count) {
        faultLine(
            QStringLiteral("proxy: %1 datagram%2 to the relay from elsewhere than the real unit dropped "
                           "(last from %3)")
                .arg(count)
                .arg(count == 1 ? QString() : QStringLiteral("s"),
                     peerText(m_proxy->lastForeignAddress, m_proxy->lastForeignPort)));
    });
    m_proxy->discovery.setSingleShot(true);
    connect(&m_proxy->askAgain, &QTimer::timeout, this, &UnitSimulator::askRealUnit);
    connect(&m_proxy->discovery, &QTimer::timeout, this, &UnitSimulator::proxyQuestionUnanswered);
    m_proxyProfileGiven = profileGiven;
    // Passed on as they came, up to what a unit can receive; a byte more tells a longer one.
    // (A dense fleet's shared endpoints keep as much for all its units.)
    if (UDPSocket1) {
        UDPSocket1->setCapacity(UnitRelay::kMaxRequestSize + 1);
        UDPSocket2->setCapacity(UnitRelay::kMaxRequestSize + 1);
    }
    connect(m_relay.get(), &UnitRelay::replied, this, &UnitSimulator::relayReply);
    connect(m_relay.get(), &UnitRelay::foreignDatagram, this, [this](quint32 address, quint16 port) {
        m_proxy->lastForeignAddress = address;
        m_proxy->lastForeignPort = port;
        m_proxy->foreignReplies.add();
    });
    connect(m_relay.get(), &UnitRelay::relayClosed, this,
            [this](quint32 controller, quint16, const QString& why) {
                if (controller != 0) // not the unit's own, which asked what the real unit is
                    faultLine(QStringLiteral("proxy: ") + why);
            });
}

void UnitSimulator::learnProfile(QByteArrayView identity)
{
    if (!m_proxy->discovery.isActive() || !m_proxy->identity.isEmpty())
        return; // known already: another answer to a question asked again
    m_proxy->candidates.clear();
    for (int index = 0; index < kProfileCount; ++index) {
        const std::string_view known = identityForProfile(index);
        if (identity == QByteArrayView(known.data(), qsizetype(known.size())))
            m_proxy->candidates << index;
    }
    if (m_proxy->candidates.isEmpty()) {
        m_proxy->discovery.stop();
        m_proxy->askAgain.stop();
        noticeLine(QStringLiteral("proxy %1: the real unit at %2 answered discovery as no known profile; "
                                  "passing requests on to port %3 (profile %4)")
                       .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString())
                       .arg(unitPortForProfile(m_profileIndex))
                       .arg(m_profileIndex));
        return;
    }
    if (m_proxy->candidates.size() == 1)
        return settleProfile(m_proxy->candidates.first(), QString());
    // Profiles that share the identity share the unit port too; the status reply tells them apart.
    m_proxy->identity = identity.toByteArray();
    m_proxy->discovery.start(kProxyDiscoveryMs);
    askRealUnit();
}

void UnitSimulator::learnProfileFromStatus(QByteArrayView reply)
{
    if (!m_proxy->discovery.isActive() || m_proxy->identity.isEmpty() || reply.size() != kUnitFrameSize ||
        quint8(reply[0]) != kReplyFirstByte || quint8(reply[1]) != UnitCommand::StatusQuery)
        return;
    UnitFrame status{};
    std::copy(reply.begin(), reply.end(), reinterpret_cast<char*>(status.data()));
    const int profile =
        profileAnswering(m_proxy->identity, unitPortForProfile(m_proxy->candidates.first()), status);
    settleProfile(profile, QStringLiteral(" by its status reply"));
}

void UnitSimulator::settleProfile(int learned, const QString& how)
{
    m_proxy->discovery.stop();
    m_proxy->askAgain.stop();
    m_proxy->identity.clear();
    if (!m_proxyProfileGiven && learned != m_profileIndex)
        selectProfile(learned);
    // Information, not a fault: the proxy does as it should.
    noticeLine(QStringLiteral("proxy %1: the real unit at %2 answers as profile %3 (unit port %4)%5%6")
                   .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString())
                   .arg(learned)
                   .arg(unitPortForProfile(learned))
                   .arg(how, m_proxyProfileGiven && learned != m_profileIndex
                                 ? QStringLiteral("; posing as profile %1 as given").arg(m_profileIndex)
                                 : QString()));
}

void UnitSimulator::proxyQuestionUnanswered()
{
    if (!m_proxy->identity.isEmpty()) {
        // It said what kind it is, not which of the profiles of that kind.
        QStringList candidates;
        for (const int index : std::as_const(m_proxy->candidates))
            candidates << QString::number(index);
        const int first = m_proxy->candidates.first();
        m_proxy->askAgain.stop();
        m_proxy->identity.clear();
        if (!m_proxyProfileGiven && first != m_profileIndex)
            selectProfile(first);
        const QString text =
            QStringLiteral("proxy %1: the real unit at %2 answered discovery as profile %3 but not the "
                           "status query that tells which within %4 s; passing requests on as profile %5")
                .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString(),
                     candidates.join(QStringLiteral(" or ")))
                .arg(kProxyDiscoveryMs / 1000.0)
                .arg(m_profileIndex);
        faultLine(text);
        announceNotSent(text);
        return;
    }
    m_proxy->askAgain.stop();
    const QString text = QStringLiteral("proxy %1: the real unit at %2 did not answer discovery within %3 s; "
                                        "passing requests on to its port %4 (profile %5) regardless")
                             .arg(m_address.toString(), QHostAddress(m_relay->realAddress()).toString())
                             .arg(kProxyDiscoveryMs / 1000.0)
                             .arg(unitPortForProfile(m_profileIndex))
                             .arg(m_profileIndex);
    faultLine(text);
    announceNotSent(text);
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
    const bool fits = bytes.size() <= UnitRelay::kMaxRequestSize;
    const quint16 relayPort =
        fits ? m_relay->forward(controller, controllerPort, local, port, bytes, &error) : 0;
    if (!fits)
        error = QStringLiteral("longer than any datagram a unit receives (%1 bytes at most); not passed on")
                    .arg(UnitRelay::kMaxRequestSize);
    const TrafficLogEntry leg = TrafficLogEntry::relayed(
        TrafficLogEntry::Kind::RelayOut, m_relay->realAddress(), port, relayPort, bytes, profile);
    log(relayPort ? leg : leg.notSentBecause(error));
}

void UnitSimulator::relayReply(const UnitRelay::Reply& reply)
{
    const int profile = m_profileIndex;
    log(TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayIn, m_relay->realAddress(), reply.fromPort,
                                 reply.relayPort, reply.bytes, profile));
    if (reply.controller == 0) {
        // The unit's own questions at start.
        if (reply.discovery)
            learnProfile(reply.bytes);
        else
            learnProfileFromStatus(reply.bytes);
        return;
    }
    const Endpoint endpoint = reply.discovery ? Endpoint::Discovery : Endpoint::Unit;
    const quint8 kind = reply.discovery ? FaultKind::Discovery : unitFaultKind(reply.bytes);
    const TrafficLogEntry::Command answers = TrafficLogEntry::commandOfKind(kind);
    if (reply.bytes.size() > ReplyCopy::kMaxSize) {
        // Longer than any reply of the protocol: passed on as it came, past the faults.
        const bool up = m_state == State::Answering;
        const bool unitPort = endpoint == Endpoint::Unit;
        const auto [through, from] = unitPort ? unitRoute(reply.local) : discoveryRoute(reply.local);
        const bool sent = up && through->writeFrom(from, reply.controller, reply.controllerPort, reply.bytes);
        logReply(TrafficLogEntry::unitOutgoing(reply.controller, reply.controllerPort, reply.bytes, profile,
                                               unitPort ? m_unitEndpoint->port() : kDiscoveryPort),
                 sent, *through);
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
