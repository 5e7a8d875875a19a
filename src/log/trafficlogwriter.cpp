#include "trafficlogwriter.h"

#include "trafficlogjson.h"
#include "trafficlogline.h"

TrafficLogWriter::TrafficLogWriter(std::FILE* out, Format format, QObject* parent)
    : QObject(parent)
    , m_out(out)
    , m_format(format)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &TrafficLogWriter::flush);
}

TrafficLogWriter::~TrafficLogWriter()
{
    flush();
}

void TrafficLogWriter::append(const TrafficLogEntry& entry)
{
    const quint64 seq = m_seq++;
    if (!m_writing)
        return;
    if (m_format == Format::JsonLines) {
        const QByteArray line = trafficLogJsonLine(entry, seq, 0) + '\n';
        std::fwrite(line.constData(), 1, std::size_t(line.size()), m_out);
        if (!m_flushTimer.isActive())
            m_flushTimer.start();
        return;
    }
    char line[kMaxTrafficLogLine + 1];
    const qsizetype n = formatTrafficLogLine(entry, line);
    line[n] = '\n';
    std::fwrite(line, 1, std::size_t(n + 1), m_out);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void TrafficLogWriter::flush()
{
    if (!m_writing)
        return;
    if (std::fflush(m_out) != 0 || std::ferror(m_out)) {
        m_writing = false;
        emit outputClosed();
    }
}
