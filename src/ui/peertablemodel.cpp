#include "peertablemodel.h"

#include "scenario/scenariosession.h"

#include <QDateTime>

namespace {
QString timeText(qint64 us)
{
    return QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("HH:mm:ss.zzz"));
}
} // namespace

PeerTableModel::PeerTableModel(ScenarioSession& session, QObject* parent)
    : QAbstractTableModel(parent)
    , m_session(session)
{
    connect(&session, &ScenarioSession::unitsReplaced, this, &PeerTableModel::refresh);
    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &PeerTableModel::refresh);
    m_refresh.start();
    refresh();
}

void PeerTableModel::refresh()
{
    QList<PeerTable::Peer> now = m_session.peers().peers();
    const bool sameRows = std::equal(now.cbegin(), now.cend(), m_peers.cbegin(), m_peers.cend(),
                                     [](const PeerTable::Peer& a, const PeerTable::Peer& b) {
                                         return a.address == b.address && a.port == b.port;
                                     });
    if (!sameRows) {
        // New controllers, or the busiest changed places.
        beginResetModel();
        m_peers = std::move(now);
        endResetModel();
        return;
    }
    m_peers = std::move(now);
    if (!m_peers.isEmpty())
        emit dataChanged(index(0, 0), index(int(m_peers.size()) - 1, ColumnCount - 1));
}

int PeerTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_peers.size());
}

int PeerTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant PeerTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_peers.size())
        return {};
    const PeerTable::Peer& peer = m_peers[index.row()];
    const int column = index.column();
    if (role == Qt::TextAlignmentRole && column >= SetChannels && column <= BusiestSecond)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && column == Malformed)
        return tr("%1 not 29 bytes long, %2 with an unknown command, %3 on the discovery port that were no "
                  "discovery request")
            .arg(peer.malformed[0])
            .arg(peer.malformed[1])
            .arg(peer.malformed[2]);
    if (role == Qt::ToolTipRole && column == Peer && peer.isOther())
        return tr("Controllers beyond the first %1, added up").arg(PeerTable::kMaxPeers);
    if (role != Qt::DisplayRole)
        return {};
    switch (column) {
    case Peer:
        return peer.name();
    case SetChannels:
    case ChannelQueries:
    case StatusQueries:
    case Discovery:
        return QString::number(peer.requests[std::size_t(column - SetChannels)]);
    case Malformed:
        return QString::number(peer.malformedTotal());
    case BusiestSecond:
        return QString::number(peer.maxPerSecond);
    case FirstSeen:
        return timeText(peer.firstUs);
    case LastSeen:
        return timeText(peer.lastUs);
    case Units:
        return m_session.unitsOf(peer);
    }
    return {};
}

QVariant PeerTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Peer:
        return tr("Controller");
    case SetChannels:
        return tr("Set-channels");
    case ChannelQueries:
        return tr("Channel queries");
    case StatusQueries:
        return tr("Status queries");
    case Discovery:
        return tr("Discovery");
    case Malformed:
        return tr("Malformed");
    case BusiestSecond:
        return tr("Busiest second");
    case FirstSeen:
        return tr("First seen");
    case LastSeen:
        return tr("Last seen");
    case Units:
        return tr("Units");
    }
    return {};
}
