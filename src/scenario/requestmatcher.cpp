#include "requestmatcher.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {
std::optional<RequestMatcher> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

// A whole number from `low` to `high`.
bool wholeNumber(const QJsonValue& value, qint64 low, qint64 high, qint64* out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < double(low) || number > double(high))
        return false;
    *out = qint64(number);
    return true;
}

// A log sequence number, or a time.
bool parseBound(const QJsonValue& value, quint64* seq, qint64* us)
{
    qint64 number = 0;
    if (wholeNumber(value, 0, qint64(1) << 53, &number)) {
        *seq = quint64(number);
        return true;
    }
    if (!value.isString())
        return false;
    const QString text = value.toString();
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        return false;
    // To the microsecond, as the log's times are given: Qt reads milliseconds only.
    static const QRegularExpression fraction(QStringLiteral("T\\d\\d:\\d\\d:\\d\\d[.,](\\d+)"));
    const QRegularExpressionMatch digits = fraction.match(text);
    const qint64 micros =
        digits.hasMatch() ? digits.captured(1).left(6).leftJustified(6, u'0').toLongLong() % 1000 : 0;
    *us = time.toMSecsSinceEpoch() * 1000 + micros;
    return true;
}
} // namespace

std::optional<RequestMatcher> RequestMatcher::fromJson(const QJsonObject& json, QString* error)
{
    RequestMatcher matcher;
    // at_least and at_most as a scenario file writes them, atLeast and atMost as the API's other
    // fields are written.
    static const QStringList known{u"units"_s,   u"command"_s,  u"bytes"_s,   u"from"_s,    u"to"_s,
                                   u"exactly"_s, u"at_least"_s, u"at_most"_s, u"atLeast"_s, u"atMost"_s};
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (!known.contains(it.key()))
            return fail(error,
                        QStringLiteral("unknown part \"%1\": a matcher has units, command, bytes, from, "
                                       "to, and one of exactly, at_least, at_most")
                            .arg(it.key()));
    }

    if (const QJsonValue units = json.value(u"units"_s); !units.isUndefined()) {
        // A bare index, as YAML gives `units: 3`, reads as "3".
        qint64 index = 0;
        const QString text = wholeNumber(units, 0, std::numeric_limits<int>::max(), &index)
                                 ? QString::number(index)
                                 : units.toString().trimmed();
        bool ok = !text.isEmpty();
        if (ok && text.count(u'.') == 3) {
            const QHostAddress address(text);
            ok = address.protocol() == QAbstractSocket::IPv4Protocol && address.toIPv4Address() != 0;
            matcher.unitsAddress = ok ? address.toIPv4Address() : 0;
        } else if (ok) {
            const qsizetype dash = text.indexOf(u'-');
            bool firstOk = false;
            bool lastOk = false;
            matcher.unitsFirst = (dash < 0 ? text : text.left(dash)).toInt(&firstOk);
            matcher.unitsLast = (dash < 0 ? text : text.mid(dash + 1)).toInt(&lastOk);
            ok = firstOk && lastOk && matcher.unitsFirst >= 0 && matcher.unitsFirst <= matcher.unitsLast;
        }
        if (!ok)
            return fail(error,
                        QStringLiteral("\"units\" takes \"FIRST-LAST\" (indexes from 0), one index, or an "
                                       "IPv4 address, not %1")
                            .arg(units.isString() ? u'"' + units.toString() + u'"' : u"that"_s));
        matcher.unitsText = text;
    }

    if (const QJsonValue command = json.value(u"command"_s); !command.isUndefined()) {
        for (int c = 0; c < int(TrafficLogEntry::Command::Other); ++c) {
            const auto candidate = TrafficLogEntry::Command(c);
            if (command.toString() == QLatin1String(TrafficLogEntry::commandName(candidate)))
                matcher.command = candidate;
        }
        if (!matcher.command)
            return fail(error,
                        QStringLiteral("\"command\" takes set-channels, channel-query, status-query or "
                                       "discovery"));
    }

    if (const QJsonValue bytes = json.value(u"bytes"_s); !bytes.isUndefined()) {
        if (!bytes.isArray())
            return fail(error, QStringLiteral("\"bytes\" takes a list of {\"position\": P, \"equals\": V} or "
                                              "{\"position\": P, \"min\": A, \"max\": B}"));
        const QJsonArray list = bytes.toArray();
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QJsonObject item = list[i].toObject();
            const QString where = QStringLiteral("bytes[%1]").arg(i);
            ByteCondition condition;
            qint64 number = 0;
            if (!wholeNumber(item.value(u"position"_s), 0, kUnitFrameSize - 1, &number))
                return fail(error, where + QStringLiteral(": \"position\" takes 0 to 28"));
            condition.position = int(number);
            const bool equals = item.contains(u"equals"_s);
            const bool range = item.contains(u"min"_s) || item.contains(u"max"_s);
            if (equals == range ||
                item.size() != (equals ? 2 : 1 + item.contains(u"min"_s) + item.contains(u"max"_s)))
                return fail(error,
                            where + QStringLiteral(": give \"equals\", or \"min\" and/or \"max\", beside "
                                                   "\"position\""));
            for (const char* key : {"equals", "min", "max"}) {
                const QJsonValue value = item.value(QLatin1String(key));
                if (value.isUndefined())
                    continue;
                if (!wholeNumber(value, 0, 255, &number))
                    return fail(
                        error,
                        where +
                            QStringLiteral(": \"%1\" takes a byte value, 0 to 255").arg(QLatin1String(key)));
                if (qstrcmp(key, "equals") == 0)
                    condition.min = condition.max = int(number);
                else if (qstrcmp(key, "min") == 0)
                    condition.min = int(number);
                else
                    condition.max = int(number);
            }
            if (condition.min > condition.max)
                return fail(error, where + QStringLiteral(": \"min\" is above \"max\""));
            matcher.bytes.append(condition);
        }
    }

    for (const char* key : {"from", "to"}) {
        const QJsonValue value = json.value(QLatin1String(key));
        if (value.isUndefined())
            continue;
        const bool from = qstrcmp(key, "from") == 0;
        if (!parseBound(value, from ? &matcher.fromSeq : &matcher.toSeq,
                        from ? &matcher.fromUs : &matcher.toUs))
            return fail(error, QStringLiteral("\"%1\" takes a log sequence number or a time such as "
                                              "\"2026-12-08T10:00:00Z\"")
                                   .arg(QLatin1String(key)));
    }

    int counts = 0;
    for (const auto& [key, kind] :
         {std::pair{"exactly", Count::Exactly}, std::pair{"at_least", Count::AtLeast},
          std::pair{"at_most", Count::AtMost}, std::pair{"atLeast", Count::AtLeast},
          std::pair{"atMost", Count::AtMost}}) {
        const QJsonValue value = json.value(QLatin1String(key));
        if (value.isUndefined())
            continue;
        qint64 number = 0;
        if (!wholeNumber(value, 0, qint64(1) << 53, &number))
            return fail(error, QStringLiteral("\"%1\" takes a whole number from 0").arg(QLatin1String(key)));
        matcher.count = kind;
        matcher.countValue = quint64(number);
        ++counts;
    }
    if (counts > 1)
        return fail(error, QStringLiteral("give one of exactly, at_least and at_most"));
    return matcher;
}

QString RequestMatcher::countText() const
{
    const char* const words[] = {"exactly", "at least", "at most"};
    return QStringLiteral("%1 %2").arg(QLatin1String(words[int(count)])).arg(countValue);
}

bool RequestMatcher::countHolds(quint64 matches) const
{
    switch (count) {
    case Count::Exactly:
        return matches == countValue;
    case Count::AtLeast:
        return matches >= countValue;
    case Count::AtMost:
        return matches <= countValue;
    }
    return false;
}
