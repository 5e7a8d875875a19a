#include "exploremerge.h"

#include "consoleoutput.h"
#include "explorefailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QXmlStreamWriter>

#include <map>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr char kRecordName[] = "exploration.json";
// A record is a list of runs and failures: more than this is no record of ours.
constexpr qint64 kMaxRecordBytes = 64 * 1024 * 1024;
// What a failure's folder holds.
const QStringList kFailureFiles{u"scenario.yaml"_s, u"capture.pcap"_s, u"report.xml"_s, u"controller.log"_s,
                                u"README.txt"_s};

QByteArray junitOf(const QJsonObject& record, const QString& scenarioName)
{
    std::map<qint64, QJsonObject> failures;
    for (const QJsonValue& failure : record[u"failures"_s].toArray())
        failures.emplace(failure[u"run"_s].toInteger(), failure.toObject());
    const QJsonArray played = record[u"played"_s].toArray();
    const QString suite = u"explore "_s + (scenarioName.isEmpty() ? u"scenario"_s : scenarioName);
    QByteArray xml;
    QXmlStreamWriter out(&xml);
    out.setAutoFormatting(true);
    out.writeStartDocument();
    out.writeStartElement(u"testsuites"_s);
    out.writeAttribute(u"name"_s, u"unit-simulator exploration"_s);
    out.writeAttribute(u"tests"_s, QString::number(played.size()));
    out.writeAttribute(u"failures"_s, QString::number(failures.size()));
    out.writeStartElement(u"testsuite"_s);
    out.writeAttribute(u"name"_s, suite);
    out.writeAttribute(u"tests"_s, QString::number(played.size()));
    out.writeAttribute(u"failures"_s, QString::number(failures.size()));
    out.writeAttribute(u"errors"_s, u"0"_s);
    out.writeStartElement(u"properties"_s);
    for (const QString& key : {u"scenario"_s, u"seed"_s, u"search"_s}) {
        out.writeStartElement(u"property"_s);
        out.writeAttribute(u"name"_s, key);
        out.writeAttribute(u"value"_s, record[key].toString());
        out.writeEndElement();
    }
    out.writeEndElement();
    for (const QJsonValue& run : played) {
        const qint64 number = run[u"run"_s].toInteger();
        out.writeStartElement(u"testcase"_s);
        out.writeAttribute(u"name"_s, u"run "_s + QString::number(number));
        out.writeAttribute(u"classname"_s, suite);
        if (const auto found = failures.find(number); found != failures.end()) {
            const QJsonObject& failure = found->second;
            QStringList failed;
            for (const QJsonValue& name : failure[u"failed"_s].toArray())
                failed << name.toString();
            out.writeStartElement(u"failure"_s);
            out.writeAttribute(u"message"_s,
                               QStringLiteral("fails %1 (%2)%3")
                                   .arg(failed.join(u", "_s), failure[u"directory"_s].toString(),
                                        failure[u"flaky"_s].toBool() ? u"; FLAKY"_s : QString()));
            out.writeAttribute(u"type"_s, u"explore"_s);
            out.writeCharacters(failure[u"shrunk"_s].toString() +
                                QStringLiteral("\nfailed %1 of %2 replays\n")
                                    .arg(failure[u"replaysFailed"_s].toInteger())
                                    .arg(failure[u"replays"_s].toInteger()));
            out.writeEndElement();
        }
        out.writeEndElement();
    }
    out.writeEndElement();
    out.writeEndElement();
    out.writeEndDocument();
    return xml;
}

std::optional<QJsonObject> readRecord(const QString& dir, QString* error)
{
    QFile file(QDir(dir).filePath(QLatin1String(kRecordName)));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.fileName() + u": "_s + file.errorString();
        return std::nullopt;
    }
    if (file.size() > kMaxRecordBytes) {
        *error = file.fileName() + u": larger than any record of an exploration"_s;
        return std::nullopt;
    }
    QJsonParseError problem;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &problem);
    const QJsonObject record = document.object();
    if (problem.error != QJsonParseError::NoError || !record[u"seed"_s].isString() ||
        !record[u"runs"_s].isDouble() || !record[u"played"_s].isArray() || !record[u"failures"_s].isArray()) {
        *error = file.fileName() + u": not the record of an exploration"_s;
        return std::nullopt;
    }
    return record;
}

// Copies a failure's folder as the merge's failure-K/, its README's commands naming the new place.
bool copyFailure(const QString& from, const QString& to, QString* error)
{
    if (!QDir().mkpath(to)) {
        *error = to + u": cannot be made"_s;
        return false;
    }
    for (const QString& name : kFailureFiles) {
        QFile file(QDir(from).filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = file.fileName() + u": "_s + file.errorString();
            return false;
        }
        QByteArray bytes = file.readAll();
        if (name == u"README.txt"_s)
            bytes.replace(QDir(from).filePath(u"scenario.yaml"_s).toUtf8(),
                          QDir(to).filePath(u"scenario.yaml"_s).toUtf8());
        if (!writeWholeFile(QDir(to).filePath(name), bytes, error))
            return false;
    }
    return true;
}
} // namespace

bool writeExplorationRecord(const QString& outDir, const QJsonObject& record, const QString& scenarioName,
                            QString* error)
{
    if (!QDir().mkpath(outDir)) {
        *error = outDir + u": cannot be made"_s;
        return false;
    }
    QJsonObject written = record;
    written.insert(u"scenario_name"_s, scenarioName);
    return writeWholeFile(QDir(outDir).filePath(QLatin1String(kRecordName)), QJsonDocument(written).toJson(),
                          error) &&
           writeWholeFile(QDir(outDir).filePath(u"report.xml"_s), junitOf(record, scenarioName), error);
}

int mergeExplorations(const QStringList& dirs, const QString& outDir)
{
    QString error;
    QList<QJsonObject> records;
    for (const QString& dir : dirs) {
        std::optional<QJsonObject> record = readRecord(dir, &error);
        if (!record) {
            printToStderr(u"Cannot merge: "_s + error);
            return 1;
        }
        records << *record;
    }
    // One exploration: the same scenario, seed, runs and draws; distinct shards of one count.
    const QJsonObject& first = records.first();
    const int count = first[u"shard"_s][u"count"_s].toInt(1);
    QList<int> shards;
    for (qsizetype k = 0; k < records.size(); ++k) {
        const QJsonObject& record = records[k];
        for (const QString& key : {u"scenario"_s, u"seed"_s, u"runs"_s, u"search"_s, u"swarm"_s}) {
            if (record[key] != first[key]) {
                printToStderr(
                    QStringLiteral("Cannot merge: %1 is of another exploration than %2 (its %3 differs)")
                        .arg(dirs[k], dirs.first(), key));
                return 1;
            }
        }
        const int index = record[u"shard"_s][u"index"_s].toInt(0);
        if (record[u"shard"_s][u"count"_s].toInt(1) != count || shards.contains(index)) {
            printToStderr(
                QStringLiteral("Cannot merge: %1 is shard %2/%3, which does not fit beside the others")
                    .arg(dirs[k])
                    .arg(index)
                    .arg(record[u"shard"_s][u"count"_s].toInt(1)));
            return 1;
        }
        shards << index;
    }
    // Failures in run order, renumbered; runs as played.
    std::map<qint64, std::pair<QString, QJsonObject>> failures; // by run: its folder, its record
    std::map<qint64, QJsonValue> played;
    bool shardFailed = false;
    for (qsizetype k = 0; k < records.size(); ++k) {
        for (const QJsonValue& failure : records[k][u"failures"_s].toArray())
            failures.emplace(
                failure[u"run"_s].toInteger(),
                std::pair{QDir(dirs[k]).filePath(failure[u"directory"_s].toString()), failure.toObject()});
        for (const QJsonValue& run : records[k][u"played"_s].toArray())
            played.emplace(run[u"run"_s].toInteger(), run);
        shardFailed |= records[k][u"status"_s].toInt() == 1;
    }
    QJsonArray failureRecords;
    QStringList written;
    int flaky = 0;
    for (auto& [run, failure] : failures) {
        const QString directory = QDir(outDir).filePath(QStringLiteral("failure-%1").arg(written.size() + 1));
        if (!copyFailure(failure.first, directory, &error)) {
            printToStderr(u"Cannot merge: "_s + error);
            return 1;
        }
        failure.second.insert(u"directory"_s, QFileInfo(directory).fileName());
        failureRecords.append(failure.second);
        written << directory;
        flaky += failure.second[u"flaky"_s].toBool();
    }
    QJsonArray runs;
    for (const auto& [run, value] : played)
        runs.append(value);
    QStringList missing;
    for (int index = 0; index < count; ++index) {
        if (!shards.contains(index))
            missing << QStringLiteral("%1/%2").arg(index).arg(count);
    }
    const int status = !written.isEmpty() ? 4 : (!missing.isEmpty() || shardFailed) ? 1 : 0;
    QJsonObject merged = first;
    merged.remove(u"shard"_s);
    merged.insert(u"played"_s, runs);
    merged.insert(u"failures"_s, failureRecords);
    merged.insert(u"status"_s, status);
    merged.insert(u"merged"_s, QJsonArray::fromStringList(dirs));
    if (!writeExplorationRecord(outDir, merged, first[u"scenario_name"_s].toString(), &error)) {
        printToStderr(u"Cannot merge: "_s + error);
        return 1;
    }
    printToStderr(QStringLiteral("Merged %1 of %2 shard%3%4: explored %5 run%6 from seed %7: %8 failed%9%10")
                      .arg(records.size())
                      .arg(count)
                      .arg(count == 1 ? QString() : u"s"_s,
                           missing.isEmpty() ? QString() : u" (missing: "_s + missing.join(u", "_s) + u')')
                      .arg(runs.size())
                      .arg(runs.size() == 1 ? QString() : u"s"_s, first[u"seed"_s].toString())
                      .arg(written.size())
                      .arg(flaky > 0 ? QStringLiteral(", %1 of them flaky").arg(flaky) : QString(),
                           written.isEmpty() ? QString() : u" ("_s + written.join(u", "_s) + u')'));
    return status;
}
