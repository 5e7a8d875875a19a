#include "explorer.h"

#include "capture/trafficcapture.h"
#include "consoleoutput.h"
#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "scenario/explorevariation.h"
#include "scenario/scenariofile.h"
#include "scenario/scenariosession.h"
#include "verify/expectationmonitor.h"

#include <QDir>
#include <QProcess>
#include <QSaveFile>
#include <QTimer>

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

// Quoted for a POSIX shell, for the commands a README shows.
QString shellQuoted(const QString& text)
{
    return u'\'' + QString(text).replace(u"'"_s, u"'\\''"_s) + u'\'';
}
} // namespace

// Everything one run has of its own, made anew for each.
struct Explorer::Run {
    Run(int runNumber, Scenario played, ExploreVariation drawn)
        : number(runNumber)
        , scenario(std::move(played))
        , variation(std::move(drawn))
        , session(*scenario.seed)
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
};

Explorer::Explorer(ExploreOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

Explorer::~Explorer() = default;

int Explorer::lastRun() const
{
    return m_options.onlyRun ? *m_options.onlyRun : m_options.runs - 1;
}

void Explorer::start()
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

void Explorer::stop()
{
    if (std::exchange(m_stopping, true))
        return;
    printToStderr(u"Stopping after this run"_s);
}

void Explorer::startRun(int number)
{
    const ExploreVariation variation = drawVariation(m_options.scenario, m_options.seed, number);
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
    connect(&run.session, &ScenarioSession::scenarioFinished, this, &Explorer::scenarioEnded);

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
    environment.insert(u"UNITSIM_CONTROL_URL"_s, run.control.url());
    const QStringList addresses = run.session.unitAddresses();
    environment.insert(u"UNITSIM_UNITS"_s, addresses.isEmpty() ? u"127.0.0.1"_s : addresses.join(u','));
    environment.insert(u"UNITSIM_SEED"_s, QString::number(variation.seed));
    environment.insert(u"UNITSIM_TIME_SCALE"_s, QString::number(scenario.timeScale, 'g', 12));
    run.controller.setProcessEnvironment(environment);
    run.controller.setProcessChannelMode(QProcess::MergedChannels);
    connect(&run.controller, &QProcess::readyRead, this, [&run] {
        run.output += run.controller.readAll();
        if (run.output.size() > kMaxControllerOutput)
            run.output.remove(0, run.output.size() - kMaxControllerOutput);
    });
    connect(&run.controller, &QProcess::finished, this, &Explorer::controllerEnded, Qt::QueuedConnection);
    connect(&run.controller, &QProcess::errorOccurred, this, [this, &run](QProcess::ProcessError problem) {
        if (problem == QProcess::FailedToStart) {
            run.output += "the controller could not be started: " + run.controller.errorString().toUtf8();
            QMetaObject::invokeMethod(this, &Explorer::controllerEnded, Qt::QueuedConnection);
        }
    });
    run.killTimer.setSingleShot(true);
    connect(&run.killTimer, &QTimer::timeout, &run.controller, &QProcess::kill);
    run.controller.start(u"/bin/sh"_s, {u"-c"_s, m_options.controller});
}

void Explorer::scenarioEnded()
{
    Run& run = *m_run;
    run.scenarioOver = true;
    if (run.controller.state() == QProcess::NotRunning)
        return QMetaObject::invokeMethod(this, &Explorer::concludeRun, Qt::QueuedConnection), void();
    run.controller.terminate();
    run.killTimer.start(kStopGraceMs);
}

void Explorer::controllerEnded()
{
    if (!m_run || m_run->controllerOver)
        return;
    m_run->controllerOver = true;
    if (m_run->scenarioOver)
        concludeRun();
    else
        printToStderr(QStringLiteral("Run %1: the controller ended before the scenario, after %2")
                          .arg(m_run->number)
                          .arg(seconds(m_run->clock.elapsed())));
}

void Explorer::concludeRun()
{
    if (!m_run || std::exchange(m_run->concluded, true))
        return;
    Run& run = *m_run;
    run.monitor.finish();
    ++m_runsDone;
    QStringList failed;
    for (const ExpectationResult& result : run.monitor.results()) {
        if (result.state == ExpectationResult::State::Failed)
            failed << result.expectation.name;
    }
    QString line = QStringLiteral("Run %1%2 (seed %3, %4 addition%5): ")
                       .arg(run.number)
                       .arg(m_options.onlyRun ? QString() : QStringLiteral("/%1").arg(m_options.runs))
                       .arg(run.variation.seed)
                       .arg(run.variation.additions.size())
                       .arg(run.variation.additions.size() == 1 ? QString() : u"s"_s);
    if (failed.isEmpty()) {
        printToStderr(line + u"passed in "_s + seconds(run.clock.elapsed()));
    } else {
        const QString directory =
            QDir(m_options.outDir).filePath(QStringLiteral("failure-%1").arg(m_failures.size() + 1));
        QString error;
        if (!writeFailure(directory, &error)) {
            printToStderr(line + u"FAILED ("_s + failed.join(u", "_s) + u"); cannot write it: "_s + error);
            return finish(1);
        }
        m_failures << directory;
        printToStderr(line + u"FAILED "_s + failed.join(u", "_s) + u" -> "_s + directory);
    }
    const int number = run.number;
    m_run.reset(); // the units let go of their ports before the next run binds them

    const bool budgetSpent = m_options.budgetMs && m_clock.elapsed() >= *m_options.budgetMs;
    if (budgetSpent && number < lastRun())
        printToStderr(
            QStringLiteral("The budget of %1 is spent").arg(scenarioDurationText(*m_options.budgetMs)));
    if (m_stopping || budgetSpent || number >= lastRun())
        return finish(m_failures.isEmpty() ? 0 : 4);
    QMetaObject::invokeMethod(
        this, [this, number] { startRun(number + 1); }, Qt::QueuedConnection);
}

bool Explorer::writeFailure(const QString& directory, QString* error)
{
    const Run& run = *m_run;
    if (!QDir().mkpath(directory)) {
        *error = directory + u": cannot be made"_s;
        return false;
    }
    const QDir dir(directory);
    QStringList failed;
    for (const ExpectationResult& result : run.monitor.results()) {
        if (result.state == ExpectationResult::State::Failed)
            failed << result.expectation.name;
    }
    const QByteArray header =
        QStringLiteral("# Run %1 of an exploration of %2 from seed %3, as played: it failed %4.\n")
            .arg(run.number)
            .arg(m_options.scenarioPath)
            .arg(m_options.seed)
            .arg(failed.join(u", "_s))
            .toUtf8();
    QString captureError;
    const QByteArray capture = TrafficCapture::ofLog(run.log, &captureError);
    if (!captureError.isEmpty()) {
        *error = u"the capture: "_s + captureError;
        return false;
    }
    QStringList readme{QStringLiteral("Run %1 of an exploration of %2 from seed %3 failed.")
                           .arg(run.number)
                           .arg(m_options.scenarioPath)
                           .arg(m_options.seed),
                       QString()};
    readme << run.monitor.report() << QString() << u"What the run added to the scenario:"_s;
    for (const ScenarioEvent& event : run.variation.additions)
        readme << QStringLiteral("- at %1: %2")
                      .arg(scenarioDurationText(event.atMs), run.scenario.eventText(event));
    readme << QString() << u"Repeat the run alone:"_s
           << QStringLiteral("  unit-simulator --explore %1 --controller %2 --seed %3 --explore-run %4")
                  .arg(shellQuoted(m_options.scenarioPath), shellQuoted(m_options.controller))
                  .arg(m_options.seed)
                  .arg(run.number)
           << u"Or play its scenario (scenario.yaml) with the controller beside it:"_s
           << QStringLiteral("  unit-simulator --headless --scenario %1 --report report.xml")
                  .arg(shellQuoted(dir.filePath(u"scenario.yaml"_s)))
           << QString()
           << u"Beside this file: scenario.yaml, capture.pcap (the run's traffic), report.xml (JUnit) "
              u"and controller.log (what the controller printed)."_s;
    return writeFile(dir.filePath(u"scenario.yaml"_s), header + ScenarioFile::toYaml(run.scenario), error) &&
           writeFile(dir.filePath(u"capture.pcap"_s), capture, error) &&
           writeFile(dir.filePath(u"report.xml"_s), run.monitor.junitXml(), error) &&
           writeFile(dir.filePath(u"controller.log"_s), run.output, error) &&
           writeFile(dir.filePath(u"README.txt"_s), readme.join(u'\n').toUtf8() + '\n', error);
}

void Explorer::finish(int status)
{
    m_run.reset();
    printToStderr(QStringLiteral("Explored %1 run%2 in %3 from seed %4: %5 failed%6")
                      .arg(m_runsDone)
                      .arg(m_runsDone == 1 ? QString() : u"s"_s, seconds(m_clock.elapsed()))
                      .arg(m_options.seed)
                      .arg(m_failures.size())
                      .arg(m_failures.isEmpty() ? QString() : u" ("_s + m_failures.join(u", "_s) + u')'));
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}
