#include "scenariofilesection.h"

#include "fleet/unitaddress.h"
#include "record/duration.h"

#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace ScenarioFileSection {

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

// A YAML value as JSON: plain scalars that read as numbers become numbers, quoted ones stay text.
QJsonValue jsonOf(const YAML::Node& node)
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

} // namespace ScenarioFileSection
