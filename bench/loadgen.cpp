// Load generator for the unit port, on loopback only. Every mode is bounded in count and time.
//
//   loadgen latency PORT COUNT
//       COUNT sequential channel-queries; prints the median and p99 round trip in microseconds.
//   loadgen flood PORT RATE SECONDS [DISCOVERY_PORT]
//       paced channel-queries at RATE per second from a non-blocking socket; prints how many
//       were sent and answered. With DISCOVERY_PORT, sends "X" there every 20 ms meanwhile and
//       prints the median discovery round trip in milliseconds.
//   loadgen maxrate PORT SECONDS RATE...
//       floods at each RATE in turn; prints the highest with at least 99.9 % answered.
//   loadgen delayed PORT RATE SECONDS
//       paced channel-queries to a unit that delays every reply by the same time; replies then
//       come back in order, so the Nth reply answers the Nth request. Prints how many were lost
//       and how late the replies were (minimum, median, p99, maximum) in milliseconds.
//   loadgen httppoll PORT HZ SECONDS
//       polls the control API's log on 127.0.0.1:PORT HZ times a second, each time from where
//       the last answer left off, as a test suite watching the unit would; prints how many polls
//       were answered and how many bytes they carried.
//   loadgen httpunits PORT CLIENTS SECONDS
//       CLIENTS callers each listing the control API's units (a page) again and again, for
//       SECONDS; prints how many answers came.
//   loadgen discover COUNT TIMEOUT_MS
//       sends "X" to 127.255.255.255:65535 and prints how long it took until COUNT answers came.
//   loadgen roundrobin FIRST_ADDRESS UNITS PORT RATE SECONDS
//       paced channel-queries to UNITS consecutive addresses from FIRST_ADDRESS in turn; prints
//       how many were answered and the median and p99 round trip in microseconds.
//   loadgen soak FIRST_ADDRESS UNITS PORT RATE SECONDS
//       as roundrobin, for up to an hour, with a controller's mix: every fifth request is a
//       set-channels with fading values (not answered), the rest channel-queries. Round trips go
//       into a histogram, so memory stays flat however long it runs. Prints how many of each
//       were sent and answered and the median and p99 round trip in microseconds.
//
// Output is one "key=value" pair per line, for the driver script to read.
#include "benchsupport.h"

#include <poll.h>
#include <thread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const unsigned char* channelQuery()
{
    static unsigned char frame[29] = {0, 50};
    return frame;
}

bool isChannelReply(const unsigned char* data, ssize_t n)
{
    return n == 29 && data[0] == 254 && data[1] == 50 && data[28] == 255;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

int latency(uint16_t port, int count)
{
    const int fd = openLoopbackSocket(0, false);
    timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in target = loopbackAddress(port);
    std::vector<double> rtts;
    rtts.reserve(size_t(count));
    int lost = 0;
    for (int i = 0; i < count + 200; ++i) { // the first 200 warm up
        const auto start = Clock::now();
        sendto(fd, channelQuery(), 29, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        unsigned char reply[64];
        const ssize_t n = recv(fd, reply, sizeof reply, 0);
        if (!isChannelReply(reply, n)) {
            ++lost;
            continue;
        }
        if (i >= 200)
            rtts.push_back(secondsSince(start) * 1e6);
    }
    std::printf("median_us=%.1f\np99_us=%.1f\nlost=%d\n", percentile(rtts, 0.5), percentile(rtts, 0.99),
                lost);
    close(fd);
    return 0;
}

struct FloodResult {
    long sent = 0;
    long answered = 0;
    std::vector<double> discoveryMs;
};

FloodResult flood(uint16_t port, double rate, double seconds, uint16_t discoveryPort)
{
    FloodResult result;
    const int fd = openLoopbackSocket(0, true);
    const int discoveryFd = discoveryPort ? openLoopbackSocket(0, true) : -1;
    const sockaddr_in target = loopbackAddress(port);
    const sockaddr_in discoveryTarget = loopbackAddress(discoveryPort);
    unsigned char reply[128];

    auto drain = [&] {
        for (;;) {
            const ssize_t n = recv(fd, reply, sizeof reply, 0);
            if (n < 0)
                break;
            if (isChannelReply(reply, n))
                ++result.answered;
        }
    };

    Clock::time_point discoverySentAt{};
    bool discoveryOutstanding = false;
    auto discovery = [&](bool sending) {
        if (discoveryFd < 0)
            return;
        if (discoveryOutstanding) {
            const ssize_t n = recv(discoveryFd, reply, sizeof reply, 0);
            if (n == 50) {
                result.discoveryMs.push_back(secondsSince(discoverySentAt) * 1e3);
                discoveryOutstanding = false;
            } else if (secondsSince(discoverySentAt) > 1.0) {
                discoveryOutstanding = false; // counted as unanswered: not in the figures
            }
        }
        if (sending && !discoveryOutstanding && secondsSince(discoverySentAt) >= 0.02) {
            discoverySentAt = Clock::now();
            sendto(discoveryFd, "X", 1, 0, reinterpret_cast<const sockaddr*>(&discoveryTarget),
                   sizeof discoveryTarget);
            discoveryOutstanding = true;
        }
    };

    const auto start = Clock::now();
    const long total = long(rate * seconds);
    while (result.sent < total) {
        const long due = std::min(total, long(secondsSince(start) * rate));
        while (result.sent < due) {
            if (sendto(fd, channelQuery(), 29, 0, reinterpret_cast<const sockaddr*>(&target),
                       sizeof target) != 29)
                break; // socket buffer full: try again on the next round
            ++result.sent;
        }
        drain();
        discovery(true);
        if (secondsSince(start) > seconds * 3 + 5)
            break; // hard stop on a machine that cannot keep up
    }
    // Late replies still count; nothing more is sent.
    const auto end = Clock::now();
    while (secondsSince(end) < 1.0 && result.answered < result.sent) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 50);
        drain();
        discovery(false);
    }
    close(fd);
    if (discoveryFd >= 0)
        close(discoveryFd);
    return result;
}

int floodCommand(uint16_t port, double rate, double seconds, uint16_t discoveryPort)
{
    const FloodResult r = flood(port, rate, seconds, discoveryPort);
    std::printf("sent=%ld\nanswered=%ld\nanswered_fraction=%.5f\n", r.sent, r.answered,
                r.sent ? double(r.answered) / double(r.sent) : 0.0);
    if (discoveryPort)
        std::printf("discovery_count=%zu\ndiscovery_median_ms=%.2f\ndiscovery_p99_ms=%.2f\n",
                    r.discoveryMs.size(), percentile(r.discoveryMs, 0.5), percentile(r.discoveryMs, 0.99));
    return 0;
}

int maxRate(uint16_t port, double seconds, const std::vector<double>& rates)
{
    double best = 0;
    for (double rate : rates) {
        const FloodResult r = flood(port, rate, seconds, 0);
        const double fraction = r.sent ? double(r.answered) / double(r.sent) : 0.0;
        std::printf("rate_%.0f=%.5f\n", rate, fraction);
        std::fflush(stdout);
        if (fraction < 0.999 || r.sent < long(rate * seconds))
            break;
        best = rate;
        usleep(300 * 1000); // let the responder's queues settle
    }
    std::printf("max_rate=%.0f\n", best);
    return 0;
}
int delayed(uint16_t port, double rate, double seconds)
{
    const int fd = openLoopbackSocket(0, true);
    const sockaddr_in target = loopbackAddress(port);
    const long total = long(rate * seconds);
    std::vector<Clock::time_point> sentAt, receivedAt;
    sentAt.reserve(size_t(total));
    receivedAt.reserve(size_t(total));
    unsigned char reply[128];
    auto drain = [&] {
        for (ssize_t n; (n = recv(fd, reply, sizeof reply, 0)) >= 0;) {
            if (isChannelReply(reply, n))
                receivedAt.push_back(Clock::now());
        }
    };
    const auto start = Clock::now();
    while (long(sentAt.size()) < total && secondsSince(start) < seconds * 3 + 5) {
        const long due = std::min(total, long(secondsSince(start) * rate));
        while (long(sentAt.size()) < due) {
            if (sendto(fd, channelQuery(), 29, 0, reinterpret_cast<const sockaddr*>(&target),
                       sizeof target) != 29)
                break;
            sentAt.push_back(Clock::now());
        }
        drain();
    }
    const auto end = Clock::now();
    while (secondsSince(end) < 2.0 && receivedAt.size() < sentAt.size()) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 20);
        drain();
    }
    close(fd);
    std::vector<double> lateMs;
    for (size_t i = 0; i < std::min(sentAt.size(), receivedAt.size()); ++i)
        lateMs.push_back(std::chrono::duration<double, std::milli>(receivedAt[i] - sentAt[i]).count());
    std::printf("sent=%zu\nanswered=%zu\nlost=%ld\n", sentAt.size(), receivedAt.size(),
                long(sentAt.size()) - long(receivedAt.size()));
    std::printf("late_min_ms=%.2f\nlate_median_ms=%.2f\nlate_p99_ms=%.2f\nlate_max_ms=%.2f\n",
                percentile(lateMs, 0), percentile(lateMs, 0.5), percentile(lateMs, 0.99),
                percentile(lateMs, 1));
    return 0;
}
// One HTTP/1.1 GET on a fresh connection; the whole answer, or empty on failure. The answer ends
// where its Content-Length says: the server may keep the connection open regardless.
std::string httpGet(uint16_t port, const std::string& path)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in target = loopbackAddress(port);
    std::string answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), 0) == ssize_t(request.size())) {
            char buffer[65536];
            size_t expected = std::string::npos;
            for (ssize_t n; answer.size() < expected && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                answer.append(buffer, size_t(n));
                const size_t headerEnd = answer.find("\r\n\r\n");
                const size_t length = answer.find("Content-Length: ");
                if (expected == std::string::npos && headerEnd != std::string::npos && length < headerEnd)
                    expected = headerEnd + 4 + std::strtoull(answer.c_str() + length + 16, nullptr, 10);
            }
        }
    }
    close(fd);
    return answer;
}

int httpPoll(uint16_t port, double hz, double seconds)
{
    long polls = 0, answered = 0;
    size_t bytes = 0;
    std::string next = "0";
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        const std::string answer = httpGet(port, "/api/v1/log?since=" + next);
        ++polls;
        if (answer.rfind("HTTP/1.1 200", 0) == 0) {
            ++answered;
            bytes += answer.size();
            const size_t at = answer.find("\"next\":");
            if (at != std::string::npos)
                next = std::to_string(std::strtoull(answer.c_str() + at + 7, nullptr, 10));
        }
        const auto due = start + std::chrono::duration<double>(double(polls) / hz);
        std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
    }
    std::printf("polls=%ld\nanswered=%ld\nbytes=%zu\n", polls, answered, bytes);
    return 0;
}
int httpUnits(uint16_t port, int clients, double seconds)
{
    std::atomic<long> answered{0};
    std::vector<std::thread> callers;
    const auto start = Clock::now();
    for (int k = 0; k < clients; ++k) {
        callers.emplace_back([&] {
            while (secondsSince(start) < seconds) {
                if (httpGet(port, "/api/v1/units").rfind("HTTP/1.1 200", 0) == 0)
                    ++answered;
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    std::printf("answered=%ld\n", answered.load());
    return 0;
}
int discoverAll(long count, int timeoutMs)
{
    const int fd = openLoopbackSocket(0, true);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes);
    // Room for every answer of a large fleet at once (about a kilobyte each in the kernel), where
    // permitted: the count, not this reader's pace, is what is measured.
    int room = int(std::min(count * 1280L, 512L * 1024 * 1024));
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_in target = loopbackAddress(65535);
    target.sin_addr.s_addr = htonl(0x7fffffffu); // 127.255.255.255
    const auto start = Clock::now();
    sendto(fd, "X", 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    long answers = 0;
    double lastMs = -1;
    unsigned char reply[128];
    while (answers < count && secondsSince(start) * 1000 < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 10);
        for (ssize_t n; (n = recv(fd, reply, sizeof reply, 0)) >= 0;) {
            if (n == 50) {
                ++answers;
                lastMs = secondsSince(start) * 1000;
            }
        }
    }
    close(fd);
    std::printf("answers=%ld\nall_answers_ms=%.1f\n", answers, answers >= count ? lastMs : -1.0);
    return 0;
}

// Round trips in whole microseconds up to a second; beyond counts in the last bin.
class RoundTripHistogram {
public:
    void add(double us)
    {
        ++m_bins[std::min(size_t(us), m_bins.size() - 1)];
        ++m_count;
    }
    long count() const { return m_count; }
    double percentile(double p) const
    {
        if (m_count == 0)
            return -1;
        const long wanted = long(p * double(m_count - 1) + 0.5);
        long seen = 0;
        for (size_t us = 0; us < m_bins.size(); ++us) {
            seen += m_bins[us];
            if (seen > wanted)
                return double(us);
        }
        return double(m_bins.size() - 1);
    }

private:
    std::vector<long> m_bins = std::vector<long>(1'000'000);
    long m_count = 0;
};

// roundrobin (only channel-queries) and soak (with `controllerMix`: every fifth a set-channels).
int paced(uint32_t first, long units, uint16_t port, double rate, double seconds, bool controllerMix)
{
    const int fd = openLoopbackSocket(0, true);
    auto outstanding = std::vector<std::vector<Clock::time_point>>(size_t(units));
    RoundTripHistogram rtts;
    const long total = long(rate * seconds);
    long sent = 0, queries = 0, sets = 0;
    unsigned char reply[128];
    auto drain = [&] {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        for (ssize_t n;
             (n = recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &length)) >= 0;
             length = sizeof from) {
            const long unit = long(ntohl(from.sin_addr.s_addr) - first);
            if (!isChannelReply(reply, n) || unit < 0 || unit >= units || outstanding[size_t(unit)].empty())
                continue;
            auto& queue = outstanding[size_t(unit)];
            rtts.add(std::chrono::duration<double, std::micro>(Clock::now() - queue.front()).count());
            queue.erase(queue.begin());
        }
    };
    unsigned char frame[29] = {};
    const auto start = Clock::now();
    while (sent < total && secondsSince(start) < seconds * 3 + 5) {
        const long due = std::min(total, long(secondsSince(start) * rate));
        while (sent < due) {
            sockaddr_in target = loopbackAddress(port);
            const long unit = sent % units;
            target.sin_addr.s_addr = htonl(first + uint32_t(unit));
            const bool set = controllerMix && sent % 5 == 4;
            if (set) {
                // A fade: each channel a step further every 40 ms, each unit and channel offset.
                const long step = long(secondsSince(start) * 25);
                frame[1] = 0;
                for (int k = 2; k < 26; ++k)
                    frame[k] = static_cast<unsigned char>(step + unit + k * 10);
            } else {
                std::memcpy(frame, channelQuery(), sizeof frame);
            }
            if (sendto(fd, frame, 29, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 29)
                break;
            if (set) {
                ++sets;
            } else {
                outstanding[size_t(unit)].push_back(Clock::now());
                ++queries;
            }
            ++sent;
        }
        drain();
    }
    const auto end = Clock::now();
    while (secondsSince(end) < 1.0 && rtts.count() < queries) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 20);
        drain();
    }
    close(fd);
    std::printf("sent=%ld\n", sent);
    if (controllerMix)
        std::printf("queries=%ld\nsets=%ld\n", queries, sets);
    std::printf("answered=%ld\nanswered_fraction=%.5f\nmedian_us=%.1f\np99_us=%.1f\n", rtts.count(),
                queries ? double(rtts.count()) / double(queries) : 0.0, rtts.percentile(0.5),
                rtts.percentile(0.99));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "latency" && argc == 4)
        return latency(uint16_t(std::atoi(argv[2])), std::clamp(std::atoi(argv[3]), 1, 1000000));
    if (mode == "flood" && (argc == 5 || argc == 6))
        return floodCommand(uint16_t(std::atoi(argv[2])), std::atof(argv[3]),
                            std::clamp(std::atof(argv[4]), 0.1, 60.0),
                            argc == 6 ? uint16_t(std::atoi(argv[5])) : 0);
    if (mode == "discover" && argc == 4)
        return discoverAll(std::atol(argv[2]), std::clamp(std::atoi(argv[3]), 1, 60000));
    if ((mode == "roundrobin" || mode == "soak") && argc == 7) {
        in_addr first{};
        if (inet_pton(AF_INET, argv[2], &first) != 1)
            return 2;
        const bool soak = mode == "soak";
        return paced(ntohl(first.s_addr), std::clamp(std::atol(argv[3]), 1L, 262144L),
                     uint16_t(std::atoi(argv[4])), std::clamp(std::atof(argv[5]), 1.0, 1e6),
                     std::clamp(std::atof(argv[6]), 0.1, soak ? 3600.0 : 60.0), soak);
    }
    if (mode == "httppoll" && argc == 5)
        return httpPoll(uint16_t(std::atoi(argv[2])), std::clamp(std::atof(argv[3]), 0.1, 1000.0),
                        std::clamp(std::atof(argv[4]), 0.1, 600.0));
    if (mode == "httpunits" && argc == 5)
        return httpUnits(uint16_t(std::atoi(argv[2])), std::clamp(std::atoi(argv[3]), 1, 64),
                         std::clamp(std::atof(argv[4]), 0.1, 60.0));
    if (mode == "delayed" && argc == 5)
        return delayed(uint16_t(std::atoi(argv[2])), std::clamp(std::atof(argv[3]), 1.0, 100000.0),
                       std::clamp(std::atof(argv[4]), 0.1, 60.0));
    if (mode == "maxrate" && argc >= 5) {
        std::vector<double> rates;
        for (int i = 4; i < argc; ++i)
            rates.push_back(std::atof(argv[i]));
        return maxRate(uint16_t(std::atoi(argv[2])), std::clamp(std::atof(argv[3]), 0.1, 60.0), rates);
    }
    std::fprintf(stderr, "usage: loadgen latency PORT COUNT | flood PORT RATE SECONDS [DISCOVERY_PORT] |"
                         " maxrate PORT SECONDS RATE...\n");
    return 2;
}
