#pragma once

#include "runtimeline.h"

#include <QObject>
#include <QTimer>

#include <memory>

class ScenarioSession;
class TrafficLogModel;

// Keeps the picture of the scenario a session plays, read from its log a few times a second (off
// the datagram path, as the expectations are judged): from the moment a scenario is loaded to its
// end, when what is left is read and the open spans close.
class RunPicture : public QObject {
    Q_OBJECT

public:
    static constexpr int kUpdateIntervalMs = 250;

    RunPicture(const TrafficLogModel& log, ScenarioSession& session, QObject* parent = nullptr);
    ~RunPicture() override;

    // Null until a scenario is loaded.
    const RunTimeline* timeline() const { return m_timeline.get(); }
    // The scenario's name.
    const QString& title() const { return m_title; }
    // Reads the lines added since; once the scenario is over, also closes what is open.
    void update();
    // The scenario is over (it ended, or the run was stopped): reads what is left, closes spans.
    void conclude();
    // Whether it reads the log as the scenario plays (the default), or only when update() is
    // called, catching up then: a picture nobody looks at costs nothing meanwhile.
    void setFollowing(bool following);

signals:
    void updated();

private:
    const TrafficLogModel& m_log;
    ScenarioSession& m_session;
    std::unique_ptr<RunTimeline> m_timeline;
    QString m_title;
    QTimer m_timer;
    bool m_over = false;
    bool m_following = true;
};
