#include "headlessrunner.h"

#include "consoleoutput.h"

#include "report/runreport.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <csignal>

#include <unistd.h>

HeadlessRunner::HeadlessRunner(const SimulatorOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_writer(STDOUT_FILENO, options.logFormat)
    , m_session(options.seed.value_or(drawSeed()))
{
    connect(&m_writer, &TrafficLogWriter::outputClosed, this, [] {
        printToStderr(QStringLiteral("Standard output is closed: traffic-log lines are no longer written."));
    });
    connect(&m_writer, &TrafficLogWriter::linesNotWritten, this, [this](quint64 count) {
        printToStderr(QStringLiteral("Standard output is not being read: %1 traffic-log line%2 not written%3")
                          .arg(count)
                          .arg(count == 1 ? QString() : QStringLiteral("s"),
                               m_log ? QStringLiteral(" (the stored log still holds them)") : QString()));
    });
    // Stopped before its end, a scenario's expectations are judged on what happened so far.
    connect(&m_signalWatcher, &UnixSignalWatcher::terminationRequested, this,
            [this] { QCoreApplication::exit(concludeExpectations()); });
    connect(&m_capture, &TrafficCapture::writeFailed, this, &printToStderr);

    // The units' lines, and a scenario's own (unit -1, which no address prefixes). Nothing on the
    // datagram path for a capture or a stream nobody asked for.
    if (!options.pcap.isEmpty())
        connect(&m_session, &ScenarioSession::trafficLogged, &m_capture, &TrafficCapture::appendFrom);
    if (!options.quiet)
        connect(&m_session, &ScenarioSession::trafficLogged, &m_writer, &TrafficLogWriter::appendFrom);
    if (keepsLog()) {
        m_log = std::make_unique<TrafficLogModel>();
        connect(&m_session, &ScenarioSession::trafficLogged, m_log.get(), &TrafficLogModel::appendFrom);
        // The stream is the log: the log's own notices (the store's removals, units replaced) are
        // its lines too, in the place the log gives them.
        if (!options.quiet)
            connect(m_log.get(), &TrafficLogModel::storeNotice, &m_writer,
                    [this](const QString& text) { m_writer.appendFrom(-1, TrafficLogEntry::notice(text)); });
    }
    // A fleet of thousands reports only what did not work, and then how many listen.
    connect(&m_session, &ScenarioSession::endpointStateChanged, this,
            [this](int, bool listening, const QString& text) {
                if (!listening || !m_session.isFleet())
                    printToStderr(text);
            });
    connect(&m_session, &ScenarioSession::replyNotSent, this, &printToStderr);
    connect(&m_session, &ScenarioSession::unitsReplaced, this, &HeadlessRunner::takeUnitAddresses);
    // With an end, the run is over when the command line's scenario is; a scenario put through
    // the control API ends and leaves the simulator serving.
    connect(&m_session, &ScenarioSession::scenarioLoaded, this, [this] {
        m_exitAtEnd = false;
        m_verdict.reset();
    });
    connect(&m_session, &ScenarioSession::scenarioFinished, this, [this] {
        printToStderr(QStringLiteral("Scenario ended: ") + m_session.player()->timingText());
        const int status = concludeExpectations();
        if (m_exitAtEnd)
            QCoreApplication::exit(status);
    });
    m_session.setExtraRules(options.faults);
    m_session.setDense(options.dense);
    if (m_log)
        m_monitor = std::make_unique<ExpectationMonitor>(*m_log, &m_session);
    if (m_log && !options.reportHtmlPath.isEmpty())
        m_picture = std::make_unique<RunPicture>(*m_log, m_session);
    if (options.control) {
        m_control = std::make_unique<ControlServer>(m_session, *m_log, options.control->token);
        m_control->setExpectations(m_monitor.get());
        m_control->setProxiesAllowed(options.control->allowProxies);
    }
}

int HeadlessRunner::concludeExpectations()
{
    if (m_verdict)
        return *m_verdict;
    const bool judged = m_monitor && m_monitor->isActive();
    // Only a scenario being played is judged: one that has not begun has no verdict yet.
    if (!judged &&
        (!m_session.player() || (m_options.reportPath.isEmpty() && m_options.reportHtmlPath.isEmpty())))
        return 0;
    int status = 0;
    if (judged) {
        m_monitor->finish();
        for (const QString& line : m_monitor->report())
            printToStderr(line);
        const bool unexercised = m_options.requireExercised && m_monitor->notExercisedCount() > 0;
        if (unexercised)
            printToStderr(QStringLiteral("--require-exercised: an expectation not exercised fails the run"));
        status = m_monitor->failedCount() > 0 || unexercised ? 4 : 0;
    }
    // The report is the command line's scenario's.
    if (m_exitAtEnd && !m_options.reportPath.isEmpty()) {
        if (writeReport())
            printToStderr(QStringLiteral("Report written to ") + m_options.reportPath);
        else if (status == 0)
            status = 1;
    }
    if (m_exitAtEnd && !m_options.reportHtmlPath.isEmpty()) {
        if (writeHtmlReport())
            printToStderr(QStringLiteral("Picture of the run written to ") + m_options.reportHtmlPath);
        else if (status == 0)
            status = 1;
    }
    m_verdict = status;
    return status;
}

bool HeadlessRunner::writeReport()
{
    if (m_options.reportPath.isEmpty())
        return true;
    QSaveFile file(m_options.reportPath);
    const QByteArray xml = m_monitor ? m_monitor->junitXml() : QByteArray();
    if (file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size() && file.commit())
        return true;
    printToStderr(
        QStringLiteral("Cannot write the report %1: %2").arg(m_options.reportPath, file.errorString()));
    return false;
}

bool HeadlessRunner::writeHtmlReport()
{
    if (!m_picture)
        return true;
    // Written once at the start too, so that a file that cannot be written stops the run then.
    QByteArray page = "<!doctype html><title>Run report</title><p>The run has not ended yet.</p>\n";
    if (m_picture->timeline()) {
        m_picture->conclude();
        const QList<ExpectationResult> results =
            m_monitor ? m_monitor->results() : QList<ExpectationResult>();
        page = runReportHtml(runReportJson(m_picture->title(), *m_picture->timeline(), results, *m_log));
    }
    QSaveFile file(m_options.reportHtmlPath);
    if (file.open(QIODevice::WriteOnly) && file.write(page) == page.size() && file.commit())
        return true;
    printToStderr(QStringLiteral("Cannot write the picture of the run %1: %2")
                      .arg(m_options.reportHtmlPath, file.errorString()));
    return false;
}

void HeadlessRunner::takeUnitAddresses()
{
    const QStringList addresses = m_session.unitAddresses();
    m_writer.setUnitAddresses(addresses);
    m_capture.setUnitAddresses(addresses);
    if (!m_log)
        return;
    // Before the first line the log simply takes them; later the units were replaced.
    if (m_log->endSeq() == 0)
        m_log->setUnitAddresses(addresses);
    else
        m_log->replaceUnits(addresses);
}

bool HeadlessRunner::keepsLog() const
{
    // Expectations are judged on the log.
    const bool judges = m_options.scenario && !m_options.scenario->expect.isEmpty();
    return m_options.control || !m_options.logDir.isEmpty() || judges || !m_options.reportPath.isEmpty() ||
           !m_options.reportHtmlPath.isEmpty();
}

bool HeadlessRunner::openLogStore()
{
    if (!m_log)
        return true;
    QString error;
    QStringList addresses;
    for (const FleetUnit& unit : std::as_const(m_options.fleet))
        addresses << unit.address.toString();
    std::unique_ptr<LogStore> store =
        LogStore::open({m_options.logDir, m_options.logDiskLimit, addresses}, &error);
    if (!store) {
        printToStderr(QStringLiteral("Cannot keep the traffic log: ") + error);
        return false;
    }
    printToStderr(QStringLiteral("Traffic log kept in %1 (at most %2 on disk; %3)")
                      .arg(store->directory(), LogStore::sizeText(store->diskLimit()),
                           store->keepsDirectory() ? QStringLiteral("it stays after the run")
                                                   : QStringLiteral("removed at exit; --log-dir keeps it")));
    m_log->setStore(std::move(store));
    connect(m_log.get(), &TrafficLogModel::storeNotice, this, &printToStderr);
    return true;
}

bool HeadlessRunner::listenForControl()
{
    if (!m_control)
        return true;
    const ControlOptions& control = *m_options.control;
    QString error;
    if (m_control->listen(control.address, control.port, &error))
        return true;
    printToStderr(QStringLiteral("Control API: cannot listen on %1:%2: %3")
                      .arg(control.address.toString())
                      .arg(control.port)
                      .arg(error));
    return false;
}

bool HeadlessRunner::openCapture()
{
    if (m_options.pcap.isEmpty())
        return true;
    QString error;
    if (m_capture.open(m_options.pcap, &error))
        return true;
    printToStderr(QStringLiteral("Cannot write the capture %1: %2").arg(m_options.pcap, error));
    return false;
}

void HeadlessRunner::watchStandardInput()
{
    // What comes in is read and dropped; the end of it (the writer is gone) ends the run.
    m_standardInput = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(m_standardInput.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN)))
            return;
        m_standardInput->setEnabled(false);
        printToStderr(QStringLiteral("Standard input closed: stopping (--exit-with-stdin)"));
        QCoreApplication::exit(concludeExpectations());
    });
}

int HeadlessRunner::start()
{
    // A log reader that goes away must not take the unit with it: no SIGPIPE, a message instead.
    std::signal(SIGPIPE, SIG_IGN);
    if (m_options.exitWithStdin)
        watchStandardInput();
    if (!m_options.fleet.isEmpty())
        return startFleet();
    // A report that cannot be written is said before anything runs.
    if (!listenForControl() || !openCapture() || !openLogStore() || !writeReport() || !writeHtmlReport())
        return 1;
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_session.seed()));
    for (qsizetype k = 0; k < m_options.faults.size(); ++k)
        printToStderr(QStringLiteral("Fault rule %1: %2").arg(k + 1).arg(m_options.faults[k].text));
    QString error;
    m_session.startUnits({}, m_options.profile, m_options.faults, &error);
    const UnitSimulator& unit = *m_session.units().first();
    // A CI job reads exit statuses, not standard error: a unit that cannot answer ends the run.
    if (!m_options.keepGoing && (!unit.unitEndpoint().isBound() || !unit.discoveryEndpoint().isBound())) {
        printToStderr(QStringLiteral("Stopping: a port of the unit cannot be bound (--keep-going runs on)"));
        return 1;
    }
    startScenario();
    // Last, so that a script waiting for this line finds the unit ready too.
    if (m_control)
        printToStderr(QStringLiteral("Control API listening on ") + m_control->url());
    return 0;
}

void HeadlessRunner::startScenario()
{
    if (!m_options.scenario)
        return;
    for (const QString& note : std::as_const(m_options.scenarioNotes))
        printToStderr(note);
    Scenario scenario = *m_options.scenario;
    scenario.seed = m_session.seed();
    for (const FaultRule& rule : std::as_const(scenario.faults))
        printToStderr(QStringLiteral("Fault rule of the scenario: %1").arg(rule.text));
    printToStderr(QStringLiteral("Scenario %1: %2 event%3%4, time scale %5")
                      .arg(scenario.name.isEmpty() ? m_options.scenarioPath : scenario.name)
                      .arg(scenario.timeline.size())
                      .arg(scenario.timeline.size() == 1 ? QString() : QStringLiteral("s"),
                           scenario.endMs
                               ? QStringLiteral(", ends at ") + scenarioDurationText(*scenario.endMs)
                               : QStringLiteral(", runs until stopped"))
                      .arg(scenario.timeScale));
    // The units are the scenario's already: it plays on them.
    QString error;
    m_session.play(scenario, &error);
    m_exitAtEnd = true;
}

int HeadlessRunner::startFleet()
{
    // Before anything is made: 10,000 units with sockets of their own take 20,000 open files.
    const qsizetype units = m_options.fleet.size();
    QString error;
    if (!ScenarioSession::reserveOpenFiles(units, m_session.isDenseFleet(units), &error)) {
        printToStderr(error);
        return 2;
    }
    if (!listenForControl() || !openCapture() || !openLogStore() || !writeReport() || !writeHtmlReport())
        return 1;
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_session.seed()));
    for (const FaultRule& rule : std::as_const(m_options.faults))
        printToStderr(QStringLiteral("Fault rule on every unit: %1").arg(rule.text));
    if (!m_session.startUnits(m_options.fleet, m_options.profile, m_options.faults, &error)) {
        printToStderr(error);
        return 2;
    }
    const UnitFleet& fleet = *m_session.fleet();
    printToStderr(QStringLiteral("%1 of %2 units listening, from %3 to %4")
                      .arg(fleet.listeningCount())
                      .arg(units)
                      .arg(m_session.units().first()->address().toString(),
                           m_session.units().last()->address().toString()));
    if (!m_options.keepGoing && (fleet.listeningCount() < units || !fleet.discoveryEndpoint().isBound())) {
        printToStderr(QStringLiteral("Stopping: %1 of %2 units cannot listen (--keep-going runs on)")
                          .arg(units - fleet.listeningCount())
                          .arg(units));
        return 1;
    }
    startScenario();
    // Last, so that a script waiting for this line finds the units ready too.
    if (m_control)
        printToStderr(QStringLiteral("Control API listening on ") + m_control->url());
    return 0;
}
