#pragma once
// Of the testing library, not installed.

#include <QJsonDocument>

#include <cstdint>
#include <string>

namespace unitsim::testing::detail {

std::string errnoText(const char* what);

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// One HTTP/1.0 request to the API on 127.0.0.1: the answer comes whole, then the connection
// closes (no chunks, no keep-alive).
// One HTTP/1.0 request to the API on 127.0.0.1: the answer comes whole, then the connection
// closes (no chunks, no keep-alive). Throws Error when there is none in `timeoutMs`.
HttpAnswer httpRequest(std::uint16_t port, const std::string& token, const std::string& method,
                       const std::string& path, const std::string& body, int timeoutMs);

QJsonDocument parse(const std::string& body);

} // namespace unitsim::testing::detail
