// --explore against the sample controller: with its hidden bug, which needs a reboot and delayed
// replies on one unit at once, an exploration from a fixed seed finds a failing run, writes it
// out, and the run repeats alone; the well-behaved controller fails no run. Uses the fixed ports.
#include "programs.h"
#include "scenario/scenariofile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
const QString kScenario = QStringLiteral(UNITSIM_EXAMPLES_DIR "/explore-reboots.yaml");
// The scenario's 12 s at its time scale of 3, with room for the controller's stop.
constexpr int kRunMs = 4000 + 2000;
constexpr int kRuns = 8;
// A seed under which the hidden bug shows within kRuns runs (found once, by trying seeds).
constexpr int kSeed = 3;

QString controller(const QString& habit)
{
    return QStringLiteral("exec %1 --discover 127.255.255.255 --seconds 600 --habit %2")
        .arg(QStringLiteral(SAMPLE_CONTROLLER_PATH), habit);
}

ProcessResult explore(const QString& habit, const QString& out, const QStringList& more = {})
{
    return runProcess(simulatorPath(),
                      QStringList{u"--explore"_s, kScenario, u"--controller"_s, controller(habit),
                                  u"--seed"_s, QString::number(kSeed), u"--out"_s, out} +
                          more,
                      kRunMs * (kRuns + 2));
}
} // namespace

class TestExplorer : public QObject {
    Q_OBJECT

private slots:
    void findsTheHiddenBugAndWritesTheRunOut();
    void theWellBehavedControllerFailsNoRun();
};

void TestExplorer::findsTheHiddenBugAndWritesTheRunOut()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(u"found"_s);
    const ProcessResult result = explore(u"hidden-bug"_s, out, {u"--runs"_s, QString::number(kRuns)});
    QVERIFY2(!result.err.contains(u"cannot start"_s),
             qPrintable(u"the fixed ports are needed: "_s + result.err));
    QCOMPARE(result.exitCode, 4);
    static const QRegularExpression failedRun(
        u"Run (\\d+)/%1 \\(seed \\d+, \\d+ additions?\\): FAILED (.*) -> "_s.arg(kRuns));
    const QRegularExpressionMatch match = failedRun.match(result.err);
    QVERIFY2(match.hasMatch(), qPrintable(result.err));
    QVERIFY2(result.err.contains(u"Explored %1 runs in "_s.arg(kRuns)), qPrintable(result.err));

    // The run as played: a scenario that loads, with delayed replies and more among its additions
    // (a reboot, or more delay, on the same unit).
    const QDir failure(out + u"/failure-1"_s);
    QString error;
    const std::optional<Scenario> played = ScenarioFile::load(failure.filePath(u"scenario.yaml"_s), &error);
    QVERIFY2(played, qPrintable(error));
    QVERIFY(!played->explore);
    bool delayed = false;
    for (const ScenarioEvent& event : played->timeline)
        delayed |= event.kind == ScenarioEvent::Kind::Fault && event.rule.text.startsWith(u"delay=600"_s);
    QVERIFY2(delayed && played->timeline.size() >= 2, "the bug needs two things at once");
    QFile capture(failure.filePath(u"capture.pcap"_s));
    QVERIFY(capture.open(QIODevice::ReadOnly));
    QCOMPARE(capture.read(4), QByteArray("\xd4\xc3\xb2\xa1", 4)); // pcap, little-endian
    QVERIFY(capture.size() > 1000);
    QFile report(failure.filePath(u"report.xml"_s));
    QVERIFY(report.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains("<failure message="));
    QFile readme(failure.filePath(u"README.txt"_s));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    QVERIFY2(text.contains(u"--seed %1 --explore-run %2"_s.arg(kSeed).arg(match.captured(1))),
             qPrintable(text));
    QVERIFY2(text.contains(u"FAILED "_s + match.captured(2).section(u", "_s, 0, 0)), qPrintable(text));

    // The run alone fails the same way.
    const QString again = dir.filePath(u"again"_s);
    const ProcessResult alone = explore(u"hidden-bug"_s, again, {u"--explore-run"_s, match.captured(1)});
    QCOMPARE(alone.exitCode, 4);
    QVERIFY2(alone.err.contains(u"Run %1 (seed "_s.arg(match.captured(1))), qPrintable(alone.err));
    QFile first(failure.filePath(u"scenario.yaml"_s));
    QFile second(again + u"/failure-1/scenario.yaml"_s);
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), first.readAll());
}

void TestExplorer::theWellBehavedControllerFailsNoRun()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(u"found"_s);
    // Fewer runs, for time: the well-behaved controller passes whatever a run adds.
    const ProcessResult result = explore(u"none"_s, out, {u"--runs"_s, QString::number(kRuns / 2)});
    QVERIFY2(!result.err.contains(u"cannot start"_s),
             qPrintable(u"the fixed ports are needed: "_s + result.err));
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QCOMPARE(result.err.count(u": passed in "_s), kRuns / 2);
    QVERIFY(!QDir(out).exists(u"failure-1"_s));
}

QTEST_GUILESS_MAIN(TestExplorer)
#include "tst_explorer.moc"
