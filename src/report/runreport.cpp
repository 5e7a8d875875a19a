#include "runreport.h"

#include "runtimeline.h"

#include "log/logblock.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"
#include "verify/expectationmonitor.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {
// Lines of a failure's unit shown on each side of it, and how far the log is searched for them.
constexpr int kLinesAround = 8;
constexpr quint64 kSearchedAround = 4000;

// The lines of `unit` (and the scenario's events) nearest before and after `seq`, with `seq`.
QJsonArray linesAround(const TrafficLogModel& log, const RunTimeline& timeline, int unit, quint64 seq)
{
    const auto take = [&](quint64 at, LogLine* line) {
        return log.lineWithSeq(at, line) &&
               (line->entry.kind == TrafficLogEntry::Kind::Event || unit < 0 || int(line->unit) == unit);
    };
    const auto json = [&](quint64 at, const LogLine& line, const char* side) {
        return QJsonObject{{u"seq"_s, qint64(at)},
                           {u"at"_s, std::round(timeline.secondsAt(line.entry.timeUs) * 1000) / 1000},
                           {u"side"_s, QString::fromLatin1(side)},
                           {u"text"_s, log.prefixOf(line) + trafficLogLine(line.entry)}};
    };
    QList<QJsonObject> before;
    LogLine line;
    const quint64 first = log.heldFrom(log.firstSeq());
    for (quint64 at = seq, searched = 0;
         at > first && before.size() < kLinesAround && searched < kSearchedAround; ++searched) {
        --at;
        if (take(at, &line))
            before.prepend(json(at, line, "before"));
    }
    QJsonArray lines;
    for (const QJsonObject& object : before)
        lines.append(object);
    if (log.lineWithSeq(seq, &line))
        lines.append(json(seq, line, "it"));
    int after = 0;
    for (quint64 at = seq + 1; at < log.endSeq() && after < kLinesAround && at - seq <= kSearchedAround;
         ++at) {
        if (take(at, &line)) {
            lines.append(json(at, line, "after"));
            ++after;
        }
    }
    return lines;
}

QByteArray resource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("the page's part %s is not built in", qPrintable(path));
    return file.readAll();
}
} // namespace

QJsonObject runReportJson(const QString& title, const RunTimeline& timeline,
                          const QList<ExpectationResult>& results, const TrafficLogModel& log,
                          qsizetype maxUnits)
{
    QList<int> failing;
    QJsonArray expectations;
    QJsonArray failures;
    QJsonArray limits;
    for (const ExpectationResult& result : results) {
        QJsonObject expectation = result.toJson();
        expectation.remove(u"failures"_s); // listed below, with where they happened
        expectation.insert(u"marginText"_s, result.marginText());
        expectations.append(expectation);
        const ExpectationDefinition& definition = result.expectation;
        // The limits a unit's requests a second are judged by: a rate, and a silent unit's back-off.
        if (definition.check == ExpectationDefinition::Check::MaxRate && !definition.perPeer)
            limits.append(QJsonObject{{u"name"_s, definition.name}, {u"perSecond"_s, definition.perSecond}});
        else if (definition.check == ExpectationDefinition::Check::Backoff)
            limits.append(QJsonObject{{u"name"_s, definition.name + u" (while it is silent)"_s},
                                      {u"perSecond"_s, definition.perSecond},
                                      {u"whileSilent"_s, true}});
        for (const ExpectationFailure& failure : result.failures) {
            QJsonObject object{{u"expectation"_s, definition.name},
                               {u"message"_s, failure.message},
                               {u"unit"_s, failure.unit},
                               {u"at"_s, std::round(timeline.secondsAt(failure.timeUs) * 1000) / 1000},
                               {u"evidence"_s, QJsonArray::fromStringList(failure.evidence())}};
            if (!failure.seqs.isEmpty())
                object.insert(u"lines"_s, linesAround(log, timeline, failure.unit, failure.seqs.last()));
            failures.append(object);
            if (failure.unit >= 0)
                failing << failure.unit;
        }
    }
    QJsonObject data = timeline.toJson(failing, maxUnits);
    data.insert(u"title"_s, title);
    data.insert(u"expectations"_s, expectations);
    data.insert(u"failures"_s, failures);
    data.insert(u"limits"_s, limits);
    return data;
}

QByteArray runReportHtml(const QJsonObject& data)
{
    // Inside a script element only "</script" could end it early: no "<" is left in the data.
    QByteArray json = QJsonDocument(data).toJson(QJsonDocument::Compact);
    json.replace("<", "\\u003c");
    QByteArray page = resource(u":/report/report.html"_s);
    page.replace("<!--chart.js-->", "<script>" + resource(u":/report/chart.min.js"_s) + "</script>");
    page.replace("<!--report.css-->", "<style>" + resource(u":/report/report.css"_s) + "</style>");
    page.replace("<!--report.js-->", "<script>" + resource(u":/report/report.js"_s) + "</script>");
    page.replace("<!--data-->", "<script id=\"run-data\" type=\"application/json\">" + json + "</script>");
    return page;
}
