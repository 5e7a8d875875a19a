#include "livefeed.h"

#include "log/logblock.h"
#include "log/trafficlogjson.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"
#include "report/runpicture.h"
#include "report/runreport.h"
#include "scenario/scenarioplayer.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"
#include "verify/expectationmonitor.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {
QByteArray serverEvent(const char* name, const QJsonObject& data)
{
    return QByteArray("event: ") + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

} // namespace

LiveFeed::LiveFeed(ScenarioSession& session, const TrafficLogModel& log, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_log(log)
    , m_picture(std::make_unique<RunPicture>(log, session))
{
    // Read only while someone follows the stream (or asks for the picture).
    m_picture->setFollowing(false);
    m_timer.setInterval(kUpdateIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &LiveFeed::tick);
    // New units: every client learns their addresses again.
    connect(&session, &ScenarioSession::unitsReplaced, this, [this] { m_unitsSent = false; });
    m_sinceRun.start();
}

LiveFeed::~LiveFeed()
{
    for (const std::shared_ptr<HttpStream>& client : std::as_const(m_clients))
        client->close();
}

std::shared_ptr<HttpStream> LiveFeed::open()
{
    m_clients.removeIf([](const std::shared_ptr<HttpStream>& client) { return client.use_count() == 1; });
    if (m_clients.size() >= kMaxClients)
        return nullptr;
    auto stream = std::make_shared<HttpStream>();
    m_clients.append(stream);
    // Its connection takes it once the answer is made: it gets the whole state at the next tick.
    m_unitsSent = false;
    m_runSent = false;
    if (!m_timer.isActive())
        m_timer.start();
    m_picture->setFollowing(true);
    return stream;
}

qsizetype LiveFeed::clientCount() const
{
    return std::count_if(m_clients.cbegin(), m_clients.cend(),
                         [](const std::shared_ptr<HttpStream>& client) { return client->isOpen(); });
}

void LiveFeed::send(const QByteArray& piece)
{
    for (const std::shared_ptr<HttpStream>& client : std::as_const(m_clients))
        client->push(piece);
}

void LiveFeed::tick()
{
    // A stream its connection let go of (the client went, or was dropped) goes; one not yet
    // taken by its connection stays for the next tick.
    m_clients.removeIf([](const std::shared_ptr<HttpStream>& client) { return client.use_count() == 1; });
    if (m_clients.isEmpty()) {
        m_timer.stop();
        m_picture->setFollowing(false);
        return;
    }
    if (!m_unitsSent) {
        QJsonArray addresses;
        for (const QString& address : m_session.unitAddresses())
            addresses.append(address);
        send(serverEvent("units", {{u"addresses"_s, addresses}}));
        m_unitsSent = true;
    }
    send(update());
    ++m_updates;
    const bool playing = m_session.player() && !m_session.player()->isFinished();
    if (m_picture->timeline() && (!m_runSent || (playing && m_sinceRun.hasExpired(kRunIntervalMs)))) {
        m_picture->update();
        send(runPicture());
        m_runSent = true;
        m_sinceRun.restart();
    }
}

QByteArray LiveFeed::update()
{
    QByteArray states;
    const QList<UnitSimulator*>& units = m_session.units();
    states.reserve(units.size());
    for (const UnitSimulator* unit : units) {
        switch (unit->state()) {
        case UnitSimulator::State::Answering:
            states += 'a';
            break;
        case UnitSimulator::State::Offline:
            states += 'o';
            break;
        case UnitSimulator::State::Rebooting:
            states += 'r';
            break;
        }
    }
    QJsonObject scenario{{u"name"_s, QJsonValue()}, {u"state"_s, u"none"_s}};
    if (const ScenarioPlayer* player = m_session.player())
        scenario = {{u"name"_s, player->scenario().name},
                    {u"state"_s, player->isFinished()  ? u"finished"_s
                                 : player->isRunning() ? u"running"_s
                                                       : u"stopped"_s},
                    {u"elapsed"_s, double(player->elapsedMs()) / 1000},
                    {u"status"_s, player->statusText()}};
    QJsonArray expectations;
    if (m_monitor) {
        for (const ExpectationResult& result : m_monitor->results())
            expectations.append(
                QJsonObject{{u"name"_s, result.expectation.name},
                            {u"state"_s, QString::fromLatin1(ExpectationResult::stateName(result.state))},
                            {u"failures"_s, qint64(result.failureCount)},
                            {u"margin"_s, result.marginText()}});
    }
    // The busiest peers, by requests.
    // The table hands out a copy: kept here while pointers into it are sorted.
    const QList<PeerTable::Peer> table = m_session.peers().peers();
    std::vector<const PeerTable::Peer*> peers;
    for (const PeerTable::Peer& peer : table)
        peers.push_back(&peer);
    const auto top = peers.begin() + std::min<std::ptrdiff_t>(kTopPeers, std::ptrdiff_t(peers.size()));
    std::partial_sort(peers.begin(), top, peers.end(),
                      [](const PeerTable::Peer* a, const PeerTable::Peer* b) {
                          return a->requestTotal() > b->requestTotal();
                      });
    QJsonArray busiest;
    for (auto it = peers.begin(); it != top; ++it)
        busiest.append(QJsonObject{{u"peer"_s, (*it)->name()},
                                   {u"requests"_s, qint64((*it)->requestTotal())},
                                   {u"malformed"_s, qint64((*it)->malformedTotal())},
                                   {u"maxPerSecond"_s, qint64((*it)->maxPerSecond)},
                                   {u"units"_s, (*it)->unitCount}});
    // The log's newest lines since the last update.
    const quint64 end = m_log.endSeq();
    const quint64 from =
        std::max({m_nextLine, m_log.firstSeq(),
                  end > quint64(kLogLinesPerUpdate) ? end - quint64(kLogLinesPerUpdate) : quint64(0)});
    const quint64 skipped = from > m_nextLine ? from - m_nextLine : 0;
    QJsonArray lines;
    LogLine line;
    for (quint64 seq = from; seq < end; ++seq) {
        if (!m_log.lineWithSeq(seq, &line))
            continue;
        const TrafficLogEntry& entry = line.entry;
        QJsonObject object{{u"seq"_s, qint64(seq)},
                           {u"direction"_s, QString::fromLatin1(trafficLogDirection(entry))},
                           {u"unit"_s, m_log.unitAddressOf(line)},
                           {u"text"_s, m_log.prefixOf(line) + trafficLogLine(entry)}};
        if (entry.kind != TrafficLogEntry::Kind::Event && entry.kind != TrafficLogEntry::Kind::Notice) {
            object.insert(u"command"_s, QString::fromLatin1(TrafficLogEntry::commandName(entry.command())));
            object.insert(u"peer"_s, ipv4Text(entry.address) + u':' + QString::number(entry.remotePort));
        }
        lines.append(object);
    }
    m_nextLine = end;
    return serverEvent("update", {{u"time"_s, isoTimeUs(QDateTime::currentMSecsSinceEpoch() * 1000)},
                                  {u"states"_s, QString::fromLatin1(states)},
                                  {u"scenario"_s, scenario},
                                  {u"expectations"_s, expectations},
                                  {u"peers"_s, busiest},
                                  {u"log"_s, lines},
                                  {u"logSkipped"_s, qint64(skipped)},
                                  {u"logLines"_s, qint64(end)}});
}

void LiveFeed::updatePicture()
{
    m_picture->update();
}

QByteArray LiveFeed::runPicture() const
{
    const QList<ExpectationResult> results = m_monitor ? m_monitor->results() : QList<ExpectationResult>();
    return serverEvent("run",
                       runReportJson(m_picture->title(), *m_picture->timeline(), results, m_log, kRunUnits));
}
