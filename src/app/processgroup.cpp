#include "processgroup.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>

namespace {
// From /proc/PID/stat, "PID (COMMAND) STATE PPID PGRP ...": the state and the group. The command
// may hold spaces and parentheses, so the fields are read after its last ')'.
bool readStat(const QString& pid, char* state, pid_t* group)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = file.read(1024);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 3 || fields[0].isEmpty())
        return false;
    bool ok = false;
    *state = fields[0].at(0);
    *group = pid_t(fields[2].toLongLong(&ok));
    return ok;
}
} // namespace

bool processGroupRuns(pid_t group)
{
    if (group <= 0)
        return false;
    if (::kill(-group, 0) != 0 && errno == ESRCH)
        return false;
    // Something of it is there: is it more than zombies?
    const QDir proc(QStringLiteral("/proc"));
    if (!proc.exists())
        return true;
    const QStringList pids = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        if (pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        char state = 0;
        pid_t member = 0;
        if (readStat(pid, &state, &member) && member == group && state != 'Z' && state != 'X')
            return true;
    }
    return false;
}
