#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QUdpSocket>

// A controller stand-in on loopback: bound to an ephemeral port, sends requests and collects
// what comes back, each wait bounded.
class LoopbackClient {
public:
    LoopbackClient();

    quint16 port() const { return m_socket.localPort(); }
    void send(quint16 port, const QByteArray& payload)
    {
        sendTo(QHostAddress(QHostAddress::LocalHost), port, payload);
    }
    // To another loopback address (a unit of a fleet, say).
    void sendTo(const QHostAddress& address, quint16 port, const QByteArray& payload);
    // The next datagram that arrives, or a null QByteArray after `timeoutMs`.
    QByteArray receive(int timeoutMs = 2000, quint16* fromPort = nullptr);
    QByteArray request(quint16 port, const QByteArray& payload, int timeoutMs = 2000);
    QByteArray requestTo(const QHostAddress& address, quint16 port, const QByteArray& payload,
                         int timeoutMs = 2000);
    // True when nothing arrives within `ms` (the event loop keeps running meanwhile).
    bool staysQuiet(int ms = 300);

private:
    QUdpSocket m_socket;
};

// A 29-byte unit frame with the given command and, from position 2 on, the given bytes.
QByteArray unitFrame(quint8 command, const QList<int>& from2 = {}, int size = 29);
QList<int> bytesOf(const QByteArray& data);
inline QList<int> repeated(int value, int count)
{
    return QList<int>(count, value);
}
