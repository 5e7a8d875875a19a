#include "verifyclient.h"

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
    const QUrl url(QStringLiteral("http://%1/api/v1/verify").arg(api));
    if (!url.isValid() || url.host().isEmpty() || url.port() <= 0) {
        std::fprintf(stderr, "unitctl: verify needs the control API as HOST:PORT, not '%s'\n",
                     qPrintable(api));
        return Usage;
    }
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = network.post(request, document.toJson(QJsonDocument::Compact));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (status == 0) {
        std::fprintf(stderr, "unitctl: no answer from the control API at %s: %s\n", qPrintable(api),
                     qPrintable(reply->errorString()));
        return Unreachable;
    }
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    if (status != 200) {
        std::fprintf(stderr, "unitctl: the control API refused the matcher (%d): %s\n", status,
                     qPrintable(answer.value(QStringLiteral("error")).toString(QString::fromUtf8(body))));
        return Usage;
    }
    if (json)
        std::printf("%s\n", QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
    else
        printHuman(answer);
    return answer.value(QStringLiteral("matched")).toBool() ? Matched : NotMatched;
}
