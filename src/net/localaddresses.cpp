#include "localaddresses.h"

#include <QNetworkInterface>

namespace {
constexpr qint64 kRereadAfterMs = 1000;
} // namespace

bool LocalAddresses::contains(quint32 address)
{
    if ((address >> 24) == 127)
        return true;
    if (m_addresses.contains(address))
        return true;
    if (m_readAt.isValid() && m_readAt.elapsed() < kRereadAfterMs)
        return false;
    refresh();
    return m_addresses.contains(address);
}

void LocalAddresses::refresh()
{
    m_readAt.start();
    m_addresses.clear();
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        bool isIPv4 = false;
        const quint32 ipv4 = address.toIPv4Address(&isIPv4);
        if (isIPv4)
            m_addresses.append(ipv4);
    }
}
