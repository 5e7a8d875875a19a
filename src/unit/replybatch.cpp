#include "replybatch.h"

#include "unitsimulator.h"

#include <utility>

void ReplyBatch::reply(UnitSimulator* unit, DatagramEndpoint* endpoint, const OutgoingDatagram& datagram,
                       const TrafficLogEntry& entry)
{
    // The payload's place in m_bytes; its view is set at flush, when m_bytes grows no more.
    m_offsets.push_back(m_bytes.size());
    m_bytes.insert(m_bytes.end(), datagram.data.begin(), datagram.data.end());
    m_lines.push_back({unit, entry, int(m_datagrams.size()), 0});
    m_datagrams.push_back(datagram);
    m_endpoints.push_back(endpoint);
}

void ReplyBatch::drainEnds()
{
    if (m_depth > 0 && --m_depth == 0)
        flush();
}

void ReplyBatch::flush()
{
    // Each run of replies through one endpoint leaves in one call; the runs keep their order.
    const std::size_t count = m_datagrams.size();
    for (std::size_t i = 0; i < count; ++i)
        m_datagrams[i].data = QByteArrayView(m_bytes.data() + m_offsets[i], m_datagrams[i].data.size());
    m_errors.assign(count, 0);
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first + 1;
        while (last < count && m_endpoints[last] == m_endpoints[first])
            ++last;
        m_endpoints[first]->writeMany(m_datagrams.data() + first, int(last - first), m_errors.data() + first);
        first = last;
    }
    for (Line& line : m_lines)
        line.error = line.send < 0 ? 0 : m_errors[std::size_t(line.send)];
    m_datagrams.clear();
    m_endpoints.clear();
    m_offsets.clear();
    m_bytes.clear();
    // A receiver of these lines that polls an endpoint makes a batch of its own, released
    // within this one's release.
    if (m_releasingNow) {
        const std::vector<Line> lines = std::exchange(m_lines, {});
        for (const Line& line : lines)
            line.unit->releaseLine(line.entry, line.error);
        return;
    }
    m_releasingNow = true;
    m_releasing.swap(m_lines);
    for (const Line& line : m_releasing)
        line.unit->releaseLine(line.entry, line.error);
    m_releasing.clear();
    m_releasingNow = false;
    // A broadcast to a large fleet makes a batch of a reply a unit: its room is not kept.
    if (m_releasing.capacity() > kKeptLines) {
        m_releasing = {};
        m_lines = {};
        m_datagrams = {};
        m_endpoints = {};
        m_offsets = {};
        m_bytes = {};
        m_errors = {};
    }
}
