#pragma once

#include <QHash>
#include <QtGlobal>

// The address of this machine that a datagram to `remote` leaves from: what a unit listening on
// all addresses answers from, and so what a capture shows as its side. Asked of the kernel's
// routing once per remote address.
class LocalAddressFinder {
public:
    // 0 when the kernel knows no route to `remote`.
    quint32 sourceFor(quint32 remote);

private:
    QHash<quint32, quint32> m_known;
};
