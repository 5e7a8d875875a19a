#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

struct LogLine;
class TrafficLogModel;

// What a run looked like unit by unit, small enough for a page whatever the run's size: each
// unit's states (answering, offline, rebooting) and fault windows as spans, the requests it got
// counted in buckets of scenario time, and the scenario's events. Built from the log's lines
// (read off the datagram path, a few times a second or once at the end), never from the
// datagrams themselves. Times are seconds of scenario time since the scenario started.
class RunTimeline {
public:
    // The finest bucket; it doubles (and the counts merge) whenever a run outgrows kMaxBuckets.
    static constexpr qint64 kBucketMs = 100;
    static constexpr qsizetype kMaxBuckets = 600;
    // A page holds at most this many bucket counts: a larger fleet gets coarser buckets there.
    static constexpr qsizetype kMaxCells = 250000;
    // Events kept; later ones are only counted.
    static constexpr qsizetype kMaxEvents = 2000;

    enum class State : quint8 { Answering, Offline, Rebooting };
    static const char* stateName(State state);

    struct Span {
        double fromS = 0;
        double toS = -1; // below fromS: still open
        State state = State::Answering;
        QString fault; // a fault window: the rule; empty for a state
    };
    struct Unit {
        QString address;
        QList<Span> states; // offline and rebooting spans, in time order
        QList<Span> faults;
        std::vector<quint32> requests; // by bucket
        quint64 requestCount = 0;
        quint64 replyCount = 0;
    };
    struct Event {
        double atS = 0;
        QString text;
        int firstUnit = -1; // -1: about the scenario itself
        int lastUnit = -1;
    };

    // The log's units, its scenario's time scale; reading starts at the log's next
    // "started" line from `fromSeq` on.
    RunTimeline(const TrafficLogModel& log, double timeScale, quint64 fromSeq);

    // Reads the lines the log gained since the last call.
    void update();
    // Takes one line (update() does, for the log's lines).
    void line(const LogLine& line);
    // The run is over at `endUs` (microseconds since 1970): open spans end there.
    void finish(qint64 endUs);

    bool hasStarted() const { return m_started; }
    qint64 startUs() const { return m_startUs; }
    double timeScale() const { return m_timeScale; }
    // Scenario seconds of a time in microseconds since 1970.
    double secondsAt(qint64 timeUs) const;
    double endSeconds() const { return m_endS; }
    qint64 bucketMs() const { return m_bucketMs; }
    const std::vector<Unit>& units() const { return m_units; }
    const QList<Event>& events() const { return m_events; }
    quint64 eventCount() const { return m_eventCount; }

    // For a page: units, spans, events and the request counts, with buckets coarse enough that
    // units x buckets stays within kMaxCells. With `maxUnits` at 0 or more, only that many units
    // are listed, those of `first` before those an event touched before the rest, and the others
    // are summed into `others`; each listed unit names its `index`.
    QJsonObject toJson(const QList<int>& first = {}, qsizetype maxUnits = -1) const;

private:
    void setState(const LogLine& line, State state);
    void fault(const LogLine& line, bool added);
    void count(Unit& unit, double atS);
    void coarsen();

    const TrafficLogModel& m_log;
    double m_timeScale;
    quint64 m_next;
    bool m_started = false;
    qint64 m_startUs = 0;
    double m_endS = 0;
    qint64 m_bucketMs = kBucketMs;
    std::vector<Unit> m_units;
    QList<Event> m_events;
    quint64 m_eventCount = 0;
};
