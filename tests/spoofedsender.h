#pragma once

#include <QByteArray>
#include <QtGlobal>

// Sends a UDP datagram with any source address and port, as a spoofing attacker (or a reply
// aimed back at its sender) would, through a raw socket: root only. False when that cannot be
// done here; tests then skip.
bool sendSpoofedUdp(quint32 source, quint16 sourcePort, quint32 destination, quint16 destinationPort,
                    const QByteArray& payload);
// Whether sendSpoofedUdp() can work in this process.
bool canSpoof();
