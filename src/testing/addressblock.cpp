#include "addressblock.h"

#include "apirequest.h"
#include "simulator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace unitsim::testing::detail {

std::string AddressBlock::take(std::mt19937& random)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string directory =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/unitsim-addresses-" + std::to_string(getuid());
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw Error(errnoText(("cannot make " + directory).c_str()));
    // In a shared place: only a directory of this user's own, that nobody else can write in, is
    // used, and nothing in it is opened through a link.
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0)
        throw Error(errnoText(("cannot look at " + directory).c_str()));
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0)
        throw Error(directory + " is not a directory of this user's alone: remove it, or set TMPDIR");
    // 127.0.x and 127.1.x are where people and the examples put their units.
    std::uniform_int_distribution<int> a(64, 254), b(0, 255);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int high = a(random), low = b(random);
        const std::string lock =
            directory + "/127." + std::to_string(high) + "." + std::to_string(low) + ".lock";
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            throw Error(errnoText(("cannot open " + lock).c_str()));
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return "127." + std::to_string(high) + "." + std::to_string(low) + ".1";
        }
        ::close(fd);
    }
    throw Error("no free block of loopback addresses found");
}

void AddressBlock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace unitsim::testing::detail
