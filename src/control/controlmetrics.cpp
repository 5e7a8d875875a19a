#include "controlserver.h"

#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QFile>

#include <numeric>

QList<ControlServer::Binding> ControlServer::serviceBindings()
{
    return {
        {"GET", QStringLiteral("/metrics"), &ControlServer::metrics},
        {"GET", QStringLiteral("/api/v1/openapi.json"), &ControlServer::openApi},
    };
}

namespace {
QString promLabel(const QString& value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return escaped;
}
} // namespace

void ControlServer::count(const TrafficLogEntry& entry)
{
    // Only what was on the wire, each datagram once: a broadcast heard by every unit of a fleet
    // is one datagram received, and as many units that heard it.
    // A proxy's legs to the real unit are not the controller's traffic.
    if (!entry.isDatagram() || entry.isRelay())
        return;
    if (entry.isIncoming() && entry.isDiscovery())
        ++m_discoveryHeard;
    if (entry.alsoHeardByOthers)
        return;
    ++m_datagrams[entry.isDiscovery()][!entry.isIncoming()][std::size_t(entry.command())];
}

ControlReply ControlServer::metrics(const HttpRequest&, const QStringList&)
{
    QString out;
    out += QStringLiteral("# HELP unitsim_datagrams_received_total Datagrams received, by port and command.\n"
                          "# TYPE unitsim_datagrams_received_total counter\n");
    for (int direction = 0; direction < 2; ++direction) {
        if (direction == 1)
            out += QStringLiteral("# HELP unitsim_datagrams_sent_total Replies sent, by port and command.\n"
                                  "# TYPE unitsim_datagrams_sent_total counter\n");
        for (int port = 0; port < 2; ++port) {
            for (int command = 0; command < kCommands; ++command) {
                // Only the combinations that can occur: discovery on its port, commands on the unit's,
                // and no reply to set-channels.
                const auto name = TrafficLogEntry::Command(command);
                if ((port == 1) != (name == TrafficLogEntry::Command::Discovery) ||
                    (direction == 1 && name == TrafficLogEntry::Command::SetChannels))
                    continue;
                out += QStringLiteral("unitsim_datagrams_%1_total{port=\"%2\",command=\"%3\"} %4\n")
                           .arg(direction == 0 ? QStringLiteral("received") : QStringLiteral("sent"))
                           .arg(port == 0 ? QStringLiteral("unit") : QStringLiteral("discovery"))
                           .arg(QLatin1String(TrafficLogEntry::commandName(name)))
                           .arg(m_datagrams[std::size_t(port)][std::size_t(direction)][std::size_t(command)]);
            }
        }
    }
    out +=
        QStringLiteral("# HELP unitsim_discovery_requests_heard_total Discovery requests heard, counted once "
                       "for every unit that heard one (a broadcast reaches every unit of a fleet).\n"
                       "# TYPE unitsim_discovery_requests_heard_total counter\n"
                       "unitsim_discovery_requests_heard_total %1\n")
            .arg(m_discoveryHeard);
    out += QStringLiteral(
               "# HELP unitsim_replies_not_sent_total Replies that did not leave (send failed, or the "
               "delay queue was full).\n# TYPE unitsim_replies_not_sent_total counter\n"
               "unitsim_replies_not_sent_total %1\n")
               .arg(std::accumulate(
                   units().cbegin(), units().cend(), quint64(0),
                   [](quint64 sum, const UnitSimulator* unit) { return sum + unit->repliesNotSent(); }));
    // Each fault rule's counts, over all units; bursts only for loss rules, overflows only for
    // reorder rules.
    const QList<FaultInjector::Entry> rules = faults().totals();
    const auto ruleCounter = [&](const char* name, const char* help, auto value, auto applies) {
        out +=
            QStringLiteral("# HELP %1 %2\n# TYPE %1 counter\n").arg(QLatin1String(name), QLatin1String(help));
        for (const FaultInjector::Entry& entry : rules) {
            if (applies(entry.rule))
                out += QStringLiteral("%1{id=\"%2\",rule=\"%3\"} %4\n")
                           .arg(QLatin1String(name))
                           .arg(entry.id)
                           .arg(promLabel(entry.rule.text))
                           .arg(value(entry));
        }
    };
    const auto any = [](const FaultRule&) { return true; };
    ruleCounter(
        "unitsim_fault_actions_total", "Times each fault rule acted.",
        [](const FaultInjector::Entry& e) { return e.fired; }, any);
    ruleCounter(
        "unitsim_fault_matched_total", "Datagrams each fault rule saw.",
        [](const FaultInjector::Entry& e) { return e.matched; }, any);
    ruleCounter(
        "unitsim_fault_bursts_total", "Bursts each loss rule began.",
        [](const FaultInjector::Entry& e) { return e.bursts; },
        [](const FaultRule& rule) { return rule.action == FaultAction::Loss; });
    ruleCounter(
        "unitsim_fault_reorder_overflows_total",
        "Replies each reorder rule sent in order because the unit's hold was full.",
        [](const FaultInjector::Entry& e) { return e.overflowed; },
        [](const FaultRule& rule) { return rule.action == FaultAction::Reorder; });
    appendPeerMetrics(out);
    out +=
        QStringLiteral("# HELP unitsim_log_rows Lines the traffic log holds.\n# TYPE unitsim_log_rows gauge\n"
                       "unitsim_log_rows %1\n")
            .arg(m_log.lineCount());
    if (const LogStore* store = m_log.store()) {
        out += QStringLiteral(
                   "# HELP unitsim_log_store_bytes Bytes the log store takes on disk.\n"
                   "# TYPE unitsim_log_store_bytes gauge\nunitsim_log_store_bytes %1\n"
                   "# HELP unitsim_log_store_limit_bytes The log store's disk limit.\n"
                   "# TYPE unitsim_log_store_limit_bytes gauge\nunitsim_log_store_limit_bytes %2\n"
                   "# HELP unitsim_log_lines_removed_total Oldest lines removed from the log store "
                   "to stay within its disk limit.\n"
                   "# TYPE unitsim_log_lines_removed_total counter\nunitsim_log_lines_removed_total %3\n"
                   "# HELP unitsim_log_store_ok 1 while lines are stored, 0 once storing failed.\n"
                   "# TYPE unitsim_log_store_ok gauge\nunitsim_log_store_ok %4\n"
                   "# HELP unitsim_log_lines_lost_total Lines that were never stored and were let "
                   "go from memory.\n"
                   "# TYPE unitsim_log_lines_lost_total counter\nunitsim_log_lines_lost_total %5\n")
                   .arg(store->bytesOnDisk())
                   .arg(store->diskLimit())
                   .arg(store->linesRemovedTotal())
                   .arg(store->failure().isEmpty() ? 1 : 0)
                   .arg(m_log.linesLost());
    }
    ControlReply reply;
    reply.body = out.toUtf8();
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return reply;
}

ControlReply ControlServer::openApi(const HttpRequest&, const QStringList&)
{
    QFile file(QStringLiteral(":/control/openapi.json"));
    if (!file.open(QIODevice::ReadOnly))
        return ControlReply::error(HttpStatus::InternalServerError,
                                   QStringLiteral("the API description is missing"));
    ControlReply reply;
    reply.body = file.readAll();
    return reply;
}

void ControlServer::appendPeerMetrics(QString& out) const
{
    // Labels for the busiest peers only: a scan from a thousand ports must not make a thousand
    // series. The rest are added up under peer="other", with the table's own "other" entry.
    const QList<PeerTable::Peer> peers = m_session.peers().peers();
    QList<PeerTable::Peer> shown;
    PeerTable::Peer rest;
    for (const PeerTable::Peer& peer : peers) {
        if (!peer.isOther() && shown.size() < kMaxLabelledPeers) {
            shown.append(peer);
            continue;
        }
        for (int c = 0; c < PeerTable::kCommandCount; ++c)
            rest.requests[std::size_t(c)] += peer.requests[std::size_t(c)];
        for (int m = 0; m < PeerTable::kMalformedCount; ++m)
            rest.malformed[std::size_t(m)] += peer.malformed[std::size_t(m)];
    }
    if (rest.total() > 0)
        shown.append(rest);
    out += QStringLiteral("# HELP unitsim_peers Controllers (address and port) that sent to the units.\n"
                          "# TYPE unitsim_peers gauge\nunitsim_peers %1\n")
               .arg(peers.size());
    out += QStringLiteral("# HELP unitsim_peer_requests_total Requests by controller and command (the %1 "
                          "busiest controllers; the rest as peer=\"other\").\n"
                          "# TYPE unitsim_peer_requests_total counter\n")
               .arg(kMaxLabelledPeers);
    for (const PeerTable::Peer& peer : std::as_const(shown)) {
        for (int c = 0; c < PeerTable::kCommandCount; ++c)
            out += QStringLiteral("unitsim_peer_requests_total{peer=\"%1\",command=\"%2\"} %3\n")
                       .arg(peer.name(),
                            QLatin1String(TrafficLogEntry::commandName(TrafficLogEntry::Command(c))))
                       .arg(peer.requests[std::size_t(c)]);
    }
    out +=
        QStringLiteral("# HELP unitsim_peer_malformed_total Malformed datagrams by controller and what was "
                       "wrong (length, command, discovery payload).\n"
                       "# TYPE unitsim_peer_malformed_total counter\n");
    for (const PeerTable::Peer& peer : std::as_const(shown)) {
        for (int m = 0; m < PeerTable::kMalformedCount; ++m)
            out += QStringLiteral("unitsim_peer_malformed_total{peer=\"%1\",reason=\"%2\"} %3\n")
                       .arg(peer.name(), QLatin1String(PeerTable::malformedName(PeerTable::Malformed(m))))
                       .arg(peer.malformed[std::size_t(m)]);
    }
}
