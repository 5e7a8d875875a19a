#include "controlserver.h"

#include "capture/trafficcapture.h"
#include "log/trafficlogjson.h"
#include "log/trafficlogmodel.h"

namespace {
constexpr qsizetype kDefaultLogLimit = 1000;
constexpr qsizetype kMaxLogLimit = 10000;
// How much of a capture download is made at a time: a few thousand packets, well under a
// millisecond's work.
constexpr qsizetype kCapturePieceBytes = 256 * 1024;
} // namespace

QList<ControlServer::Binding> ControlServer::logBindings()
{
    return {
        {"GET", QStringLiteral("/api/v1/log"), &ControlServer::getLog},
        {"DELETE", QStringLiteral("/api/v1/log"), &ControlServer::deleteLog},
        {"GET", QStringLiteral("/api/v1/capture.pcap"), &ControlServer::capture},
    };
}

ControlReply ControlServer::getLog(const HttpRequest& request, const QStringList&)
{
    const QUrlQuery query = request.query;
    bool ok = true;
    const quint64 since = query.hasQueryItem(QStringLiteral("since"))
                              ? query.queryItemValue(QStringLiteral("since")).toULongLong(&ok)
                              : 0;
    if (!ok)
        return ControlReply::error(HttpStatus::BadRequest,
                                   QStringLiteral("since must be a sequence number from 0"));
    qsizetype limit = kDefaultLogLimit;
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        limit = query.queryItemValue(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || limit < 1 || limit > kMaxLogLimit)
            return ControlReply::error(HttpStatus::BadRequest,
                                       QStringLiteral("limit must be from 1 to %1").arg(kMaxLogLimit));
    }
    // Lines cleared away are gone; a reader that asks for them gets what is left.
    const quint64 first = std::clamp(since, m_log.firstSeq(), m_log.endSeq());
    const quint64 end = std::min(m_log.endSeq(), first + quint64(limit));
    QJsonArray entries;
    for (quint64 seq = first; seq < end; ++seq)
        entries.append(trafficLogJson(m_log.entryWithSeq(seq), seq, m_log.unitWithSeq(seq),
                                      m_log.unitAddressWithSeq(seq)));
    return ControlReply::json(QJsonObject{{QStringLiteral("entries"), entries},
                                          {QStringLiteral("next"), qint64(end)},
                                          {QStringLiteral("first"), qint64(m_log.firstSeq())}});
}

ControlReply ControlServer::deleteLog(const HttpRequest&, const QStringList&)
{
    m_log.clear();
    return ControlReply::empty();
}

ControlReply ControlServer::capture(const HttpRequest&, const QStringList&)
{
    // A piece at a time as the client takes it: a large log never holds the event loop (and the
    // units) for long, nor sits in memory twice.
    ControlReply reply;
    reply.contentType = "application/vnd.tcpdump.pcap";
    auto stream = std::make_shared<TrafficCapture::LogStream>(m_log);
    reply.next = [stream] { return stream->next(kCapturePieceBytes); };
    return reply;
}
