#pragma once

#include <QByteArrayView>

#include <string_view>

// The one discovery request: the single byte "X", nothing before or after it, case-sensitive.
inline constexpr std::string_view kDiscoveryRequest = "X";

inline bool isDiscoveryRequest(QByteArrayView payload)
{
    return payload == QByteArrayView(kDiscoveryRequest.data(), qsizetype(kDiscoveryRequest.size()));
}
