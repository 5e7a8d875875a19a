#include "record.h"

#include "capture/localaddress.h"
#include "capture/pcapwriter.h"
#include "record/unitframe.h"
#include "record/unitprofiles.h"
#include "unitclient.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <array>
#include <cstdio>
#include <optional>

namespace {
// After a request a unit must not answer: how long to listen for what it sends anyway.
constexpr int kQuietMs = 100;
// Status queries in a row: enough to see which positions are drawn and which hold.
constexpr int kStatusQueries = 5;

QByteArray frame(quint8 command, const std::array<quint8, 24>& channels = {})
{
    QByteArray bytes(kUnitFrameSize, '\0');
    bytes[1] = char(command);
    for (std::size_t n = 0; n < channels.size(); ++n)
        bytes[qsizetype(n + 2)] = char(channels[n]);
    bytes[kUnitFrameSize - 1] = char(255);
    return bytes;
}

std::array<quint8, 24> pattern(int which)
{
    std::array<quint8, 24> values{};
    for (std::size_t n = 0; n < values.size(); ++n) {
        switch (which) {
        case 0:
            values[n] = 0;
            break;
        case 1:
            values[n] = 255;
            break;
        case 2:
            values[n] = quint8(n + 1);
            break;
        case 3:
            values[n] = n % 2 ? 255 : 0;
            break;
        default:
            values[n] = quint8(24 - n);
            break;
        }
    }
    return values;
}

// One request of the probe: where it goes, and whether a reply is awaited.
struct Step {
    quint16 port; // 0: the unit port
    QByteArray payload;
    bool answered;
    bool readsChannelsFirst = false; // the channel-query before any set-channels
};

bool isChannelReply(const QByteArray& reply)
{
    return reply.size() == kUnitFrameSize && quint8(reply[0]) == kReplyFirstByte &&
           quint8(reply[1]) == UnitCommand::ChannelQuery;
}

QList<Step> probe()
{
    QList<Step> steps;
    steps.append({kDiscoveryPort, QByteArrayLiteral("X"), true});
    steps.append({kDiscoveryPort, QByteArrayLiteral("Y"), false});
    steps.append({0, frame(UnitCommand::ChannelQuery), true, true});
    for (int i = 0; i < kStatusQueries; ++i)
        steps.append({0, frame(UnitCommand::StatusQuery), true});
    for (int which = 0; which < 5; ++which) {
        steps.append({0, frame(UnitCommand::SetChannels, pattern(which)), false});
        steps.append({0, frame(UnitCommand::ChannelQuery), true});
    }
    steps.append({0, frame(UnitCommand::ChannelQuery).left(2), false});
    steps.append({0, frame(UnitCommand::ChannelQuery).left(kUnitFrameSize - 1), false});
    steps.append({0, frame(UnitCommand::ChannelQuery) + '\0', false});
    steps.append({0, frame(99), false});
    steps.append({0, frame(UnitCommand::StatusQuery), true});
    return steps;
}

// The unit port a discovery reply names: its second '/'-separated field ("ALED.../4003/...").
quint16 unitPortOf(const QByteArray& identity)
{
    const QList<QByteArray> fields = identity.split('/');
    bool ok = false;
    const uint port = fields.value(1).toUInt(&ok);
    return ok && port > 0 && port <= 65535 ? quint16(port) : 0;
}
} // namespace

int recordUnit(const QString& unit, const RecordOptions& options)
{
    Target target;
    if (const QString error = parseTarget(unit, 0, target); !error.isEmpty()) {
        std::fprintf(stderr, "unitctl: %s\n", qPrintable(error));
        return 2;
    }
    PcapWriter writer;
    QString error;
    if (!writer.open(options.out, &error)) {
        std::fprintf(stderr, "unitctl: cannot write %s: %s\n", qPrintable(options.out), qPrintable(error));
        return 2;
    }
    UnitClient client;
    LocalAddressFinder local;
    const quint32 unitAddress = target.address.toIPv4Address();
    const quint32 ourAddress = local.sourceFor(unitAddress);
    const auto write = [&](quint32 from, quint16 fromPort, quint32 to, quint16 toPort,
                           const QByteArray& bytes) {
        writer.write(CaptureRecord{QDateTime::currentMSecsSinceEpoch() * 1000, from, fromPort, to, toPort, 64,
                                   QByteArrayView(bytes)});
    };

    quint16 unitPort = target.port;
    int requests = 0, replies = 0;
    // The unit's channels 2-25 before the probe changed them: the first channel-query's reply.
    std::optional<std::array<quint8, 24>> before;
    QElapsedTimer elapsed;
    elapsed.start();
    do {
        for (const Step& step : probe()) {
            const bool discovery = step.port == kDiscoveryPort;
            if (!discovery && unitPort == 0)
                continue; // no unit port known: the unit did not answer discovery
            const Target to{target.address, discovery ? kDiscoveryPort : unitPort};
            if (!client.send(to, step.payload)) {
                std::fprintf(stderr, "unitctl: cannot send to %s:%u: %s\n", qPrintable(to.address.toString()),
                             unsigned(to.port), qPrintable(client.errorString()));
                return 4;
            }
            write(ourAddress, client.localPort(), unitAddress, to.port, step.payload);
            ++requests;
            // What the unit sends back, expected or not: a reply awaited up to the timeout, and
            // then anything more within the quiet time.
            QList<Reply> got = step.answered ? client.receiveUpTo(to, options.timeoutMs, 1) : QList<Reply>();
            got += client.receive(to, kQuietMs, true);
            for (const Reply& reply : got) {
                write(unitAddress, reply.port, ourAddress, client.localPort(), reply.data);
                ++replies;
                if (discovery && unitPort == 0 && step.payload == "X")
                    unitPort = unitPortOf(reply.data);
                if (!before && step.readsChannelsFirst && isChannelReply(reply.data)) {
                    before.emplace();
                    for (std::size_t n = 0; n < before->size(); ++n)
                        before->at(n) = quint8(reply.data[qsizetype(n + 2)]);
                }
            }
        }
    } while (elapsed.elapsed() < options.durationMs);

    // Set back, and not recorded: the recording is the probe alone.
    QString restored;
    if (!options.restore) {
        restored = QStringLiteral("channels left as the last pattern set them (24 to 1): --no-restore");
    } else if (unitPort == 0) {
        restored = QStringLiteral("no channels were set: no unit port");
    } else if (!before) {
        std::fprintf(stderr,
                     "unitctl: the unit's channels were not set back: it did not answer the channel-query "
                     "sent before the probe set any\n");
    } else if (!client.send({target.address, unitPort}, frame(UnitCommand::SetChannels, *before))) {
        std::fprintf(stderr, "unitctl: the unit's channels were not set back: %s\n",
                     qPrintable(client.errorString()));
    } else {
        restored = QStringLiteral("channels 2-25 set back to what the unit held before the probe");
    }

    if (!writer.flush(&error)) {
        std::fprintf(stderr, "unitctl: cannot write %s: %s\n", qPrintable(options.out), qPrintable(error));
        return 2;
    }
    writer.close();
    std::printf("%d requests, %d replies recorded from %s (unit port %s) in %s\n", requests, replies,
                qPrintable(target.address.toString()),
                unitPort ? qPrintable(QString::number(unitPort)) : "unknown: no discovery reply",
                qPrintable(options.out));
    if (!restored.isEmpty())
        std::printf("%s\n", qPrintable(restored));
    return replies > 0 ? 0 : 1;
}
