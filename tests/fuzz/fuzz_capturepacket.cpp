// Any bytes as a packet of a recording, under each link type replay reads: parsing stays inside
// the packet, and a datagram it finds lies within it.
#include "fuzzcheck.h"
#include "recording/pcapreader.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP, DLT_RAW};
    const int linkType = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    // A copy of exactly the packet's size, so that the sanitizer sees any read beyond it.
    const std::vector<uchar> packet(data + 1, data + size);
    const qsizetype length = qsizetype(packet.size());
    const std::optional<CapturedDatagram> datagram = datagramFromPacket(linkType, packet.data(), length);
    if (datagram)
        FUZZ_CHECK(datagram->payload.size() + 28 <= length);
    return 0;
}
