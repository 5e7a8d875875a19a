#include "controlserver.h"

#include "capture/trafficcapture.h"
#include "fault/faultinjector.h"
#include "log/trafficlogjson.h"
#include "log/trafficlogmodel.h"
#include "unit/unitprofiles.h"
#include "unit/unitsimulator.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QUrlQuery>

#include <numeric>

namespace {
using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

constexpr qsizetype kDefaultLogLimit = 1000;
constexpr qsizetype kMaxLogLimit = 10000;

QString text(std::string_view view)
{
    return QString::fromLatin1(view.data(), qsizetype(view.size()));
}

QByteArray methodName(Method method)
{
    // "Get" as Qt names it, "GET" as HTTP does.
    const char* key = QMetaEnum::fromType<Method>().valueToKey(int(method));
    return key ? QByteArray(key).toUpper() : QByteArray("UNKNOWN");
}

// Bytes compared in full whatever they hold, so that the time taken says nothing of the token.
bool sameSecret(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QString promLabel(const QString& value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return escaped;
}
} // namespace

struct ControlServer::Reply {
    Status status = Status::Ok;
    QByteArray body;
    QByteArray contentType = "application/json";
    QByteArray allow; // for 405

    Reply() = default;
    Reply(Status code, const QJsonDocument& document)
        : status(code)
        , body(document.toJson(QJsonDocument::Compact))
    {
    }
    static Reply json(const QJsonObject& object, Status code = Status::Ok)
    {
        return {code, QJsonDocument(object)};
    }
    static Reply json(const QJsonArray& array) { return {Status::Ok, QJsonDocument(array)}; }
    static Reply error(Status code, const QString& message)
    {
        return json(QJsonObject{{QStringLiteral("error"), message}}, code);
    }
    static Reply empty()
    {
        Reply reply;
        reply.status = Status::NoContent;
        return reply;
    }
};

struct ControlServer::Binding {
    Method method;
    QString path;
    Handler handler;
};

const QList<ControlServer::Binding>& ControlServer::bindings()
{
    static const QList<Binding> table = {
        {Method::Get, QStringLiteral("/api/v1/units"), &ControlServer::listUnits},
        {Method::Get, QStringLiteral("/api/v1/units/{id}"), &ControlServer::getUnit},
        {Method::Put, QStringLiteral("/api/v1/units/{id}/profile"), &ControlServer::putProfile},
        {Method::Put, QStringLiteral("/api/v1/units/{id}/channels"), &ControlServer::putChannels},
        {Method::Get, QStringLiteral("/api/v1/units/{id}/faults"), &ControlServer::listUnitFaults},
        {Method::Get, QStringLiteral("/api/v1/log"), &ControlServer::getLog},
        {Method::Delete, QStringLiteral("/api/v1/log"), &ControlServer::deleteLog},
        {Method::Get, QStringLiteral("/api/v1/capture.pcap"), &ControlServer::capture},
        {Method::Get, QStringLiteral("/api/v1/faults"), &ControlServer::listFaults},
        {Method::Post, QStringLiteral("/api/v1/faults"), &ControlServer::addFault},
        {Method::Delete, QStringLiteral("/api/v1/faults"), &ControlServer::removeFaults},
        {Method::Delete, QStringLiteral("/api/v1/faults/{id}"), &ControlServer::removeFault},
        {Method::Get, QStringLiteral("/metrics"), &ControlServer::metrics},
        {Method::Get, QStringLiteral("/api/v1/openapi.json"), &ControlServer::openApi},
    };
    return table;
}

QList<ControlServer::Route> ControlServer::routes()
{
    QList<Route> out;
    for (const Binding& binding : bindings())
        out.append({methodName(binding.method), binding.path});
    return out;
}

ControlServer::ControlServer(UnitSimulator& unit, TrafficLogModel& log, const QByteArray& token,
                             QObject* parent)
    : ControlServer(QList<UnitSimulator*>{&unit}, log, token, parent)
{
}

ControlServer::ControlServer(const QList<UnitSimulator*>& units, TrafficLogModel& log,
                             const QByteArray& token, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_units(units)
    , m_log(log)
    , m_token(token)
{
    Q_ASSERT(!m_units.isEmpty());
    for (UnitSimulator* unit : m_units)
        connect(unit, &UnitSimulator::trafficLogged, this, &ControlServer::count);
}

bool ControlServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    auto* tcp = new QTcpServer(this);
    if (!tcp->listen(address, port)) {
        if (error)
            *error = tcp->errorString();
        delete tcp;
        return false;
    }
    m_tcp = tcp;
    bind(tcp);
    return true;
}

QString ControlServer::url() const
{
    if (!m_tcp)
        return {};
    return QStringLiteral("http://%1:%2").arg(m_tcp->serverAddress().toString()).arg(m_tcp->serverPort());
}

void ControlServer::count(const TrafficLogEntry& entry)
{
    if (entry.isFault())
        return;
    ++m_datagrams[entry.isDiscovery()][!entry.isIncoming()][std::size_t(entry.command())];
}

bool ControlServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const Reply reply = dispatch(request);
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(reply.status);
    // An answer without content has no type either.
    if (reply.status != Status::NoContent)
        responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    if (!reply.allow.isEmpty())
        responder.writeHeader("Allow", reply.allow);
    if (reply.status == Status::Unauthorized)
        responder.writeHeader("WWW-Authenticate", "Bearer");
    responder.writeBody(reply.body);
    return true;
}

void ControlServer::missingHandler(const QHttpServerRequest&, QTcpSocket*)
{
    // Every request is handled (an unknown path gets 404 from dispatch()).
}

ControlServer::Reply ControlServer::dispatch(const QHttpServerRequest& request)
{
    if (!m_token.isEmpty() && !sameSecret(request.value("Authorization"), "Bearer " + m_token))
        return Reply::error(Status::Unauthorized,
                            QStringLiteral("this API needs \"Authorization: Bearer TOKEN\""));
    if (request.body().size() >= kBodyLimitBytes)
        return Reply::error(
            Status::PayloadTooLarge,
            QStringLiteral("a request body must be shorter than %1 bytes").arg(kBodyLimitBytes));

    const QStringList parts = request.url().path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QByteArray allowed;
    for (const Binding& binding : bindings()) {
        const QStringList pattern = binding.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (pattern.size() != parts.size())
            continue;
        QStringList params;
        bool matches = true;
        for (qsizetype i = 0; i < parts.size() && matches; ++i) {
            if (pattern[i].startsWith(QLatin1Char('{')))
                params << parts[i];
            else
                matches = pattern[i] == parts[i];
        }
        if (!matches)
            continue;
        if (binding.method == request.method())
            return (this->*binding.handler)(request, params);
        allowed += (allowed.isEmpty() ? "" : ", ") + methodName(binding.method);
    }
    if (allowed.isEmpty())
        return Reply::error(Status::NotFound,
                            QStringLiteral("no such resource: %1").arg(request.url().path()));
    Reply reply =
        Reply::error(Status::MethodNotAllowed,
                     QStringLiteral("%1 does not take %2; it takes %3")
                         .arg(request.url().path(), QString::fromLatin1(methodName(request.method())),
                              QString::fromLatin1(allowed)));
    reply.allow = allowed;
    return reply;
}

namespace {
// A request's JSON object, or a 400 message.
std::optional<QJsonObject> bodyObject(const QHttpServerRequest& request, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("bad JSON: ") + parseError.errorString();
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the body must be a JSON object");
        return std::nullopt;
    }
    return document.object();
}

// A JSON number that is a whole number within [low, high].
std::optional<int> wholeNumber(const QJsonValue& value, int low, int high)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != double(qint64(number)) || number < low || number > high)
        return std::nullopt;
    return int(number);
}

QJsonObject faultJson(const FaultInjector::Entry& entry)
{
    return {{QStringLiteral("id"), entry.id},
            {QStringLiteral("rule"), entry.rule.text},
            {QStringLiteral("enabled"), entry.rule.enabled},
            {QStringLiteral("matched"), qint64(entry.matched)},
            {QStringLiteral("fired"), qint64(entry.fired)}};
}

} // namespace

FaultInjector& ControlServer::faults() const
{
    return m_units.front()->faults();
}

ControlServer::Reply ControlServer::noSuchUnit(const QString& id)
{
    return Reply::error(Status::NotFound, QStringLiteral("no unit %1").arg(id));
}

QList<FaultInjector::Entry> ControlServer::fleetFaults() const
{
    // Every unit holds the same rules under the same ids; the counts are the sum of the units'.
    QList<FaultInjector::Entry> rules = faults().rules();
    for (qsizetype k = 1; k < m_units.size(); ++k) {
        const QList<FaultInjector::Entry>& own = m_units[k]->faults().rules();
        for (qsizetype i = 0; i < rules.size() && i < own.size(); ++i) {
            rules[i].matched += own[i].matched;
            rules[i].fired += own[i].fired;
        }
    }
    return rules;
}

UnitSimulator* ControlServer::findUnit(const QString& id) const
{
    bool isIndex = false;
    const qsizetype index = id.toLongLong(&isIndex);
    if (isIndex && QString::number(index) == id)
        return index >= 0 && index < m_units.size() ? m_units[index] : nullptr;
    const QHostAddress address(id);
    if (address.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol)
        return nullptr;
    const auto found = std::find_if(m_units.cbegin(), m_units.cend(),
                                    [&](const UnitSimulator* unit) { return unit->address() == address; });
    return found == m_units.cend() ? nullptr : *found;
}

namespace {
bool listensEverywhere(const UnitSimulator& unit)
{
    return unit.address() == QHostAddress(QHostAddress::AnyIPv4);
}

// The addresses a unit answers on: its own, or for the single unit every IPv4 address of the
// machine's interfaces that are up.
QJsonArray answeringAddresses(const UnitSimulator& unit)
{
    QJsonArray addresses;
    if (!listensEverywhere(unit)) {
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
    return {{QStringLiteral("id"), id},
            // The single unit listens on every address of the machine: it has no one address.
            {QStringLiteral("address"),
             listensEverywhere(unit) ? QJsonValue() : QJsonValue(unit.address().toString())},
            {QStringLiteral("addresses"), answeringAddresses(unit)},
            {QStringLiteral("profile"), profile},
            {QStringLiteral("label"), text(kUnitProfiles[std::size_t(profile)].label)},
            {QStringLiteral("identity"), text(identityForProfile(profile))},
            {QStringLiteral("unit_port"), unitPortForProfile(profile)},
            {QStringLiteral("discovery_port"), kDiscoveryPort},
            {QStringLiteral("listening"),
             QJsonObject{{QStringLiteral("unit"), unit.unitEndpoint().isBound()},
                         {QStringLiteral("discovery"), unit.discoveryEndpoint().isBound()}}},
            {QStringLiteral("channels"), channels}};
}
} // namespace

ControlServer::Reply ControlServer::listUnits(const QHttpServerRequest&, const QStringList&)
{
    QJsonArray units;
    for (qsizetype k = 0; k < m_units.size(); ++k)
        units.append(unitJson(*m_units[k], k));
    return Reply::json(units);
}

ControlServer::Reply ControlServer::getUnit(const QHttpServerRequest&, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    return Reply::json(unitJson(*unit, m_units.indexOf(unit)));
}

ControlServer::Reply ControlServer::putProfile(const QHttpServerRequest& request, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QString error;
    const std::optional<QJsonObject> body = bodyObject(request, &error);
    if (!body)
        return Reply::error(Status::BadRequest, error);
    const std::optional<int> profile =
        wholeNumber(body->value(QStringLiteral("profile")), 0, kProfileCount - 1);
    if (!profile)
        return Reply::error(Status::BadRequest,
                            QStringLiteral("\"profile\" must be a whole number from 0 to 8"));
    unit->selectProfile(*profile);
    return Reply::json(unitJson(*unit, m_units.indexOf(unit)));
}

ControlServer::Reply ControlServer::putChannels(const QHttpServerRequest& request, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QString error;
    const std::optional<QJsonObject> body = bodyObject(request, &error);
    if (!body)
        return Reply::error(Status::BadRequest, error);
    const QJsonValue channels = body->value(QStringLiteral("channels"));
    const QJsonArray array = channels.toArray();
    if (!channels.isArray() || array.size() != 24)
        return Reply::error(
            Status::BadRequest,
            QStringLiteral("\"channels\" must be an array of 24 values, for channels 2 to 25"));
    std::array<quint8, 24> values{};
    for (qsizetype i = 0; i < array.size(); ++i) {
        const std::optional<int> value = wholeNumber(array[i], 0, 255);
        if (!value)
            return Reply::error(
                Status::BadRequest,
                QStringLiteral("channel %1: a value must be a whole number from 0 to 255").arg(i + 2));
        values[std::size_t(i)] = quint8(*value);
    }
    unit->setChannels(values);
    return Reply::json(unitJson(*unit, m_units.indexOf(unit)));
}

ControlServer::Reply ControlServer::getLog(const QHttpServerRequest& request, const QStringList&)
{
    const QUrlQuery query = request.query();
    bool ok = true;
    const quint64 since = query.hasQueryItem(QStringLiteral("since"))
                              ? query.queryItemValue(QStringLiteral("since")).toULongLong(&ok)
                              : 0;
    if (!ok)
        return Reply::error(Status::BadRequest, QStringLiteral("since must be a sequence number from 0"));
    qsizetype limit = kDefaultLogLimit;
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        limit = query.queryItemValue(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || limit < 1 || limit > kMaxLogLimit)
            return Reply::error(Status::BadRequest,
                                QStringLiteral("limit must be from 1 to %1").arg(kMaxLogLimit));
    }
    // Lines cleared away are gone; a reader that asks for them gets what is left.
    const quint64 first = std::clamp(since, m_log.firstSeq(), m_log.endSeq());
    const quint64 end = std::min(m_log.endSeq(), first + quint64(limit));
    QJsonArray entries;
    for (quint64 seq = first; seq < end; ++seq)
        entries.append(trafficLogJson(m_log.entryWithSeq(seq), seq, m_log.unitWithSeq(seq),
                                      m_log.unitAddressWithSeq(seq)));
    return Reply::json(QJsonObject{{QStringLiteral("entries"), entries},
                                   {QStringLiteral("next"), qint64(end)},
                                   {QStringLiteral("first"), qint64(m_log.firstSeq())}});
}

ControlServer::Reply ControlServer::deleteLog(const QHttpServerRequest&, const QStringList&)
{
    m_log.clear();
    return Reply::empty();
}

ControlServer::Reply ControlServer::listFaults(const QHttpServerRequest&, const QStringList&)
{
    QJsonArray faults;
    for (const FaultInjector::Entry& entry : fleetFaults())
        faults.append(faultJson(entry));
    return Reply::json(faults);
}

ControlServer::Reply ControlServer::listUnitFaults(const QHttpServerRequest&, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QJsonArray faults;
    for (const FaultInjector::Entry& entry : unit->faults().rules())
        faults.append(faultJson(entry));
    return Reply::json(faults);
}

ControlServer::Reply ControlServer::addFault(const QHttpServerRequest& request, const QStringList&)
{
    QString error;
    const std::optional<QJsonObject> body = bodyObject(request, &error);
    if (!body)
        return Reply::error(Status::BadRequest, error);
    const QJsonValue text = body->value(QStringLiteral("rule"));
    if (!text.isString())
        return Reply::error(Status::BadRequest, QStringLiteral("\"rule\" must be a string"));
    const std::optional<FaultRule> rule = FaultRule::parse(text.toString(), &error);
    if (!rule)
        return Reply::error(Status::BadRequest, error);
    // A rule for units that do not exist would be kept and never act.
    QList<quint32> addresses;
    for (const UnitSimulator* unit : std::as_const(m_units))
        addresses << (listensEverywhere(*unit) ? 0 : unit->address().toIPv4Address());
    if (const QString problem = rule->unitsProblem(addresses); !problem.isEmpty())
        return Reply::error(Status::BadRequest, problem);
    const int id = faults().add(*rule);
    for (qsizetype k = 1; k < m_units.size(); ++k)
        m_units[k]->faults().add(*rule);
    for (const FaultInjector::Entry& entry : faults().rules()) {
        if (entry.id == id)
            return Reply::json(faultJson(entry), Status::Created);
    }
    return Reply::error(Status::InternalServerError, QStringLiteral("the rule was not kept"));
}

ControlServer::Reply ControlServer::removeFaults(const QHttpServerRequest&, const QStringList&)
{
    for (UnitSimulator* unit : m_units)
        unit->faults().clear();
    return Reply::empty();
}

ControlServer::Reply ControlServer::removeFault(const QHttpServerRequest&, const QStringList& params)
{
    bool ok = false;
    const int id = params[0].toInt(&ok);
    if (!ok || !faults().remove(id))
        return Reply::error(Status::NotFound, QStringLiteral("no fault rule %1").arg(params[0]));
    for (qsizetype k = 1; k < m_units.size(); ++k)
        m_units[k]->faults().remove(id);
    return Reply::empty();
}

ControlServer::Reply ControlServer::metrics(const QHttpServerRequest&, const QStringList&)
{
    QString out;
    out += QStringLiteral("# HELP unitsim_datagrams_received_total Datagrams received, by port and command.\n"
                          "# TYPE unitsim_datagrams_received_total counter\n");
    for (int direction = 0; direction < 2; ++direction) {
        if (direction == 1)
            out += QStringLiteral("# HELP unitsim_datagrams_sent_total Replies sent, by port and command.\n"
                                  "# TYPE unitsim_datagrams_sent_total counter\n");
        for (int port = 0; port < 2; ++port) {
            for (int command = 0; command < kCommands; ++command) {
                // Only the combinations that can occur: discovery on its port, commands on the unit's,
                // and no reply to set-channels.
                const auto name = TrafficLogEntry::Command(command);
                if ((port == 1) != (name == TrafficLogEntry::Command::Discovery) ||
                    (direction == 1 && name == TrafficLogEntry::Command::SetChannels))
                    continue;
                out += QStringLiteral("unitsim_datagrams_%1_total{port=\"%2\",command=\"%3\"} %4\n")
                           .arg(direction == 0 ? QStringLiteral("received") : QStringLiteral("sent"))
                           .arg(port == 0 ? QStringLiteral("unit") : QStringLiteral("discovery"))
                           .arg(QLatin1String(TrafficLogEntry::commandName(name)))
                           .arg(m_datagrams[std::size_t(port)][std::size_t(direction)][std::size_t(command)]);
            }
        }
    }
    out += QStringLiteral(
               "# HELP unitsim_replies_not_sent_total Replies that did not leave (send failed, or the "
               "delay queue was full).\n# TYPE unitsim_replies_not_sent_total counter\n"
               "unitsim_replies_not_sent_total %1\n")
               .arg(std::accumulate(
                   m_units.cbegin(), m_units.cend(), quint64(0),
                   [](quint64 sum, const UnitSimulator* unit) { return sum + unit->repliesNotSent(); }));
    out += QStringLiteral("# HELP unitsim_fault_actions_total Times each fault rule acted.\n"
                          "# TYPE unitsim_fault_actions_total counter\n");
    for (const FaultInjector::Entry& entry : fleetFaults())
        out += QStringLiteral("unitsim_fault_actions_total{id=\"%1\",rule=\"%2\"} %3\n")
                   .arg(entry.id)
                   .arg(promLabel(entry.rule.text))
                   .arg(entry.fired);
    out +=
        QStringLiteral("# HELP unitsim_log_rows Lines the traffic log holds.\n# TYPE unitsim_log_rows gauge\n"
                       "unitsim_log_rows %1\n")
            .arg(m_log.lineCount());
    Reply reply;
    reply.body = out.toUtf8();
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return reply;
}

ControlServer::Reply ControlServer::openApi(const QHttpServerRequest&, const QStringList&)
{
    QFile file(QStringLiteral(":/control/openapi.json"));
    if (!file.open(QIODevice::ReadOnly))
        return Reply::error(Status::InternalServerError, QStringLiteral("the API description is missing"));
    Reply reply;
    reply.body = file.readAll();
    return reply;
}

ControlServer::Reply ControlServer::capture(const QHttpServerRequest&, const QStringList&)
{
    QString error;
    Reply reply;
    reply.body = TrafficCapture::ofLog(m_log, &error);
    if (reply.body.isEmpty())
        return Reply::error(Status::InternalServerError, QStringLiteral("no capture: ") + error);
    reply.contentType = "application/vnd.tcpdump.pcap";
    return reply;
}
