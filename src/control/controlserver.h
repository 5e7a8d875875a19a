#pragma once

#include "fault/faultinjector.h"
#include "unit/trafficlogentry.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QStringList>

#include <array>

class QHttpServerRequest;
class QTcpServer;
class TrafficLogModel;
class UnitSimulator;

// The control API: a local HTTP server through which a test steers the running unit (profile,
// channels, fault rules) and reads what it received (the log, metrics). JSON in and out;
// errors are {"error": "..."} with 400, 401, 404, 405 or 413.
//
// It acts on the unit and its log as the window does: a profile chosen here re-binds exactly as
// the selector does, and a cleared log is the window's log cleared. For a fleet it serves every
// unit, by index or by address; a fault rule added here goes to every unit, and acts on those
// its units= names.
class ControlServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    // A body of this many bytes or more is refused with 413.
    static constexpr qsizetype kBodyLimitBytes = 64 * 1024;

    // With a non-empty `token`, every request must carry "Authorization: Bearer TOKEN".
    ControlServer(UnitSimulator& unit, TrafficLogModel& log, const QByteArray& token,
                  QObject* parent = nullptr);
    // A fleet: unit k of `units` has id k. The log holds every unit's lines.
    ControlServer(const QList<UnitSimulator*>& units, TrafficLogModel& log, const QByteArray& token,
                  QObject* parent = nullptr);

    // False, with `error` saying why, when the address and port cannot be had.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    // "http://ADDRESS:PORT", once listening.
    QString url() const;

    // What the server answers: method and path, with {name} for a path part.
    struct Route {
        QByteArray method;
        QString path;
    };
    static QList<Route> routes();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Reply;
    using Handler = Reply (ControlServer::*)(const QHttpServerRequest&, const QStringList&);
    struct Binding;
    static const QList<Binding>& bindings();

    Reply dispatch(const QHttpServerRequest& request);
    Reply listUnits(const QHttpServerRequest&, const QStringList&);
    Reply getUnit(const QHttpServerRequest&, const QStringList&);
    Reply putProfile(const QHttpServerRequest&, const QStringList&);
    Reply putChannels(const QHttpServerRequest&, const QStringList&);
    Reply getLog(const QHttpServerRequest&, const QStringList&);
    Reply deleteLog(const QHttpServerRequest&, const QStringList&);
    Reply listFaults(const QHttpServerRequest&, const QStringList&);
    Reply listUnitFaults(const QHttpServerRequest&, const QStringList&);
    Reply addFault(const QHttpServerRequest&, const QStringList&);
    Reply removeFaults(const QHttpServerRequest&, const QStringList&);
    Reply removeFault(const QHttpServerRequest&, const QStringList&);
    Reply metrics(const QHttpServerRequest&, const QStringList&);
    Reply openApi(const QHttpServerRequest&, const QStringList&);
    Reply capture(const QHttpServerRequest&, const QStringList&);

    // The unit a path's {id} names (its index, or its address), or nullptr.
    UnitSimulator* findUnit(const QString& id) const;
    static Reply noSuchUnit(const QString& id);
    // The rules with their counts summed over the units.
    QList<FaultInjector::Entry> fleetFaults() const;
    void count(const TrafficLogEntry& entry);
    // Unit 0's rules, which every unit holds alike.
    FaultInjector& faults() const;

    QList<UnitSimulator*> m_units;
    TrafficLogModel& m_log;
    QByteArray m_token;
    QTcpServer* m_tcp = nullptr;
    // Datagrams by port (unit, discovery), direction (in, out) and command.
    static constexpr int kCommands = TrafficLogEntry::kCommandCount;
    std::array<std::array<std::array<quint64, kCommands>, 2>, 2> m_datagrams{};
};
