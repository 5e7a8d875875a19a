#pragma once

#include "logblock.h"
#include "logstore.h"
#include "record/trafficlogentry.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

// The traffic log: newest line at row 0, never trimmed except by clear() (and, with a store, by
// its disk limit).
//
// Entries are kept oldest first in append-only storage and shown in reverse, so adding a line
// costs O(1) however long the log is. With a publish interval set, lines added in a burst reach
// the views as one row insertion per interval instead of one per line.
//
// With a store (setStore()), every line also goes to disk and memory keeps only the newest
// kTailLines of those already written: a run of any length holds its whole log in flat memory,
// and older lines are read back from the store when asked for. If the store stops storing (a
// full disk), the newest kUnstoredLines stay in memory; older ones that never reached the disk are
// let go and counted (linesLost()), so the log then has a gap between its stored lines and those
// in memory.
class TrafficLogModel : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr qsizetype kTailLines = 32768;
    static constexpr qsizetype kUnstoredLines = 1'000'000;

    explicit TrafficLogModel(QObject* parent = nullptr);
    ~TrafficLogModel() override;

    // Set before the first line. The model says in the log itself when the store removes lines or
    // stops storing.
    void setStore(std::unique_ptr<LogStore> store);
    LogStore* store() const { return m_store.get(); }
    // How many stored lines memory keeps besides the store, and how many once it stops storing.
    void setMemoryLimits(qsizetype tailLines, qsizetype unstoredLines);

    void append(const TrafficLogEntry& entry);
    // A line from unit `unit` of a fleet (see setUnitAddresses()).
    void appendFrom(int unit, const TrafficLogEntry& entry);
    void clear();

    // A fleet's log: each line remembers its unit, and its text starts with that unit's address
    // (index k of `addresses` is unit k). Set before the first line; the single unit's log keeps
    // no unit numbers at all.
    void setUnitAddresses(const QStringList& addresses);
    const QStringList& unitAddresses() const { return m_unitAddresses; }
    // The units were made anew (a scenario with other units): lines name units by index, so the
    // log starts over, and says so in a notice.
    void replaceUnits(const QStringList& addresses);

    // 0 (the default) shows every line at once.
    void setPublishInterval(int milliseconds);
    // Shows every line added so far.
    void publishPending();

    // Lines held, including any not yet shown.
    qsizetype lineCount() const { return qsizetype(storedCount() + (endSeq() - m_tailFirst)); }

    // Every line ever added has a sequence number, from 0 at start and never reused, so that a
    // reader can ask for what came after the last line it saw, across clears too. The lines held
    // are those from firstSeq() up to, not including, endSeq(), except for the gap left when a
    // store stopped storing: heldFrom() steps over it.
    quint64 firstSeq() const { return m_first; }
    quint64 endSeq() const { return m_tailFirst + quint64(m_tail.size()); }
    // The first line held from `seq` on (endSeq() when none).
    quint64 heldFrom(quint64 seq) const;
    // A held line, from memory or from the store; false (with why) when it cannot be read.
    bool lineWithSeq(quint64 seq, LogLine* line, QString* error = nullptr) const;
    // The entry alone; an empty notice when the line cannot be read.
    TrafficLogEntry entryWithSeq(quint64 seq) const;
    int unitWithSeq(quint64 seq) const;
    // "ADDRESS " of the unit of `line`, or nothing in a single unit's log and for notices.
    QString prefixOf(const LogLine& line) const;
    QString prefixWithSeq(quint64 seq) const;
    // The address of the unit of `line` in a fleet; empty for the single unit and for notices.
    QString unitAddressOf(const LogLine& line) const;
    QString unitAddressWithSeq(quint64 seq) const;
    // Text of a shown row (0 = newest), and its sequence number.
    QString lineAt(int row) const;
    quint64 seqAt(int row) const;
    // The shown row of the line with sequence number `seq`; -1 when it is not held or not shown yet.
    int rowOfSeq(quint64 seq) const;

    // Lines that never reached the store and were let go from memory.
    quint64 linesLost() const { return m_lost; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

signals:
    // The store removed the oldest lines to stay within its disk limit, or stopped storing: said
    // here for a window or a console to show.
    void storeNotice(const QString& text);

private:
    // Lines held on disk only (below the tail).
    quint64 storedCount() const;
    quint64 storedEnd() const { return m_store ? std::min(m_store->storedEnd(), m_tailFirst) : m_tailFirst; }
    quint64 seqOfIndex(quint64 index) const;
    void trimTail();
    // Lets go of `count` lines from index `firstIndex` (0 = the oldest held) through `letGo`, which
    // drops them from memory or moves m_first, and tells the views.
    void forget(quint64 firstIndex, quint64 count, const std::function<void()>& letGo);
    void popTail(quint64 count);
    void linesRemovedFromStore(quint64 count);
    void storeFailed(const QString& reason);
    void addNotice(const QString& text);

    std::deque<TrafficLogEntry> m_tail;
    std::deque<quint32> m_units; // parallel to m_tail, in a fleet's log only
    quint64 m_tailFirst = 0;     // seq of m_tail.front()
    quint64 m_first = 0;
    QStringList m_unitAddresses;
    qsizetype m_tailLines = kTailLines;
    qsizetype m_unstoredLines = kUnstoredLines;
    qsizetype m_shown = 0; // the oldest m_shown lines held are the rows the views know about
    quint64 m_lost = 0;
    QTimer m_publishTimer;
    std::unique_ptr<LogStore> m_store;
};
