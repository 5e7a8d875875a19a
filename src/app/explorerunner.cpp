#include "explorerunner.h"

#include "capture/trafficcapture.h"
#include "consoleoutput.h"
#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "processgroup.h"
#include "scenario/explorevariation.h"
#include "scenario/scenariofile.h"
#include "scenario/scenariosession.h"
#include "verify/expectationmonitor.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <sys/types.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// What is kept of a controller's output for the failure's directory: its end.
constexpr qsizetype kMaxControllerOutput = 1024 * 1024;

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 1) + u" s"_s;
}

bool writeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = path + u": "_s + file.errorString();
    return false;
}

// Where a failing run's README has the scenario's control API listen.
const QString kRecipeControl = QStringLiteral("127.0.0.1:8080");

// What a controller is told of its run: the control API, the units, the run's seed and time scale.
QList<std::pair<QString, QString>> controllerEnvironment(const QString& controlUrl,
                                                         const QStringList& addresses, quint64 seed,
                                                         const Scenario& scenario)
{
    return {{u"UNITSIM_CONTROL_URL"_s, controlUrl},
            {u"UNITSIM_UNITS"_s, addresses.isEmpty() ? u"127.0.0.1"_s : addresses.join(u',')},
            {u"UNITSIM_SEED"_s, QString::number(seed)},
            {u"UNITSIM_TIME_SCALE"_s, QString::number(scenario.timeScale, 'g', 12)}};
}

// Quoted for a POSIX shell, for the commands a README shows.
QString shellQuoted(const QString& text)
{
    return u'\'' + QString(text).replace(u"'"_s, u"'\\''"_s) + u'\'';
}
} // namespace

// Everything one run has of its own, made anew for each.
struct ExploreRunner::Run {
    Run(int runNumber, Scenario played, ExploreVariation drawn)
        : number(runNumber)
        , scenario(std::move(played))
        , variation(std::move(drawn))
        , session(scenario.seed.value_or(variation.seed))
        , monitor(log, &session)
        , control(session, log, {})
    {
    }

    int number;
    Scenario scenario;
    ExploreVariation variation;
    QElapsedTimer clock;
    // Declared in the order they are made; the controller goes first, the log last.
    TrafficLogModel log;
    ScenarioSession session;
    ExpectationMonitor monitor;
    ControlServer control;
    QProcess controller;
    QTimer killTimer;
    QByteArray output;
    bool scenarioOver = false;
    bool controllerOver = false;
    bool concluded = false;

    // Whatever the controller started goes with the run, also what outlived the shell, and also
    // when the exploration stops early.
    ~Run()
    {
        if (group > 0)
            ::kill(pid_t(-group), SIGKILL);
    }
    qint64 group = 0;             // the controller's process group, once started
    QDeadlineTimer groupDeadline; // from the scenario's end: how long the group is waited for
};

ExploreRunner::ExploreRunner(ExploreOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

ExploreRunner::~ExploreRunner() = default;

QString ExploreRunner::progress() const
{
    QStringList parts;
    if (!m_failures.isEmpty())
        parts << QStringLiteral("%1 failure%2 found")
                     .arg(m_failures.size())
                     .arg(m_failures.size() == 1 ? QString() : u"s"_s);
    if (m_options.budgetMs)
        parts << scenarioDurationText(std::max<qint64>(0, *m_options.budgetMs - m_clock.elapsed())) +
                     u" left"_s;
    return parts.isEmpty() ? QString() : u" ("_s + parts.join(u", "_s) + u')';
}

int ExploreRunner::lastRun() const
{
    return m_options.onlyRun ? *m_options.onlyRun : m_options.runs - 1;
}

void ExploreRunner::start()
{
    m_clock.start();
    printToStderr(
        QStringLiteral("Exploring %1: %2 from seed %3%4; controller: %5")
            .arg(m_options.scenarioPath, m_options.onlyRun
                                             ? QStringLiteral("run %1 alone").arg(*m_options.onlyRun)
                                             : QStringLiteral("%1 runs").arg(m_options.runs))
            .arg(m_options.seed)
            .arg(m_options.budgetMs ? u", within "_s + scenarioDurationText(*m_options.budgetMs) : QString(),
                 m_options.controller));
    startRun(m_options.onlyRun.value_or(0));
}

void ExploreRunner::stop()
{
    if (std::exchange(m_stopping, true))
        return;
    printToStderr(u"Stopping after this run"_s);
}

void ExploreRunner::startRun(int number)
{
    play(number, drawVariation(m_options.scenario, m_options.seed, number));
}

void ExploreRunner::play(int number, const ExploreVariation& variation)
{
    Scenario scenario = withAdditions(m_options.scenario, variation.additions);
    if (!scenario.seed)
        scenario.seed = variation.seed;
    m_run = std::make_unique<Run>(number, scenario, variation);
    Run& run = *m_run;
    run.clock.start();
    connect(&run.session, &ScenarioSession::trafficLogged, &run.log, &TrafficLogModel::appendFrom);
    connect(&run.session, &ScenarioSession::unitsReplaced, this,
            [&run] { run.log.setUnitAddresses(run.session.unitAddresses()); });
    // After the monitor's own: the verdict is in when this comes.
    connect(&run.session, &ScenarioSession::scenarioFinished, this, &ExploreRunner::scenarioEnded);

    QString error;
    if (!run.control.listen(QHostAddress::LocalHost, 0, &error) || !run.session.play(scenario, &error)) {
        printToStderr(QStringLiteral("Run %1 cannot start: %2").arg(number).arg(error));
        return finish(1);
    }
    for (const UnitSimulator* unit : run.session.units()) {
        if (!unit->unitEndpoint().isBound()) {
            printToStderr(
                QStringLiteral("Run %1 cannot start: %2").arg(number).arg(unit->unitEndpointState()));
            return finish(1);
        }
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] :
         controllerEnvironment(run.control.url(), run.session.unitAddresses(), variation.seed, scenario))
        environment.insert(name, value);
    run.controller.setProcessEnvironment(environment);
    run.controller.setProcessChannelMode(QProcess::MergedChannels);
    connect(&run.controller, &QProcess::readyRead, this, [&run] {
        run.output += run.controller.readAll();
        if (run.output.size() > kMaxControllerOutput)
            run.output.remove(0, run.output.size() - kMaxControllerOutput);
    });
    connect(&run.controller, &QProcess::finished, this, &ExploreRunner::controllerEnded,
            Qt::QueuedConnection);
    connect(&run.controller, &QProcess::errorOccurred, this, [this, &run](QProcess::ProcessError problem) {
        if (problem == QProcess::FailedToStart) {
            run.output += "the controller could not be started: " + run.controller.errorString().toUtf8();
            QMetaObject::invokeMethod(this, &ExploreRunner::controllerEnded, Qt::QueuedConnection);
        }
    });
    run.killTimer.setSingleShot(true);
    connect(&run.killTimer, &QTimer::timeout, this, [&run] { ::kill(pid_t(-run.group), SIGKILL); });
    // A group of its own: the stop signals reach what the shell started too, not the shell alone.
    run.controller.setChildProcessModifier([] { ::setpgid(0, 0); });
    run.controller.start(u"/bin/sh"_s, {u"-c"_s, m_options.controller});
    run.group = run.controller.processId();
}

void ExploreRunner::scenarioEnded()
{
    Run& run = *m_run;
    run.scenarioOver = true;
    // The shell and whatever it started, also what outlived a shell that ended early.
    if (run.group > 0)
        ::kill(pid_t(-run.group), SIGTERM);
    run.killTimer.start(kStopGraceMs);
    run.groupDeadline = QDeadlineTimer(kStopGraceMs + kGroupAfterKillMs);
    if (run.controller.state() == QProcess::NotRunning)
        QMetaObject::invokeMethod(this, &ExploreRunner::concludeWhenTheGroupIsGone, Qt::QueuedConnection);
}

void ExploreRunner::concludeWhenTheGroupIsGone()
{
    if (!m_run || m_run->concluded)
        return;
    Run& run = *m_run;
    const bool gone = !processGroupRuns(pid_t(run.group));
    // Past the grace the group had its SIGKILL; a process the kernel holds on to is not waited for.
    if (gone || run.groupDeadline.hasExpired())
        return concludeRun();
    QTimer::singleShot(kGroupPollMs, this, &ExploreRunner::concludeWhenTheGroupIsGone);
}

void ExploreRunner::controllerEnded()
{
    if (!m_run || m_run->controllerOver)
        return;
    m_run->controllerOver = true;
    if (m_run->scenarioOver)
        concludeWhenTheGroupIsGone();
    else
        printToStderr(QStringLiteral("Run %1: the controller ended before the scenario, after %2")
                          .arg(m_run->number)
                          .arg(seconds(m_run->clock.elapsed())));
}

void ExploreRunner::concludeRun()
{
    if (!m_run || std::exchange(m_run->concluded, true))
        return;
    Run& run = *m_run;
    run.monitor.finish();
    Outcome outcome;
    outcome.number = run.number;
    outcome.variation = run.variation;
    outcome.scenario = run.scenario;
    outcome.addresses = run.session.unitAddresses();
    outcome.elapsedMs = run.clock.elapsed();
    for (const ExpectationResult& result : run.monitor.results()) {
        if (result.state == ExpectationResult::State::Failed)
            outcome.failed << result.expectation.name;
    }
    if (!outcome.failed.isEmpty()) {
        outcome.report = run.monitor.report();
        outcome.junit = run.monitor.junitXml();
        outcome.output = run.output;
        QString error;
        outcome.capture = TrafficCapture::ofLog(run.log, &error);
        if (!error.isEmpty())
            outcome.report << u"(the capture could not be made: "_s + error + u')';
    }
    m_run.reset(); // the units let go of their ports before the next run binds them
    if (m_shrink)
        return shrinkStep(outcome);
    ++m_runsDone;
    const QString line = QStringLiteral("Run %1%2 (seed %3, %4 addition%5): ")
                             .arg(outcome.number)
                             .arg(m_options.onlyRun ? QString() : QStringLiteral("/%1").arg(m_options.runs))
                             .arg(outcome.variation.seed)
                             .arg(outcome.variation.additions.size())
                             .arg(outcome.variation.additions.size() == 1 ? QString() : u"s"_s);
    if (outcome.failed.isEmpty()) {
        printToStderr(line + u"passed in "_s + seconds(outcome.elapsedMs) + progress());
        return next(outcome.number);
    }
    printToStderr(line + u"FAILED "_s + outcome.failed.join(u", "_s));
    // The run alone, as asked, is written as it played.
    if (m_options.onlyRun)
        return record(outcome, {});
    m_shrink.reset(new Shrink{ShrinkSearch(m_options.scenario, outcome.failed.first(), outcome.variation,
                                           kShrinkRepeats, kShrinkPlays),
                              outcome});
    printToStderr(
        QStringLiteral("Shrinking run %1 while \"%2\" still fails (each smaller variation played %3 "
                       "times; at most %4 plays)")
            .arg(outcome.number)
            .arg(m_shrink->search.target())
            .arg(kShrinkRepeats)
            .arg(kShrinkPlays));
    tryCandidate();
}

void ExploreRunner::tryCandidate()
{
    Shrink& shrink = *m_shrink;
    const bool budgetSpent = m_options.budgetMs && m_clock.elapsed() >= *m_options.budgetMs;
    const std::optional<ExploreVariation> variation =
        budgetSpent || m_stopping ? std::nullopt : shrink.search.next();
    if (!variation) {
        const QString why = budgetSpent  ? u"the exploration's budget is spent"_s
                            : m_stopping ? u"stopped"_s
                                         : shrink.search.whyOver();
        const Outcome smallest = shrink.smallest;
        const int steps = shrink.search.steps();
        const QString summary = QStringLiteral("shrunk in %1 step%2 and %3 plays (%4): %5 addition%6 left")
                                    .arg(steps)
                                    .arg(steps == 1 ? QString() : u"s"_s)
                                    .arg(shrink.search.plays())
                                    .arg(why)
                                    .arg(smallest.variation.additions.size())
                                    .arg(smallest.variation.additions.size() == 1 ? QString() : u"s"_s);
        m_shrink.reset();
        return record(smallest, summary);
    }
    QMetaObject::invokeMethod(
        this, [this, number = shrink.smallest.number, variation = *variation] { play(number, variation); },
        Qt::QueuedConnection);
}

void ExploreRunner::shrinkStep(const Outcome& outcome)
{
    Shrink& shrink = *m_shrink;
    // Kept only when every play of it fails the same way: a flaky result is a pass.
    if (shrink.search.record(outcome.failed) != ShrinkSearch::Verdict::Kept)
        return tryCandidate();
    shrink.smallest = outcome;
    printToStderr(QStringLiteral("  shrink step %1 (%2 plays, %3 left): %4: still fails")
                      .arg(shrink.search.steps())
                      .arg(shrink.search.plays())
                      .arg(m_options.budgetMs ? scenarioDurationText(std::max<qint64>(
                                                    0, *m_options.budgetMs - m_clock.elapsed()))
                                              : QStringLiteral("%1 plays").arg(shrink.search.playsLeft()))
                      .arg(shrink.search.lastChange()));
    tryCandidate();
}

void ExploreRunner::record(const Outcome& outcome, const QString& shrinkSummary)
{
    const QString directory =
        QDir(m_options.outDir).filePath(QStringLiteral("failure-%1").arg(m_failures.size() + 1));
    QString error;
    if (!writeFailure(directory, outcome, shrinkSummary, &error)) {
        printToStderr(u"Cannot write the failing run: "_s + error);
        return finish(1);
    }
    m_failures << directory;
    printToStderr(QStringLiteral("  run %1%2 -> %3")
                      .arg(outcome.number)
                      .arg(shrinkSummary.isEmpty() ? QString() : u", "_s + shrinkSummary, directory));
    next(outcome.number);
}

void ExploreRunner::next(int number)
{
    const bool budgetSpent = m_options.budgetMs && m_clock.elapsed() >= *m_options.budgetMs;
    if (budgetSpent && number < lastRun())
        printToStderr(
            QStringLiteral("The budget of %1 is spent").arg(scenarioDurationText(*m_options.budgetMs)));
    if (m_stopping || budgetSpent || number >= lastRun())
        return finish(m_failures.isEmpty() ? 0 : 4);
    QMetaObject::invokeMethod(
        this, [this, number] { startRun(number + 1); }, Qt::QueuedConnection);
}

bool ExploreRunner::writeFailure(const QString& directory, const Outcome& outcome,
                                 const QString& shrinkSummary, QString* error)
{
    if (!QDir().mkpath(directory)) {
        *error = directory + u": cannot be made"_s;
        return false;
    }
    const QDir dir(directory);
    const QString as = shrinkSummary.isEmpty() ? u"as played"_s : shrinkSummary;
    const QByteArray header =
        QStringLiteral("# Run %1 of an exploration of %2 from seed %3, %4: it fails %5.\n")
            .arg(outcome.number)
            .arg(m_options.scenarioPath)
            .arg(m_options.seed)
            .arg(as, outcome.failed.join(u", "_s))
            .toUtf8();
    QStringList readme{QStringLiteral("Run %1 of an exploration of %2 from seed %3 failed; %4.")
                           .arg(outcome.number)
                           .arg(m_options.scenarioPath)
                           .arg(m_options.seed)
                           .arg(as),
                       QString()};
    readme << outcome.report << QString() << u"What the run adds to the scenario (scenario.yaml holds it):"_s;
    for (const ScenarioEvent& event : outcome.variation.additions)
        readme << QStringLiteral("- at %1: %2")
                      .arg(scenarioDurationText(event.atMs), outcome.scenario.eventText(event));
    readme << QString() << u"Repeat the run as the exploration first played it:"_s
           << QStringLiteral("  unit-simulator --explore %1 --controller %2 --seed %3 --explore-run %4")
                  .arg(shellQuoted(m_options.scenarioPath), shellQuoted(m_options.controller))
                  .arg(m_options.seed)
                  .arg(outcome.number)
           << u"Play this scenario with the controller beside it, in the environment the run gave it:"_s
           << QStringLiteral("  unit-simulator --headless --scenario %1 --control %2 --report report.xml &")
                  .arg(shellQuoted(dir.filePath(u"scenario.yaml"_s)), kRecipeControl);
    QStringList assignments;
    for (const auto& [name, value] : controllerEnvironment(u"http://"_s + kRecipeControl, outcome.addresses,
                                                           outcome.variation.seed, outcome.scenario))
        assignments << name + u'=' + shellQuoted(value);
    readme << QStringLiteral("  %1 sh -c %2").arg(assignments.join(u' '), shellQuoted(m_options.controller))
           << QString()
           << u"Beside this file: scenario.yaml, capture.pcap (the traffic of its last failing play), "
              u"report.xml "
              u"(JUnit) and controller.log (what the controller printed)."_s;
    // Its timeline in time order, the additions among the scenario's own events; events at one
    // time keep their order, as they fire in it.
    Scenario written = outcome.scenario;
    std::stable_sort(written.timeline.begin(), written.timeline.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
    return writeFile(dir.filePath(u"scenario.yaml"_s), header + ScenarioFile::toYaml(written), error) &&
           writeFile(dir.filePath(u"capture.pcap"_s), outcome.capture, error) &&
           writeFile(dir.filePath(u"report.xml"_s), outcome.junit, error) &&
           writeFile(dir.filePath(u"controller.log"_s), outcome.output, error) &&
           writeFile(dir.filePath(u"README.txt"_s), readme.join(u'\n').toUtf8() + '\n', error);
}

void ExploreRunner::finish(int status)
{
    m_run.reset();
    m_shrink.reset();
    printToStderr(QStringLiteral("Explored %1 run%2 in %3 from seed %4: %5 failed%6")
                      .arg(m_runsDone)
                      .arg(m_runsDone == 1 ? QString() : u"s"_s, seconds(m_clock.elapsed()))
                      .arg(m_options.seed)
                      .arg(m_failures.size())
                      .arg(m_failures.isEmpty() ? QString() : u" ("_s + m_failures.join(u", "_s) + u')'));
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}
