#include "trafficlogwriter.h"

#include "trafficlogjson.h"
#include "trafficlogline.h"

#include <QJsonDocument>
#include <QJsonObject>

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

void TrafficLogWriter::setUnitAddresses(const QStringList& addresses)
{
    m_unitAddresses = addresses;
    m_unitPrefixes.clear();
    for (const QString& address : addresses)
        m_unitPrefixes.append(address.toLatin1() + ' ');
}

void TrafficLogWriter::append(const TrafficLogEntry& entry)
{
    appendFrom(0, entry);
}

void TrafficLogWriter::appendFrom(int unit, const TrafficLogEntry& entry)
{
    const quint64 seq = m_seq++;
    if (!m_writing)
        return;
    const QByteArray prefix = unit >= 0 && unit < m_unitPrefixes.size() ? m_unitPrefixes[unit] : QByteArray();
    if (m_format == Format::JsonLines) {
        const QByteArray line = QJsonDocument(trafficLogJson(entry, seq, unit, m_unitAddresses.value(unit)))
                                    .toJson(QJsonDocument::Compact) +
                                '\n';
        std::fwrite(line.constData(), 1, std::size_t(line.size()), m_out);
    } else {
        char line[kMaxTrafficLogLine + 1];
        const qsizetype n = formatTrafficLogLine(entry, line);
        line[n] = '\n';
        if (!prefix.isEmpty())
            std::fwrite(prefix.constData(), 1, std::size_t(prefix.size()), m_out);
        std::fwrite(line, 1, std::size_t(n + 1), m_out);
    }
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
