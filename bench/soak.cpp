// Soak: a long run of mixed traffic against the real unit on its real ports, checking that
// nothing is lost, duplicated or answered that should not be.
// Usage: soak [DATAGRAMS] [RATE]   (defaults 1,000,000 at 50,000 a second)
// Exit status 0 when every check holds, 1 otherwise.
#include "benchsupport.h"
#include "log/trafficlogmodel.h"
#include "record/unitprofiles.h"
#include "unit/unitsimulator.h"

#include <QCoreApplication>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace {
using Clock = std::chrono::steady_clock;

struct Counts {
    long unitDatagrams = 0, channelQueries = 0, statusQueries = 0, discoveries = 0;
    long channelReplies = 0, statusReplies = 0, discoveryReplies = 0, unexpectedReplies = 0;
    bool finalChannelsMatch = false;
};

// The controller side, on its own thread with plain sockets.
Counts runClient(long total, double rate)
{
    Counts c;
    const int unit = openLoopbackSocket(0, true);
    const int discovery = openLoopbackSocket(0, true);
    const sockaddr_in unitTarget = loopbackAddress(4000);
    const sockaddr_in discoveryTarget = loopbackAddress(kDiscoveryPort);
    std::mt19937 random(12345);
    std::array<unsigned char, 29> lastSet{};
    bool anySet = false;

    auto drain = [&] {
        unsigned char reply[128];
        ssize_t n;
        while ((n = recv(unit, reply, sizeof reply, 0)) >= 0) {
            if (n == 29 && reply[0] == 254 && reply[1] == 50 && reply[28] == 255)
                ++c.channelReplies;
            else if (n == 29 && reply[0] == 254 && reply[1] == 51 && reply[28] == 255)
                ++c.statusReplies;
            else
                ++c.unexpectedReplies;
        }
        while ((n = recv(discovery, reply, sizeof reply, 0)) >= 0) {
            if (n == 50 && std::memcmp(reply, identityForProfile(0).data(), 50) == 0)
                ++c.discoveryReplies;
            else
                ++c.unexpectedReplies;
        }
    };
    auto sendTo = [](int fd, const sockaddr_in& target, const void* data, size_t size) {
        // A full socket buffer only delays the datagram; it is never skipped.
        while (sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    };

    const auto start = Clock::now();
    for (long sent = 0; sent < total; ++sent) {
        while (std::chrono::duration<double>(Clock::now() - start).count() * rate < double(sent))
            drain();
        unsigned char frame[64] = {};
        const int kind = int(random() % 100);
        if (kind < 20) { // set-channels
            for (int i = 0; i < 29; ++i)
                frame[i] = static_cast<unsigned char>(random());
            frame[1] = 0;
            std::memcpy(lastSet.data(), frame, 29);
            anySet = true;
            sendTo(unit, unitTarget, frame, 29);
            ++c.unitDatagrams;
        } else if (kind < 45) {
            frame[1] = 50;
            sendTo(unit, unitTarget, frame, 29);
            ++c.unitDatagrams, ++c.channelQueries;
        } else if (kind < 70) {
            frame[1] = 51;
            sendTo(unit, unitTarget, frame, 29);
            ++c.unitDatagrams, ++c.statusQueries;
        } else if (kind < 85) { // garbage on the unit port: short frames or unknown commands
            const size_t length = random() % 64;
            for (size_t i = 0; i < length; ++i)
                frame[i] = static_cast<unsigned char>(random());
            if (length >= 29 && (frame[1] == 0 || frame[1] == 50 || frame[1] == 51))
                frame[1] = 52;
            sendTo(unit, unitTarget, frame, length);
            ++c.unitDatagrams;
        } else if (kind < 95) {
            sendTo(discovery, discoveryTarget, "X", 1);
            ++c.discoveries;
        } else { // garbage on the discovery port
            const size_t length = 2 + random() % 30;
            std::memset(frame, 'X', length);
            sendTo(discovery, discoveryTarget, frame, length);
        }
    }
    const auto end = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - end).count() < 5.0 &&
           c.channelReplies + c.statusReplies + c.discoveryReplies <
               c.channelQueries + c.statusQueries + c.discoveries) {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    drain();

    // The last set-channels frame is what a final query must return.
    unsigned char query[29] = {0, 50};
    sendTo(unit, unitTarget, query, 29);
    unsigned char reply[64];
    ssize_t n = -1;
    for (int i = 0; i < 2000 && n < 0; ++i) {
        n = recv(unit, reply, sizeof reply, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    c.finalChannelsMatch = n == 29 && (!anySet || std::memcmp(reply + 2, lastSet.data() + 2, 24) == 0);
    ++c.unitDatagrams, ++c.channelQueries, ++c.channelReplies;
    close(unit);
    close(discovery);
    return c;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const long total = argc > 1 ? std::clamp(std::atol(argv[1]), 1L, 10000000L) : 1000000;
    const double rate = argc > 2 ? std::clamp(std::atof(argv[2]), 100.0, 1e6) : 50000.0;

    UnitSimulator unit;
    TrafficLogModel log;
    std::array<long, 4> lines{};
    QObject::connect(&unit, &UnitSimulator::trafficLogged, &log, [&](const TrafficLogEntry& entry) {
        ++lines[std::size_t(entry.kind)];
        log.append(entry);
    });
    unit.start(0);
    if (!unit.unitEndpoint().isBound() || !unit.discoveryEndpoint().isBound()) {
        std::fprintf(stderr, "soak: %s / %s\n", qPrintable(unit.unitEndpointState()),
                     qPrintable(unit.discoveryEndpointState()));
        return 1;
    }

    const long residentBefore = residentBytes();
    Counts counts;
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread client([&] {
        counts = runClient(total, rate);
        done = true;
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (done)
            app.quit();
    });
    watch.start(50);
    app.exec();
    client.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rows = long(log.lineCount());
    const double bytesPerRow = rows ? double(residentBytes() - residentBefore) / double(rows) : 0;

    using Kind = TrafficLogEntry::Kind;
    const long answered = counts.channelReplies + counts.statusReplies;
    struct Check {
        const char* what;
        long got, want;
    } checks[] = {
        {"channel-queries answered", counts.channelReplies, counts.channelQueries},
        {"status-queries answered", counts.statusReplies, counts.statusQueries},
        {"discoveries answered", counts.discoveryReplies, counts.discoveries},
        {"replies to anything else", counts.unexpectedReplies, 0},
        {"incoming unit lines", lines[std::size_t(Kind::UnitIncoming)], counts.unitDatagrams},
        {"outgoing unit lines", lines[std::size_t(Kind::UnitOutgoing)], answered},
        {"incoming discovery lines", lines[std::size_t(Kind::DiscoveryIncoming)], counts.discoveries},
        {"outgoing discovery lines", lines[std::size_t(Kind::DiscoveryOutgoing)], counts.discoveries},
        {"final channels match the last set-channels", counts.finalChannelsMatch, 1},
    };
    bool ok = true;
    std::printf("soak: %ld datagrams in %.1f s (%.0f a second offered)\n", total, seconds, rate);
    for (const Check& check : checks) {
        std::printf("  %-44s %10ld  expected %10ld  %s\n", check.what, check.got, check.want,
                    check.got == check.want ? "ok" : "FAILED");
        ok = ok && check.got == check.want;
    }
    std::printf("  log rows %ld, resident memory growth per row %.1f bytes (rows are 40 bytes)\n", rows,
                bytesPerRow);
    return ok ? 0 : 1;
}
