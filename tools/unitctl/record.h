#pragma once

#include <QString>

struct RecordOptions {
    QString out;        // the pcap file to write
    int durationMs = 0; // repeat the probe until this much time has passed (0: once)
    int timeoutMs = 1000;
    // Set the unit's channels back to what its first channel-query showed once the probe is over.
    bool restore = true;
};

// unitctl record: runs the fixed probe of a unit (see unitctl --help) against `unit` (HOST, or
// HOST:PORT to give the unit port instead of learning it from the unit's discovery reply) and
// writes every datagram it sent and received to `options.out` as a pcap file, for `unitctl replay`
// against a simulated unit. The probe sets channels; what the unit held before (its channels 2-25,
// read at the start) is set back at the end unless `options.restore` is false, and the output says
// which it was. Returns 0 when written, 1 when the unit answered nothing at all,
// 2 on a usage error or a file that cannot be written, 4 when a request cannot be sent.
int recordUnit(const QString& unit, const RecordOptions& options);
