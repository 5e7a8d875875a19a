#pragma once

#include "scenario/expectationdefinition.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ScenarioSession;
struct Scenario;
class TrafficLogModel;
struct LogLine;

// One time an expectation did not hold, with what shows it.
struct ExpectationFailure {
    QString message;      // "127.0.7.2 got no set-channels within 2 s of being back"
    int unit = -1;        // the unit's index; -1: no one unit
    QString unitText;     // its address, or "the unit"
    QString peer;         // "127.0.0.1:40000"; empty: no one peer
    qint64 timeUs = 0;    // when it became a failure: microseconds since 1970, UTC
    QList<quint64> seqs;  // the log lines that show it, the one that shows it best last
    qint64 eventSeq = -1; // the scenario's event it relates to, if any: its line...
    QString eventText;    // ... and what it says

    QJsonObject toJson() const;
    // The evidence as lines, for standard error and reports.
    QStringList evidence() const;
};

// How near an expectation came to failing: the worst the run showed against its limit, as a share
// of the limit still left. A re-send 3.6 s after a reboot against "within 4 s" is 0.1 from failing;
// a peak of 47 a second against 50 is 0.06. 1 (or more, capped) is far, 0 at the limit, below 0
// beyond it (a failure).
struct ExpectationMargin {
    // Nearer than this, a pass is reported as a close one.
    static constexpr double kClose = 0.25;

    double fraction = 1;
    QString text;  // what came nearest: "the busiest second held 47 of the 50 allowed"
    int unit = -1; // the index of the unit it came nearest on; -1: no one unit

    // "6 %"
    QString percentText() const;
};

// How an expectation stands: pending while the run has not decided it, then passed or failed; or
// not exercised, when it held only because the run gave it nothing to judge (no controller sent
// anything, no unit came back from a reboot): a pass on silence would tell nothing.
struct ExpectationResult {
    enum class State : quint8 { Pending, Passed, Failed, NotExercised };
    static const char* stateName(State state);
    static constexpr qsizetype kMaxFailuresKept = 100;

    ExpectationDefinition expectation;
    State state = State::Pending;
    QList<ExpectationFailure> failures;      // the first kMaxFailuresKept
    quint64 failureCount = 0;                // all of them
    QMap<QString, quint64> failuresByUnit;   // all of them by the unit's address; "": no one unit
    QString note;                            // what was looked at: "4 units back after a reboot"
    QString reason;                          // not exercised: why ("no unit came back from a reboot")
    std::optional<ExpectationMargin> margin; // once the run showed anything it judges by a limit

    // "6 % from failing: the busiest second ...", or "beyond its limit by ...", or nothing.
    QString marginText() const;
    QJsonObject toJson() const;
};

// Judges a scenario's expectations against its log while it plays: reads the lines the log gained
// a few times a second (from memory, or from the store for a long run), keeps what each check
// needs, and decides what can be decided; at the end, what is left. Judging starts at the
// scenario's "started" line (a restart judges afresh).
//
// With a session, the expectations are those of the scenario it plays, taken anew each time one
// is loaded, and its end ends the judging; the session's peer table adds what the log does not
// show (datagrams longer than a frame).
class ExpectationMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr int kUpdateIntervalMs = 100;

    explicit ExpectationMonitor(const TrafficLogModel& log, ScenarioSession* session = nullptr,
                                QObject* parent = nullptr);
    ~ExpectationMonitor() override;

    // Judges `scenario`'s expectations from the first "started" line of the log from `fromSeq` on
    // (by default, lines still to come).
    void judge(const Scenario& scenario, std::optional<quint64> fromSeq = std::nullopt);
    // Where "now" comes from (microseconds since 1970, UTC); the system clock unless set.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

    // Whether the scenario being played has expectations.
    bool isActive() const { return !m_results.isEmpty(); }
    // Judged to the end (the scenario ended, or finish() was called).
    bool isFinished() const { return m_finished; }
    const QList<ExpectationResult>& results() const { return m_results; }
    const QString& scenarioName() const { return m_scenarioName; }
    // How long the judged run lasted, in seconds of real time.
    double runSeconds() const;
    int failedCount() const;
    int notExercisedCount() const;
    bool allPassed() const { return m_finished && failedCount() == 0; }

    // Reads the lines added since the last call and decides what is due by now.
    void update();
    // The run is over: reads what is left and decides every pending expectation. Once only.
    void finish();

    // "7 expectations: 5 passed, 1 failed, 1 not exercised" (and pending ones while the run goes on).
    QString summary() const;
    // The summary, then each failure with its evidence.
    QStringList report() const;
    QJsonObject toJson() const;
    // The results as JUnit XML: one test case an expectation, failures with their evidence.
    QByteArray junitXml() const;

    // The monitor's own parts: what the checks share, and one check.
    class Context;
    class Checker;

signals:
    // A result changed state or gained a failure.
    void changed();

private:
    void forget();
    void begin(quint64 seq, qint64 timeUs);
    void readLine(quint64 seq, const LogLine& line);

    const TrafficLogModel& m_log;
    ScenarioSession* m_session;
    std::function<qint64()> m_clock;
    QTimer m_timer;
    QString m_scenarioName;
    double m_timeScale = 1;
    QList<ExpectationDefinition> m_expect;
    QList<ExpectationResult> m_results;
    std::unique_ptr<Context> m_context;
    std::vector<std::unique_ptr<Checker>> m_checkers;
    quint64 m_next = 0; // the next log line to read
    bool m_started = false;
    quint64 m_startSeq = 0;
    qint64 m_startUs = 0;
    qint64 m_endUs = 0;
    bool m_finished = false;
    quint64 m_unread = 0; // lines cleared from the log before they were read
};
