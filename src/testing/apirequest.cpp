#include "apirequest.h"

#include "simulator.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace unitsim::testing::detail {

std::string errnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

HttpAnswer httpRequest(std::uint16_t port, const std::string& token, const std::string& method,
                       const std::string& path, const std::string& body, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw Error(errnoText("socket"));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        throw Error(errnoText(("no answer from the control API on port " + std::to_string(port)).c_str()));
    std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAuthorization: Bearer " + token + "\r\n";
    if (!body.empty())
        request += "Content-Type: application/json\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(errnoText("sending to the control API"));
        sent += std::size_t(n);
    }
    std::string answer;
    char buffer[16384];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::max<long long>(left, 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            throw Error("the control API did not answer " + method + " " + path + " in time");
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Error(errnoText("reading from the control API"));
        if (n == 0)
            break;
        answer.append(buffer, std::size_t(n));
    }
    const std::size_t headerEnd = answer.find("\r\n\r\n");
    if (answer.compare(0, 5, "HTTP/") != 0 || headerEnd == std::string::npos)
        throw Error("the control API's answer to " + method + " " + path + " is no HTTP");
    const std::size_t space = answer.find(' ');
    return {std::atoi(answer.c_str() + space + 1), answer.substr(headerEnd + 4)};
}

QJsonDocument parse(const std::string& body)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(body));
}

} // namespace unitsim::testing::detail
