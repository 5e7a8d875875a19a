#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <optional>

// Requests and replies on the unit port share one fixed 29-byte layout; byte 1 is the command.
inline constexpr qsizetype kUnitFrameSize = 29;
using UnitFrame = std::array<quint8, kUnitFrameSize>;

// The unit's channel state: 30 elements, of which a channel-query reports 2 to 25.
inline constexpr int kChannelCount = 30;
using ChannelArray = std::array<qint32, kChannelCount>;

namespace UnitCommand {
inline constexpr quint8 SetChannels = 0;
inline constexpr quint8 ChannelQuery = 50;
inline constexpr quint8 StatusQuery = 51;
} // namespace UnitCommand

inline constexpr quint8 kReplyFirstByte = 254;
inline constexpr quint8 kReplyLastByte = 255;

// The two values drawn for every unit datagram.
struct StatusDraw {
    int first = 25; // 25 to 70: status byte 2
    int second = 0; // 0 to 250: status byte 14 of the "Generation 1" profile
};
inline constexpr int kFirstDrawMin = 25;
inline constexpr int kFirstDrawMax = 70;
inline constexpr int kSecondDrawMin = 0;
inline constexpr int kSecondDrawMax = 250;

// Start values of a freshly opened unit: elements 2 to 13 at 125, the rest 0.
void setStartChannelValues(ChannelArray& channels);

// The profile a unit stands for by what it answered: the one whose identity and profile positions
// of the status reply (11, and 14 where it is fixed) it gave, else the one whose identity it gave,
// else the first that answers on its unit port; -1 when none does. Profiles 5 and 6 (and 7 and 8)
// share an identity and a port: only the status reply tells them apart.
int profileAnswering(QByteArrayView identity, quint16 port, const UnitFrame& status);

UnitFrame channelQueryReply(const ChannelArray& channels);
UnitFrame statusQueryReply(int profileIndex, StatusDraw draw);

// Handles one unit-port request. Frames shorter than 29 bytes are ignored, so a truncated
// set-channels frame can never wipe channels. Returns the reply to send, if any.
std::optional<UnitFrame> handleUnitRequest(QByteArrayView request, ChannelArray& channels, int profileIndex,
                                           StatusDraw draw);

// Why `reply` is not a well-formed unit reply to `command` (length 29, first byte 254, the
// command echoed, last byte 255); empty when it is one. For controllers and tools.
const char* unitReplyProblem(QByteArrayView reply, quint8 command);
