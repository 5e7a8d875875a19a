#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QtGlobal>

// Whether an IPv4 address is one of this machine's: every 127.x.y.z, and the addresses of its
// interfaces. The interfaces are read again when an address is not found and the last reading is
// older than a second, so that an address added while running is found too, without reading
// them for every datagram from another machine.
class LocalAddresses {
public:
    bool contains(quint32 address);

private:
    void refresh();

    QList<quint32> m_addresses;
    QElapsedTimer m_readAt;
};
