#include "controlserver.h"

#include "verify/requestmatcher.h"

QList<ControlServer::Binding> ControlServer::verifyBindings()
{
    return {
        {"POST", QStringLiteral("/api/v1/verify"), &ControlServer::verify},
    };
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
    // A failed read of the store is an answer too: "matched" is then false and "error" says why.
    return ControlReply::json(verifyRequests(*matcher, m_log).toJson());
}
