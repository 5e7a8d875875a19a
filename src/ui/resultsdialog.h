#pragma once

#include <QDialog>

class ExpectationMonitor;
class QLabel;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

// Scenario > Results…: each expectation of the scenario with its state (passed, failed,
// pending), what was looked at, and under a failed one each failure with its evidence.
// Double-clicking a failure asks the window to select its log line. Not modal: it follows the
// run live.
class ResultsDialog : public QDialog {
    Q_OBJECT

public:
    // Columns of the tree.
    enum Column { Name, State, Details, ColumnCount };
    // A failure item's log line, in Qt::UserRole of its Name column.
    static constexpr int kSeqRole = Qt::UserRole;

    explicit ResultsDialog(ExpectationMonitor& monitor, QWidget* parent = nullptr);

    QTreeWidget* tree() const { return m_tree; }
    QLabel* summary() const { return m_summary; }

signals:
    // The log line with this sequence number is the one to show.
    void lineRequested(quint64 seq);

private:
    void refresh();

    ExpectationMonitor& m_monitor;
    QLabel* m_summary = nullptr;
    QTreeWidget* m_tree = nullptr;
    QTimer* m_refresh = nullptr;
};
