#pragma once

#include "httpmessage.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class HttpConnection;

// A small HTTP/1.1 server that holds hostile clients to a fixed cost. Its limits act while a
// request arrives, not after it has been buffered: a header block over the limit, a body at or
// over the body limit (as soon as Content-Length says so), a request the screen refuses (a wrong
// token, say) are answered at once and the connection is closed; a connection that sends nothing
// for the idle time is closed, and one whose first request has not passed the screen within a
// short time too; past the connection cap, or past one address's share of it, a client gets 503
// at once, and the last few connections are kept for callers on this machine; a client that
// does not read its answers stops being read from. Requests on one connection are answered in
// order, one at a time (pipelining works, without a queue). A client that half-closes after its
// requests gets their answers.
class HttpServer : public QObject {
    Q_OBJECT

public:
    struct Limits {
        qsizetype maxHeaderBytes = 16 * 1024;
        qsizetype bodyLimitBytes = 64 * 1024; // a body of this many bytes or more is refused
        int idleTimeoutMs = 10000;
        // Until a first request has passed the screen (a token, when one is needed).
        int firstRequestTimeoutMs = 2000;
        int maxConnections = 64;
        int maxConnectionsPerAddress = 16;
        // Of maxConnections, kept for loopback callers: a LAN cannot lock this machine out.
        int loopbackReserve = 8;
        qsizetype maxQueuedOutputBytes = 1024 * 1024; // answers waiting for a client that does not read
    };
    // Looks at a request once its header block is in, before any of its body is read. An answer
    // refuses the request; the connection ends after it. `local` is the address the client reached.
    using Screen =
        std::function<std::optional<HttpResponse>(const HttpRequest& head, const QHostAddress& local)>;
    using Handler = std::function<HttpResponse(const HttpRequest& request)>;

    HttpServer(Screen screen, Handler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    // Listens on an IPv4 or IPv6 address; false, with `error` saying why, when it cannot be had.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress serverAddress() const { return m_address; }
    quint16 serverPort() const { return m_port; }
    int connectionCount() const { return m_connections; }
    // Why a new connection from `peer` would be refused now, or nothing.
    QString refusalFor(const QHostAddress& peer) const;

private:
    void acceptConnections();
    void close();
    // A connection's request waits for its turn: one request is handled each time the event loop
    // comes round.
    void queueTurn(HttpConnection* connection);
    void serveTurn();

    Screen m_screen;
    Handler m_handler;
    Limits m_limits;
    // A plain listening socket rather than a QTcpServer, which retries a failing accept() at
    // once, forever, when the process is out of file descriptors: here accepting rests a while.
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_acceptPause;
    QHostAddress m_address;
    quint16 m_port = 0;
    int m_connections = 0;
    QHash<QHostAddress, int> m_byPeer; // connections served, by the client's address
    int m_refusing = 0;                // connections being told 503
    std::deque<QPointer<HttpConnection>> m_turns;
    bool m_turnPosted = false;
};
