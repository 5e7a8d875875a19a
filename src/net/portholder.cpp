#include "portholder.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <unistd.h>

namespace {
// The inodes of the sockets bound to `port` in /proc/net/udp, whose lines read
// "sl local_address rem_address st tx_queue rx_queue tr tm->when retrnsmt uid timeout inode",
// the local address as hex "0100007F:0FA0".
QSet<QByteArray> socketInodes(quint16 port)
{
    QSet<QByteArray> inodes;
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return inodes;
    table.readLine(); // the heading
    // Bounded: a machine with more UDP sockets than this is not searched to the end.
    for (int line = 0; line < 100000 && !table.atEnd(); ++line) {
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() < 10)
            continue;
        const QByteArray& local = fields[1];
        const qsizetype colon = local.indexOf(':');
        bool ok = false;
        if (colon < 0 || local.mid(colon + 1).toUInt(&ok, 16) != port || !ok)
            continue;
        if (fields[9] != "0")
            inodes.insert(fields[9]);
    }
    return inodes;
}

QString commandName(const QString& pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readLine(256)).trimmed();
}
} // namespace

QString udpPortHolder(quint16 port)
{
    const QSet<QByteArray> inodes = socketInodes(port);
    if (inodes.isEmpty())
        return {};
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : processes) {
        bool isNumber = false;
        pid.toUInt(&isNumber);
        if (!isNumber)
            continue;
        // Another user's descriptors cannot be listed without the rights: skipped.
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            char target[64];
            const ssize_t length =
                ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target);
            const QByteArray link(target, length > 0 ? qsizetype(length) : 0);
            if (!link.startsWith("socket:[") || !link.endsWith(']'))
                continue;
            const QByteArray inode = link.mid(8, link.size() - 9);
            if (inodes.contains(inode)) {
                const QString name = commandName(pid);
                return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                                      : QStringLiteral("process %1 (%2)").arg(pid, name);
            }
        }
    }
    return {};
}
