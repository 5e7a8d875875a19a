#include "expectationmonitor.h"

#include "expectationchecker.h"

#include "scenario/scenariosession.h"

using namespace expectcheck;
using namespace Qt::Literals::StringLiterals;

namespace {
ExpectationResult fresh(const ExpectationDefinition& expectation)
{
    ExpectationResult result;
    result.expectation = expectation;
    return result;
}
} // namespace

ExpectationMonitor::ExpectationMonitor(const TrafficLogModel& log, ScenarioSession* session, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_session(session)
    , m_clock(&TrafficLogEntry::now)
{
    m_timer.setInterval(kUpdateIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ExpectationMonitor::update);
    if (!session)
        return;
    connect(session, &ScenarioSession::scenarioLoaded, this,
            [this] { judge(m_session->player()->scenario()); });
    connect(session, &ScenarioSession::scenarioFinished, this, &ExpectationMonitor::finish);
    // Units made anew for a scenario without a player leave nothing to judge.
    connect(session, &ScenarioSession::unitsReplaced, this, [this] {
        if (!m_session->player())
            forget();
    });
}

ExpectationMonitor::~ExpectationMonitor() = default;

void ExpectationMonitor::forget()
{
    m_timer.stop();
    m_checkers.clear();
    m_context.reset();
    m_results.clear();
    m_expect.clear();
    m_started = false;
    m_finished = false;
    emit changed();
}

void ExpectationMonitor::judge(const Scenario& scenario, std::optional<quint64> fromSeq)
{
    forget();
    m_scenarioName = scenario.name;
    m_timeScale = scenario.timeScale;
    m_expect = scenario.expect;
    for (const ExpectationDefinition& expectation : std::as_const(m_expect))
        m_results.append(fresh(expectation));
    m_next = fromSeq.value_or(m_log.endSeq());
    m_unread = 0;
    if (isActive())
        m_timer.start();
    emit changed();
}

void ExpectationMonitor::begin(quint64 seq, qint64 timeUs)
{
    m_checkers.clear();
    for (ExpectationResult& result : m_results)
        result = fresh(result.expectation);
    m_context = std::make_unique<Context>(m_results, m_log.unitAddresses(), m_timeScale);
    // One maker a kind of check, in the order of ExpectationDefinition::Check.
    static constexpr CheckerFactory kMakers[] = {
        makeResendChecker,  makeMaxRateChecker,      makeDiscoveryIntervalChecker,
        makeBackoffChecker, makePollCoverageChecker, makeNoMalformedChecker,
        makeVerifyChecker,
    };
    static_assert(std::size(kMakers) == ExpectationDefinition::kCheckCount);
    for (int k = 0; k < m_expect.size(); ++k) {
        const ExpectationDefinition& e = m_expect[k];
        m_checkers.push_back(
            kMakers[std::size_t(e.check)]({*m_context, k, e, seq, timeUs, m_log, m_session}));
    }
    m_started = true;
    m_finished = false;
    m_startSeq = seq;
    m_startUs = timeUs;
    m_endUs = 0;
}

void ExpectationMonitor::readLine(quint64 seq, const LogLine& line)
{
    const TrafficLogEntry& entry = line.entry;
    if (entry.eventMark() == TrafficLogEntry::EventMark::ScenarioStarted) {
        begin(seq, entry.timeUs);
        emit changed();
        return;
    }
    if (!m_started || m_finished)
        return;
    for (const auto& checker : m_checkers)
        checker->advance(entry.timeUs);
    if (entry.isIncoming())
        m_context->countRequest();
    for (const auto& checker : m_checkers)
        checker->line(seq, line);
    if (entry.kind == Kind::Event && entry.eventMark() != TrafficLogEntry::EventMark::ScenarioEnded)
        m_context->noteEvent(seq, entry);
}

void ExpectationMonitor::update()
{
    if (!isActive())
        return;
    const quint64 end = m_log.endSeq();
    if (m_next < m_log.firstSeq()) {
        m_unread += m_log.firstSeq() - m_next;
        m_next = m_log.firstSeq();
    }
    LogLine line;
    while (m_next < end) {
        const quint64 seq = m_next;
        const quint64 held = m_log.heldFrom(seq);
        if (held != seq) {
            m_unread += held - seq;
            m_next = held;
            continue;
        }
        m_next = seq + 1;
        if (!m_log.lineWithSeq(seq, &line)) {
            ++m_unread;
            continue;
        }
        readLine(seq, line);
    }
    if (m_started && !m_finished) {
        const qint64 now = m_clock();
        for (const auto& checker : m_checkers) {
            checker->advance(now);
            checker->poll();
        }
        for (qsizetype k = 0; k < m_results.size(); ++k) {
            m_results[k].note = m_checkers[std::size_t(k)]->note();
            m_results[k].margin = m_checkers[std::size_t(k)]->margin();
        }
    }
    if (m_context && m_context->takeChanged())
        emit changed();
}

void ExpectationMonitor::finish()
{
    if (!isActive() || m_finished)
        return;
    update();
    // The timer runs on: a restart of the scenario is judged afresh from its new "started" line.
    if (!m_started) // never started: judged over nothing
        begin(m_log.endSeq(), m_clock());
    m_endUs = m_clock();
    for (qsizetype k = 0; k < m_results.size(); ++k) {
        Checker& checker = *m_checkers[std::size_t(k)];
        checker.finish(m_endUs, m_log.endSeq());
        m_results[k].note = checker.note();
        m_results[k].margin = checker.margin();
        if (m_unread > 0)
            m_results[k].note += QStringLiteral("; %1 log lines went before they were judged").arg(m_unread);
        m_context->conclude(int(k), checker.unexercised());
    }
    m_finished = true;
    m_context->takeChanged();
    emit changed();
}

double ExpectationMonitor::runSeconds() const
{
    if (!m_started)
        return 0;
    return double((m_finished ? m_endUs : m_clock()) - m_startUs) / 1e6;
}

int ExpectationMonitor::failedCount() const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [](const ExpectationResult& r) {
        return r.state == ExpectationResult::State::Failed;
    }));
}

int ExpectationMonitor::notExercisedCount() const
{
    return int(std::count_if(m_results.cbegin(), m_results.cend(), [](const ExpectationResult& r) {
        return r.state == ExpectationResult::State::NotExercised;
    }));
}
