// Any bytes as an exploration's job (what a worker reads on its standard input) and as a play's
// outcome (what the exploring process reads back from the worker): reading refuses what is not
// one, and what it takes is written back to the same thing.
#include "app/exploreplay.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    if (const std::optional<ExploreJob> job = ExploreJob::fromCbor(bytes, &error)) {
        const std::optional<ExploreJob> again = ExploreJob::fromCbor(job->toCbor(), &error);
        FUZZ_CHECK(again && again->number == job->number && again->seed == job->seed &&
                   again->controller == job->controller &&
                   again->scenario.units.size() == job->scenario.units.size());
    } else {
        FUZZ_CHECK(!error.isEmpty());
    }
    error.clear();
    if (const std::optional<ExploreOutcome> outcome = ExploreOutcome::fromCbor(bytes, &error)) {
        const std::optional<ExploreOutcome> again = ExploreOutcome::fromCbor(outcome->toCbor(), &error);
        FUZZ_CHECK(again && again->problem == outcome->problem && again->failed == outcome->failed &&
                   again->report == outcome->report && again->capture == outcome->capture &&
                   again->html == outcome->html && again->elapsedMs == outcome->elapsedMs &&
                   again->margins == outcome->margins);
    } else {
        FUZZ_CHECK(!error.isEmpty());
    }
    return 0;
}
