#include "faultruleset.h"

#include "record/duration.h"

FaultRuleSet::FaultRuleSet(QObject* parent)
    : QObject(parent)
{
    m_expiry.setSingleShot(true);
    m_expiry.setTimerType(Qt::PreciseTimer);
    connect(&m_expiry, &QTimer::timeout, this, &FaultRuleSet::retireExpired);
}

void FaultRuleSet::setInjectors(const QList<FaultInjector*>& injectors)
{
    for (const QMetaObject::Connection& connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_injectors = injectors;
    // Queued: an injector finds out in the middle of acting on a datagram, with its rules in use.
    for (FaultInjector* injector : injectors)
        m_connections << connect(injector, &FaultInjector::wornOff, this, &FaultRuleSet::retire,
                                 Qt::QueuedConnection);
    armExpiry();
}

int FaultRuleSet::add(const FaultRule& rule)
{
    if (m_injectors.isEmpty())
        return 0;
    const std::shared_ptr<FaultRuleLife> life = FaultRuleLife::of(rule, faultClockNs());
    int id = 0;
    for (FaultInjector* injector : std::as_const(m_injectors))
        id = injector->add(rule, life);
    if (rule.forMs > 0)
        armExpiry();
    return id;
}

bool FaultRuleSet::remove(int id)
{
    bool removed = false;
    for (FaultInjector* injector : std::as_const(m_injectors))
        removed = injector->remove(id) || removed;
    return removed;
}

bool FaultRuleSet::setEnabled(int id, bool enabled)
{
    bool found = false;
    for (FaultInjector* injector : std::as_const(m_injectors))
        found = injector->setEnabled(id, enabled) || found;
    return found;
}

void FaultRuleSet::clear()
{
    for (FaultInjector* injector : std::as_const(m_injectors))
        injector->clear();
    m_expiry.stop();
}

QList<FaultInjector::Entry> FaultRuleSet::rules() const
{
    return m_injectors.isEmpty() ? QList<FaultInjector::Entry>{} : m_injectors.first()->rules();
}

QList<FaultInjector::Entry> FaultRuleSet::totals() const
{
    QList<FaultInjector::Entry> rules = this->rules();
    for (qsizetype k = 1; k < m_injectors.size(); ++k) {
        const QList<FaultInjector::Entry>& own = m_injectors[k]->rules();
        for (qsizetype i = 0; i < rules.size() && i < own.size(); ++i) {
            rules[i].matched += own[i].matched;
            rules[i].fired += own[i].fired;
            rules[i].bursts += own[i].bursts;
            rules[i].overflowed += own[i].overflowed;
        }
    }
    return rules;
}

void FaultRuleSet::retire(int id)
{
    const QList<FaultInjector::Entry> all = totals();
    const auto entry =
        std::find_if(all.cbegin(), all.cend(), [id](const FaultInjector::Entry& e) { return e.id == id; });
    if (entry == all.cend())
        return; // removed meanwhile
    const FaultRule& rule = entry->rule;
    const bool spent = rule.times > 0 && entry->life && entry->life->timesLeft <= 0;
    const QString why = spent ? QStringLiteral("acted %1 time%2")
                                    .arg(rule.times)
                                    .arg(rule.times == 1 ? QString() : QStringLiteral("s"))
                              : QStringLiteral("%1 over").arg(durationText(rule.forMs));
    const QString text = QStringLiteral("%1: %2, removed (matched %3, acted %4)")
                             .arg(rule.text, why)
                             .arg(entry->matched)
                             .arg(entry->fired);
    remove(id);
    emit ruleWornOff(id, text);
}

void FaultRuleSet::retireExpired()
{
    const qint64 now = faultClockNs();
    for (const FaultInjector::Entry& entry : rules()) {
        if (entry.rule.forMs > 0 && entry.life && now >= entry.life->endNs)
            retire(entry.id);
    }
    armExpiry();
}

void FaultRuleSet::armExpiry()
{
    qint64 earliest = std::numeric_limits<qint64>::max();
    for (const FaultInjector::Entry& entry : rules()) {
        if (entry.rule.forMs > 0 && entry.life)
            earliest = std::min(earliest, entry.life->endNs);
    }
    if (earliest == std::numeric_limits<qint64>::max()) {
        m_expiry.stop();
        return;
    }
    const qint64 waitNs = std::max<qint64>(0, earliest - faultClockNs());
    m_expiry.start(int(std::min<qint64>((waitNs + 999999) / 1000000, std::numeric_limits<int>::max())));
}
