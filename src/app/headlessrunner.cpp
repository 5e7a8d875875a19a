#include "headlessrunner.h"

#include "consoleoutput.h"
#include "openfilelimit.h"

#include <QCoreApplication>

#include <csignal>

#include <unistd.h>

HeadlessRunner::HeadlessRunner(const SimulatorOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_seed(options.seed.value_or(drawSeed()))
    , m_writer(STDOUT_FILENO, options.logFormat)
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
    connect(&m_signalWatcher, &UnixSignalWatcher::terminationRequested, this, &QCoreApplication::quit);
    connect(&m_capture, &TrafficCapture::writeFailed, this, &printToStderr);

    // A fleet is made in start(), once it is clear that its sockets fit: 65,535 units take
    // hundreds of megabytes.
    if (!options.fleet.isEmpty())
        return;

    m_unit = std::make_unique<UnitSimulator>(m_seed);
    if (!options.pcap.isEmpty())
        connect(m_unit.get(), &UnitSimulator::trafficLogged, &m_capture, &TrafficCapture::append);
    for (const FaultRule& rule : options.faults)
        m_unit->faults().add(rule);
    if (!options.quiet)
        connect(m_unit.get(), &UnitSimulator::trafficLogged, &m_writer, &TrafficLogWriter::append);
    connect(m_unit.get(), &UnitSimulator::endpointStateChanged, this,
            [](UnitSimulator::Endpoint, const QString& text) { printToStderr(text); });
    connect(m_unit.get(), &UnitSimulator::replyNotSent, this, &printToStderr);
    if (keepsLog()) {
        m_log = std::make_unique<TrafficLogModel>();
        connect(m_unit.get(), &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
    }
    if (options.control)
        m_control = std::make_unique<ControlServer>(*m_unit, *m_log, options.control->token);
}

bool HeadlessRunner::keepsLog() const
{
    return m_options.control || !m_options.logDir.isEmpty();
}

bool HeadlessRunner::openLogStore()
{
    if (!m_log)
        return true;
    QString error;
    std::unique_ptr<LogStore> store =
        LogStore::open({m_options.logDir, m_options.logDiskLimit, m_log->unitAddresses()}, &error);
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

int HeadlessRunner::start()
{
    // A log reader that goes away must not take the unit with it: no SIGPIPE, a message instead.
    std::signal(SIGPIPE, SIG_IGN);
    if (!m_options.fleet.isEmpty())
        return startFleet();
    if (!listenForControl() || !openCapture() || !openLogStore())
        return 1;
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_seed));
    for (const FaultInjector::Entry& entry : m_unit->faults().rules())
        printToStderr(QStringLiteral("Fault rule %1: %2").arg(entry.id).arg(entry.rule.text));
    m_unit->start(m_options.profile);
    // A CI job reads exit statuses, not standard error: a unit that cannot answer ends the run.
    if (!m_options.keepGoing &&
        (!m_unit->unitEndpoint().isBound() || !m_unit->discoveryEndpoint().isBound())) {
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
    QList<UnitSimulator*> units;
    if (m_unit)
        units << m_unit.get();
    for (qsizetype k = 0; m_fleet && k < m_fleet->size(); ++k)
        units << &m_fleet->unit(k);
    m_player = std::make_unique<ScenarioPlayer>(*m_options.scenario, units, m_options.faults);
    // Event lines belong to no unit: no address in front of them.
    if (!m_options.quiet)
        connect(m_player.get(), &ScenarioPlayer::eventLogged, this,
                [this](const TrafficLogEntry& entry) { m_writer.appendFrom(-1, entry); });
    if (m_log)
        connect(m_player.get(), &ScenarioPlayer::eventLogged, this,
                [this](const TrafficLogEntry& entry) { m_log->appendFrom(-1, entry); });
    connect(m_player.get(), &ScenarioPlayer::finished, this, [] { QCoreApplication::exit(0); });
    const Scenario& scenario = m_player->scenario();
    for (const FaultRule& rule : scenario.faults)
        printToStderr(QStringLiteral("Fault rule of the scenario: %1").arg(rule.text));
    printToStderr(QStringLiteral("Scenario %1: %2 event%3%4, time scale %5")
                      .arg(scenario.name.isEmpty() ? m_options.scenarioPath : scenario.name)
                      .arg(scenario.timeline.size())
                      .arg(scenario.timeline.size() == 1 ? QString() : QStringLiteral("s"),
                           scenario.endMs
                               ? QStringLiteral(", ends at ") + scenarioDurationText(*scenario.endMs)
                               : QStringLiteral(", runs until stopped"))
                      .arg(scenario.timeScale));
    m_player->applyStart();
    m_player->start();
}

void HeadlessRunner::setUpFleet()
{
    m_fleet = std::make_unique<UnitFleet>(m_options.fleet, m_seed);
    QStringList addresses;
    for (qsizetype k = 0; k < m_fleet->size(); ++k) {
        addresses << m_fleet->unit(k).address().toString();
        for (const FaultRule& rule : m_options.faults)
            m_fleet->unit(k).faults().add(rule);
    }
    m_writer.setUnitAddresses(addresses);
    m_capture.setUnitAddresses(addresses);
    // Nothing on the datagram path for a capture nobody asked for.
    if (!m_options.pcap.isEmpty())
        connect(m_fleet.get(), &UnitFleet::trafficLogged, &m_capture, &TrafficCapture::appendFrom);
    if (!m_options.quiet)
        connect(m_fleet.get(), &UnitFleet::trafficLogged, &m_writer, &TrafficLogWriter::appendFrom);
    // A fleet of thousands reports only what did not work, and then how many listen.
    connect(m_fleet.get(), &UnitFleet::endpointStateChanged, this,
            [](int, bool listening, const QString& text) {
                if (!listening)
                    printToStderr(text);
            });
    connect(m_fleet.get(), &UnitFleet::replyNotSent, this, &printToStderr);
    if (keepsLog()) {
        m_log = std::make_unique<TrafficLogModel>();
        m_log->setUnitAddresses(addresses);
        connect(m_fleet.get(), &UnitFleet::trafficLogged, m_log.get(), &TrafficLogModel::appendFrom);
    }
    if (m_options.control) {
        QList<UnitSimulator*> units;
        for (qsizetype k = 0; k < m_fleet->size(); ++k)
            units << &m_fleet->unit(k);
        m_control = std::make_unique<ControlServer>(units, *m_log, m_options.control->token);
    }
}

int HeadlessRunner::startFleet()
{
    // A socket a unit and one for the fleet's discovery, with room for what Qt and the process hold.
    const qsizetype units = m_options.fleet.size();
    const quint64 needed = quint64(units) + 64;
    QString error;
    if (!raiseOpenFileLimit(needed, &error)) {
        printToStderr(QStringLiteral("%1 units need %2 open files: %3").arg(units).arg(needed).arg(error));
        return 2;
    }
    setUpFleet();
    if (!listenForControl() || !openCapture() || !openLogStore())
        return 1;
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_seed));
    for (const FaultRule& rule : m_options.faults)
        printToStderr(QStringLiteral("Fault rule on every unit: %1").arg(rule.text));
    m_fleet->start();
    printToStderr(QStringLiteral("%1 of %2 units listening, from %3 to %4")
                      .arg(m_fleet->listeningCount())
                      .arg(m_fleet->size())
                      .arg(m_fleet->unit(0).address().toString(),
                           m_fleet->unit(m_fleet->size() - 1).address().toString()));
    if (!m_options.keepGoing &&
        (m_fleet->listeningCount() < m_fleet->size() || !m_fleet->discoveryEndpoint().isBound())) {
        printToStderr(QStringLiteral("Stopping: %1 of %2 units cannot listen (--keep-going runs on)")
                          .arg(m_fleet->size() - m_fleet->listeningCount())
                          .arg(m_fleet->size()));
        return 1;
    }
    startScenario();
    // Last, so that a script waiting for this line finds the units ready too.
    if (m_control)
        printToStderr(QStringLiteral("Control API listening on ") + m_control->url());
    return 0;
}
