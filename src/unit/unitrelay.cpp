#include "unitrelay.h"

#include "record/unitprofiles.h"

#include <QHostAddress>

namespace {
QString peer(quint32 address, quint16 port)
{
    return QHostAddress(address).toString() + QLatin1Char(':') + QString::number(port);
}
} // namespace

UnitRelay::UnitRelay(quint32 real, quint32 bindAddress, DatagramPoller* poller, QObject* parent)
    : QObject(parent)
    , m_real(real)
    , m_bindAddress(bindAddress)
    , m_poller(poller)
{
    m_clock.start();
    m_idleCheck.setInterval(kIdleMs / 4);
    connect(&m_idleCheck, &QTimer::timeout, this, &UnitRelay::closeIdle);
}

UnitRelay::~UnitRelay() = default;

UnitRelay::Relay* UnitRelay::relayFor(quint32 controller, quint16 controllerPort, quint32 local,
                                      QString* error)
{
    const quint64 k = key(controller, controllerPort);
    if (const auto found = m_relays.constFind(k); found != m_relays.cend())
        return found->get();
    if (m_relays.size() >= kMaxRelays) {
        // The one unused longest makes room.
        auto oldest = m_relays.cbegin();
        for (auto it = m_relays.cbegin(); it != m_relays.cend(); ++it) {
            if ((*it)->lastUsedMs < (*oldest)->lastUsedMs)
                oldest = it;
        }
        close(
            oldest.key(),
            QStringLiteral("the relay table is full (%1 controllers): closed to make room").arg(kMaxRelays));
    }
    auto relay = std::make_shared<Relay>();
    relay->controller = controller;
    relay->controllerPort = controllerPort;
    relay->local = local;
    relay->endpoint = std::make_unique<DatagramEndpoint>(kReplyCapacity, m_poller);
    // 0 is 0.0.0.0: all addresses.
    if (!relay->endpoint->bind(QHostAddress(m_bindAddress), 0, DatagramEndpoint::Sharing::Exclusive)) {
        *error = QStringLiteral("no relay port: ") + relay->endpoint->bindError();
        return nullptr;
    }
    Relay* raw = relay.get();
    connect(raw->endpoint.get(), &DatagramEndpoint::datagramReceived, this,
            [this, raw](const Datagram& datagram) {
                const quint32 from = datagram.address.toIPv4Address();
                if (from != m_real) {
                    ++m_foreign;
                    emit foreignDatagram(from, datagram.port);
                    return;
                }
                raw->lastUsedMs = m_clock.elapsed();
                emit replied({.discovery = datagram.port == kDiscoveryPort,
                              .controller = raw->controller,
                              .controllerPort = raw->controllerPort,
                              .local = raw->local,
                              .relayPort = raw->endpoint->localPort(),
                              .fromPort = datagram.port,
                              .bytes = datagram.data});
            });
    m_ports.insert(raw->endpoint->localPort());
    m_relays.insert(k, std::move(relay));
    if (!m_idleCheck.isActive())
        m_idleCheck.start();
    return raw;
}

quint16 UnitRelay::forward(quint32 controller, quint16 controllerPort, quint32 local, quint16 port,
                           QByteArrayView payload, QString* error)
{
    Relay* relay = relayFor(controller, controllerPort, local, error);
    if (!relay)
        return 0;
    relay->lastUsedMs = m_clock.elapsed();
    if (!relay->endpoint->writeFrom(0, m_real, port, payload)) {
        *error = relay->endpoint->lastSendError();
        return 0;
    }
    return relay->endpoint->localPort();
}

void UnitRelay::close(quint64 k, const QString& why)
{
    const auto found = m_relays.find(k);
    if (found == m_relays.end())
        return;
    const std::shared_ptr<Relay> relay = *found;
    m_relays.erase(found);
    m_ports.remove(relay->endpoint->localPort());
    emit relayClosed(
        relay->controller, relay->controllerPort,
        QStringLiteral("relay of %1 closed: %2").arg(peer(relay->controller, relay->controllerPort), why));
}

void UnitRelay::closeIdle()
{
    const qint64 now = m_clock.elapsed();
    QList<quint64> idle;
    for (auto it = m_relays.cbegin(); it != m_relays.cend(); ++it) {
        if (now - (*it)->lastUsedMs >= kIdleMs)
            idle << it.key();
    }
    for (quint64 k : idle)
        close(k, QStringLiteral("unused for %1 s").arg(kIdleMs / 1000));
    if (m_relays.isEmpty())
        m_idleCheck.stop();
}
