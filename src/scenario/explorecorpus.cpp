#include "explorecorpus.h"

#include <QSet>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {
// Mixed into a run's seed for the guided draws, so that they do not repeat its fresh ones.
constexpr quint64 kGuidedSalt = 0x6775696465640001;

QString unitsText(int first, int last)
{
    return first == last ? QString::number(first) : QStringLiteral("%1-%2").arg(first).arg(last);
}

// Whether `event` is an addition of `choice`'s kind (for a fault, of the same action).
bool ofChoice(const ScenarioEvent& event, const ExploreSpace::Choice& choice)
{
    switch (choice.kind) {
    case ExploreSpace::Choice::Kind::Reboot:
        return event.kind == ScenarioEvent::Kind::Reboot;
    case ExploreSpace::Choice::Kind::Offline:
        return event.kind == ScenarioEvent::Kind::Offline;
    case ExploreSpace::Choice::Kind::Fault:
        break;
    }
    if (event.kind != ScenarioEvent::Kind::Fault)
        return false;
    QString problem;
    const std::optional<FaultRule> rule = FaultRule::parse(
        ExploreSpace::drawRule(choice.rule, [](const DrawRange& range) { return range.low; }), &problem);
    return rule && rule->action == event.rule.action;
}

// The longest span the block gives additions of `event`'s kind; 0 when it gives none.
qint64 longestSpan(const ExploreSpace& space, const ScenarioEvent& event)
{
    qint64 longest = 0;
    for (const ExploreSpace::Choice& choice : space.choices) {
        if (choice.forMs && ofChoice(event, choice))
            longest = std::max(longest, qint64(choice.forMs->high));
    }
    return longest;
}

bool overlap(const ScenarioUnits& a, const ScenarioUnits& b)
{
    return a.isAll() || b.isAll() || (a.first <= b.last && b.first <= a.last);
}

// A choice for another addition on `event`'s units: rather one of a kind none of the additions on
// them has yet, as two different things at once on one unit are what a controller meets least.
const ExploreSpace::Choice& otherChoice(const ExploreSpace& space, const QList<ScenarioEvent>& additions,
                                        const ScenarioEvent& event, ExploreDrawer& drawer)
{
    QList<const ExploreSpace::Choice*> fresh;
    for (const ExploreSpace::Choice& choice : space.choices) {
        const bool there = std::any_of(additions.cbegin(), additions.cend(), [&](const ScenarioEvent& other) {
            return overlap(other.units, event.units) && ofChoice(other, choice);
        });
        if (!there)
            fresh << &choice;
    }
    if (fresh.isEmpty())
        return space.choices[drawer.whole(0, space.choices.size() - 1)];
    return *fresh[drawer.whole(0, fresh.size() - 1)];
}

// One change of `additions` drawn by `drawer`, of one near `focus` (a unit's index) when any is:
// what it did, or nothing when the drawn kind of change has nothing to act on (the caller draws
// again).
std::optional<QString> change(const Scenario& scenario, QList<ScenarioEvent>& additions, int focus,
                              ExploreDrawer& drawer)
{
    const ExploreSpace& space = *scenario.explore;
    if (additions.isEmpty())
        return std::nullopt;
    QList<qsizetype> near;
    for (qsizetype k = 0; k < additions.size(); ++k) {
        if (focus >= 0 && additions[k].units.contains(focus))
            near << k;
    }
    const qsizetype k = near.isEmpty() ? qsizetype(drawer.whole(0, additions.size() - 1))
                                       : near[drawer.whole(0, near.size() - 1)];
    ScenarioEvent& event = additions[k];
    const QString was = scenario.eventText(event);
    const qint64 low = qint64(space.windowMs.low);
    const qint64 high = qint64(space.windowMs.high);
    const qint64 reach = std::max<qint64>(1, (high - low) / 4);
    // Half of the changes add: the others change what is there, an addition adds what was not.
    switch (std::min<qint64>(drawer.whole(0, 5), 3)) {
    case 0: { // moved in time, by up to a quarter of the window either way
        const qint64 at = std::clamp(event.atMs + drawer.whole(-reach, reach), low, high);
        if (at == event.atMs)
            return std::nullopt;
        event.atMs = at;
        return QStringLiteral("%1 at %2").arg(was, scenarioDurationText(at));
    }
    case 1: { // widened, up to twice, within the longest span the block gives its kind
        const qint64 longest = longestSpan(space, event);
        if (event.forMs <= 0 || event.forMs >= longest)
            return std::nullopt;
        event.forMs =
            std::min(longest, event.forMs + std::max<qint64>(1, drawer.whole(event.forMs / 4, event.forMs)));
        return QStringLiteral("%1 for %2").arg(was, scenarioDurationText(event.forMs));
    }
    case 2: { // the same on other units of the block's, as many of them
        const int width = event.units.last - event.units.first;
        if (space.unitsLast - space.unitsFirst <= width)
            return std::nullopt;
        const int first = int(drawer.whole(space.unitsFirst, space.unitsLast - width));
        if (first == event.units.first)
            return std::nullopt;
        event.units = {first, first + width, unitsText(first, first + width)};
        return QStringLiteral("%1 moved to %2").arg(was, scenario.eventText(event).section(u' ', 1));
    }
    default: { // another addition on the same units, around a moment they change: as this one
               // starts or ends, it starts within its own span before or a little after
        if (additions.size() >= space.atMost)
            return std::nullopt;
        ScenarioEvent added = drawer.addition(otherChoice(space, additions, event, drawer), event.units);
        const qint64 moment =
            event.forMs > 0 && drawer.whole(0, 1) == 1 ? event.atMs + event.forMs : event.atMs;
        const qint64 before = added.forMs > 0 ? added.forMs : reach;
        added.atMs = std::clamp(drawer.whole(moment - before, moment + reach / 4), low, high);
        additions.append(added);
        return u"added "_s + scenario.eventText(added);
    }
    }
}
} // namespace

const ExploreMargin& ExploreCorpus::Entry::nearest() const
{
    return *std::min_element(
        margins.cbegin(), margins.cend(),
        [](const ExploreMargin& a, const ExploreMargin& b) { return a.fraction < b.fraction; });
}

bool ExploreCorpus::offer(int run, const ExploreVariation& variation, const ExploreMargins& margins)
{
    if (margins.isEmpty())
        return false;
    const Entry offered{run, variation, margins};
    bool kept = false;
    for (auto it = margins.cbegin(); it != margins.cend(); ++it) {
        const auto closest = m_closestOn.constFind(it.key());
        if (closest == m_closestOn.cend() || it->fraction < closest->margins.value(it.key()).fraction) {
            m_closestOn.insert(it.key(), offered);
            kept = true;
        }
    }
    const auto least = [](const Entry& entry) { return entry.nearest().fraction; };
    // After those as near: the earlier run keeps its place.
    const auto at = std::upper_bound(m_closest.begin(), m_closest.end(), least(offered),
                                     [&](double value, const Entry& entry) { return value < least(entry); });
    if (at - m_closest.begin() < kClosest) {
        m_closest.insert(at, offered);
        if (m_closest.size() > kClosest)
            m_closest.removeLast();
        kept = true;
    }
    if (!kept)
        return false;
    m_entries.clear();
    QSet<int> runs;
    for (const QList<Entry>& list : {m_closestOn.values(), m_closest}) {
        for (const Entry& entry : list) {
            if (!runs.contains(entry.run)) {
                runs.insert(entry.run);
                m_entries.append(entry);
            }
        }
    }
    std::sort(m_entries.begin(), m_entries.end(),
              [](const Entry& a, const Entry& b) { return a.run < b.run; });
    return true;
}

ExploreVariation drawGuidedVariation(const Scenario& scenario, quint64 seed, int run, ExploreDraw draw,
                                     const ExploreCorpus& corpus)
{
    ExploreVariation fresh = drawVariation(scenario, seed, run, draw);
    if (corpus.isEmpty() || !scenario.explore)
        return fresh;
    ExploreDrawer drawer(*scenario.explore, fresh.seed ^ kGuidedSalt);
    if (drawer.whole(0, 1) == 0)
        return fresh;
    const ExploreCorpus::Entry& base = corpus.entries()[drawer.whole(0, corpus.entries().size() - 1)];
    ExploreVariation changed;
    changed.seed = fresh.seed;
    changed.additions = base.variation.additions;
    QStringList what;
    const qint64 changes = drawer.whole(1, 2);
    // A few tries for each: a drawn kind of change may have nothing to act on.
    for (int tries = 0; what.size() < changes && tries < 16; ++tries) {
        if (const std::optional<QString> done =
                change(scenario, changed.additions, base.nearest().unit, drawer))
            what << *done;
    }
    if (what.isEmpty())
        return fresh;
    changed.origin = QStringLiteral("run %1 changed: %2").arg(base.run).arg(what.join(u"; "_s));
    return changed;
}
