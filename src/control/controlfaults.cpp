#include "controlserver.h"

#include "unit/unitsimulator.h"

QList<ControlServer::Binding> ControlServer::faultBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/faults"), &ControlServer::listFaults},
        {"POST", QStringLiteral("/api/v1/faults"), &ControlServer::addFault},
        {"DELETE", QStringLiteral("/api/v1/faults"), &ControlServer::removeFaults},
        {"DELETE", QStringLiteral("/api/v1/faults/{id}"), &ControlServer::removeFault},
    };
}

namespace {
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
    return units().front()->faults();
}

QList<FaultInjector::Entry> ControlServer::fleetFaults() const
{
    // Every unit holds the same rules under the same ids; the counts are the sum of the units'.
    QList<FaultInjector::Entry> rules = faults().rules();
    for (qsizetype k = 1; k < units().size(); ++k) {
        const QList<FaultInjector::Entry>& own = units()[k]->faults().rules();
        for (qsizetype i = 0; i < rules.size() && i < own.size(); ++i) {
            rules[i].matched += own[i].matched;
            rules[i].fired += own[i].fired;
        }
    }
    return rules;
}

ControlReply ControlServer::listFaults(const HttpRequest&, const QStringList&)
{
    QJsonArray faults;
    for (const FaultInjector::Entry& entry : fleetFaults())
        faults.append(faultJson(entry));
    return ControlReply::json(faults);
}

ControlReply ControlServer::listUnitFaults(const HttpRequest&, const QStringList& params)
{
    UnitSimulator* const unit = findUnit(params[0]);
    if (!unit)
        return noSuchUnit(params[0]);
    QJsonArray faults;
    for (const FaultInjector::Entry& entry : unit->faults().rules())
        faults.append(faultJson(entry));
    return ControlReply::json(faults);
}

ControlReply ControlServer::addFault(const HttpRequest& request, const QStringList&)
{
    QString error;
    const std::optional<QJsonObject> body = control::bodyObject(request, &error);
    if (!body)
        return ControlReply::error(HttpStatus::BadRequest, error);
    const QJsonValue text = body->value(QStringLiteral("rule"));
    if (!text.isString())
        return ControlReply::error(HttpStatus::BadRequest, QStringLiteral("\"rule\" must be a string"));
    if (faults().rules().size() >= kMaxFaultRules)
        return ControlReply::error(
            HttpStatus::Conflict,
            QStringLiteral("a unit holds at most %1 fault rules: remove some first").arg(kMaxFaultRules));
    const std::optional<FaultRule> rule = FaultRule::parse(text.toString(), &error);
    if (!rule)
        return ControlReply::error(HttpStatus::BadRequest, error);
    // A rule for units that do not exist would be kept and never act.
    QList<quint32> addresses;
    for (const UnitSimulator* unit : units())
        addresses << (control::listensEverywhere(*unit) ? 0 : unit->address().toIPv4Address());
    if (const QString problem = rule->unitsProblem(addresses); !problem.isEmpty())
        return ControlReply::error(HttpStatus::BadRequest, problem);
    const int id = faults().add(*rule);
    for (qsizetype k = 1; k < units().size(); ++k)
        units()[k]->faults().add(*rule);
    for (const FaultInjector::Entry& entry : faults().rules()) {
        if (entry.id == id)
            return ControlReply::json(faultJson(entry), HttpStatus::Created);
    }
    return ControlReply::error(HttpStatus::InternalServerError, QStringLiteral("the rule was not kept"));
}

ControlReply ControlServer::removeFaults(const HttpRequest&, const QStringList&)
{
    for (UnitSimulator* unit : units())
        unit->faults().clear();
    return ControlReply::empty();
}

ControlReply ControlServer::removeFault(const HttpRequest&, const QStringList& params)
{
    bool ok = false;
    const int id = params[0].toInt(&ok);
    if (!ok || !faults().remove(id))
        return ControlReply::error(HttpStatus::NotFound, QStringLiteral("no fault rule %1").arg(params[0]));
    for (qsizetype k = 1; k < units().size(); ++k)
        units()[k]->faults().remove(id);
    return ControlReply::empty();
}
