#pragma once

// What the parts of the simulated unit share: the unit itself, its replies through the fault
// rules, and a proxy's legs to the real unit.
#include "record/unitframe.h"

#include "fault/faultrule.h"

#include <QHostAddress>
#include <QString>

namespace unitsupport {
inline quint32 ipv4Of(const QHostAddress& address)
{
    // The endpoints bind IPv4 only, so every sender has an IPv4 address.
    return address.toIPv4Address();
}

inline constexpr quint32 kStatusDraws = 1;

// Which kind of request a fault rule may act on; 0 for anything else, which faults never touch.
inline quint8 unitFaultKind(QByteArrayView request)
{
    if (request.size() < kUnitFrameSize)
        return 0;
    switch (quint8(request[1])) {
    case UnitCommand::SetChannels:
        return FaultKind::SetChannels;
    case UnitCommand::ChannelQuery:
        return FaultKind::ChannelQuery;
    case UnitCommand::StatusQuery:
        return FaultKind::StatusQuery;
    default:
        return 0;
    }
}

inline QString peerText(quint32 address, quint16 port)
{
    return QHostAddress(address).toString() + QLatin1Char(':') + QString::number(port);
}
} // namespace unitsupport
