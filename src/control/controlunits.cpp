#include "controlserver.h"

#include "log/trafficlogjson.h"
#include "record/unitprofiles.h"
#include "unit/unitsimulator.h"

#include <QNetworkInterface>
#include <QRegularExpression>

namespace {
QString text(std::string_view view)
{
    return QString::fromLatin1(view.data(), qsizetype(view.size()));
}
} // namespace

QList<ControlServer::Binding> ControlServer::unitBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/units"), &ControlServer::listUnits},
        {"GET", QStringLiteral("/api/v1/units/{id}"), &ControlServer::getUnit},
        {"PUT", QStringLiteral("/api/v1/units/{id}/profile"), &ControlServer::putProfile},
        {"PUT", QStringLiteral("/api/v1/units/{id}/channels"), &ControlServer::putChannels},
        {"GET", QStringLiteral("/api/v1/units/{id}/faults"), &ControlServer::listUnitFaults},
    };
}

ControlReply ControlServer::noSuchUnit(const QString& id)
{
    return ControlReply::error(HttpStatus::NotFound, QStringLiteral("no unit %1").arg(id));
}

UnitSimulator* ControlServer::findUnit(const QString& id) const
{
    // Plain decimal indexes and dotted-decimal addresses only: "00", "+0", "0x0" and "2130706433"
    // name no unit (a resolver would read the last two as addresses).
    static const QRegularExpression index(QStringLiteral("^(0|[1-9][0-9]{0,8})$"));
    static const QRegularExpression dotted(
        QStringLiteral("^(0|[1-9][0-9]{0,2})(\\.(0|[1-9][0-9]{0,2})){3}$"));
    if (index.match(id).hasMatch()) {
        const qsizetype k = id.toLongLong();
        return k < units().size() ? units()[k] : nullptr;
    }
    const QHostAddress address(id);
    if (!dotted.match(id).hasMatch() || address.isNull() ||
        address.protocol() != QAbstractSocket::IPv4Protocol)
        return nullptr;
    const auto found = std::find_if(units().cbegin(), units().cend(), [&](const UnitSimulator* unit) {
        return !control::listensEverywhere(*unit) && unit->address() == address;
    });
    return found == units().cend() ? nullptr : *found;
}

namespace {
// The addresses a unit answers on: its own, or for the single unit every IPv4 address of the
// machine's interfaces that are up.
QJsonArray answeringAddresses(const UnitSimulator& unit)
{
    QJsonArray addresses;
    if (!control::listensEverywhere(unit)) {
        addresses.append(unit.address().toString());
        return addresses;
    }
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addresses.append(entry.ip().toString());
        }
    }
    return addresses;
}

QJsonObject unitJson(const UnitSimulator& unit, qsizetype id)
{
    const int profile = unit.profileIndex();
    QJsonArray channels;
    for (int n = 2; n <= 25; ++n)
        channels.append(unit.channelValues()[std::size_t(n)]);
    QJsonObject object{{QStringLiteral("id"), id},
                       // The single unit listens on every address of the machine: it has no one address.
                       {QStringLiteral("address"), control::listensEverywhere(unit)
                                                       ? QJsonValue()
                                                       : QJsonValue(unit.address().toString())},
                       {QStringLiteral("addresses"), answeringAddresses(unit)},
                       {QStringLiteral("profile"), profile},
                       {QStringLiteral("label"), text(kUnitProfiles[std::size_t(profile)].label)},
                       {QStringLiteral("identity"), QString::fromLatin1(unit.discoveryIdentity())},
                       {QStringLiteral("unitPort"), unitPortForProfile(profile)},
                       {QStringLiteral("discoveryPort"), kDiscoveryPort},
                       // The names of earlier releases, kept readable for one more.
                       {QStringLiteral("unit_port"), unitPortForProfile(profile)},
                       {QStringLiteral("discovery_port"), kDiscoveryPort},
                       {QStringLiteral("listening"),
                        QJsonObject{{QStringLiteral("unit"), unit.unitEndpoint().isBound()},
                                    {QStringLiteral("discovery"), unit.discoveryEndpoint().isBound()}}},
                       {QStringLiteral("channels"), channels},
                       {QStringLiteral("state"), QLatin1String(UnitSimulator::stateName(unit.state()))},
                       {QStringLiteral("requests"), qint64(unit.requestCount())}};
    if (unit.recording())
        object.insert(QStringLiteral("recording"), unit.recording()->path);
    if (const UnitRelay* relay = unit.relay())
        object.insert(QStringLiteral("proxy"), QHostAddress(relay->realAddress()).toString());
    return object;
}
} // namespace

namespace {
// The same object as unitJson(), its keys in the same order, written directly: a page of units
// costs a fifth of building it through QJsonObject, and the event loop is the units'.
void appendUnitJson(QByteArray& out, const UnitSimulator& unit, qsizetype id)
{
    const int profile = unit.profileIndex();
    const bool everywhere = control::listensEverywhere(unit);
    const QByteArray address = everywhere ? QByteArray() : unit.address().toString().toLatin1();
    const auto number = [&out](qint64 value) { out += QByteArray::number(value); };
    out += "{\"address\":";
    if (everywhere)
        out += "null";
    else
        appendJsonString(out, address);
    out += ",\"addresses\":[";
    if (everywhere) {
        const QJsonArray all = answeringAddresses(unit);
        for (qsizetype k = 0; k < all.size(); ++k) {
            if (k)
                out += ',';
            appendJsonString(out, all[k].toString().toUtf8());
        }
    } else {
        appendJsonString(out, address);
    }
    out += "],\"channels\":[";
    for (int n = 2; n <= 25; ++n) {
        if (n > 2)
            out += ',';
        number(unit.channelValues()[std::size_t(n)]);
    }
    out += "],\"discoveryPort\":";
    number(kDiscoveryPort);
    out += ",\"discovery_port\":";
    number(kDiscoveryPort);
    out += ",\"id\":";
    number(id);
    out += ",\"identity\":";
    appendJsonString(out, QString::fromLatin1(unit.discoveryIdentity()).toUtf8());
    out += ",\"label\":";
    appendJsonString(out, QByteArrayView(kUnitProfiles[std::size_t(profile)].label.data(),
                                         qsizetype(kUnitProfiles[std::size_t(profile)].label.size())));
    out += ",\"listening\":{\"discovery\":";
    out += unit.discoveryEndpoint().isBound() ? "true" : "false";
    out += ",\"unit\":";
    out += unit.unitEndpoint().isBound() ? "true" : "false";
    out += "},\"profile\":";
    number(profile);
    if (const UnitRelay* relay = unit.relay()) {
        out += ",\"proxy\":";
        appendJsonString(out, QHostAddress(relay->realAddress()).toString().toLatin1());
    }
    if (unit.recording()) {
        out += ",\"recording\":";
        appendJsonString(out, unit.recording()->path.toUtf8());
    }
    out += ",\"requests\":";
    number(qint64(unit.requestCount()));
    out += ",\"state\":";
    appendJsonString(out, UnitSimulator::stateName(unit.state()));
    out += ",\"unitPort\":";
    number(unitPortForProfile(profile));
    out += ",\"unit_port\":";
    number(unitPortForProfile(profile));
    out += '}';
}
} // namespace

ControlReply ControlServer::listUnits(const HttpRequest& request, const QStringList&)
{
    // A page at a time, as the log is: a fleet of thousands listed whole, by many callers at
    // once, would hold the units' replies up for seconds.
    const qsizetype total = units().size();
    bool ok = true;
    qsizetype from = 0;
    if (request.query.hasQueryItem(QStringLiteral("from"))) {
        from = request.query.queryItemValue(QStringLiteral("from")).toLongLong(&ok);
        if (!ok || from < 0)
            return ControlReply::error(HttpStatus::BadRequest,
                                       QStringLiteral("from must be a unit id from 0"));
    }
    qsizetype limit = kUnitPageLimit;
    if (request.query.hasQueryItem(QStringLiteral("limit"))) {
        limit = request.query.queryItemValue(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || limit < 1 || limit > kUnitPageLimit)
            return ControlReply::error(HttpStatus::BadRequest,
                                       QStringLiteral("limit must be from 1 to %1").arg(kUnitPageLimit));
    }
    ControlReply reply;
    const qsizetype end = std::min(total, from + limit);
    reply.body.reserve((end - from) * 400 + 2);
    reply.body += '[';
    for (qsizetype k = from; k < end; ++k) {
        if (k > from)
            reply.body += ',';
        appendUnitJson(reply.body, *units()[k], k);
    }
    reply.body += ']';
    reply.headers.append({"X-Total-Count", QByteArray::number(total)});
    if (end < total)
        reply.headers.append({"Link", "</api/v1/units?from=" + QByteArray::number(end) +
                                          "&limit=" + QByteArray::number(limit) + ">; rel=\"next\""});
    return reply;
}

ControlReply ControlServer::getUnit(const HttpRequest&, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    return ControlReply::json(unitJson(*unit, units().indexOf(unit)));
}

ControlReply ControlServer::putProfile(const HttpRequest& request, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QString error;
    const std::optional<QJsonObject> body = control::bodyObject(request, &error);
    if (!body)
        return ControlReply::error(HttpStatus::BadRequest, error);
    const std::optional<int> profile =
        control::wholeNumber(body->value(QStringLiteral("profile")), 0, kProfileCount - 1);
    if (!profile)
        return ControlReply::error(HttpStatus::BadRequest,
                                   QStringLiteral("\"profile\" must be a whole number from 0 to 8"));
    unit->selectProfile(*profile);
    return ControlReply::json(unitJson(*unit, units().indexOf(unit)));
}

ControlReply ControlServer::putChannels(const HttpRequest& request, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QString error;
    const std::optional<QJsonObject> body = control::bodyObject(request, &error);
    if (!body)
        return ControlReply::error(HttpStatus::BadRequest, error);
    const QJsonValue channels = body->value(QStringLiteral("channels"));
    const QJsonArray array = channels.toArray();
    if (!channels.isArray() || array.size() != 24)
        return ControlReply::error(
            HttpStatus::BadRequest,
            QStringLiteral("\"channels\" must be an array of 24 values, for channels 2 to 25"));
    std::array<quint8, 24> values{};
    for (qsizetype i = 0; i < array.size(); ++i) {
        const std::optional<int> value = control::wholeNumber(array[i], 0, 255);
        if (!value)
            return ControlReply::error(
                HttpStatus::BadRequest,
                QStringLiteral("channel %1: a value must be a whole number from 0 to 255").arg(i + 2));
        values[std::size_t(i)] = quint8(*value);
    }
    unit->setChannels(values);
    return ControlReply::json(unitJson(*unit, units().indexOf(unit)));
}
