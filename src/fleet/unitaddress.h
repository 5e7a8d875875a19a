#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

// The most units one process simulates: a /14's worth of addresses (half a gigabyte of units in
// a dense fleet).
inline constexpr qsizetype kMaxFleetUnits = 262144;

// A dotted IPv4 address as the user writes it ("127.0.1.7"), or nothing.
std::optional<QHostAddress> parseUnitAddress(const QString& text);

// Why no unit can have an address from `first` to `last` (IPv4, host byte order), or nothing: the
// wildcard, broadcasts (every network's, this machine's interfaces' and loopback's) and multicast
// addresses are not one host's, and a fleet that holds one answers broadcasts wrongly.
QString unitAddressProblem(quint32 first, quint32 last);
