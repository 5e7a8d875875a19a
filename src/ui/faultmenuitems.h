#pragma once

#include <QList>
#include <QObject>

class FaultInjector;
class QAction;
class QMenu;

// One checkable item per fault rule in the Faults menu, kept in step with the rules: checked
// while the rule is enabled; unchecking it disables the rule.
class FaultMenuItems : public QObject {
    Q_OBJECT

public:
    // The items go into `menu` just above `end`.
    FaultMenuItems(FaultInjector& faults, QMenu* menu, QAction* end, QObject* parent = nullptr);

private:
    void rebuild();

    FaultInjector& m_faults;
    QMenu* m_menu;
    QAction* m_end;
    QList<QAction*> m_items;
};
