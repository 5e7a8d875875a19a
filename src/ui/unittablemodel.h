#pragma once

#include <QAbstractTableModel>
#include <QTimer>

class ScenarioSession;

// The session's units as a table, one row a unit: address, profile, state, channel values and
// requests received. Kept live by refreshing what is shown a few times a second, not on every
// datagram: the datagram path knows nothing of it.
class UnitTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Address, Profile, State, Channels, Requests, ColumnCount };
    static constexpr int kRefreshMs = 250;

    explicit UnitTableModel(ScenarioSession& session, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void refresh();

    ScenarioSession& m_session;
    QTimer m_refresh;
};
