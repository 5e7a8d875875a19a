#pragma once

#include <QDialog>

class PeerTableModel;
class QTableView;
class ScenarioSession;

// View > Controllers…: who sends to the units, one row a controller (address and port), live:
// its requests by command, malformed datagrams, its busiest second, when it was first and last
// seen, and which units it touched. Not modal: traffic and the window go on while it is open.
class ControllersDialog : public QDialog {
    Q_OBJECT

public:
    explicit ControllersDialog(ScenarioSession& session, QWidget* parent = nullptr);

    QTableView* table() const { return m_table; }
    PeerTableModel* model() const { return m_model; }

private:
    PeerTableModel* m_model = nullptr;
    QTableView* m_table = nullptr;
};
