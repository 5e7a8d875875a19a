#include "scenariofile.h"

#include "scenariofilesection.h"
#include "yamlaliases.h"

#include "fleet/unitaddress.h"
#include "record/duration.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <sstream>

QString ScenarioError::text(const QString& source) const
{
    if (line <= 0)
        return source + QStringLiteral(": ") + message;
    return QStringLiteral("%1:%2:%3: %4").arg(source).arg(line).arg(column).arg(message);
}

using namespace ScenarioFileSection;

namespace {
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
} // namespace

Scenario ScenarioReader::read(const YAML::Node& root)
{
    if (root.IsNull())
        refuse(root, {}, QStringLiteral("the scenario is empty; it needs at least \"version: 1\""));
    checkKeys(
        root, {},
        {"version", "name", "seed", "time_scale", "units", "faults", "timeline", "end", "expect", "explore"},
        QStringLiteral("a mapping of version, name, seed, time_scale, units, faults, timeline, end, expect "
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
            refuse(
                seed, QStringLiteral("seed"),
                QStringLiteral("must be a whole number from 0 to 18446744073709551615, not '%1'").arg(text));
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
    if (const YAML::Node explore = root["explore"])
        readExplore(explore);
    return m_scenario;
}

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
        return ScenarioReader(baseDir).read(root);
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
    emitUnits(out, scenario, baseDir);
    if (!scenario.faults.isEmpty()) {
        out << YAML::Key << "faults" << YAML::Value << YAML::BeginSeq;
        for (const FaultRule& rule : scenario.faults)
            out << YAML::DoubleQuoted << rule.text.toStdString();
        out << YAML::EndSeq;
    }
    emitTimeline(out, scenario);
    if (scenario.endMs) {
        out << YAML::Key << "end" << YAML::Value;
        emitDuration(out, *scenario.endMs);
    }
    emitExplore(out, scenario);
    emitExpectations(out, scenario);
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
    object.insert(QStringLiteral("units"), unitsJson(scenario));
    QJsonArray faults;
    for (const FaultRule& rule : scenario.faults)
        faults.append(rule.text);
    object.insert(QStringLiteral("faults"), faults);
    object.insert(QStringLiteral("timeline"), timelineJson(scenario));
    if (scenario.endMs)
        object.insert(QStringLiteral("end"), durationText(*scenario.endMs));
    object.insert(QStringLiteral("expect"), expectationsJson(scenario));
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
