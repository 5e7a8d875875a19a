#include "controlserver.h"

#include "verify/expectationmonitor.h"
#include "verify/verifyscan.h"

namespace {
// About 20 ms of reading from the store on this machine.
constexpr quint64 kVerifyLinesPerSlice = 100000;
} // namespace

QList<ControlServer::Binding> ControlServer::verifyBindings()
{
    return {
        {"POST", QStringLiteral("/api/v1/verify"), &ControlServer::verify},
        {"GET", QStringLiteral("/api/v1/expectations"), &ControlServer::getExpectations},
    };
}

ControlReply ControlServer::getExpectations(const HttpRequest&, const QStringList&)
{
    if (!m_expectations || !m_expectations->isActive())
        return ControlReply::json(QJsonObject{{QStringLiteral("state"), QStringLiteral("none")},
                                              {QStringLiteral("summary"), QStringLiteral("no expectations")},
                                              {QStringLiteral("expectations"), QJsonArray()}});
    // Up to this moment, not to the monitor's last look.
    m_expectations->update();
    return ControlReply::json(m_expectations->toJson());
}

ControlReply ControlServer::verify(const HttpRequest& request, const QStringList&)
{
    QString error;
    const std::optional<QJsonObject> body = control::bodyObject(request, &error);
    if (!body)
        return ControlReply::error(HttpStatus::BadRequest, error);
    const std::optional<RequestMatcher> matcher = RequestMatcher::fromJson(*body, &error);
    if (!matcher)
        return ControlReply::error(HttpStatus::BadRequest, error);
    // Read a slice at a time, between which the units go on answering: hours of stored log take
    // seconds to read. The body is JSON with blanks before it, one for each slice read, which
    // also keeps the connection from looking idle. A failed read of the store is an answer too:
    // "matched" is then false and "error" says why.
    ControlReply reply;
    reply.paced = true;
    auto scan = std::make_shared<VerifyScan>(*matcher, m_log);
    reply.next = [scan, answered = false]() mutable -> QByteArray {
        if (answered)
            return {};
        if (!scan->step(kVerifyLinesPerSlice))
            return QByteArrayLiteral(" ");
        answered = true;
        return QJsonDocument(scan->result().toJson()).toJson(QJsonDocument::Compact);
    };
    return reply;
}
