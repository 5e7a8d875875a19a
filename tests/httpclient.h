#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QUrl>

// A real HTTP client for the control API, waiting (with the event loop running) for each answer.
class HttpClient {
public:
    struct Answer {
        int status = 0; // 0: no answer in time
        QByteArray body;
        QByteArray contentType;
        QByteArray allow;
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
