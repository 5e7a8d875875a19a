#include "headlessrunner.h"

#include "consoleoutput.h"

#include <QCoreApplication>

#include <csignal>

HeadlessRunner::HeadlessRunner(const SimulatorOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_unit(options.seed.value_or(drawSeed()))
    , m_writer(stdout, options.logFormat)
{
    for (const FaultRule& rule : options.faults)
        m_unit.faults().add(rule);
    if (!options.quiet)
        connect(&m_unit, &UnitSimulator::trafficLogged, &m_writer, &TrafficLogWriter::append);
    connect(&m_unit, &UnitSimulator::endpointStateChanged, this,
            [](UnitSimulator::Endpoint, const QString& text) { printToStderr(text); });
    connect(&m_unit, &UnitSimulator::replyNotSent, this, &printToStderr);
    connect(&m_writer, &TrafficLogWriter::outputClosed, this, [] {
        printToStderr(QStringLiteral("Standard output is closed: traffic-log lines are no longer written."));
    });
    connect(&m_signalWatcher, &UnixSignalWatcher::terminationRequested, this, &QCoreApplication::quit);
    if (options.control) {
        m_log = std::make_unique<TrafficLogModel>();
        connect(&m_unit, &UnitSimulator::trafficLogged, m_log.get(), &TrafficLogModel::append);
        m_control = std::make_unique<ControlServer>(m_unit, *m_log, options.control->token);
    }
}

bool HeadlessRunner::start()
{
    if (m_control) {
        const ControlOptions& control = *m_options.control;
        QString error;
        if (!m_control->listen(control.address, control.port, &error)) {
            printToStderr(QStringLiteral("Control API: cannot listen on %1:%2: %3")
                              .arg(control.address.toString())
                              .arg(control.port)
                              .arg(error));
            return false;
        }
    }
    // A log reader that goes away must not take the unit with it: no SIGPIPE, a message instead.
    std::signal(SIGPIPE, SIG_IGN);
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_unit.seed()));
    for (const FaultInjector::Entry& entry : m_unit.faults().rules())
        printToStderr(QStringLiteral("Fault rule %1: %2").arg(entry.id).arg(entry.rule.text));
    m_unit.start(m_options.profile);
    // Last, so that a script waiting for this line finds the unit ready too.
    if (m_control)
        printToStderr(QStringLiteral("Control API listening on ") + m_control->url());
    return true;
}
