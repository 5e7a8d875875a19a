#include "scenariofilesection.h"

#include "scenariofile.h"

#include "fleet/unitaddress.h"
#include "record/duration.h"
#include "record/unitprofiles.h"

#include <QJsonObject>
#include <QRegularExpression>

// The timeline section: events at their times, on units named by index or address.
namespace ScenarioFileSection {

ScenarioUnits ScenarioReader::eventUnits(const YAML::Node& node, const QString& path)
{
    const int count = m_scenario.unitCount();
    const QString text =
        scalar(node, path, QStringLiteral("unit indexes FIRST-LAST, an index or an address"));
    ScenarioUnits units;
    units.text = text;
    static const QRegularExpression range(QStringLiteral("^(\\d{1,6})(?:-(\\d{1,6}))?$"));
    if (const QRegularExpressionMatch match = range.match(text); match.hasMatch()) {
        units.first = match.captured(1).toInt();
        units.last = match.captured(2).isEmpty() ? units.first : match.captured(2).toInt();
        if (units.last < units.first)
            refuse(node, path, QStringLiteral("'%1' runs backwards").arg(text));
        if (units.last >= count)
            refuse(node, path,
                   QStringLiteral("'%1' is outside the units: there %2 (indexes 0 to %3)")
                       .arg(text, count == 1 ? QStringLiteral("is 1 unit")
                                             : QStringLiteral("are %1 units").arg(count))
                       .arg(count - 1));
        return units;
    }
    const std::optional<QHostAddress> parsed = parseUnitAddress(text);
    if (!parsed)
        refuse(node, path,
               QStringLiteral("must be unit indexes FIRST-LAST, an index or an address, not '%1'").arg(text));
    if (m_scenario.units.isEmpty())
        refuse(node, path,
               QStringLiteral("%1: the single unit listens on every address; name it as 0").arg(text));
    const qsizetype index = m_addresses.indexOf(parsed->toIPv4Address());
    if (index < 0)
        refuse(node, path, QStringLiteral("%1 is outside the units: no unit has that address").arg(text));
    units.first = units.last = int(index);
    return units;
}

void ScenarioReader::readTimeline(const YAML::Node& timeline)
{
    if (timeline.IsNull())
        return;
    if (!timeline.IsSequence())
        refuse(timeline, QStringLiteral("timeline"),
               QStringLiteral("must be a list of events, not %1").arg(shown(timeline)));
    if (qsizetype(timeline.size()) > ScenarioFile::kMaxEvents)
        refuse(
            timeline, QStringLiteral("timeline"),
            QStringLiteral("holds %1 events; at most %2").arg(timeline.size()).arg(ScenarioFile::kMaxEvents));
    for (std::size_t k = 0; k < timeline.size(); ++k)
        m_scenario.timeline << readEvent(timeline[k], QStringLiteral("timeline[%1]").arg(k));
}

ScenarioEvent ScenarioReader::readEvent(const YAML::Node& node, const QString& path)
{
    checkKeys(node, path, {"at", "units", "offline", "reboot", "fault", "profile", "channels"},
              QStringLiteral("an event: at, units and one of offline, reboot, fault, profile, channels"));
    ScenarioEvent event;
    if (!node["at"])
        refuse(node, path, QStringLiteral("needs at, the time it happens (such as 10s)"));
    event.atMs = duration(node["at"], path + QStringLiteral(".at"));
    if (m_scenario.endMs && event.atMs > *m_scenario.endMs)
        refuse(node["at"], path + QStringLiteral(".at"),
               QStringLiteral("%1 is after the end (%2)")
                   .arg(scenarioDurationText(event.atMs), scenarioDurationText(*m_scenario.endMs)));
    if (const YAML::Node units = node["units"])
        event.units = eventUnits(units, path + QStringLiteral(".units"));
    const char* kinds[] = {"offline", "reboot", "fault", "profile", "channels"};
    const char* kind = nullptr;
    for (const char* name : kinds) {
        if (!node[name])
            continue;
        if (kind)
            refuse(
                node[name], path + QLatin1Char('.') + QLatin1String(name),
                QStringLiteral("the event is %1 already; one event does one thing").arg(QLatin1String(kind)));
        kind = name;
    }
    if (!kind)
        refuse(node, path, QStringLiteral("needs one of offline, reboot, fault, profile, channels"));
    const QString where = path + QLatin1Char('.') + QLatin1String(kind);
    const YAML::Node body = node[kind];
    const auto lasting = [&](std::initializer_list<const char*> keys, const QString& what) {
        if (body.IsNull())
            return;
        checkKeys(body, where, keys, what);
        if (const YAML::Node span = body["for"])
            event.forMs = positiveDuration(span, where + QStringLiteral(".for"));
    };
    if (qstrcmp(kind, "offline") == 0) {
        event.kind = ScenarioEvent::Kind::Offline;
        lasting({"for"}, QStringLiteral("a mapping with for"));
    } else if (qstrcmp(kind, "reboot") == 0) {
        event.kind = ScenarioEvent::Kind::Reboot;
        event.forMs = ScenarioEvent::kDefaultRebootMs;
        lasting({"for"}, QStringLiteral("a mapping with for"));
    } else if (qstrcmp(kind, "fault") == 0) {
        event.kind = ScenarioEvent::Kind::Fault;
        if (body.IsNull() || (body.IsMap() && !body["rule"]))
            refuse(body, where, QStringLiteral("needs rule, such as {rule: \"drop,chance=0.1\"}"));
        lasting({"rule", "for"}, QStringLiteral("a mapping with rule and for"));
        event.rule = rule(body["rule"], where + QStringLiteral(".rule"), m_addresses);
    } else if (qstrcmp(kind, "profile") == 0) {
        event.kind = ScenarioEvent::Kind::Profile;
        event.profile = int(wholeNumber(body, where, 0, kProfileCount - 1));
    } else {
        event.kind = ScenarioEvent::Kind::Channels;
        event.channels = channels(body, where);
    }
    return event;
}

void emitTimeline(YAML::Emitter& out, const Scenario& scenario)
{
    if (!scenario.timeline.isEmpty()) {
        out << YAML::Key << "timeline" << YAML::Value << YAML::BeginSeq;
        for (const ScenarioEvent& event : scenario.timeline) {
            out << YAML::Flow << YAML::BeginMap;
            out << YAML::Key << "at" << YAML::Value;
            emitDuration(out, event.atMs);
            if (!event.units.isAll())
                out << YAML::Key << "units" << YAML::Value << event.units.text.toStdString();
            out << YAML::Key << ScenarioEvent::kindName(event.kind) << YAML::Value;
            switch (event.kind) {
            case ScenarioEvent::Kind::Offline:
            case ScenarioEvent::Kind::Reboot:
                out << YAML::BeginMap;
                if (event.forMs > 0) {
                    out << YAML::Key << "for" << YAML::Value;
                    emitDuration(out, event.forMs);
                }
                out << YAML::EndMap;
                break;
            case ScenarioEvent::Kind::Fault:
                out << YAML::BeginMap << YAML::Key << "rule" << YAML::Value << YAML::DoubleQuoted
                    << event.rule.text.toStdString();
                if (event.forMs > 0) {
                    out << YAML::Key << "for" << YAML::Value;
                    emitDuration(out, event.forMs);
                }
                out << YAML::EndMap;
                break;
            case ScenarioEvent::Kind::Profile:
                out << event.profile;
                break;
            case ScenarioEvent::Kind::Channels:
                emitChannels(out, event.channels);
                break;
            }
            out << YAML::EndMap;
        }
        out << YAML::EndSeq;
    }
}

QJsonArray timelineJson(const Scenario& scenario)
{
    QJsonArray timeline;
    for (const ScenarioEvent& event : scenario.timeline) {
        QJsonObject item{{QStringLiteral("at"), durationText(event.atMs)}};
        if (!event.units.isAll())
            item.insert(QStringLiteral("units"), event.units.text);
        QJsonObject body;
        if (event.forMs > 0)
            body.insert(QStringLiteral("for"), durationText(event.forMs));
        const QString kind = QLatin1String(ScenarioEvent::kindName(event.kind));
        switch (event.kind) {
        case ScenarioEvent::Kind::Offline:
        case ScenarioEvent::Kind::Reboot:
            item.insert(kind, body);
            break;
        case ScenarioEvent::Kind::Fault:
            body.insert(QStringLiteral("rule"), event.rule.text);
            item.insert(kind, body);
            break;
        case ScenarioEvent::Kind::Profile:
            item.insert(kind, event.profile);
            break;
        case ScenarioEvent::Kind::Channels:
            item.insert(kind, channelsJson(event.channels));
            break;
        }
        timeline.append(item);
    }
    return timeline;
}

} // namespace ScenarioFileSection
