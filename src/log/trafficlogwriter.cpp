#include "trafficlogwriter.h"

#include "trafficlogjson.h"
#include "trafficlogline.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {
// How long the writer, going away, waits for a slow reader to take what is left.
constexpr int kFinalFlushMs = 200;

// A descriptor for `fd` whose writes never block, and whether the writer owns it. A pipe, FIFO
// or terminal is opened anew through /proc, so that its own flags change nothing for the
// processes that share `fd`; a socket is written with MSG_DONTWAIT; a regular file never blocks
// for long and is written as it is.
std::pair<int, bool> nonBlockingDescriptor(int fd, bool* isSocket)
{
    struct stat info {};
    *isSocket = false;
    if (::fstat(fd, &info) != 0)
        return {fd, false};
    if (S_ISSOCK(info.st_mode)) {
        *isSocket = true;
        return {fd, false};
    }
    if (!S_ISFIFO(info.st_mode) && !S_ISCHR(info.st_mode))
        return {fd, false};
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return own >= 0 ? std::pair{own, true} : std::pair{fd, false};
}
} // namespace

TrafficLogWriter::TrafficLogWriter(int fd, Format format, QObject* parent)
    : QObject(parent)
    , m_format(format)
{
    std::tie(m_fd, m_ownsFd) = nonBlockingDescriptor(fd, &m_isSocket);
    m_pending.reserve(64 * 1024);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &TrafficLogWriter::flush);
    connect(&m_notWritten, &ThrottledCount::report, this, &TrafficLogWriter::linesNotWritten);
}

TrafficLogWriter::~TrafficLogWriter()
{
    // What a reader still takes within a moment reaches it; a reader that takes nothing must not
    // hold up the end of the run.
    QElapsedTimer waited;
    waited.start();
    flush();
    while (m_writing && !m_pending.isEmpty() && waited.elapsed() < kFinalFlushMs) {
        pollfd ready{m_fd, POLLOUT, 0};
        if (::poll(&ready, 1, int(kFinalFlushMs - waited.elapsed())) <= 0)
            break;
        flush();
    }
    m_writable.reset();
    if (m_ownsFd)
        ::close(m_fd);
}

void TrafficLogWriter::setUnitAddresses(const QStringList& addresses)
{
    m_unitAddresses = addresses;
    m_unitPrefixes.clear();
    m_unitAddressBytes.clear();
    for (const QString& address : addresses) {
        m_unitPrefixes.append(address.toLatin1() + ' ');
        m_unitAddressBytes.append(address.toLatin1());
    }
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
    if (m_format == Format::JsonLines) {
        // The unit's prefix is its address and a space.
        const QByteArrayView address = unit >= 0 && unit < m_unitPrefixes.size()
                                           ? QByteArrayView(m_unitPrefixes[unit]).chopped(1)
                                           : QByteArrayView();
        m_jsonLine.resize(0); // keeps its room: no allocation a line
        appendTrafficLogJson(m_jsonLine, entry, seq, unit, address, m_unitAddressBytes);
        m_jsonLine += '\n';
        queue(m_jsonLine);
    } else {
        const QByteArray prefix =
            unit >= 0 && unit < m_unitPrefixes.size() ? m_unitPrefixes[unit] : QByteArray();
        char line[kMaxTrafficLogLine + 64];
        std::copy(prefix.cbegin(), prefix.cend(), line);
        const qsizetype n = prefix.size() + formatTrafficLogLine(entry, line + prefix.size());
        line[n] = '\n';
        queue(QByteArrayView(line, n + 1));
    }
}

void TrafficLogWriter::queue(QByteArrayView line)
{
    if (m_pending.size() + line.size() > kMaxPendingBytes) {
        m_notWritten.add();
        return;
    }
    m_pending.append(line);
    if (!m_flushTimer.isActive() && !m_writable)
        m_flushTimer.start();
}

void TrafficLogWriter::flush()
{
    while (m_writing && !m_pending.isEmpty()) {
        const ssize_t n = m_isSocket ? ::send(m_fd, m_pending.constData(), std::size_t(m_pending.size()),
                                              MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : ::write(m_fd, m_pending.constData(), std::size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            armWhenWritable();
            return;
        }
        // The reader went away (EPIPE), or the output broke: say so once, and stop.
        m_writing = false;
        m_pending.clear();
        m_writable.reset();
        emit outputClosed();
        return;
    }
    m_writable.reset();
}

void TrafficLogWriter::armWhenWritable()
{
    if (m_writable)
        return;
    m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    connect(m_writable.get(), &QSocketNotifier::activated, this, [this] {
        // Off while writing: flush() makes a new one when the reader is still behind.
        m_writable->setEnabled(false);
        QTimer::singleShot(0, this, [this] {
            m_writable.reset();
            flush();
        });
    });
}
