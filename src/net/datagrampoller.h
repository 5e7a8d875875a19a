#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <vector>

class DatagramEndpoint;

// Readiness for many endpoints through one descriptor (an epoll set), watched by one
// QSocketNotifier.
//
// The event loop scans every notifier it has on every wake-up, so a fleet of thousands of
// endpoints with a notifier each pays for all of them to answer one datagram. Endpoints made
// with a poller are woken through it instead: one notifier, and work only for the endpoints
// that have datagrams waiting.
class DatagramPoller : public QObject {
    Q_OBJECT

public:
    explicit DatagramPoller(QObject* parent = nullptr);
    ~DatagramPoller() override;

    // False when the set could not be made (no descriptors left, say); endpoints then watch
    // their sockets themselves.
    bool isValid() const { return m_epoll >= 0; }
    // Endpoints registered now.
    qsizetype size() const { return qsizetype(m_slots.size() - m_free.size()); }

private:
    friend class DatagramEndpoint;
    // Registers a bound socket; returns the key to remove it with, or -1 when the set refused it.
    qint64 add(int fd, DatagramEndpoint* endpoint);
    void remove(qint64 key, int fd);
    void dispatch();

    int m_epoll = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    // A slot's generation changes whenever it is freed, so that a wake-up already fetched for an
    // endpoint that has since gone, or re-bound, finds nobody.
    std::vector<DatagramEndpoint*> m_slots;
    std::vector<quint32> m_generations;
    std::vector<quint32> m_free;
};
