#include "faultmenuitems.h"

#include "scenario/scenariosession.h"

#include <QMenu>

FaultMenuItems::FaultMenuItems(ScenarioSession& session, QMenu* menu, QAction* end, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_menu(menu)
    , m_end(end)
{
    connect(&session, &ScenarioSession::unitsReplaced, this, &FaultMenuItems::follow);
    follow();
}

void FaultMenuItems::follow()
{
    disconnect(m_rulesChanged);
    if (!m_session.units().isEmpty())
        m_rulesChanged = connect(&m_session.units().first()->faults(), &FaultInjector::rulesChanged, this,
                                 &FaultMenuItems::rebuild);
    rebuild();
}

void FaultMenuItems::rebuild()
{
    // Later, not now: the change may come from one of these items' own toggled() signal.
    for (QAction* item : std::as_const(m_items)) {
        m_menu->removeAction(item);
        item->deleteLater();
    }
    m_items.clear();
    if (m_session.units().isEmpty())
        return;
    for (const FaultInjector::Entry& entry : m_session.faultRules().rules()) {
        // The rule text is shown as it is: "&" in it would otherwise become an access key.
        auto* item =
            new QAction(QString(entry.rule.text).replace(QLatin1Char('&'), QLatin1String("&&")), m_menu);
        item->setObjectName(QStringLiteral("FaultRule%1").arg(entry.id));
        item->setCheckable(true);
        item->setChecked(entry.rule.enabled);
        const int id = entry.id;
        connect(item, &QAction::toggled, this,
                [this, id](bool checked) { m_session.faultRules().setEnabled(id, checked); });
        m_menu->insertAction(m_end, item);
        m_items.append(item);
    }
}
