// Log rows of any content, including field values the handlers never produce, composed as text
// and shown through the model: composing must stay inside its buffer and never fail.
#include "fuzzcheck.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TrafficLogModel model; // publishes at once: no timer, no event loop needed
    if (model.lineCount() > 100000)
        model.clear();
    for (size_t offset = 0; offset + sizeof(TrafficLogEntry) <= size; offset += sizeof(TrafficLogEntry)) {
        TrafficLogEntry entry;
        std::memcpy(&entry, data + offset, sizeof entry);
        char line[kMaxTrafficLogLine];
        const qsizetype n = formatTrafficLogLine(entry, line);
        FUZZ_CHECK(n > 0 && n <= kMaxTrafficLogLine);
        model.append(entry);
        FUZZ_CHECK(model.lineAt(0) == QString::fromLatin1(line, n));
    }
    return 0;
}
