// Any bytes as a scenario file (or a PUT body): reading never fails badly, a scenario that is read
// has its values in range, and what the program writes of it reads back as the same scenario.
#include "fleet/unitaddress.h"
#include "fuzzcheck.h"
#include "scenario/scenariofile.h"

#include <QJsonDocument>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    ScenarioError error;
    const std::optional<Scenario> scenario = ScenarioFile::parse(text, &error);
    FUZZ_CHECK(scenario.has_value() == error.message.isEmpty());
    if (!scenario) {
        FUZZ_CHECK(error.line >= 0 && error.column >= 0);
        return 0;
    }
    FUZZ_CHECK(scenario->timeScale >= Scenario::kMinTimeScale &&
               scenario->timeScale <= Scenario::kMaxTimeScale);
    const int units = scenario->unitCount();
    FUZZ_CHECK(units >= 1 && units <= kMaxFleetUnits);
    FUZZ_CHECK(scenario->fleetUnits().size() == (scenario->units.isEmpty() ? 0 : units));
    for (const ScenarioEvent& event : scenario->timeline) {
        FUZZ_CHECK(event.atMs >= 0 && event.forMs >= 0);
        FUZZ_CHECK(!scenario->endMs || event.atMs <= *scenario->endMs);
        FUZZ_CHECK(event.units.isAll() || (event.units.first >= 0 && event.units.last < units));
        FUZZ_CHECK(event.profile >= 0 && event.profile <= 8);
        (void)scenario->eventText(event);
    }

    QStringList names;
    for (const ExpectationDefinition& expectation : scenario->expect) {
        FUZZ_CHECK(!expectation.name.isEmpty() && !names.contains(expectation.name));
        names << expectation.name;
        FUZZ_CHECK(expectation.withinMs >= 0 && expectation.atLeastMs >= 0 && expectation.everyMs >= 0 &&
                   expectation.warmUpMs >= 0 && expectation.perSecond >= 0 &&
                   expectation.afterUnanswered >= 0);
        (void)expectation.text();
    }

    // Written and read back: the same scenario.
    ScenarioError again;
    const std::optional<Scenario> reread = ScenarioFile::parse(ScenarioFile::toYaml(*scenario), &again);
    FUZZ_CHECK(reread.has_value());
    FUZZ_CHECK(QJsonDocument(ScenarioFile::toJson(*reread)).toJson() ==
               QJsonDocument(ScenarioFile::toJson(*scenario)).toJson());
    return 0;
}
