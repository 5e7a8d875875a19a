#pragma once

#include "net/datagramendpoint.h"
#include "record/trafficlogentry.h"

#include <vector>

class UnitSimulator;

// Replies to the datagrams of one receive, and the log lines handling them made, held until the
// receive is handled: then the replies leave together, a system call for many, in the order they
// were made, and the lines follow in theirs, a reply's marked as not sent when it did not leave.
// Outside a receive (a delayed reply coming due, a request from the control API) nothing is held.
//
// One batch serves the single unit's endpoints, or every endpoint of a fleet.
class ReplyBatch final : public DrainObserver {
public:
    bool isOpen() const { return m_depth > 0; }
    void drainBegins() override { ++m_depth; }
    void drainEnds() override;

    // Queues `datagram` to leave through `endpoint`; `unit` logs `entry` for it once it did (or
    // did not). The payload is copied.
    void reply(UnitSimulator* unit, DatagramEndpoint* endpoint, const OutgoingDatagram& datagram,
               const TrafficLogEntry& entry);
    // A line `unit` logs after the replies queued before it.
    void hold(UnitSimulator* unit, const TrafficLogEntry& entry) { m_lines.push_back({unit, entry, -1, 0}); }

private:
    struct Line {
        UnitSimulator* unit;
        TrafficLogEntry entry;
        int send;  // the reply it logs (an index into m_datagrams), or -1
        int error; // why that reply did not leave (an errno), once sent; 0 when it did
    };
    void flush();
    // Room kept between batches, in lines; a larger batch's is given back.
    static constexpr std::size_t kKeptLines = 4096;

    int m_depth = 0;
    bool m_releasingNow = false;
    // Kept between batches, so that a steady flow allocates nothing.
    std::vector<Line> m_lines;
    std::vector<Line> m_releasing;
    // The replies queued: each one's datagram, the endpoint it leaves through, and where its
    // payload's copy starts in m_bytes.
    std::vector<OutgoingDatagram> m_datagrams;
    std::vector<DatagramEndpoint*> m_endpoints;
    std::vector<std::size_t> m_offsets;
    std::vector<char> m_bytes;
    std::vector<int> m_errors;
};
