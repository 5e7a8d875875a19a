#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUdpSocket>

// What one read yields: the sender and the first bytes of the payload.
struct Datagram {
    QHostAddress address;
    quint16 port = 0;
    QByteArrayView data; // points into the buffer handed to read(); bytes beyond it were dropped
};

// A UDP endpoint bound on all IPv4 addresses (so senders read as dotted decimal).
//
// Datagrams are delivered as one dataAvailable() per datagram: at once when they arrive, and
// again by poll(). Each receiver of dataAvailable() must read() exactly one datagram; should it
// not, the endpoint discards that datagram itself, so the socket never stalls.
class DatagramEndpoint : public QObject {
    Q_OBJECT

public:
    // Hop limit (TTL) of every datagram sent, unicast and multicast alike.
    static constexpr int kHopLimit = 32;

    explicit DatagramEndpoint(QObject* parent = nullptr);

    // Closes any earlier binding, then binds `port`. A port held by another program makes the
    // bind fail; the port is never shared. The outcome stays readable until the next bind.
    bool bind(quint16 port);
    quint16 port() const { return m_port; }
    // The port actually bound (differs from port() only when binding port 0).
    quint16 localPort() const { return m_socket.localPort(); }
    bool isBound() const { return m_socket.state() == QAbstractSocket::BoundState; }
    // Why the last bind failed, for people; empty when it succeeded.
    QString bindError() const { return m_bindError; }

    // Delivers the datagrams waiting now.
    void poll();

    // Reads one pending datagram; at most `capacity` bytes of its payload are kept in `buffer`.
    bool read(Datagram& datagram, char* buffer, qsizetype capacity);
    // Sends `data` from this endpoint's port. A failure is reported once per kind of failure.
    bool write(const QHostAddress& address, quint16 port, QByteArrayView data);

signals:
    void dataAvailable();
    void bindStateChanged();
    void sendFailed(const QString& reason);

private:
    void deliverPending();
    void enlargeReceiveBuffer();

    QUdpSocket m_socket;
    quint16 m_port = 0;
    QString m_bindError;
    quint64 m_readCount = 0;
    bool m_delivering = false;
    bool m_knownPending = false;
    QAbstractSocket::SocketError m_lastSendError = QAbstractSocket::UnknownSocketError;
};
