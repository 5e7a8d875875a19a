#include "ownnetwork.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The steps of entering, for saying which one failed. The child of problem() reports the step
// and errno through its exit status, so the steps are numbered.
enum Step : int { Done, Namespace, UserMaps, LoopbackUp };

const char* stepText(int step)
{
    switch (step) {
    case Namespace:
        return "cannot make a network namespace";
    case UserMaps:
        return "cannot map the user into a user namespace";
    case LoopbackUp:
        return "cannot bring loopback up in a network namespace";
    default:
        return "cannot make a network of its own";
    }
}

// Async-signal-safe from here on: problem() runs this in a forked child of a process with threads.

// `value` in decimal into `out`, which holds at least 21 bytes; the length.
size_t decimal(unsigned long value, char* out)
{
    char digits[21];
    size_t count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t k = 0; k < count; ++k)
        out[k] = digits[count - 1 - k];
    return count;
}

bool writeAll(const char* path, const char* text, size_t length)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text, length) == ssize_t(length);
    ::close(fd);
    return written;
}

// "ID ID 1": the id keeps its number inside the namespace.
bool mapOne(const char* path, unsigned long id)
{
    char line[64];
    size_t length = decimal(id, line);
    line[length++] = ' ';
    length += decimal(id, line + length);
    std::memcpy(line + length, " 1\n", 3);
    return writeAll(path, line, length + 3);
}

// The step that failed, with errno set; Done when in.
int enterRaw()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNET) != 0) {
        // Without the right to, a user namespace of one's own gives it.
        if (errno != EPERM || ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return Namespace;
        static const char deny[] = "deny";
        if (!writeAll("/proc/self/setgroups", deny, sizeof deny - 1) || !mapOne("/proc/self/uid_map", uid) ||
            !mapOne("/proc/self/gid_map", gid))
            return UserMaps;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return LoopbackUp;
    ifreq request{};
    std::memcpy(request.ifr_name, "lo", 3);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = short(request.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return up ? Done : LoopbackUp;
}

QString describe(int step, int error)
{
    QString text = QString::fromLatin1(stepText(step)) + QStringLiteral(": ") +
                   QString::fromLocal8Bit(std::strerror(error));
    // What the kernel says when no more user namespaces may be made, or none at all.
    if (error == ENOSPC)
        text += QStringLiteral(" (no user namespace may be made: see /proc/sys/user/max_user_namespaces)");
    return text;
}
} // namespace

namespace OwnNetwork {
bool enter(QString* why)
{
    const int step = enterRaw();
    if (step == Done)
        return true;
    *why = describe(step, errno);
    return false;
}

QString problem()
{
    // The child says which step failed and why through a pipe: two ints, or nothing when it got in.
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return describe(Done, errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int saved = errno;
        ::close(channel[0]);
        ::close(channel[1]);
        return describe(Done, saved);
    }
    if (child == 0) {
        ::close(channel[0]);
        const int report[2] = {enterRaw(), errno};
        if (report[0] != Done)
            (void)!::write(channel[1], report, sizeof report);
        ::_exit(report[0] == Done ? 0 : 1);
    }
    ::close(channel[1]);
    int report[2] = {Done, 0};
    ssize_t got = 0;
    do {
        got = ::read(channel[0], report, sizeof report);
    } while (got < 0 && errno == EINTR);
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == ssize_t(sizeof report))
        return describe(report[0], report[1]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    return describe(Done, ECHILD);
}
} // namespace OwnNetwork
