#include "unitclient.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QRegularExpression>

#include <sys/socket.h>

QString parseTarget(const QString& text, quint16 defaultPort, Target& target)
{
    QString host = text;
    target.port = defaultPort;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return QStringLiteral("bad port in '%1': give 1 to 65535").arg(text);
        target.port = quint16(port);
    }
    if (host.isEmpty())
        return QStringLiteral("no host in '%1'").arg(text);
    // Numbers must be four dotted parts: "1.2.3" is a typing error, not the address 1.2.0.3.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    static const QRegularExpression dotted(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
    if (dotted.match(host).hasMatch() && target.address.setAddress(host))
        return {};
    if (!numeric.match(host).hasMatch()) {
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                target.address = address;
                return {};
            }
        }
    }
    return QStringLiteral("bad address '%1': give an IPv4 address or a host name").arg(host);
}

UnitClient::UnitClient()
{
    m_socket.bind(QHostAddress::AnyIPv4, 0);
    // Thousands of discovery answers arrive at once; the kernel must hold them until read. A
    // dense fleet's 100,000 need a hundred megabytes of the kernel's room, which only a process
    // that may (CAP_NET_ADMIN) takes beyond net.core.rmem_max; the memory is used only as they come.
    const int fd = int(m_socket.socketDescriptor());
    int room = 128 * 1024 * 1024;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 * 1024 * 1024);
}

bool UnitClient::send(const Target& target, const QByteArray& payload)
{
    return m_socket.writeDatagram(payload, target.address, target.port) == payload.size();
}

QList<Reply> UnitClient::receiveUpTo(const Target& from, int timeoutMs, qsizetype count)
{
    QList<Reply> replies;
    if (count == 0)
        return replies;
    QDeadlineTimer deadline(timeoutMs);
    // What has arrived already is read even with no time left: a timeout of 0 drains.
    for (;;) {
        while (m_socket.hasPendingDatagrams()) {
            Reply reply;
            reply.data.resize(qMax<qint64>(m_socket.pendingDatagramSize(), 0));
            const qint64 n =
                m_socket.readDatagram(reply.data.data(), reply.data.size(), &reply.address, &reply.port);
            if (n < 0)
                continue;
            reply.data.truncate(n);
            const bool expected = (from.address.isNull() || reply.address.isEqual(from.address)) &&
                                  (from.port == 0 || reply.port == from.port);
            if (!expected)
                continue; // somebody else's datagram
            replies.append(reply);
            if (replies.size() == count)
                return replies;
        }
        if (deadline.hasExpired() || !m_socket.waitForReadyRead(int(deadline.remainingTime())))
            return replies;
    }
}
