#include "runtimeline.h"

#include "log/logblock.h"
#include "log/trafficlogmodel.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {
using Mark = TrafficLogEntry::EventMark;

// The rule of a fault line, "scenario: fault "RULE" on ...": what its start and its end share.
QString faultRule(const QString& text)
{
    const qsizetype open = text.indexOf(u'"');
    const qsizetype close = text.indexOf(u"\" on "_s, open + 1);
    return open < 0 || close < 0 ? text : text.mid(open + 1, close - open - 1);
}

// Seconds with millisecond precision: what a page needs, in few characters.
double rounded(double seconds)
{
    return std::round(seconds * 1000) / 1000;
}

QJsonArray spansJson(const QList<RunTimeline::Span>& spans, double endS)
{
    QJsonArray array;
    for (const RunTimeline::Span& span : spans) {
        QJsonObject object{{u"from"_s, rounded(span.fromS)},
                           {u"to"_s, rounded(span.toS < span.fromS ? endS : span.toS)}};
        if (span.fault.isEmpty())
            object.insert(u"state"_s, QString::fromLatin1(RunTimeline::stateName(span.state)));
        else
            object.insert(u"fault"_s, span.fault);
        array.append(object);
    }
    return array;
}
} // namespace

const char* RunTimeline::stateName(State state)
{
    switch (state) {
    case State::Answering:
        return "answering";
    case State::Offline:
        return "offline";
    case State::Rebooting:
        return "rebooting";
    }
    return "answering";
}

RunTimeline::RunTimeline(const TrafficLogModel& log, double timeScale, quint64 fromSeq)
    : m_log(log)
    , m_timeScale(timeScale > 0 ? timeScale : 1)
    , m_next(fromSeq)
{
}

double RunTimeline::secondsAt(qint64 timeUs) const
{
    return double(timeUs - m_startUs) / 1e6 * m_timeScale;
}

void RunTimeline::update()
{
    m_next = std::max(m_next, m_log.firstSeq());
    LogLine read;
    for (; m_next < m_log.endSeq(); ++m_next) {
        // A line that cannot be read (a damaged block of the store) is a line less in the picture.
        if (m_log.lineWithSeq(m_next, &read))
            line(read);
    }
}

void RunTimeline::line(const LogLine& line)
{
    const TrafficLogEntry& entry = line.entry;
    if (entry.eventMark() == Mark::ScenarioStarted) {
        // A restart pictures the run afresh.
        m_started = true;
        m_startUs = entry.timeUs;
        m_endS = 0;
        m_bucketMs = kBucketMs;
        m_units.assign(std::size_t(std::max<qsizetype>(m_log.unitAddresses().size(), 1)), Unit{});
        for (std::size_t k = 0; k < m_units.size(); ++k)
            m_units[k].address = k < std::size_t(m_log.unitAddresses().size())
                                     ? m_log.unitAddresses()[qsizetype(k)]
                                     : u"the unit"_s;
        m_events.clear();
        m_eventCount = 0;
    }
    if (!m_started)
        return;
    const double atS = secondsAt(entry.timeUs);
    m_endS = std::max(m_endS, atS);
    if (entry.kind == TrafficLogEntry::Kind::Event) {
        ++m_eventCount;
        if (m_events.size() < kMaxEvents) {
            Event event{rounded(atS), QString::fromUtf8(entry.note ? entry.note->text : QByteArray()), -1,
                        -1};
            if (entry.namesUnits()) {
                event.firstUnit = int(entry.markFirstUnit());
                event.lastUnit = int(entry.markLastUnit());
            }
            m_events.append(event);
        }
        switch (entry.eventMark()) {
        case Mark::UnitsOffline:
            return setState(line, State::Offline);
        case Mark::UnitsRebooting:
            return setState(line, State::Rebooting);
        case Mark::UnitsOnline:
        case Mark::UnitsRebooted:
            return setState(line, State::Answering);
        case Mark::FaultAdded:
            return fault(line, true);
        case Mark::FaultEnded:
            return fault(line, false);
        default:
            return;
        }
    }
    if (line.unit >= m_units.size())
        return;
    Unit& unit = m_units[line.unit];
    if (entry.kind == TrafficLogEntry::Kind::UnitIncoming) {
        ++unit.requestCount;
        count(unit, atS);
    } else if (entry.kind == TrafficLogEntry::Kind::UnitOutgoing) {
        ++unit.replyCount;
    }
}

void RunTimeline::setState(const LogLine& line, State state)
{
    const double atS = secondsAt(line.entry.timeUs);
    const quint32 last = std::min<quint32>(line.entry.markLastUnit(), quint32(m_units.size() - 1));
    for (quint32 k = line.entry.markFirstUnit(); k <= last; ++k) {
        QList<Span>& states = m_units[k].states;
        if (!states.isEmpty() && states.last().toS < states.last().fromS)
            states.last().toS = atS;
        if (state != State::Answering)
            states.append({atS, -1, state, {}});
    }
}

void RunTimeline::fault(const LogLine& line, bool added)
{
    const double atS = secondsAt(line.entry.timeUs);
    const QString rule = faultRule(QString::fromUtf8(line.entry.note ? line.entry.note->text : QByteArray()));
    const quint32 last = std::min<quint32>(line.entry.markLastUnit(), quint32(m_units.size() - 1));
    for (quint32 k = line.entry.markFirstUnit(); k <= last; ++k) {
        QList<Span>& faults = m_units[k].faults;
        if (added) {
            faults.append({atS, -1, State::Answering, rule});
            continue;
        }
        // The earliest open window of the same rule ends.
        const auto open = std::find_if(faults.begin(), faults.end(), [&](const Span& span) {
            return span.toS < span.fromS && span.fault == rule;
        });
        if (open != faults.end())
            open->toS = atS;
    }
}

void RunTimeline::count(Unit& unit, double atS)
{
    const auto bucket = std::size_t(std::max(0.0, atS * 1000 / double(m_bucketMs)));
    if (bucket >= std::size_t(kMaxBuckets)) {
        coarsen();
        return count(unit, atS);
    }
    if (unit.requests.size() <= bucket)
        unit.requests.resize(bucket + 1, 0);
    ++unit.requests[bucket];
}

void RunTimeline::coarsen()
{
    m_bucketMs *= 2;
    for (Unit& unit : m_units) {
        for (std::size_t k = 0; k < unit.requests.size(); ++k)
            unit.requests[k / 2] = (k % 2 == 0 ? 0 : unit.requests[k / 2]) + unit.requests[k];
        unit.requests.resize((unit.requests.size() + 1) / 2);
    }
}

void RunTimeline::finish(qint64 endUs)
{
    if (!m_started)
        return;
    m_endS = std::max(m_endS, secondsAt(endUs));
    for (Unit& unit : m_units) {
        for (QList<Span>* spans : {&unit.states, &unit.faults}) {
            for (Span& span : *spans) {
                if (span.toS < span.fromS)
                    span.toS = m_endS;
            }
        }
    }
}

QJsonObject RunTimeline::toJson(const QList<int>& first, qsizetype maxUnits) const
{
    // Which units are listed, in order.
    std::vector<std::size_t> listed;
    if (maxUnits < 0 || qsizetype(m_units.size()) <= maxUnits) {
        for (std::size_t k = 0; k < m_units.size(); ++k)
            listed.push_back(k);
    } else {
        std::vector<bool> taken(m_units.size(), false);
        const auto take = [&](std::size_t k) {
            if (k < m_units.size() && !taken[k] && qsizetype(listed.size()) < maxUnits) {
                taken[k] = true;
                listed.push_back(k);
            }
        };
        for (const int k : first)
            take(std::size_t(k));
        for (std::size_t k = 0; k < m_units.size(); ++k) {
            if (!m_units[k].states.isEmpty() || !m_units[k].faults.isEmpty())
                take(k);
        }
        for (std::size_t k = 0; k < m_units.size(); ++k)
            take(k);
    }
    // Buckets merged by `merge` keep the listed units (and the others' sum) within kMaxCells.
    const std::size_t rows = listed.size() + (listed.size() < m_units.size() ? 1 : 0);
    const std::size_t buckets = std::size_t(std::ceil(m_endS * 1000 / double(m_bucketMs))) + 1;
    std::size_t merge = 1;
    while (rows * ((buckets + merge - 1) / merge) > std::size_t(kMaxCells))
        merge *= 2;
    const auto merged = [merge](const std::vector<quint32>& requests) {
        QJsonArray array;
        for (std::size_t k = 0; k < requests.size(); k += merge) {
            quint64 sum = 0;
            for (std::size_t j = k; j < std::min(k + merge, requests.size()); ++j)
                sum += requests[j];
            array.append(qint64(sum));
        }
        return array;
    };
    QJsonArray units;
    std::vector<bool> isListed(m_units.size(), false);
    for (const std::size_t k : listed) {
        const Unit& unit = m_units[k];
        isListed[k] = true;
        units.append(QJsonObject{{u"index"_s, qint64(k)},
                                 {u"address"_s, unit.address},
                                 {u"states"_s, spansJson(unit.states, m_endS)},
                                 {u"faults"_s, spansJson(unit.faults, m_endS)},
                                 {u"requests"_s, merged(unit.requests)},
                                 {u"requestCount"_s, qint64(unit.requestCount)},
                                 {u"replyCount"_s, qint64(unit.replyCount)}});
    }
    QJsonArray events;
    for (const Event& event : m_events) {
        QJsonObject object{{u"at"_s, event.atS}, {u"text"_s, event.text}};
        if (event.firstUnit >= 0) {
            object.insert(u"firstUnit"_s, event.firstUnit);
            object.insert(u"lastUnit"_s, event.lastUnit);
        }
        events.append(object);
    }
    QJsonObject json{{u"end"_s, rounded(m_endS)},
                     {u"timeScale"_s, m_timeScale},
                     {u"bucketMs"_s, qint64(m_bucketMs * qint64(merge))},
                     {u"unitCount"_s, qint64(m_units.size())},
                     {u"units"_s, units},
                     {u"events"_s, events},
                     {u"eventCount"_s, qint64(m_eventCount)}};
    if (listed.size() < m_units.size()) {
        std::vector<quint32> sum;
        quint64 requestCount = 0;
        for (std::size_t k = 0; k < m_units.size(); ++k) {
            if (isListed[k])
                continue;
            const Unit& unit = m_units[k];
            requestCount += unit.requestCount;
            if (sum.size() < unit.requests.size())
                sum.resize(unit.requests.size(), 0);
            for (std::size_t b = 0; b < unit.requests.size(); ++b)
                sum[b] += unit.requests[b];
        }
        json.insert(u"others"_s, QJsonObject{{u"count"_s, qint64(m_units.size() - listed.size())},
                                             {u"requests"_s, merged(sum)},
                                             {u"requestCount"_s, qint64(requestCount)}});
    }
    return json;
}
