#include "explorefailure.h"

#include "scenario/scenariofile.h"

#include <QDir>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

using namespace Qt::Literals::StringLiterals;

namespace {
// Where a failing run's README has the scenario's control API listen.
const QString kRecipeControl = QStringLiteral("127.0.0.1:8080");

// Quoted for a POSIX shell, for the commands a README shows.
QString shellQuoted(const QString& text)
{
    return u'\'' + QString(text).replace(u"'"_s, u"'\\''"_s) + u'\'';
}

// The JUnit report with the replays' share as a property of its suite, so that CI shows it.
QByteArray withReplays(const QByteArray& junit, const QString& replays)
{
    if (replays.isEmpty())
        return junit;
    QByteArray out;
    QXmlStreamReader in(junit);
    QXmlStreamWriter writer(&out);
    writer.setAutoFormatting(true);
    bool added = false;
    while (!in.atEnd()) {
        in.readNext();
        if (in.isWhitespace())
            continue;
        writer.writeCurrentToken(in);
        if (!added && in.isStartElement() && in.name() == u"testsuite"_s) {
            writer.writeStartElement(u"properties"_s);
            writer.writeStartElement(u"property"_s);
            writer.writeAttribute(u"name"_s, u"replays"_s);
            writer.writeAttribute(u"value"_s, replays);
            writer.writeEndElement();
            writer.writeEndElement();
            added = true;
        }
    }
    return in.hasError() ? junit : out;
}
} // namespace

bool writeWholeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = path + u": "_s + file.errorString();
    return false;
}

QString ExploreFailure::replaysText() const
{
    if (replays == 0)
        return {};
    return QStringLiteral("failed %1 of %2 replay%3")
        .arg(replaysFailed)
        .arg(replays)
        .arg(replays == 1 ? QString() : u"s"_s);
}

bool writeExploreFailure(const QString& directory, const ExploreOptions& options,
                         const ExploreFailure& failure, QString* error)
{
    if (!QDir().mkpath(directory)) {
        *error = directory + u": cannot be made"_s;
        return false;
    }
    const QDir dir(directory);
    const ExploreOutcome& outcome = failure.outcome;
    QString as = failure.shrinkSummary.isEmpty() ? u"as played"_s : failure.shrinkSummary;
    if (failure.replays > 0)
        as += (failure.flaky() ? u"; FLAKY: it "_s : u"; it "_s) + failure.replaysText();
    const QByteArray header =
        QStringLiteral("# Run %1 of an exploration of %2 from seed %3, %4: it fails %5.\n")
            .arg(failure.number)
            .arg(options.scenarioPath)
            .arg(options.seed)
            .arg(as, outcome.failed.join(u", "_s))
            .toUtf8();
    QStringList readme{QStringLiteral("Run %1 of an exploration of %2 from seed %3 failed; %4.")
                           .arg(failure.number)
                           .arg(options.scenarioPath)
                           .arg(options.seed)
                           .arg(as),
                       QString()};
    readme << outcome.report << QString() << u"What the run adds to the scenario (scenario.yaml holds it):"_s;
    for (const ScenarioEvent& event : failure.variation.additions)
        readme << QStringLiteral("- at %1: %2")
                      .arg(scenarioDurationText(event.atMs), failure.scenario.eventText(event));
    // A run drawn as a change of another is played again from its scenario: its draw needs the
    // runs before it.
    if (failure.variation.origin.isEmpty())
        readme << QString() << u"Repeat the run as the exploration first played it:"_s
               << QStringLiteral("  unit-simulator --explore %1 --controller %2 --seed %3 --explore-run %4%5")
                      .arg(shellQuoted(options.scenarioPath), shellQuoted(options.controller))
                      .arg(options.seed)
                      .arg(failure.number)
                      .arg(options.draw == ExploreDraw::Uniform ? u" --no-swarm"_s : QString());
    else
        readme << QString()
               << QStringLiteral(
                      "Run %1 was drawn as a change of an earlier run (%2); play it again from its "
                      "scenario:")
                      .arg(failure.number)
                      .arg(failure.variation.origin);
    readme << u"Play this scenario with the controller beside it, in the environment the run gave it:"_s
           << QStringLiteral("  unit-simulator --headless --scenario %1 --control %2 --report report.xml &")
                  .arg(shellQuoted(dir.filePath(u"scenario.yaml"_s)), kRecipeControl);
    QStringList assignments;
    for (const auto& [name, value] :
         controllerEnvironment(u"http://"_s + kRecipeControl, outcome.addresses, failure.variation.seed,
                               failure.scenario.timeScale))
        assignments << name + u'=' + shellQuoted(value);
    readme << QStringLiteral("  %1 sh -c %2").arg(assignments.join(u' '), shellQuoted(options.controller))
           << QString()
           << u"Beside this file: scenario.yaml, capture.pcap (the traffic of its last failing play), "
              u"report.xml (JUnit), report.html (a picture of that play: open it in a browser) and "
              u"controller.log (what the controller printed)."_s;
    // Its timeline in time order, the additions among the scenario's own events; events at one
    // time keep their order, as they fire in it.
    Scenario written = failure.scenario;
    std::stable_sort(written.timeline.begin(), written.timeline.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
    return writeWholeFile(dir.filePath(u"scenario.yaml"_s), header + ScenarioFile::toYaml(written), error) &&
           writeWholeFile(dir.filePath(u"capture.pcap"_s), outcome.capture, error) &&
           writeWholeFile(dir.filePath(u"report.xml"_s), withReplays(outcome.junit, failure.replaysText()),
                          error) &&
           writeWholeFile(dir.filePath(u"report.html"_s), outcome.html, error) &&
           writeWholeFile(dir.filePath(u"controller.log"_s), outcome.output, error) &&
           writeWholeFile(dir.filePath(u"README.txt"_s), readme.join(u'\n').toUtf8() + '\n', error);
}
