#include "simulator.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

extern char** environ;

namespace unitsim::testing {

namespace {
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

std::string errnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// A block of loopback addresses 127.A.B.1 and on that no other test on this machine uses while it
// is held: a lock file a block, shared with the Python fixtures, so that tests in parallel
// processes never share units.
class AddressBlock {
public:
    ~AddressBlock() { release(); }

    std::string take(std::mt19937& random)
    {
        const char* tmp = std::getenv("TMPDIR");
        const std::string directory =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/unitsim-addresses-" + std::to_string(getuid());
        if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
            throw Error(errnoText(("cannot make " + directory).c_str()));
        // 127.0.x and 127.1.x are where people and the examples put their units.
        std::uniform_int_distribution<int> a(64, 254), b(0, 255);
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const int high = a(random), low = b(random);
            const std::string lock =
                directory + "/127." + std::to_string(high) + "." + std::to_string(low) + ".lock";
            const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

    void release()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// One HTTP/1.0 request to the API on 127.0.0.1: the answer comes whole, then the connection
// closes (no chunks, no keep-alive).
HttpAnswer httpRequest(std::uint16_t port, const std::string& token, const std::string& method,
                       const std::string& path, const std::string& body = {})
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
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
} // namespace

struct Simulator::Private {
    Options options;
    std::string token;
    AddressBlock block;
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
    HttpAnswer answer = httpRequest(port, token, method, path, body);
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

std::string Simulator::controlUrl() const
{
    std::lock_guard lock(d->mutex);
    return d->url;
}

int Simulator::unitCount() const
{
    return d->units;
}

Endpoint Simulator::endpoint(int unit) const
{
    const QJsonObject about = parse(d->request("GET", "/api/v1/units/" + std::to_string(unit)).body).object();
    return {about.value(QStringLiteral("address")).toString().toStdString(),
            std::uint16_t(about.value(QStringLiteral("unitPort")).toInt())};
}

void Simulator::setChannels(const std::vector<int>& values, int unit)
{
    if (values.size() > 24)
        throw Error("24 channel values at most, not " + std::to_string(values.size()));
    QJsonArray channels;
    for (std::size_t n = 0; n < 24; ++n)
        channels.append(n < values.size() ? values[n] : 0);
    d->request("PUT", "/api/v1/units/" + std::to_string(unit) + "/channels",
               QJsonDocument(QJsonObject{{QStringLiteral("channels"), channels}}).toJson().toStdString());
}

void Simulator::setProfile(int profile, int unit)
{
    d->request("PUT", "/api/v1/units/" + std::to_string(unit) + "/profile",
               QJsonDocument(QJsonObject{{QStringLiteral("profile"), profile}}).toJson().toStdString());
}

int Simulator::addFault(const std::string& rule)
{
    const std::string body =
        QJsonDocument(QJsonObject{{QStringLiteral("rule"), QString::fromStdString(rule)}})
            .toJson()
            .toStdString();
    return parse(d->request("POST", "/api/v1/faults", body).body)
        .object()
        .value(QStringLiteral("id"))
        .toInt();
}

void Simulator::removeFault(int id)
{
    d->request("DELETE", "/api/v1/faults/" + std::to_string(id));
}

void Simulator::removeFaults()
{
    d->request("DELETE", "/api/v1/faults");
}

std::vector<LogEntry> Simulator::log(std::uint64_t since) const
{
    std::vector<LogEntry> entries;
    for (;;) {
        const QJsonObject page =
            parse(d->request("GET", "/api/v1/log?limit=10000&since=" + std::to_string(since)).body).object();
        const QJsonArray lines = page.value(QStringLiteral("entries")).toArray();
        for (const QJsonValue line : lines) {
            LogEntry entry;
            entry.seq = std::uint64_t(line[QStringLiteral("seq")].toInteger());
            entry.direction = line[QStringLiteral("direction")].toString().toStdString();
            entry.command = line[QStringLiteral("command")].toString().toStdString();
            entry.text = line[QStringLiteral("text")].toString().toStdString();
            for (const QJsonValue byte : line[QStringLiteral("bytes")].toArray())
                entry.bytes.push_back(std::uint8_t(byte.toInt()));
            entries.push_back(std::move(entry));
        }
        since = std::uint64_t(page.value(QStringLiteral("next")).toInteger());
        if (lines.isEmpty())
            return entries;
    }
}

Verification Simulator::verify(const std::string& matcher) const
{
    Verification result;
    result.json = d->request("POST", "/api/v1/verify", matcher).body;
    const QJsonObject answer = parse(result.json).object();
    result.matched = answer.value(QStringLiteral("matched")).toBool();
    result.count = answer.value(QStringLiteral("count")).toInteger();
    result.scanned = answer.value(QStringLiteral("scanned")).toInteger();
    result.text = std::string(result.matched ? "matched" : "not matched") + ": " +
                  std::to_string(result.count) + " matching requests of " + std::to_string(result.scanned);
    for (const QJsonValue miss : answer.value(QStringLiteral("nearMisses")).toArray()) {
        result.text += "\nnear miss, line " + std::to_string(miss[QStringLiteral("seq")].toInteger()) + ": " +
                       miss[QStringLiteral("text")].toString().toStdString();
        for (const QJsonValue difference : miss[QStringLiteral("differences")].toArray())
            result.text += "\n  " + difference.toString().toStdString();
    }
    return result;
}

Verification Simulator::waitFor(const std::string& matcher, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Verification result = verify(matcher);
        if (result || Clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::string Simulator::expectations() const
{
    return d->request("GET", "/api/v1/expectations").body;
}

std::string Simulator::health() const
{
    return d->request("GET", "/api/v1/health", {}, {200, 503}).body;
}

void Simulator::capture(const std::string& path) const
{
    const std::string pcap = d->request("GET", "/api/v1/capture.pcap").body;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(pcap.data(), std::streamsize(pcap.size()));
    if (!out.flush())
        throw Error("the capture could not be written to " + path);
}

std::vector<std::string> Simulator::stderrTail() const
{
    std::lock_guard lock(d->mutex);
    return {d->stderrLines.begin(), d->stderrLines.end()};
}

} // namespace unitsim::testing
