#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Simulated lighting units for a controller's tests: starts a headless unit-simulator on loopback
// addresses of its own, waits until it is ready, and steers it through its control API. Works
// the same from GoogleTest, Qt Test or a plain main(): it needs no event loop, and blocks only
// while it waits for the simulator.
//
//     unitsim::testing::Simulator sim(unitsim::testing::Options().units(4).profile(3));
//     MyController controller(sim.endpoint(2).address, sim.endpoint(2).port);
//     controller.poll();
//     EXPECT_TRUE(sim.verify(R"({"command": "channel-query", "units": "2"})"));
//
// find_package(UnitSim CONFIG REQUIRED) and link UnitSim::Testing.
namespace unitsim::testing {

// What the simulator or its control API refused, in the API's own words. status(): the HTTP
// status, 0 when the simulator could not be started or reached.
class Error : public std::runtime_error {
public:
    Error(const std::string& message, int status = 0)
        : std::runtime_error(message)
        , m_status(status)
    {
    }
    int status() const { return m_status; }

private:
    int m_status;
};

// How a simulator starts, set link by link: Options().units(4).profile(3).fault("drop,every=2").
class Options {
public:
    // How many units, on consecutive loopback addresses (default 1; not with a scenario).
    Options& units(int count)
    {
        m_units = count;
        return *this;
    }
    // Their profile, 0 to 8 (default 0, or the scenario's).
    Options& profile(int index)
    {
        m_profile = index;
        return *this;
    }
    // A scenario file to play; it names its own units. Ready once it plays.
    Options& scenario(std::string path)
    {
        m_scenario = std::move(path);
        return *this;
    }
    // A fault rule, as --fault takes it; rules act in the order given.
    Options& fault(std::string rule)
    {
        m_faults.push_back(std::move(rule));
        return *this;
    }
    // Every random draw from this seed, to repeat a run.
    Options& seed(std::uint64_t value)
    {
        m_seed = value;
        return *this;
    }
    // The first unit's address, instead of a block of addresses drawn for this simulator alone.
    Options& address(std::string first)
    {
        m_address = std::move(first);
        return *this;
    }
    // A further command-line argument.
    Options& argument(std::string word)
    {
        m_arguments.push_back(std::move(word));
        return *this;
    }
    // The program (default: $UNITSIM_BINARY, else unit-simulator on PATH).
    Options& binary(std::string path)
    {
        m_binary = std::move(path);
        return *this;
    }
    // How long the start may take (default 15 s).
    Options& startTimeout(std::chrono::milliseconds timeout)
    {
        m_startTimeout = timeout;
        return *this;
    }

private:
    friend class Simulator;
    int m_units = 1;
    std::optional<int> m_profile;
    std::string m_scenario;
    std::vector<std::string> m_faults;
    std::optional<std::uint64_t> m_seed;
    std::string m_address;
    std::vector<std::string> m_arguments;
    std::string m_binary;
    std::chrono::milliseconds m_startTimeout{15000};
};

// Where a controller sends a unit's frames.
struct Endpoint {
    std::string address;
    std::uint16_t port = 0;
};

// One line of the traffic log, as GET /api/v1/log gives it.
struct LogEntry {
    std::uint64_t seq = 0;
    std::string direction; // in, out, fault, not-sent, notice
    std::string command;   // set-channels, channel-query, status-query, discovery, other
    std::vector<std::uint8_t> bytes;
    std::string text; // as the window shows it
};

// The answer of POST /api/v1/verify: true when the matcher held. text(): a line for people, with
// the nearest misses when it did not hold (what a failed test should print).
struct Verification {
    bool matched = false;
    std::int64_t count = 0;
    std::int64_t scanned = 0;
    std::string text;
    std::string json; // the API's whole answer
    explicit operator bool() const { return matched; }
};

class Simulator {
public:
    // Starts and waits until every unit listens (and the scenario plays). Throws Error with the
    // simulator's own words when it cannot.
    explicit Simulator(const Options& options = Options());
    // Stops it (SIGTERM, then SIGKILL after 10 s).
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    Simulator(Simulator&&) noexcept;
    Simulator& operator=(Simulator&&) noexcept;

    // http://127.0.0.1:PORT of the control API; empty once stopped.
    std::string controlUrl() const;
    int unitCount() const;
    Endpoint endpoint(int unit = 0) const;

    // Channels 2 to 25 (fewer values: the rest 0), as a set-channels frame would set them.
    void setChannels(const std::vector<int>& values, int unit = 0);
    // The unit poses as `profile`; its unit port follows.
    void setProfile(int profile, int unit = 0);
    // A fault rule, as --fault takes it; returns its id.
    int addFault(const std::string& rule);
    void removeFault(int id);
    void removeFaults();

    std::vector<LogEntry> log(std::uint64_t since = 0) const;
    // A matcher as POST /api/v1/verify takes it (JSON), e.g. {"command": "set-channels",
    // "bytes": [{"position": 2, "equals": 200}], "at_least": 2}.
    Verification verify(const std::string& matcher) const;
    // verify() again until it holds or `timeout` passed; the last answer.
    Verification waitFor(const std::string& matcher,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // GET /api/v1/expectations and GET /api/v1/health, as JSON text.
    std::string expectations() const;
    std::string health() const;
    // The log's datagrams as a pcap file at `path`.
    void capture(const std::string& path) const;
    // The simulator's last lines on standard error.
    std::vector<std::string> stderrTail() const;

    // Ends the simulator; its exit status (4: a scenario's expectation failed). Twice is harmless.
    int stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace unitsim::testing
