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
    // The last lines, for a failed test's report: as many as `tail` says, from no earlier than `since`.
    quint64 from = since;
    if (query.hasQueryItem(QStringLiteral("tail"))) {
        const qsizetype tail = query.queryItemValue(QStringLiteral("tail")).toLongLong(&ok);
        if (!ok || tail < 1 || tail > kMaxLogLimit)
            return ControlReply::error(HttpStatus::BadRequest,
                                       QStringLiteral("tail must be from 1 to %1").arg(kMaxLogLimit));
        const quint64 end = m_log.endSeq();
        from = std::max(since, end > quint64(tail) ? end - quint64(tail) : 0);
        limit = tail;
    }
    // Lines cleared or removed are gone; a reader that asks for them gets what is left. The page
    // is written directly (keys in the order QJsonDocument would write them): 10,000 lines as
    // QJsonObjects would take far longer than reading them from the store.
    const quint64 end = m_log.endSeq();
    quint64 seq = m_log.heldFrom(from);
    LogLine line;
    QString error;
    QByteArray body("{\"entries\":[");
    body.reserve(qsizetype(std::min<quint64>(end - seq, quint64(limit))) * 400);
    QList<QByteArray> addresses;
    for (const QString& address : m_log.unitAddresses())
        addresses << address.toLatin1();
    for (qsizetype count = 0; seq < end && count < limit; ++count, seq = m_log.heldFrom(seq + 1)) {
        if (count != 0)
            body += ',';
        if (!m_log.lineWithSeq(seq, &line, &error)) {
            appendTrafficLogJson(
                body,
                TrafficLogEntry::notice(QStringLiteral("line cannot be read from the log store: ") + error),
                seq, 0, {});
            continue;
        }
        const bool notice = line.entry.isRemark();
        appendTrafficLogJson(body, line.entry, seq, int(line.unit),
                             notice ? QByteArrayView() : QByteArrayView(addresses.value(int(line.unit))),
                             addresses);
    }
    body += "],\"first\":" + QByteArray::number(m_log.firstSeq()) + ",\"next\":" + QByteArray::number(seq);
    if (const LogStore* store = m_log.store()) {
        QJsonObject about{{QStringLiteral("directory"), store->directory()},
                          {QStringLiteral("bytes"), store->bytesOnDisk()},
                          {QStringLiteral("diskLimit"), store->diskLimit()},
                          {QStringLiteral("linesRemoved"), qint64(store->linesRemovedTotal())},
                          {QStringLiteral("linesLost"), qint64(m_log.linesLost())},
                          {QStringLiteral("storing"), store->failure().isEmpty()}};
        if (!store->failure().isEmpty())
            about.insert(QStringLiteral("error"), store->failure());
        body += ",\"store\":" + QJsonDocument(about).toJson(QJsonDocument::Compact);
    }
    body += '}';
    ControlReply reply;
    reply.body = std::move(body);
    return reply;
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
