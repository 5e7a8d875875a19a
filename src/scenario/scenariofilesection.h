#pragma once
// Of the scenario file's sections, for their own files only: the reader they share, the checks
// every section's values go through, and the writing of the forms they have in common. Each
// section (units, timeline, expect and explore) keeps its reading, YAML and JSON in a file of
// its own, so that a new key touches one file.

#include "scenario.h"

#include "unit/recordedunit.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <yaml-cpp/yaml.h>

#include <initializer_list>
#include <memory>

namespace ScenarioFileSection {

// Thrown inside the reader, caught once at its top: the first fault found ends reading.
struct Refusal {
    YAML::Mark mark;
    QString message;
};

[[noreturn]] void refuse(const YAML::Node& node, const QString& path, const QString& what);
QString scalarOf(const YAML::Node& node);
// What a node is, for messages: "a list", "a mapping", "'abc'".
QString shown(const YAML::Node& node);
QString scalar(const YAML::Node& node, const QString& path, const QString& expected);
qint64 wholeNumber(const YAML::Node& node, const QString& path, qint64 low, qint64 high);
// Checks that `node` is a mapping with only `allowed` keys, each once.
void checkKeys(const YAML::Node& node, const QString& path, std::initializer_list<const char*> allowed,
               const QString& what);
qint64 duration(const YAML::Node& node, const QString& path);
qint64 positiveDuration(const YAML::Node& node, const QString& path);
quint32 address(const YAML::Node& node, const QString& path);
ChannelValues24 channels(const YAML::Node& node, const QString& path);
FaultRule rule(const YAML::Node& node, const QString& path, const QList<quint32>& addresses);
// A YAML value as JSON: plain scalars that read as numbers become numbers, quoted ones stay text.
QJsonValue jsonOf(const YAML::Node& node);

void emitDuration(YAML::Emitter& out, qint64 ms);
void emitChannels(YAML::Emitter& out, const ChannelValues24& values);
// JSON as YAML that reads back as the same JSON: text that would read as a number quoted.
void emitJson(YAML::Emitter& out, const QJsonValue& value);
QJsonArray channelsJson(const ChannelValues24& values);

// One reading of one document; each section's part is defined beside its writing.
class ScenarioReader {
public:
    explicit ScenarioReader(const QString& baseDir)
        : m_baseDir(baseDir)
    {
    }

    Scenario read(const YAML::Node& root);

private:
    // scenariofileunits.cpp
    void readUnits(const YAML::Node& units);
    std::shared_ptr<const RecordedUnit> recording(const YAML::Node& node, const QString& path);
    // scenariofiletimeline.cpp
    ScenarioUnits eventUnits(const YAML::Node& node, const QString& path);
    void readTimeline(const YAML::Node& timeline);
    ScenarioEvent readEvent(const YAML::Node& node, const QString& path);
    // scenariofilechecks.cpp
    void readExpectations(const YAML::Node& expect);
    void readExplore(const YAML::Node& explore);

    QString m_baseDir;
    QHash<QString, std::shared_ptr<const RecordedUnit>> m_recordings;
    qint64 m_recordingBytesRead = 0;
    Scenario m_scenario;
    QList<quint32> m_addresses;
};

// Each section as YAML (a key and its value in an open map) and as JSON.
void emitUnits(YAML::Emitter& out, const Scenario& scenario, const QString& baseDir);
QJsonArray unitsJson(const Scenario& scenario);
void emitTimeline(YAML::Emitter& out, const Scenario& scenario);
QJsonArray timelineJson(const Scenario& scenario);
void emitExplore(YAML::Emitter& out, const Scenario& scenario);
void emitExpectations(YAML::Emitter& out, const Scenario& scenario);
QJsonArray expectationsJson(const Scenario& scenario);

} // namespace ScenarioFileSection
