#include "verifyscan.h"

#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"

#include <QHostAddress>
#include <QJsonArray>

using namespace Qt::Literals::StringLiterals;

QJsonObject VerifyResult::toJson() const
{
    QJsonArray seqs;
    for (const quint64 seq : firstSeqs)
        seqs.append(qint64(seq));
    QJsonObject json{{u"matched"_s, matched},
                     {u"count"_s, qint64(count)},
                     {u"first"_s, seqs},
                     {u"scanned"_s, qint64(scanned)}};
    if (!matched) {
        QJsonArray misses;
        for (const NearMiss& miss : nearMisses)
            misses.append(QJsonObject{{u"seq"_s, qint64(miss.seq)},
                                      {u"text"_s, miss.line},
                                      {u"differences"_s, QJsonArray::fromStringList(miss.differences)}});
        json.insert(u"nearMisses"_s, misses);
    }
    if (!error.isEmpty())
        json.insert(u"error"_s, error);
    return json;
}

namespace {
QString addressText(quint32 address)
{
    return QHostAddress(address).toString();
}
} // namespace

RequestJudge::RequestJudge(RequestMatcher matcher, QStringList unitAddresses)
    : m_matcher(std::move(matcher))
    , m_addresses(std::move(unitAddresses))
{
    m_numbers.reserve(m_addresses.size());
    for (const QString& address : std::as_const(m_addresses))
        m_numbers.append(QHostAddress(address).toIPv4Address());
}

RequestJudge::Distance RequestJudge::judge(const LogLine& line, QStringList* describe) const
{
    Distance distance;
    const TrafficLogEntry& entry = line.entry;
    const bool fleet = !m_addresses.isEmpty();
    const int unit = int(line.unit);
    const QString unitAddress = fleet ? m_addresses.value(unit) : QString();
    bool unitOk = true;
    if (m_matcher.unitsAddress != 0)
        unitOk = fleet && m_numbers.value(unit) == m_matcher.unitsAddress;
    else
        unitOk = unit >= m_matcher.unitsFirst && unit <= m_matcher.unitsLast;
    if (!unitOk) {
        distance.otherUnit = true;
        ++distance.differences;
        if (describe)
            *describe << QStringLiteral("unit %1, not in %2")
                             .arg(fleet ? unitAddress : QString::number(unit), wanted());
    }
    const TrafficLogEntry::Command command = entry.command();
    if (m_matcher.command && command != *m_matcher.command) {
        distance.otherCommand = true;
        ++distance.differences;
        if (describe)
            *describe << QStringLiteral("command %1, not %2")
                             .arg(QLatin1String(TrafficLogEntry::commandName(command)),
                                  QLatin1String(TrafficLogEntry::commandName(*m_matcher.command)));
    }
    const QByteArrayView payload = entry.payload();
    for (const RequestMatcher::ByteCondition& condition : m_matcher.bytes) {
        const QString expected = condition.min == condition.max
                                     ? QString::number(condition.min)
                                     : QStringLiteral("%1 to %2").arg(condition.min).arg(condition.max);
        if (condition.position >= payload.size()) {
            ++distance.differences;
            distance.byteDistance += 256;
            if (describe)
                *describe << QStringLiteral("position %1: expected %2, the request has %3 bytes")
                                 .arg(condition.position)
                                 .arg(expected)
                                 .arg(payload.size());
            continue;
        }
        const int value = quint8(payload[condition.position]);
        if (value >= condition.min && value <= condition.max)
            continue;
        ++distance.differences;
        distance.byteDistance += value < condition.min ? condition.min - value : value - condition.max;
        if (describe)
            *describe << QStringLiteral("position %1: expected %2, was %3")
                             .arg(condition.position)
                             .arg(expected)
                             .arg(value);
    }
    return distance;
}

QString RequestJudge::wanted() const
{
    if (m_matcher.unitsAddress != 0)
        return addressText(m_matcher.unitsAddress);
    if (m_addresses.isEmpty())
        return m_matcher.unitsText;
    const int last = std::min<int>(m_matcher.unitsLast, int(m_addresses.size()) - 1);
    const QString first = m_addresses.value(m_matcher.unitsFirst, QString::number(m_matcher.unitsFirst));
    return last <= m_matcher.unitsFirst ? first : first + u'-' + m_addresses.value(last);
}

struct VerifyScan::Candidate {
    RequestJudge::Distance distance;
    quint64 seq;
    LogLine line;
};

VerifyScan::VerifyScan(RequestMatcher matcher, const TrafficLogModel& log)
    : m_matcher(std::move(matcher))
    , m_log(log)
    , m_judge(m_matcher, log.unitAddresses())
{
    m_end = m_matcher.toSeq == std::numeric_limits<quint64>::max()
                ? log.endSeq()
                : std::min(log.endSeq(), m_matcher.toSeq + 1);
    m_next = log.heldFrom(std::max(m_matcher.fromSeq, log.firstSeq()));
}

VerifyScan::~VerifyScan() = default;

bool VerifyScan::step(quint64 lines)
{
    for (quint64 n = 0; !m_done && n < lines; ++n) {
        if (m_next >= m_end) {
            finish();
            break;
        }
        const quint64 seq = m_next;
        m_next = m_log.heldFrom(seq + 1);
        LogLine line;
        if (!m_log.lineWithSeq(seq, &line, &m_result.error)) {
            finish();
            break;
        }
        const TrafficLogEntry& entry = line.entry;
        if (!entry.isIncoming() || entry.timeUs < m_matcher.fromUs)
            continue;
        if (entry.timeUs > m_matcher.toUs) {
            finish(); // lines are in time order
            break;
        }
        ++m_result.scanned;
        const RequestJudge::Distance distance = m_judge.judge(line, nullptr);
        m_sawWantedUnit = m_sawWantedUnit || !distance.otherUnit;
        if (distance.differences == 0) {
            ++m_result.count;
            if (m_result.firstSeqs.size() < VerifyResult::kFirstSeqs)
                m_result.firstSeqs.append(seq);
            continue;
        }
        // Among equally near misses, the latest.
        const auto place = std::find_if(m_nearest.begin(), m_nearest.end(),
                                        [&](const Candidate& c) { return !(c.distance < distance); });
        if (place - m_nearest.begin() < VerifyResult::kNearMisses) {
            m_nearest.insert(place, {distance, seq, line});
            if (m_nearest.size() > VerifyResult::kNearMisses)
                m_nearest.removeLast();
        }
    }
    return m_done;
}

void VerifyScan::finish()
{
    m_done = true;
    m_result.matched = m_result.error.isEmpty() && m_matcher.countHolds(m_result.count);
    if (m_result.matched)
        return;
    for (const Candidate& candidate : std::as_const(m_nearest)) {
        // Requests to other units are no near miss when the units wanted got any.
        if (m_sawWantedUnit && candidate.distance.otherUnit)
            continue;
        VerifyResult::NearMiss miss;
        miss.seq = candidate.seq;
        miss.line = m_log.prefixOf(candidate.line) + trafficLogLine(candidate.line.entry);
        m_judge.judge(candidate.line, &miss.differences);
        m_result.nearMisses.append(miss);
    }
}

VerifyResult verifyRequests(const RequestMatcher& matcher, const TrafficLogModel& log)
{
    VerifyScan scan(matcher, log);
    while (!scan.step(std::numeric_limits<quint64>::max())) {
    }
    return scan.result();
}
