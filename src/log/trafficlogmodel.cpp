#include "trafficlogmodel.h"

#include "trafficlogline.h"

TrafficLogModel::TrafficLogModel(QObject* parent)
    : QAbstractListModel(parent)
{
    m_publishTimer.setSingleShot(true);
    m_publishTimer.setInterval(0);
    connect(&m_publishTimer, &QTimer::timeout, this, &TrafficLogModel::publishPending);
}

void TrafficLogModel::setPublishInterval(int milliseconds)
{
    m_publishTimer.setInterval(milliseconds);
    if (milliseconds == 0)
        publishPending();
}

void TrafficLogModel::setUnitAddresses(const QStringList& addresses)
{
    m_unitAddresses = addresses;
}

void TrafficLogModel::append(const TrafficLogEntry& entry)
{
    appendFrom(0, entry);
}

void TrafficLogModel::appendFrom(int unit, const TrafficLogEntry& entry)
{
    m_entries.push_back(entry);
    if (!m_unitAddresses.isEmpty())
        m_units.push_back(quint32(qMax(unit, 0)));
    if (m_publishTimer.interval() == 0)
        publishPending();
    else if (!m_publishTimer.isActive())
        m_publishTimer.start();
}

void TrafficLogModel::publishPending()
{
    const int pending = int(m_entries.size()) - m_shown;
    if (pending <= 0)
        return;
    // The new lines are the newest, so they become rows 0 to pending-1 above the shown ones.
    beginInsertRows({}, 0, pending - 1);
    m_shown += pending;
    endInsertRows();
}

void TrafficLogModel::clear()
{
    m_publishTimer.stop();
    beginResetModel();
    m_firstSeq += quint64(m_entries.size());
    m_entries.clear();
    m_units.clear();
    m_shown = 0;
    endResetModel();
}

int TrafficLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_shown;
}

const TrafficLogEntry& TrafficLogModel::entryAt(int row) const
{
    Q_ASSERT(row >= 0 && row < m_shown);
    return m_entries[std::size_t(m_shown - 1 - row)];
}

QString TrafficLogModel::lineAt(int row) const
{
    if (row < 0 || row >= m_shown)
        return {};
    return prefixWithSeq(m_firstSeq + quint64(m_shown - 1 - row)) + trafficLogLine(entryAt(row));
}

QString TrafficLogModel::prefixWithSeq(quint64 seq) const
{
    if (m_units.empty())
        return {};
    const int unit = unitWithSeq(seq);
    return unit < m_unitAddresses.size() ? m_unitAddresses[unit] + QLatin1Char(' ') : QString();
}

QVariant TrafficLogModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return lineAt(index.row());
}
