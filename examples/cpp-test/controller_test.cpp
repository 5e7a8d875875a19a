#include "controller.h"

#include <unitsim/testing/simulator.h>

#include <gtest/gtest.h>

using unitsim::testing::Options;
using unitsim::testing::Simulator;

TEST(Controller, ReadsBackWhatItSet)
{
    Simulator sim(Options().profile(3));
    Controller controller(sim.endpoint().address, sim.endpoint().port);
    controller.setChannels({200, 100, 50});
    const auto channels = controller.readChannels();
    ASSERT_TRUE(channels);
    EXPECT_EQ((*channels)[0], 200);
    EXPECT_EQ((*channels)[2], 50);
    EXPECT_TRUE(sim.verify(
        R"({"command": "set-channels", "bytes": [{"position": 2, "equals": 200}], "exactly": 1})"));
}

TEST(Controller, AsksAgainWhenAnAnswerIsLost)
{
    Simulator sim(Options().fault("drop,on=channel-query,times=1"));
    Controller controller(sim.endpoint().address, sim.endpoint().port);
    ASSERT_TRUE(controller.readChannels());
    const auto asked = sim.verify(R"({"command": "channel-query", "exactly": 2})");
    EXPECT_TRUE(asked) << asked.text;
}

TEST(Controller, GivesUpOnASilentUnit)
{
    Simulator sim(Options().fault("drop,on=channel-query"));
    Controller controller(sim.endpoint().address, sim.endpoint().port);
    EXPECT_FALSE(controller.readChannels(3));
    EXPECT_TRUE(sim.verify(R"({"command": "channel-query", "exactly": 3})"));
}
