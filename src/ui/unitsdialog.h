#pragma once

#include <QDialog>

class QTableView;
class ScenarioSession;
class UnitTableModel;

// View > Units…: every unit of the session with its address, profile, state (answering, offline,
// rebooting), channel values and the requests it received, live. Selecting a row makes that unit
// the one the window's profile selector shows and changes. Not modal: traffic and the window go
// on while it is open.
class UnitsDialog : public QDialog {
    Q_OBJECT

public:
    UnitsDialog(ScenarioSession& session, int selectedUnit, QWidget* parent = nullptr);

    QTableView* table() const { return m_table; }

signals:
    void unitSelected(int index);

private:
    UnitTableModel* m_model = nullptr;
    QTableView* m_table = nullptr;
};
