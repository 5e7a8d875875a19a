#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

// A real HTTP client for the control API, waiting (with the event loop running) for each answer.
class HttpClient {
public:
    struct Answer {
        int status = 0; // 0: no answer in time
        QByteArray body;
        QByteArray contentType;
        QByteArray allow;
        QList<QNetworkReply::RawHeaderPair> headers;
        QByteArray header(const QByteArray& name) const
        {
            for (const auto& [key, value] : headers) {
                if (key.compare(name, Qt::CaseInsensitive) == 0)
                    return value;
            }
            return {};
        }
        QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    };

    explicit HttpClient(const QString& baseUrl, const QByteArray& token = {});

    Answer get(const QString& path) { return send("GET", path, {}); }
    Answer put(const QString& path, const QByteArray& body) { return send("PUT", path, body); }
    Answer post(const QString& path, const QByteArray& body) { return send("POST", path, body); }
    Answer remove(const QString& path) { return send("DELETE", path, {}); }
    Answer send(const QByteArray& method, const QString& path, const QByteArray& body);

private:
    QNetworkAccessManager m_manager;
    QString m_base;
    QByteArray m_token;
};
