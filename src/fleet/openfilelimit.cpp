#include "openfilelimit.h"

#include <sys/resource.h>

bool raiseOpenFileLimit(quint64 needed, QString* error)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *error = QStringLiteral("the limit of open files cannot be read");
        return false;
    }
    if (limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        *error = QStringLiteral("the system allows %1 (ulimit -Hn)").arg(quint64(limit.rlim_max));
        return false;
    }
    // As far as the system allows: what a fleet needs now, and room for what it may open later.
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *error = QStringLiteral("the limit of open files cannot be raised from %1").arg(quint64(before));
        return false;
    }
    return true;
}
