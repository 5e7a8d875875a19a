#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

inline constexpr int kDefaultReplaySettleMs = 50;
// replay's exit status when a request could not be sent at all.
inline constexpr int kReplaySendFailed = 4;

struct ReplayOptions {
    // Where to send every request; without it, each goes where the capture says it went.
    std::optional<QHostAddress> to;
    int timeoutMs = 1000;
    // After the recorded number of replies came, how long to listen for more before the next
    // request goes out: a reply that comes later is counted against this request, not the next.
    int settleMs = kDefaultReplaySettleMs;
    // After the differences, the same grouped by reply and position, each position named as the
    // Wireshark dissector names it: what a report on the simulation's model is made of.
    bool explain = false;
};

// Sends the requests of a capture to a unit, one after the other, and compares each reply with
// the recorded one (the status reply's drawn positions aside). Prints every difference and a
// summary; returns 0 when there are none, 1 when there are, 2 when the file cannot be read,
// kReplaySendFailed when a request cannot be sent.
int replayCapture(const QString& path, const ReplayOptions& options);
