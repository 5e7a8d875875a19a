#include "trafficcapture.h"

#include "log/trafficlogmodel.h"

#include <QHostAddress>

TrafficCapture::TrafficCapture(QObject* parent)
    : QObject(parent)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &TrafficCapture::flush);
}

TrafficCapture::~TrafficCapture()
{
    close();
}

namespace {
QList<quint32> ipv4Addresses(const QStringList& addresses)
{
    QList<quint32> out;
    out.reserve(addresses.size());
    for (const QString& address : addresses)
        out.append(QHostAddress(address).toIPv4Address());
    return out;
}

// The simulator's side of a datagram to or from `peer`: a fleet unit's own address, or else the
// address the machine reaches `peer` from.
quint32 unitSideAddress(const QList<quint32>& unitAddresses, int unit, quint32 peer,
                        LocalAddressFinder& local)
{
    if (unit >= 0 && unit < unitAddresses.size() && unitAddresses[unit] != 0)
        return unitAddresses[unit];
    return local.sourceFor(peer);
}
} // namespace

void TrafficCapture::setUnitAddresses(const QStringList& addresses)
{
    m_unitAddresses = ipv4Addresses(addresses);
}

bool TrafficCapture::open(const QString& path, QString* error)
{
    close();
    auto writer = std::make_unique<PcapWriter>();
    if (!writer->open(path, error))
        return false;
    // An empty capture is still a whole file, even before the first datagram.
    if (!writer->flush(error))
        return false;
    m_writer = std::move(writer);
    return true;
}

void TrafficCapture::close()
{
    m_flushTimer.stop();
    if (m_writer)
        flush();
    m_writer.reset();
}

void TrafficCapture::appendFrom(int unit, const TrafficLogEntry& entry)
{
    if (!m_writer)
        return;
    const std::optional<CaptureRecord> record =
        captureRecordFor(entry, unitSideAddress(m_unitAddresses, unit, entry.address, m_local));
    if (!record)
        return;
    m_writer->write(*record);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void TrafficCapture::flush()
{
    QString error;
    if (!m_writer || m_writer->flush(&error))
        return;
    m_writer.reset();
    emit writeFailed(
        QStringLiteral("The capture file could not be written (%1); capturing stopped.").arg(error));
}

QByteArray TrafficCapture::ofLog(const TrafficLogModel& log, QString* error)
{
    PcapWriter writer;
    if (!writer.openInMemory(error))
        return {};
    const QList<quint32> addresses = ipv4Addresses(log.unitAddresses());
    LocalAddressFinder local;
    LogLine line;
    for (quint64 seq = log.heldFrom(0); seq < log.endSeq(); seq = log.heldFrom(seq + 1)) {
        if (!log.lineWithSeq(seq, &line))
            continue;
        const std::optional<CaptureRecord> record = captureRecordFor(
            line.entry, unitSideAddress(addresses, int(line.unit), line.entry.address, local));
        if (record)
            writer.write(*record);
    }
    return writer.close();
}

namespace {
void putLe32(QByteArray& out, quint32 value)
{
    const char bytes[4] = {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
    out.append(bytes, 4);
}
} // namespace

TrafficCapture::LogStream::LogStream(const TrafficLogModel& log)
    : m_log(log)
    , m_addresses(ipv4Addresses(log.unitAddresses()))
    , m_seq(log.firstSeq())
    , m_end(log.endSeq())
{
}

QByteArray TrafficCapture::LogStream::next(qsizetype bytes)
{
    QByteArray out;
    if (!m_headerSent) {
        // What PcapWriter's files begin with: microsecond times, raw IPv4 packets.
        m_headerSent = true;
        putLe32(out, 0xa1b2c3d4);
        out.append("\x02\x00\x04\x00", 4);
        putLe32(out, 0);
        putLe32(out, 0);
        putLe32(out, PcapWriter::kSnapshotLength);
        putLe32(out, PcapWriter::kLinkTypeRawIpv4);
        return out;
    }
    m_seq = m_log.heldFrom(m_seq); // lines cleared or removed meanwhile are gone
    const quint64 end = std::min(m_end, m_log.endSeq());
    char packet[kIpv4UdpHeaders + kUnitFrameSize + 64];
    LogLine line;
    while (m_seq < end && out.size() < bytes) {
        const quint64 seq = m_seq;
        m_seq = m_log.heldFrom(seq + 1);
        if (!m_log.lineWithSeq(seq, &line))
            continue;
        const TrafficLogEntry& entry = line.entry;
        const std::optional<CaptureRecord> record =
            captureRecordFor(entry, unitSideAddress(m_addresses, int(line.unit), entry.address, m_local));
        if (!record)
            continue;
        const qsizetype size = buildIpv4Udp(*record, packet, qsizetype(sizeof packet));
        if (size == 0)
            continue;
        putLe32(out, quint32(record->timeUs / 1000000));
        putLe32(out, quint32(record->timeUs % 1000000));
        putLe32(out, quint32(size));
        putLe32(out, quint32(size));
        out.append(packet, size);
    }
    return out;
}
