#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QUdpSocket>

// A target given on the command line as HOST[:PORT].
struct Target {
    QHostAddress address;
    quint16 port = 0;
};

// Parses HOST[:PORT]; HOST is an IPv4 address or a name. Returns an error text, empty on success.
QString parseTarget(const QString& text, quint16 defaultPort, Target& target);

struct Reply {
    QHostAddress address;
    quint16 port = 0;
    QByteArray data;
};

// Sends one request and collects replies until the deadline, from an ephemeral IPv4 port.
class UnitClient {
public:
    UnitClient();

    bool send(const Target& target, const QByteArray& payload);
    // Replies from `from` (any address when `from.address` is null, any port when `from.port` is
    // 0), until `timeoutMs` has passed or, unless `collectAll`, until the first one.
    QList<Reply> receive(const Target& from, int timeoutMs, bool collectAll)
    {
        return receiveUpTo(from, timeoutMs, collectAll ? -1 : 1);
    }
    // The same, ending early once `count` replies came (never, when `count` is negative).
    QList<Reply> receiveUpTo(const Target& from, int timeoutMs, qsizetype count);
    QString errorString() const { return m_socket.errorString(); }
    quint16 localPort() const { return m_socket.localPort(); }

private:
    QUdpSocket m_socket;
};
