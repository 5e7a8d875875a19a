#pragma once

#include "unit/trafficlogentry.h"

#include <QAbstractListModel>
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
    void clear();

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
    // Text of a shown row (0 = newest).
    QString lineAt(int row) const;
    const TrafficLogEntry& entryAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::deque<TrafficLogEntry> m_entries;
    int m_shown = 0; // the oldest m_shown entries are the rows the views know about
    quint64 m_firstSeq = 0;
    QTimer m_publishTimer;
};
