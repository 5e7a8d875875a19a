#include "controller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kAnswerTimeoutMs = 200;
}

Controller::Controller(std::string address, std::uint16_t port)
    : m_socket(::socket(AF_INET, SOCK_DGRAM, 0))
    , m_address(std::move(address))
    , m_port(port)
{
}

Controller::~Controller()
{
    ::close(m_socket);
}

void Controller::setChannels(const std::array<std::uint8_t, 24>& values)
{
    std::array<std::uint8_t, 29> frame{};
    std::copy(values.begin(), values.end(), frame.begin() + 2);
    frame[28] = 255;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    inet_pton(AF_INET, m_address.c_str(), &to.sin_addr);
    ::sendto(m_socket, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<std::array<std::uint8_t, 24>> Controller::readChannels(int tries)
{
    std::array<std::uint8_t, 29> query{};
    query[1] = 50;
    query[28] = 255;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    inet_pton(AF_INET, m_address.c_str(), &to.sin_addr);
    for (int attempt = 0; attempt < tries; ++attempt) {
        ::sendto(m_socket, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        pollfd ready{m_socket, POLLIN, 0};
        if (::poll(&ready, 1, kAnswerTimeoutMs) != 1)
            continue;
        std::array<std::uint8_t, 64> reply{};
        if (::recv(m_socket, reply.data(), reply.size(), 0) != 29 || reply[0] != 254 || reply[1] != 50)
            continue;
        std::array<std::uint8_t, 24> channels{};
        std::copy(reply.begin() + 2, reply.begin() + 26, channels.begin());
        return channels;
    }
    return std::nullopt;
}
