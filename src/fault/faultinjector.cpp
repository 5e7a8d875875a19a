#include "faultinjector.h"

#include <algorithm>
#include <numeric>

namespace {
constexpr quint32 kFaultDraws = 2;

QString copySuffix(qsizetype index, qsizetype count)
{
    return count == 1 ? QString() : QStringLiteral(" (copy %1 of %2)").arg(index + 1).arg(count);
}
} // namespace

quint64 drawSeed()
{
    std::random_device device;
    return (quint64(device()) << 32) | quint64(device());
}

std::seed_seq seedSequence(quint64 seed, quint32 purpose)
{
    return std::seed_seq{quint32(seed), quint32(seed >> 32), purpose};
}

FaultInjector::FaultInjector(quint64 seed, QObject* parent)
    : QObject(parent)
{
    reseed(seed);
}

void FaultInjector::reseed(quint64 seed)
{
    std::seed_seq sequence = seedSequence(seed, kFaultDraws);
    m_random.seed(sequence);
}

int FaultInjector::add(const FaultRule& rule)
{
    const int id = m_nextId++;
    m_rules.append({id, rule, 0, 0});
    countEnabled();
    emit rulesChanged();
    return id;
}

bool FaultInjector::remove(int id)
{
    const auto removed = m_rules.removeIf([id](const Entry& entry) { return entry.id == id; });
    if (removed == 0)
        return false;
    countEnabled();
    emit rulesChanged();
    return true;
}

bool FaultInjector::setEnabled(int id, bool enabled)
{
    for (Entry& entry : m_rules) {
        if (entry.id == id) {
            if (entry.rule.enabled != enabled) {
                entry.rule.enabled = enabled;
                countEnabled();
                emit rulesChanged();
            }
            return true;
        }
    }
    return false;
}

void FaultInjector::clear()
{
    if (m_rules.isEmpty())
        return;
    m_rules.clear();
    countEnabled();
    emit rulesChanged();
}

void FaultInjector::countEnabled()
{
    // A rule for other units of a fleet never acts here: a unit that holds only such rules keeps
    // the fast path.
    m_enabledCount = int(std::count_if(m_rules.cbegin(), m_rules.cend(), [this](const Entry& entry) {
        return entry.rule.enabled && entry.rule.appliesToUnit(m_unitIndex, m_unitAddress);
    }));
}

bool FaultInjector::fires(Entry& entry)
{
    ++entry.matched;
    bool fire = true;
    if (entry.rule.every > 0)
        fire = entry.matched % quint64(entry.rule.every) == 0;
    else if (entry.rule.chance >= 0)
        fire = std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < entry.rule.chance;
    entry.fired += fire;
    return fire;
}

const FaultRule* FaultInjector::dropRequest(quint8 kind)
{
    for (Entry& entry : m_rules) {
        if (entry.rule.enabled && entry.rule.action == FaultAction::Drop && (entry.rule.actsOn() & kind) &&
            entry.rule.appliesToUnit(m_unitIndex, m_unitAddress) && fires(entry))
            return &entry.rule;
    }
    return nullptr;
}

void FaultInjector::actOnReply(quint8 kind, ReplyCopies& copies, const QString& peer, QStringList& notes,
                               QList<int>* delayedCopies)
{
    const auto note = [&](const QString& text, int delayedCopy = -1) {
        notes << text;
        if (delayedCopies)
            delayedCopies->append(delayedCopy);
    };
    for (Entry& entry : m_rules) {
        const FaultRule& rule = entry.rule;
        if (!rule.enabled || !rule.isReplyAction() || !(rule.actsOn() & kind) ||
            !rule.appliesToUnit(m_unitIndex, m_unitAddress) || !fires(entry))
            continue;
        const QString head = rule.text + QStringLiteral(": reply to ") + peer;
        switch (rule.action) {
        case FaultAction::Drop:
            break;
        case FaultAction::Delay:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                const int delay = std::uniform_int_distribution<int>(rule.value - rule.jitter,
                                                                     rule.value + rule.jitter)(m_random);
                copies[i].delayMs += delay;
                note(head + copySuffix(i, copies.size()) + QStringLiteral(" delayed by %1 ms").arg(delay),
                     int(i));
            }
            break;
        case FaultAction::Duplicate: {
            const qsizetype before = copies.size();
            // Each copy becomes `value` copies, up to the bound on copies of one reply.
            ReplyCopies doubled;
            for (const ReplyCopy& copy : std::as_const(copies)) {
                for (int n = 0; n < rule.value && doubled.size() < FaultRule::kMaxCopies; ++n)
                    doubled.append(copy);
            }
            copies = doubled;
            note(head + QStringLiteral(" sent %1 times").arg(copies.size() / std::max<qsizetype>(before, 1)));
            break;
        }
        case FaultAction::Truncate:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                const int before = copies[i].size;
                copies[i].size = quint8(std::min(before, rule.value));
                note(head + copySuffix(i, copies.size()) +
                     QStringLiteral(" cut to %1 of %2 bytes").arg(copies[i].size).arg(before));
            }
            break;
        case FaultAction::Corrupt:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                ReplyCopy& copy = copies[i];
                // K distinct positions: the first K of a partial shuffle.
                std::array<int, ReplyCopy::kMaxSize> positions;
                std::iota(positions.begin(), positions.begin() + copy.size, 0);
                const int count = std::min<int>(rule.value, copy.size);
                for (int n = 0; n < count; ++n) {
                    const int pick = std::uniform_int_distribution<int>(n, copy.size - 1)(m_random);
                    std::swap(positions[std::size_t(n)], positions[std::size_t(pick)]);
                }
                std::sort(positions.begin(), positions.begin() + count);
                QString where;
                for (int n = 0; n < count; ++n) {
                    // XOR with 1 to 255: always a different value.
                    const int flip = std::uniform_int_distribution<int>(1, 255)(m_random);
                    copy.bytes[std::size_t(positions[std::size_t(n)])] ^= char(flip);
                    where +=
                        (n ? QStringLiteral(", ") : QString()) + QString::number(positions[std::size_t(n)]);
                }
                note(head + copySuffix(i, copies.size()) +
                     (count == 0   ? QStringLiteral(" had no bytes to change")
                      : count == 1 ? QStringLiteral(" changed at position ") + where
                                   : QStringLiteral(" changed at positions ") + where));
            }
            break;
        }
    }
}
