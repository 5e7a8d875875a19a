// Any datagrams as a recording of a unit: what is read from them is a unit this simulator can
// be (a known port, an identity it can send, each position's range in order), or a refusal.
#include "fuzzcheck.h"
#include "record/unitprofiles.h"
#include "recording/unitrecording.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each datagram: a byte of who sent it to whom, a length byte, then that many payload bytes.
    static const quint16 kPorts[] = {4000, 4001, 4003, 4005, 4006, 4007, kDiscoveryPort, 50000};
    CaptureContents contents;
    std::size_t at = 0;
    while (at + 2 <= size && contents.datagrams.size() < 256) {
        const uint8_t who = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        CapturedDatagram datagram;
        datagram.frame = int(contents.datagrams.size()) + 1;
        datagram.source = (who & 0x40) ? 0x0a000002 : 0x0a000001;
        datagram.destination = (who & 0x40) ? 0x0a000001 : 0x0a000002;
        datagram.sourcePort = kPorts[who & 7];
        datagram.destinationPort = kPorts[(who >> 3) & 7];
        datagram.complete = !(who & 0x80);
        datagram.payload = QByteArray(reinterpret_cast<const char*>(data + at + 2), qsizetype(length));
        contents.datagrams << datagram;
        at += 2 + length;
    }
    QString error;
    const std::shared_ptr<const RecordedUnit> unit =
        UnitRecording::fromCapture(contents, QStringLiteral("f.pcap"), &error);
    if (!unit) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(isValidProfileIndex(unit->profile));
    FUZZ_CHECK(!unit->identity.isEmpty() && unit->identity.size() <= 50);
    SeededRandom random;
    random.seed(std::uint64_t(size));
    const UnitFrame reply = unit->statusReply(random);
    FUZZ_CHECK(reply[0] == 254 && reply[1] == 51 && reply[28] == 255);
    for (std::size_t k = 0; k < reply.size(); ++k)
        FUZZ_CHECK(unit->statusLow[k] <= reply[k] && reply[k] <= unit->statusHigh[k]);
    return 0;
}
