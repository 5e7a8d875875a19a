#include "datagrampoller.h"

#include "datagramendpoint.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace {
// Ready endpoints fetched per wake-up; more stay ready (level-triggered) for the next one.
constexpr int kEventsPerWakeUp = 64;
} // namespace

DatagramPoller::DatagramPoller(QObject* parent)
    : QObject(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &DatagramPoller::dispatch);
}

DatagramPoller::~DatagramPoller()
{
    m_notifier.reset();
    if (m_epoll >= 0)
        ::close(m_epoll);
    // Endpoints that outlive the poller must not reach back into it.
    for (DatagramEndpoint* endpoint : m_slots) {
        if (endpoint)
            endpoint->pollerGone();
    }
}

qint64 DatagramPoller::add(int fd, DatagramEndpoint* endpoint)
{
    if (m_epoll < 0)
        return -1;
    quint32 slot = 0;
    if (m_free.empty()) {
        slot = quint32(m_slots.size());
        m_slots.push_back(nullptr);
        m_generations.push_back(0);
    } else {
        slot = m_free.back();
        m_free.pop_back();
    }
    const quint64 key = (quint64(m_generations[slot]) << 32) | slot;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        m_free.push_back(slot);
        return -1;
    }
    m_slots[slot] = endpoint;
    return qint64(key);
}

void DatagramPoller::remove(qint64 key, int fd)
{
    const quint32 slot = quint32(quint64(key) & 0xFFFFFFFFu);
    if (slot >= m_slots.size() || !m_slots[slot])
        return;
    if (m_epoll >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_slots[slot] = nullptr;
    ++m_generations[slot];
    m_free.push_back(slot);
}

void DatagramPoller::dispatch()
{
    std::array<epoll_event, kEventsPerWakeUp> events;
    int ready = 0;
    do {
        ready = ::epoll_wait(m_epoll, events.data(), kEventsPerWakeUp, 0);
    } while (ready < 0 && errno == EINTR);
    for (int i = 0; i < ready; ++i) {
        const quint64 key = events[std::size_t(i)].data.u64;
        const quint32 slot = quint32(key & 0xFFFFFFFFu);
        // A handler earlier in this batch may have closed or re-bound this endpoint.
        if (slot < m_slots.size() && m_slots[slot] && m_generations[slot] == quint32(key >> 32))
            m_slots[slot]->drain();
    }
}
