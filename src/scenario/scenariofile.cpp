#include "scenariofile.h"

#include "yamlaliases.h"

#include "fault/duration.h"
#include "fleet/unitaddress.h"
#include "recording/recordingcache.h"
#include "unit/unitprofiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSaveFile>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <sstream>

QString ScenarioError::text(const QString& source) const
{
    if (line <= 0)
        return source + QStringLiteral(": ") + message;
    return QStringLiteral("%1:%2:%3: %4").arg(source).arg(line).arg(column).arg(message);
}

namespace {
// Thrown inside the reader, caught once at its top: the first fault found ends reading.
struct Refusal {
    YAML::Mark mark;
    QString message;
};

[[noreturn]] void refuse(const YAML::Node& node, const QString& path, const QString& what)
{
    throw Refusal{node.Mark(), path.isEmpty() ? what : path + QStringLiteral(": ") + what};
}

QString scalarOf(const YAML::Node& node)
{
    return QString::fromStdString(node.Scalar());
}

// What a node is, for messages: "a list", "a mapping", "'abc'".
QString shown(const YAML::Node& node)
{
    if (node.IsSequence())
        return QStringLiteral("a list");
    if (node.IsMap())
        return QStringLiteral("a mapping");
    if (node.IsNull())
        return QStringLiteral("nothing");
    return QLatin1Char('\'') + scalarOf(node) + QLatin1Char('\'');
}

QString scalar(const YAML::Node& node, const QString& path, const QString& expected)
{
    if (!node.IsScalar())
        refuse(node, path, QStringLiteral("must be %1, not %2").arg(expected, shown(node)));
    return scalarOf(node);
}

qint64 wholeNumber(const YAML::Node& node, const QString& path, qint64 low, qint64 high)
{
    const QString expected = QStringLiteral("a whole number from %1 to %2").arg(low).arg(high);
    const QString text = scalar(node, path, expected);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < low || value > high)
        refuse(node, path, QStringLiteral("must be %1, not '%2'").arg(expected, text));
    return value;
}

// Checks that `node` is a mapping with only `allowed` keys, each once; returns its keys' nodes.
void checkKeys(const YAML::Node& node, const QString& path, std::initializer_list<const char*> allowed,
               const QString& what)
{
    if (!node.IsMap())
        refuse(node, path, QStringLiteral("must be %1, not %2").arg(what, shown(node)));
    QStringList seen;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const QString key = it->first.IsScalar() ? scalarOf(it->first) : QString();
        const QString where = path.isEmpty() ? key : path + QLatin1Char('.') + key;
        if (!std::any_of(allowed.begin(), allowed.end(),
                         [&](const char* name) { return key == QLatin1String(name); })) {
            QStringList names;
            for (const char* name : allowed)
                names << QString::fromLatin1(name);
            refuse(it->first, where,
                   QStringLiteral("unknown key; %1 takes %2")
                       .arg(path.isEmpty() ? QStringLiteral("the top level") : path,
                            names.join(QStringLiteral(", "))));
        }
        if (seen.contains(key))
            refuse(it->first, where, QStringLiteral("given twice"));
        seen << key;
    }
}

qint64 duration(const YAML::Node& node, const QString& path)
{
    const QString text = scalar(node, path, QStringLiteral("a duration such as 250ms, 10s or 2m"));
    if (text.trimmed().startsWith(QLatin1Char('-')))
        refuse(node, path, QStringLiteral("must not be before 0, not '%1'").arg(text));
    const std::optional<qint64> ms = parseDuration(text);
    if (!ms)
        refuse(node, path,
               QStringLiteral("must be a duration such as 250ms, 10s or 2m (at most 30 days), not '%1'")
                   .arg(text));
    return *ms;
}

qint64 positiveDuration(const YAML::Node& node, const QString& path)
{
    const qint64 ms = duration(node, path);
    if (ms == 0)
        refuse(node, path, QStringLiteral("must be more than 0"));
    return ms;
}

quint32 address(const YAML::Node& node, const QString& path)
{
    const QString text = scalar(node, path, QStringLiteral("an IPv4 address"));
    const std::optional<QHostAddress> parsed = parseUnitAddress(text);
    if (!parsed)
        refuse(node, path, QStringLiteral("must be an IPv4 address such as 127.0.1.1, not '%1'").arg(text));
    return parsed->toIPv4Address();
}

ChannelValues24 channels(const YAML::Node& node, const QString& path)
{
    if (!node.IsSequence() || node.size() != 24)
        refuse(node, path,
               QStringLiteral("must be a list of 24 values from 0 to 255 (channels 2 to 25), not %1")
                   .arg(node.IsSequence() ? QStringLiteral("%1 values").arg(node.size()) : shown(node)));
    ChannelValues24 values{};
    for (std::size_t k = 0; k < 24; ++k)
        values[k] = quint8(wholeNumber(node[k], QStringLiteral("%1[%2]").arg(path).arg(k), 0, 255));
    return values;
}

FaultRule rule(const YAML::Node& node, const QString& path, const QList<quint32>& addresses)
{
    const QString text = scalar(node, path, QStringLiteral("a fault rule such as \"drop,chance=0.1\""));
    QString error;
    const std::optional<FaultRule> parsed = FaultRule::parse(text, &error);
    if (!parsed)
        refuse(node, path, QStringLiteral("'%1': %2").arg(text, error));
    if (const QString problem = parsed->unitsProblem(addresses); !problem.isEmpty())
        refuse(node, path, QStringLiteral("'%1': %2").arg(text, problem));
    return *parsed;
}

class Reader {
public:
    explicit Reader(const QString& baseDir)
        : m_baseDir(baseDir)
    {
    }

    Scenario read(const YAML::Node& root)
    {
        if (root.IsNull())
            refuse(root, {}, QStringLiteral("the scenario is empty; it needs at least \"version: 1\""));
        checkKeys(root, {},
                  {"version", "name", "seed", "time_scale", "units", "faults", "timeline", "end", "expect",
                   "explore"},
                  QStringLiteral(
                      "a mapping of version, name, seed, time_scale, units, faults, timeline, end, expect "
                      "and explore"));
        if (!root["version"])
            refuse(root, {}, QStringLiteral("version is missing; this program reads \"version: 1\""));
        if (scalar(root["version"], QStringLiteral("version"), QStringLiteral("1")) != QLatin1String("1"))
            refuse(root["version"], QStringLiteral("version"),
                   QStringLiteral("this program reads version 1, not '%1'").arg(scalarOf(root["version"])));
        if (const YAML::Node name = root["name"])
            m_scenario.name = scalar(name, QStringLiteral("name"), QStringLiteral("a text"));
        if (const YAML::Node seed = root["seed"]) {
            const QString text = scalar(seed, QStringLiteral("seed"), QStringLiteral("a whole number"));
            bool ok = false;
            const quint64 value = text.toULongLong(&ok);
            if (!ok || text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-')))
                refuse(seed, QStringLiteral("seed"),
                       QStringLiteral("must be a whole number from 0 to 18446744073709551615, not '%1'")
                           .arg(text));
            m_scenario.seed = value;
        }
        if (const YAML::Node scale = root["time_scale"]) {
            const QString text = scalar(scale, QStringLiteral("time_scale"), QStringLiteral("a number"));
            bool ok = false;
            const double value = text.toDouble(&ok);
            if (!ok || !std::isfinite(value) || value < Scenario::kMinTimeScale ||
                value > Scenario::kMaxTimeScale)
                refuse(scale, QStringLiteral("time_scale"),
                       QStringLiteral("must be a number from 0.01 to 1000, not '%1'").arg(text));
            m_scenario.timeScale = value;
        }
        if (const YAML::Node units = root["units"])
            readUnits(units);
        for (const FleetUnit& unit : m_scenario.fleetUnits())
            m_addresses << unit.address.toIPv4Address();
        if (m_addresses.isEmpty())
            m_addresses << 0; // the single unit
        if (const YAML::Node faults = root["faults"]) {
            if (!faults.IsSequence() && !faults.IsNull())
                refuse(faults, QStringLiteral("faults"),
                       QStringLiteral("must be a list of fault rules, not %1").arg(shown(faults)));
            for (std::size_t k = 0; k < faults.size(); ++k)
                m_scenario.faults << rule(faults[k], QStringLiteral("faults[%1]").arg(k), m_addresses);
        }
        if (const YAML::Node end = root["end"])
            m_scenario.endMs = positiveDuration(end, QStringLiteral("end"));
        if (const YAML::Node timeline = root["timeline"])
            readTimeline(timeline);
        if (const YAML::Node expect = root["expect"])
            readExpectations(expect);
        if (const YAML::Node explore = root["explore"]) {
            QString problem;
            m_scenario.explore =
                ExploreSpace::fromJson(jsonOf(explore), m_scenario.unitCount(), m_scenario.endMs, &problem);
            if (!m_scenario.explore)
                refuse(explore, QStringLiteral("explore"), problem);
        }
        return m_scenario;
    }

private:
    void readUnits(const YAML::Node& units)
    {
        if (units.IsNull())
            return;
        if (!units.IsSequence())
            refuse(units, QStringLiteral("units"),
                   QStringLiteral("must be a list of groups, not %1").arg(shown(units)));
        struct Range {
            quint32 first;
            quint32 last;
            std::size_t group;
        };
        std::vector<Range> ranges;
        qint64 total = 0;
        for (std::size_t k = 0; k < units.size(); ++k) {
            const YAML::Node node = units[k];
            const QString path = QStringLiteral("units[%1]").arg(k);
            checkKeys(node, path, {"count", "first", "address", "profile", "channels", "proxy", "recording"},
                      QStringLiteral("a group: count and first, or address, with profile or recording, and "
                                     "channels; or address and proxy"));
            ScenarioUnitGroup group;
            if (node["address"]) {
                if (node["count"] || node["first"])
                    refuse(node, path,
                           QStringLiteral("has address and count or first; a group is one or the other"));
                group.first = address(node["address"], path + QStringLiteral(".address"));
                group.single = true;
            } else {
                if (!node["count"] || !node["first"])
                    refuse(node, path, QStringLiteral("needs count and first, or address"));
                group.count =
                    int(wholeNumber(node["count"], path + QStringLiteral(".count"), 1, kMaxFleetUnits));
                group.first = address(node["first"], path + QStringLiteral(".first"));
                if (quint64(group.first) + quint64(group.count) - 1 > 0xffffffffull)
                    refuse(node["count"], path + QStringLiteral(".count"),
                           QStringLiteral("%1 addresses from %2 run past 255.255.255.255")
                               .arg(group.count)
                               .arg(QHostAddress(group.first).toString()));
            }
            const quint32 last = group.first + quint32(group.count - 1);
            if (const QString problem = unitAddressProblem(group.first, last); !problem.isEmpty())
                refuse(node, path, problem);
            if (const YAML::Node profile = node["profile"]) {
                if (profile.IsScalar() && scalarOf(profile) == QLatin1String("cycle"))
                    group.cycle = true;
                else if (!profile.IsScalar())
                    refuse(
                        profile, path + QStringLiteral(".profile"),
                        QStringLiteral("must be a profile from 0 to 8 or cycle, not %1").arg(shown(profile)));
                else
                    group.profile =
                        int(wholeNumber(profile, path + QStringLiteral(".profile"), 0, kProfileCount - 1));
            }
            if (const YAML::Node values = node["channels"])
                group.channels = channels(values, path + QStringLiteral(".channels"));
            if (const YAML::Node real = node["proxy"]) {
                // One proxy unit in front of one real unit, whose channels are its own.
                if (!group.single)
                    refuse(
                        real, path + QStringLiteral(".proxy"),
                        QStringLiteral("goes with address: a proxy unit stands in front of one real unit"));
                if (group.channels || group.cycle)
                    refuse(real, path + QStringLiteral(".proxy"),
                           QStringLiteral("takes no channels and no cycle: they are the real unit's"));
                group.proxy = address(real, path + QStringLiteral(".proxy"));
                if (group.proxy == group.first)
                    refuse(real, path + QStringLiteral(".proxy"),
                           QStringLiteral("must be the address of another unit, not %1")
                               .arg(QHostAddress(group.proxy).toString()));
                // Passed on to many, each reply would come back to every controller.
                if (const QString problem = unitAddressProblem(group.proxy, group.proxy); !problem.isEmpty())
                    refuse(real, path + QStringLiteral(".proxy"),
                           QStringLiteral("must be the address of one real unit: ") + problem);
                group.profileGiven = bool(node["profile"]);
            }
            if (const YAML::Node file = node["recording"]) {
                if (node["profile"] || node["proxy"])
                    refuse(file, path + QStringLiteral(".recording"),
                           QStringLiteral("takes no profile and no proxy: the recorded unit is what it was"));
                group.recording = recording(file, path + QStringLiteral(".recording"));
                group.profile = group.recording->profile;
            }
            total += group.count;
            if (total > kMaxFleetUnits)
                refuse(node, path, QStringLiteral("a scenario has at most %1 units").arg(kMaxFleetUnits));
            for (const Range& other : ranges) {
                if (group.first <= other.last && last >= other.first)
                    refuse(node, path,
                           QStringLiteral("overlaps units[%1]: %2 is in both")
                               .arg(other.group)
                               .arg(QHostAddress(std::max(group.first, other.first)).toString()));
            }
            ranges.push_back({group.first, last, k});
            m_scenario.units << group;
        }
        if (const QString ring = proxyRing(m_scenario.fleetUnits()); !ring.isEmpty())
            refuse(units, QStringLiteral("units"),
                   QStringLiteral("these proxies would pass every request round for ever: %1").arg(ring));
    }

    // The unit a recording shows, read once however many groups name it.
    std::shared_ptr<const RecordedUnit> recording(const YAML::Node& node, const QString& path)
    {
        const QString written = scalar(node, path, QStringLiteral("the path of a pcap file"));
        if (written.isEmpty())
            refuse(node, path, QStringLiteral("must be the path of a pcap file, not nothing"));
        const QFileInfo file(m_baseDir.isEmpty() ? QDir::current() : QDir(m_baseDir), written);
        // Known by where it really is: one file named many ways is read once.
        const QString absolute = file.exists() ? file.canonicalFilePath() : file.absoluteFilePath();
        if (const auto known = m_recordings.constFind(absolute); known != m_recordings.cend())
            return *known;
        // Nothing but a regular file is opened: a fifo or a device would stall the reader.
        if (!file.exists())
            refuse(node, path, QStringLiteral("%1: no such file").arg(absolute));
        if (!file.isFile())
            refuse(node, path, QStringLiteral("%1: not a regular file").arg(absolute));
        if (file.size() > ScenarioFile::kMaxRecordingBytes)
            refuse(node, path,
                   QStringLiteral("%1: %2 bytes; a recording holds at most %3")
                       .arg(absolute)
                       .arg(file.size())
                       .arg(ScenarioFile::kMaxRecordingBytes));
        if (m_recordingBytesRead + file.size() > ScenarioFile::kMaxRecordingBytesRead)
            refuse(node, path,
                   QStringLiteral("%1: the recordings one scenario reads hold at most %2 bytes in all")
                       .arg(absolute)
                       .arg(ScenarioFile::kMaxRecordingBytesRead));
        QString error;
        std::shared_ptr<const RecordedUnit> unit =
            RecordingCache::read(absolute, &m_recordingBytesRead, &error);
        if (!unit)
            refuse(node, path, QStringLiteral("%1: %2").arg(absolute, error));
        m_recordings.insert(absolute, unit);
        return unit;
    }

    ScenarioUnits eventUnits(const YAML::Node& node, const QString& path)
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
                   QStringLiteral("must be unit indexes FIRST-LAST, an index or an address, not '%1'")
                       .arg(text));
        if (m_scenario.units.isEmpty())
            refuse(node, path,
                   QStringLiteral("%1: the single unit listens on every address; name it as 0").arg(text));
        const qsizetype index = m_addresses.indexOf(parsed->toIPv4Address());
        if (index < 0)
            refuse(node, path, QStringLiteral("%1 is outside the units: no unit has that address").arg(text));
        units.first = units.last = int(index);
        return units;
    }

    void readTimeline(const YAML::Node& timeline)
    {
        if (timeline.IsNull())
            return;
        if (!timeline.IsSequence())
            refuse(timeline, QStringLiteral("timeline"),
                   QStringLiteral("must be a list of events, not %1").arg(shown(timeline)));
        if (qsizetype(timeline.size()) > ScenarioFile::kMaxEvents)
            refuse(timeline, QStringLiteral("timeline"),
                   QStringLiteral("holds %1 events; at most %2")
                       .arg(timeline.size())
                       .arg(ScenarioFile::kMaxEvents));
        for (std::size_t k = 0; k < timeline.size(); ++k)
            m_scenario.timeline << readEvent(timeline[k], QStringLiteral("timeline[%1]").arg(k));
    }

    void readExpectations(const YAML::Node& expect)
    {
        if (expect.IsNull())
            return;
        if (!expect.IsSequence())
            refuse(expect, QStringLiteral("expect"),
                   QStringLiteral("must be a list of expectations, not %1").arg(shown(expect)));
        QStringList names;
        for (std::size_t k = 0; k < expect.size(); ++k) {
            const YAML::Node node = expect[k];
            const QString path = QStringLiteral("expect[%1]").arg(k);
            QStringList checks;
            for (int c = 0; c < Expectation::kCheckCount; ++c)
                checks << QLatin1String(Expectation::checkName(Expectation::Check(c)));
            const QString what = QStringLiteral("an expectation: name and one of ") + checks.join(u", ");
            if (!node.IsMap())
                refuse(node, path, QStringLiteral("must be %1, not %2").arg(what, shown(node)));
            QString name;
            // Copies of a node share it; assigning to one would change the document.
            std::optional<YAML::Node> checkKey;
            std::optional<YAML::Node> checkValue;
            for (auto it = node.begin(); it != node.end(); ++it) {
                const QString key = it->first.IsScalar() ? scalarOf(it->first) : QString();
                if (key == u"name") {
                    if (!name.isEmpty())
                        refuse(it->first, path + QStringLiteral(".name"), QStringLiteral("given twice"));
                    name = scalar(it->second, path + QStringLiteral(".name"), QStringLiteral("a text"))
                               .trimmed();
                    if (name.isEmpty())
                        refuse(it->second, path + QStringLiteral(".name"),
                               QStringLiteral("must not be empty"));
                    continue;
                }
                if (!checks.contains(key))
                    refuse(it->first, path + u'.' + key,
                           QStringLiteral("unknown key; %1 takes %2").arg(path, what));
                if (checkKey)
                    refuse(it->first, path + u'.' + key,
                           QStringLiteral("the expectation is %1 already; one expectation checks one thing")
                               .arg(scalarOf(*checkKey)));
                checkKey.emplace(it->first);
                checkValue.emplace(it->second);
            }
            if (name.isEmpty())
                refuse(node, path, QStringLiteral("needs a name, for the report"));
            if (!checkKey)
                refuse(node, path, QStringLiteral("needs one of ") + checks.join(u", "));
            if (names.contains(name))
                refuse(node, path + QStringLiteral(".name"),
                       QStringLiteral("'%1' names an expectation before it already").arg(name));
            names << name;
            const QString key = scalarOf(*checkKey);
            QString problem;
            std::optional<Expectation> expectation =
                Expectation::fromJson(name, key, jsonOf(*checkValue), &problem);
            if (!expectation)
                refuse(*checkValue, path + u'.' + key, problem);
            m_scenario.expect << *expectation;
        }
    }

    // A YAML value as JSON: plain scalars that read as numbers become numbers, quoted ones stay text.
    static QJsonValue jsonOf(const YAML::Node& node)
    {
        if (node.IsMap()) {
            QJsonObject object;
            for (auto it = node.begin(); it != node.end(); ++it)
                object.insert(it->first.IsScalar() ? scalarOf(it->first) : QString(), jsonOf(it->second));
            return object;
        }
        if (node.IsSequence()) {
            QJsonArray array;
            for (const YAML::Node& item : node)
                array.append(jsonOf(item));
            return array;
        }
        if (!node.IsScalar())
            return QJsonValue::Null;
        const QString text = scalarOf(node);
        if (node.Tag() != "!") {
            bool ok = false;
            const double number = text.toDouble(&ok);
            if (ok && std::isfinite(number))
                return number;
            if (text == u"true" || text == u"false")
                return text == u"true";
        }
        return text;
    }

    ScenarioEvent readEvent(const YAML::Node& node, const QString& path)
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
                refuse(node[name], path + QLatin1Char('.') + QLatin1String(name),
                       QStringLiteral("the event is %1 already; one event does one thing")
                           .arg(QLatin1String(kind)));
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

    QString m_baseDir;
    QHash<QString, std::shared_ptr<const RecordedUnit>> m_recordings;
    qint64 m_recordingBytesRead = 0;
    Scenario m_scenario;
    QList<quint32> m_addresses;
};

// Where a document's first node is, and nothing else of it.
struct FirstMark : YAML::EventHandler {
    std::optional<YAML::Mark> mark;

    void note(const YAML::Mark& at)
    {
        if (!mark)
            mark = at;
    }
    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& at, YAML::anchor_t) override { note(at); }
    void OnAlias(const YAML::Mark& at, YAML::anchor_t) override { note(at); }
    void OnScalar(const YAML::Mark& at, const std::string&, YAML::anchor_t, const std::string&) override
    {
        note(at);
    }
    void OnSequenceStart(const YAML::Mark& at, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override
    {
        note(at);
    }
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark& at, const std::string&, YAML::anchor_t,
                    YAML::EmitterStyle::value) override
    {
        note(at);
    }
    void OnMapEnd() override {}
};

void emitDuration(YAML::Emitter& out, qint64 ms)
{
    out << durationText(ms).toStdString();
}

void emitChannels(YAML::Emitter& out, const ChannelValues24& values)
{
    out << YAML::Flow << YAML::BeginSeq;
    for (const quint8 value : values)
        out << int(value);
    out << YAML::EndSeq;
}

// JSON as YAML that reads back as the same JSON: text that would read as a number quoted.
void emitJson(YAML::Emitter& out, const QJsonValue& value)
{
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        out << YAML::BeginMap;
        for (auto it = object.begin(); it != object.end(); ++it) {
            out << YAML::Key << it.key().toStdString() << YAML::Value;
            emitJson(out, it.value());
        }
        out << YAML::EndMap;
    } else if (value.isArray()) {
        out << YAML::BeginSeq;
        for (const QJsonValue& item : value.toArray())
            emitJson(out, item);
        out << YAML::EndSeq;
    } else if (value.isDouble()) {
        out << QString::number(value.toDouble(), 'g', 17).toStdString();
    } else if (value.isBool()) {
        out << value.toBool();
    } else if (value.isNull()) {
        out << YAML::Null;
    } else {
        out << YAML::DoubleQuoted << value.toString().toStdString();
    }
}

QJsonArray channelsJson(const ChannelValues24& values)
{
    QJsonArray array;
    for (const quint8 value : values)
        array.append(int(value));
    return array;
}
} // namespace

namespace ScenarioFile {

std::optional<Scenario> parse(const QByteArray& text, ScenarioError* error, const QString& baseDir)
{
    try {
        const std::string source = text.toStdString();
        // Before anything reads the document: its aliases must not repeat it without bound.
        if (const std::optional<YamlAliases::Problem> aliases = YamlAliases::check(source)) {
            *error = {aliases->line, aliases->column, aliases->message};
            return std::nullopt;
        }
        // Not LoadAll(): on some broken text (a line that starts with a comma, say) it asks for
        // document after document, each empty, until memory runs out. One document is read, and
        // then whether a second one begins.
        const YAML::Node root = YAML::Load(source);
        std::istringstream stream(source);
        YAML::Parser parser(stream);
        FirstMark first;
        FirstMark second;
        if (parser.HandleNextDocument(first) && parser.HandleNextDocument(second)) {
            const YAML::Mark mark = second.mark.value_or(YAML::Mark::null_mark());
            *error = {
                mark.line + 1, mark.column + 1,
                QStringLiteral("more after the scenario: a second document, or text that is not YAML; a "
                               "scenario file holds one document")};
            return std::nullopt;
        }
        return Reader(baseDir).read(root);
    } catch (const Refusal& refusal) {
        // A node made up for a missing value has no place in the text.
        const bool placed = refusal.mark.line >= 0 && !(refusal.mark.line == 0 && refusal.mark.pos == 0 &&
                                                        refusal.mark.column == 0 && text.trimmed().isEmpty());
        *error = {placed ? refusal.mark.line + 1 : 0, placed ? refusal.mark.column + 1 : 0, refusal.message};
    } catch (const YAML::DeepRecursion& failure) {
        *error = {failure.mark.line + 1, failure.mark.column + 1,
                  QStringLiteral("nested more than %1 levels deep").arg(failure.depth())};
    } catch (const YAML::Exception& failure) {
        *error = {failure.mark.line + 1, failure.mark.column + 1,
                  QStringLiteral("not YAML: ") + QString::fromStdString(failure.msg)};
    }
    return std::nullopt;
}

std::optional<Scenario> load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (file.size() > kMaxBytes) {
        *error = QStringLiteral("%1: %2 bytes; a scenario file holds at most %3")
                     .arg(path)
                     .arg(file.size())
                     .arg(kMaxBytes);
        return std::nullopt;
    }
    ScenarioError problem;
    std::optional<Scenario> scenario = parse(file.readAll(), &problem, QFileInfo(path).absolutePath());
    if (!scenario)
        *error = problem.text(path);
    return scenario;
}

QByteArray toYaml(const Scenario& scenario, const QString& baseDir)
{
    YAML::Emitter out;
    out << YAML::BeginMap;
    out << YAML::Key << "version" << YAML::Value << Scenario::kVersion;
    if (!scenario.name.isEmpty())
        out << YAML::Key << "name" << YAML::Value << YAML::DoubleQuoted << scenario.name.toStdString();
    if (scenario.seed)
        out << YAML::Key << "seed" << YAML::Value << *scenario.seed;
    if (scenario.timeScale != 1.0)
        out << YAML::Key << "time_scale" << YAML::Value
            << QString::number(scenario.timeScale, 'g', 15).toStdString();
    if (!scenario.units.isEmpty()) {
        out << YAML::Key << "units" << YAML::Value << YAML::BeginSeq;
        for (const ScenarioUnitGroup& group : scenario.units) {
            out << YAML::Flow << YAML::BeginMap;
            if (group.single) {
                out << YAML::Key << "address" << YAML::Value
                    << QHostAddress(group.first).toString().toStdString();
            } else {
                out << YAML::Key << "count" << YAML::Value << group.count;
                out << YAML::Key << "first" << YAML::Value
                    << QHostAddress(group.first).toString().toStdString();
            }
            if (group.proxy)
                out << YAML::Key << "proxy" << YAML::Value
                    << QHostAddress(group.proxy).toString().toStdString();
            if (group.recording) {
                out << YAML::Key << "recording" << YAML::Value << YAML::DoubleQuoted
                    << (baseDir.isEmpty() ? group.recording->path
                                          : QDir(baseDir).relativeFilePath(group.recording->path))
                           .toStdString();
            } else if (group.profileGiven) {
                out << YAML::Key << "profile" << YAML::Value;
                if (group.cycle)
                    out << "cycle";
                else
                    out << group.profile;
            }
            if (group.channels) {
                out << YAML::Key << "channels" << YAML::Value;
                emitChannels(out, *group.channels);
            }
            out << YAML::EndMap;
        }
        out << YAML::EndSeq;
    }
    if (!scenario.faults.isEmpty()) {
        out << YAML::Key << "faults" << YAML::Value << YAML::BeginSeq;
        for (const FaultRule& rule : scenario.faults)
            out << YAML::DoubleQuoted << rule.text.toStdString();
        out << YAML::EndSeq;
    }
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
    if (scenario.endMs) {
        out << YAML::Key << "end" << YAML::Value;
        emitDuration(out, *scenario.endMs);
    }
    if (scenario.explore) {
        out << YAML::Key << "explore" << YAML::Value;
        emitJson(out, scenario.explore->value);
    }
    if (!scenario.expect.isEmpty()) {
        out << YAML::Key << "expect" << YAML::Value << YAML::BeginSeq;
        for (const Expectation& expectation : scenario.expect) {
            out << YAML::BeginMap << YAML::Key << "name" << YAML::Value << YAML::DoubleQuoted
                << expectation.name.toStdString();
            out << YAML::Key << Expectation::checkName(expectation.check) << YAML::Value << YAML::Flow;
            emitJson(out, expectation.value.isNull() ? QJsonValue(QJsonObject()) : expectation.value);
            out << YAML::EndMap;
        }
        out << YAML::EndSeq;
    }
    out << YAML::EndMap;
    return QByteArray(out.c_str()) + '\n';
}

QJsonObject toJson(const Scenario& scenario)
{
    QJsonObject object{{QStringLiteral("version"), Scenario::kVersion}};
    if (!scenario.name.isEmpty())
        object.insert(QStringLiteral("name"), scenario.name);
    // A seed may exceed what a JSON number holds exactly; as a string it is read back whole.
    if (scenario.seed)
        object.insert(QStringLiteral("seed"), QString::number(*scenario.seed));
    object.insert(QStringLiteral("time_scale"), scenario.timeScale);
    QJsonArray units;
    for (const ScenarioUnitGroup& group : scenario.units) {
        QJsonObject item;
        if (group.single) {
            item.insert(QStringLiteral("address"), QHostAddress(group.first).toString());
        } else {
            item.insert(QStringLiteral("count"), group.count);
            item.insert(QStringLiteral("first"), QHostAddress(group.first).toString());
        }
        if (group.proxy)
            item.insert(QStringLiteral("proxy"), QHostAddress(group.proxy).toString());
        if (group.recording)
            item.insert(QStringLiteral("recording"), group.recording->path);
        else if (group.profileGiven)
            item.insert(QStringLiteral("profile"),
                        group.cycle ? QJsonValue(QStringLiteral("cycle")) : QJsonValue(group.profile));
        if (group.channels)
            item.insert(QStringLiteral("channels"), channelsJson(*group.channels));
        units.append(item);
    }
    object.insert(QStringLiteral("units"), units);
    QJsonArray faults;
    for (const FaultRule& rule : scenario.faults)
        faults.append(rule.text);
    object.insert(QStringLiteral("faults"), faults);
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
    object.insert(QStringLiteral("timeline"), timeline);
    if (scenario.endMs)
        object.insert(QStringLiteral("end"), durationText(*scenario.endMs));
    QJsonArray expect;
    for (const Expectation& expectation : scenario.expect)
        expect.append(
            QJsonObject{{QStringLiteral("name"), expectation.name},
                        {QLatin1String(Expectation::checkName(expectation.check)),
                         expectation.value.isNull() ? QJsonValue(QJsonObject()) : expectation.value}});
    object.insert(QStringLiteral("expect"), expect);
    if (scenario.explore)
        object.insert(QStringLiteral("explore"), scenario.explore->value);
    return object;
}

bool save(const Scenario& scenario, const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(toYaml(scenario, QFileInfo(path).absolutePath())) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace ScenarioFile
