#pragma once

#include <QtGlobal>

class DatagramEndpoint;

// The endpoints the units of a dense fleet share instead of sockets of their own: one on all
// addresses for each unit port, which takes every unit's datagrams to that port and tells by
// their destination whose they are.
class SharedUnitPorts {
public:
    // The endpoint for `port`, made (and bound, once the fleet started) on first asking. It may
    // not be listening: its bind error says why.
    virtual DatagramEndpoint& unitPort(quint16 port) = 0;

protected:
    ~SharedUnitPorts() = default;
};
