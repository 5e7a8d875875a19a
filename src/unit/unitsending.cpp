#include "unitsimulator.h"

#include "discovery.h"

// How a unit's replies and log lines leave: at once, or with the replies of the receive being
// handled (see ReplyBatch).

void UnitSimulator::announceEndpointState(Endpoint endpoint)
{
    const QString text = endpoint == Endpoint::Unit ? unitEndpointState() : discoveryEndpointState();
    if (m_host)
        m_host->unitEndpointStateChanged(
            m_unitIndex,
            endpoint == Endpoint::Unit ? unitEndpoint().isBound() : discoveryEndpoint().isBound(), text);
    else
        emit endpointStateChanged(endpoint, text);
}

void UnitSimulator::log(const TrafficLogEntry& entry)
{
    if (m_batch && m_batch->isOpen())
        m_batch->hold(this, entry);
    else
        announceLine(entry);
}

void UnitSimulator::releaseLine(const TrafficLogEntry& entry, int error)
{
    if (error == 0) {
        announceLine(entry);
        return;
    }
    ++m_repliesNotSent;
    announceLine(entry.notSentBecause(DatagramEndpoint::sendErrorText(error)));
}

void UnitSimulator::reply(DatagramEndpoint& endpoint, const OutgoingDatagram& datagram,
                          const TrafficLogEntry& entry)
{
    if (m_batch && m_batch->isOpen()) {
        m_batch->reply(this, &endpoint, datagram, entry);
        return;
    }
    logReply(entry, endpoint.writeFrom(datagram.source, datagram.address, datagram.port, datagram.data),
             endpoint);
}

std::pair<DatagramEndpoint*, quint32> UnitSimulator::discoveryRoute(quint32 source)
{
    // A unit of a fleet answers from its own address, whichever endpoint heard the request (a
    // broadcast comes to the fleet's, addressed to no one unit).
    if (m_sharedDiscovery && (!UDPSocket2 || !UDPSocket2->isBound()))
        return {m_sharedDiscovery, m_address.toIPv4Address()};
    return {UDPSocket2.get(), m_sharedDiscovery ? 0 : source};
}

void UnitSimulator::noticeLine(const QString& text)
{
    log(TrafficLogEntry::notice(text));
}

void UnitSimulator::faultLine(const QString& text)
{
    log(TrafficLogEntry::fault(TrafficLogEntry::Kind::UnitFault, 0, 0, m_profileIndex, text));
}

void UnitSimulator::send(Endpoint endpoint, quint32 source, quint32 address, quint16 port,
                         const ReplyCopy& copy, int profile, TrafficLogEntry::Command answers)
{
    const QByteArrayView bytes(copy.bytes.data(), copy.size);
    const TrafficLogEntry entry =
        endpoint == Endpoint::Unit
            ? TrafficLogEntry::unitOutgoing(address, port, bytes, profile, m_unitEndpoint->port())
                  .answering(answers)
        : bytes == identity(profile) ? discoveryReplyEntry(address, port, profile)
                                     : TrafficLogEntry::discoveryOutgoing(address, port, profile, bytes);
    const auto [through, from] = endpoint == Endpoint::Unit ? unitRoute(source) : discoveryRoute(source);
    // A delayed reply that comes due while the unit is down never leaves (logReply says why).
    if (m_state == State::Answering)
        reply(*through, {from, address, port, bytes}, entry);
    else
        logReply(entry, false, *through);
    // Held replies wait for this one to leave, whether or not the network took it.
    if (m_reorder)
        m_reorder->replyLeft(address, port);
}

void UnitSimulator::logReply(const TrafficLogEntry& entry, bool sent, const DatagramEndpoint& endpoint)
{
    if (sent) {
        log(entry);
        return;
    }
    ++m_repliesNotSent;
    log(entry.notSentBecause(m_state == State::Answering
                                 ? endpoint.lastSendError()
                                 : QStringLiteral("the unit is ") + QLatin1String(stateName(m_state))));
}
