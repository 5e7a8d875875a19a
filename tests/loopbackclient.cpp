#include "loopbackclient.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

LoopbackClient::LoopbackClient()
{
    if (!m_socket.bind(QHostAddress::LocalHost, 0))
        qFatal("cannot bind a loopback client socket: %s", qPrintable(m_socket.errorString()));
}

void LoopbackClient::sendTo(const QHostAddress& address, quint16 port, const QByteArray& payload)
{
    m_socket.writeDatagram(payload, address, port);
}

QByteArray LoopbackClient::receive(int timeoutMs, quint16* fromPort)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_socket.hasPendingDatagrams() && !deadline.hasExpired())
        QTest::qWait(1);
    if (!m_socket.hasPendingDatagrams())
        return {};
    QByteArray data(int(qMax<qint64>(m_socket.pendingDatagramSize(), 0)), Qt::Uninitialized);
    quint16 sourcePort = 0;
    m_socket.readDatagram(data.data(), data.size(), nullptr, &sourcePort);
    if (fromPort)
        *fromPort = sourcePort;
    if (data.isNull())
        data = QByteArray("", 0); // an empty datagram is still an answer
    return data;
}

QByteArray LoopbackClient::request(quint16 port, const QByteArray& payload, int timeoutMs)
{
    send(port, payload);
    return receive(timeoutMs);
}

QByteArray LoopbackClient::requestTo(const QHostAddress& address, quint16 port, const QByteArray& payload,
                                     int timeoutMs)
{
    sendTo(address, port, payload);
    return receive(timeoutMs);
}

bool LoopbackClient::staysQuiet(int ms)
{
    QTest::qWait(ms);
    return !m_socket.hasPendingDatagrams();
}

QByteArray unitFrame(quint8 command, const QList<int>& from2, int size)
{
    QByteArray frame(size, '\0');
    if (size > 1)
        frame[1] = char(command);
    for (int i = 0; i < from2.size() && 2 + i < size; ++i)
        frame[2 + i] = char(from2[i]);
    return frame;
}

QList<int> bytesOf(const QByteArray& data)
{
    QList<int> out;
    for (char c : data)
        out.append(quint8(c));
    return out;
}
