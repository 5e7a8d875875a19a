// Any text as a fault rule: parsing never fails badly, a rule that parses has its values in
// range, and acting with it on a reply stays inside the reply's bytes.
#include "fault/faultinjector.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const std::optional<FaultRule> rule = FaultRule::parse(text, &error);
    FUZZ_CHECK(rule.has_value() == error.isEmpty());
    if (!rule)
        return 0;
    FUZZ_CHECK(rule->text.size() <= FaultRule::kMaxTextLength);
    FUZZ_CHECK(rule->value >= 0 &&
               rule->value <=
                   (rule->action == FaultAction::Rate ? FaultRule::kMaxRate : FaultRule::kMaxDelayMs));
    FUZZ_CHECK(rule->jitter >= 0 && rule->jitter <= rule->value);
    FUZZ_CHECK(rule->kinds != 0 && (rule->kinds & ~FaultKind::All) == 0);
    FUZZ_CHECK(rule->chance <= 1.0);
    if (rule->action == FaultAction::Loss) {
        for (const double p : {rule->lossP, rule->lossR, rule->lossH, rule->lossK})
            FUZZ_CHECK(p >= 0.0 && p <= 1.0);
        FUZZ_CHECK(rule->lossR > 0.0);
    }
    if (rule->action == FaultAction::Reorder)
        FUZZ_CHECK(rule->value >= 1 && rule->value <= FaultRule::kMaxReorder && rule->gapMs >= 1);
    if (rule->action == FaultAction::Rate)
        FUZZ_CHECK(rule->value >= 1 && rule->burst >= 1);
    FUZZ_CHECK(rule->forMs >= 0 && rule->after >= 0 && rule->times >= 0);

    FaultInjector faults(size);
    faults.add(*rule);
    faults.add(*rule); // twice, so that duplicates meet duplicates
    for (const int replySize : {29, 50}) {
        const quint8 kind = replySize == 29 ? FaultKind::StatusQuery : FaultKind::Discovery;
        if (faults.dropRequest(kind))
            continue;
        ReplyCopies copies(1);
        copies[0].size = quint8(replySize);
        QStringList notes;
        faults.actOnReply(kind, copies, QStringLiteral("127.0.0.1:1"), notes);
        FUZZ_CHECK(copies.size() >= 1 && copies.size() <= FaultRule::kMaxCopies);
        for (const ReplyCopy& copy : copies) {
            FUZZ_CHECK(copy.size <= replySize);
            FUZZ_CHECK(copy.holdRule == 0 || copy.holdReplies >= 1);
            FUZZ_CHECK(copy.delayMs >= 0 && copy.delayMs <= 2 * FaultRule::kMaxDelayMs);
        }
    }
    return 0;
}
