#include "faultrule.h"

#include <QStringList>

namespace {
struct KindName {
    const char* name;
    quint8 flag;
};
constexpr KindName kKindNames[] = {
    {"set-channels", FaultKind::SetChannels},
    {"channel-query", FaultKind::ChannelQuery},
    {"status-query", FaultKind::StatusQuery},
    {"discovery", FaultKind::Discovery},
    {"all", FaultKind::All},
};

// The shortest reply each kind gets; a truncate or corrupt rule must fit all it acts on.
constexpr int kUnitReplySize = 29;
constexpr int kDiscoveryReplySize = 50;

bool parseInt(QStringView text, int low, int high, int* out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high || text.startsWith(u'+'))
        return false;
    *out = value;
    return true;
}

// units=FIRST-LAST, units=N or units=A.B.C.D
bool parseUnits(const QString& value, FaultRule& rule)
{
    const QStringList octets = value.split(QLatin1Char('.'));
    if (octets.size() == 4) {
        quint32 address = 0;
        for (const QString& octet : octets) {
            int byte = 0;
            if (octet.isEmpty() || octet.size() > 3 || !parseInt(octet, 0, 255, &byte))
                return false;
            address = (address << 8) | quint32(byte);
        }
        rule.unitsAddress = address;
        return address != 0;
    }
    const qsizetype dash = value.indexOf(QLatin1Char('-'));
    const QString first = dash < 0 ? value : value.left(dash);
    const QString last = dash < 0 ? value : value.mid(dash + 1);
    return parseInt(first, 0, 65534, &rule.unitsFirst) && parseInt(last, 0, 65534, &rule.unitsLast) &&
           rule.unitsFirst <= rule.unitsLast;
}

std::optional<FaultRule> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}
} // namespace

std::optional<FaultRule> FaultRule::parse(QStringView input, QString* error)
{
    FaultRule rule;
    rule.text = input.trimmed().toString();
    if (rule.text.isEmpty())
        return fail(error, QStringLiteral(
                               "empty rule: give an action (drop, delay, duplicate, truncate or corrupt)"));
    if (rule.text.size() > kMaxTextLength)
        return fail(error, QStringLiteral("a rule has at most %1 characters").arg(kMaxTextLength));

    const QStringList parts = rule.text.split(QLatin1Char(','));
    bool seen[5] = {}; // on, every, chance, jitter, units
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        const qsizetype equals = part.indexOf(QLatin1Char('='));
        const QString key = equals < 0 ? part : part.left(equals).trimmed();
        const QString value = equals < 0 ? QString() : part.mid(equals + 1).trimmed();
        const bool hasValue = equals >= 0;
        if (part.isEmpty())
            return fail(error, QStringLiteral("empty part in '%1'").arg(rule.text));

        if (i == 0) {
            if (key == QLatin1String("drop")) {
                rule.action = FaultAction::Drop;
                if (hasValue)
                    return fail(error, QStringLiteral("drop takes no value: '%1'").arg(part));
            } else if (key == QLatin1String("delay")) {
                rule.action = FaultAction::Delay;
                if (!hasValue || !parseInt(value, 0, kMaxDelayMs, &rule.value))
                    return fail(error, QStringLiteral("delay needs milliseconds from 0 to %1: '%2'")
                                           .arg(kMaxDelayMs)
                                           .arg(part));
            } else if (key == QLatin1String("duplicate")) {
                rule.action = FaultAction::Duplicate;
                rule.value = 2;
                if (hasValue && !parseInt(value, 2, kMaxCopies, &rule.value))
                    return fail(error, QStringLiteral("duplicate takes a count from 2 to %1: '%2'")
                                           .arg(kMaxCopies)
                                           .arg(part));
            } else if (key == QLatin1String("truncate")) {
                rule.action = FaultAction::Truncate;
                if (!hasValue || !parseInt(value, 0, kDiscoveryReplySize - 1, &rule.value))
                    return fail(error,
                                QStringLiteral("truncate needs the number of bytes to keep, smaller than "
                                               "the reply: '%1'")
                                    .arg(part));
            } else if (key == QLatin1String("corrupt")) {
                rule.action = FaultAction::Corrupt;
                rule.value = 1;
                if (hasValue && !parseInt(value, 1, kDiscoveryReplySize, &rule.value))
                    return fail(error, QStringLiteral("corrupt takes a number of bytes from 1 to the reply's "
                                                      "length: '%1'")
                                           .arg(part));
            } else {
                return fail(error,
                            QStringLiteral("unknown action '%1': use drop, delay, duplicate, truncate or "
                                           "corrupt")
                                .arg(key));
            }
            continue;
        }

        int slot = -1;
        if (key == QLatin1String("on"))
            slot = 0;
        else if (key == QLatin1String("every"))
            slot = 1;
        else if (key == QLatin1String("chance"))
            slot = 2;
        else if (key == QLatin1String("jitter"))
            slot = 3;
        else if (key == QLatin1String("units"))
            slot = 4;
        if (slot < 0)
            return fail(
                error,
                QStringLiteral("unknown part '%1': use on=, every=, chance=, units= or, with delay, jitter=")
                    .arg(part));
        if (seen[slot])
            return fail(error, QStringLiteral("'%1' is given twice").arg(key));
        seen[slot] = true;
        if (!hasValue || value.isEmpty())
            return fail(error, QStringLiteral("'%1' needs a value").arg(key));

        switch (slot) {
        case 0: {
            rule.kinds = 0;
            for (const QString& name : value.split(QLatin1Char('+'))) {
                quint8 flag = 0;
                for (const KindName& kind : kKindNames) {
                    if (name.trimmed() == QLatin1String(kind.name))
                        flag = kind.flag;
                }
                if (flag == 0)
                    return fail(error,
                                QStringLiteral("unknown kind '%1' in on=: use set-channels, channel-query, "
                                               "status-query, discovery or all")
                                    .arg(name));
                rule.kinds |= flag;
            }
            break;
        }
        case 1:
            if (!parseInt(value, 1, 1000000000, &rule.every))
                return fail(error, QStringLiteral("every needs a whole number from 1: '%1'").arg(part));
            break;
        case 2: {
            bool ok = false;
            rule.chance = value.toDouble(&ok);
            if (!ok || !(rule.chance >= 0.0 && rule.chance <= 1.0))
                return fail(error, QStringLiteral("chance needs a probability from 0 to 1: '%1'").arg(part));
            break;
        }
        case 4:
            if (!parseUnits(value, rule))
                return fail(error,
                            QStringLiteral("units takes FIRST-LAST (indexes from 0), one index, or an IPv4 "
                                           "address: '%1'")
                                .arg(part));
            break;
        case 3:
            if (!parseInt(value, 0, kMaxDelayMs, &rule.jitter))
                return fail(error, QStringLiteral("jitter needs milliseconds from 0 to %1: '%2'")
                                       .arg(kMaxDelayMs)
                                       .arg(part));
            break;
        }
    }

    if (seen[1] && seen[2])
        return fail(error, QStringLiteral("every and chance exclude each other"));
    if (seen[3] && rule.action != FaultAction::Delay)
        return fail(error, QStringLiteral("jitter goes only with delay"));
    if (rule.jitter > rule.value)
        return fail(
            error,
            QStringLiteral("jitter=%1 is larger than the delay of %2 ms").arg(rule.jitter).arg(rule.value));
    if (rule.isReplyAction() && rule.actsOn() == 0)
        return fail(error, QStringLiteral("set-channels has no reply to act on"));
    if (rule.action == FaultAction::Truncate || rule.action == FaultAction::Corrupt) {
        const int shortest = (rule.actsOn() & (FaultKind::ChannelQuery | FaultKind::StatusQuery))
                                 ? kUnitReplySize
                                 : kDiscoveryReplySize;
        if (rule.action == FaultAction::Truncate && rule.value >= shortest)
            return fail(error, QStringLiteral("truncate=%1 is not smaller than the %2-byte reply")
                                   .arg(rule.value)
                                   .arg(shortest));
        if (rule.action == FaultAction::Corrupt && rule.value > shortest)
            return fail(
                error,
                QStringLiteral("corrupt=%1 is more than the %2-byte reply").arg(rule.value).arg(shortest));
    }
    return rule;
}

QString FaultRule::unitsProblem(const QList<quint32>& unitAddresses) const
{
    const qsizetype count = unitAddresses.size();
    if (unitsAddress != 0) {
        if (unitAddresses.contains(unitsAddress))
            return {};
        const QString address = QStringLiteral("%1.%2.%3.%4")
                                    .arg(unitsAddress >> 24)
                                    .arg((unitsAddress >> 16) & 0xff)
                                    .arg((unitsAddress >> 8) & 0xff)
                                    .arg(unitsAddress & 0xff);
        if (count == 1 && unitAddresses.first() == 0)
            return QStringLiteral("units=%1 names no unit: the single unit listens on every address; "
                                  "units= picks units of a fleet (--units, --unit)")
                .arg(address);
        return QStringLiteral("units=%1 names no unit: no unit has that address").arg(address);
    }
    if (unitsFirst < count)
        return {};
    const QString range = unitsFirst == unitsLast ? QString::number(unitsFirst)
                                                  : QStringLiteral("%1-%2").arg(unitsFirst).arg(unitsLast);
    if (count == 1)
        return QStringLiteral("units=%1 names no unit: the only unit is unit 0").arg(range);
    return QStringLiteral("units=%1 names no unit: the units are numbered from 0 to %2")
        .arg(range)
        .arg(count - 1);
}

QString faultRuleHelp()
{
    return QStringLiteral("ACTION[=VALUE][,on=KINDS][,every=N|,chance=P]\n"
                          "  drop                 the request is lost\n"
                          "  delay=MS[,jitter=MS] the reply leaves MS (plus or minus jitter) ms later\n"
                          "  duplicate[=N]        the reply is sent N times (default 2)\n"
                          "  truncate=N           only the first N bytes of the reply are sent\n"
                          "  corrupt[=K]          K bytes of the reply (default 1) get another value\n"
                          "  on=KINDS             set-channels, channel-query, status-query, discovery\n"
                          "                       or all (default), several joined with +\n"
                          "  every=N              acts on the Nth, 2Nth, ... matching datagram\n"
                          "  chance=P             acts with probability P (0 to 1)\n"
                          "  units=FIRST-LAST     in a fleet, only these units (indexes from 0),\n"
                          "  units=ADDRESS        or only the unit at this address\n"
                          "Example: drop,on=channel-query,every=3");
}
