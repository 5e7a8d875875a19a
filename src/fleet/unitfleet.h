#pragma once

#include "net/datagramendpoint.h"
#include "net/localaddresses.h"
#include "unit/unitsimulator.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>

#include <map>
#include <memory>
#include <vector>

// One unit of a fleet: where it listens and whom it poses as.
struct FleetUnit {
    QHostAddress address;
    int profile = 0;
    // A proxy unit: the real unit it passes everything on to (null: a simulated unit), and
    // whether `profile` was given or is to be learned from the real unit's discovery reply.
    QHostAddress proxy = {};
    bool profileGiven = true;
    // A unit that answers as a recorded real unit did (null: as its profile); `profile` is then
    // the recording's.
    std::shared_ptr<const RecordedUnit> recording = {};
};

// Proxy units of `units` that stand in front of each other in a ring, which would pass a request
// round for ever: "127.0.8.1 -> 127.0.8.2 -> 127.0.8.1", or empty when there is none. A chain
// that ends at a unit that is no proxy is fine.
QString proxyRing(const QList<FleetUnit>& units);

// Many simulated units in one process, each on its own IPv4 address with its own state. A request to a unit's
// address is that unit's alone. Discovery for all of them comes through one endpoint on all addresses: a
// request sent to a unit's address is answered by that unit; a broadcast (255.255.255.255, the broadcast
// address of an interface that holds unit addresses, 127.255.255.255 for units on loopback) and a request
// from this machine to any other of its addresses are answered by every unit, each from its own address. A
// request from another machine to an address that is no unit's is not answered: one byte must not bring a
// thousand replies. Nothing a unit or the fleet sent is ever answered.
//
// Each unit listens on a socket of its own for its unit port and its discovery port, or, in a
// dense fleet, the fleet listens for all of them: one socket on all addresses a unit port in use,
// and one for discovery, which tell by a datagram's destination (IP_PKTINFO) whose it is; a unit
// answers through them from its own address. A dense fleet needs a handful of open files and no
// address added for each unit, only a prefix routed to this machine (any of 127/8 on loopback),
// but it holds its ports on every address: no other program on this machine (another dense fleet
// among them) can listen on them.
class UnitFleet : public QObject, public SharedUnitPorts, public UnitHost {
    Q_OBJECT

public:
    enum class Sockets { PerUnit, Dense };
    // Fleets of more units than this are dense unless told otherwise: beyond it, sockets of their
    // own cost units more open files, memory and start-up time than most machines allow.
    static constexpr qsizetype kDenseAbove = 10000;

    // Unit k draws from a seed of its own, made from `seed` and k.
    UnitFleet(const QList<FleetUnit>& units, quint64 seed, Sockets sockets = Sockets::PerUnit,
              QObject* parent = nullptr);
    ~UnitFleet() override;
    bool isDense() const { return m_sockets == Sockets::Dense; }

    // Binds every unit, then the fleet's own discovery endpoint on all addresses. A unit that
    // cannot bind is reported through endpointStateChanged(), and the others run.
    void start();

    qsizetype size() const { return qsizetype(m_units.size()); }
    UnitSimulator& unit(qsizetype index) { return *m_units[std::size_t(index)]; }
    const DatagramEndpoint& discoveryEndpoint() const { return m_discovery; }
    // How many units listen on both their ports.
    qsizetype listeningCount() const;
    // Who sent what to any unit of the fleet, with the units each controller touched.
    const PeerTable& peers() const { return m_peers; }
    // A dense fleet's endpoint for a unit port (see SharedUnitPorts).
    DatagramEndpoint& unitPort(quint16 port) override;
    // Datagrams a dense fleet's unit-port endpoints heard for no unit: to an address that is no
    // unit's, or to a port its unit does not listen on.
    quint64 strayDatagrams() const { return m_strays; }

    static quint64 unitSeed(quint64 seed, qsizetype index);

signals:
    void trafficLogged(int unit, const TrafficLogEntry& entry);
    // A port of unit `unit` was bound or failed to bind (unit -1: the fleet's discovery endpoint).
    void endpointStateChanged(int unit, bool listening, const QString& text);
    void replyNotSent(const QString& message);
    // Unit `unit` took profile `profile` (see UnitSimulator::profileChanged()).
    void profileChanged(int unit, int profile);

private:
    // What the units tell (see UnitHost).
    void unitLogged(int unit, const TrafficLogEntry& entry) override;
    void unitEndpointStateChanged(int unit, bool listening, const QString& text) override;
    void unitReplyNotSent(const QString& message) override;
    void unitProfileChanged(int unit, int profile) override;

    void answerDiscovery(const Datagram& datagram);
    void answerUnitPort(quint16 port, const Datagram& datagram);
    // Binds a dense fleet's endpoint on all addresses, alone.
    bool bindAllAddresses(DatagramEndpoint& endpoint, quint16 port);
    // "Fleet unit port 4000 on all addresses: listening", or why not, with who holds the port
    // where that can be seen.
    QString portStateText(const QString& name, const DatagramEndpoint& endpoint) const;
    bool isOwnEndpoint(quint32 address, quint16 port);
    // The addresses a discovery request may be sent to for every unit to answer.
    void findBroadcastAddresses();

    // Declared first: the units' endpoints register with it, and are gone before it is.
    DatagramPoller m_poller;
    // Before the units, which record into it.
    PeerTable m_peers;
    // Every unit's replies, and the fleet's discovery endpoint's, leave through one batch.
    ReplyBatch m_batch;
    std::vector<std::unique_ptr<UnitSimulator>> m_units;
    QList<int> m_profiles;
    QHash<quint32, int> m_byAddress;       // unit index by IPv4 address
    std::vector<UnitSimulator*> m_proxies; // the units that pass requests on to real ones
    QSet<quint32> m_broadcasts;
    int m_loopbackInterface = -1;
    LocalAddresses m_localAddresses;
    Sockets m_sockets;
    bool m_started = false;
    qsizetype m_unitPortCapacity;
    std::map<quint16, std::unique_ptr<DatagramEndpoint>> m_unitPorts; // a dense fleet's, by port
    QSet<quint16> m_triedPorts; // the unit ports a dense fleet tried to bind
    quint64 m_strays = 0;
    DatagramEndpoint m_discovery;
};
