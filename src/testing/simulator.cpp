#include "simulatorprivate.h"

#include <QJsonObject>
#include <QString>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

extern char** environ;

namespace unitsim::testing {

using namespace detail;
using namespace std::chrono_literals;

Simulator::Simulator(const Options& options)
    : d(std::make_unique<Private>())
{
    d->options = options;
    if (!d->options.m_scenario.empty() && !d->options.m_address.empty())
        throw Error("a scenario names its own units: give no address with it");
    std::random_device entropy;
    std::mt19937 random(entropy());
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i)
        d->token += hex[random() % 16];

    // Its standard input is a pipe this process holds: if the test dies, the simulator ends too.
    std::vector<std::string> base = {"--headless", "--quiet", "--exit-with-stdin", "--control",
                                     "127.0.0.1:0"};
    if (d->options.m_profile)
        base.insert(base.end(), {"--profile", std::to_string(*d->options.m_profile)});
    for (const std::string& rule : d->options.m_faults)
        base.insert(base.end(), {"--fault", rule});
    if (d->options.m_seed)
        base.insert(base.end(), {"--seed", std::to_string(*d->options.m_seed)});
    if (!d->options.m_scenario.empty())
        base.insert(base.end(), {"--scenario", d->options.m_scenario});
    base.insert(base.end(), d->options.m_arguments.begin(), d->options.m_arguments.end());

    const bool drawn = d->options.m_scenario.empty() && d->options.m_address.empty();
    for (int attempt = 1;; ++attempt) {
        std::vector<std::string> arguments = base;
        if (d->options.m_scenario.empty()) {
            const std::string first = drawn ? d->block.take(random) : d->options.m_address;
            arguments.insert(arguments.end(), {"--units", std::to_string(d->options.m_units) + "@" + first});
        }
        try {
            d->start(arguments);
            break;
        } catch (const Error& error) {
            d->block.release();
            const bool cannotBind =
                std::string(error.what()).find("units cannot listen") != std::string::npos;
            // A scenario's units are where its file puts them: no block of our own to move to.
            if (cannotBind && !d->options.m_scenario.empty())
                throw Error("the scenario " + d->options.m_scenario +
                            " puts its units at fixed addresses, and another program (the simulator of "
                            "another test, say) holds them: tests that play a scenario are not kept apart "
                            "as tests with units() are, so run them one at a time; " +
                            error.what());
            if (!drawn || !cannotBind || attempt == kStartAttempts)
                throw;
        }
    }
    // Counted by the health check: the unit list comes a page at a time.
    d->units = parse(d->request("GET", "/api/v1/health", {}, {200, 503}).body)
                   .object()
                   .value(QStringLiteral("units"))
                   .toInt();
}

Simulator::~Simulator()
{
    if (d)
        stop();
}

Simulator::Simulator(Simulator&&) noexcept = default;

Simulator& Simulator::operator=(Simulator&& other) noexcept
{
    if (this != &other) {
        if (d)
            stop();
        d = std::move(other.d);
    }
    return *this;
}

void Simulator::Private::start(const std::vector<std::string>& arguments)
{
    const std::string binaryPath = !options.m_binary.empty()       ? options.m_binary
                                   : std::getenv("UNITSIM_BINARY") ? std::getenv("UNITSIM_BINARY")
                                                                   : "unit-simulator";
    std::vector<std::string> words = {binaryPath};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // The environment as it is, with the API's token (which the process list does not show).
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "UNITSIM_CONTROL_TOKEN=", 22) != 0)
            environment.emplace_back(*entry);
    }
    environment.push_back("UNITSIM_CONTROL_TOKEN=" + token);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Both pipes close on exec, but for the ends the simulator gets as 0 and 2: another program the
    // test starts must not hold this simulator's standard input open.
    int pipeFds[2];
    int inputFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw Error(errnoText("pipe"));
    if (::pipe2(inputFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw Error(errnoText("pipe"));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputFds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own: a Ctrl+C meant for the test does not reach it before stop().
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int spawned =
        posix_spawnp(&pid, binaryPath.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    ::close(inputFds[0]);
    stdinFd = inputFds[1];
    if (spawned != 0) {
        ::close(pipeFds[0]);
        ::close(stdinFd);
        stdinFd = -1;
        pid = -1;
        throw Error("unit-simulator could not be started as '" + binaryPath + "': " + std::strerror(spawned) +
                    " (install it, put it on PATH or set UNITSIM_BINARY)");
    }
    stderrFd = pipeFds[0];
    {
        std::lock_guard lock(mutex);
        stderrLines.clear();
        url.clear();
        stderrEnded = false;
    }
    reader = std::thread([this] { readStderr(); });

    const auto deadline = Clock::now() + options.m_startTimeout;
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_until(lock, deadline, [this] { return !url.empty() || stderrEnded; }) ||
            url.empty()) {
            lock.unlock();
            fail(stderrEnded ? "ended before it listened" : "did not say it listened in time");
        }
        port = std::uint16_t(std::atoi(url.c_str() + url.rfind(':') + 1));
    }
    for (;;) {
        HttpAnswer answer;
        try {
            answer = request("GET", "/api/v1/health", {}, {200, 503});
        } catch (const Error& error) {
            fail(std::string("did not answer on its control API: ") + error.what());
        }
        if (answer.status == 200)
            return;
        if (Clock::now() > deadline)
            fail("was not ready in time: " +
                 parse(answer.body).object().value(QStringLiteral("reason")).toString().toStdString());
        std::this_thread::sleep_for(kPollInterval);
    }
}

void Simulator::Private::readStderr()
{
    // Read to the end, always: a full pipe would stop the simulator.
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(stderrFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, std::size_t(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::lock_guard lock(mutex);
            if (url.empty() && line.compare(0, kReadyLine.size(), kReadyLine) == 0) {
                url = line.substr(kReadyLine.size());
                changed.notify_all();
            }
            stderrLines.push_back(std::move(line));
            if (stderrLines.size() > kStderrLines)
                stderrLines.pop_front();
        }
    }
    std::lock_guard lock(mutex);
    stderrEnded = true;
    changed.notify_all();
}

std::string Simulator::Private::stderrText() const
{
    std::lock_guard lock(mutex);
    std::string text;
    for (const std::string& line : stderrLines)
        text += line + "\n";
    return text;
}

void Simulator::Private::fail(const std::string& what)
{
    kill();
    throw Error("unit-simulator " + what + ":\n" + stderrText());
}

void Simulator::Private::kill()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    if (reader.joinable())
        reader.join();
    if (stderrFd >= 0)
        ::close(stderrFd);
    stderrFd = -1;
    if (stdinFd >= 0)
        ::close(stdinFd);
    stdinFd = -1;
    std::lock_guard lock(mutex);
    url.clear();
}

HttpAnswer Simulator::Private::request(const std::string& method, const std::string& path,
                                       const std::string& body, std::initializer_list<int> accepted) const
{
    if (pid < 0 || port == 0)
        throw Error("the simulator is not running");
    HttpAnswer answer = httpRequest(port, token, method, path, body, kRequestTimeoutMs);
    if (std::find(accepted.begin(), accepted.end(), answer.status) == accepted.end()) {
        const QString message = parse(answer.body).object().value(QStringLiteral("error")).toString();
        throw Error(method + " " + path + ": " +
                        (message.isEmpty() ? "HTTP " + std::to_string(answer.status) : message.toStdString()),
                    answer.status);
    }
    return answer;
}

int Simulator::stop()
{
    if (d->pid > 0) {
        ::kill(d->pid, SIGTERM);
        const auto deadline = Clock::now() + kStopTimeout;
        int status = 0;
        pid_t ended = 0;
        while ((ended = ::waitpid(d->pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (ended == d->pid) {
            d->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            d->pid = -1;
        } else {
            d->exitStatus = 128 + SIGKILL;
        }
    }
    d->kill();
    d->port = 0;
    d->block.release();
    return d->exitStatus;
}

} // namespace unitsim::testing
