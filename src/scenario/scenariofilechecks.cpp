#include "scenariofilesection.h"

#include <QJsonObject>
#include <QStringList>

// The sections that judge and vary a run: expect (what the controller must do) and explore (what
// may be added to the timeline).
namespace ScenarioFileSection {

void ScenarioReader::readExpectations(const YAML::Node& expect)
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
        for (int c = 0; c < ExpectationDefinition::kCheckCount; ++c)
            checks << QLatin1String(ExpectationDefinition::checkName(ExpectationDefinition::Check(c)));
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
                name = scalar(it->second, path + QStringLiteral(".name"), QStringLiteral("a text")).trimmed();
                if (name.isEmpty())
                    refuse(it->second, path + QStringLiteral(".name"), QStringLiteral("must not be empty"));
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
        std::optional<ExpectationDefinition> expectation =
            ExpectationDefinition::fromJson(name, key, jsonOf(*checkValue), &problem);
        if (!expectation)
            refuse(*checkValue, path + u'.' + key, problem);
        m_scenario.expect << *expectation;
    }
}

void ScenarioReader::readExplore(const YAML::Node& explore)
{
    QString problem;
    m_scenario.explore =
        ExploreSpace::fromJson(jsonOf(explore), m_scenario.unitCount(), m_scenario.endMs, &problem);
    if (!m_scenario.explore)
        refuse(explore, QStringLiteral("explore"), problem);
}

void emitExpectations(YAML::Emitter& out, const Scenario& scenario)
{
    if (!scenario.expect.isEmpty()) {
        out << YAML::Key << "expect" << YAML::Value << YAML::BeginSeq;
        for (const ExpectationDefinition& expectation : scenario.expect) {
            out << YAML::BeginMap << YAML::Key << "name" << YAML::Value << YAML::DoubleQuoted
                << expectation.name.toStdString();
            out << YAML::Key << ExpectationDefinition::checkName(expectation.check) << YAML::Value
                << YAML::Flow;
            emitJson(out, expectation.value.isNull() ? QJsonValue(QJsonObject()) : expectation.value);
            out << YAML::EndMap;
        }
        out << YAML::EndSeq;
    }
}

QJsonArray expectationsJson(const Scenario& scenario)
{
    QJsonArray expect;
    for (const ExpectationDefinition& expectation : scenario.expect)
        expect.append(
            QJsonObject{{QStringLiteral("name"), expectation.name},
                        {QLatin1String(ExpectationDefinition::checkName(expectation.check)),
                         expectation.value.isNull() ? QJsonValue(QJsonObject()) : expectation.value}});
    return expect;
}

void emitExplore(YAML::Emitter& out, const Scenario& scenario)
{
    if (scenario.explore) {
        out << YAML::Key << "explore" << YAML::Value;
        emitJson(out, scenario.explore->value);
    }
}

} // namespace ScenarioFileSection
