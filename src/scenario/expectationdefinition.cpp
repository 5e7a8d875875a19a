#include "expectationdefinition.h"

#include "record/duration.h"
#include "scenario.h"

#include <QJsonDocument>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr double kMaxRate = 1e6;
constexpr int kMaxUnanswered = 1'000'000;

std::optional<ExpectationDefinition> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

QString rateText(double perSecond)
{
    return QString::number(perSecond, 'g', 12);
}

// Checks that `value` is a mapping of `allowed` keys; the message when not.
QString unknownKey(const QJsonValue& value, std::initializer_list<const char*> allowed, const QString& what)
{
    if (!value.isObject())
        return QStringLiteral("takes %1").arg(what);
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::none_of(allowed.begin(), allowed.end(),
                         [&](const char* key) { return it.key() == QLatin1String(key); }))
            return QStringLiteral("unknown key %1; it takes %2").arg(it.key(), what);
    }
    return {};
}

std::optional<qint64> positiveDuration(const QJsonValue& value)
{
    const std::optional<qint64> ms = parseDuration(value.toString());
    return ms && *ms > 0 ? ms : std::nullopt;
}
} // namespace

std::optional<double> parseRate(const QString& text)
{
    if (!text.endsWith(u"/s"_s))
        return std::nullopt;
    bool ok = false;
    const double value = text.chopped(2).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0 || value > kMaxRate)
        return std::nullopt;
    return value;
}

const char* ExpectationDefinition::checkName(Check check)
{
    static constexpr const char* kNames[kCheckCount] = {
        "resend_after_reboot", "max_rate", "discovery_interval", "backoff", "poll_coverage",
        "no_malformed",        "verify"};
    return kNames[int(check)];
}

std::optional<ExpectationDefinition> ExpectationDefinition::fromJson(const QString& name, const QString& key,
                                                                     const QJsonValue& value, QString* error)
{
    ExpectationDefinition expectation;
    expectation.name = name;
    expectation.value = value;
    bool known = false;
    for (int c = 0; c < kCheckCount; ++c) {
        if (key == QLatin1String(checkName(Check(c)))) {
            expectation.check = Check(c);
            known = true;
        }
    }
    if (!known)
        return fail(error, QStringLiteral("unknown check %1").arg(key));
    const QJsonObject args = value.toObject();
    const auto durationOf = [&](const char* part, qint64* out) {
        const QJsonValue given = args.value(QLatin1String(part));
        const std::optional<qint64> ms = positiveDuration(given);
        if (ms)
            *out = *ms;
        return ms.has_value();
    };
    const QString durationWanted = u"a duration above 0 such as 500ms, 10s or 2m"_s;
    const QString rateWanted = u"a rate such as 50/s or 0.5/s (above 0, at most 1000000/s)"_s;
    QString problem;
    switch (expectation.check) {
    case Check::ResendAfterReboot:
        problem = unknownKey(value, {"within"}, u"{within: DURATION}"_s);
        if (problem.isEmpty() && !durationOf("within", &expectation.withinMs))
            problem = u"within needs "_s + durationWanted;
        break;
    case Check::MaxRate: {
        problem = unknownKey(value, {"per_unit", "per_peer"}, u"{per_unit: RATE} or {per_peer: RATE}"_s);
        if (!problem.isEmpty())
            break;
        expectation.perPeer = args.contains(u"per_peer"_s);
        if (args.size() != 1) {
            problem = u"takes one of per_unit and per_peer"_s;
            break;
        }
        const std::optional<double> rate = parseRate(args.begin()->toString());
        if (!rate)
            problem = (expectation.perPeer ? u"per_peer needs "_s : u"per_unit needs "_s) + rateWanted;
        else
            expectation.perSecond = *rate;
        break;
    }
    case Check::DiscoveryInterval:
        problem = unknownKey(value, {"at_least"}, u"{at_least: DURATION}"_s);
        if (problem.isEmpty() && !durationOf("at_least", &expectation.atLeastMs))
            problem = u"at_least needs "_s + durationWanted;
        break;
    case Check::Backoff: {
        problem =
            unknownKey(value, {"after_unanswered", "at_most"}, u"{after_unanswered: N, at_most: RATE}"_s);
        if (!problem.isEmpty())
            break;
        const QJsonValue count = args.value(u"after_unanswered"_s);
        const double n = count.toDouble(-1);
        if (!count.isDouble() || n != std::floor(n) || n < 1 || n > kMaxUnanswered) {
            problem = u"after_unanswered needs a whole number from 1 to 1000000"_s;
            break;
        }
        expectation.afterUnanswered = int(n);
        const std::optional<double> rate = parseRate(args.value(u"at_most"_s).toString());
        if (!rate)
            problem = u"at_most needs "_s + rateWanted;
        else
            expectation.perSecond = *rate;
        break;
    }
    case Check::PollCoverage:
        problem = unknownKey(value, {"every", "warm_up"}, u"{every: DURATION, warm_up: DURATION}"_s);
        if (!problem.isEmpty())
            break;
        if (!durationOf("every", &expectation.everyMs)) {
            problem = u"every needs "_s + durationWanted;
            break;
        }
        expectation.warmUpMs = expectation.everyMs;
        if (args.contains(u"warm_up"_s) && !durationOf("warm_up", &expectation.warmUpMs))
            problem = u"warm_up needs "_s + durationWanted;
        break;
    case Check::NoMalformed:
        if (!value.isNull() && !(value.isObject() && args.isEmpty()))
            problem = u"takes nothing: {}"_s;
        break;
    case Check::Verify: {
        if (!value.isObject()) {
            problem =
                u"takes a matcher: {units, command, bytes, from, to, and one of exactly, at_least, at_most}"_s;
            break;
        }
        std::optional<RequestMatcher> matcher = RequestMatcher::fromJson(args, &problem);
        if (matcher)
            expectation.matcher = std::move(*matcher);
        break;
    }
    }
    if (!problem.isEmpty())
        return fail(error, problem);
    return expectation;
}

QString ExpectationDefinition::text() const
{
    switch (check) {
    case Check::ResendAfterReboot:
        return QStringLiteral("each unit back after a reboot gets set-channels within %1")
            .arg(scenarioDurationText(withinMs));
    case Check::MaxRate:
        return QStringLiteral("%1 more than %2 requests a second")
            .arg(perPeer ? u"no peer sends"_s : u"no unit gets"_s, rateText(perSecond));
    case Check::DiscoveryInterval:
        return QStringLiteral("each peer waits at least %1 between discovery requests")
            .arg(scenarioDurationText(atLeastMs));
    case Check::Backoff:
        return QStringLiteral("after %1 unanswered quer%2 to a unit, a peer sends it at most %3 a second")
            .arg(afterUnanswered)
            .arg(afterUnanswered == 1 ? u"y"_s : u"ies"_s, rateText(perSecond));
    case Check::PollCoverage:
        return QStringLiteral(
                   "each unit gets a channel- or status-query at least every %1, the first within %2")
            .arg(scenarioDurationText(everyMs), scenarioDurationText(warmUpMs));
    case Check::NoMalformed:
        return u"no malformed datagram"_s;
    case Check::Verify:
        return QStringLiteral("requests matching %1: %2")
            .arg(QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact)),
                 matcher.countText());
    }
    return {};
}
