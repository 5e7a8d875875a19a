#include "replyreorderhold.h"

#include "faultinjector.h"

ReplyReorderHold::ReplyReorderHold(QObject* parent, qsizetype capacity)
    : QObject(parent)
    , m_capacity(capacity)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ReplyReorderHold::releaseDue);
}

ReplyReorderHold::Outcome ReplyReorderHold::hold(const DelayedReply& reply, int rule, const QString& ruleText,
                                                 int laterReplies, int gapMs)
{
    auto line =
        std::find_if(m_lines.begin(), m_lines.end(), [rule](const Line& l) { return l.rule == rule; });
    // Lines are erased once empty, but a release loop may still be emptying this one.
    if (line != m_lines.end() && !line->held.empty())
        return Outcome::Overtakes;
    if (m_size >= m_capacity)
        return Outcome::Full;
    if (line == m_lines.end()) {
        Line fresh;
        fresh.rule = rule;
        fresh.ruleText = ruleText;
        m_lines.push_back(std::move(fresh));
        line = m_lines.end() - 1;
    }
    const qint64 now = faultClockNs();
    Held held;
    held.reply = reply;
    held.order = ++m_order;
    held.needed = quint32(laterReplies);
    held.freshAt = line->fresh;
    held.dueNs = now + qint64(gapMs) * 1000000;
    held.sinceNs = now;
    line->held.push_back(held);
    ++m_size;
    arm();
    return Outcome::Held;
}

void ReplyReorderHold::replyLeft(quint32 address, quint16 port)
{
    if (m_size == 0)
        return;
    const Departure departure{++m_departures, address, port};
    if (!m_releasing) {
        // Later than every held reply.
        for (Line& line : m_lines) {
            ++line.fresh;
            line.lastFresh = departure;
        }
        releaseDue();
        return;
    }
    // A held reply being released from the loop of releaseDue() comes back here: it counts for
    // the replies held before it (at the front of the other lines), and the loop picks up
    // whatever it made due.
    for (Line& line : m_lines) {
        for (Held& held : line.held) {
            if (held.order >= m_releasingOrder)
                break;
            if (passed(line, held) < held.needed) {
                ++held.earlier;
                held.lastEarlier = departure;
            }
        }
    }
}

void ReplyReorderHold::releaseDue()
{
    if (m_releasing)
        return;
    m_releasing = true;
    for (;;) {
        // The earliest held reply that is due, by count or by time.
        const qint64 now = faultClockNs();
        Line* next = nullptr;
        for (Line& line : m_lines) {
            if (line.held.empty())
                continue;
            const Held& front = line.held.front();
            if ((passed(line, front) >= front.needed || front.dueNs <= now) &&
                (!next || front.order < next->held.front().order))
                next = &line;
        }
        if (!next)
            break;
        const Held held = next->held.front();
        next->held.pop_front();
        --m_size;
        Release why;
        why.rule = next->rule;
        why.ruleText = next->ruleText;
        why.passed = std::min(passed(*next, held), held.needed);
        why.gapOver = passed(*next, held) < held.needed;
        // The last that left before it: a fresh one, or a held one of another rule.
        const Departure& last = held.lastEarlier.seq > next->lastFresh.seq || next->fresh == held.freshAt
                                    ? held.lastEarlier
                                    : next->lastFresh;
        why.lastAddress = last.address;
        why.lastPort = last.port;
        why.heldMs = (now - held.sinceNs) / 1000000;
        m_releasingOrder = held.order;
        emit released(held.reply, why);
    }
    std::erase_if(m_lines, [](const Line& line) { return line.held.empty(); });
    m_releasing = false;
    arm();
}

void ReplyReorderHold::arm()
{
    qint64 earliest = std::numeric_limits<qint64>::max();
    for (const Line& line : m_lines) {
        if (!line.held.empty())
            earliest = std::min(earliest, line.held.front().dueNs);
    }
    if (earliest == std::numeric_limits<qint64>::max()) {
        m_timer.stop();
        return;
    }
    // Rounded up: the timer counts whole milliseconds, and a reply must not leave early.
    const qint64 waitNs = std::max<qint64>(0, earliest - faultClockNs());
    m_timer.start(int((waitNs + 999999) / 1000000));
}
