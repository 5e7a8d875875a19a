// The window's status bar: one short item a concern, its whole text on hover and on click.
#include "window1.h"

#include "mainmenubar.h"
#include "statusitem.h"

#include "app/consoleoutput.h"
#include "scenario/scenarioplayer.h"
#include "verify/expectationmonitor.h"

#include <QStatusBar>

void Window1::createStatusBar()
{
    UnitPortState = new StatusItem(QStringLiteral("UnitPortState"), this);
    DiscoveryPortState = new StatusItem(QStringLiteral("DiscoveryPortState"), this);
    ControlState = new StatusItem(QStringLiteral("ControlState"), this);
    FaultState = new StatusItem(QStringLiteral("FaultState"), this);
    statusBar()->addWidget(UnitPortState);
    statusBar()->addWidget(DiscoveryPortState);
    ScenarioState = new StatusItem(QStringLiteral("ScenarioState"), this);
    ScenarioState->hide(); // until a scenario is opened
    VerdictState = new StatusItem(QStringLiteral("VerdictState"), this);
    VerdictState->hide(); // until a scenario with expectations ends
    // The verdict's evidence is in the results.
    VerdictState->setOwnClick(true);
    connect(VerdictState, &StatusItem::clicked, this, &Window1::openResultsDialog);
    statusBar()->addPermanentWidget(ScenarioState);
    statusBar()->addPermanentWidget(VerdictState);
    statusBar()->addPermanentWidget(FaultState);
    statusBar()->addPermanentWidget(ControlState);
    statusBar()->setSizeGripEnabled(true);
    ControlState->hide(); // until the control API is started
    connect(&m_expectations, &ExpectationMonitor::changed, this, &Window1::showVerdict);
}

void Window1::showVerdict()
{
    if (!m_expectations.isActive() || !m_expectations.isFinished()) {
        VerdictState->hide();
        return;
    }
    const int failed = m_expectations.failedCount();
    const int notExercised = m_expectations.notExercisedCount();
    QString text = failed > 0         ? tr("Verdict: %1 failed").arg(failed)
                   : notExercised > 0 ? tr("Verdict: %1 not exercised").arg(notExercised)
                                      : tr("Verdict: passed");
    VerdictState->setTexts(
        text, m_expectations.report().join(u'\n') +
                  tr("\n\nScenario > Results\u2026 shows the evidence (a click on the verdict opens it)."));
    VerdictState->show();
}

void Window1::showScenarioState()
{
    const ScenarioPlayer* player = m_session.player();
    const bool running = player && player->isRunning();
    m_menuBar->ScenarioStart->setEnabled(player && !running);
    m_menuBar->ScenarioStop->setEnabled(running);
    m_menuBar->ScenarioRestart->setEnabled(player);
    m_menuBar->ScenarioResults->setEnabled(player);
    if (running && !m_scenarioClock->isActive())
        m_scenarioClock->start();
    else if (!running)
        m_scenarioClock->stop();
    if (!player)
        return;
    // "Scenario 4.4/12 s": the bar has room for that much at any window size.
    const std::optional<qint64> endMs = player->scenario().endMs;
    QString brief = tr("Scenario %1").arg(QString::number(double(player->elapsedMs()) / 1000, 'f', 1));
    brief += endMs ? u'/' + scenarioDurationText(*endMs) : tr(" s");
    if (player->isFinished())
        brief += tr(", ended");
    else if (!running)
        brief += tr(", stopped");
    ScenarioState->setTexts(brief, player->statusText());
    ScenarioState->show();
}

void Window1::showFaultState()
{
    // Enabled rules, whichever units they name.
    const QList<FaultInjector::Entry> rules = m_session.faultRules().rules();
    const int active = int(std::count_if(
        rules.cbegin(), rules.cend(), [](const FaultInjector::Entry& entry) { return entry.rule.enabled; }));
    const QString text = active == 0   ? tr("No fault rules active")
                         : active == 1 ? tr("1 fault rule active")
                                       : tr("%1 fault rules active").arg(active);
    FaultState->setTexts(text, text + tr(" (the Faults menu lists them)"));
}

void Window1::showEndpointState(int unit, bool listening, const QString& text)
{
    // The single unit shows both its ports; a fleet shows how many units listen, and says on
    // standard error which cannot.
    if (unit < 0 || !m_session.isFleet()) {
        const UnitSimulator& single = *m_session.units().first();
        const DatagramEndpoint& endpoint = unit < 0 ? single.discoveryEndpoint() : single.unitEndpoint();
        (unit < 0 ? DiscoveryPortState : UnitPortState)
            ->setTexts(statustext::port(unit < 0 ? tr("Discovery") : tr("Port"), endpoint.port(), listening,
                                        endpoint.bindError()),
                       text);
        printToStderr(text);
        return;
    }
    if (!listening)
        printToStderr(text);
    const QList<UnitSimulator*>& units = m_session.units();
    const qsizetype bound = std::count_if(units.cbegin(), units.cend(), [](const UnitSimulator* each) {
        return each->unitEndpoint().isBound();
    });
    UnitPortState->setTexts(
        tr("%1/%2 units").arg(bound).arg(units.size()),
        tr("%1 of %2 units listening, from %3 to %4")
            .arg(bound)
            .arg(units.size())
            .arg(units.first()->address().toString(), units.last()->address().toString()));
}
