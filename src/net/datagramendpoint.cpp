#include "datagramendpoint.h"

#include <QVariant>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {
// Room for bursts: a controller's stress test must not be dropped by the kernel while the
// event thread is busy painting. The kernel caps it at net.core.rmem_max.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Datagrams handled per wake-up before the event loop gets its turn again, so that a flood on
// one endpoint cannot starve the other one or the window.
constexpr int kMaxDatagramsPerWakeUp = 256;

#ifdef SO_RCVBUFFORCE
constexpr bool kCanForceBuffer = true;
#else
constexpr bool kCanForceBuffer = false;
#endif

QString describeBindError(const QUdpSocket& socket)
{
    switch (socket.error()) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("the port is in use by another program");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("permission denied");
    default:
        return socket.errorString();
    }
}
} // namespace

DatagramEndpoint::DatagramEndpoint(qsizetype capacity, QObject* parent)
    : QObject(parent)
    , m_buffer(qMax<qsizetype>(capacity, 1), Qt::Uninitialized)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &DatagramEndpoint::drain);
}

bool DatagramEndpoint::bind(const QHostAddress& address, quint16 port, Sharing sharing)
{
    // A bound QUdpSocket refuses a second bind and stays on its old port, so close first.
    m_socket.close();
    m_port = port;
    // Exclusive: no SO_REUSEADDR, so a port another program holds is refused.
    const bool bound =
        m_socket.bind(address, port,
                      sharing == Sharing::Shared ? QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint
                                                 : QUdpSocket::DefaultForPlatform);
    m_bindError = bound ? QString() : describeBindError(m_socket);
    if (bound) {
        enlargeReceiveBuffer();
        const int hops = kHopLimit;
        ::setsockopt(int(m_socket.socketDescriptor()), IPPROTO_IP, IP_TTL, &hops, sizeof hops);
        m_socket.setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(kHopLimit));
    }
    emit bindStateChanged();
    return bound;
}

void DatagramEndpoint::enlargeReceiveBuffer()
{
    // Beyond net.core.rmem_max only where the process may (CAP_NET_ADMIN); otherwise the
    // kernel's cap applies.
    if constexpr (kCanForceBuffer) {
        const int bytes = kReceiveBufferBytes;
        if (::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &bytes,
                         sizeof bytes) == 0)
            return;
    }
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(kReceiveBufferBytes));
}

void DatagramEndpoint::poll()
{
    drain();
}

void DatagramEndpoint::drain()
{
    // An endpoint that failed to bind has nothing to deliver. A receiver that polls from inside
    // its own handler must not recurse into delivery.
    if (m_draining || !isBound())
        return;
    m_draining = true;
    char* const buffer = m_buffer.data();
    for (int i = 0; i < kMaxDatagramsPerWakeUp && m_socket.hasPendingDatagrams(); ++i) {
        // The kernel drops whatever of a longer payload does not fit the buffer.
        const qint64 n =
            m_socket.readDatagram(buffer, m_buffer.size(), &m_datagram.address, &m_datagram.port);
        if (n < 0)
            continue;
        m_datagram.data = QByteArrayView(buffer, qsizetype(n));
        emit datagramReceived(m_datagram);
    }
    m_draining = false;
}

bool DatagramEndpoint::write(const QHostAddress& address, quint16 port, QByteArrayView data)
{
    const qint64 sent = m_socket.writeDatagram(data.data(), data.size(), address, port);
    if (sent == data.size())
        return true;
    // One message per kind of failure, not one per datagram: a flood must not flood stderr.
    if (m_socket.error() != m_lastSendError) {
        m_lastSendError = m_socket.error();
        emit sendFailed(m_socket.errorString());
    }
    return false;
}
