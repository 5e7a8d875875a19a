#include "controlserver.h"

#include "log/trafficlogjson.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QJsonArray>

QList<ControlServer::Binding> ControlServer::peerBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/peers"), &ControlServer::listPeers},
        {"GET", QStringLiteral("/api/v1/units/{id}/peers"), &ControlServer::listUnitPeers},
    };
}

namespace {

QJsonObject peerJson(const PeerTable::Peer& peer, const QString& units)
{
    QJsonObject requests;
    for (int c = 0; c < PeerTable::kCommandCount; ++c)
        requests.insert(QLatin1String(TrafficLogEntry::commandName(TrafficLogEntry::Command(c))),
                        qint64(peer.requests[std::size_t(c)]));
    QJsonObject malformed;
    for (int m = 0; m < PeerTable::kMalformedCount; ++m)
        malformed.insert(QLatin1String(PeerTable::malformedName(PeerTable::Malformed(m))),
                         qint64(peer.malformed[std::size_t(m)]));
    QJsonObject json{{QStringLiteral("peer"), peer.name()},
                     {QStringLiteral("requests"), requests},
                     {QStringLiteral("malformed"), malformed},
                     {QStringLiteral("first"), isoTimeUs(peer.firstUs)},
                     {QStringLiteral("last"), isoTimeUs(peer.lastUs)},
                     {QStringLiteral("maxPerSecond"), qint64(peer.maxPerSecond)}};
    if (peer.isOther()) {
        json.insert(QStringLiteral("address"), QJsonValue::Null);
        json.insert(QStringLiteral("port"), QJsonValue::Null);
    } else {
        json.insert(QStringLiteral("address"), QHostAddress(peer.address).toString());
        json.insert(QStringLiteral("port"), peer.port);
    }
    if (!units.isNull())
        json.insert(QStringLiteral("units"), units);
    return json;
}
} // namespace

ControlReply ControlServer::listPeers(const HttpRequest&, const QStringList&)
{
    QJsonArray peers;
    for (const PeerTable::Peer& peer : m_session.peers().peers())
        peers.append(peerJson(peer, m_session.unitsOf(peer)));
    return ControlReply::json(peers);
}

ControlReply ControlServer::listUnitPeers(const HttpRequest&, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QJsonArray peers;
    for (const PeerTable::Peer& peer : unit->peers().peers())
        peers.append(peerJson(peer, QString()));
    return ControlReply::json(peers);
}
