#include "replay.h"

#include "record/unitframe.h"
#include "record/unitprofiles.h"
#include "recording/unitrecording.h"
#include "unitclient.h"

#include <QHash>
#include <QMap>

#include <map>

#include <cstdio>

namespace {
// After a request the capture shows no reply to: how long to listen for one that should not come.
constexpr int kQuietMs = 100;

bool isUnitPort(quint16 port)
{
    return port >= 4000 && port <= 4007;
}

bool isUnitSide(quint16 port)
{
    return isUnitPort(port) || port == kDiscoveryPort;
}

struct Exchange {
    CapturedDatagram request;
    QList<CapturedDatagram> replies;
};

// Who asked whom: a reply answers the latest request under the same key. Discovery leaves the
// unit's address out, since a broadcast request is answered from each unit's own address.
QString exchangeKey(quint32 client, quint16 clientPort, quint32 unit, quint16 unitPort)
{
    return QStringLiteral("%1:%2>%3:%4")
        .arg(client)
        .arg(clientPort)
        .arg(unitPort == kDiscoveryPort ? 0 : unit)
        .arg(unitPort);
}

QList<Exchange> exchangesOf(const QList<CapturedDatagram>& datagrams, int* unmatched)
{
    QList<Exchange> exchanges;
    QHash<QString, qsizetype> latest;
    for (const CapturedDatagram& datagram : datagrams) {
        if (isUnitSide(datagram.destinationPort)) {
            latest.insert(exchangeKey(datagram.source, datagram.sourcePort, datagram.destination,
                                      datagram.destinationPort),
                          exchanges.size());
            exchanges.append({datagram, {}});
        } else if (isUnitSide(datagram.sourcePort)) {
            const auto found = latest.constFind(exchangeKey(datagram.destination, datagram.destinationPort,
                                                            datagram.source, datagram.sourcePort));
            if (found == latest.cend())
                ++*unmatched;
            else
                exchanges[*found].replies.append(datagram);
        }
    }
    return exchanges;
}

QString commandName(const CapturedDatagram& request)
{
    if (request.destinationPort == kDiscoveryPort)
        return QStringLiteral("discovery");
    if (request.payload.size() < 2)
        return QStringLiteral("short frame");
    switch (quint8(request.payload[1])) {
    case UnitCommand::SetChannels:
        return QStringLiteral("set-channels");
    case UnitCommand::ChannelQuery:
        return QStringLiteral("channel-query");
    case UnitCommand::StatusQuery:
        return QStringLiteral("status-query");
    default:
        return QStringLiteral("command %1").arg(quint8(request.payload[1]));
    }
}

bool isSetChannels(const CapturedDatagram& request)
{
    return isUnitPort(request.destinationPort) && request.payload.size() >= 2 &&
           quint8(request.payload[1]) == UnitCommand::SetChannels;
}

// Positions a unit draws anew for every status reply: 2 always, and 14 where the profile on
// that port draws it (the generation 1 driver).
bool isDrawn(const CapturedDatagram& request, qsizetype position)
{
    if (!isUnitPort(request.destinationPort) || request.payload.size() < 2 ||
        quint8(request.payload[1]) != UnitCommand::StatusQuery)
        return false;
    if (position == 2)
        return true;
    return position == 14 &&
           std::any_of(kUnitProfiles.begin(), kUnitProfiles.end(), [&](const UnitProfile& profile) {
               return profile.unitPort == request.destinationPort &&
                      profile.statusPosition14 == kRandomStatusPosition14;
           });
}

// Where the recorded unit's status replies varied: a unit whose firmware draws a position the
// protocol does not (a temperature, say) is held to the range the recording shows there, not to
// one recorded value. Keyed by the unit's address and port.
class RecordedRanges {
public:
    explicit RecordedRanges(const QList<CapturedDatagram>& datagrams)
    {
        for (const CapturedDatagram& datagram : datagrams) {
            if (UnitRecording::isStatusReply(datagram))
                m_ranges[key(datagram.source, datagram.sourcePort)].add(datagram.payload);
        }
    }

    // Whether `came` at `position` agrees with the recording: the same byte, a drawn position,
    // or within the range a varying position showed.
    bool agrees(const CapturedDatagram& request, qsizetype position, quint8 recorded, quint8 came) const
    {
        if (recorded == came || isDrawn(request, position))
            return true;
        if (!isUnitPort(request.destinationPort) || request.payload.size() < 2 ||
            quint8(request.payload[1]) != UnitCommand::StatusQuery)
            return false;
        const auto range = m_ranges.find(key(request.destination, request.destinationPort));
        return range != m_ranges.end() && range->second.varies(position) &&
               came >= range->second.low[std::size_t(position)] &&
               came <= range->second.high[std::size_t(position)];
    }

private:
    static quint64 key(quint32 address, quint16 port) { return (quint64(address) << 16) | port; }
    std::map<quint64, UnitRecording::StatusRange> m_ranges;
};

// What a position of a reply holds, named as the dissector names it.
QString positionName(const QString& command, qsizetype position)
{
    if (position == 0)
        return QStringLiteral("first byte");
    if (position == 1)
        return QStringLiteral("command echo");
    if (position == kUnitFrameSize - 1)
        return QStringLiteral("last byte");
    if (command == QLatin1String("channel-query") && position >= 2 && position <= 25)
        return QStringLiteral("channel %1").arg(position);
    if (command == QLatin1String("status-query")) {
        if (position == 2)
            return QStringLiteral("drawn value (25 to 70)");
        if (position == 11 || position == 14)
            return QStringLiteral("profile value at position %1").arg(position);
        return QStringLiteral("status position %1").arg(position);
    }
    return QStringLiteral("position %1").arg(position);
}

// The differences of one kind of reply at one position, for --explain.
struct PositionDifference {
    qsizetype replies = 0;                 // replies that differ here
    QMap<QPair<int, int>, int> valuePairs; // (recorded, came) -> how often
};

struct Explanation {
    // By command, then position (-1: the discovery reply's identity as a whole).
    QMap<QString, QMap<qsizetype, PositionDifference>> positions;
    QMap<QString, qsizetype> comparedReplies;
    QMap<QString, QPair<QByteArray, QByteArray>> identities; // recorded, came
    QStringList counts;                                      // replies missing or beyond
    QStringList sizes;

    void compare(const QString& command, const CapturedDatagram& request, const QByteArray& recorded,
                 const QByteArray& got, const RecordedRanges& ranges)
    {
        ++comparedReplies[command];
        if (request.destinationPort == kDiscoveryPort) {
            if (recorded != got) {
                ++positions[command][-1].replies;
                identities.insert(command, {recorded, got});
            }
            return;
        }
        if (recorded.size() != got.size())
            sizes << QStringLiteral("%1 reply: %2 bytes recorded, %3 came")
                         .arg(command)
                         .arg(recorded.size())
                         .arg(got.size());
        for (qsizetype i = 0; i < std::min(recorded.size(), got.size()); ++i) {
            if (ranges.agrees(request, i, quint8(recorded[i]), quint8(got[i])))
                continue;
            PositionDifference& difference = positions[command][i];
            ++difference.replies;
            ++difference.valuePairs[{quint8(recorded[i]), quint8(got[i])}];
        }
    }

    void print() const
    {
        std::printf(
            "\nWhere the unit differs from the recording, by reply and position (drawn positions aside):\n");
        if (positions.isEmpty() && counts.isEmpty() && sizes.isEmpty())
            std::printf("  nowhere\n");
        for (auto command = positions.cbegin(); command != positions.cend(); ++command) {
            const qsizetype compared = comparedReplies.value(command.key());
            for (auto position = command.value().cbegin(); position != command.value().cend(); ++position) {
                const PositionDifference& difference = position.value();
                if (position.key() < 0) {
                    const QPair<QByteArray, QByteArray> identity = identities.value(command.key());
                    std::printf(
                        "  %s reply, identity: recorded \"%s\", came \"%s\" (in %lld of %lld replies)\n",
                        qPrintable(command.key()), identity.first.constData(), identity.second.constData(),
                        static_cast<long long>(difference.replies), static_cast<long long>(compared));
                    continue;
                }
                QStringList values;
                for (auto pair = difference.valuePairs.cbegin(); pair != difference.valuePairs.cend(); ++pair)
                    values << QStringLiteral("recorded %1, came %2%3")
                                  .arg(pair.key().first)
                                  .arg(pair.key().second)
                                  .arg(difference.valuePairs.size() > 1
                                           ? QStringLiteral(" (%1 times)").arg(pair.value())
                                           : QString());
                std::printf("  %s reply, position %lld (%s): %s (in %lld of %lld replies)\n",
                            qPrintable(command.key()), static_cast<long long>(position.key()),
                            qPrintable(positionName(command.key(), position.key())),
                            qPrintable(values.join(QStringLiteral("; "))),
                            static_cast<long long>(difference.replies), static_cast<long long>(compared));
            }
        }
        for (const QString& line : sizes + counts)
            std::printf("  %s\n", qPrintable(line));
    }
};

QString byteList(const QByteArray& bytes, const QList<qsizetype>& positions)
{
    QStringList values;
    for (qsizetype position : positions)
        values << (position < bytes.size() ? QString::number(quint8(bytes[position])) : QStringLiteral("-"));
    return values.join(QLatin1Char(' '));
}

// What differs between a recorded reply and the one that came; empty when they agree.
QString replyDifference(const CapturedDatagram& request, const CapturedDatagram& recorded,
                        const QByteArray& got, const RecordedRanges& ranges)
{
    QStringList problems;
    if (recorded.complete && recorded.payload.size() != got.size())
        problems << QStringLiteral("%1 bytes recorded, %2 came").arg(recorded.payload.size()).arg(got.size());
    QList<qsizetype> positions;
    const qsizetype compared = std::min(recorded.payload.size(), got.size());
    for (qsizetype i = 0; i < compared; ++i) {
        if (!ranges.agrees(request, i, quint8(recorded.payload[i]), quint8(got[i])))
            positions << i;
    }
    if (!positions.isEmpty()) {
        QStringList where;
        for (qsizetype position : positions)
            where << QString::number(position);
        problems << QStringLiteral("differs at position%1 %2: recorded %3, came %4")
                        .arg(positions.size() == 1 ? QString() : QStringLiteral("s"),
                             where.join(QStringLiteral(", ")), byteList(recorded.payload, positions),
                             byteList(got, positions));
    }
    return problems.join(QStringLiteral("; "));
}
} // namespace

int replayCapture(const QString& path, const ReplayOptions& options)
{
    QString error;
    const std::optional<CaptureContents> contents = readCapture(path, &error);
    if (!contents) {
        std::fprintf(stderr, "unitctl: cannot read %s: %s\n", qPrintable(path), qPrintable(error));
        return 2;
    }
    int unmatched = 0;
    const QList<Exchange> exchanges = exchangesOf(contents->datagrams, &unmatched);
    if (exchanges.isEmpty()) {
        std::fprintf(stderr, "unitctl: %s holds no request to a unit (UDP to ports 4000-4007 or 65535)\n",
                     qPrintable(path));
        return 2;
    }

    const RecordedRanges ranges(contents->datagrams);
    UnitClient client;
    Explanation explanation;
    int differences = 0;
    int matchingReplies = 0;
    for (const Exchange& exchange : exchanges) {
        const CapturedDatagram& request = exchange.request;
        const Target target{options.to.value_or(QHostAddress(request.destination)), request.destinationPort};
        const QString what = QStringLiteral("frame %1, %2 to %3:%4")
                                 .arg(request.frame)
                                 .arg(commandName(request), target.address.toString())
                                 .arg(target.port);
        const auto report = [&](const QString& text) {
            ++differences;
            std::printf("%s: %s\n", qPrintable(what), qPrintable(text));
        };
        // Anything that came since belongs to an earlier request that got more than recorded.
        const QList<Reply> stray = client.receive(Target{QHostAddress(), 0}, 0, true);
        if (!stray.isEmpty())
            report(QStringLiteral("%1 more repl%2 to the request before than recorded")
                       .arg(stray.size())
                       .arg(stray.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
        if (!request.complete)
            std::printf("%s: the capture kept only %lld bytes of the request; sent as kept\n",
                        qPrintable(what), static_cast<long long>(request.payload.size()));
        if (!client.send(target, request.payload)) {
            std::fprintf(stderr, "unitctl: cannot send to %s:%u: %s\n", qPrintable(target.address.toString()),
                         unsigned(target.port), qPrintable(client.errorString()));
            return kReplaySendFailed;
        }
        // A broadcast is answered from the units' own addresses; otherwise only the target answers.
        const Target from{request.destinationPort == kDiscoveryPort ? QHostAddress() : target.address,
                          target.port};
        const qsizetype expected = exchange.replies.size();
        // Set-channels is never answered, so not waited for; another request the recording shows
        // unanswered (dropped by a fault, say) is listened to for a while.
        const int silenceMs = isSetChannels(request) ? 0 : std::min(kQuietMs, options.timeoutMs);
        QList<Reply> replies = expected > 0 ? client.receiveUpTo(from, options.timeoutMs, expected)
                                            : client.receiveUpTo(from, silenceMs, 1);
        // More than recorded (a duplicating unit, say): whatever comes within the settle time
        // belongs to this request. Without it a late duplicate would be read as the next
        // request's reply and reported as wrong bytes there.
        if (!isSetChannels(request))
            replies += client.receive(from, options.settleMs, true);
        if (replies.size() != expected) {
            const QString counted = QStringLiteral("%1 repl%2 recorded, %3 came")
                                        .arg(expected)
                                        .arg(expected == 1 ? QStringLiteral("y") : QStringLiteral("ies"))
                                        .arg(replies.size());
            report(counted);
            explanation.counts << QStringLiteral("%1 (frame %2): %3")
                                      .arg(commandName(request))
                                      .arg(request.frame)
                                      .arg(counted);
        }
        for (qsizetype i = 0; i < std::min(expected, replies.size()); ++i) {
            explanation.compare(commandName(request), request, exchange.replies[i].payload, replies[i].data,
                                ranges);
            const QString difference = replyDifference(request, exchange.replies[i], replies[i].data, ranges);
            if (difference.isEmpty())
                ++matchingReplies;
            else
                report(QStringLiteral("reply %1 (recorded in frame %2) %3")
                           .arg(i + 1)
                           .arg(exchange.replies[i].frame)
                           .arg(difference));
        }
    }
    std::printf("%lld requests replayed, %d replies as recorded, %d difference%s",
                static_cast<long long>(exchanges.size()), matchingReplies, differences,
                differences == 1 ? "" : "s");
    if (contents->skipped > 0 || unmatched > 0)
        std::printf(" (%d packets not UDP over IPv4 skipped, %d replies to no recorded request)",
                    contents->skipped, unmatched);
    std::printf("\n");
    if (options.explain)
        explanation.print();
    return differences == 0 ? 0 : 1;
}
