#pragma once

#include "unit/peertable.h"

#include <QAbstractTableModel>
#include <QList>
#include <QTimer>

class ScenarioSession;

// Who sent what to the session's units, one row a controller (address and port), the busiest
// first: requests by command, malformed datagrams, its busiest second, when it was first and last
// seen, and the units it touched. Refreshed a few times a second from the session's table.
class PeerTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column {
        Peer,
        SetChannels,
        ChannelQueries,
        StatusQueries,
        Discovery,
        Malformed,
        BusiestSecond,
        FirstSeen,
        LastSeen,
        Units,
        ColumnCount
    };
    static constexpr int kRefreshMs = 500;

    explicit PeerTableModel(ScenarioSession& session, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Takes the table as it is now (the timer does this on its own).
    void refresh();

private:
    ScenarioSession& m_session;
    QList<PeerTable::Peer> m_peers;
    QTimer m_refresh;
};
