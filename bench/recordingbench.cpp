// A recorded unit's status reply against a profile's, made the way the unit makes them for each
// status-query: the profile's from its two draws, the recorded one from its fixed bytes and one
// draw a varying position. Prints nanoseconds a reply and the ratio.
// Usage: recording-bench [REPLIES]   (default 20,000,000)
#include "record/unitprofiles.h"
#include "recording/unitrecording.h"

#include <QElapsedTimer>
#include <QHostAddress>

#include <cstdio>
#include <cstdlib>

namespace {
// What a recording of a simulated unit of `profile` shows: six status replies, drawn as it draws.
std::shared_ptr<const RecordedUnit> recordingOf(int profile)
{
    CaptureContents contents;
    const auto add = [&](quint16 fromPort, const QByteArray& payload) {
        CapturedDatagram datagram;
        datagram.frame = int(contents.datagrams.size()) + 1;
        datagram.source = 0x0a000002;
        datagram.sourcePort = fromPort;
        datagram.destination = 0x0a000001;
        datagram.destinationPort = 50000;
        datagram.payload = payload;
        contents.datagrams << datagram;
    };
    const std::string_view identity = identityForProfile(profile);
    add(kDiscoveryPort, QByteArray(identity.data(), qsizetype(identity.size())));
    for (int k = 0; k < 6; ++k) {
        const UnitFrame reply = statusQueryReply(profile, {.first = 25 + 9 * k, .second = 7 + 41 * k});
        add(unitPortForProfile(profile),
            QByteArray(reinterpret_cast<const char*>(reply.data()), kUnitFrameSize));
    }
    QString error;
    auto unit = UnitRecording::fromCapture(contents, QStringLiteral("bench.pcap"), &error);
    if (!unit) {
        std::fprintf(stderr, "recording-bench: %s\n", qPrintable(error));
        std::exit(1);
    }
    return unit;
}

template <typename Make> double nanosecondsPerReply(long count, Make make)
{
    unsigned sink = 0;
    QElapsedTimer clock;
    clock.start();
    for (long n = 0; n < count; ++n)
        sink += make()[2];
    const double ns = double(clock.nsecsElapsed()) / double(count);
    if (sink == 1) // keeps the replies from being optimised away
        std::puts("");
    return ns;
}
} // namespace

int main(int argc, char** argv)
{
    const long count = argc > 1 ? std::max(1L, std::atol(argv[1])) : 20'000'000L;
    for (int profile : {3, 1}) {
        const std::shared_ptr<const RecordedUnit> recorded = recordingOf(profile);
        SeededRandom random;
        random.seed(1);
        std::uniform_int_distribution<int> first{kFirstDrawMin, kFirstDrawMax};
        std::uniform_int_distribution<int> second{kSecondDrawMin, kSecondDrawMax};
        // Best of three, each way: the machine is shared.
        double simulated = 1e9, fromRecording = 1e9;
        for (int run = 0; run < 3; ++run) {
            simulated = std::min(simulated, nanosecondsPerReply(count, [&] {
                                     return statusQueryReply(
                                         profile, {.first = first(random), .second = second(random)});
                                 }));
            fromRecording = std::min(fromRecording, nanosecondsPerReply(count, [&] {
                                         // The unit draws its two values for every datagram, recorded or not.
                                         (void)first(random);
                                         (void)second(random);
                                         return recorded->statusReply(random);
                                     }));
        }
        std::printf("profile%d_status_ns=%.1f\n", profile, simulated);
        std::printf("recorded%d_status_ns=%.1f\n", profile, fromRecording);
        std::printf("recorded%d_ratio=%.2f\n", profile, fromRecording / simulated);
    }
    return 0;
}
