// The unit's replies through its fault rules: requests lost, replies changed, delayed, held back
// for reordering, and what the bounded queues could not keep.
#include "unitsimulator.h"

#include "unitsupport.h"

using namespace unitsupport;

bool UnitSimulator::dropByFault(quint8 kind, const Datagram& datagram, int profile)
{
    bool inBurst = false;
    const FaultRule* rule = m_faults.dropRequest(kind, &inBurst);
    if (!rule)
        return false;
    // A burst is told in one line when it ends.
    if (inBurst)
        return true;
    const quint32 sender = ipv4Of(datagram.address);
    const auto lineKind = kind == FaultKind::Discovery ? TrafficLogEntry::Kind::DiscoveryFault
                                                       : TrafficLogEntry::Kind::UnitFault;
    log(TrafficLogEntry::fault(lineKind, sender, datagram.port, profile,
                               rule->text + QStringLiteral(": request from ") +
                                   peerText(sender, datagram.port) + QStringLiteral(" dropped"),
                               kind));
    return true;
}

void UnitSimulator::replyWithFaults(Endpoint endpoint, quint8 kind, const Datagram& datagram,
                                    QByteArrayView reply, int profile)
{
    const quint32 sender = ipv4Of(datagram.address);
    ReplyCopies copies(1);
    copies[0].size = quint8(std::min<qsizetype>(reply.size(), ReplyCopy::kMaxSize));
    std::copy_n(reply.data(), copies[0].size, copies[0].bytes.begin());
    QStringList notes;
    QList<int> delayedCopies;
    m_faults.actOnReply(kind, copies, peerText(sender, datagram.port), notes, &delayedCopies);
    const TrafficLogEntry::Command answers = TrafficLogEntry::commandOfKind(kind);
    // Delayed copies go to the queue first: one it has no room for is dropped, and its notes say
    // so instead of "delayed".
    QVarLengthArray<bool, 4> dropped(copies.size(), false);
    for (qsizetype i = 0; i < copies.size(); ++i) {
        const ReplyCopy& copy = copies[i];
        if (copy.delayMs > 0 && !copy.dropped &&
            !delayQueue().hold({.address = sender,
                                .source = datagram.local,
                                .port = datagram.port,
                                .endpoint = quint8(endpoint),
                                .profile = quint8(profile),
                                .answers = quint8(answers),
                                .copy = copy},
                               copy.delayMs)) {
            dropped[i] = true;
            ++m_repliesNotSent;
        }
    }
    const auto lineKind =
        endpoint == Endpoint::Unit ? TrafficLogEntry::Kind::UnitFault : TrafficLogEntry::Kind::DiscoveryFault;
    for (qsizetype n = 0; n < notes.size(); ++n) {
        QString note = notes[n];
        if (const int copy = delayedCopies.value(n, -1); copy >= 0 && dropped[copy])
            note = note.left(note.lastIndexOf(QStringLiteral(" delayed by "))) +
                   QStringLiteral(" dropped: the delay queue is full (%1 replies waiting)")
                       .arg(delayQueue().capacity());
        log(TrafficLogEntry::fault(lineKind, sender, datagram.port, profile, note, kind));
    }
    for (const ReplyCopy& copy : std::as_const(copies)) {
        if (copy.delayMs <= 0 && !copy.dropped)
            dispatch({.address = sender,
                      .source = datagram.local,
                      .port = datagram.port,
                      .endpoint = quint8(endpoint),
                      .profile = quint8(profile),
                      .answers = quint8(answers),
                      .copy = copy});
    }
}

void UnitSimulator::dispatch(const DelayedReply& reply)
{
    if (reply.copy.holdRule != 0) {
        const auto& rules = m_faults.rules();
        const auto rule = std::find_if(rules.cbegin(), rules.cend(), [&](const FaultInjector::Entry& entry) {
            return entry.id == reply.copy.holdRule;
        });
        const QString text = rule != rules.cend() ? rule->rule.text : QStringLiteral("reorder");
        switch (reorderHold().hold(reply, reply.copy.holdRule, text, reply.copy.holdReplies,
                                   reply.copy.holdGapMs)) {
        case ReplyReorderHold::Outcome::Held:
            return;
        case ReplyReorderHold::Outcome::Overtakes:
            // It leaves now; the held reply's line names it when that one follows.
            break;
        case ReplyReorderHold::Outcome::Full:
            // It leaves in order, and the count says so.
            m_faults.countOverflow(reply.copy.holdRule);
            reorderOverflow().add();
            break;
        }
    }
    send(Endpoint(reply.endpoint), reply.source, reply.address, reply.port, reply.copy, reply.profile,
         TrafficLogEntry::Command(reply.answers));
}

ReplyDelayQueue& UnitSimulator::delayQueue()
{
    if (!m_delayed) {
        m_delayed = std::make_unique<ReplyDelayQueue>();
        connect(m_delayed.get(), &ReplyDelayQueue::released, this, &UnitSimulator::dispatch);
        connect(m_delayed.get(), &ReplyDelayQueue::overflowed, this, &UnitSimulator::reportDelayOverflow);
    }
    return *m_delayed;
}

ReplyReorderHold& UnitSimulator::reorderHold()
{
    if (!m_reorder) {
        m_reorder = std::make_unique<ReplyReorderHold>();
        connect(m_reorder.get(), &ReplyReorderHold::released, this, &UnitSimulator::releaseHeld);
    }
    return *m_reorder;
}

ThrottledCount& UnitSimulator::reorderOverflow()
{
    if (!m_reorderOverflow) {
        m_reorderOverflow = std::make_unique<ThrottledCount>();
        connect(m_reorderOverflow.get(), &ThrottledCount::report, this,
                &UnitSimulator::reportReorderOverflow);
    }
    return *m_reorderOverflow;
}

void UnitSimulator::releaseHeld(const DelayedReply& reply, const ReplyReorderHold::Release& why)
{
    QString text = why.ruleText + QStringLiteral(": reply to ") + peerText(reply.address, reply.port) +
                   QStringLiteral(" held back ");
    if (why.passed == 0)
        text += QStringLiteral("%1 ms, no later reply left meanwhile").arg(why.heldMs);
    else
        text += QStringLiteral("%1 ms, sent after %2 later repl%3, the last to %4%5")
                    .arg(why.heldMs)
                    .arg(why.passed)
                    .arg(why.passed == 1 ? QStringLiteral("y") : QStringLiteral("ies"),
                         peerText(why.lastAddress, why.lastPort),
                         why.gapOver ? QStringLiteral(" (its gap was over)") : QString());
    const Endpoint endpoint = Endpoint(reply.endpoint);
    log(TrafficLogEntry::fault(endpoint == Endpoint::Unit ? TrafficLogEntry::Kind::UnitFault
                                                          : TrafficLogEntry::Kind::DiscoveryFault,
                               reply.address, reply.port, reply.profile, text));
    send(endpoint, reply.source, reply.address, reply.port, reply.copy, reply.profile,
         TrafficLogEntry::Command(reply.answers));
}

void UnitSimulator::reportReorderOverflow(quint64 count)
{
    faultLine(QStringLiteral("reorder hold full (%1 replies held): %2 repl%3 sent in order instead")
                  .arg(reorderHold().capacity())
                  .arg(count)
                  .arg(count == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
}

void UnitSimulator::reportDelayOverflow(quint64 dropped)
{
    log(TrafficLogEntry::fault(
        TrafficLogEntry::Kind::UnitFault, 0, 0, m_profileIndex,
        QStringLiteral("delay queue full (%1 replies held): %2 delayed replies dropped")
            .arg(delayQueue().capacity())
            .arg(dropped)));
}
