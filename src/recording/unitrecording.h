#pragma once

#include "pcapreader.h"
#include "unit/recordedunit.h"

#include <QString>

#include <memory>

// What a recording of one real unit (as `unitctl record` makes, or any capture of a controller
// talking to one unit) shows of it: its discovery reply, the unit port it answered on and its
// status-query replies. A position of the status reply is fixed when every recorded reply has the
// same value there, and drawn between the least and the greatest recorded value otherwise; with a
// single reply, the positions the protocol draws (2, and 14 for the "Generation 1" driver) are
// drawn over the protocol's ranges.
namespace UnitRecording {
// A well-formed status-query reply from a unit port (4000 to 4007), kept whole by the capture.
bool isStatusReply(const CapturedDatagram& datagram);

// Each status position's least and greatest value over the replies added.
struct StatusRange {
    UnitFrame low{};
    UnitFrame high{};
    int replies = 0;

    void add(const QByteArray& reply); // a reply isStatusReply() took
    bool varies(qsizetype position) const
    {
        return low[std::size_t(position)] != high[std::size_t(position)];
    }
};

// Nothing, with `error` saying why, when the file cannot be read or shows no one unit with both
// a discovery reply and a status-query reply.
std::shared_ptr<const RecordedUnit> read(const QString& path, QString* error);
std::shared_ptr<const RecordedUnit> fromCapture(const CaptureContents& contents, const QString& path,
                                                QString* error);
} // namespace UnitRecording
