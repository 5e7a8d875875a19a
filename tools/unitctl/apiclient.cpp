#include "apiclient.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {
enum Status { Matched = 0, NotMatched = 1, Usage = 2, Unreachable = 4 };

void printHuman(const QJsonObject& answer)
{
    const bool matched = answer.value(QStringLiteral("matched")).toBool();
    QStringList first;
    for (const QJsonValue seq : answer.value(QStringLiteral("first")).toArray())
        first << QString::number(seq.toInteger());
    const qint64 count = answer.value(QStringLiteral("count")).toInteger();
    std::printf(
        "%s: %lld matching request%s of %lld%s\n", matched ? "matched" : "not matched", qlonglong(count),
        count == 1 ? "" : "s", qlonglong(answer.value(QStringLiteral("scanned")).toInteger()),
        first.isEmpty() ? "" : qPrintable(QStringLiteral("; the first at line ") + first.join(u", ")));
    if (const QString error = answer.value(QStringLiteral("error")).toString(); !error.isEmpty())
        std::printf("the log could not be read to its end: %s\n", qPrintable(error));
    for (const QJsonValue miss : answer.value(QStringLiteral("nearMisses")).toArray()) {
        std::printf("near miss, line %lld: %s\n", qlonglong(miss[QStringLiteral("seq")].toInteger()),
                    qPrintable(miss[QStringLiteral("text")].toString()));
        for (const QJsonValue difference : miss[QStringLiteral("differences")].toArray())
            std::printf("  %s\n", qPrintable(difference.toString()));
    }
}
} // namespace

namespace {
struct Answer {
    int status = 0; // 0: none came
    QByteArray body;
    QString error;
};

// One request to the API, waited for at most `timeoutMs`.
Answer ask(const QUrl& url, const QByteArray& method, const QByteArray& body, const QByteArray& token,
           int timeoutMs)
{
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->errorString()};
}

// http://HOST:PORT/PATH, or an invalid URL when `api` is no HOST:PORT.
QUrl apiUrl(const QString& api, const QString& path)
{
    const QUrl url(QStringLiteral("http://%1%2").arg(api, path));
    if (!url.isValid() || url.host().isEmpty() || url.port() <= 0 || url.path() != path)
        return {};
    return url;
}
} // namespace

int verifyMatcher(const QString& api, const QByteArray& matcher, const QByteArray& token, bool json,
                  int timeoutMs)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(matcher, &parseError);
    if (!document.isObject()) {
        std::fprintf(stderr, "unitctl: the matcher is no JSON object (%s)\n",
                     qPrintable(parseError.error == QJsonParseError::NoError ? QStringLiteral("not an object")
                                                                             : parseError.errorString()));
        return Usage;
    }
    const QUrl url = apiUrl(api, QStringLiteral("/api/v1/verify"));
    if (url.isEmpty()) {
        std::fprintf(stderr, "unitctl: verify needs the control API as HOST:PORT, not '%s'\n",
                     qPrintable(api));
        return Usage;
    }
    const Answer reply = ask(url, "POST", document.toJson(QJsonDocument::Compact), token, timeoutMs);
    if (reply.status == 0) {
        std::fprintf(stderr, "unitctl: no answer from the control API at %s: %s\n", qPrintable(api),
                     qPrintable(reply.error));
        return Unreachable;
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if (reply.status != 200) {
        std::fprintf(
            stderr, "unitctl: the control API refused the matcher (%d): %s\n", reply.status,
            qPrintable(answer.value(QStringLiteral("error")).toString(QString::fromUtf8(reply.body))));
        return Usage;
    }
    if (json)
        std::printf("%s\n", QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
    else
        printHuman(answer);
    return answer.value(QStringLiteral("matched")).toBool() ? Matched : NotMatched;
}

int checkHealth(const QString& api, const QByteArray& token, bool json, int timeoutMs)
{
    const QUrl url = apiUrl(api, QStringLiteral("/api/v1/health"));
    if (url.isEmpty()) {
        std::fprintf(stderr, "unitctl: health needs the control API as HOST:PORT, not '%s'\n",
                     qPrintable(api));
        return Usage;
    }
    const Answer reply = ask(url, "GET", {}, token, timeoutMs);
    if (reply.status == 0) {
        std::fprintf(stderr, "unitctl: no answer from the control API at %s: %s\n", qPrintable(api),
                     qPrintable(reply.error));
        return Unreachable;
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if ((reply.status != 200 && reply.status != 503) || !answer.contains(QStringLiteral("ready"))) {
        // A wrong token (401), or something else listening there.
        std::fprintf(
            stderr, "unitctl: the control API at %s answered %d: %s\n", qPrintable(api), reply.status,
            qPrintable(answer.value(QStringLiteral("error")).toString(QString::fromUtf8(reply.body))));
        return Usage;
    }
    const bool ready = answer.value(QStringLiteral("ready")).toBool();
    if (json)
        std::printf("%s\n", QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
    else if (ready)
        std::printf("ready: %lld units listening\n",
                    qlonglong(answer.value(QStringLiteral("units")).toInteger()));
    else
        std::printf("not ready: %s\n", qPrintable(answer.value(QStringLiteral("reason")).toString()));
    return ready ? Matched : NotMatched;
}
