#pragma once

#include <QtGlobal>

#include <array>
#include <string_view>

// One kind of unit the simulator can pose as: a row of the profile selector.
struct UnitProfile {
    std::string_view label;
    // Given out whole on discovery; never assembled from or split into its fields.
    std::string_view identity;
    quint16 unitPort;
    // Profile-specific bytes of the status-query reply.
    quint8 statusPosition11;
    // -1: position 14 carries the second pseudo-random value of the datagram.
    qint16 statusPosition14;
};

inline constexpr int kProfileCount = 9;
inline constexpr quint16 kDiscoveryPort = 65535;
// The range the unit ports of every profile lie in.
inline constexpr quint16 kFirstUnitPort = 4000;
inline constexpr quint16 kLastUnitPort = 4007;
inline constexpr qint16 kRandomStatusPosition14 = -1;
// Status bytes 11 and 14 for an index outside the table; the selector never yields one.
inline constexpr quint8 kNoProfileStatusPosition11 = 6;
inline constexpr quint8 kNoProfileStatusPosition14 = 0;

// The profile table. Rows 5/6 and 7/8 share an identity string and a unit port: the
// 12-channel drivers answer on the port of their 6-channel sibling, so 4006 and 4008 never occur.
inline constexpr std::array<UnitProfile, kProfileCount> kUnitProfiles{{
    {"LED driver @ port:4000", "ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*", 4000, 6, 12},
    {"\"Generation 1\" LED driver @ port:4001", "ALED.SIM.ULA.TOR.1/4001/*****/**/Lumivane/LED5.1/*", 4001, 1,
     kRandomStatusPosition14},
    {"slim LED driver @ port:4002", "ALED.SIM.ULA.TOR.2/4002/*****/**/Lumivane/SLD2.0/*", 4002, 6, 4},
    {"PoE LED driver @ port:4003", "ALED.SIM.ULA.TOR.3/4003/*****/**/Lumivane/PoE2.0/*", 4003, 6, 4},
    {"Dimmer @ port:4004", "ALED.SIM.ULA.TOR.4/4004/*****/**/Lumivane/DIM2.0/*", 4004, 6, 4},
    {"CVD driver-6 channels @ port:4005", "ALED.SIM.ULA.TOR.5/4005/*****/**/Lumivane/CVD2.1/*", 4005, 12, 6},
    {"CVD driver-12 channels @ port:4005", "ALED.SIM.ULA.TOR.5/4005/*****/**/Lumivane/CVD2.1/*", 4005, 12,
     12},
    {"CCD driver-6 channels @ port:4007", "ALED.SIM.ULA.TOR.6/4007/*****/**/Lumivane/CCD2.1/*", 4007, 12, 6},
    {"CCD driver-12 channels @ port:4007", "ALED.SIM.ULA.TOR.6/4007/*****/**/Lumivane/CCD2.1/*", 4007, 12,
     12},
}};

constexpr bool isValidProfileIndex(int index)
{
    return index >= 0 && index < kProfileCount;
}

// The port rule: the unit port of the profile at `index` (0 to 8).
constexpr quint16 unitPortForProfile(int index)
{
    return kUnitProfiles[std::size_t(index)].unitPort;
}

constexpr std::string_view identityForProfile(int index)
{
    return kUnitProfiles[std::size_t(index)].identity;
}
