#include "faultinjector.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <numeric>

namespace {
constexpr quint32 kFaultDraws = 2;

QString copySuffix(qsizetype index, qsizetype count)
{
    return count == 1 ? QString() : QStringLiteral(" (copy %1 of %2)").arg(index + 1).arg(count);
}
} // namespace

qint64 faultClockNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::shared_ptr<FaultRuleLife> FaultRuleLife::of(const FaultRule& rule, qint64 nowNs)
{
    if (!rule.wearsOff())
        return {};
    auto life = std::make_shared<FaultRuleLife>();
    if (rule.forMs > 0)
        life->endNs = nowNs + rule.forMs * 1000000;
    life->timesLeft = rule.times;
    return life;
}

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
    for (Entry& entry : m_rules) {
        closeBurst(entry, QStringLiteral("the draws started over"));
        entry.bad = false;
        entry.tokens = -1;
    }
}

int FaultInjector::add(const FaultRule& rule, std::shared_ptr<FaultRuleLife> life)
{
    const int id = m_nextId++;
    Entry entry;
    entry.id = id;
    entry.rule = rule;
    entry.life = life ? std::move(life) : FaultRuleLife::of(rule, now());
    m_rules.append(std::move(entry));
    countEnabled();
    emit rulesChanged();
    return id;
}

bool FaultInjector::remove(int id)
{
    for (Entry& entry : m_rules) {
        if (entry.id == id)
            closeBurst(entry, QStringLiteral("the rule was removed"));
    }
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
                if (!enabled)
                    closeBurst(entry, QStringLiteral("the rule was turned off"));
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
    for (Entry& entry : m_rules)
        closeBurst(entry, QStringLiteral("the rule was removed"));
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

bool FaultInjector::isOver(Entry& entry)
{
    if (!entry.life)
        return false;
    if (!entry.life->over && entry.rule.forMs > 0 && now() >= entry.life->endNs)
        wearOff(entry);
    return entry.life->over;
}

void FaultInjector::wearOff(Entry& entry)
{
    closeBurst(entry, QStringLiteral("the rule wore off"));
    if (entry.life->over)
        return;
    entry.life->over = true;
    emit wornOff(entry.id);
}

bool FaultInjector::counts(Entry& entry)
{
    if (isOver(entry))
        return false;
    ++entry.matched;
    return entry.matched > quint64(entry.rule.after);
}

void FaultInjector::acted(Entry& entry)
{
    ++entry.fired;
    if (entry.rule.times > 0 && --entry.life->timesLeft <= 0)
        wearOff(entry);
}

bool FaultInjector::fires(Entry& entry)
{
    if (!counts(entry))
        return false;
    bool fire = true;
    if (entry.rule.every > 0)
        fire = (entry.matched - quint64(entry.rule.after)) % quint64(entry.rule.every) == 0;
    else if (entry.rule.chance >= 0)
        fire = std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < entry.rule.chance;
    if (fire)
        acted(entry);
    return fire;
}

bool FaultInjector::losesRequest(Entry& entry)
{
    if (!counts(entry))
        return false;
    const FaultRule& rule = entry.rule;
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    // The state decides this request; then the chain moves on for the next.
    const bool wasBad = entry.bad;
    if (wasBad && entry.burstLength == 0) {
        ++entry.bursts;
        entry.burstFirst = entry.matched;
        entry.burstStartMs = QDateTime::currentMSecsSinceEpoch();
    }
    const double kept = wasBad ? rule.lossH : rule.lossK;
    const bool lost = kept <= 0 || (kept < 1 && draw(m_random) >= kept);
    entry.bad = draw(m_random) < (wasBad ? 1.0 - rule.lossR : rule.lossP);
    if (wasBad) {
        ++entry.burstLength;
        entry.burstLost += lost;
    }
    if (lost)
        acted(entry);
    if (wasBad && !entry.bad)
        closeBurst(entry);
    return lost;
}

void FaultInjector::closeBurst(Entry& entry, const QString& why)
{
    if (entry.burstLength == 0)
        return;
    const QString start = QDateTime::fromMSecsSinceEpoch(entry.burstStartMs).toString(u"HH:mm:ss.zzz");
    QString text = QStringLiteral("%1: burst of %2 request%3 from %4 (matching request %5), %6 lost")
                       .arg(entry.rule.text)
                       .arg(entry.burstLength)
                       .arg(entry.burstLength == 1 ? QString() : QStringLiteral("s"), start)
                       .arg(entry.burstFirst)
                       .arg(entry.burstLost);
    if (!why.isEmpty())
        text += QStringLiteral(", cut short: ") + why;
    entry.burstLength = 0;
    entry.burstLost = 0;
    if (m_noteSink)
        m_noteSink(text);
    emit noted(text);
}

bool FaultInjector::takesToken(Entry& entry)
{
    const FaultRule& rule = entry.rule;
    const qint64 at = now();
    if (entry.tokens < 0) {
        entry.tokens = rule.burst;
    } else {
        const double earned = double(at - entry.filledNs) * rule.value / 1e9;
        entry.tokens = std::min<double>(rule.burst, entry.tokens + std::max(0.0, earned));
    }
    entry.filledNs = at;
    if (entry.tokens >= 1.0) {
        entry.tokens -= 1.0;
        return true;
    }
    return false;
}

const FaultRule* FaultInjector::dropRequest(quint8 kind, bool* inBurst)
{
    for (Entry& entry : m_rules) {
        const FaultRule& rule = entry.rule;
        if (!rule.enabled || !(rule.actsOn() & kind) || !rule.appliesToUnit(m_unitIndex, m_unitAddress))
            continue;
        if (rule.action == FaultAction::Drop && fires(entry))
            return &entry.rule;
        if (rule.action == FaultAction::Loss) {
            const bool bad = entry.bad;
            if (losesRequest(entry)) {
                if (inBurst)
                    *inBurst = bad;
                return &entry.rule;
            }
        }
    }
    return nullptr;
}

void FaultInjector::countOverflow(int id)
{
    for (Entry& entry : m_rules) {
        if (entry.id == id)
            ++entry.overflowed;
    }
}

void FaultInjector::actOnReply(quint8 kind, ReplyCopies& copies, const QString& peer, QStringList& notes,
                               QList<int>* delayedCopies)
{
    const auto note = [&](const QString& text, int delayedCopy = -1) {
        notes << text;
        if (delayedCopies)
            delayedCopies->append(delayedCopy);
    };
    const auto leaving = [&copies] {
        return std::any_of(copies.cbegin(), copies.cend(),
                           [](const ReplyCopy& copy) { return !copy.dropped; });
    };
    for (Entry& entry : m_rules) {
        const FaultRule& rule = entry.rule;
        if (!rule.enabled || !rule.isReplyAction() || !(rule.actsOn() & kind) ||
            !rule.appliesToUnit(m_unitIndex, m_unitAddress) || !leaving())
            continue;
        // Built only for a note: a rate rule looks at every reply and writes about few.
        const auto head = [&] { return rule.text + QStringLiteral(": reply to ") + peer; };
        if (rule.action == FaultAction::Rate) {
            // Each copy takes a token; the bucket's rule acts on those it finds none for.
            if (!counts(entry))
                continue;
            for (qsizetype i = 0; i < copies.size(); ++i) {
                if (copies[i].dropped || takesToken(entry))
                    continue;
                copies[i].dropped = true;
                acted(entry);
                note(head() + copySuffix(i, copies.size()) +
                     QStringLiteral(" dropped: over %1 a second").arg(rule.value));
            }
            continue;
        }
        if (!fires(entry))
            continue;
        switch (rule.action) {
        case FaultAction::Drop:
        case FaultAction::Loss:
        case FaultAction::Rate:
            break;
        case FaultAction::Reorder:
            // Its line comes when the reply leaves, saying which replies it let go first.
            for (ReplyCopy& copy : copies) {
                copy.holdRule = entry.id;
                copy.holdReplies = quint16(rule.value);
                copy.holdGapMs = quint16(rule.gapMs);
            }
            break;
        case FaultAction::Delay:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                if (copies[i].dropped)
                    continue;
                const int delay = std::uniform_int_distribution<int>(rule.value - rule.jitter,
                                                                     rule.value + rule.jitter)(m_random);
                copies[i].delayMs += delay;
                note(head() + copySuffix(i, copies.size()) + QStringLiteral(" delayed by %1 ms").arg(delay),
                     int(i));
            }
            break;
        case FaultAction::Duplicate: {
            const qsizetype before = copies.size();
            // Each copy becomes `value` copies, up to the bound on copies of one reply.
            ReplyCopies doubled;
            for (const ReplyCopy& copy : std::as_const(copies)) {
                // A dropped copy stays one: it is not sent either way.
                const int times = copy.dropped ? 1 : rule.value;
                for (int n = 0; n < times && doubled.size() < FaultRule::kMaxCopies; ++n)
                    doubled.append(copy);
            }
            copies = doubled;
            note(head() +
                 QStringLiteral(" sent %1 times").arg(copies.size() / std::max<qsizetype>(before, 1)));
            break;
        }
        case FaultAction::Truncate:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                if (copies[i].dropped)
                    continue;
                const int before = copies[i].size;
                copies[i].size = quint8(std::min(before, rule.value));
                note(head() + copySuffix(i, copies.size()) +
                     QStringLiteral(" cut to %1 of %2 bytes").arg(copies[i].size).arg(before));
            }
            break;
        case FaultAction::Corrupt:
            for (qsizetype i = 0; i < copies.size(); ++i) {
                ReplyCopy& copy = copies[i];
                if (copy.dropped)
                    continue;
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
                note(head() + copySuffix(i, copies.size()) +
                     (count == 0   ? QStringLiteral(" had no bytes to change")
                      : count == 1 ? QStringLiteral(" changed at position ") + where
                                   : QStringLiteral(" changed at positions ") + where));
            }
            break;
        }
    }
}
