#include "trafficlogjson.h"

#include "trafficlogline.h"
#include "unit/unitprofiles.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

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

QJsonObject trafficLogJson(const TrafficLogEntry& entry, quint64 seq, int unit, const QString& unitAddress)
{
    const bool notice = entry.kind == TrafficLogEntry::Kind::Notice;
    const QString direction = notice               ? QStringLiteral("notice")
                              : entry.isFault()    ? QStringLiteral("fault")
                              : entry.isIncoming() ? QStringLiteral("in")
                              : entry.notSent      ? QStringLiteral("not-sent")
                                                   : QStringLiteral("out");
    QJsonObject object{
        {QStringLiteral("seq"), qint64(seq)},
        {QStringLiteral("time"), isoTimeUs(entry.timeUs)},
        {QStringLiteral("unit"), notice ? QJsonValue() : QJsonValue(unit)},
        {QStringLiteral("address"), unitAddress.isEmpty() ? QJsonValue() : QJsonValue(unitAddress)},
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
    return object;
}

QByteArray trafficLogJsonLine(const TrafficLogEntry& entry, quint64 seq, int unit)
{
    return QJsonDocument(trafficLogJson(entry, seq, unit)).toJson(QJsonDocument::Compact);
}
