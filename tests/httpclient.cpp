#include "httpclient.h"

#include <QBuffer>
#include <QNetworkReply>
#include <QTest>

HttpClient::HttpClient(const QString& baseUrl, const QByteArray& token)
    : m_base(baseUrl)
    , m_token(token)
{
}

HttpClient::Answer HttpClient::send(const QByteArray& method, const QString& path, const QByteArray& body)
{
    QNetworkRequest request(QUrl(m_base + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token);
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<QNetworkReply> reply(m_manager.sendCustomRequest(request, method, &buffer));
    Answer answer;
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000))
        return answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.contentType = reply->rawHeader("Content-Type");
    answer.allow = reply->rawHeader("Allow");
    answer.headers = reply->rawHeaderPairs();
    return answer;
}
