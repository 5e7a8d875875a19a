#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

// One accepted TCP connection of the HTTP server, on its descriptor. Unlike QTcpSocket, a client
// that half-closes (sends its request, then shuts its sending side down, as HTTP/1.0 clients and
// `curl --http1.0` may) has not ended the connection: what it sent can be read to the end, and
// the answer still goes out. Reading is asked for: nothing is read into memory that the reader
// did not want, so a client that sends too much waits in the kernel.
class TcpStream : public QObject {
    Q_OBJECT

public:
    // Takes `fd`, a connected non-blocking stream socket.
    explicit TcpStream(int fd, QObject* parent = nullptr);
    ~TcpStream() override;

    // What the client sent, at most `max` bytes of it; empty when nothing waits (then atEnd()
    // tells whether more may come).
    QByteArray read(qsizetype max);
    // The client sends no more: it half-closed, or the connection ended.
    bool atEnd() const { return m_readEnded; }
    // Whether readyRead() is wanted: off while the reader is busy answering, so that a
    // readable socket does not wake the loop for nothing.
    void setReadNotifications(bool enabled);

    // Queues `bytes`; they leave from the event loop, and bytesWritten() says when.
    void write(QByteArrayView bytes);
    qsizetype bytesToWrite() const { return m_out.size() - m_outSent; }
    // Bounds what the kernel holds for a client that does not read (its own default grows to
    // megabytes).
    void setSendBufferSize(int bytes);
    // Says the answer is complete (a FIN), once everything queued has left.
    void shutdownWrite();
    // Ends the connection at once; nothing queued leaves.
    void abort();
    bool isOpen() const { return m_fd >= 0; }
    QHostAddress localAddress() const { return m_local; }

signals:
    void readyRead();
    void bytesWritten(qint64 bytes);
    // The connection broke (reset, or an error either way): it is closed.
    void failed();

private:
    void sendQueued();
    void fail();

    int m_fd = -1;
    QHostAddress m_local;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::unique_ptr<QSocketNotifier> m_writable;
    QByteArray m_out;
    qsizetype m_outSent = 0;
    bool m_readEnded = false;
    bool m_broken = false;
    bool m_shutdownPending = false;
};
