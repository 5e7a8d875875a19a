#include "faultrule.h"

#include "record/duration.h"

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

namespace {
bool parseProbability(QStringView text, double* out)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !(value >= 0.0 && value <= 1.0))
        return false;
    *out = value;
    return true;
}

// loss=gilbert:P,R[,H,K] or loss=burst:MEAN,RATE, its numbers after the colon given as `numbers`.
std::optional<QString> parseLoss(const QString& part, const QString& model, const QStringList& numbers,
                                 FaultRule& rule)
{
    if (model == QLatin1String("gilbert")) {
        if (numbers.size() != 2 && numbers.size() != 4)
            return QStringLiteral("loss=gilbert takes P,R or P,R,H,K: '%1'").arg(part);
        const char* const names[] = {"P (good to bad)", "R (bad to good)", "H (kept in the bad state)",
                                     "K (kept in the good state)"};
        double* const values[] = {&rule.lossP, &rule.lossR, &rule.lossH, &rule.lossK};
        for (qsizetype i = 0; i < numbers.size(); ++i) {
            if (!parseProbability(numbers[i], values[i]))
                return QStringLiteral("loss=gilbert: %1 needs a probability from 0 to 1, not '%2'")
                    .arg(QLatin1String(names[i]), numbers[i]);
        }
        if (rule.lossR <= 0)
            return QStringLiteral("loss=gilbert: R (bad to good) must be above 0, or a burst never ends");
        return std::nullopt;
    }
    if (model == QLatin1String("burst")) {
        if (numbers.size() != 2)
            return QStringLiteral("loss=burst takes MEAN,RATE: '%1'").arg(part);
        bool meanOk = false;
        const double mean = numbers[0].trimmed().toDouble(&meanOk);
        if (!meanOk || !(mean >= 1.0 && mean <= 1e6))
            return QStringLiteral("loss=burst: MEAN (requests a burst lasts) needs a number from 1, not '%1'")
                .arg(numbers[0]);
        double rate = 0;
        if (!parseProbability(numbers[1], &rate) || rate <= 0 || rate >= 1)
            return QStringLiteral("loss=burst: RATE (the share lost) needs a number above 0 and below 1, "
                                  "not '%1'")
                .arg(numbers[1]);
        // In the long run the chain is bad P/(P+R) of the time, and a stay there lasts 1/R.
        rule.lossR = 1.0 / mean;
        rule.lossP = rate * rule.lossR / (1.0 - rate);
        if (rule.lossP > 1.0)
            return QStringLiteral("loss=burst: a loss rate of %1 needs bursts of at least %2 requests")
                .arg(rate)
                .arg(rate / (1.0 - rate));
        rule.lossH = 0;
        rule.lossK = 1;
        return std::nullopt;
    }
    return QStringLiteral("loss takes gilbert:P,R[,H,K] or burst:MEAN,RATE: '%1'").arg(part);
}
} // namespace

std::optional<FaultRule> FaultRule::parse(QStringView input, QString* error)
{
    FaultRule rule;
    rule.text = input.trimmed().toString();
    if (rule.text.isEmpty())
        return fail(error, QStringLiteral("empty rule: give an action (drop, delay, duplicate, truncate, "
                                          "corrupt, loss, reorder or rate)"));
    if (rule.text.size() > kMaxTextLength)
        return fail(error, QStringLiteral("a rule has at most %1 characters").arg(kMaxTextLength));

    QStringList parts = rule.text.split(QLatin1Char(','));
    for (QString& part : parts)
        part = part.trimmed();
    if (parts.contains(QString()))
        return fail(error, QStringLiteral("empty part in '%1'").arg(rule.text));

    // The action, and for loss the numbers that follow it (they are separated by commas too).
    {
        const QString& part = parts.first();
        const qsizetype equals = part.indexOf(QLatin1Char('='));
        const QString key = equals < 0 ? part : part.left(equals).trimmed();
        const QString value = equals < 0 ? QString() : part.mid(equals + 1).trimmed();
        const bool hasValue = equals >= 0;
        if (key == QLatin1String("drop")) {
            rule.action = FaultAction::Drop;
            if (hasValue)
                return fail(error, QStringLiteral("drop takes no value: '%1'").arg(part));
        } else if (key == QLatin1String("delay")) {
            rule.action = FaultAction::Delay;
            if (!hasValue || !parseInt(value, 0, kMaxDelayMs, &rule.value))
                return fail(
                    error,
                    QStringLiteral("delay needs milliseconds from 0 to %1: '%2'").arg(kMaxDelayMs).arg(part));
        } else if (key == QLatin1String("duplicate")) {
            rule.action = FaultAction::Duplicate;
            rule.value = 2;
            if (hasValue && !parseInt(value, 2, kMaxCopies, &rule.value))
                return fail(
                    error,
                    QStringLiteral("duplicate takes a count from 2 to %1: '%2'").arg(kMaxCopies).arg(part));
        } else if (key == QLatin1String("truncate")) {
            rule.action = FaultAction::Truncate;
            if (!hasValue || !parseInt(value, 0, kDiscoveryReplySize - 1, &rule.value))
                return fail(error, QStringLiteral("truncate needs the number of bytes to keep, smaller than "
                                                  "the reply: '%1'")
                                       .arg(part));
        } else if (key == QLatin1String("corrupt")) {
            rule.action = FaultAction::Corrupt;
            rule.value = 1;
            if (hasValue && !parseInt(value, 1, kDiscoveryReplySize, &rule.value))
                return fail(error, QStringLiteral("corrupt takes a number of bytes from 1 to the reply's "
                                                  "length: '%1'")
                                       .arg(part));
        } else if (key == QLatin1String("loss")) {
            rule.action = FaultAction::Loss;
            const qsizetype colon = value.indexOf(QLatin1Char(':'));
            QStringList numbers{colon < 0 ? QString() : value.mid(colon + 1)};
            // The numbers after the first are the bare parts that follow: "loss=gilbert:0.1,0.5,on=...".
            while (parts.size() > 1 && !parts[1].contains(QLatin1Char('=')))
                numbers << parts.takeAt(1);
            if (colon < 0 || numbers.first().isEmpty())
                return fail(
                    error, QStringLiteral("loss takes gilbert:P,R[,H,K] or burst:MEAN,RATE: '%1'").arg(part));
            if (const std::optional<QString> problem =
                    parseLoss(part, value.left(colon).trimmed(), numbers, rule))
                return fail(error, *problem);
        } else if (key == QLatin1String("reorder")) {
            rule.action = FaultAction::Reorder;
            rule.gapMs = kDefaultReorderGapMs;
            if (!hasValue || !parseInt(value, 1, kMaxReorder, &rule.value))
                return fail(error,
                            QStringLiteral("reorder needs the number of later replies to wait for, from "
                                           "1 to %1: '%2'")
                                .arg(kMaxReorder)
                                .arg(part));
        } else if (key == QLatin1String("rate")) {
            rule.action = FaultAction::Rate;
            const QString perSecond = value.endsWith(QLatin1String("/s")) ? value.chopped(2) : QString();
            if (!hasValue || !parseInt(perSecond, 1, kMaxRate, &rule.value))
                return fail(error, QStringLiteral("rate needs replies a second as N/s, N from 1 to %1: '%2'")
                                       .arg(kMaxRate)
                                       .arg(part));
            rule.burst = rule.value;
        } else {
            return fail(error, QStringLiteral("unknown action '%1': use drop, delay, duplicate, truncate, "
                                              "corrupt, loss, reorder or rate")
                                   .arg(key));
        }
        // A bare part anywhere else is a mistake, not a number of the action.
        for (qsizetype i = 1; i < parts.size(); ++i) {
            if (!parts[i].contains(QLatin1Char('=')))
                return fail(error, QStringLiteral("'%1' needs a value").arg(parts[i]));
        }
    }

    enum Slot { On, Every, Chance, Jitter, Units, Gap, Burst, For, After, Times, SlotCount };
    static const char* const kSlotKeys[SlotCount] = {"on",  "every", "chance", "jitter", "units",
                                                     "gap", "burst", "for",    "after",  "times"};
    bool seen[SlotCount] = {};
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString& part = parts[i];
        const qsizetype equals = part.indexOf(QLatin1Char('='));
        const QString key = part.left(equals).trimmed();
        const QString value = part.mid(equals + 1).trimmed();
        int slot = -1;
        for (int k = 0; k < SlotCount; ++k) {
            if (key == QLatin1String(kSlotKeys[k]))
                slot = k;
        }
        if (slot < 0)
            return fail(error, QStringLiteral("unknown part '%1': use on=, every=, chance=, units=, for=, "
                                              "after=, times=, or jitter= (delay), gap= (reorder), burst= "
                                              "(rate)")
                                   .arg(part));
        if (seen[slot])
            return fail(error, QStringLiteral("'%1' is given twice").arg(key));
        seen[slot] = true;
        if (value.isEmpty())
            return fail(error, QStringLiteral("'%1' needs a value").arg(key));

        switch (Slot(slot)) {
        case On: {
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
        case Every:
            if (!parseInt(value, 1, 1000000000, &rule.every))
                return fail(error, QStringLiteral("every needs a whole number from 1: '%1'").arg(part));
            break;
        case Chance:
            if (!parseProbability(value, &rule.chance))
                return fail(error, QStringLiteral("chance needs a probability from 0 to 1: '%1'").arg(part));
            break;
        case Units:
            if (!parseUnits(value, rule))
                return fail(error,
                            QStringLiteral("units takes FIRST-LAST (indexes from 0), one index, or an IPv4 "
                                           "address: '%1'")
                                .arg(part));
            break;
        case Jitter:
            if (!parseInt(value, 0, kMaxDelayMs, &rule.jitter))
                return fail(error, QStringLiteral("jitter needs milliseconds from 0 to %1: '%2'")
                                       .arg(kMaxDelayMs)
                                       .arg(part));
            break;
        case Gap:
            if (!parseInt(value, 1, kMaxDelayMs, &rule.gapMs))
                return fail(
                    error,
                    QStringLiteral("gap needs milliseconds from 1 to %1: '%2'").arg(kMaxDelayMs).arg(part));
            break;
        case Burst:
            if (!parseInt(value, 1, kMaxRate, &rule.burst))
                return fail(error, QStringLiteral("burst needs a number of replies from 1 to %1: '%2'")
                                       .arg(kMaxRate)
                                       .arg(part));
            break;
        case For:
            if (const std::optional<qint64> ms = parseDuration(value); ms && *ms > 0)
                rule.forMs = *ms;
            else
                return fail(error,
                            QStringLiteral("for needs a duration with its unit, such as 500ms, 10s, 2m "
                                           "or 1h: '%1'")
                                .arg(part));
            break;
        case After:
            if (!parseInt(value, 1, 1000000000, &rule.after))
                return fail(error, QStringLiteral("after needs a whole number from 1: '%1'").arg(part));
            break;
        case Times:
            if (!parseInt(value, 1, 1000000000, &rule.times))
                return fail(error, QStringLiteral("times needs a whole number from 1: '%1'").arg(part));
            break;
        case SlotCount:
            break;
        }
    }

    if (seen[Every] && seen[Chance])
        return fail(error, QStringLiteral("every and chance exclude each other"));
    if ((seen[Every] || seen[Chance]) &&
        (rule.action == FaultAction::Loss || rule.action == FaultAction::Rate))
        return fail(
            error,
            QStringLiteral("%1 decides by itself which datagrams it takes: every and chance do "
                           "not go with it")
                .arg(rule.action == FaultAction::Loss ? QStringLiteral("loss") : QStringLiteral("rate")));
    if (seen[Jitter] && rule.action != FaultAction::Delay)
        return fail(error, QStringLiteral("jitter goes only with delay"));
    if (seen[Gap] && rule.action != FaultAction::Reorder)
        return fail(error, QStringLiteral("gap goes only with reorder"));
    if (seen[Burst] && rule.action != FaultAction::Rate)
        return fail(error, QStringLiteral("burst goes only with rate"));
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
    return QStringLiteral(
        "ACTION[=VALUE][,on=KINDS][,every=N|,chance=P][,for=DURATION][,after=N][,times=N]\n"
        "  drop                 the request is lost\n"
        "  delay=MS[,jitter=MS] the reply leaves MS (plus or minus jitter) ms later\n"
        "  duplicate[=N]        the reply is sent N times (default 2)\n"
        "  truncate=N           only the first N bytes of the reply are sent\n"
        "  corrupt[=K]          K bytes of the reply (default 1) get another value\n"
        "  loss=gilbert:P,R[,H,K]\n"
        "                       requests are lost in bursts: each request moves the chain\n"
        "                       from good to bad with chance P, from bad to good with R;\n"
        "                       1-H of the requests are lost in the bad state (H default 0),\n"
        "                       1-K in the good state (K default 1). Loss rate P/(P+R) and\n"
        "                       mean burst 1/R requests with the defaults\n"
        "  loss=burst:MEAN,RATE the same, by mean burst length and loss rate:\n"
        "                       R = 1/MEAN, P = RATE/(MEAN*(1-RATE)), H = 0, K = 1\n"
        "  reorder=N[,gap=MS]   the reply waits until N later replies of the unit have\n"
        "                       left, or MS milliseconds (default 100), then leaves\n"
        "  rate=N/s[,burst=B]   at most N replies a second (a bucket of B, default N);\n"
        "                       the replies over it are dropped\n"
        "  on=KINDS             set-channels, channel-query, status-query, discovery\n"
        "                       or all (default), several joined with +\n"
        "  every=N              acts on the Nth, 2Nth, ... matching datagram\n"
        "  chance=P             acts with probability P (0 to 1)\n"
        "  units=FIRST-LAST     in a fleet, only these units (indexes from 0),\n"
        "  units=ADDRESS        or only the unit at this address\n"
        "  for=DURATION         removed that long after it was added (500ms, 10s, 2m, 1h)\n"
        "  after=N              acts only after N matching datagrams (on each unit)\n"
        "  times=N              removed after acting N times (all units together)\n"
        "Examples: drop,on=channel-query,every=3\n"
        "          loss=gilbert:0.01,0.25,on=status-query\n"
        "          loss=burst:4,0.05\n"
        "          reorder=1,gap=50,every=5\n"
        "          rate=1000/s,burst=50\n"
        "          drop,after=100,times=3");
}
