#pragma once

#include <QtGlobal>

// The kinds of datagram a fault rule can act on, as flags; a log record names the one a rule
// acted on. Anything else is never touched.
namespace FaultKind {
inline constexpr quint8 SetChannels = 1;
inline constexpr quint8 ChannelQuery = 2;
inline constexpr quint8 StatusQuery = 4;
inline constexpr quint8 Discovery = 8;
inline constexpr quint8 All = SetChannels | ChannelQuery | StatusQuery | Discovery;
// The kinds that are answered, and so have a reply to delay, double, cut or damage.
inline constexpr quint8 Answered = ChannelQuery | StatusQuery | Discovery;
} // namespace FaultKind
