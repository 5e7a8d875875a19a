#pragma once

#include "fault/faultinjector.h"
#include "fault/replydelayqueue.h"
#include "fault/replyreorderhold.h"
#include "net/datagramendpoint.h"
#include "net/datagrampoller.h"
#include "net/localaddresses.h"
#include "peertable.h"
#include "record/throttledcount.h"
#include "record/trafficlogentry.h"
#include "record/unitframe.h"
#include "recordedunit.h"
#include "replybatch.h"
#include "sharedunitports.h"
#include "unitrelay.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <random>
#include <utility>

// What a unit of a fleet tells its fleet, by call instead of by signal: a hundred thousand units
// would otherwise hold half a million connections.
class UnitHost {
public:
    virtual void unitLogged(int unit, const TrafficLogEntry& entry) = 0;
    // `listening`: whether the endpoint the line is about is bound.
    virtual void unitEndpointStateChanged(int unit, bool listening, const QString& text) = 0;
    virtual void unitReplyNotSent(const QString& message) = 0;
    virtual void unitProfileChanged(int unit, int profile) = 0;

protected:
    ~UnitHost() = default;
};

// The simulated unit: its lasting state, its two endpoints and the poll timer, with the
// handlers that answer the unit port and the discovery port. It has no widgets; a window or a
// headless front end starts it and shows what it logs.
class UnitSimulator : public QObject {
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 150;

    enum class Endpoint { Unit, Discovery };
    Q_ENUM(Endpoint)
    // How the network sees the unit. A unit that is down answers nothing on either port and acts
    // on nothing; what still reaches it is logged with its state, so that a test can see that the
    // controller kept sending.
    enum class State : quint8 { Answering, Offline, Rebooting };

    // Every value the unit draws (status bytes, and the faults' draws) follows from `seed`: the
    // same seed and the same requests give the same bytes out.
    explicit UnitSimulator(quint64 seed = drawSeed(), QObject* parent = nullptr);
    // A unit of many: its endpoints are woken through `poller`, which then also stands in for
    // the poll tick (a datagram left waiting keeps the poller ready).
    UnitSimulator(quint64 seed, DatagramPoller* poller, QObject* parent = nullptr);
    // A unit of a dense fleet: no socket of its own. The fleet's `ports` hear its unit port, the
    // fleet's shared discovery endpoint (setSharedDiscovery(), before start()) its discovery, and
    // it answers through them from its own address.
    UnitSimulator(quint64 seed, SharedUnitPorts* ports, QObject* parent = nullptr);

    // The address the unit listens on; all of the machine's unless set before start(). A unit
    // with an address of its own shares its discovery port with the other units of a fleet.
    void setAddress(const QHostAddress& address) { m_address = address; }
    const QHostAddress& address() const { return m_address; }

    // Opens the unit: channels at their start values, the unit endpoint on the port of
    // `profileIndex` (0 to 8) and the discovery endpoint on 65535. A port that cannot be bound
    // is reported through endpointStateChanged(); the other endpoint works on regardless.
    void start(int profileIndex);
    // Selects a profile and re-binds the unit endpoint to its port, also when the port stays
    // the same. Indexes outside 0 to 8 are refused. True when the unit endpoint is listening.
    // A recorded unit becomes a unit of that profile: its recording is set aside.
    bool selectProfile(int index);

    // Makes the unit answer as the recorded real unit did: its identity on discovery, its status
    // reply's fixed positions as recorded (the others drawn within what was recorded), its unit
    // port the recording's. Channels follow the protocol. Null: the profile's own answers again.
    void setRecording(std::shared_ptr<const RecordedUnit> recording);
    const std::shared_ptr<const RecordedUnit>& recording() const { return m_recording; }
    // What the unit answers to discovery now.
    QByteArrayView discoveryIdentity() const { return identity(m_profileIndex); }

    // The unit's fault rules; empty, the unit behaves exactly as without them.
    FaultInjector& faults() { return m_faults; }
    quint64 seed() const { return m_seed; }
    // Restarts every draw as if the unit had been made with `seed`.
    void reseed(quint64 seed);

    // A unit of a fleet hears broadcast discovery through the fleet's `endpoint`, bound to all
    // addresses, and answers through it from its own address. Its own discovery endpoint, on its
    // address, still takes what is sent to that address: otherwise the kernel would hand it to
    // whichever process bound all addresses last, another fleet's perhaps. Both are bound shared
    // (SO_REUSEADDR), as the kernel requires of an address beside all addresses. Set before
    // start().
    void setSharedDiscovery(DatagramEndpoint* endpoint);
    // A unit of a fleet gathers its replies, and its lines, in the fleet's batch (see ReplyBatch);
    // the single unit has one of its own. Set before start().
    void setSharedBatch(ReplyBatch* batch) { m_batch = batch; }
    // A discovery request for this unit that reached the fleet's endpoint (sent to this unit's
    // address, or a broadcast): answered as if it had come to this unit's own discovery endpoint.
    // `alsoHeardByOthers`: another unit of the fleet logged this same datagram before (a
    // broadcast), so that it is counted once.
    void answerDiscovery(const Datagram& datagram, bool alsoHeardByOthers = false)
    {
        m_alsoHeardByOthers = alsoHeardByOthers;
        UDPSocket2_DataAvailable(datagram);
        m_alsoHeardByOthers = false;
    }
    // A datagram to this unit's address and unit port that reached a dense fleet's endpoint.
    void answerUnitPort(const Datagram& datagram) { UDPSocket1_DataAvailable(datagram); }
    bool isDense() const { return m_sharedPorts != nullptr; }

    // Whether a datagram from `address`:`port` (IPv4, host byte order) came from one of the
    // simulator's own unit or discovery endpoints. A fleet tells for its units; without, the
    // unit's own ports on any address of this machine count.
    using OwnEndpointTest = std::function<bool(quint32 address, quint16 port)>;
    void setOwnEndpointTest(OwnEndpointTest test) { m_isOwnEndpoint = std::move(test); }
    // True (and counted, and reported in the log) when a datagram from `address`:`port` came from
    // one of the simulator's own endpoints and so must not be answered. Only the unit and
    // discovery ports are looked at unless `anyPort` (the own-endpoint test then decides alone).
    bool ignoreIfFromItself(quint32 address, quint16 port, bool anyPort = false)
    {
        return comesFromItself(address, port, anyPort);
    }
    // Datagrams left unanswered because they came from the simulator's own endpoints.
    quint64 ignoredFromItself() const { return m_ignoredFromItself ? m_ignoredFromItself->total() : 0; }

    // Sets channels 2 to 25 as a set-channels frame with these values would (elements 0 and 1
    // become 0), without a datagram and without a log line. A proxy unit sends that frame to the
    // real unit instead, and logs it.
    void setChannels(const std::array<quint8, 24>& values);
    // Channels back at their start values, as when the unit was opened.
    void resetChannels() { setStartChannelValues(ChannelValues); }
    // Replies that did not leave: the endpoint refused to send them, or the delay queue was full.
    quint64 repliesNotSent() const { return m_repliesNotSent; }
    // Replies a reorder rule holds back now.
    qsizetype repliesHeld() const { return m_reorder ? m_reorder->size() : 0; }

    // Who sent what to this unit: requests by command and malformed datagrams, per controller.
    const PeerTable& peers() const { return m_peers; }
    // A fleet's table of all its units' peers, which this unit (index `unit`) records into too.
    void setSharedPeers(PeerTable* table, int unit)
    {
        m_sharedPeers = table;
        m_unitIndex = unit;
    }
    // A unit of a fleet tells `host` what it would otherwise signal (trafficLogged(),
    // endpointStateChanged(), replyNotSent(), profileChanged()), as unit setSharedPeers() named.
    void setHost(UnitHost* host) { m_host = host; }

    // Cut off from the network (a switch port gone) until as many setOffline(false) calls as
    // setOffline(true) ones, so that overlapping outages end with the last of them.
    void setOffline(bool offline);
    // Without power: silent until powerOn(), which brings the unit back with its start channel
    // values, as a real unit comes up. Status draws and fault rules go on as before. Counted
    // like setOffline().
    void powerOff();
    void powerOn();
    // A power cut outranks a lost link: the unit shows as rebooting while both hold.
    State state() const { return m_state; }
    static const char* stateName(State state);
    // Back to answering at once, with nothing pending: a scenario that starts over.
    void resetState();

    int profileIndex() const { return m_profileIndex; }
    // Requests that reached the unit (unit frames and discovery requests, answered or not).
    quint64 requestCount() const { return m_requests; }
    const ChannelArray& channelValues() const { return ChannelValues; }
    // The unit's own, or the dense fleet's for the unit's port.
    const DatagramEndpoint& unitEndpoint() const { return *m_unitEndpoint; }
    // The unit's own, on its address (a fleet's broadcasts come through the fleet's); a dense
    // fleet's shared one.
    const DatagramEndpoint& discoveryEndpoint() const
    {
        return UDPSocket2 ? *UDPSocket2 : *m_sharedDiscovery;
    }

    // Makes the unit a proxy for the real unit at `real` (IPv4, host byte order): everything that
    // reaches its endpoints is passed on to the real unit, and its replies come back through the
    // unit's faults, as if the unit had made them. Unless `profileGiven`, start() asks the real
    // unit's discovery which profile it is, and takes it. Set before start().
    void setProxy(quint32 real, bool profileGiven);
    const UnitRelay* relay() const { return m_relay.get(); }
    bool proxyProfileGiven() const { return m_proxyProfileGiven; }
    // A proxy still waiting for the real unit's discovery reply, which may change its unit port.
    bool isAskingRealUnit() const { return m_proxy && m_proxy->discovery.isActive(); }
    // How long start() waits for the real unit's discovery reply before it says so.
    static constexpr int kProxyDiscoveryMs = 2000;

    // One line per endpoint for people: "Unit port 4003: listening", or why not.
    QString unitEndpointState() const;
    QString discoveryEndpointState() const;

signals:
    // A traffic-log line was written. Connected receivers must be cheap: this is the datagram path.
    void trafficLogged(const TrafficLogEntry& entry);
    // An endpoint was bound or failed to bind; `text` is its state line.
    void endpointStateChanged(UnitSimulator::Endpoint endpoint, const QString& text);
    // A reply could not be sent; `message` says why, for people.
    void replyNotSent(const QString& message);
    // selectProfile() chose `index`, whoever called it: a selector showing the profile follows.
    void profileChanged(int index);

private:
    friend class ReplyBatch;
    // Logs a line: now, or after the replies of the receive being handled.
    void log(const TrafficLogEntry& entry);
    // What the signals say, to the host when there is one.
    void announceLine(const TrafficLogEntry& entry)
    {
        if (m_host)
            m_host->unitLogged(m_unitIndex, entry);
        else
            emit trafficLogged(entry);
    }
    void announceEndpointState(Endpoint endpoint);
    void announceNotSent(const QString& message)
    {
        if (m_host)
            m_host->unitReplyNotSent(message);
        else
            emit replyNotSent(message);
    }
    void announceProfile(int index)
    {
        if (m_host)
            m_host->unitProfileChanged(m_unitIndex, index);
        else
            emit profileChanged(index);
    }
    // A line the batch held, logged now; `error`: why its reply did not leave (0: it did).
    void releaseLine(const TrafficLogEntry& entry, int error);
    // Sends a reply through `endpoint` and logs `entry` for it: now, or with the batch.
    void reply(DatagramEndpoint& endpoint, const OutgoingDatagram& datagram, const TrafficLogEntry& entry);
    // The endpoint a discovery reply leaves through, and the address it leaves from.
    std::pair<DatagramEndpoint*, quint32> discoveryRoute(quint32 source);
    // A proxy unit's request passed on to the real unit, and the real unit's reply brought back.
    void relayRequest(Endpoint endpoint, const Datagram& datagram, int profile);
    // Sends `bytes` to the real unit's `port` from the relay of `controller` (0: the unit's own),
    // and logs the leg, or why it did not leave.
    void passOn(quint32 controller, quint16 controllerPort, quint32 local, quint16 port, QByteArrayView bytes,
                int profile);
    void relayReply(const UnitRelay::Reply& reply);
    // What the real unit answered to the proxy's own questions at start: its identity, and where
    // profiles share it, its status reply; settled on one profile, or on none in time.
    void learnProfile(QByteArrayView identity);
    void learnProfileFromStatus(QByteArrayView reply);
    void settleProfile(int learned, const QString& how);
    void proxyQuestionUnanswered();
    void UDPSocket1_DataAvailable(const Datagram& datagram);
    void UDPSocket2_DataAvailable(const Datagram& datagram);
    void Timer1_Action();
    // Listens on the port of profile `index`; `announce`: says so through endpointStateChanged()
    // also for a dense fleet's unit (whose fleet reports its shared ports itself at start).
    bool bindUnitEndpoint(int index, bool announce = true);
    // The endpoint a unit-port reply leaves through, and the address it leaves from.
    std::pair<DatagramEndpoint*, quint32> unitRoute(quint32 source)
    {
        return m_sharedPorts ? std::pair(m_unitEndpoint, m_address.toIPv4Address())
                             : std::pair(UDPSocket1.get(), source);
    }
    // What the constructors share.
    void connectParts();
    // What the unit answers to discovery: its profile's identity, or the recorded one.
    QByteArrayView identity(int profile) const;
    TrafficLogEntry discoveryReplyEntry(quint32 address, quint16 port, int profile) const;
    StatusDraw drawStatusValues();
    void seedStatusDraws(quint64 seed);
    // The slow path, taken only while a fault rule is enabled.
    bool dropByFault(quint8 kind, const Datagram& datagram, int profile);
    void replyWithFaults(Endpoint endpoint, quint8 kind, const Datagram& datagram, QByteArrayView reply,
                         int profile);
    // `source`: the address of this machine the request reached (0: whichever the route gives).
    void send(Endpoint endpoint, quint32 source, quint32 address, quint16 port, const ReplyCopy& copy,
              int profile, TrafficLogEntry::Command answers);
    // Logs a reply: as sent, or (counted) as not sent, with the endpoint's reason.
    void logReply(const TrafficLogEntry& entry, bool sent, const DatagramEndpoint& endpoint);
    void reportDelayOverflow(quint64 dropped);
    ReplyDelayQueue& delayQueue();
    ReplyReorderHold& reorderHold();
    ThrottledCount& reorderOverflow();
    void reportReorderOverflow(quint64 count);
    // A reply goes to the reorder hold when a rule marked it, else out now.
    void dispatch(const DelayedReply& reply);
    void releaseHeld(const DelayedReply& reply, const ReplyReorderHold::Release& why);
    void faultLine(const QString& text);
    // The unit's own word in the log, where nothing went wrong.
    void noticeLine(const QString& text);
    // A reply echoes its request's command, so it is itself a request: answering one that came
    // from the simulator's own endpoint (spoofed, or from another unit of the fleet) would start
    // an endless exchange. Such datagrams are counted and never answered.
    bool comesFromItself(quint32 sender, quint16 port, bool anyPort = false);
    void reportIgnoredFromItself(quint64 count);
    void updateState();
    // Logs a request that reached the unit while it was down.
    void logUnanswered(TrafficLogEntry entry);
    // Counts a datagram for its sender in this unit's table and the fleet's.
    void countPeer(quint32 address, quint16 port, TrafficLogEntry::Command command, qint64 timeUs);
    void countMalformed(quint32 address, quint16 port, PeerTable::Malformed why, qint64 timeUs);

    QHostAddress m_address{QHostAddress::AnyIPv4};
    ChannelArray ChannelValues{};
    int m_profileIndex = 0;
    State m_state = State::Answering;
    quint64 m_requests = 0;
    int m_offlineCount = 0;
    int m_powerOffCount = 0;
    // The unit's own endpoints; none for a unit of a dense fleet.
    std::unique_ptr<DatagramEndpoint> UDPSocket1;
    std::unique_ptr<DatagramEndpoint> UDPSocket2;
    DatagramEndpoint* m_unitEndpoint = nullptr; // UDPSocket1, or the dense fleet's for the unit's port
    SharedUnitPorts* m_sharedPorts = nullptr;
    DatagramEndpoint* m_sharedDiscovery = nullptr;
    ReplyBatch* m_batch = nullptr;
    std::unique_ptr<ReplyBatch> m_ownBatch;
    std::unique_ptr<QTimer> Timer1; // the poll tick of a unit that watches its own sockets
    quint64 m_seed;
    FaultInjector m_faults;
    // Made when a fault rule first needs them: most units of a fleet never do.
    std::unique_ptr<ReplyDelayQueue> m_delayed;
    std::unique_ptr<ReplyReorderHold> m_reorder;
    std::unique_ptr<ThrottledCount> m_reorderOverflow;
    PeerTable m_peers;
    PeerTable* m_sharedPeers = nullptr;
    UnitHost* m_host = nullptr;
    int m_unitIndex = 0;
    quint64 m_repliesNotSent = 0;
    OwnEndpointTest m_isOwnEndpoint;
    bool m_alsoHeardByOthers = false;
    LocalAddresses m_localAddresses;
    std::unique_ptr<ThrottledCount> m_ignoredFromItself;
    DatagramPoller* m_poller = nullptr;
    std::unique_ptr<UnitRelay> m_relay;
    std::shared_ptr<const RecordedUnit> m_recording;
    bool m_started = false;
    bool m_proxyProfileGiven = true;
    // What only a proxy unit needs: made by setProxy().
    struct ProxyParts {
        QTimer discovery; // the real unit's discovery reply is awaited until it fires
        QTimer askAgain;  // ... and asked for again meanwhile, in case the first was lost
        // The real unit's identity where profiles share it: its status reply is asked next.
        QByteArray identity;
        QList<int> candidates; // the profiles with that identity
        ThrottledCount foreignReplies;
        quint32 lastForeignAddress = 0;
        quint16 lastForeignPort = 0;
    };
    std::unique_ptr<ProxyParts> m_proxy;
    void askRealUnit();
    quint32 m_lastIgnoredAddress = 0;
    quint16 m_lastIgnoredPort = 0;
    SeededRandom m_random;
    std::uniform_int_distribution<int> m_firstDraw{kFirstDrawMin, kFirstDrawMax};
    std::uniform_int_distribution<int> m_secondDraw{kSecondDrawMin, kSecondDrawMax};
};
