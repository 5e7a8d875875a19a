#include "unitsimulator.h"

#include "discovery.h"
#include "unitprofiles.h"

namespace {
// The unit endpoint keeps a whole frame; later bytes are never looked at. The discovery endpoint
// keeps one byte more than the request, so that a longer payload can never look like it.
constexpr qsizetype kUnitCapacity = kUnitFrameSize;
constexpr qsizetype kDiscoveryCapacity = qsizetype(kDiscoveryRequest.size()) + 1;

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
    , UDPSocket1(kUnitCapacity)
    , UDPSocket2(kDiscoveryCapacity)
    , m_random(std::random_device{}())
{
    connect(&UDPSocket1, &DatagramEndpoint::datagramReceived, this, &UnitSimulator::UDPSocket1_DataAvailable);
    connect(&UDPSocket2, &DatagramEndpoint::datagramReceived, this, &UnitSimulator::UDPSocket2_DataAvailable);
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

void UnitSimulator::start(int profileIndex)
{
    setStartChannelValues(ChannelValues);
    selectProfile(profileIndex);
    UDPSocket2.bind(kDiscoveryPort);
}

bool UnitSimulator::selectProfile(int index)
{
    if (!isValidProfileIndex(index))
        return false;
    m_profileIndex = index;
    return UDPSocket1.bind(unitPortForProfile(index));
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

void UnitSimulator::UDPSocket1_DataAvailable(const Datagram& datagram)
{
    const StatusDraw draw = drawStatusValues();
    const int profile = m_profileIndex;
    const quint32 sender = ipv4Of(datagram.address);
    emit trafficLogged(TrafficLogEntry::unitIncoming(sender, UDPSocket1.port(), datagram.data, profile));

    const std::optional<UnitFrame> reply = handleUnitRequest(datagram.data, ChannelValues, profile, draw);
    if (!reply)
        return;
    UDPSocket1.write(datagram.address, datagram.port,
                     QByteArrayView(reinterpret_cast<const char*>(reply->data()), kUnitFrameSize));
    emit trafficLogged(TrafficLogEntry::unitOutgoing(sender, datagram.port, *reply, profile));
}

void UnitSimulator::UDPSocket2_DataAvailable(const Datagram& datagram)
{
    if (!isDiscoveryRequest(datagram.data))
        return;
    const int profile = m_profileIndex;
    const quint32 sender = ipv4Of(datagram.address);
    emit trafficLogged(TrafficLogEntry::discoveryIncoming(sender, UDPSocket2.port(), datagram.data, profile));

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
