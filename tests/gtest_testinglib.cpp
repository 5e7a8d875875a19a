// unitsim::testing::Simulator from GoogleTest, as a controller team's test uses it: two
// simulators side by side, each unit on its own address. Binds the product's fixed ports on
// addresses of its own.
#include "testing/simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace {
// A controller's smallest part: asks a unit for its channels, returns the reply's length (0 for
// none within a second).
ssize_t queryChannels(const unitsim::testing::Endpoint& unit)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(unit.port);
    inet_pton(AF_INET, unit.address.c_str(), &to.sin_addr);
    std::array<unsigned char, 29> frame{};
    frame[1] = 50;
    frame[28] = 255;
    ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    std::array<char, 64> reply{};
    const ssize_t n = ::poll(&p, 1, 1000) == 1 ? ::recv(fd, reply.data(), reply.size(), 0) : 0;
    ::close(fd);
    return n;
}
} // namespace

TEST(TestingLib, TwoSimulatorsNeverShareUnits)
{
    unitsim::testing::Simulator near(unitsim::testing::Options().units(2));
    unitsim::testing::Simulator far(unitsim::testing::Options().units(2).profile(4));
    EXPECT_NE(near.endpoint(0).address, far.endpoint(0).address);
    EXPECT_EQ(far.endpoint(1).port, 4004);
    EXPECT_EQ(queryChannels(far.endpoint(1)), 29);
    EXPECT_TRUE(far.verify(R"({"command": "channel-query", "units": "1", "exactly": 1})"));
    EXPECT_FALSE(near.verify(R"({"command": "channel-query"})"));
}

TEST(TestingLib, AFailedMatcherSaysWhatCameInstead)
{
    unitsim::testing::Simulator sim;
    ASSERT_EQ(queryChannels(sim.endpoint()), 29);
    const unitsim::testing::Verification result = sim.verify(R"({"command": "status-query"})");
    EXPECT_FALSE(result);
    EXPECT_NE(result.text.find("command channel-query, not status-query"), std::string::npos) << result.text;
}

TEST(TestingLib, ARefusalThrowsWithTheApisMessage)
{
    unitsim::testing::Simulator sim;
    EXPECT_THROW(
        {
            try {
                sim.setProfile(9);
            } catch (const unitsim::testing::Error& error) {
                EXPECT_EQ(error.status(), 400);
                EXPECT_NE(std::string(error.what()).find("from 0 to 8"), std::string::npos) << error.what();
                throw;
            }
        },
        unitsim::testing::Error);
}
