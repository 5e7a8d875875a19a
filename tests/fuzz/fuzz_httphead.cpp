// Any bytes as the start of a request to the control API (the container's listens on every
// address, and the head is read before any token is checked): reading is a pure function that
// never reads past what it was given, and what it takes is a request the server can act on.
#include "control/httprequesthead.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    constexpr qsizetype kLimit = 1024;
    const HttpRequestHead head = parseHttpRequestHead(bytes, 0, kLimit);
    switch (head.outcome) {
    case HttpRequestHead::Outcome::Incomplete:
        FUZZ_CHECK(head.scanned >= 0 && head.scanned <= bytes.size());
        // Read on from where it stopped, as the connection does: the same answer.
        FUZZ_CHECK(parseHttpRequestHead(bytes, head.scanned, kLimit).outcome ==
                   HttpRequestHead::Outcome::Incomplete);
        break;
    case HttpRequestHead::Outcome::Refused:
        FUZZ_CHECK(head.status >= 400 && head.status <= 505 && !head.message.isEmpty());
        break;
    case HttpRequestHead::Outcome::Complete:
        FUZZ_CHECK(head.consumed > 0 && head.consumed <= bytes.size());
        FUZZ_CHECK(!head.request.method.isEmpty() && head.request.path.startsWith(QLatin1Char('/')));
        FUZZ_CHECK(head.bodyLength >= 0);
        FUZZ_CHECK(head.request.minorVersion == 0 || head.request.minorVersion == 1);
        FUZZ_CHECK(head.request.minorVersion == 0 || !head.request.header("host").isNull());
        for (const auto& [name, value] : head.request.headers)
            FUZZ_CHECK(!name.isEmpty() && !value.contains('\0') && !value.contains('\r'));
        break;
    }
    return 0;
}
