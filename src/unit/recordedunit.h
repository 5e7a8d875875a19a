#pragma once

#include "record/seededrandom.h"
#include "record/trafficlogentry.h"
#include "record/unitframe.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <random>

// A real unit as a recording of it showed it: what it answered to discovery, and its status-query
// reply, position by position. A unit made from it answers with these bytes instead of its
// profile's, while its channels follow the protocol as any unit's do. Shared, never changed, by
// every unit made from the same recording.
struct RecordedUnit {
    QString path; // the recording, as an absolute path
    // The profile whose unit port the real unit answered on (and whose identity it gave, when it
    // gave a known one).
    int profile = 0;
    QByteArray identity;
    // Each status position's least and greatest recorded value: equal where the unit always said
    // the same (a fixed position), apart where it drew the value anew for every reply.
    UnitFrame statusLow{};
    UnitFrame statusHigh{};
    // The identity as a log note, made once: a recorded unit's discovery reply costs no allocation.
    QExplicitlySharedDataPointer<TrafficLogNote> identityNote;

    bool isDrawn(int position) const
    {
        return statusLow[std::size_t(position)] != statusHigh[std::size_t(position)];
    }

    // Lists the drawn positions once, so that a reply visits only those. Called by whoever fills
    // statusLow and statusHigh.
    void findDrawnPositions()
    {
        drawnCount = 0;
        for (std::size_t k = 0; k < statusLow.size(); ++k) {
            if (statusLow[k] != statusHigh[k])
                drawn[std::size_t(drawnCount++)] = quint8(k);
        }
    }

    // A status-query reply: the fixed positions as recorded, each drawn one anew within its range
    // (a 32-bit draw scaled to the range: off from uniform by less than 256 in 2^32).
    UnitFrame statusReply(SeededRandom& random) const
    {
        UnitFrame reply = statusLow;
        for (int k = 0; k < drawnCount; ++k) {
            const quint8 position = drawn[std::size_t(k)];
            const quint64 span = quint64(statusHigh[position] - statusLow[position]) + 1;
            reply[position] = quint8(statusLow[position] + ((quint64(random.next32()) * span) >> 32));
        }
        return reply;
    }

    std::array<quint8, kUnitFrameSize> drawn{};
    int drawnCount = 0;
};
