#pragma once

#include "httpmessage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>

class ExpectationMonitor;
class RunPicture;
class ScenarioSession;
class TrafficLogModel;

// What the live page shows, pushed to its clients as server-sent events: a few times a second
// an "update" (each unit's state, the scenario, the expectations, the busiest peers, the log's
// newest lines), and every few seconds while a scenario plays a "run" (the picture of the run
// so far, as the report page draws it). Built from what the session, the log and the monitor
// already keep, on a timer: nothing of it runs on the datagram path, and however fast datagrams
// come a client gets an update every kUpdateIntervalMs, no more. A new client gets the units'
// addresses and the run's picture with its first update (the others get them again too). A client that stops
// reading is dropped by its connection (its output cap), and its stream goes from the list.
class LiveFeed : public QObject {
    Q_OBJECT

public:
    static constexpr int kUpdateIntervalMs = 250;
    static constexpr int kRunIntervalMs = 2000;
    // Clients at once; one more is told 503.
    static constexpr qsizetype kMaxClients = 16;
    // The log's newest lines in one update; older ones since the last are only counted.
    static constexpr qsizetype kLogLinesPerUpdate = 50;
    static constexpr qsizetype kTopPeers = 10;
    // Units with a row of their own in a run's picture; the others are one row.
    static constexpr qsizetype kRunUnits = 200;

    LiveFeed(ScenarioSession& session, const TrafficLogModel& log, QObject* parent = nullptr);
    ~LiveFeed() override;

    void setExpectations(ExpectationMonitor* monitor) { m_monitor = monitor; }
    // A new client's stream, which gets the whole state at once; null when kMaxClients are served.
    std::shared_ptr<HttpStream> open();
    qsizetype clientCount() const;
    // Updates sent to each client so far (for the tests and the bench).
    quint64 updateCount() const { return m_updates; }
    // The run so far, as the feed keeps it; updatePicture() reads the log's newest lines into it.
    const RunPicture& picture() const { return *m_picture; }
    void updatePicture();

private:
    void tick();
    QByteArray update();
    QByteArray runPicture() const;
    void send(const QByteArray& piece);

    ScenarioSession& m_session;
    const TrafficLogModel& m_log;
    ExpectationMonitor* m_monitor = nullptr;
    std::unique_ptr<RunPicture> m_picture;
    QList<std::shared_ptr<HttpStream>> m_clients;
    QTimer m_timer;
    QElapsedTimer m_sinceRun;
    bool m_unitsSent = false; // the units' addresses went to every client
    bool m_runSent = false;   // the run's picture went to every client
    quint64 m_nextLine = 0;
    quint64 m_updates = 0;
};
