#include "unitrecording.h"

#include "fault/faultinjector.h"
#include "record/unitprofiles.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QSet>

#include <algorithm>

namespace {
QString addressText(quint32 address)
{
    return QHostAddress(address).toString();
}

} // namespace

namespace UnitRecording {
bool isStatusReply(const CapturedDatagram& datagram)
{
    return datagram.complete && datagram.sourcePort >= kFirstUnitPort &&
           datagram.sourcePort <= kLastUnitPort &&
           *unitReplyProblem(datagram.payload, UnitCommand::StatusQuery) == 0;
}

void StatusRange::add(const QByteArray& reply)
{
    for (std::size_t k = 0; k < std::size_t(kUnitFrameSize); ++k) {
        const quint8 value = quint8(reply[qsizetype(k)]);
        low[k] = replies == 0 ? value : std::min(low[k], value);
        high[k] = replies == 0 ? value : std::max(high[k], value);
    }
    ++replies;
}

std::shared_ptr<const RecordedUnit> read(const QString& path, QString* error)
{
    const std::optional<CaptureContents> contents = readCapture(path, error);
    if (!contents)
        return nullptr;
    return fromCapture(*contents, path, error);
}

std::shared_ptr<const RecordedUnit> fromCapture(const CaptureContents& contents, const QString& path,
                                                QString* error)
{
    const auto refuse = [error](const QString& why) {
        *error = why;
        return nullptr;
    };
    QList<const CapturedDatagram*> replies;
    QSet<quint32> units;
    for (const CapturedDatagram& datagram : contents.datagrams) {
        if (isStatusReply(datagram)) {
            replies << &datagram;
            units.insert(datagram.source);
        }
    }
    if (replies.isEmpty())
        return refuse(
            QStringLiteral("holds no status-query reply from a unit (UDP from ports %1-%2, 29 bytes)")
                .arg(kFirstUnitPort)
                .arg(kLastUnitPort));
    if (units.size() > 1) {
        QStringList addresses;
        for (quint32 address : std::as_const(units))
            addresses << addressText(address);
        addresses.sort();
        return refuse(
            QStringLiteral("holds status-query replies from %1 units (%2); a recording must be of one")
                .arg(units.size())
                .arg(addresses.join(QStringLiteral(", "))));
    }
    const quint32 unit = replies.first()->source;
    const quint16 port = replies.first()->sourcePort;
    for (const CapturedDatagram* reply : std::as_const(replies)) {
        if (reply->sourcePort != port)
            return refuse(
                QStringLiteral("the unit at %1 answered on port %2 and on port %3; a recording must "
                               "be of one profile")
                    .arg(addressText(unit))
                    .arg(port)
                    .arg(reply->sourcePort));
    }

    QByteArray identity;
    bool answeredDiscovery = false;
    for (const CapturedDatagram& datagram : contents.datagrams) {
        if (datagram.source != unit || datagram.sourcePort != kDiscoveryPort ||
            datagram.destinationPort == kDiscoveryPort)
            continue;
        if (!datagram.complete)
            return refuse(QStringLiteral("the capture kept only %1 bytes of the discovery reply in frame %2")
                              .arg(datagram.payload.size())
                              .arg(datagram.frame));
        if (answeredDiscovery && datagram.payload != identity)
            return refuse(
                QStringLiteral("the unit at %1 answered discovery in two ways (frame %2 differs from "
                               "the one before)")
                    .arg(addressText(unit))
                    .arg(datagram.frame));
        identity = datagram.payload;
        answeredDiscovery = true;
    }
    if (!answeredDiscovery)
        return refuse(QStringLiteral("holds no discovery reply from %1 (unitctl record asks for one)")
                          .arg(addressText(unit)));
    if (identity.isEmpty() || identity.size() > ReplyCopy::kMaxSize)
        return refuse(
            QStringLiteral("the unit at %1 answered discovery with %2 bytes; this simulator answers "
                           "with 1 to %3")
                .arg(addressText(unit))
                .arg(identity.size())
                .arg(ReplyCopy::kMaxSize));

    auto recorded = std::make_shared<RecordedUnit>();
    recorded->path = QFileInfo(path).absoluteFilePath();
    recorded->identity = identity;
    StatusRange range;
    for (const CapturedDatagram* reply : std::as_const(replies))
        range.add(reply->payload);
    recorded->statusLow = range.low;
    recorded->statusHigh = range.high;
    recorded->profile = profileAnswering(identity, port, recorded->statusLow);
    if (recorded->profile < 0)
        return refuse(QStringLiteral("the unit at %1 answered on port %2, which no profile of this simulator "
                                     "answers on")
                          .arg(addressText(unit))
                          .arg(port));
    if (replies.size() == 1) {
        // One reply cannot tell a drawn position from a fixed one: the protocol's draws stand.
        recorded->statusLow[2] = quint8(kFirstDrawMin);
        recorded->statusHigh[2] = quint8(kFirstDrawMax);
        if (kUnitProfiles[std::size_t(recorded->profile)].statusPosition14 == kRandomStatusPosition14) {
            recorded->statusLow[14] = quint8(kSecondDrawMin);
            recorded->statusHigh[14] = quint8(kSecondDrawMax);
        }
    }
    recorded->findDrawnPositions();
    recorded->identityNote = new TrafficLogNote;
    recorded->identityNote->reply = identity;
    return recorded;
}
} // namespace UnitRecording
