#include "controlserver.h"

#include "livefeed.h"

#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "unit/unitsimulator.h"

#include <QJsonParseError>
#include <QUrl>

namespace {
// Bytes compared in full whatever they hold, so that the time taken says nothing of the token.
bool sameSecret(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// "NAME" or "NAME:PORT" (the name maybe "[IPv6]") split in two; the port is -1 when absent and
// -2 when it is no port.
std::pair<QByteArray, int> splitHostPort(QByteArrayView text)
{
    qsizetype colon = text.lastIndexOf(':');
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0)
            return {{}, -2};
        colon = close + 1 < text.size() && text[close + 1] == ':' ? close + 1 : -1;
        if (colon < 0 && close + 1 != text.size())
            return {{}, -2};
    }
    if (colon < 0)
        return {text.toByteArray().toLower(), -1};
    bool ok = false;
    const uint port = text.sliced(colon + 1).toByteArray().toUInt(&ok);
    return {text.first(colon).toByteArray().toLower(), ok && port <= 65535 ? int(port) : -2};
}

bool isJsonType(QByteArrayView contentType)
{
    const qsizetype semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.first(semicolon))
               .trimmed()
               .compare("application/json", Qt::CaseInsensitive) == 0;
}
} // namespace

ControlServer::ControlServer(ScenarioSession& session, TrafficLogModel& log, const QByteArray& token,
                             QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_log(log)
    , m_token(token)
    , m_feed(std::make_unique<LiveFeed>(session, log))
    , m_http([this](const HttpRequest& head, const QHostAddress& local) { return screen(head, local); },
             [this](const HttpRequest& request) { return handle(request); })
{
    HttpServer::Limits limits;
    limits.bodyLimitBytes = kBodyLimitBytes;
    m_http.setLimits(limits);
    m_scenarioReader.setMaxThreadCount(1);
    m_scenarioReader.setExpiryTimeout(-1);
    connect(&m_session, &ScenarioSession::trafficLogged, this,
            [this](int, const TrafficLogEntry& entry) { count(entry); });
}

const QList<UnitSimulator*>& ControlServer::units() const
{
    return m_session.units();
}

ControlServer::~ControlServer() = default;

void ControlServer::setExpectations(ExpectationMonitor* monitor)
{
    m_expectations = monitor;
    m_feed->setExpectations(monitor);
}

bool ControlServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    return m_http.listen(address, port, error);
}

QString ControlServer::url() const
{
    if (m_http.serverPort() == 0)
        return {};
    const QHostAddress address = m_http.serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return QStringLiteral("http://%1:%2").arg(host).arg(m_http.serverPort());
}

const QList<ControlServer::Binding>& ControlServer::bindings()
{
    static const QList<Binding> table = unitBindings() + logBindings() + faultBindings() + peerBindings() +
                                        verifyBindings() + scenarioBindings() + healthBindings() +
                                        serviceBindings() + liveBindings();
    return table;
}

QList<ControlServer::Route> ControlServer::routes()
{
    QList<Route> out;
    for (const Binding& binding : bindings())
        out.append({binding.method, binding.path});
    return out;
}

bool ControlServer::isOwnHost(QByteArrayView host, const QHostAddress& local) const
{
    // Loopback by name or number, or the address the client reached the API on. Any other name
    // may be a page's own, resolving to this machine (DNS rebinding).
    if (host == "localhost" || host == "localhost." || host.endsWith(".localhost"))
        return true;
    QHostAddress address;
    const QByteArrayView bare =
        host.startsWith('[') && host.endsWith(']') ? host.sliced(1, host.size() - 2) : host;
    if (!address.setAddress(QString::fromLatin1(bare)))
        return false;
    // Only dotted decimal: "2130706433" and "0x7f.1" are addresses to a resolver, not to us.
    if (address.protocol() == QAbstractSocket::IPv4Protocol && address.toString().toLatin1() != bare)
        return false;
    return address.isLoopback() || address.isEqual(local, QHostAddress::ConvertV4MappedToIPv4) ||
           address.isEqual(m_http.serverAddress(), QHostAddress::ConvertV4MappedToIPv4);
}

std::optional<HttpResponse> ControlServer::screen(const HttpRequest& head, const QHostAddress& local) const
{
    // The page's files hold no data; everything it shows comes through requests with the token.
    const bool pageFile = (head.method == "GET" || head.method == "HEAD") && isPagePath(head.path);
    if (!m_token.isEmpty() && !pageFile && !sameSecret(head.header("authorization"), "Bearer " + m_token)) {
        ControlReply reply = ControlReply::error(
            HttpStatus::Unauthorized, QStringLiteral("this API needs \"Authorization: Bearer TOKEN\""));
        reply.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer")));
        return std::move(reply).toResponse();
    }
    // HTTP/1.0 may leave the Host out; when given, it must be ours.
    const QByteArray hostHeader = head.header("host");
    if (!hostHeader.isNull()) {
        const auto [host, port] = splitHostPort(hostHeader);
        if (port == -2 || !isOwnHost(host, local))
            return ControlReply::error(
                       HttpStatus::MisdirectedRequest,
                       QStringLiteral("this API answers to localhost, a loopback address or the "
                                      "address it listens on, not to '%1'")
                           .arg(QString::fromLatin1(hostHeader)))
                .toResponse();
    }
    // A browser names the page a request comes from: only the API's own may steer it.
    const QByteArray origin = head.header("origin");
    if (!origin.isNull()) {
        const QUrl url(QString::fromLatin1(origin));
        const int originPort = url.port(80);
        if (url.scheme() != QLatin1String("http") || !isOwnHost(url.host().toLatin1(), local) ||
            originPort != m_http.serverPort())
            return ControlReply::error(HttpStatus::Forbidden,
                                       QStringLiteral("requests from the page at %1 are not taken")
                                           .arg(QString::fromLatin1(origin)))
                .toResponse();
    }
    // A page may send a form or plain text anywhere without asking first; JSON it may not.
    const QByteArray length = head.header("content-length");
    if (!length.isNull() && length != "0" && !isJsonType(head.header("content-type")))
        return ControlReply::error(
                   HttpStatus::UnsupportedMediaType,
                   QStringLiteral("a request body must be sent as Content-Type: application/json"))
            .toResponse();
    return std::nullopt;
}

HttpResponse ControlServer::handle(const HttpRequest& request)
{
    return dispatch(request).toResponse();
}

ControlReply ControlServer::dispatch(const HttpRequest& request)
{
    const QStringList parts = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // HEAD is GET without the body, which the connection leaves out.
    const QByteArray method = request.isHead() ? QByteArray("GET") : request.method;
    QByteArray allowed;
    for (const Binding& binding : bindings()) {
        const QStringList pattern = binding.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (pattern.size() != parts.size())
            continue;
        QStringList params;
        bool matches = true;
        for (qsizetype i = 0; i < parts.size() && matches; ++i) {
            if (pattern[i].startsWith(QLatin1Char('{')))
                params << parts[i];
            else
                matches = pattern[i] == parts[i];
        }
        if (!matches)
            continue;
        if (binding.method == method)
            return (this->*binding.handler)(request, params);
        // Wherever GET is taken, so is HEAD.
        allowed +=
            (allowed.isEmpty() ? "" : ", ") + binding.method + (binding.method == "GET" ? ", HEAD" : "");
    }
    if (allowed.isEmpty())
        return ControlReply::error(HttpStatus::NotFound,
                                   QStringLiteral("no such resource: %1").arg(request.path));
    ControlReply reply = ControlReply::error(
        HttpStatus::MethodNotAllowed,
        QStringLiteral("%1 does not take %2; it takes %3")
            .arg(request.path, QString::fromLatin1(request.method), QString::fromLatin1(allowed)));
    reply.headers.append(qMakePair(QByteArray("Allow"), allowed));
    return reply;
}

namespace control {
std::optional<QJsonObject> bodyObject(const HttpRequest& request, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("bad JSON: ") + parseError.errorString();
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the body must be a JSON object");
        return std::nullopt;
    }
    return document.object();
}

std::optional<int> wholeNumber(const QJsonValue& value, int low, int high)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != double(qint64(number)) || number < low || number > high)
        return std::nullopt;
    return int(number);
}

bool listensEverywhere(const UnitSimulator& unit)
{
    return unit.address() == QHostAddress(QHostAddress::AnyIPv4);
}
} // namespace control
