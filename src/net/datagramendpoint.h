#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

class DatagramPoller;

// One received datagram: the sender and the first bytes of the payload.
struct Datagram {
    QHostAddress address;
    quint16 port = 0;
    // The address it was sent to (IPv4, host byte order; a broadcast address for a broadcast),
    // when the endpoint was asked to tell it; 0 otherwise.
    quint32 destination = 0;
    // The address of this machine it reached: the destination for a unicast, the receiving
    // interface's address for a broadcast. A reply from it reaches a client that only listens
    // to the address it asked. Told when the destination is; 0 otherwise.
    quint32 local = 0;
    // The interface it came in on (an index, as the kernel numbers them), when the destination
    // is told; 0 otherwise.
    int interfaceIndex = 0;
    // Points into the thread's receive room and is valid only while datagramReceived() is being
    // handled. Bytes beyond the endpoint's capacity were dropped.
    QByteArrayView data;
};

// A datagram to send: from `source` (an address of this machine, 0: whichever the route gives)
// to `address`:`port`, IPv4 in host byte order.
struct OutgoingDatagram {
    quint32 source = 0;
    quint32 address = 0;
    quint16 port = 0;
    QByteArrayView data;
};

// Told when an endpoint begins and ends handing on the datagrams one receive brought, so that
// replies made meanwhile can leave together at the end.
class DrainObserver {
public:
    virtual void drainBegins() = 0;
    virtual void drainEnds() = 0;

protected:
    ~DrainObserver() = default;
};

// A UDP endpoint on IPv4 (so senders read as dotted decimal): on all addresses, or on one.
//
// The endpoint reads every waiting datagram itself, many to a system call, and hands each one on
// as a value: one datagramReceived() per datagram, at once when datagrams arrive and again on
// poll(). Nothing is allocated per datagram, received or sent.
//
// It owns a plain socket rather than a QUdpSocket so that many endpoints can share one
// DatagramPoller; without one, the endpoint watches its socket with a QSocketNotifier.
class DatagramEndpoint : public QObject {
    Q_OBJECT

public:
    // Hop limit (TTL) of every datagram sent, unicast and multicast alike.
    static constexpr int kHopLimit = 32;

    // Keeps at most `capacity` bytes of each payload: as many as the receiver ever looks at.
    explicit DatagramEndpoint(qsizetype capacity, QObject* parent = nullptr);
    // Woken through `poller` (which must outlive the endpoint's bindings) when it is valid.
    DatagramEndpoint(qsizetype capacity, DatagramPoller* poller, QObject* parent = nullptr);
    ~DatagramEndpoint() override;

    // Whether another socket may take the same port on another address of this machine, or on
    // all of them: a fleet's units each listen on their own address and one more socket listens
    // on all, for broadcasts.
    enum class Sharing { Exclusive, Shared };

    // Closes any earlier binding, then binds `port` on all IPv4 addresses. A port held by another
    // program makes the bind fail. The outcome stays readable until the next bind.
    bool bind(quint16 port) { return bind(QHostAddress(QHostAddress::AnyIPv4), port, Sharing::Exclusive); }
    bool bind(const QHostAddress& address, quint16 port, Sharing sharing);
    // From the next bind on, each datagram carries the address it was sent to: one endpoint on
    // all addresses can then serve many units, each on an address of its own.
    void setReceiveDestination(bool on) { m_wantDestination = on; }
    // Keeps up to `capacity` bytes of each payload from now on.
    void setCapacity(qsizetype capacity) { m_capacity = qMax<qsizetype>(capacity, 1); }
    // Told of each batch of datagrams handed on (null: nobody).
    void setDrainObserver(DrainObserver* observer) { m_observer = observer; }
    quint16 port() const { return m_port; }
    // The port actually bound (differs from port() only when binding port 0).
    quint16 localPort() const { return m_localPort; }
    bool isBound() const { return m_fd >= 0; }
    // Why the last bind failed, for people; empty when it succeeded.
    QString bindError() const { return m_bindError; }

    // Delivers the datagrams waiting now.
    void poll();

    // Sends `data` from this endpoint's port. A failure is reported once per kind of failure.
    bool write(const QHostAddress& address, quint16 port, QByteArrayView data)
    {
        return writeToIPv4(address.toIPv4Address(), port, data);
    }
    // The same to an IPv4 address in host byte order. (Not an overload of write(): an enum such
    // as QHostAddress::LocalHost would convert to the number, not to the address.)
    bool writeToIPv4(quint32 address, quint16 port, QByteArrayView data)
    {
        return writeFrom(0, address, port, data);
    }
    // The same from `source`, an address of this machine (0: whichever the route gives), for an
    // endpoint bound to all addresses that answers for one of them.
    bool writeFrom(quint32 source, quint32 address, quint16 port, QByteArrayView data);

    // Sends `count` datagrams, as many to a system call as the system takes, in order. Sets
    // errors[i] to 0 for a datagram that left, else to why not (an errno). Returns how many left.
    int writeMany(const OutgoingDatagram* datagrams, int count, int* errors);

    // Why the last send that failed did, for people ("Network is unreachable"); empty before one.
    QString lastSendError() const { return sendErrorText(m_lastSendError); }
    // An errno from a send, for people; empty for 0.
    static QString sendErrorText(int error);
    // Whether endpoints made from now on send a run of same-sized datagrams to one destination as
    // one segmented send (UDP GSO), which the kernel cuts into the datagrams again: on by default.
    // A capture on this machine shows such a send as one large datagram.
    static void setSegmentOffload(bool on) { s_segmentOffload = on; }
    // The most datagrams read, or sent, by one system call.
    static constexpr int kBatchSize = 64;

signals:
    void datagramReceived(const Datagram& datagram);
    void bindStateChanged();
    void sendFailed(const QString& reason);

private:
    friend class DatagramPoller;
    void drain();
    // Hands on `count` datagrams received into the thread's receive room at `depth`.
    void deliver(int depth, int count, quint64 binding);
    void noteSendError(int error);
    void close();
    void watch();
    void pollerGone()
    {
        m_poller = nullptr;
        m_pollerKey = -1;
    }

    int m_fd = -1;
    DatagramPoller* m_poller = nullptr;
    qint64 m_pollerKey = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    DrainObserver* m_observer = nullptr;
    qsizetype m_capacity = 1;
    quint64 m_binding = 0; // changes with each bind and close, so a drain sees a re-bind
    Datagram m_datagram;   // reused, so that reading a sender's address does not build a new one
    quint16 m_port = 0;
    quint16 m_localPort = 0;
    QString m_bindError;
    bool m_draining = false;
    bool m_wantDestination = false;
    int m_lastSendError = 0;
    bool m_segmentOffload = s_segmentOffload;
    static inline bool s_segmentOffload = true;
};
