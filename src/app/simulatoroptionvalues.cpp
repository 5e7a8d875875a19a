#include "simulatoroptionvalues.h"

#include "fleet/unitaddress.h"
#include "log/logstore.h"
#include "record/unitprofiles.h"

#include <QFile>
#include <QSet>

#include <cmath>

namespace SimulatorOptionValues {

QString profileList()
{
    QString list;
    for (int index = 0; index < kProfileCount; ++index) {
        const std::string_view label = kUnitProfiles[std::size_t(index)].label;
        list +=
            QStringLiteral("  %1  %2\n").arg(index).arg(QLatin1String(label.data(), qsizetype(label.size())));
    }
    return list;
}

QString parseControl(const QString& value, ControlOptions& control)
{
    QString port = value;
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        port = value.mid(colon + 1);
        const QString address = value.left(colon);
        const bool bracketed = address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'));
        const QString bare = bracketed ? address.mid(1, address.size() - 2) : address;
        const bool parsed = control.address.setAddress(
            bare == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : bare);
        const bool v6 = control.address.protocol() == QAbstractSocket::IPv6Protocol;
        if (!parsed || v6 != bracketed ||
            (!v6 && control.address.protocol() != QAbstractSocket::IPv4Protocol))
            return QStringLiteral("--control: '%1' is not an IPv4 address or an IPv6 address in brackets")
                .arg(address);
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535)
        return QStringLiteral("--control: '%1' is not a port from 0 to 65535").arg(port);
    control.port = quint16(number);
    return {};
}

QString controlTokenProblem(const ControlOptions& control)
{
    if (!control.address.isLoopback() && control.token.isEmpty())
        return QStringLiteral("--control on %1 needs a token (UNITSIM_CONTROL_TOKEN, --control-token-file "
                              "FILE or --control-token TOKEN): without "
                              "one, anybody on the network could steer the unit")
            .arg(control.address.toString());
    return {};
}

constexpr quint32 kDefaultFirstFleetAddress = (127u << 24) | (0u << 16) | (1u << 8) | 1u; // 127.0.1.1

QString parseFleet(const QStringList& counts, const QStringList& units, const QStringList& proxies,
                   int profile, bool cycle, QList<FleetUnit>& fleet)
{
    struct Range {
        quint32 first;
        qsizetype count;
    };
    QList<Range> ranges;
    qsizetype total = 0;
    for (const QString& text : counts) {
        const QString count = text.section(QLatin1Char('@'), 0, 0);
        bool ok = false;
        const qsizetype n = count.toLongLong(&ok);
        if (!ok || n < 1 || n > kMaxFleetUnits)
            return QStringLiteral("--units: '%1' is not a count from 1 to %2").arg(count).arg(kMaxFleetUnits);
        quint32 first = kDefaultFirstFleetAddress;
        if (text.contains(QLatin1Char('@'))) {
            const std::optional<QHostAddress> address = parseUnitAddress(text.section(QLatin1Char('@'), 1));
            if (!address)
                return QStringLiteral("--units: '%1' is not an IPv4 address")
                    .arg(text.section(QLatin1Char('@'), 1));
            first = address->toIPv4Address();
        }
        if (quint64(first) + quint64(n) - 1 > 0xffffffffull)
            return QStringLiteral("--units: %1 addresses from %2 run past 255.255.255.255")
                .arg(n)
                .arg(QHostAddress(first).toString());
        if (const QString problem = unitAddressProblem(first, quint32(first + quint32(n) - 1));
            !problem.isEmpty())
            return QStringLiteral("--units %1: %2").arg(text, problem);
        ranges.append({first, n});
        total += n;
    }
    QList<FleetUnit> single;
    for (const QString& text : units) {
        const std::optional<QHostAddress> address = parseUnitAddress(text.section(QLatin1Char(':'), 0, 0));
        if (!address)
            return QStringLiteral("--unit: '%1' is not an IPv4 address")
                .arg(text.section(QLatin1Char(':'), 0, 0));
        if (const QString problem = unitAddressProblem(address->toIPv4Address(), address->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--unit %1: %2").arg(text, problem);
        int unitProfile = profile;
        if (text.contains(QLatin1Char(':'))) {
            bool ok = false;
            unitProfile = text.section(QLatin1Char(':'), 1).toInt(&ok);
            if (!ok || !isValidProfileIndex(unitProfile))
                return QStringLiteral("--unit %1: the profile must be a whole number from 0 to 8").arg(text);
        }
        single.append({*address, unitProfile});
    }
    for (const QString& text : proxies) {
        const QString local = text.section(QLatin1Char('='), 0, 0);
        const QString realText = text.section(QLatin1Char('='), 1);
        const std::optional<QHostAddress> address = parseUnitAddress(local.section(QLatin1Char(':'), 0, 0));
        if (!text.contains(QLatin1Char('=')) || !address)
            return QStringLiteral("--proxy: '%1' is not LOCAL_ADDRESS[:PROFILE]=REAL_ADDRESS").arg(text);
        if (const QString problem = unitAddressProblem(address->toIPv4Address(), address->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--proxy %1: %2").arg(text, problem);
        const std::optional<QHostAddress> real = parseUnitAddress(realText);
        if (!real)
            return QStringLiteral(
                       "--proxy %1: the real unit's address '%2' is not an IPv4 address of one unit")
                .arg(text, realText);
        // Passed on to many, each reply would come back to every controller: never a broadcast.
        if (const QString problem = unitAddressProblem(real->toIPv4Address(), real->toIPv4Address());
            !problem.isEmpty())
            return QStringLiteral("--proxy %1: the real unit's address: %2").arg(text, problem);
        if (*real == *address)
            return QStringLiteral("--proxy %1: a unit cannot pass requests on to itself").arg(text);
        FleetUnit proxy{*address, profile, *real, false};
        if (local.contains(QLatin1Char(':'))) {
            bool ok = false;
            proxy.profile = local.section(QLatin1Char(':'), 1).toInt(&ok);
            if (!ok || !isValidProfileIndex(proxy.profile))
                return QStringLiteral("--proxy %1: the profile must be a whole number from 0 to 8").arg(text);
            proxy.profileGiven = true;
        }
        single.append(proxy);
    }
    if (total + single.size() > kMaxFleetUnits)
        return QStringLiteral("at most %1 units").arg(kMaxFleetUnits);
    fleet.reserve(total + single.size());
    for (const Range& range : std::as_const(ranges)) {
        for (qsizetype k = 0; k < range.count; ++k)
            fleet.append({QHostAddress(quint32(range.first + quint32(k))), profile});
    }
    fleet += single;
    QSet<quint32> seen;
    for (qsizetype k = 0; k < fleet.size(); ++k) {
        if (seen.contains(fleet[k].address.toIPv4Address()))
            return QStringLiteral("%1 is given to two units").arg(fleet[k].address.toString());
        seen.insert(fleet[k].address.toIPv4Address());
        if (cycle)
            fleet[k].profile = int(k % kProfileCount);
    }
    if (const QString ring = proxyRing(fleet); !ring.isEmpty())
        return QStringLiteral("--proxy: these proxies would pass every request round for ever: %1").arg(ring);
    return {};
}

QByteArray readTokenFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--control-token-file: cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    // A token is a line; more than a few KiB is no token.
    const QByteArray token = file.readLine(4096).trimmed();
    if (token.isEmpty())
        *error = QStringLiteral("--control-token-file: %1 holds no token on its first line").arg(path);
    return token;
}

QString parseLogStoreOption(const QString& name, const QString& value, SimulatorOptions& options)
{
    if (name == QLatin1String("log-dir")) {
        if (value.isEmpty())
            return QStringLiteral("--log-dir needs a directory");
        options.logDir = value;
    } else if (name == QLatin1String("log-disk-limit")) {
        const qint64 bytes = LogStore::parseSize(value);
        if (bytes < LogStore::kMinDiskLimit)
            return QStringLiteral(
                       "--log-disk-limit must be a size of at least 1MiB (such as 500MiB or 20GiB), "
                       "not '%1'")
                .arg(value);
        options.logDiskLimit = bytes;
    }
    return {};
}

std::optional<double> parseTimeScale(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < Scenario::kMinTimeScale || value > Scenario::kMaxTimeScale)
        return std::nullopt;
    return value;
}

QString timeScaleError(const QString& text)
{
    return QStringLiteral("--time-scale must be a number from 0.01 to 1000, not '%1'").arg(text);
}

QString seedError(const QString& value)
{
    return QStringLiteral("--seed must be a whole number from 0 to 18446744073709551615, not '%1'")
        .arg(value);
}

QString faultUnitsProblem(const QList<FaultRule>& faults, const QList<FleetUnit>& fleet)
{
    QList<quint32> addresses;
    for (const FleetUnit& member : fleet)
        addresses << member.address.toIPv4Address();
    if (addresses.isEmpty())
        addresses << 0; // the single unit
    for (const FaultRule& rule : faults) {
        if (const QString problem = rule.unitsProblem(addresses); !problem.isEmpty())
            return QStringLiteral("--fault '%1': %2").arg(rule.text, problem);
    }
    return {};
}

void applyOnTop(SimulatorOptions& options)
{
    Scenario& scenario = *options.scenario;
    if (options.seed && scenario.seed && *options.seed != *scenario.seed)
        options.scenarioNotes << QStringLiteral("--seed %1 replaces the scenario's seed %2")
                                     .arg(*options.seed)
                                     .arg(*scenario.seed);
    if (!options.seed)
        options.seed = scenario.seed;
    if (options.timeScale) {
        const double value = *options.timeScale;
        if (scenario.timeScale != 1.0 && scenario.timeScale != value)
            options.scenarioNotes << QStringLiteral("--time-scale %1 replaces the scenario's time_scale %2")
                                         .arg(value)
                                         .arg(scenario.timeScale);
        scenario.timeScale = value;
    }
    if (options.profileGiven && !scenario.units.isEmpty()) {
        options.scenarioNotes << QStringLiteral(
                                     "--profile %1 replaces the profiles the scenario gives its units")
                                     .arg(options.profile);
        for (ScenarioUnitGroup& group : scenario.units) {
            group.profile = options.profile;
            group.cycle = false;
        }
    }
    options.fleet = scenario.fleetUnits();
}

} // namespace SimulatorOptionValues

std::optional<quint64> parseSeed(const QString& text)
{
    bool ok = false;
    const quint64 value = text.trimmed().toULongLong(&ok);
    if (!ok || text.trimmed().startsWith(QLatin1Char('+')) || text.trimmed().startsWith(QLatin1Char('-')))
        return std::nullopt;
    return value;
}
