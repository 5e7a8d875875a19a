#pragma once

#include "record/trafficlogentry.h"

#include <QList>
#include <QString>

#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

// Who sent what. A controller is a peer, its address and port; for each, the table keeps its
// requests by command, the malformed datagrams it sent, when it was first and last seen, its
// highest rate in any one-second window, and (in a table for many units) the units it touched.
//
// The table holds at most kMaxPeers peers: a flood from changing ports must not grow it without
// end. What later peers send is added up under one entry, "other" (address and port 0).
class PeerTable {
public:
    static constexpr qsizetype kMaxPeers = 4096;
    // The commands a request can carry; a datagram with any other is malformed.
    static constexpr int kCommandCount = 4; // TrafficLogEntry::Command up to Discovery
    enum class Malformed : quint8 { Length, Command, Discovery };
    static constexpr int kMalformedCount = 3;
    static const char* malformedName(Malformed why);

    struct Peer {
        quint32 address = 0; // IPv4, host byte order; 0 with port 0: the "other" entry
        quint16 port = 0;
        std::array<quint64, kCommandCount> requests{};
        std::array<quint64, kMalformedCount> malformed{};
        qint64 firstUs = 0; // microseconds since 1970, UTC
        qint64 lastUs = 0;
        quint32 maxPerSecond = 0;
        // Unit k was touched when units[k]; unitCount of them.
        std::vector<bool> units;
        int unitCount = 0;

        bool isOther() const { return address == 0 && port == 0; }
        quint64 requestTotal() const;
        quint64 malformedTotal() const;
        quint64 total() const { return requestTotal() + malformedTotal(); }
        // "127.0.0.1:5000", or "other".
        QString name() const;
        // The units touched, as units= takes them: "0-9,12".
        QString unitRanges() const;
    };

    // A request of `command` (SetChannels to Discovery) from `address`:`port` to unit `unit`, at
    // `timeUs`. Times come in order, as datagrams do.
    void record(quint32 address, quint16 port, int unit, TrafficLogEntry::Command command, qint64 timeUs);
    void recordMalformed(quint32 address, quint16 port, int unit, Malformed why, qint64 timeUs);
    // Unit `unit` heard a datagram counted already (a broadcast another unit recorded).
    void touch(quint32 address, quint16 port, int unit);

    qsizetype size() const { return qsizetype(m_peers.size()); }
    // Whether `address`:`port` has an entry of its own (else what it sends is "other"'s).
    bool holds(quint32 address, quint16 port) const
    {
        return m_peers.count(quint64(address) << 16 | port) > 0;
    }
    // Every peer, the busiest first (by datagrams; then by address and port).
    QList<Peer> peers() const;
    void clear() { m_peers.clear(); }
    // Whether to keep which units each peer touched: only a table for many units does.
    void setTracksUnits(bool tracks) { m_tracksUnits = tracks; }

    // What a peer sent within the last second, counted in steps of 10 ms: the window is the
    // step a datagram falls in and the 99 before it, so it never spans more than a second and
    // misses at most 10 ms of it. Fixed in size, however fast the peer sends.
    class SecondWindow {
    public:
        static constexpr int kSteps = 100;
        static constexpr qint64 kStepUs = 1000000 / kSteps;
        // Counts one datagram at `timeUs` (in order, as datagrams come); returns the window's count.
        quint32 add(qint64 timeUs);

    private:
        std::array<quint16, kSteps> m_counts{}; // saturating: 65,535 in 10 ms is 6.5 million a second
        qint64 m_step = 0;                      // the step of the latest datagram
        quint32 m_total = 0;                    // the sum of m_counts
    };

private:
    struct Entry {
        Peer peer;
        // Made once the peer sends twice within a second: a fleet's units mostly hear a
        // controller's requests seconds apart, and keep no window each.
        std::unique_ptr<SecondWindow> lastSecond;
    };
    Entry& find(quint32 address, quint16 port, qint64 timeUs);
    Entry& entryFor(quint32 address, quint16 port, int unit, qint64 timeUs);
    void markUnit(Peer& peer, int unit);

    std::unordered_map<quint64, Entry> m_peers;
    bool m_tracksUnits = false;
};
