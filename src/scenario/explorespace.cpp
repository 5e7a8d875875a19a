#include "explorespace.h"

#include "explorevariation.h"
#include "fleet/unitfleet.h"
#include "record/duration.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <random>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kMaxAdditions = 1000;

std::optional<ExploreSpace> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

// A range inside a fault rule: two numbers, each with an optional duration unit.
const QRegularExpression& ruleRange()
{
    static const QRegularExpression range(
        u"(?<![\\w.])(\\d+(?:\\.\\d+)?)(ms|s|m|h)?-(\\d+(?:\\.\\d+)?)(ms|s|m|h)?(?![\\w.])"_s);
    return range;
}

// A whole number from `low` to `high`, or a text holding one.
std::optional<int> wholeNumber(const QJsonValue& value, int low, int high)
{
    bool ok = value.isDouble();
    double number = value.toDouble();
    if (value.isString())
        number = value.toString().toDouble(&ok);
    if (!ok || number != std::floor(number) || number < low || number > high)
        return std::nullopt;
    return int(number);
}
} // namespace

QString DrawRange::numberText(double value, bool whole)
{
    return whole ? QString::number(qint64(std::llround(value))) : QString::number(value, 'g', 6);
}

std::optional<DrawRange> DrawRange::parse(const QString& text, bool durations)
{
    const QString trimmed = text.trimmed();
    const qsizetype dash = trimmed.indexOf(u'-', 1);
    const QString lowText = dash < 0 ? trimmed : trimmed.left(dash);
    const QString highText = dash < 0 ? trimmed : trimmed.mid(dash + 1);
    DrawRange range;
    if (durations) {
        const std::optional<qint64> low = parseDuration(lowText);
        const std::optional<qint64> high = parseDuration(highText);
        if (!low || !high)
            return std::nullopt;
        range = {double(*low), double(*high), true};
    } else {
        bool lowOk = false;
        bool highOk = false;
        range.low = lowText.toDouble(&lowOk);
        range.high = highText.toDouble(&highOk);
        if (!lowOk || !highOk || !std::isfinite(range.low) || !std::isfinite(range.high) || range.low < 0)
            return std::nullopt;
        range.whole = !lowText.contains(u'.') && !highText.contains(u'.');
    }
    if (range.high < range.low)
        return std::nullopt;
    return range;
}

QString ExploreSpace::drawRule(const QString& rule, const std::function<double(const DrawRange&)>& draw)
{
    QString out;
    qsizetype done = 0;
    QRegularExpressionMatchIterator it = ruleRange().globalMatch(rule);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out += rule.mid(done, match.capturedStart() - done);
        done = match.capturedEnd();
        const bool duration = !match.captured(2).isEmpty() || !match.captured(4).isEmpty();
        const std::optional<DrawRange> range = DrawRange::parse(match.captured(), duration);
        if (!range) {
            out += match.captured(); // left as written, for the rule's own parser to name
            continue;
        }
        const double value = draw(*range);
        out += duration ? QString::number(qint64(std::llround(value))) + u"ms"_s
                        : DrawRange::numberText(value, range->whole);
    }
    return out + rule.mid(done);
}

std::optional<ExploreSpace> ExploreSpace::fromJson(const QJsonValue& value, int unitCount,
                                                   std::optional<qint64> endMs, QString* error)
{
    if (!value.isObject())
        return fail(error, u"takes a mapping of at_most, window, units, events and faults"_s);
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        static const QStringList known{u"at_most"_s, u"window"_s, u"units"_s, u"events"_s, u"faults"_s};
        if (!known.contains(it.key()))
            return fail(error, QStringLiteral(
                                   "unknown key %1; explore takes at_most, window, units, events and faults")
                                   .arg(it.key()));
    }
    ExploreSpace space;
    space.value = value;
    if (object.contains(u"at_most"_s)) {
        const std::optional<int> atMost = wholeNumber(object[u"at_most"_s], 1, kMaxAdditions);
        if (!atMost)
            return fail(error, u"at_most needs a whole number from 1 to 1000"_s);
        space.atMost = *atMost;
    }

    if (object.contains(u"window"_s)) {
        const std::optional<DrawRange> window = DrawRange::parse(object[u"window"_s].toString(), true);
        if (!window)
            return fail(error, u"window needs a range of durations such as 6s-14s"_s);
        space.windowMs = *window;
    } else if (endMs) {
        space.windowMs = {0, double(*endMs), true};
    } else {
        return fail(error, u"needs window (such as 6s-14s), as the scenario has no end"_s);
    }
    if (endMs && space.windowMs.high > double(*endMs))
        return fail(error,
                    QStringLiteral("window ends after the scenario's end (%1)").arg(durationText(*endMs)));

    space.unitsLast = unitCount - 1;
    if (object.contains(u"units"_s)) {
        const QJsonValue units = object[u"units"_s];
        const QString text = units.isDouble() ? QString::number(units.toDouble()) : units.toString();
        const std::optional<DrawRange> range = DrawRange::parse(text, false);
        if (!range || !range->whole || range->high >= unitCount)
            return fail(error, QStringLiteral("units needs unit indexes FIRST-LAST or an index, from 0 to %1")
                                   .arg(unitCount - 1));
        space.unitsFirst = int(range->low);
        space.unitsLast = int(range->high);
    }

    const QJsonArray events = object[u"events"_s].toArray();
    if (object.contains(u"events"_s) && !object[u"events"_s].isArray())
        return fail(error,
                    u"events needs a list such as [{reboot: {for: 2s-6s}}, {offline: {for: 1s-10s}}]"_s);
    for (qsizetype k = 0; k < events.size(); ++k) {
        const QJsonObject item = events[k].toObject();
        const QString where = QStringLiteral("events[%1]").arg(k);
        if (item.size() != 1 || !(item.contains(u"reboot"_s) || item.contains(u"offline"_s)))
            return fail(error, where + u" needs one of reboot and offline, such as {reboot: {for: 2s-6s}}"_s);
        Choice choice;
        choice.kind = item.contains(u"reboot"_s) ? Choice::Kind::Reboot : Choice::Kind::Offline;
        const QJsonValue body = item.begin().value();
        const QJsonObject bodyObject = body.toObject();
        if (!body.isNull() && !(body.isObject() && bodyObject.size() <= 1 &&
                                (bodyObject.isEmpty() || bodyObject.contains(u"for"_s))))
            return fail(error, where + u": takes {for: DURATION or A-B}"_s);
        if (bodyObject.contains(u"for"_s)) {
            choice.forMs = DrawRange::parse(bodyObject[u"for"_s].toString(), true);
            if (!choice.forMs || choice.forMs->low <= 0)
                return fail(error,
                            where + u".for needs a duration above 0, or a range of them such as 2s-6s"_s);
        }
        space.choices.append(choice);
    }

    const QJsonArray faults = object[u"faults"_s].toArray();
    if (object.contains(u"faults"_s) && !object[u"faults"_s].isArray())
        return fail(error, u"faults needs a list such as [{rule: \"drop,chance=0.1-0.5\", for: 2s-8s}]"_s);
    for (qsizetype k = 0; k < faults.size(); ++k) {
        const QJsonObject item = faults[k].toObject();
        const QString where = QStringLiteral("faults[%1]").arg(k);
        if (!item.contains(u"rule"_s) || !item[u"rule"_s].isString() ||
            item.size() != 1 + item.contains(u"for"_s))
            return fail(error, where + u" needs rule (ranges allowed in its values) and may have for"_s);
        Choice choice;
        choice.kind = Choice::Kind::Fault;
        choice.rule = item[u"rule"_s].toString();
        if (choice.rule.contains(u"units="_s))
            return fail(error, where + u".rule: the units come from explore's units, not units="_s);
        // Both ends of every range must make a rule.
        for (const bool high : {false, true}) {
            QString problem;
            const QString drawn =
                drawRule(choice.rule, [&](const DrawRange& r) { return high ? r.high : r.low; });
            if (!FaultRule::parse(drawn, &problem))
                return fail(error, QStringLiteral("%1.rule: '%2': %3").arg(where, drawn, problem));
        }
        if (item.contains(u"for"_s)) {
            choice.forMs = DrawRange::parse(item[u"for"_s].toString(), true);
            if (!choice.forMs || choice.forMs->low <= 0)
                return fail(error,
                            where + u".for needs a duration above 0, or a range of them such as 2s-8s"_s);
        }
        space.choices.append(choice);
    }
    if (space.choices.isEmpty())
        return fail(error, u"needs events or faults to draw additions from"_s);
    return space;
}

ExploreDrawer::ExploreDrawer(const ExploreSpace& space, quint64 seed)
    : m_space(space)
    , m_random(seed)
{
}

qint64 ExploreDrawer::whole(qint64 low, qint64 high)
{
    return std::uniform_int_distribution<qint64>(low, high)(m_random);
}

double ExploreDrawer::value(const DrawRange& range)
{
    if (range.whole)
        return double(whole(qint64(range.low), qint64(range.high)));
    // To the thousandth, as a file would write it.
    return std::round(std::uniform_real_distribution<double>(range.low, range.high)(m_random) * 1000) / 1000;
}

ScenarioEvent ExploreDrawer::addition(const ExploreSpace::Choice& choice, std::optional<ScenarioUnits> units)
{
    ScenarioEvent event;
    event.atMs = qint64(value(m_space.windowMs));
    if (units) {
        event.units = *units;
    } else {
        event.units.first = int(whole(m_space.unitsFirst, m_space.unitsLast));
        event.units.last = int(whole(event.units.first, m_space.unitsLast));
        event.units.text = event.units.first == event.units.last
                               ? QString::number(event.units.first)
                               : QStringLiteral("%1-%2").arg(event.units.first).arg(event.units.last);
    }
    switch (choice.kind) {
    case ExploreSpace::Choice::Kind::Reboot:
        event.kind = ScenarioEvent::Kind::Reboot;
        event.forMs = ScenarioEvent::kDefaultRebootMs;
        break;
    case ExploreSpace::Choice::Kind::Offline:
        event.kind = ScenarioEvent::Kind::Offline;
        break;
    case ExploreSpace::Choice::Kind::Fault: {
        event.kind = ScenarioEvent::Kind::Fault;
        // Checked when the block was read: both ends of each range make a rule, so all between do.
        QString problem;
        event.rule =
            FaultRule::parse(
                ExploreSpace::drawRule(choice.rule, [this](const DrawRange& range) { return value(range); }),
                &problem)
                .value_or(FaultRule{});
        break;
    }
    }
    if (choice.forMs)
        event.forMs = qint64(value(*choice.forMs));
    return event;
}

ExploreVariation drawVariation(const Scenario& scenario, quint64 seed, int run, ExploreDraw how)
{
    ExploreVariation variation;
    variation.seed = UnitFleet::unitSeed(seed, run);
    if (!scenario.explore)
        return variation;
    const ExploreSpace& space = *scenario.explore;
    ExploreDrawer drawer(space, variation.seed);
    QList<const ExploreSpace::Choice*> choices;
    for (const ExploreSpace::Choice& choice : space.choices) {
        if (how == ExploreDraw::Uniform || drawer.whole(0, 1) == 1)
            choices << &choice;
    }
    if (choices.isEmpty())
        choices << &space.choices[drawer.whole(0, space.choices.size() - 1)];
    const qint64 count = drawer.whole(1, space.atMost);
    for (qint64 n = 0; n < count; ++n)
        variation.additions.append(drawer.addition(*choices[drawer.whole(0, choices.size() - 1)]));
    return variation;
}

Scenario withAdditions(const Scenario& scenario, const QList<ScenarioEvent>& additions)
{
    Scenario out = scenario;
    out.explore.reset();
    out.timeline += additions;
    return out;
}
