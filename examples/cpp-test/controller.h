#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The part of a controller under test here: it sets a unit's channels and reads them back,
// asking again when an answer does not come.
class Controller {
public:
    Controller(std::string address, std::uint16_t port);
    ~Controller();

    void setChannels(const std::array<std::uint8_t, 24>& values);
    // Channels 2 to 25, or nothing after `tries` unanswered queries.
    std::optional<std::array<std::uint8_t, 24>> readChannels(int tries = 3);

private:
    int m_socket;
    std::string m_address;
    std::uint16_t m_port;
};
