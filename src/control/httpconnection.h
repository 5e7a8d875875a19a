#pragma once

#include "httpserver.h"

#include "tcpstream.h"
#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

// One client connection of an HttpServer: reads a request at a time within the server's limits,
// answers it, and closes when told to, when the client is idle too long, or when the client goes.
// `closed` is called once, when the connection is done; the connection may then be deleted (later:
// it is still on the stack).
class HttpConnection : public QObject {
    Q_OBJECT

public:
    // `askTurn` is called when a request is in whole; takeTurn() then handles it. `closed` is
    // called once, when the connection is done.
    HttpConnection(std::unique_ptr<TcpStream> socket, const HttpServer::Limits& limits,
                   const HttpServer::Screen& screen, const HttpServer::Handler& handler,
                   std::function<void(HttpConnection*)> askTurn, std::function<void(HttpConnection*)> closed,
                   QObject* parent = nullptr);
    ~HttpConnection() override;

    // Serves requests until the connection ends.
    void start();
    // Answers with `status` and {"error": MESSAGE}, then closes. Called instead of start(), it
    // reads no request: the connection cap's answer.
    void refuse(int status, const QString& message);
    // Handles the request that waits for its turn, and reads on.
    void takeTurn();

private:
    // Waiting: for its turn; Working: for an answer worked out off the event loop.
    enum class State { Head, Body, Waiting, Working, Answering, Closing, Closed };

    void readMore();
    bool parseHead();
    void handleRequest();
    void respond(HttpResponse response);
    void writeMore();
    // A piece of a streamed answer, and its end.
    void writeStreamed(const QByteArray& piece);
    void endStream();
    void closeGracefully();
    void drainAfterClose();
    void timedOut();
    void finish();
    // Starts the wait for the client: short until a first request has passed the screen.
    void armIdle();

    std::unique_ptr<TcpStream> m_socket;
    const HttpServer::Limits& m_limits;
    const HttpServer::Screen& m_screen;
    const HttpServer::Handler& m_handler;
    std::function<void(HttpConnection*)> m_askTurn;
    std::function<void(HttpConnection*)> m_closed;
    State m_state = State::Head;
    QByteArray m_buffer;     // what is read of the current request (and any that follow it)
    qsizetype m_scanned = 0; // how much of m_buffer is known to hold no end of the header block
    HttpRequest m_request;
    qsizetype m_bodyLength = 0;
    bool m_keepAlive = true;
    // An answer whose body comes in pieces.
    std::function<QByteArray()> m_next;
    // An answer being worked out off the event loop.
    std::shared_ptr<HttpDeferred> m_later;
    // An answer whose body is pushed as it comes.
    std::shared_ptr<HttpStream> m_stream;
    bool m_chunked = false;
    bool m_paced = false;
    QTimer m_idle;
    bool m_admitted = false; // a request passed the screen: the client is known
    bool m_reading = false;
    bool m_shutDown = false;
    qint64 m_drained = 0;
};
