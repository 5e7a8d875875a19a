#pragma once

#include "httpmessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// The HTTP statuses the control API answers with.
namespace HttpStatus {
inline constexpr int Ok = 200;
inline constexpr int Created = 201;
inline constexpr int NoContent = 204;
inline constexpr int BadRequest = 400;
inline constexpr int Unauthorized = 401;
inline constexpr int Forbidden = 403;
inline constexpr int NotFound = 404;
inline constexpr int MethodNotAllowed = 405;
inline constexpr int NotAcceptable = 406;
inline constexpr int Conflict = 409;
inline constexpr int UnsupportedMediaType = 415;
inline constexpr int MisdirectedRequest = 421;
inline constexpr int InternalServerError = 500;
inline constexpr int ServiceUnavailable = 503;
} // namespace HttpStatus

// What a control API handler answers: JSON unless said otherwise; errors are {"error": "..."}.
struct ControlReply {
    int status = HttpStatus::Ok;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers; // beyond the content type
    std::function<QByteArray()> next;             // a body made a piece at a time
    bool paced = false;                           // ... one piece each time the event loop comes round
    std::shared_ptr<HttpDeferred> later; // the answer comes through this, when work off the loop is done
    std::shared_ptr<HttpStream> stream;  // the body is pushed into this as it comes

    static ControlReply json(const QJsonObject& object, int status = HttpStatus::Ok)
    {
        return document(QJsonDocument(object), status);
    }
    static ControlReply json(const QJsonArray& array)
    {
        return document(QJsonDocument(array), HttpStatus::Ok);
    }
    static ControlReply error(int status, const QString& message)
    {
        return json(QJsonObject{{QStringLiteral("error"), message}}, status);
    }
    static ControlReply deferred(std::shared_ptr<HttpDeferred> later)
    {
        ControlReply reply;
        reply.later = std::move(later);
        return reply;
    }
    static ControlReply empty()
    {
        ControlReply reply;
        reply.status = HttpStatus::NoContent;
        return reply;
    }

    HttpResponse toResponse() &&
    {
        HttpResponse response;
        response.status = status;
        // An answer without content has no type either.
        if (status != HttpStatus::NoContent)
            response.headers.append(qMakePair(QByteArray("Content-Type"), contentType));
        response.headers += headers;
        response.body = std::move(body);
        response.next = std::move(next);
        response.paced = paced;
        response.later = std::move(later);
        response.stream = std::move(stream);
        return response;
    }

private:
    static ControlReply document(const QJsonDocument& document, int status)
    {
        ControlReply reply;
        reply.status = status;
        reply.body = document.toJson(QJsonDocument::Compact);
        return reply;
    }
};
