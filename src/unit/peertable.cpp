#include "peertable.h"

#include <QHostAddress>

#include <algorithm>
#include <limits>
#include <numeric>

const char* PeerTable::malformedName(Malformed why)
{
    switch (why) {
    case Malformed::Length:
        return "length";
    case Malformed::Command:
        return "command";
    case Malformed::Discovery:
        return "discovery";
    }
    return "";
}

quint64 PeerTable::Peer::requestTotal() const
{
    return std::accumulate(requests.cbegin(), requests.cend(), quint64(0));
}

quint64 PeerTable::Peer::malformedTotal() const
{
    return std::accumulate(malformed.cbegin(), malformed.cend(), quint64(0));
}

QString PeerTable::Peer::name() const
{
    if (isOther())
        return QStringLiteral("other");
    return QHostAddress(address).toString() + QLatin1Char(':') + QString::number(port);
}

QString PeerTable::Peer::unitRanges() const
{
    QString text;
    const int count = int(units.size());
    for (int k = 0; k < count;) {
        if (!units[std::size_t(k)]) {
            ++k;
            continue;
        }
        int last = k;
        while (last + 1 < count && units[std::size_t(last + 1)])
            ++last;
        if (!text.isEmpty())
            text += QLatin1Char(',');
        text += last == k ? QString::number(k) : QStringLiteral("%1-%2").arg(k).arg(last);
        k = last + 1;
    }
    return text;
}

quint32 PeerTable::SecondWindow::add(qint64 timeUs)
{
    const qint64 step = timeUs / kStepUs;
    if (step > m_step) {
        // The steps that passed since the latest datagram leave the window (all of them after a
        // pause of a second or more).
        if (step - m_step >= kSteps) {
            m_counts.fill(0);
            m_total = 0;
        } else {
            for (qint64 s = m_step + 1; s <= step; ++s) {
                quint16& count = m_counts[std::size_t(s % kSteps)];
                m_total -= count;
                count = 0;
            }
        }
        m_step = step;
    }
    // A datagram stamped before the latest one (a clock stepped back) counts in the latest step.
    quint16& count = m_counts[std::size_t(m_step % kSteps)];
    if (count < std::numeric_limits<quint16>::max()) {
        ++count;
        ++m_total;
    }
    return m_total;
}

PeerTable::Entry& PeerTable::find(quint32 address, quint16 port, qint64 timeUs)
{
    quint64 key = (quint64(address) << 16) | port;
    auto found = m_peers.find(key);
    if (found == m_peers.end()) {
        // Full: the newcomer is counted with the others beyond the bound.
        if (qsizetype(m_peers.size()) >= kMaxPeers) {
            key = 0;
            address = 0;
            port = 0;
            found = m_peers.find(key);
        }
        if (found == m_peers.end()) {
            found = m_peers.emplace(key, Entry{}).first;
            found->second.peer.address = address;
            found->second.peer.port = port;
            found->second.peer.firstUs = timeUs;
        }
    }
    return found->second;
}

void PeerTable::markUnit(Peer& peer, int unit)
{
    if (!m_tracksUnits || unit < 0)
        return;
    if (std::size_t(unit) >= peer.units.size())
        peer.units.resize(std::size_t(unit) + 1);
    if (!peer.units[std::size_t(unit)]) {
        peer.units[std::size_t(unit)] = true;
        ++peer.unitCount;
    }
}

void PeerTable::touch(quint32 address, quint16 port, int unit)
{
    if (m_tracksUnits)
        markUnit(find(address, port, TrafficLogEntry::now()).peer, unit);
}

PeerTable::Entry& PeerTable::entryFor(quint32 address, quint16 port, int unit, qint64 timeUs)
{
    Entry& entry = find(address, port, timeUs);
    Peer& peer = entry.peer;
    // The one-second window slides with each datagram: its count now is a window's count.
    if (!entry.lastSecond && peer.total() > 0 && timeUs - peer.lastUs < 1000000) {
        // The second within a second: the window starts with the one before it.
        entry.lastSecond = std::make_unique<SecondWindow>();
        entry.lastSecond->add(peer.lastUs);
    }
    peer.maxPerSecond = std::max(peer.maxPerSecond, entry.lastSecond ? entry.lastSecond->add(timeUs) : 1u);
    peer.lastUs = timeUs;
    markUnit(peer, unit);
    return entry;
}

void PeerTable::record(quint32 address, quint16 port, int unit, TrafficLogEntry::Command command,
                       qint64 timeUs)
{
    const int index = int(command);
    Entry& entry = entryFor(address, port, unit, timeUs);
    if (index < kCommandCount)
        ++entry.peer.requests[std::size_t(index)];
}

void PeerTable::recordMalformed(quint32 address, quint16 port, int unit, Malformed why, qint64 timeUs)
{
    ++entryFor(address, port, unit, timeUs).peer.malformed[std::size_t(why)];
}

QList<PeerTable::Peer> PeerTable::peers() const
{
    QList<Peer> all;
    all.reserve(qsizetype(m_peers.size()));
    for (const auto& [key, entry] : m_peers)
        all.append(entry.peer);
    std::sort(all.begin(), all.end(), [](const Peer& a, const Peer& b) {
        const quint64 ta = a.total();
        const quint64 tb = b.total();
        if (ta != tb)
            return ta > tb;
        return a.address != b.address ? a.address < b.address : a.port < b.port;
    });
    return all;
}
