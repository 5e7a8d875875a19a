#include "unitsimulator.h"

#include "discovery.h"
#include "unitprofiles.h"

namespace {
QString endpointStateText(const QString& name, const DatagramEndpoint& endpoint)
{
    const QString head = name + QLatin1Char(' ') + QString::number(endpoint.port()) + QStringLiteral(": ");
    if (endpoint.isBound())
        return head + QStringLiteral("listening");
    return head + QStringLiteral("not listening \u2014 ") + endpoint.bindError();
}

quint32 ipv4Of(const QHostAddress& address)
{
    // The endpoints bind IPv4 only, so every sender has an IPv4 address.
    return address.toIPv4Address();
}
} // namespace

UnitSimulator::UnitSimulator(QObject* parent)
    : QObject(parent)
    , m_random(std::random_device{}())
{
    connect(&UDPSocket1, &DatagramEndpoint::dataAvailable, this, &UnitSimulator::UDPSocket1_DataAvailable);
    connect(&UDPSocket2, &DatagramEndpoint::dataAvailable, this, &UnitSimulator::UDPSocket2_DataAvailable);
    connect(&UDPSocket1, &DatagramEndpoint::bindStateChanged, this,
            [this] { emit endpointStateChanged(Endpoint::Unit, unitEndpointState()); });
    connect(&UDPSocket2, &DatagramEndpoint::bindStateChanged, this,
            [this] { emit endpointStateChanged(Endpoint::Discovery, discoveryEndpointState()); });
    for (DatagramEndpoint* endpoint : {&UDPSocket1, &UDPSocket2})
        connect(endpoint, &DatagramEndpoint::sendFailed, this, [this](const QString& reason) {
            emit replyNotSent(QStringLiteral("A reply could not be sent: ") + reason);
        });

    // Datagrams are delivered as they arrive; the tick is the guaranteed upper bound.
    Timer1.setInterval(kPollIntervalMs);
    connect(&Timer1, &QTimer::timeout, this, &UnitSimulator::Timer1_Action);
    Timer1.start();
}

void UnitSimulator::setStartChannelValues()
{
    ::setStartChannelValues(ChannelValues);
}

bool UnitSimulator::selectProfile(int index)
{
    if (!isValidProfileIndex(index))
        return false;
    m_profileIndex = index;
    return UDPSocket1.bind(unitPortForProfile(index));
}

void UnitSimulator::bindDiscoveryPort()
{
    UDPSocket2.bind(kDiscoveryPort);
}

QString UnitSimulator::unitEndpointState() const
{
    return endpointStateText(QStringLiteral("Unit port"), UDPSocket1);
}

QString UnitSimulator::discoveryEndpointState() const
{
    return endpointStateText(QStringLiteral("Discovery port"), UDPSocket2);
}

StatusDraw UnitSimulator::drawStatusValues()
{
    StatusDraw draw;
    draw.first = m_firstDraw(m_random);
    draw.second = m_secondDraw(m_random);
    return draw;
}

void UnitSimulator::UDPSocket1_DataAvailable()
{
    const StatusDraw draw = drawStatusValues();
    const int profile = m_profileIndex;

    char buffer[kUnitFrameSize];
    Datagram datagram;
    if (!UDPSocket1.read(datagram, buffer, sizeof buffer))
        return;
    const quint32 sender = ipv4Of(datagram.address);
    emit trafficLogged(TrafficLogEntry::unitIncoming(sender, UDPSocket1.port(), datagram.data));

    const std::optional<UnitFrame> reply = handleUnitRequest(datagram.data, ChannelValues, profile, draw);
    if (!reply)
        return;
    UDPSocket1.write(datagram.address, datagram.port,
                     QByteArrayView(reinterpret_cast<const char*>(reply->data()), kUnitFrameSize));
    emit trafficLogged(TrafficLogEntry::unitOutgoing(sender, datagram.port, *reply));
}

void UnitSimulator::UDPSocket2_DataAvailable()
{
    // One byte more than the request, so that a longer payload can never look like it.
    char buffer[kDiscoveryRequest.size() + 1];
    Datagram datagram;
    if (!UDPSocket2.read(datagram, buffer, sizeof buffer) || !isDiscoveryRequest(datagram.data))
        return;
    const quint32 sender = ipv4Of(datagram.address);
    emit trafficLogged(TrafficLogEntry::discoveryIncoming(sender, UDPSocket2.port()));

    const int profile = m_profileIndex;
    const std::string_view identity = identityForProfile(profile);
    UDPSocket2.write(datagram.address, datagram.port,
                     QByteArrayView(identity.data(), qsizetype(identity.size())));
    emit trafficLogged(TrafficLogEntry::discoveryOutgoing(sender, datagram.port, profile));
}

void UnitSimulator::Timer1_Action()
{
    UDPSocket1.poll();
    UDPSocket2.poll();
}
