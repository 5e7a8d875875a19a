#include "localaddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

quint32 LocalAddressFinder::sourceFor(quint32 remote)
{
    if (const auto known = m_known.constFind(remote); known != m_known.cend())
        return *known;
    // Connecting a UDP socket sends nothing; it only makes the kernel choose the route.
    quint32 source = 0;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = htonl(remote);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            source = ntohl(local.sin_addr.s_addr);
        ::close(fd);
    }
    m_known.insert(remote, source);
    return source;
}
