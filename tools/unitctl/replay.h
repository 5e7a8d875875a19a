#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

struct ReplayOptions {
    // Where to send every request; without it, each goes where the capture says it went.
    std::optional<QHostAddress> to;
    int timeoutMs = 1000;
};

// Sends the requests of a capture to a unit, one after the other, and compares each reply with
// the recorded one (the status reply's drawn positions aside). Prints every difference and a
// summary; returns 0 when there are none, 1 when there are, 2 when the file cannot be read.
int replayCapture(const QString& path, const ReplayOptions& options);
