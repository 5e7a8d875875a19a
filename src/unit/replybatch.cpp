#include "replybatch.h"

#include "unitsimulator.h"

#include <utility>

void ReplyBatch::reply(UnitSimulator* unit, DatagramEndpoint* endpoint, const OutgoingDatagram& datagram,
                       const TrafficLogEntry& entry)
{
    const std::size_t offset = m_bytes.size();
    m_bytes.insert(m_bytes.end(), datagram.data.begin(), datagram.data.end());
    m_lines.push_back({unit, entry, int(m_sends.size()), 0});
    m_sends.push_back({endpoint, datagram, offset});
}

void ReplyBatch::drainEnds()
{
    if (m_depth > 0 && --m_depth == 0)
        flush();
}

void ReplyBatch::flush()
{
    // Each run of replies through one endpoint leaves in one call; the runs keep their order.
    m_errors.assign(m_sends.size(), 0);
    for (std::size_t first = 0; first < m_sends.size();) {
        DatagramEndpoint* endpoint = m_sends[first].endpoint;
        m_run.clear();
        std::size_t last = first;
        for (; last < m_sends.size() && m_sends[last].endpoint == endpoint; ++last) {
            OutgoingDatagram datagram = m_sends[last].datagram;
            datagram.data = QByteArrayView(m_bytes.data() + m_sends[last].offset, datagram.data.size());
            m_run.push_back(datagram);
        }
        endpoint->writeMany(m_run.data(), int(m_run.size()), m_errors.data() + first);
        first = last;
    }
    for (Line& line : m_lines)
        line.error = line.send < 0 ? 0 : m_errors[std::size_t(line.send)];
    m_sends.clear();
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
        m_sends = {};
        m_bytes = {};
        m_run = {};
        m_errors = {};
    }
}
