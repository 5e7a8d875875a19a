#include "controlserver.h"

#include "scenario/scenariosession.h"
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
    const FaultRule& rule = entry.rule;
    QJsonObject json{{QStringLiteral("id"), entry.id},
                     {QStringLiteral("rule"), rule.text},
                     {QStringLiteral("enabled"), rule.enabled},
                     {QStringLiteral("matched"), qint64(entry.matched)},
                     {QStringLiteral("fired"), qint64(entry.fired)}};
    if (rule.action == FaultAction::Loss)
        json.insert(QStringLiteral("bursts"), qint64(entry.bursts));
    if (rule.action == FaultAction::Reorder)
        json.insert(QStringLiteral("overflowed"), qint64(entry.overflowed));
    // What is left of a rule that wears off.
    if (rule.times > 0 && entry.life)
        json.insert(QStringLiteral("timesLeft"), std::max(0, entry.life->timesLeft));
    if (rule.forMs > 0 && entry.life)
        json.insert(QStringLiteral("msLeft"),
                    std::max<qint64>(0, (entry.life->endNs - faultClockNs()) / 1000000));
    return json;
}

} // namespace

FaultRuleSet& ControlServer::faults() const
{
    return m_session.faultRules();
}

ControlReply ControlServer::listFaults(const HttpRequest&, const QStringList&)
{
    QJsonArray rules;
    for (const FaultInjector::Entry& entry : faults().totals())
        rules.append(faultJson(entry));
    return ControlReply::json(rules);
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
    for (const FaultInjector::Entry& entry : faults().rules()) {
        if (entry.id == id)
            return ControlReply::json(faultJson(entry), HttpStatus::Created);
    }
    return ControlReply::error(HttpStatus::InternalServerError, QStringLiteral("the rule was not kept"));
}

ControlReply ControlServer::removeFaults(const HttpRequest&, const QStringList&)
{
    faults().clear();
    return ControlReply::empty();
}

ControlReply ControlServer::removeFault(const HttpRequest&, const QStringList& params)
{
    bool ok = false;
    const int id = params[0].toInt(&ok);
    if (!ok || !faults().remove(id))
        return ControlReply::error(HttpStatus::NotFound, QStringLiteral("no fault rule %1").arg(params[0]));
    return ControlReply::empty();
}
