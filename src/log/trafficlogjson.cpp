#include "trafficlogjson.h"

#include "record/unitprofiles.h"
#include "trafficlogline.h"

#include <QDateTime>

#include <QJsonArray>
#include <QJsonDocument>
#include <charconv>
#include <cstdio>

namespace {
QJsonArray bytesOf(QByteArrayView bytes)
{
    QJsonArray array;
    for (const char c : bytes)
        array.append(int(quint8(c)));
    return array;
}

} // namespace

QString isoTimeUs(qint64 microseconds)
{
    const qint64 ms = microseconds / 1000;
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1Z").arg(int(microseconds % 1000), 3, 10, QLatin1Char('0'));
}

const char* trafficLogDirection(const TrafficLogEntry& entry)
{
    using Kind = TrafficLogEntry::Kind;
    if (entry.kind == Kind::Event)
        return "event";
    if (entry.isRemark())
        return "notice";
    if (entry.isFault())
        return "fault";
    if (entry.isIncoming())
        return "in";
    if (entry.notSent)
        return "not-sent";
    if (entry.kind == Kind::RelayOut)
        return "to-real";
    if (entry.kind == Kind::RelayIn)
        return "from-real";
    return "out";
}

namespace {
// The units an event line names, as its JSON gives them.
struct EventUnits {
    bool single = false;
    bool range = false;
    quint32 first = 0;
    quint32 last = 0;
    QByteArrayView firstAddress; // empty: not known
    QByteArrayView lastAddress;
};

EventUnits eventUnits(const TrafficLogEntry& entry, const QList<QByteArray>& addresses)
{
    EventUnits units;
    if (!entry.namesUnits())
        return units;
    units.first = entry.markFirstUnit();
    units.last = std::max(units.first, entry.markLastUnit());
    units.single = units.first == units.last;
    units.range = !units.single;
    const auto addressOf = [&](quint32 unit) {
        return unit < quint32(addresses.size()) ? QByteArrayView(addresses[qsizetype(unit)])
                                                : QByteArrayView();
    };
    units.firstAddress = addressOf(units.first);
    units.lastAddress = addressOf(units.last);
    return units;
}
} // namespace

QJsonObject trafficLogJson(const TrafficLogEntry& entry, quint64 seq, int unit, const QString& unitAddress,
                           const QList<QByteArray>& unitAddresses)
{
    const bool notice = entry.isRemark();
    const QString direction = QLatin1String(trafficLogDirection(entry));
    const EventUnits units = eventUnits(entry, unitAddresses);
    QJsonValue unitValue = notice ? QJsonValue() : QJsonValue(unit);
    QJsonValue addressValue = unitAddress.isEmpty() ? QJsonValue() : QJsonValue(unitAddress);
    if (units.single) {
        unitValue = qint64(units.first);
        addressValue =
            units.firstAddress.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(units.firstAddress));
    }
    QJsonObject object{
        {QStringLiteral("seq"), qint64(seq)},
        {QStringLiteral("time"), isoTimeUs(entry.timeUs)},
        {QStringLiteral("unit"), unitValue},
        {QStringLiteral("address"), addressValue},
        {QStringLiteral("direction"), direction},
        {QStringLiteral("command"), QLatin1String(TrafficLogEntry::commandName(entry.command()))},
        // A notice is about no port and no peer.
        {QStringLiteral("port"), notice ? QJsonValue() : QJsonValue(entry.simulatorPort())},
        {QStringLiteral("endpoint"), notice                ? QJsonValue()
                                     : entry.isDiscovery() ? QStringLiteral("discovery")
                                                           : QStringLiteral("unit")},
        {QStringLiteral("remote"),
         notice ? QJsonValue()
                : ipv4Text(entry.address) + QLatin1Char(':') + QString::number(entry.remotePort)},
        {QStringLiteral("bytes"), bytesOf(entry.payload())},
        // A fleet's lines start with their unit's address, as on standard output.
        {QStringLiteral("text"), unitAddress.isEmpty()
                                     ? trafficLogLine(entry)
                                     : unitAddress + QLatin1Char(' ') + trafficLogLine(entry)},
    };
    if (entry.notSent && entry.note)
        object.insert(QStringLiteral("reason"), QString::fromUtf8(entry.note->text));
    if (const QByteArrayView state = entry.unansweredBecause(); !state.isEmpty())
        object.insert(QStringLiteral("state"), QString::fromUtf8(state));
    if (units.range) {
        QJsonObject range{{QStringLiteral("first"), qint64(units.first)},
                          {QStringLiteral("last"), qint64(units.last)}};
        if (!units.firstAddress.isEmpty() && !units.lastAddress.isEmpty()) {
            range.insert(QStringLiteral("firstAddress"), QString::fromLatin1(units.firstAddress));
            range.insert(QStringLiteral("lastAddress"), QString::fromLatin1(units.lastAddress));
        }
        object.insert(QStringLiteral("units"), range);
    }
    return object;
}

QByteArray trafficLogJsonLine(const TrafficLogEntry& entry, quint64 seq, int unit)
{
    QByteArray out;
    appendTrafficLogJson(out, entry, seq, unit, {});
    return out;
}

void appendJsonString(QByteArray& out, QByteArrayView text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = quint8(c);
        switch (byte) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
                out.append(escaped, sizeof escaped);
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

namespace {
void appendNumber(QByteArray& out, qint64 value)
{
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end - digits);
}

// "2026-12-07T11:45:00.123456Z" without going through QDateTime: days to a civil date
// (Howard Hinnant's algorithm), the rest is arithmetic.
void appendIsoTime(QByteArray& out, qint64 microseconds)
{
    if (microseconds < 0) {
        appendJsonString(out, isoTimeUs(microseconds).toLatin1());
        return;
    }
    const qint64 seconds = microseconds / 1000000;
    const int fraction = int(microseconds % 1000000);
    const qint64 days = seconds / 86400;
    const int secondOfDay = int(seconds % 86400);
    const qint64 z = days + 719468;
    const qint64 era = z / 146097;
    const qint64 dayOfEra = z - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 mp = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const qint64 year = yearOfEra + era * 400 + (month <= 2);
    char text[40];
    const int n = std::snprintf(text, sizeof text, "\"%04lld-%02d-%02dT%02d:%02d:%02d.%06dZ\"",
                                static_cast<long long>(year), month, day, secondOfDay / 3600,
                                secondOfDay / 60 % 60, secondOfDay % 60, fraction);
    out.append(text, n);
}
} // namespace

void appendTrafficLogJson(QByteArray& out, const TrafficLogEntry& entry, quint64 seq, int unit,
                          QByteArrayView unitAddress, const QList<QByteArray>& unitAddresses)
{
    const bool notice = entry.isRemark();
    const EventUnits units = eventUnits(entry, unitAddresses);
    const QByteArrayView address = units.single ? units.firstAddress : unitAddress;
    // Keys in QJsonObject's order (sorted), so that both writers give the same bytes.
    out += "{\"address\":";
    if (address.isEmpty())
        out += "null";
    else
        appendJsonString(out, address);
    out += ",\"bytes\":[";
    const QByteArrayView payload = entry.payload();
    for (qsizetype k = 0; k < payload.size(); ++k) {
        if (k != 0)
            out += ',';
        appendNumber(out, quint8(payload[k]));
    }
    out += "],\"command\":\"";
    out += TrafficLogEntry::commandName(entry.command());
    out += "\",\"direction\":\"";
    out += trafficLogDirection(entry);
    out += "\",\"endpoint\":";
    out += notice ? "null" : entry.isDiscovery() ? "\"discovery\"" : "\"unit\"";
    out += ",\"port\":";
    if (notice)
        out += "null";
    else
        appendNumber(out, entry.simulatorPort());
    if (entry.notSent && entry.note) {
        out += ",\"reason\":";
        appendJsonString(out, entry.note->text);
    }
    out += ",\"remote\":";
    if (notice) {
        out += "null";
    } else {
        char remote[32];
        const int n = std::snprintf(remote, sizeof remote, "\"%u.%u.%u.%u:%u\"", entry.address >> 24,
                                    (entry.address >> 16) & 0xff, (entry.address >> 8) & 0xff,
                                    entry.address & 0xff, unsigned(entry.remotePort));
        out.append(remote, n);
    }
    out += ",\"seq\":";
    appendNumber(out, qint64(seq));
    if (const QByteArrayView state = entry.unansweredBecause(); !state.isEmpty()) {
        out += ",\"state\":";
        appendJsonString(out, state);
    }
    out += ",\"text\":";
    char line[kMaxTrafficLogLine];
    const qsizetype length = formatTrafficLogLine(entry, line);
    if (unitAddress.isEmpty()) {
        appendJsonString(out, QByteArrayView(line, length));
    } else {
        // A fleet's lines start with their unit's address, as on standard output.
        QByteArray prefixed;
        prefixed.reserve(unitAddress.size() + 1 + length);
        prefixed.append(unitAddress).append(' ').append(line, length);
        appendJsonString(out, prefixed);
    }
    out += ",\"time\":";
    appendIsoTime(out, entry.timeUs);
    out += ",\"unit\":";
    if (units.single)
        appendNumber(out, units.first);
    else if (notice)
        out += "null";
    else
        appendNumber(out, unit);
    if (units.range) {
        out += ",\"units\":{\"first\":";
        appendNumber(out, units.first);
        if (!units.firstAddress.isEmpty() && !units.lastAddress.isEmpty()) {
            out += ",\"firstAddress\":";
            appendJsonString(out, units.firstAddress);
            out += ",\"last\":";
            appendNumber(out, units.last);
            out += ",\"lastAddress\":";
            appendJsonString(out, units.lastAddress);
        } else {
            out += ",\"last\":";
            appendNumber(out, units.last);
        }
        out += '}';
    }
    out += '}';
}
