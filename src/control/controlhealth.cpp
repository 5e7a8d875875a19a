#include "controlserver.h"

#include "fleet/unitfleet.h"
#include "scenario/scenarioplayer.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

QList<ControlServer::Binding> ControlServer::healthBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/health"), &ControlServer::getHealth},
    };
}

namespace {
// One endpoint that does not listen, for the answer's "notBound".
QJsonObject notBound(const QJsonValue& unit, const QJsonValue& address, const char* endpoint,
                     const DatagramEndpoint& socket)
{
    return {{QStringLiteral("unit"), unit},
            {QStringLiteral("address"), address},
            {QStringLiteral("endpoint"), QLatin1String(endpoint)},
            {QStringLiteral("port"), int(socket.port())},
            {QStringLiteral("reason"),
             socket.bindError().isEmpty() ? QStringLiteral("not bound") : socket.bindError()}};
}
} // namespace

ControlReply ControlServer::getHealth(const HttpRequest&, const QStringList&)
{
    // Ready once every endpoint listens and a scenario, when there is one, plays: what a test or a
    // container's health check waits for before it sends anything.
    QJsonArray missing;
    qsizetype listening = 0;
    for (qsizetype k = 0; k < units().size(); ++k) {
        const UnitSimulator& unit = *units()[k];
        const QJsonValue address =
            control::listensEverywhere(unit) ? QJsonValue() : QJsonValue(unit.address().toString());
        const bool unitBound = unit.unitEndpoint().isBound();
        const bool discoveryBound = unit.discoveryEndpoint().isBound();
        if (!unitBound)
            missing.append(notBound(k, address, "unit", unit.unitEndpoint()));
        if (!discoveryBound)
            missing.append(notBound(k, address, "discovery", unit.discoveryEndpoint()));
        listening += unitBound && discoveryBound;
    }
    // A fleet's broadcasts come through one endpoint on all addresses.
    if (const UnitFleet* fleet = m_session.fleet(); fleet && !fleet->discoveryEndpoint().isBound())
        missing.append(
            notBound(QJsonValue(), QStringLiteral("0.0.0.0"), "discovery", fleet->discoveryEndpoint()));

    QJsonObject answer{{QStringLiteral("units"), units().size()}, {QStringLiteral("listening"), listening}};
    QStringList why;
    if (!missing.isEmpty()) {
        answer.insert(QStringLiteral("notBound"), missing);
        why << QStringLiteral("%1 of %2 units not listening")
                   .arg(units().size() - listening)
                   .arg(units().size());
        if (listening == units().size())
            why.last() = QStringLiteral("the fleet's discovery port on all addresses not listening");
    }
    // A proxy unit may still move to the unit port its real unit names.
    const qsizetype asking = std::count_if(
        units().cbegin(), units().cend(), [](const UnitSimulator* unit) { return unit->isAskingRealUnit(); });
    if (asking > 0)
        why << QStringLiteral("%1 proxy unit%2 still asking the real unit what it is")
                   .arg(asking)
                   .arg(asking == 1 ? QString() : QStringLiteral("s"));
    if (const ScenarioPlayer* player = m_session.player()) {
        const QString state = player->isFinished()  ? QStringLiteral("finished")
                              : player->isRunning() ? QStringLiteral("running")
                                                    : QStringLiteral("stopped");
        answer.insert(QStringLiteral("scenario"), state);
        if (!player->isRunning() || player->isFinished())
            why << QStringLiteral("the scenario is %1").arg(state);
    }
    const bool ready = why.isEmpty();
    answer.insert(QStringLiteral("ready"), ready);
    if (!ready)
        answer.insert(QStringLiteral("reason"), why.join(QStringLiteral("; ")));
    return ControlReply::json(answer, ready ? HttpStatus::Ok : HttpStatus::ServiceUnavailable);
}
