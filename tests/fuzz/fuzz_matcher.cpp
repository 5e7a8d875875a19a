// Any body as a verification matcher (the control API takes it from the network): reading never
// fails badly, a matcher that reads has its values in range, and checking it against a small log
// stays within what the log holds.
#include "fuzzcheck.h"
#include "log/trafficlogmodel.h"
#include "verify/verifyscan.h"

#include <QJsonDocument>

#include <cstdint>

namespace {
const TrafficLogModel& smallLog()
{
    static TrafficLogModel* log = [] {
        auto* model = new TrafficLogModel;
        model->setUnitAddresses({QStringLiteral("127.0.1.1"), QStringLiteral("127.0.1.2")});
        for (int i = 0; i < 40; ++i) {
            const QByteArray frame(i % 7 == 0 ? 10 : 29, char(i % 3 == 0 ? 0 : 50 + i % 2));
            model->appendFrom(i % 2,
                              TrafficLogEntry::unitIncoming(0x7f000001, quint16(5000 + i), 4000, frame, 0));
        }
        return model;
    }();
    return *log;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    QString error;
    const std::optional<RequestMatcher> matcher = RequestMatcher::fromJson(document.object(), &error);
    FUZZ_CHECK(matcher.has_value() == error.isEmpty());
    if (!matcher)
        return 0;
    for (const RequestMatcher::ByteCondition& condition : matcher->bytes) {
        FUZZ_CHECK(condition.position >= 0 && condition.position < 29);
        FUZZ_CHECK(condition.min >= 0 && condition.min <= condition.max && condition.max <= 255);
    }
    FUZZ_CHECK(matcher->unitsFirst >= 0 && matcher->unitsFirst <= matcher->unitsLast);
    const VerifyResult result = verifyRequests(*matcher, smallLog());
    FUZZ_CHECK(result.count <= result.scanned && result.scanned <= 40);
    FUZZ_CHECK(result.firstSeqs.size() <= VerifyResult::kFirstSeqs &&
               result.nearMisses.size() <= VerifyResult::kNearMisses);
    for (const VerifyResult::NearMiss& miss : result.nearMisses)
        FUZZ_CHECK(miss.seq < 40 && !miss.differences.isEmpty());
    result.toJson();
    return 0;
}
