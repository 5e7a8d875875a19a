#include "scenariofilesection.h"

#include "scenariofile.h"

#include "fleet/unitaddress.h"
#include "record/unitprofiles.h"
#include "recording/recordingcache.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonObject>

#include <algorithm>

// The units section: groups of units, single units, proxies and recorded units.
namespace ScenarioFileSection {

void ScenarioReader::readUnits(const YAML::Node& units)
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
            group.count = int(wholeNumber(node["count"], path + QStringLiteral(".count"), 1, kMaxFleetUnits));
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
                refuse(profile, path + QStringLiteral(".profile"),
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
                refuse(real, path + QStringLiteral(".proxy"),
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
std::shared_ptr<const RecordedUnit> ScenarioReader::recording(const YAML::Node& node, const QString& path)
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
    std::shared_ptr<const RecordedUnit> unit = RecordingCache::read(absolute, &m_recordingBytesRead, &error);
    if (!unit)
        refuse(node, path, QStringLiteral("%1: %2").arg(absolute, error));
    m_recordings.insert(absolute, unit);
    return unit;
}

void emitUnits(YAML::Emitter& out, const Scenario& scenario, const QString& baseDir)
{
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
}

QJsonArray unitsJson(const Scenario& scenario)
{
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
    return units;
}

} // namespace ScenarioFileSection
