// The live page and what feeds it: the page's files (built in, served without the token: they
// hold no data, and a browser cannot send one with a page it is sent to), the stream of
// server-sent events, and the picture of the run so far.
#include "controlserver.h"

#include "livefeed.h"
#include "log/trafficlogmodel.h"
#include "report/runpicture.h"
#include "report/runreport.h"
#include "verify/expectationmonitor.h"

#include <QFile>

namespace {
// The page's files: where a request finds them, what they are.
struct PageFile {
    const char* name;
    const char* resource;
    const char* type;
};
constexpr PageFile kPageFiles[] = {
    {"dashboard.js", ":/control/page/dashboard.js", "text/javascript; charset=utf-8"},
    {"dashboard.css", ":/control/page/dashboard.css", "text/css; charset=utf-8"},
    {"report.js", ":/report/report.js", "text/javascript; charset=utf-8"},
    {"report.css", ":/report/report.css", "text/css; charset=utf-8"},
    {"chart.min.js", ":/report/chart.min.js", "text/javascript; charset=utf-8"},
};

ControlReply file(const char* resource, const char* type)
{
    QFile in(QString::fromLatin1(resource));
    if (!in.open(QIODevice::ReadOnly))
        return ControlReply::error(
            HttpStatus::InternalServerError,
            QStringLiteral("the page's file %1 is not built in").arg(QLatin1String(resource)));
    ControlReply reply;
    reply.body = in.readAll();
    reply.contentType = type;
    // The page runs no script from elsewhere, and no other site frames it.
    reply.headers.append(qMakePair(QByteArray("Content-Security-Policy"),
                                   QByteArray("default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                              "frame-ancestors 'none'")));
    reply.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-cache")));
    return reply;
}
} // namespace

QList<ControlServer::Binding> ControlServer::liveBindings()
{
    return {
        {"GET", QStringLiteral("/"), &ControlServer::page},
        {"GET", QStringLiteral("/page/{file}"), &ControlServer::pageFile},
        {"GET", QStringLiteral("/api/v1/stream"), &ControlServer::stream},
        {"GET", QStringLiteral("/api/v1/run"), &ControlServer::getRun},
    };
}

bool ControlServer::isPagePath(const QString& path)
{
    // A browser asks for the icon of every page it shows: it gets a 404, not a 401.
    return path == QLatin1String("/") || path.startsWith(QLatin1String("/page/")) ||
           path == QLatin1String("/favicon.ico");
}

ControlReply ControlServer::page(const HttpRequest&, const QStringList&)
{
    return file(":/control/page/dashboard.html", "text/html; charset=utf-8");
}

ControlReply ControlServer::pageFile(const HttpRequest&, const QStringList& params)
{
    for (const PageFile& known : kPageFiles) {
        if (params[0] == QLatin1String(known.name))
            return file(known.resource, known.type);
    }
    return ControlReply::error(HttpStatus::NotFound,
                               QStringLiteral("the page has no file %1").arg(params[0]));
}

ControlReply ControlServer::stream(const HttpRequest& request, const QStringList&)
{
    if (!request.header("accept").contains("text/event-stream"))
        return ControlReply::error(HttpStatus::NotAcceptable,
                                   QStringLiteral("this resource streams server-sent events: ask with "
                                                  "\"Accept: text/event-stream\""));
    std::shared_ptr<HttpStream> events = m_feed->open();
    if (!events)
        return ControlReply::error(HttpStatus::ServiceUnavailable,
                                   QStringLiteral("%1 clients follow the stream already; no more are taken")
                                       .arg(LiveFeed::kMaxClients));
    ControlReply reply;
    reply.contentType = "text/event-stream";
    reply.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    reply.stream = std::move(events);
    return reply;
}

ControlReply ControlServer::getRun(const HttpRequest&, const QStringList&)
{
    const RunPicture& picture = m_feed->picture();
    if (!picture.timeline())
        return ControlReply::error(HttpStatus::NotFound,
                                   QStringLiteral("no scenario has been loaded: no run to picture"));
    m_feed->updatePicture();
    const QList<ExpectationResult> results =
        m_expectations ? m_expectations->results() : QList<ExpectationResult>();
    return ControlReply::json(
        runReportJson(picture.title(), *picture.timeline(), results, m_log, kRunPictureUnits));
}
