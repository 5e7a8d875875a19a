// unitctl: speaks the unit protocol from a shell, for people and for scripts.
#include "apiclient.h"
#include "app/appversion.h"
#include "record.h"
#include "record/duration.h"
#include "record/unitframe.h"
#include "record/unitprofiles.h"
#include "replay.h"
#include "storedlog.h"
#include "unitclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {
enum ExitStatus {
    Answered = 0,
    NoAnswer = 1,
    UsageError = 2,
    MalformedReply = 3,
    SendFailed = kReplaySendFailed
};

constexpr quint16 kDefaultUnitPort = 4000;

const char* const kHelp = R"(Usage: unitctl [options] COMMAND ...

Commands:
  discover [HOST]             send the discovery request "X" to HOST:65535 (default
                              127.0.0.1), collect every answer until the timeout and
                              print them sorted by address, one a line (--json: an
                              array); a broadcast address reaches every unit on the LAN
  channels HOST[:PORT]        query the channel values 2 to 25
  status HOST[:PORT]          query the status block
  set HOST[:PORT] V2 ... V25  set channels 2 to 25 (each 0 to 255); fewer than 24 values
                              set the remaining channels to 0. The unit does not answer
                              set-channels, so nothing is waited for.
  replay FILE.pcap            send the requests of a capture (from the simulator, or
                              recorded from real units: Ethernet, Linux cooked or raw
                              IP) to a unit, one by one, and compare each reply with
                              the recorded one, the status reply's drawn positions
                              aside; prints every difference (--explain: grouped by
                              reply and position, named as the dissector names them)
  record HOST[:PORT] --out FILE.pcap
                              run a fixed probe of a unit, real or simulated, and
                              write what went each way to FILE.pcap, for replay
                              against a simulated unit: discovery ("X", then "Y"), a
                              channel-query, five status-queries, five set-channels
                              patterns (all 0, all 255, 1 to 24, 0/255 alternating,
                              24 to 1) each read back, then frames a unit must not
                              answer (2, 28 and 30 bytes, command 99) and a last
                              status-query. The unit port comes from the discovery
                              reply unless PORT gives it; --duration D repeats the
                              probe until D (such as 30s) has passed. The probe
                              changes the unit's lights: the channels it held (read
                              by the first channel-query) are set back at the end,
                              unless --no-restore
  log DIR                     print the traffic log a run of unit-simulator stored in
                              DIR (the directory it printed at start), oldest first, as the
                              window shows it (--json: one JSON object a line, as the
                              control API gives it); reads the store of a run that
                              was killed too, up to its last whole block
  verify HOST:PORT MATCHER    ask the control API of a running unit-simulator at
                              HOST:PORT whether the units received what MATCHER
                              describes (JSON, as POST /api/v1/verify takes it, e.g.
                              '{"command": "set-channels", "at_least": 1}'); prints
                              the count, and the nearest misses with what differed
                              when it does not hold (--json: the API's answer). The
                              API's token, if it has one, comes from UNITSIM_TOKEN
                              (or UNITSIM_CONTROL_TOKEN).
  health HOST:PORT            ask the control API whether the simulator is ready:
                              every unit listening, its scenario (if any) running;
                              prints why not (--json: the API's answer)

PORT defaults to 4000.

Options:
  --json          print the answer as JSON
  --timeout MS    how long to wait for an answer (default 1000)
  --to ADDRESS    replay: send every request to ADDRESS instead of where it went
  --since SEQ     log: start at line SEQ (default: the oldest held)
  --explain       replay: after the differences, group them by reply and position
  --out FILE      record: the pcap file to write
  --duration D    record: repeat the probe until D (500ms, 30s, 2m) has passed
  --no-restore    record: leave the unit's channels as the last pattern set them
  --settle MS     replay: after the recorded replies to a request came, listen MS
                  more for replies beyond them before the next request goes out
                  (default 50); a reply later than that is counted against the
                  next request
  -h, --help      show this help
  -v, --version   show the version

Exit status: 0 answered (or set sent), 1 no answer in time, 2 usage error,
3 the answer was malformed, 4 the request could not be sent (no route to the
host, say). replay: 0 every reply as recorded, 1 differences, 2 usage error or
a capture that cannot be read, 4 a request could not be sent. record: 0
written, 1 the unit answered nothing, 2 usage error or a file that cannot be
written, 4 a request could not be sent. log: 0 read,
2 usage error or no store in DIR, 3 lines could not be read. verify: 0 matched, 1 not matched, 2 usage
error or a matcher the API refused, 4 no answer from the API. health: 0
ready, 1 not ready, 2 usage error or an answer that is not the API's, 4 no
answer.
)";

struct Options {
    bool json = false;
    int timeoutMs = 1000;
};

// The control API's token: UNITSIM_TOKEN, or the one the simulator itself reads, so that a
// health check beside it needs nothing more.
QByteArray apiToken()
{
    const QByteArray token = qgetenv("UNITSIM_TOKEN");
    return token.isEmpty() ? qgetenv("UNITSIM_CONTROL_TOKEN") : token;
}

int usage(const QString& message)
{
    std::fprintf(stderr, "unitctl: %s\nTry 'unitctl --help'.\n", qPrintable(message));
    return UsageError;
}

void printJson(const QJsonObject& object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

// Where an answer came from, named as the control API names it: the port's number, and its
// role ("unit" or "discovery").
QJsonObject targetJson(const Target& target, QStringView endpoint,
                       std::initializer_list<QPair<QString, QJsonValue>> rest)
{
    QJsonObject object{{QStringLiteral("address"), target.address.toString()},
                       {QStringLiteral("port"), target.port},
                       {QStringLiteral("endpoint"), endpoint.toString()}};
    for (const auto& [key, value] : rest)
        object.insert(key, value);
    return object;
}

QString describe(const Target& target)
{
    return target.address.toString() + QLatin1Char(':') + QString::number(target.port);
}

int cannotSend(const Target& target, const UnitClient& client)
{
    std::fprintf(stderr, "unitctl: cannot send to %s: %s\n", qPrintable(describe(target)),
                 qPrintable(client.errorString()));
    return SendFailed;
}

int noAnswer(const Target& target, const Options& options)
{
    std::fprintf(stderr, "unitctl: no answer from %s within %d ms\n", qPrintable(describe(target)),
                 options.timeoutMs);
    return NoAnswer;
}

// Sends a query and returns its validated reply, or an exit status.
int query(const Target& target, quint8 command, const Options& options, QByteArray& reply)
{
    UnitClient client;
    QByteArray frame(kUnitFrameSize, '\0');
    frame[1] = char(command);
    if (!client.send(target, frame))
        return cannotSend(target, client);
    const QList<Reply> replies = client.receive(target, options.timeoutMs, false);
    if (replies.isEmpty())
        return noAnswer(target, options);
    reply = replies.first().data;
    if (const char* problem = unitReplyProblem(reply, command); *problem) {
        std::fprintf(stderr, "unitctl: malformed reply from %s (%lld bytes): %s\n",
                     qPrintable(describe(target)), static_cast<long long>(reply.size()), problem);
        return MalformedReply;
    }
    return Answered;
}

int channels(const Target& target, const Options& options)
{
    QByteArray reply;
    if (const int status = query(target, UnitCommand::ChannelQuery, options, reply); status != Answered)
        return status;
    // Channels 2 to 25 in order, as the control API gives them.
    QJsonArray values;
    for (int channel = 2; channel <= 25; ++channel) {
        if (options.json)
            values.append(quint8(reply[channel]));
        else
            std::printf("channel %2d: %u\n", channel, unsigned(quint8(reply[channel])));
    }
    if (options.json)
        printJson(targetJson(target, u"unit", {{QStringLiteral("channels"), values}}));
    return Answered;
}

// The profiles whose status block this is. A unit answers on its profile's port, so an answer
// from a unit port narrows the choice to the profiles of that port; from any other port (a
// unit behind a port forward, say) every profile is a candidate.
QList<int> profilesMatchingStatus(const QByteArray& reply, quint16 port)
{
    const bool onUnitPort =
        std::any_of(kUnitProfiles.begin(), kUnitProfiles.end(),
                    [port](const UnitProfile& profile) { return profile.unitPort == port; });
    QList<int> matches;
    for (int index = 0; index < kProfileCount; ++index) {
        const UnitProfile& profile = kUnitProfiles[std::size_t(index)];
        if (onUnitPort && profile.unitPort != port)
            continue;
        const bool position14 = profile.statusPosition14 == kRandomStatusPosition14 ||
                                quint8(reply[14]) == quint8(profile.statusPosition14);
        if (quint8(reply[11]) == profile.statusPosition11 && position14)
            matches << index;
    }
    return matches;
}

int status(const Target& target, const Options& options)
{
    QByteArray reply;
    if (const int result = query(target, UnitCommand::StatusQuery, options, reply); result != Answered)
        return result;
    const QList<int> matches = profilesMatchingStatus(reply, target.port);
    if (options.json) {
        QJsonArray bytes, profiles;
        for (char c : reply)
            bytes.append(quint8(c));
        for (int index : matches)
            profiles.append(index);
        printJson(
            targetJson(target, u"unit",
                       {{QStringLiteral("bytes"), bytes}, {QStringLiteral("matching_profiles"), profiles}}));
        return Answered;
    }
    static const QHash<int, const char*> names = {
        {0, "start of reply"},    {1, "command (status)"},  {2, "varies from reply to reply"},
        {11, "profile-specific"}, {14, "profile-specific"}, {28, "end of reply"},
    };
    for (int position = 0; position < kUnitFrameSize; ++position)
        std::printf("byte %2d: %3u  %s\n", position, unsigned(quint8(reply[position])),
                    names.value(position, ""));
    std::printf("matches profile%s:", matches.size() == 1 ? "" : "s");
    if (matches.isEmpty())
        std::printf(" none");
    for (int index : matches)
        std::printf(" %d (%s)", index, kUnitProfiles[std::size_t(index)].label.data());
    std::printf("\n");
    return Answered;
}

int set(const Target& target, const QStringList& values, const Options& options)
{
    if (values.size() > 24)
        return usage(
            QStringLiteral("set takes at most 24 values (channels 2 to 25), not %1").arg(values.size()));
    QByteArray frame(kUnitFrameSize, '\0');
    frame[1] = char(UnitCommand::SetChannels);
    for (int i = 0; i < values.size(); ++i) {
        bool ok = false;
        const uint value = values[i].toUInt(&ok);
        if (!ok || value > 255)
            return usage(
                QStringLiteral("channel %1: '%2' is not a value from 0 to 255").arg(i + 2).arg(values[i]));
        frame[2 + i] = char(value);
    }
    UnitClient client;
    if (!client.send(target, frame))
        return cannotSend(target, client);
    if (options.json)
        printJson(targetJson(target, u"unit", {{QStringLiteral("sent"), true}}));
    else if (values.isEmpty())
        std::printf("set-channels sent to %s (all channels 0)\n", qPrintable(describe(target)));
    else
        std::printf("set-channels sent to %s (channels 2 to %lld given, the rest 0)\n",
                    qPrintable(describe(target)), static_cast<long long>(values.size() + 1));
    return Answered;
}

int discover(const Target& target, const Options& options)
{
    UnitClient client;
    if (!client.send(target, QByteArray("X")))
        return cannotSend(target, client);
    // Every answer until the timeout, from whichever address it comes: a broadcast reaches many
    // units, and a simulated fleet answers a request to one address from each unit's own.
    QList<Reply> replies = client.receive(Target{QHostAddress(), kDiscoveryPort}, options.timeoutMs, true);
    if (replies.isEmpty())
        return noAnswer(target, options);
    std::stable_sort(replies.begin(), replies.end(), [](const Reply& a, const Reply& b) {
        return a.address.toIPv4Address() != b.address.toIPv4Address()
                   ? a.address.toIPv4Address() < b.address.toIPv4Address()
                   : a.port < b.port;
    });
    QJsonArray units;
    for (const Reply& reply : replies) {
        const QString identity = QString::fromLatin1(reply.data);
        const QStringList fields = identity.split(QLatin1Char('/'));
        const bool wellFormed = reply.data.size() == 50 && fields.size() == 7;
        const QString from = reply.address.toString() + QLatin1Char(':') + QString::number(reply.port);
        if (options.json) {
            QJsonObject unit{{QStringLiteral("address"), reply.address.toString()},
                             {QStringLiteral("port"), reply.port},
                             {QStringLiteral("endpoint"), QStringLiteral("discovery")},
                             {QStringLiteral("identity"), identity}};
            if (wellFormed) {
                unit.insert(QStringLiteral("unit_port"), fields[1].toInt());
                unit.insert(QStringLiteral("kind"), fields[5]);
            }
            units.append(unit);
        } else if (wellFormed) {
            std::printf("%s  %s  (unit port %s, kind %s)\n", qPrintable(from), qPrintable(identity),
                        qPrintable(fields[1]), qPrintable(fields[5]));
        } else {
            std::printf("%s  %s  (not a 50-character identity of 7 fields)\n", qPrintable(from),
                        qPrintable(identity));
        }
    }
    if (options.json)
        std::printf("%s\n", QJsonDocument(units).toJson(QJsonDocument::Compact).constData());
    return Answered;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"),
                                     QStringLiteral("1000"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption to(QStringLiteral("to"), QString(), QStringLiteral("ADDRESS"));
    const QCommandLineOption settle(QStringLiteral("settle"), QString(), QStringLiteral("MS"),
                                    QString::number(kDefaultReplaySettleMs));
    const QCommandLineOption since(QStringLiteral("since"), QStringLiteral("first line"),
                                   QStringLiteral("SEQ"));
    const QCommandLineOption explain(QStringLiteral("explain"));
    const QCommandLineOption out(QStringLiteral("out"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption duration(QStringLiteral("duration"), QString(), QStringLiteral("D"));
    const QCommandLineOption noRestore(QStringLiteral("no-restore"));
    parser.addOptions({json, timeout, help, version, to, settle, since, explain, out, duration, noRestore});
    // A negative number would otherwise read as an unknown option "1". After --timeout it is
    // that option's value, which the range check below rejects; anywhere else it is a channel value.
    QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument.size() < 2 || !argument.startsWith(QLatin1Char('-')) || !argument[1].isDigit())
            continue;
        if (arguments[i - 1] == QLatin1String("--timeout")) {
            const QString value = arguments.takeAt(i--);
            arguments[i] += QLatin1Char('=') + value;
            continue;
        }
        return usage(QStringLiteral("'%1' is not a channel value from 0 to 255").arg(argument));
    }
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("unitctl %s\n", qPrintable(versionText()));
        return 0;
    }

    Options options;
    options.json = parser.isSet(json);
    bool ok = false;
    options.timeoutMs = parser.value(timeout).toInt(&ok);
    if (!ok || options.timeoutMs < 0 || options.timeoutMs > 3600000)
        return usage(QStringLiteral("--timeout takes milliseconds from 0 to 3600000, not '%1'")
                         .arg(parser.value(timeout)));

    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (parser.isSet(to) && command != QLatin1String("replay"))
        return usage(QStringLiteral("--to goes with replay"));
    if (parser.isSet(settle) && command != QLatin1String("replay"))
        return usage(QStringLiteral("--settle goes with replay"));
    if (parser.isSet(since) && command != QLatin1String("log"))
        return usage(QStringLiteral("--since goes with log"));
    if (parser.isSet(explain) && command != QLatin1String("replay"))
        return usage(QStringLiteral("--explain goes with replay"));
    if ((parser.isSet(out) || parser.isSet(duration) || parser.isSet(noRestore)) &&
        command != QLatin1String("record"))
        return usage(QStringLiteral("--out, --duration and --no-restore go with record"));
    if (command == QLatin1String("record")) {
        if (args.size() != 1)
            return usage(QStringLiteral("record takes one unit: HOST or HOST:PORT"));
        if (parser.value(out).isEmpty())
            return usage(QStringLiteral("record needs --out FILE.pcap"));
        RecordOptions record;
        record.out = parser.value(out);
        record.timeoutMs = options.timeoutMs;
        record.restore = !parser.isSet(noRestore);
        if (parser.isSet(duration)) {
            const std::optional<qint64> ms = parseDuration(parser.value(duration));
            if (!ms || *ms > 24LL * 3600 * 1000)
                return usage(
                    QStringLiteral("--duration takes a duration such as 30s or 2m (at most 24h), not '%1'")
                        .arg(parser.value(duration)));
            record.durationMs = int(*ms);
        }
        return recordUnit(args.first(), record);
    }
    if (command == QLatin1String("log")) {
        if (args.size() != 1)
            return usage(QStringLiteral("log takes one directory"));
        quint64 first = 0;
        if (parser.isSet(since)) {
            first = parser.value(since).toULongLong(&ok);
            if (!ok)
                return usage(
                    QStringLiteral("--since takes a line number from 0, not '%1'").arg(parser.value(since)));
        }
        return printStoredLog(args.first(), first, options.json);
    }
    if (command == QLatin1String("replay")) {
        if (args.size() != 1)
            return usage(QStringLiteral("replay takes one capture file"));
        ReplayOptions replay;
        replay.timeoutMs = options.timeoutMs;
        replay.settleMs = parser.value(settle).toInt(&ok);
        if (!ok || replay.settleMs < 0 || replay.settleMs > 60000)
            return usage(QStringLiteral("--settle takes milliseconds from 0 to 60000, not '%1'")
                             .arg(parser.value(settle)));
        if (parser.isSet(to)) {
            Target address;
            if (const QString error = parseTarget(parser.value(to), 0, address); !error.isEmpty())
                return usage(error);
            replay.to = address.address;
        }
        replay.explain = parser.isSet(explain);
        return replayCapture(args.first(), replay);
    }
    if (command == QLatin1String("verify")) {
        if (args.size() != 2)
            return usage(QStringLiteral("verify takes the control API's HOST:PORT and a matcher"));
        return verifyMatcher(args[0], args[1].toUtf8(), apiToken(), options.json, options.timeoutMs);
    }
    if (command == QLatin1String("health")) {
        if (args.size() != 1)
            return usage(QStringLiteral("health takes the control API's HOST:PORT"));
        return checkHealth(args[0], apiToken(), options.json, options.timeoutMs);
    }
    Target target;
    if (command == QLatin1String("discover")) {
        if (args.size() > 1)
            return usage(QStringLiteral("discover takes at most one host"));
        if (const QString error =
                parseTarget(args.value(0, QStringLiteral("127.0.0.1")), kDiscoveryPort, target);
            !error.isEmpty())
            return usage(error);
        target.port = kDiscoveryPort;
        return discover(target, options);
    }
    if (command != QLatin1String("channels") && command != QLatin1String("status") &&
        command != QLatin1String("set"))
        return usage(QStringLiteral("unknown command '%1'").arg(command));
    if (args.isEmpty())
        return usage(QStringLiteral("%1 needs HOST[:PORT]").arg(command));
    if (const QString error = parseTarget(args.takeFirst(), kDefaultUnitPort, target); !error.isEmpty())
        return usage(error);
    if (command == QLatin1String("set"))
        return set(target, args, options);
    if (!args.isEmpty())
        return usage(QStringLiteral("%1 takes only HOST[:PORT]").arg(command));
    return command == QLatin1String("channels") ? channels(target, options) : status(target, options);
}
