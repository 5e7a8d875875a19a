// Any unit-port datagram, through the same steps as the unit's handler: the incoming line, the
// request handling against the lasting channel state, the reply and its outgoing line.
// Input: one byte that picks the profile and the draws, then the datagram's payload.
#include "fuzzcheck.h"
#include "log/trafficlogline.h"
#include "record/unitframe.h"
#include "record/unitprofiles.h"

#include <cstdint>
#include <cstring>

namespace {
void checkLine(const TrafficLogEntry& entry)
{
    char line[kMaxTrafficLogLine];
    const qsizetype n = formatTrafficLogLine(entry, line);
    FUZZ_CHECK(n > 0 && n <= kMaxTrafficLogLine);
    for (qsizetype i = 0; i < n; ++i)
        FUZZ_CHECK(line[i] >= 0x20 && line[i] < 0x7f);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lasting across inputs, as it lasts across datagrams in the unit.
    static ChannelArray channels = [] {
        ChannelArray start{};
        setStartChannelValues(start);
        return start;
    }();
    if (size == 0)
        return 0;
    const int profile = data[0] % (kProfileCount + 1); // one index outside the table too
    const StatusDraw draw{kFirstDrawMin + data[0] % 46, data[0] % 251};
    const QByteArrayView request(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const TrafficLogEntry incoming =
        TrafficLogEntry::unitIncoming(0x7f000001u, 50000, 4000, request, profile);
    FUZZ_CHECK(incoming.count == std::min<qsizetype>(request.size(), kUnitFrameSize));
    checkLine(incoming);

    const ChannelArray before = channels;
    const std::optional<UnitFrame> reply = handleUnitRequest(request, channels, profile, draw);
    for (qint32 value : channels)
        FUZZ_CHECK(value >= 0 && value <= 255);
    if (request.size() < kUnitFrameSize || quint8(request[1]) != UnitCommand::SetChannels)
        FUZZ_CHECK(channels == before);
    if (reply) {
        FUZZ_CHECK(request.size() >= kUnitFrameSize);
        FUZZ_CHECK((*reply)[0] == kReplyFirstByte && (*reply)[28] == kReplyLastByte);
        FUZZ_CHECK((*reply)[1] == quint8(request[1]));
        checkLine(TrafficLogEntry::unitOutgoing(0x7f000001u, 50000, *reply, profile));
    }
    return 0;
}
