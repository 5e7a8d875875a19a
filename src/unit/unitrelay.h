#pragma once

#include "net/datagramendpoint.h"

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>

class DatagramPoller;

// What a proxy unit keeps to pass requests on to the real unit behind it and bring its replies
// back: a relay, an endpoint of its own on an ephemeral port, for each controller endpoint it has
// heard from, as a NAT keeps one. A reply that comes to a relay belongs to its controller, so
// several controllers at once each get the replies to their own requests.
//
// The relays are bounded: one unused for kIdleMs is closed, and past kMaxRelays the one unused
// longest makes room; each is said through relayClosed(). A datagram a relay gets from anyone but
// the real unit is dropped and counted (foreignDatagram()).
class UnitRelay : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxRelays = 256;
    static constexpr int kIdleMs = 60000;
    // The most a relay keeps of a reply: any datagram UDP carries.
    static constexpr qsizetype kReplyCapacity = 65535;
    // The longest request passed on: what one Ethernet frame carries to a unit (1500 bytes less
    // the IP and UDP headers). A unit reads no more; longer, the proxy would only be a way to
    // send large datagrams to the real unit's address.
    static constexpr qsizetype kMaxRequestSize = 1472;

    struct Reply {
        bool discovery = false; // from the real unit's discovery port
        quint32 controller = 0; // who asked, and where the reply goes
        quint16 controllerPort = 0;
        quint32 local = 0; // the proxy's address the controller sent to (0: the unit's own)
        quint16 relayPort = 0;
        quint16 fromPort = 0; // the real unit's port it came from
        QByteArrayView bytes; // valid only while replied() is handled
    };

    // Relays bind `bindAddress` (host byte order; 0: all addresses) and send to `real`.
    UnitRelay(quint32 real, quint32 bindAddress, DatagramPoller* poller, QObject* parent = nullptr);
    ~UnitRelay() override;

    quint32 realAddress() const { return m_real; }
    // Passes `payload` on to the real unit's `port` from the relay of the controller at
    // `controller`:`controllerPort`, made for it if need be. Returns the relay's port; 0 when
    // the datagram could not be sent, with `error` saying why.
    quint16 forward(quint32 controller, quint16 controllerPort, quint32 local, quint16 port,
                    QByteArrayView payload, QString* error);
    int relayCount() const { return int(m_relays.size()); }
    // Whether one of the relays sends from `port`: what comes from there is the simulator's own.
    bool hasPort(quint16 port) const { return m_ports.contains(port); }
    quint64 foreignCount() const { return m_foreign; }

signals:
    void replied(const UnitRelay::Reply& reply);
    // A relay got a datagram from `address`:`port`, which is not the real unit: dropped.
    void foreignDatagram(quint32 address, quint16 port);
    void relayClosed(quint32 controller, quint16 controllerPort, const QString& why);

private:
    struct Relay {
        quint32 controller = 0;
        quint16 controllerPort = 0;
        quint32 local = 0;
        qint64 lastUsedMs = 0;
        std::unique_ptr<DatagramEndpoint> endpoint;
    };
    static quint64 key(quint32 address, quint16 port) { return quint64(address) << 16 | port; }
    Relay* relayFor(quint32 controller, quint16 controllerPort, quint32 local, QString* error);
    void close(quint64 key, const QString& why);
    void closeIdle();

    quint32 m_real;
    quint32 m_bindAddress;
    DatagramPoller* m_poller;
    QHash<quint64, std::shared_ptr<Relay>> m_relays;
    QSet<quint16> m_ports; // the relays' own
    QElapsedTimer m_clock;
    QTimer m_idleCheck;
    quint64 m_foreign = 0;
};

Q_DECLARE_METATYPE(UnitRelay::Reply)
