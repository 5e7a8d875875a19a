#pragma once

#include <QString>

// Who holds UDP port `port` (IPv4, any address) on this machine, for people: "process 4242
// (unit-simulator)", or empty when no socket is found or the process owning it cannot be seen
// (another user's, without the rights to look).
QString udpPortHolder(quint16 port);
