// Verification over a long stored log: how fast POST /api/v1/verify reads through it, and how fast
// a scenario's seven kinds of expectation are judged on it, against the bare read of the same
// lines in the same run (what the store alone costs).
// Usage: verify-bench [LINES]   (default 5,000,000)
#include "log/trafficlogmodel.h"
#include "scenario/scenariofile.h"
#include "verify/expectationmonitor.h"
#include "verify/verifyscan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {
// A controller polling 1,000 units, with a set-channels every fifth request and the replies.
void fill(TrafficLogModel& model, long lines)
{
    QStringList addresses;
    for (int k = 0; k < 1000; ++k)
        addresses << QStringLiteral("127.0.%1.%2").arg(1 + k / 250).arg(1 + k % 250);
    model.setUnitAddresses(addresses);
    model.append(TrafficLogEntry::event(QStringLiteral("scenario started"),
                                        TrafficLogEntry::EventMark::ScenarioStarted));
    for (long n = 0; n < lines; ++n) {
        UnitFrame frame{};
        frame[1] = n % 5 == 4 ? 0 : 50;
        if (frame[1] == 0)
            frame[2] = quint8(n / 5000);
        const QByteArrayView bytes(reinterpret_cast<const char*>(frame.data()), 29);
        const int unit = int(n / 2 % 1000);
        if (n % 2 == 0 || frame[1] == 0)
            model.appendFrom(unit, TrafficLogEntry::unitIncoming(0x7f000001u, 40000, 4000, bytes, 0));
        else
            model.appendFrom(unit, TrafficLogEntry::unitOutgoing(0x7f000001u, 40000, frame, 0, 4000));
        if (n % 20000 == 0)
            QCoreApplication::processEvents();
    }
    model.store()->waitUntilWritten();
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const long lines = argc > 1 ? std::clamp(std::atol(argv[1]), 10000L, 100'000'000L) : 5'000'000L;
    QTemporaryDir directory;
    QString error;
    TrafficLogModel model;
    model.setStore(LogStore::open({directory.filePath(QStringLiteral("store")), 0, {}}, &error));
    if (!model.store()) {
        std::fprintf(stderr, "verify-bench: %s\n", qPrintable(error));
        return 1;
    }
    // One expectation of each kind, judged as the lines come in a real run.
    const QByteArray expectations = R"(version: 1
expect:
  - {name: resend, resend_after_reboot: {within: 2s}}
  - {name: rate, max_rate: {per_unit: 50/s}}
  - {name: discovery, discovery_interval: {at_least: 5s}}
  - {name: backoff, backoff: {after_unanswered: 3, at_most: 2/s}}
  - {name: polls, poll_coverage: {every: 10s}}
  - {name: malformed, no_malformed: {}}
  - {name: verify, verify: {units: "0-499", command: set-channels, at_least: 1}}
)";
    ScenarioError scenarioError;
    const std::optional<Scenario> scenario = ScenarioFile::parse(expectations, &scenarioError);
    fill(model, lines);

    // The baseline: every held line read once, nothing judged.
    QElapsedTimer timer;
    timer.start();
    quint64 incoming = 0;
    for (quint64 seq = model.heldFrom(model.firstSeq()); seq < model.endSeq();
         seq = model.heldFrom(seq + 1)) {
        LogLine line;
        if (!model.lineWithSeq(seq, &line))
            break;
        incoming += line.entry.isIncoming();
    }
    const double readMs = double(timer.nsecsElapsed()) / 1e6;

    // A matcher that fails, so that the nearest misses are kept all the way.
    const auto matcher =
        RequestMatcher::fromJson(QJsonDocument::fromJson(R"({"units": "0-499", "command": "set-channels",
                                    "bytes": [{"position": 3, "equals": 1}], "at_least": 1})")
                                     .object(),
                                 &error);
    timer.restart();
    const VerifyResult result = verifyRequests(*matcher, model);
    const double verifyMs = double(timer.nsecsElapsed()) / 1e6;
    if (result.scanned != incoming || result.nearMisses.size() != VerifyResult::kNearMisses) {
        std::fprintf(stderr, "verify-bench: scanned %llu of %llu requests\n", qulonglong(result.scanned),
                     qulonglong(incoming));
        return 1;
    }
    // From the first line, as if they had come meanwhile; no event loop turns during it.
    ExpectationMonitor monitor(model);
    monitor.judge(*scenario, model.firstSeq());
    timer.restart();
    monitor.update();
    monitor.finish();
    const double expectMs = double(timer.nsecsElapsed()) / 1e6;
    if (monitor.results().size() != 7) {
        std::fprintf(stderr, "verify-bench: %lld expectations judged\n", qlonglong(monitor.results().size()));
        return 1;
    }
    std::printf(
        "lines=%ld\nrequests=%llu\nread_all_ms=%.0f\nverify_all_ms=%.0f\nverify_lines_per_s=%.0f\n"
        "verify_ratio_to_read=%.2f\nexpect_all_ms=%.0f\nexpect_lines_per_s=%.0f\nexpect_ratio_to_read=%.2f\n"
        "expect_summary=%s\n",
        lines, qulonglong(incoming), readMs, verifyMs, double(lines) / (verifyMs / 1000), verifyMs / readMs,
        expectMs, double(lines) / (expectMs / 1000), expectMs / readMs, qPrintable(monitor.summary()));
    return 0;
}
