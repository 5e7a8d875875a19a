#pragma once

#include "localaddress.h"
#include "pcapwriter.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

class TrafficLogModel;

// Writes every datagram the unit (or each unit of a fleet) receives or sends to a pcap file as
// it happens: what really left, after faults, with its time to the microsecond. Fault lines are
// not datagrams and are left out. The file is handed to the system once per burst, and is
// complete when the capture is closed or destroyed.
class TrafficCapture : public QObject {
    Q_OBJECT

public:
    explicit TrafficCapture(QObject* parent = nullptr);
    ~TrafficCapture() override;

    // A fleet's capture: unit k is on `addresses[k]`, as the log writer and model take them.
    // Without, the unit listens on all addresses and each datagram shows the address its peer
    // reached it on.
    void setUnitAddresses(const QStringList& addresses);

    bool open(const QString& path, QString* error);
    void close();

    void append(const TrafficLogEntry& entry) { appendFrom(0, entry); }
    void appendFrom(int unit, const TrafficLogEntry& entry);

    // The whole log, as a pcap file's bytes: for a download or "Save Capture…".
    static QByteArray ofLog(const TrafficLogModel& log, QString* error);

    // The same file made a piece at a time, for a download that must not hold the event loop: the
    // lines the log holds when it is made, less those cleared before their turn comes.
    class LogStream {
    public:
        explicit LogStream(const TrafficLogModel& log);
        // At least one packet (or the file header), and about `bytes` at the most; empty at the end.
        QByteArray next(qsizetype bytes);

    private:
        const TrafficLogModel& m_log;
        QList<quint32> m_addresses;
        LocalAddressFinder m_local;
        quint64 m_seq;
        quint64 m_end;
        bool m_headerSent = false;
    };

signals:
    // Writing failed (the disk is full, say); nothing more is written. Said once.
    void writeFailed(const QString& reason);

private:
    void flush();

    std::unique_ptr<PcapWriter> m_writer;
    QList<quint32> m_unitAddresses;
    LocalAddressFinder m_local;
    QTimer m_flushTimer;
};
