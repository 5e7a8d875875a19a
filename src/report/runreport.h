#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

class RunTimeline;
class TrafficLogModel;
struct ExpectationResult;

// The picture of one run as data for a page: the timeline's units, spans, events and request
// counts, every expectation with its verdict and margin, and each failure where it happened with
// its evidence and the lines of its unit just before and after it (read from `log`). With
// `maxUnits` at 0 or more, at most that many units are listed, those where failures happened
// first (see RunTimeline::toJson()).
QJsonObject runReportJson(const QString& title, const RunTimeline& timeline,
                          const QList<ExpectationResult>& results, const TrafficLogModel& log,
                          qsizetype maxUnits = -1);

// One self-contained HTML page of a run (`data` as runReportJson() gives it): the chart library,
// the page's script and the data all inside it, so that it opens from a CI artifact or a mail
// with no network.
QByteArray runReportHtml(const QJsonObject& data);
