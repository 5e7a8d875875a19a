#include "exploreplay.h"

#include "capture/trafficcapture.h"
#include "consoleoutput.h"
#include "control/controlserver.h"
#include "log/trafficlogmodel.h"
#include "processgroup.h"
#include "report/runpicture.h"
#include "report/runreport.h"
#include "scenario/scenariosession.h"
#include "verify/expectationmonitor.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTimer>

#include <csignal>

#include <sys/types.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// What is kept of a controller's output for the failure's directory: its end.
constexpr qsizetype kMaxControllerOutput = 1024 * 1024;
} // namespace

QList<std::pair<QString, QString>>
controllerEnvironment(const QString& controlUrl, const QStringList& addresses, quint64 seed, double timeScale)
{
    return {{u"UNITSIM_CONTROL_URL"_s, controlUrl},
            {u"UNITSIM_UNITS"_s, addresses.isEmpty() ? u"127.0.0.1"_s : addresses.join(u',')},
            {u"UNITSIM_SEED"_s, QString::number(seed)},
            {u"UNITSIM_TIME_SCALE"_s, QString::number(timeScale, 'g', 12)}};
}

// Declared in the order they are made; the controller goes first, the log last.
struct LocalPlay::Parts {
    explicit Parts(const ExploreJob& given)
        : job(given)
        , session(job.scenario.seed.value_or(job.seed))
        , monitor(log, &session)
        , picture(log, session)
        , control(session, log, {})
    {
    }

    // Whatever the controller started goes with the play, also what outlived the shell, and
    // also when the play is ended early.
    ~Parts()
    {
        if (group > 0)
            ::kill(pid_t(-group), SIGKILL);
    }

    ExploreJob job;
    QElapsedTimer clock;
    TrafficLogModel log;
    ScenarioSession session;
    ExpectationMonitor monitor;
    RunPicture picture;
    ControlServer control;
    QProcess controller;
    QTimer killTimer;
    QByteArray output;
    bool scenarioOver = false;
    bool controllerOver = false;
    qint64 group = 0;             // the controller's process group, once started
    QDeadlineTimer groupDeadline; // from the scenario's end: how long the group is waited for
};

LocalPlay::LocalPlay(QObject* parent)
    : ExplorePlay(parent)
{
}

LocalPlay::~LocalPlay() = default;

qint64 LocalPlay::controllerGroup() const
{
    return m_parts ? m_parts->group : 0;
}

void LocalPlay::fail(const QString& problem)
{
    if (std::exchange(m_over, true))
        return;
    ExploreOutcome outcome;
    outcome.problem = problem;
    m_parts.reset();
    QMetaObject::invokeMethod(
        this, [this, outcome] { emit done(outcome); }, Qt::QueuedConnection);
}

void LocalPlay::start(const ExploreJob& job)
{
    m_parts = std::make_unique<Parts>(job);
    Parts& parts = *m_parts;
    parts.clock.start();
    connect(&parts.session, &ScenarioSession::trafficLogged, &parts.log, &TrafficLogModel::appendFrom);
    connect(&parts.session, &ScenarioSession::unitsReplaced, this,
            [&parts] { parts.log.setUnitAddresses(parts.session.unitAddresses()); });
    // After the monitor's own: the verdict is in when this comes.
    connect(&parts.session, &ScenarioSession::scenarioFinished, this, &LocalPlay::scenarioEnded);

    QString error;
    if (!parts.control.listen(QHostAddress::LocalHost, 0, &error) ||
        !parts.session.play(parts.job.scenario, &error))
        return fail(error);
    for (const UnitSimulator* unit : parts.session.units()) {
        if (!unit->unitEndpoint().isBound())
            return fail(unit->unitEndpointState());
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : controllerEnvironment(parts.control.url(), parts.session.unitAddresses(),
                                                           job.seed, job.scenario.timeScale))
        environment.insert(name, value);
    parts.controller.setProcessEnvironment(environment);
    parts.controller.setProcessChannelMode(QProcess::MergedChannels);
    connect(&parts.controller, &QProcess::readyRead, this, [&parts] {
        parts.output += parts.controller.readAll();
        if (parts.output.size() > kMaxControllerOutput)
            parts.output.remove(0, parts.output.size() - kMaxControllerOutput);
    });
    connect(&parts.controller, &QProcess::finished, this, &LocalPlay::controllerEnded, Qt::QueuedConnection);
    connect(&parts.controller, &QProcess::errorOccurred, this,
            [this, &parts](QProcess::ProcessError problem) {
                if (problem == QProcess::FailedToStart) {
                    parts.output +=
                        "the controller could not be started: " + parts.controller.errorString().toUtf8();
                    QMetaObject::invokeMethod(this, &LocalPlay::controllerEnded, Qt::QueuedConnection);
                }
            });
    parts.killTimer.setSingleShot(true);
    connect(&parts.killTimer, &QTimer::timeout, this, [&parts] { ::kill(pid_t(-parts.group), SIGKILL); });
    // A group of its own: the stop signals reach what the shell started too, not the shell alone.
    parts.controller.setChildProcessModifier([] { ::setpgid(0, 0); });
    parts.controller.start(u"/bin/sh"_s, {u"-c"_s, job.controller});
    parts.group = parts.controller.processId();
}

void LocalPlay::scenarioEnded()
{
    Parts& parts = *m_parts;
    parts.scenarioOver = true;
    // The shell and whatever it started, also what outlived a shell that ended early.
    if (parts.group > 0)
        ::kill(pid_t(-parts.group), SIGTERM);
    parts.killTimer.start(kStopGraceMs);
    parts.groupDeadline = QDeadlineTimer(kStopGraceMs + kGroupAfterKillMs);
    if (parts.controller.state() == QProcess::NotRunning)
        QMetaObject::invokeMethod(this, &LocalPlay::concludeWhenTheGroupIsGone, Qt::QueuedConnection);
}

void LocalPlay::controllerEnded()
{
    if (m_over || !m_parts || m_parts->controllerOver)
        return;
    m_parts->controllerOver = true;
    if (m_parts->scenarioOver)
        concludeWhenTheGroupIsGone();
    else
        printToStderr(QStringLiteral("Run %1: the controller ended before the scenario, after %2 s")
                          .arg(m_parts->job.number)
                          .arg(QString::number(double(m_parts->clock.elapsed()) / 1000, 'f', 1)));
}

void LocalPlay::concludeWhenTheGroupIsGone()
{
    if (m_over || !m_parts)
        return;
    const bool gone = !processGroupRuns(pid_t(m_parts->group));
    // Past the grace the group had its SIGKILL; a process the kernel holds on to is not waited for.
    if (gone || m_parts->groupDeadline.hasExpired())
        return conclude();
    QTimer::singleShot(kGroupPollMs, this, &LocalPlay::concludeWhenTheGroupIsGone);
}

void LocalPlay::conclude()
{
    if (std::exchange(m_over, true))
        return;
    Parts& parts = *m_parts;
    parts.monitor.finish();
    ExploreOutcome outcome;
    outcome.addresses = parts.session.unitAddresses();
    outcome.elapsedMs = parts.clock.elapsed();
    for (const ExpectationResult& result : parts.monitor.results()) {
        if (result.state == ExpectationResult::State::Failed)
            outcome.failed << result.expectation.name;
        if (result.margin)
            outcome.margins.insert(result.expectation.name, {result.margin->fraction, result.margin->unit});
    }
    if (!outcome.failed.isEmpty()) {
        outcome.report = parts.monitor.report();
        outcome.junit = parts.monitor.junitXml();
        outcome.output = parts.output;
        QString error;
        outcome.capture = TrafficCapture::ofLog(parts.log, &error);
        parts.picture.conclude();
        if (parts.picture.timeline())
            outcome.html = runReportHtml(runReportJson(parts.picture.title(), *parts.picture.timeline(),
                                                       parts.monitor.results(), parts.log));
        if (!error.isEmpty())
            outcome.report << u"(the capture could not be made: "_s + error + u')';
    }
    m_parts.reset(); // the units let go of their ports before the next play binds them
    emit done(outcome);
}
