#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>

// One HTTP request as read off a connection: its request line, header fields and body.
struct HttpRequest {
    QByteArray method; // as sent: "GET"
    QByteArray target; // as sent: "/api/v1/log?since=3"
    QString path;      // the target's path, percent-decoded
    QUrlQuery query;
    int minorVersion = 1;                         // HTTP/1.0 or HTTP/1.1
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values without blanks around
    QByteArray body;

    // The value of the header field `name` (given in lower case), or a null QByteArray.
    QByteArray header(QByteArrayView name) const
    {
        for (const auto& [key, value] : headers) {
            if (key == name)
                return value;
        }
        return {};
    }
    bool isHead() const { return method == "HEAD"; }
};

// An answer. A body too large to hold at once comes from `next`, asked each time the connection
// has room for more, until it gives an empty QByteArray. A `paced` body is asked for one piece at
// a time, each once the one before has left: work done between pieces lets the event loop run.
struct HttpResponse {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    std::function<QByteArray()> next;
    bool paced = false;
    bool close = false; // end the connection after this answer

    HttpResponse& withHeader(const QByteArray& name, const QByteArray& value)
    {
        headers.append(qMakePair(name, value));
        return *this;
    }
};

// "Not Found" for 404, and so on for every status the simulator answers with.
QByteArray httpReasonPhrase(int status);
