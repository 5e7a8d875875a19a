#include "unittablemodel.h"

#include "record/unitprofiles.h"
#include "scenario/scenariosession.h"

#include <QFileInfo>

UnitTableModel::UnitTableModel(ScenarioSession& session, QObject* parent)
    : QAbstractTableModel(parent)
    , m_session(session)
{
    // Units made anew are another table.
    connect(&session, &ScenarioSession::unitsReplaced, this, [this] {
        beginResetModel();
        endResetModel();
    });
    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &UnitTableModel::refresh);
    m_refresh.start();
}

int UnitTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_session.units().size());
}

int UnitTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant UnitTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_session.units().size())
        return {};
    const UnitSimulator& unit = *m_session.units()[index.row()];
    if (role == Qt::TextAlignmentRole && index.column() == Requests)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Address:
        return m_session.isFleet() ? unit.address().toString() : tr("every address");
    case Profile: {
        // A recorded unit answers with the recording's bytes on its profile's port.
        if (const std::shared_ptr<const RecordedUnit>& recording = unit.recording())
            return tr("recorded %1 (port %2)")
                .arg(QFileInfo(recording->path).fileName())
                .arg(unit.unitEndpoint().port());
        if (const UnitRelay* relay = unit.relay())
            return tr("proxy for %1 (port %2)")
                .arg(QHostAddress(relay->realAddress()).toString())
                .arg(unit.unitEndpoint().port());
        const std::string_view label = kUnitProfiles[std::size_t(unit.profileIndex())].label;
        return QStringLiteral("%1  %2")
            .arg(unit.profileIndex())
            .arg(QLatin1String(label.data(), qsizetype(label.size())));
    }
    case State:
        return QLatin1String(UnitSimulator::stateName(unit.state()));
    case Channels: {
        QString values;
        for (int n = 2; n <= 25; ++n) {
            if (n != 2)
                values += QLatin1Char(' ');
            values += QString::number(unit.channelValues()[std::size_t(n)]);
        }
        return values;
    }
    case Requests:
        return QString::number(unit.requestCount());
    default:
        return {};
    }
}

QVariant UnitTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section;
    switch (section) {
    case Address:
        return tr("Address");
    case Profile:
        return tr("Profile");
    case State:
        return tr("State");
    case Channels:
        return tr("Channels 2-25");
    case Requests:
        return tr("Requests");
    default:
        return {};
    }
}

void UnitTableModel::refresh()
{
    if (!m_session.units().isEmpty())
        emit dataChanged(index(0, Profile), index(rowCount() - 1, Requests), {Qt::DisplayRole});
}
