#include "controlserver.h"

#include "scenario/scenariofile.h"
#include "scenario/scenariosession.h"

QList<ControlServer::Binding> ControlServer::scenarioBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/scenario"), &ControlServer::getScenario},
        {"PUT", QStringLiteral("/api/v1/scenario"), &ControlServer::putScenario},
        {"GET", QStringLiteral("/api/v1/scenario/snapshot"), &ControlServer::getSnapshot},
        {"POST", QStringLiteral("/api/v1/scenario/start"), &ControlServer::startScenario},
        {"POST", QStringLiteral("/api/v1/scenario/stop"), &ControlServer::stopScenario},
        {"POST", QStringLiteral("/api/v1/scenario/restart"), &ControlServer::restartScenario},
    };
}

namespace {
ControlReply noScenario()
{
    return ControlReply::error(HttpStatus::Conflict,
                               QStringLiteral("no scenario is loaded: PUT /api/v1/scenario one first"));
}
} // namespace

QJsonObject ControlServer::scenarioState() const
{
    const ScenarioPlayer* player = m_session.player();
    if (!player)
        return {{QStringLiteral("scenario"), QJsonValue()},
                {QStringLiteral("state"), QStringLiteral("none")},
                {QStringLiteral("elapsed"), 0},
                {QStringLiteral("next"), QJsonValue()},
                {QStringLiteral("status"), QStringLiteral("No scenario")}};
    QJsonValue next;
    if (const std::optional<ScenarioPlayer::Upcoming> upcoming = player->next();
        upcoming && !player->isFinished())
        next = QJsonObject{{QStringLiteral("at"), double(upcoming->atMs) / 1000},
                           {QStringLiteral("event"), upcoming->text}};
    return {{QStringLiteral("scenario"), ScenarioFile::toJson(player->scenario())},
            {QStringLiteral("state"), player->isFinished()  ? QStringLiteral("finished")
                                      : player->isRunning() ? QStringLiteral("running")
                                                            : QStringLiteral("stopped")},
            {QStringLiteral("elapsed"), double(player->elapsedMs()) / 1000},
            {QStringLiteral("next"), next},
            {QStringLiteral("status"), player->statusText()}};
}

ControlReply ControlServer::getScenario(const HttpRequest&, const QStringList&)
{
    return ControlReply::json(scenarioState());
}

ControlReply ControlServer::putScenario(const HttpRequest& request, const QStringList&)
{
    // Read on a thread of its own: the recordings a scenario names may take a while to read, and
    // the units answer meanwhile. One at a time, in the order they came.
    auto later = std::make_shared<HttpDeferred>();
    m_scenarioReader.start([this, later, body = request.body] {
        auto problem = std::make_shared<ScenarioError>();
        auto scenario = std::make_shared<std::optional<Scenario>>(ScenarioFile::parse(body, problem.get()));
        QMetaObject::invokeMethod(
            this,
            [this, later, problem, scenario] {
                later->answer(playScenario(*scenario, *problem).toResponse());
            },
            Qt::QueuedConnection);
    });
    return ControlReply::deferred(later);
}

ControlReply ControlServer::playScenario(const std::optional<Scenario>& scenario,
                                         const ScenarioError& problem)
{
    if (!scenario) {
        QJsonObject error{{QStringLiteral("error"), problem.text(QStringLiteral("scenario"))}};
        if (problem.line > 0) {
            error.insert(QStringLiteral("line"), problem.line);
            error.insert(QStringLiteral("column"), problem.column);
        }
        return ControlReply::json(error, HttpStatus::BadRequest);
    }
    const bool makesProxies = std::any_of(scenario->units.cbegin(), scenario->units.cend(),
                                          [](const ScenarioUnitGroup& group) { return group.proxy != 0; });
    if (makesProxies && !m_proxiesAllowed)
        return ControlReply::error(
            HttpStatus::Forbidden,
            QStringLiteral("scenario: proxy units are made through the API only when the simulator was "
                           "started with --allow-api-proxies (a proxy sends what reaches it on to the "
                           "address it names); give them on the command line or in a scenario file"));
    QString error;
    if (!m_session.play(*scenario, &error))
        return ControlReply::error(HttpStatus::InternalServerError, error);
    return ControlReply::json(scenarioState());
}

ControlReply ControlServer::getSnapshot(const HttpRequest&, const QStringList&)
{
    return ControlReply::json(ScenarioFile::toJson(m_session.snapshot()));
}

ControlReply ControlServer::startScenario(const HttpRequest&, const QStringList&)
{
    if (!m_session.player())
        return noScenario();
    m_session.player()->start();
    return ControlReply::json(scenarioState());
}

ControlReply ControlServer::stopScenario(const HttpRequest&, const QStringList&)
{
    if (!m_session.player())
        return noScenario();
    m_session.player()->stop();
    return ControlReply::json(scenarioState());
}

ControlReply ControlServer::restartScenario(const HttpRequest&, const QStringList&)
{
    if (!m_session.player())
        return noScenario();
    m_session.player()->restart();
    return ControlReply::json(scenarioState());
}
