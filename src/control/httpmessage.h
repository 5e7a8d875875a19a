#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <utility>

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

struct HttpResponse;

// An answer that comes later, from work done off the event loop: the handler answers with one of
// these (HttpResponse::later) and calls answer() once the work is done, on the server's thread.
// A connection that ended meanwhile has let go of it; the answer then goes nowhere.
class HttpDeferred {
public:
    void answer(HttpResponse response);
    void whenAnswered(std::function<void(HttpResponse)> deliver);
    void abandon() { m_deliver = {}; }

private:
    std::function<void(HttpResponse)> m_deliver;
    std::shared_ptr<HttpResponse> m_ready;
};

// A body sent as it comes (server-sent events): the handler keeps the stream and pushes pieces
// into it; the connection writes each out as it comes, and ends the answer when the stream is
// closed. A client that lets more than the server's output cap wait is dropped: the stream is
// then no longer open, and pieces pushed into it go nowhere.
class HttpStream {
public:
    bool isOpen() const { return bool(m_write); }
    void push(const QByteArray& piece)
    {
        if (m_write)
            m_write(piece);
    }
    void close()
    {
        m_write = {};
        if (m_end)
            std::exchange(m_end, {})();
    }
    // The connection's side.
    void attach(std::function<void(const QByteArray&)> write, std::function<void()> end)
    {
        m_write = std::move(write);
        m_end = std::move(end);
    }
    void detach()
    {
        m_write = {};
        m_end = {};
    }

private:
    std::function<void(const QByteArray&)> m_write;
    std::function<void()> m_end;
};

// An answer. A body too large to hold at once comes from `next`, asked each time the connection
// has room for more, until it gives an empty QByteArray. A `paced` body is asked for one piece at
// a time, each once the one before has left: work done between pieces lets the event loop run.
// With `later` set, the answer is the one that comes through it; the rest is not looked at. With
// `stream` set, the body is what is pushed into it until it is closed.
struct HttpResponse {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    std::function<QByteArray()> next;
    bool paced = false;
    bool close = false; // end the connection after this answer
    std::shared_ptr<HttpDeferred> later;
    std::shared_ptr<HttpStream> stream;

    HttpResponse& withHeader(const QByteArray& name, const QByteArray& value)
    {
        headers.append(qMakePair(name, value));
        return *this;
    }
};

inline void HttpDeferred::answer(HttpResponse response)
{
    if (m_deliver)
        std::exchange(m_deliver, {})(std::move(response));
    else
        m_ready = std::make_shared<HttpResponse>(std::move(response));
}

inline void HttpDeferred::whenAnswered(std::function<void(HttpResponse)> deliver)
{
    if (m_ready)
        deliver(std::move(*std::exchange(m_ready, {})));
    else
        m_deliver = std::move(deliver);
}

// "Not Found" for 404, and so on for every status the simulator answers with.
QByteArray httpReasonPhrase(int status);
