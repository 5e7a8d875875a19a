#include "unitframe.h"

#include "unitprofiles.h"

void setStartChannelValues(ChannelArray& channels)
{
    // Every element, not only 2-13: a unit going back to its start state (a reboot, a scenario
    // started over) must forget what set-channels wrote into 0, 1 and 14-25 too.
    channels.fill(0);
    for (int n = 2; n <= 13; ++n)
        channels[n] = 125;
}

int profileAnswering(QByteArrayView identity, quint16 port, const UnitFrame& status)
{
    int byPort = -1;
    int byIdentity = -1;
    for (int index = 0; index < kProfileCount; ++index) {
        const UnitProfile& profile = kUnitProfiles[std::size_t(index)];
        if (profile.unitPort != port)
            continue;
        if (byPort < 0)
            byPort = index;
        if (identity != QByteArrayView(profile.identity.data(), qsizetype(profile.identity.size())))
            continue;
        if (byIdentity < 0)
            byIdentity = index;
        if (status[11] == profile.statusPosition11 &&
            (profile.statusPosition14 == kRandomStatusPosition14 || status[14] == profile.statusPosition14))
            return index;
    }
    return byIdentity >= 0 ? byIdentity : byPort;
}

static UnitFrame emptyReply(quint8 command)
{
    UnitFrame reply{};
    reply[0] = kReplyFirstByte;
    reply[1] = command;
    reply[kUnitFrameSize - 1] = kReplyLastByte;
    return reply;
}

UnitFrame channelQueryReply(const ChannelArray& channels)
{
    UnitFrame reply = emptyReply(UnitCommand::ChannelQuery);
    // Elements only ever hold request bytes or the start value, so they fit a byte as they are.
    for (int n = 2; n <= 25; ++n)
        reply[n] = quint8(channels[n]);
    return reply;
}

UnitFrame statusQueryReply(int profileIndex, StatusDraw draw)
{
    quint8 position11 = kNoProfileStatusPosition11;
    quint8 position14 = kNoProfileStatusPosition14;
    if (isValidProfileIndex(profileIndex)) {
        const UnitProfile& profile = kUnitProfiles[std::size_t(profileIndex)];
        position11 = profile.statusPosition11;
        position14 = profile.statusPosition14 == kRandomStatusPosition14 ? quint8(draw.second)
                                                                         : quint8(profile.statusPosition14);
    }
    UnitFrame reply = emptyReply(UnitCommand::StatusQuery);
    reply[2] = quint8(draw.first);
    reply[3] = 240;
    reply[4] = 250;
    reply[10] = 5;
    reply[11] = position11;
    reply[12] = 5;
    reply[13] = 3;
    reply[14] = position14;
    reply[16] = 1;
    reply[26] = 75;
    reply[27] = 1;
    return reply;
}

std::optional<UnitFrame> handleUnitRequest(QByteArrayView request, ChannelArray& channels, int profileIndex,
                                           StatusDraw draw)
{
    if (request.size() < kUnitFrameSize)
        return std::nullopt;
    switch (quint8(request[1])) {
    case UnitCommand::ChannelQuery:
        return channelQueryReply(channels);
    case UnitCommand::StatusQuery:
        return statusQueryReply(profileIndex, draw);
    case UnitCommand::SetChannels:
        for (int n = 0; n <= 25; ++n)
            channels[n] = quint8(request[n]);
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

const char* unitReplyProblem(QByteArrayView reply, quint8 command)
{
    if (reply.size() != kUnitFrameSize)
        return "not 29 bytes long";
    if (quint8(reply[0]) != kReplyFirstByte)
        return "first byte is not 254";
    if (quint8(reply[1]) != command)
        return "the command is not echoed";
    if (quint8(reply[kUnitFrameSize - 1]) != kReplyLastByte)
        return "last byte is not 255";
    return "";
}
