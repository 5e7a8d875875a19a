// Simulator's calls of the control API.
#include "simulatorprivate.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <fstream>

namespace unitsim::testing {

using namespace detail;

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
