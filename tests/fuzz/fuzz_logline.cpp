// Log rows of any content, including field values the handlers never produce and notes of any
// bytes, composed as text and shown through the model: composing must stay inside its buffer
// and never fail.
#include "fuzzcheck.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"

#include <cstdint>
#include <cstring>

namespace {
// Fixed fields from the first 40 bytes of a record; the next byte says how much of the rest
// becomes the note (none, a fault text or a changed reply).
constexpr size_t kFixedBytes = 4 + 2 + 2 + 1 + 1 + 29 + 1;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TrafficLogModel model; // publishes at once: no timer, no event loop needed
    if (model.lineCount() > 100000)
        model.clear();
    size_t offset = 0;
    while (offset + kFixedBytes + 1 <= size) {
        TrafficLogEntry entry;
        const uint8_t* p = data + offset;
        std::memcpy(&entry.address, p, 4);
        std::memcpy(&entry.remotePort, p + 4, 2);
        std::memcpy(&entry.localPort, p + 6, 2);
        entry.kind = TrafficLogEntry::Kind(p[8]);
        entry.count = p[9];
        std::memcpy(entry.bytes.data(), p + 10, 29);
        entry.profile = p[39];
        const uint8_t noteSpec = p[40];
        offset += kFixedBytes + 1;
        const size_t noteSize = std::min<size_t>(noteSpec & 0x7f, size - offset);
        if (noteSpec & 0x80) {
            entry.note = new TrafficLogNote;
            const QByteArray bytes(reinterpret_cast<const char*>(data + offset), qsizetype(noteSize));
            (noteSpec & 1 ? entry.note->text : entry.note->reply) = bytes.repeated(1 + noteSpec % 7);
            offset += noteSize;
        }
        char line[kMaxTrafficLogLine];
        const qsizetype n = formatTrafficLogLine(entry, line);
        FUZZ_CHECK(n > 0 && n <= kMaxTrafficLogLine);
        model.append(entry);
        FUZZ_CHECK(model.lineAt(0) == QString::fromLatin1(line, n));
    }
    return 0;
}
