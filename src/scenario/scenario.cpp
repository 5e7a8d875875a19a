#include "scenario.h"

#include "record/unitprofiles.h"

const char* ScenarioEvent::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Offline:
        return "offline";
    case Kind::Reboot:
        return "reboot";
    case Kind::Fault:
        return "fault";
    case Kind::Profile:
        return "profile";
    case Kind::Channels:
        return "channels";
    }
    return "";
}

QList<FleetUnit> Scenario::fleetUnits() const
{
    QList<FleetUnit> fleet;
    for (const ScenarioUnitGroup& group : units) {
        for (int k = 0; k < group.count; ++k)
            fleet.append({QHostAddress(group.first + quint32(k)),
                          group.cycle ? k % kProfileCount : group.profile,
                          group.proxy ? QHostAddress(group.proxy) : QHostAddress(), group.profileGiven,
                          group.recording});
    }
    return fleet;
}

int Scenario::unitCount() const
{
    int count = 0;
    for (const ScenarioUnitGroup& group : units)
        count += group.count;
    return std::max(count, 1);
}

std::optional<ChannelValues24> Scenario::startChannels(int index) const
{
    for (const ScenarioUnitGroup& group : units) {
        if (index < group.count)
            return group.channels;
        index -= group.count;
    }
    return std::nullopt;
}

namespace {
QString addressOfUnit(const Scenario& scenario, int index)
{
    for (const ScenarioUnitGroup& group : scenario.units) {
        if (index < group.count)
            return QHostAddress(group.first + quint32(index)).toString();
        index -= group.count;
    }
    return QString::number(index);
}
} // namespace

QString Scenario::unitsText(const ScenarioUnits& which) const
{
    if (units.isEmpty())
        return QStringLiteral("the unit");
    const int count = unitCount();
    if (which.isAll() || (which.first == 0 && which.last >= count - 1))
        return count == 1 ? addressOfUnit(*this, 0) : QStringLiteral("all %1 units").arg(count);
    if (which.first == which.last)
        return addressOfUnit(*this, which.first);
    return QStringLiteral("units %1-%2 (%3 to %4)")
        .arg(which.first)
        .arg(which.last)
        .arg(addressOfUnit(*this, which.first), addressOfUnit(*this, which.last));
}

QString scenarioDurationText(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'g', 15) + QStringLiteral(" s");
}

QString Scenario::eventText(const ScenarioEvent& event) const
{
    const QString who = unitsText(event.units);
    const QString lasting =
        event.forMs > 0 ? QStringLiteral(" for ") + scenarioDurationText(event.forMs) : QString();
    switch (event.kind) {
    case ScenarioEvent::Kind::Offline:
        return QStringLiteral("offline %1%2")
            .arg(who, event.forMs > 0 ? lasting : QStringLiteral(" until stopped"));
    case ScenarioEvent::Kind::Reboot:
        return QStringLiteral("reboot %1%2").arg(who, lasting);
    case ScenarioEvent::Kind::Fault:
        return QStringLiteral("fault \"%1\" on %2%3").arg(event.rule.text, who, lasting);
    case ScenarioEvent::Kind::Profile:
        return QStringLiteral("profile %1 on %2").arg(event.profile).arg(who);
    case ScenarioEvent::Kind::Channels: {
        QStringList values;
        for (const quint8 value : event.channels)
            values << QString::number(value);
        return QStringLiteral("channels %1 on %2").arg(values.join(QLatin1Char(' ')), who);
    }
    }
    return {};
}
