#include "trafficlogmodel.h"

#include "trafficlogline.h"

#include <functional>

namespace {
// Lines let go together once a store has stopped storing: one row removal per batch, not per line.
constexpr qsizetype kLetGoBatch = 4096;
} // namespace

TrafficLogModel::TrafficLogModel(QObject* parent)
    : QAbstractListModel(parent)
{
    m_publishTimer.setSingleShot(true);
    m_publishTimer.setInterval(0);
    connect(&m_publishTimer, &QTimer::timeout, this, &TrafficLogModel::publishPending);
}

TrafficLogModel::~TrafficLogModel() = default;

void TrafficLogModel::setStore(std::unique_ptr<LogStore> store)
{
    m_store = std::move(store);
    if (!m_store)
        return;
    connect(m_store.get(), &LogStore::stored, this, &TrafficLogModel::trimTail);
    connect(m_store.get(), &LogStore::linesRemoved, this, &TrafficLogModel::linesRemovedFromStore);
    connect(m_store.get(), &LogStore::failed, this, &TrafficLogModel::storeFailed);
}

void TrafficLogModel::setMemoryLimits(qsizetype tailLines, qsizetype unstoredLines)
{
    m_tailLines = std::max<qsizetype>(tailLines, 1);
    m_unstoredLines = std::max<qsizetype>(unstoredLines, 1);
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

void TrafficLogModel::replaceUnits(const QStringList& addresses)
{
    const qsizetype lines = lineCount();
    clear();
    m_unitAddresses = addresses;
    if (m_store) {
        if (QString error; !m_store->setUnitAddresses(addresses, &error))
            addNotice(QStringLiteral("log store: cannot record the new units' addresses: ") + error);
    }
    addNotice(QStringLiteral("units replaced: the log starts anew with %1 (%2 earlier line%3 cleared)")
                  .arg(addresses.isEmpty() ? QStringLiteral("the single unit")
                                           : QStringLiteral("%1 units").arg(addresses.size()))
                  .arg(lines)
                  .arg(lines == 1 ? QString() : QStringLiteral("s")));
}

void TrafficLogModel::append(const TrafficLogEntry& entry)
{
    appendFrom(0, entry);
}

void TrafficLogModel::appendFrom(int unit, const TrafficLogEntry& entry)
{
    m_tail.push_back(entry);
    if (!m_unitAddresses.isEmpty())
        m_units.push_back(quint32(qMax(unit, 0)));
    if (m_store) {
        m_store->append(entry, quint32(qMax(unit, 0)));
        if (qsizetype(m_tail.size()) > m_unstoredLines + kLetGoBatch && !m_store->failure().isEmpty())
            trimTail();
    }
    if (m_publishTimer.interval() == 0)
        publishPending();
    else if (!m_publishTimer.isActive())
        m_publishTimer.start();
}

void TrafficLogModel::publishPending()
{
    const qsizetype pending = lineCount() - m_shown;
    if (pending <= 0)
        return;
    // The new lines are the newest, so they become rows 0 to pending-1 above the shown ones.
    beginInsertRows({}, 0, int(pending - 1));
    m_shown += pending;
    endInsertRows();
}

void TrafficLogModel::clear()
{
    m_publishTimer.stop();
    beginResetModel();
    const quint64 end = endSeq();
    m_tail.clear();
    m_units.clear();
    m_tailFirst = m_first = end;
    m_shown = 0;
    const bool hadFailed = m_store && !m_store->failure().isEmpty();
    if (m_store)
        m_store->clear();
    endResetModel();
    // A cleared store starts afresh, and tries to store again.
    if (hadFailed)
        addNotice(QStringLiteral("log store: cleared; lines are stored again"));
}

quint64 TrafficLogModel::storedCount() const
{
    const quint64 end = storedEnd();
    return end > m_first ? end - m_first : 0;
}

quint64 TrafficLogModel::seqOfIndex(quint64 index) const
{
    const quint64 stored = storedCount();
    return index < stored ? m_first + index : m_tailFirst + (index - stored);
}

quint64 TrafficLogModel::heldFrom(quint64 seq) const
{
    seq = std::max(seq, m_first);
    if (seq < m_tailFirst && seq >= storedEnd())
        seq = m_tailFirst;
    return std::min(seq, endSeq());
}

void TrafficLogModel::popTail(quint64 count)
{
    for (; count > 0 && !m_tail.empty(); --count) {
        m_tail.pop_front();
        if (!m_units.empty())
            m_units.pop_front();
        ++m_tailFirst;
    }
}

void TrafficLogModel::forget(quint64 firstIndex, quint64 count, const std::function<void()>& letGo)
{
    // Only lines the views know about are rows; row r is line m_shown - 1 - r, oldest first.
    const quint64 shownEnd = std::min(firstIndex + count, quint64(m_shown));
    const bool rows = firstIndex < shownEnd;
    if (rows)
        beginRemoveRows({}, int(quint64(m_shown) - shownEnd), int(quint64(m_shown) - 1 - firstIndex));
    letGo();
    if (rows) {
        m_shown -= qsizetype(shownEnd - firstIndex);
        endRemoveRows();
    }
}

void TrafficLogModel::trimTail()
{
    if (!m_store)
        return;
    // Lines on disk need not stay in memory, beyond the newest few. The views see no change.
    const quint64 durable = m_store->storedEnd();
    if (qsizetype(m_tail.size()) > m_tailLines && m_tailFirst < durable)
        popTail(std::min(quint64(m_tail.size()) - quint64(m_tailLines), durable - m_tailFirst));
    // Lines the store no longer takes: the newest stay, older ones are let go.
    if (!m_store->failure().isEmpty() && qsizetype(m_tail.size()) > m_unstoredLines + kLetGoBatch) {
        const quint64 count = quint64(m_tail.size()) - quint64(m_unstoredLines);
        m_lost += count;
        forget(storedCount(), count, [this, count] { popTail(count); });
    }
}

void TrafficLogModel::linesRemovedFromStore(quint64 count)
{
    // Every held line below the store's new first line goes.
    const quint64 newFirst = m_store->firstSeq();
    if (newFirst > m_first) {
        const quint64 stored = std::min(newFirst - m_first, storedCount());
        const quint64 fromTail =
            newFirst > m_tailFirst ? std::min<quint64>(newFirst - m_tailFirst, m_tail.size()) : 0;
        forget(0, stored + fromTail, [this, newFirst, fromTail] {
            popTail(fromTail);
            m_first = std::min(newFirst, m_tailFirst);
        });
    }
    addNotice(QStringLiteral("log store: the oldest %1 line%2 removed to stay within the disk limit of %3; "
                             "lines from %4 on are held")
                  .arg(count)
                  .arg(count == 1 ? QStringLiteral(" was") : QStringLiteral("s were"),
                       LogStore::sizeText(m_store->diskLimit()))
                  .arg(m_first));
}

void TrafficLogModel::storeFailed(const QString& reason)
{
    addNotice(QStringLiteral("log store: lines are no longer stored (%1); the newest %2 stay in memory")
                  .arg(reason)
                  .arg(m_unstoredLines));
}

void TrafficLogModel::addNotice(const QString& text)
{
    append(TrafficLogEntry::notice(text));
    emit storeNotice(text);
}

bool TrafficLogModel::lineWithSeq(quint64 seq, LogLine* line, QString* error) const
{
    if (seq >= m_tailFirst && seq < endSeq()) {
        const std::size_t at = std::size_t(seq - m_tailFirst);
        line->entry = m_tail[at];
        line->unit = m_units.empty() ? 0 : m_units[at];
        return true;
    }
    QString why;
    if (m_store && seq >= m_first && seq < storedEnd() && m_store->read(seq, line, &why))
        return true;
    if (error)
        *error = why.isEmpty() ? QStringLiteral("line %1 is not held").arg(seq) : why;
    return false;
}

TrafficLogEntry TrafficLogModel::entryWithSeq(quint64 seq) const
{
    LogLine line;
    return lineWithSeq(seq, &line) ? line.entry : TrafficLogEntry{.kind = TrafficLogEntry::Kind::Notice};
}

int TrafficLogModel::unitWithSeq(quint64 seq) const
{
    LogLine line;
    return lineWithSeq(seq, &line) ? int(line.unit) : 0;
}

QString TrafficLogModel::unitAddressOf(const LogLine& line) const
{
    if (m_unitAddresses.isEmpty() || line.entry.isRemark())
        return {};
    return m_unitAddresses.value(int(line.unit));
}

QString TrafficLogModel::unitAddressWithSeq(quint64 seq) const
{
    LogLine line;
    return lineWithSeq(seq, &line) ? unitAddressOf(line) : QString();
}

QString TrafficLogModel::prefixOf(const LogLine& line) const
{
    const QString address = unitAddressOf(line);
    return address.isEmpty() ? address : address + QLatin1Char(' ');
}

QString TrafficLogModel::prefixWithSeq(quint64 seq) const
{
    LogLine line;
    return lineWithSeq(seq, &line) ? prefixOf(line) : QString();
}

int TrafficLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(std::min<qsizetype>(m_shown, INT_MAX));
}

quint64 TrafficLogModel::seqAt(int row) const
{
    return seqOfIndex(quint64(m_shown - 1 - row));
}

int TrafficLogModel::rowOfSeq(quint64 seq) const
{
    if (seq >= endSeq() || heldFrom(seq) != seq)
        return -1;
    const quint64 stored = storedCount();
    const quint64 index = seq < m_tailFirst ? seq - m_first : stored + (seq - m_tailFirst);
    return index < quint64(m_shown) ? int(quint64(m_shown) - 1 - index) : -1;
}

QString TrafficLogModel::lineAt(int row) const
{
    if (row < 0 || row >= m_shown)
        return {};
    const quint64 seq = seqAt(row);
    LogLine line;
    QString error;
    if (!lineWithSeq(seq, &line, &error))
        return QStringLiteral("!!! line %1 cannot be read from the log store: %2").arg(seq).arg(error);
    return prefixOf(line) + trafficLogLine(line.entry);
}

QVariant TrafficLogModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return lineAt(index.row());
}
