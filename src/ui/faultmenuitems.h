#pragma once

#include <QList>
#include <QMetaObject>
#include <QObject>

class QAction;
class QMenu;
class ScenarioSession;

// One checkable item per fault rule in the Faults menu, kept in step with the rules: checked
// while the rule is enabled; unchecking it disables the rule. Every unit of a session holds the
// same rules under the same ids; the items show the first unit's, and act on all of them.
class FaultMenuItems : public QObject {
    Q_OBJECT

public:
    // The items go into `menu` just above `end`.
    FaultMenuItems(ScenarioSession& session, QMenu* menu, QAction* end, QObject* parent = nullptr);

private:
    void follow();
    void rebuild();

    ScenarioSession& m_session;
    QMenu* m_menu;
    QAction* m_end;
    QList<QAction*> m_items;
    QMetaObject::Connection m_rulesChanged;
};
