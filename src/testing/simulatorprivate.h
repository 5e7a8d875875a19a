#pragma once
// Simulator's state, shared by its files (simulator.cpp: the child process; simulatorapi.cpp:
// the API calls). Of the testing library, not installed.

#include "addressblock.h"
#include "apirequest.h"
#include "simulator.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace unitsim::testing {
namespace detail {
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kReadyLine = "Control API listening on ";
// A start that could not bind its drawn addresses is tried again on others, this many times.
constexpr int kStartAttempts = 5;
// How often a start asks for health, and waitFor() asks again.
constexpr auto kPollInterval = 50ms;
// How long a request to the API may take.
constexpr int kRequestTimeoutMs = 30000;
// How long stop() waits after SIGTERM before SIGKILL.
constexpr auto kStopTimeout = 10s;
// Lines of standard error kept for a failed start's message.
constexpr std::size_t kStderrLines = 200;

} // namespace detail

using detail::HttpAnswer;

struct Simulator::Private {
    Options options;
    std::string token;
    detail::AddressBlock block;
    pid_t pid = -1;
    int stderrFd = -1;
    int stdinFd = -1; // the writing end of the simulator's standard input
    std::thread reader;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> stderrLines;
    std::string url;
    std::uint16_t port = 0;
    bool stderrEnded = false;
    int exitStatus = -1;
    int units = 0;

    void start(const std::vector<std::string>& arguments);
    void readStderr();
    [[noreturn]] void fail(const std::string& what);
    void kill();
    HttpAnswer request(const std::string& method, const std::string& path, const std::string& body = {},
                       std::initializer_list<int> accepted = {200, 201, 204}) const;
    std::string stderrText() const;
};

} // namespace unitsim::testing
