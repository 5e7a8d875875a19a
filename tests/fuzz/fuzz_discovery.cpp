// Any discovery-port datagram: only the single byte "X" is a request, and its lines compose.
#include "fuzzcheck.h"
#include "log/trafficlogline.h"
#include "record/unitprofiles.h"
#include "unit/discovery.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView payload(reinterpret_cast<const char*>(data), qsizetype(size));
    const bool matches = isDiscoveryRequest(payload);
    FUZZ_CHECK(matches == (size == 1 && data[0] == 'X'));
    if (!matches)
        return 0;
    char line[kMaxTrafficLogLine];
    for (int profile = 0; profile < kProfileCount; ++profile) {
        const qsizetype n =
            formatTrafficLogLine(TrafficLogEntry::discoveryOutgoing(0xffffffffu, 65535, profile), line);
        FUZZ_CHECK(n == 4 + 15 + 1 + 5 + 3 + 50);
    }
    FUZZ_CHECK(formatTrafficLogLine(TrafficLogEntry::discoveryIncoming(0, 50000, 65535, payload, 0), line) ==
               21);
    return 0;
}
