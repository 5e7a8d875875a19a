#include "runpicture.h"

#include "log/trafficlogmodel.h"
#include "scenario/scenarioplayer.h"
#include "scenario/scenariosession.h"

#include <QDateTime>

RunPicture::RunPicture(const TrafficLogModel& log, ScenarioSession& session, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_session(session)
{
    m_timer.setInterval(kUpdateIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &RunPicture::update);
    connect(&session, &ScenarioSession::scenarioLoaded, this, [this] {
        const Scenario& scenario = m_session.player()->scenario();
        m_title = scenario.name;
        m_timeline = std::make_unique<RunTimeline>(m_log, scenario.timeScale, m_log.endSeq());
        m_over = false;
        if (m_following)
            m_timer.start();
    });
    connect(&session, &ScenarioSession::scenarioFinished, this, &RunPicture::conclude);
}

RunPicture::~RunPicture() = default;

void RunPicture::conclude()
{
    m_over = true;
    m_timer.stop();
    update();
}

void RunPicture::setFollowing(bool following)
{
    m_following = following;
    if (following && m_timeline && !m_over)
        m_timer.start();
    else if (!following)
        m_timer.stop();
}

void RunPicture::update()
{
    if (!m_timeline)
        return;
    m_timeline->update();
    if (m_over)
        m_timeline->finish(QDateTime::currentMSecsSinceEpoch() * 1000);
    emit updated();
}
