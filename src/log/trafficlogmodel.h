#pragma once

#include "unit/trafficlogentry.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QTimer>

#include <deque>

// The traffic log: newest line at row 0, never trimmed except by clear().
//
// Entries are stored oldest first in append-only storage and shown in reverse, so adding a
// line costs O(1) however long the log is. With a publish interval set, lines added in a
// burst reach the views as one row insertion per interval instead of one per line.
class TrafficLogModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit TrafficLogModel(QObject* parent = nullptr);

    void append(const TrafficLogEntry& entry);
    // A line from unit `unit` of a fleet (see setUnitAddresses()).
    void appendFrom(int unit, const TrafficLogEntry& entry);
    void clear();

    // A fleet's log: each line remembers its unit, and its text starts with that unit's address
    // (index k of `addresses` is unit k). Set before the first line; the single unit's log keeps
    // no unit numbers at all.
    void setUnitAddresses(const QStringList& addresses);
    const QStringList& unitAddresses() const { return m_unitAddresses; }

    // 0 (the default) shows every line at once.
    void setPublishInterval(int milliseconds);
    // Shows every line added so far.
    void publishPending();

    // Lines held, including any not yet shown.
    qsizetype lineCount() const { return qsizetype(m_entries.size()); }

    // Every line ever added has a sequence number, from 0 at start and never reused, so that a
    // reader can ask for what came after the last line it saw, across clears too. The lines held
    // are those from firstSeq() up to, not including, endSeq().
    quint64 firstSeq() const { return m_firstSeq; }
    quint64 endSeq() const { return m_firstSeq + quint64(m_entries.size()); }
    const TrafficLogEntry& entryWithSeq(quint64 seq) const
    {
        return m_entries[std::size_t(seq - m_firstSeq)];
    }
    // The unit a held line came from: 0 in a single unit's log.
    int unitWithSeq(quint64 seq) const
    {
        return m_units.empty() ? 0 : int(m_units[std::size_t(seq - m_firstSeq)]);
    }
    // "ADDRESS " of the unit a held line came from, or nothing in a single unit's log.
    QString prefixWithSeq(quint64 seq) const;
    // The address of the unit of the line with `seq` in a fleet; empty for the single unit.
    QString unitAddressWithSeq(quint64 seq) const { return m_unitAddresses.value(unitWithSeq(seq)); }
    // Text of a shown row (0 = newest).
    QString lineAt(int row) const;
    const TrafficLogEntry& entryAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::deque<TrafficLogEntry> m_entries;
    std::deque<quint32> m_units; // parallel to m_entries, in a fleet's log only
    QStringList m_unitAddresses;
    int m_shown = 0; // the oldest m_shown entries are the rows the views know about
    quint64 m_firstSeq = 0;
    QTimer m_publishTimer;
};
