// The picture of a run: each unit's states and fault windows from the scenario's lines, the
// requests it got in buckets of scenario time, and one page that carries all it needs and stays
// small for a large run.
#include "log/logblock.h"
#include "log/trafficlogmodel.h"
#include "record/unitframe.h"
#include "report/runreport.h"
#include "report/runtimeline.h"
#include "verify/expectationmonitor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
using Mark = TrafficLogEntry::EventMark;
constexpr qint64 kStartUs = 1'700'000'000'000'000;
const quint32 kController = 0x7f000001;

LogLine at(qint64 ms, TrafficLogEntry entry, quint32 unit = 0)
{
    entry.timeUs = kStartUs + ms * 1000;
    return {entry, unit};
}

LogLine marked(qint64 ms, const QString& text, Mark mark, quint32 first, quint32 last)
{
    return at(ms, TrafficLogEntry::event(text, mark, first, last));
}

LogLine request(qint64 ms, quint32 unit)
{
    QByteArray frame(29, '\0');
    frame[1] = 50;
    return at(ms, TrafficLogEntry::unitIncoming(kController, 5000, 4000, frame, 0), unit);
}

QStringList addresses(int count)
{
    QStringList list;
    for (int k = 0; k < count; ++k)
        list << u"10.%1.%2.%3"_s.arg(k >> 16).arg((k >> 8) & 255).arg(k & 255);
    return list;
}

QString spans(const QJsonArray& array)
{
    QStringList texts;
    for (const QJsonValue& span : array)
        texts << u"%1 %2-%3"_s.arg(span[u"state"_s].toString(span[u"fault"_s].toString()))
                     .arg(span[u"from"_s].toDouble())
                     .arg(span[u"to"_s].toDouble());
    return texts.join(u", "_s);
}
} // namespace

class TestRunReport : public QObject {
    Q_OBJECT

private slots:
    void unitsStatesAndFaultsFromTheScenarioLines();
    void requestsCountInBucketsThatGrowWithTheRun();
    void aPageOfFewRowsSumsTheOthers();
    void aLargeRunMakesASmallSelfContainedPage();
};

// Reboots, outages and fault windows become spans of the units they name, in scenario seconds
// (at time scale 2, a second of the clock is two); what is open at the end closes there; a
// restart pictures the run afresh.
void TestRunReport::unitsStatesAndFaultsFromTheScenarioLines()
{
    TrafficLogModel log;
    log.setUnitAddresses(addresses(3));
    RunTimeline timeline(log, 2, 0);
    timeline.line(request(0, 0)); // before the start: not pictured
    QVERIFY(!timeline.hasStarted());
    const QList<LogLine> lines{
        marked(0, u"scenario demo started"_s, Mark::ScenarioStarted, TrafficLogEntry::kNoUnit,
               TrafficLogEntry::kNoUnit),
        marked(500, u"scenario: reboot units 1-2 for 1 s"_s, Mark::UnitsRebooting, 1, 2),
        marked(1000, u"scenario: fault \"delay=400\" on units 0-1 for 2 s"_s, Mark::FaultAdded, 0, 1),
        marked(1500, u"scenario: units 1-2 back after reboot"_s, Mark::UnitsRebooted, 1, 2),
        marked(1750, u"scenario: fault \"drop\" on 10.0.0.0"_s, Mark::FaultAdded, 0, 0),
        marked(2000, u"scenario: fault \"delay=400\" on units 0-1 ended"_s, Mark::FaultEnded, 0, 1),
        marked(2500, u"scenario: offline 10.0.0.2"_s, Mark::UnitsOffline, 2, 2),
        // Beyond the units: taken as far as they go.
        marked(2600, u"scenario: offline units 2-9"_s, Mark::UnitsOffline, 2, 9),
    };
    for (const LogLine& line : lines)
        timeline.line(line);
    timeline.finish(kStartUs + 3'000'000);
    const QJsonObject json = timeline.toJson();
    QCOMPARE(json[u"end"_s].toDouble(), 6.0);
    const QJsonArray units = json[u"units"_s].toArray();
    QCOMPARE(units.size(), 3);
    QCOMPARE(spans(units[0][u"states"_s].toArray()), QString());
    QCOMPARE(spans(units[0][u"faults"_s].toArray()), u"delay=400 2-4, drop 3.5-6"_s);
    QCOMPARE(spans(units[1][u"states"_s].toArray()), u"rebooting 1-3"_s);
    QCOMPARE(spans(units[1][u"faults"_s].toArray()), u"delay=400 2-4"_s);
    QCOMPARE(spans(units[2][u"states"_s].toArray()), u"rebooting 1-3, offline 5-5.2, offline 5.2-6"_s);
    QCOMPARE(json[u"events"_s].toArray().size(), lines.size());
    QCOMPARE(json[u"events"_s][1][u"firstUnit"_s].toInt(), 1);
    QCOMPARE(json[u"events"_s][1][u"at"_s].toDouble(), 1.0);

    // Started again: the run is pictured anew.
    timeline.line(marked(4000, u"scenario demo started"_s, Mark::ScenarioStarted, TrafficLogEntry::kNoUnit,
                         TrafficLogEntry::kNoUnit));
    timeline.finish(kStartUs + 4'500'000);
    QCOMPARE(timeline.toJson()[u"events"_s].toArray().size(), 1);
    QCOMPARE(spans(timeline.toJson()[u"units"_s][1][u"states"_s].toArray()), QString());
}

// A bucket is 100 ms of scenario time until the run outgrows the buckets a unit keeps; then they
// double, and no request is lost in the merge.
void TestRunReport::requestsCountInBucketsThatGrowWithTheRun()
{
    TrafficLogModel log;
    log.setUnitAddresses(addresses(2));
    RunTimeline timeline(log, 1, 0);
    timeline.line(
        marked(0, u"started"_s, Mark::ScenarioStarted, TrafficLogEntry::kNoUnit, TrafficLogEntry::kNoUnit));
    for (const qint64 ms : {10, 50, 150, 150, 420})
        timeline.line(request(ms, 1));
    timeline.line(at(160, TrafficLogEntry::unitOutgoing(kController, 5000, UnitFrame{}, 0), 1));
    QCOMPARE(timeline.units()[1].requests, (std::vector<quint32>{2, 2, 0, 0, 1}));
    QCOMPARE(timeline.units()[1].replyCount, 1u);
    QVERIFY(timeline.units()[0].requests.empty());

    // A request every 100 ms for 200 s: more buckets than a unit keeps at 100 ms, or at 200 ms.
    const qint64 lastMs = 200'000;
    for (qint64 ms = 500; ms <= lastMs; ms += 100)
        timeline.line(request(ms, 0));
    QCOMPARE(timeline.bucketMs(), 400);
    quint64 sum = 0;
    for (const quint32 count : timeline.units()[0].requests)
        sum += count;
    QCOMPARE(sum, timeline.units()[0].requestCount);
    QCOMPARE(timeline.units()[0].requests[5], 4u); // 2.0 s to 2.4 s
    QVERIFY(qsizetype(timeline.units()[0].requests.size()) <= RunTimeline::kMaxBuckets);
}

// A page of few rows lists the units asked for first, then those an event touched, then the
// rest; the others are summed, none lost.
void TestRunReport::aPageOfFewRowsSumsTheOthers()
{
    TrafficLogModel log;
    log.setUnitAddresses(addresses(10));
    RunTimeline timeline(log, 1, 0);
    timeline.line(
        marked(0, u"started"_s, Mark::ScenarioStarted, TrafficLogEntry::kNoUnit, TrafficLogEntry::kNoUnit));
    timeline.line(marked(100, u"scenario: reboot 10.0.0.4"_s, Mark::UnitsRebooting, 4, 4));
    for (quint32 unit = 0; unit < 10; ++unit)
        timeline.line(request(200, unit));
    timeline.finish(kStartUs + 1'000'000);
    const QJsonObject json = timeline.toJson({7, 7, 12}, 3);
    QStringList listed;
    for (const QJsonValue& unit : json[u"units"_s].toArray())
        listed << QString::number(unit[u"index"_s].toInt());
    QCOMPARE(listed.join(u' '), u"7 4 0"_s);
    QCOMPARE(json[u"unitCount"_s].toInt(), 10);
    QCOMPARE(json[u"others"_s][u"count"_s].toInt(), 7);
    QCOMPARE(json[u"others"_s][u"requests"_s][2].toInt(), 7);
    QCOMPARE(json[u"others"_s][u"requestCount"_s].toInt(), 7);
    QVERIFY(!timeline.toJson().contains(u"others"_s));
}

// A thousand units and a million requests make a page of a few megabytes that holds the chart
// library, its own script and the data, and nothing it would fetch; a text from the run that
// looks like markup stays data.
void TestRunReport::aLargeRunMakesASmallSelfContainedPage()
{
    constexpr int kUnits = 1000;
    constexpr int kRequests = 1'000'000;
    constexpr qint64 kRunMs = 60'000;
    TrafficLogModel log;
    log.setUnitAddresses(addresses(kUnits));
    RunTimeline timeline(log, 1, 0);
    timeline.line(
        marked(0, u"started"_s, Mark::ScenarioStarted, TrafficLogEntry::kNoUnit, TrafficLogEntry::kNoUnit));
    timeline.line(marked(10, u"scenario: fault \"</script><script>alert(1)</script>\" on all"_s,
                         Mark::FaultAdded, 0, kUnits - 1));
    for (int k = 0; k < kRequests; ++k)
        timeline.line(request(qint64(k) * kRunMs / kRequests, quint32(k % kUnits)));
    timeline.finish(kStartUs + kRunMs * 1000);

    ExpectationResult result;
    result.expectation.name = u"every unit polled"_s;
    result.state = ExpectationResult::State::Failed;
    ExpectationFailure failure;
    failure.message = u"10.0.3.231 got no channel- or status-query for 5 s"_s;
    failure.unit = 999;
    failure.timeUs = kStartUs + 30'000'000;
    result.failures << failure;
    const QJsonObject data = runReportJson(u"big"_s, timeline, {result}, log);
    const QByteArray page = runReportHtml(data);
    qInfo("%d units, %d requests: a page of %.2f MB, buckets of %lld ms", kUnits, kRequests,
          page.size() / 1e6, qint64(data[u"bucketMs"_s].toInteger()));
    QVERIFY2(page.size() < 5'000'000, qPrintable(QString::number(page.size())));
    QVERIFY(data[u"units"_s][0][u"requests"_s].toArray().size() * kUnits <= RunTimeline::kMaxCells);
    QCOMPARE(data[u"failures"_s][0][u"at"_s].toDouble(), 30.0);

    QVERIFY(page.contains("Chart.js v"));
    QVERIFY(page.contains("run-data"));
    // Nothing from elsewhere: no element names a source or a link.
    QVERIFY(!QRegularExpression(u"<(script|link|img)[^>]*(src|href)="_s)
                 .match(QString::fromUtf8(page))
                 .hasMatch());
    // The rule's text is in the data, and only one script ends where the data does.
    const qsizetype dataStart = page.indexOf("id=\"run-data\"");
    const qsizetype dataEnd = page.indexOf("</script>", dataStart);
    const QByteArray json =
        page.mid(page.indexOf('>', dataStart) + 1, dataEnd - page.indexOf('>', dataStart) - 1);
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(json, &error);
    QVERIFY2(!parsed.isNull(), qPrintable(error.errorString()));
    QCOMPARE(parsed[u"units"_s][5][u"faults"_s][0][u"fault"_s].toString(),
             u"</script><script>alert(1)</script>"_s);
}

QTEST_GUILESS_MAIN(TestRunReport)
#include "tst_runreport.moc"
