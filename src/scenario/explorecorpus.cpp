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

// The longest span the block gives additions of `kind`; 0 when it gives none.
qint64 longestSpan(const ExploreSpace& space, ScenarioEvent::Kind kind)
{
    qint64 longest = 0;
    for (const ExploreSpace::Choice& choice : space.choices) {
        const bool same =
            (choice.kind == ExploreSpace::Choice::Kind::Reboot && kind == ScenarioEvent::Kind::Reboot) ||
            (choice.kind == ExploreSpace::Choice::Kind::Offline && kind == ScenarioEvent::Kind::Offline) ||
            (choice.kind == ExploreSpace::Choice::Kind::Fault && kind == ScenarioEvent::Kind::Fault);
        if (same && choice.forMs)
            longest = std::max(longest, qint64(choice.forMs->high));
    }
    return longest;
}

// One change of `additions` drawn by `drawer`; what it did, or nothing when the drawn kind of
// change has nothing to act on (the caller draws again).
std::optional<QString> change(const Scenario& scenario, QList<ScenarioEvent>& additions,
                              ExploreDrawer& drawer)
{
    const ExploreSpace& space = *scenario.explore;
    if (additions.isEmpty())
        return std::nullopt;
    const qsizetype k = qsizetype(drawer.whole(0, additions.size() - 1));
    ScenarioEvent& event = additions[k];
    const QString was = scenario.eventText(event);
    switch (drawer.whole(0, 3)) {
    case 0: { // moved in time, by up to a quarter of the window either way
        const qint64 low = qint64(space.windowMs.low);
        const qint64 high = qint64(space.windowMs.high);
        const qint64 reach = std::max<qint64>(1, (high - low) / 4);
        const qint64 at = std::clamp(event.atMs + drawer.whole(-reach, reach), low, high);
        if (at == event.atMs)
            return std::nullopt;
        event.atMs = at;
        return QStringLiteral("%1 at %2").arg(was, scenarioDurationText(at));
    }
    case 1: { // widened, up to twice, within the longest span the block gives its kind
        const qint64 longest = longestSpan(space, event.kind);
        if (event.forMs <= 0 || event.forMs >= longest)
            return std::nullopt;
        event.forMs =
            std::min(longest, event.forMs + std::max<qint64>(1, drawer.whole(event.forMs / 4, event.forMs)));
        return QStringLiteral("%1 for %2").arg(was, scenarioDurationText(event.forMs));
    }
    case 2: { // another addition on the same units, near it in time
        if (additions.size() >= space.atMost)
            return std::nullopt;
        const ExploreSpace::Choice& choice = space.choices[drawer.whole(0, space.choices.size() - 1)];
        ScenarioEvent added = drawer.addition(choice, event.units);
        const qint64 reach = std::max<qint64>(1, qint64(space.windowMs.high - space.windowMs.low) / 4);
        added.atMs = std::clamp(event.atMs + drawer.whole(-reach, reach), qint64(space.windowMs.low),
                                qint64(space.windowMs.high));
        additions.append(added);
        return u"added "_s + scenario.eventText(added);
    }
    default: { // the same on other units of the block's, as many of them
        const int width = event.units.last - event.units.first;
        if (space.unitsLast - space.unitsFirst <= width)
            return std::nullopt;
        const int first = int(drawer.whole(space.unitsFirst, space.unitsLast - width));
        if (first == event.units.first)
            return std::nullopt;
        event.units = {first, first + width, unitsText(first, first + width)};
        return QStringLiteral("%1 moved to %2").arg(was, scenario.eventText(event).section(u' ', 1));
    }
    }
}
} // namespace

bool ExploreCorpus::offer(int run, const ExploreVariation& variation, const QMap<QString, double>& margins)
{
    if (margins.isEmpty())
        return false;
    const Entry offered{run, variation, margins};
    bool kept = false;
    for (auto it = margins.cbegin(); it != margins.cend(); ++it) {
        const auto closest = m_closestOn.constFind(it.key());
        if (closest == m_closestOn.cend() || it.value() < closest->margins.value(it.key())) {
            m_closestOn.insert(it.key(), offered);
            kept = true;
        }
    }
    const auto least = [](const Entry& entry) {
        return *std::min_element(entry.margins.cbegin(), entry.margins.cend());
    };
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
        if (const std::optional<QString> done = change(scenario, changed.additions, drawer))
            what << *done;
    }
    if (what.isEmpty())
        return fresh;
    changed.origin = QStringLiteral("run %1 changed: %2").arg(base.run).arg(what.join(u"; "_s));
    return changed;
}
