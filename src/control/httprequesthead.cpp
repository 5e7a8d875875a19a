#include "httprequesthead.h"

#include <QUrl>

#include <limits>
#include <optional>

namespace {
bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

// A Content-Length value: digits only. One too large for any use reads as the largest number.
std::optional<qint64> contentLength(QByteArrayView value)
{
    if (value.isEmpty())
        return std::nullopt;
    qint64 length = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length > (std::numeric_limits<qint64>::max() - 9) / 10 ? std::numeric_limits<qint64>::max()
                                                                        : length * 10 + (c - '0');
    }
    return length;
}

HttpRequestHead refused(int status, const QString& message)
{
    HttpRequestHead head;
    head.outcome = HttpRequestHead::Outcome::Refused;
    head.status = status;
    head.message = message;
    return head;
}
} // namespace

HttpRequestHead parseHttpRequestHead(QByteArrayView buffer, qsizetype scannedFrom, qsizetype maxHeaderBytes)
{
    const QString tooLong =
        QStringLiteral("the request's header block is longer than %1 bytes").arg(maxHeaderBytes);
    // Blank lines before a request are allowed (RFC 9112, 2.2): skipped, and not counted in the
    // block's length.
    qsizetype start = 0;
    while (start < buffer.size()) {
        if (buffer[start] == '\n')
            ++start;
        else if (buffer[start] == '\r' && start + 1 < buffer.size() && buffer[start + 1] == '\n')
            start += 2;
        else
            break;
    }
    // The block ends at the first empty line.
    qsizetype end = -1;
    qsizetype bodyStart = -1;
    for (qsizetype i = qMax(scannedFrom, start); i < buffer.size(); ++i) {
        if (buffer[i] != '\n')
            continue;
        const qsizetype next = i + 1;
        if (next < buffer.size() && buffer[next] == '\n') {
            end = next;
            bodyStart = next + 1;
            break;
        }
        if (next + 1 < buffer.size() && buffer[next] == '\r' && buffer[next + 1] == '\n') {
            end = next + 1;
            bodyStart = next + 2;
            break;
        }
    }
    if (end < 0) {
        if (buffer.size() - start > maxHeaderBytes)
            return refused(431, tooLong);
        HttpRequestHead head;
        head.scanned = qMax<qsizetype>(buffer.size() - 2, 0);
        return head;
    }
    // The block with the empty line that ends it.
    if (bodyStart - start > maxHeaderBytes)
        return refused(431, tooLong);

    QList<QByteArrayView> lines;
    for (qsizetype from = start; from < end;) {
        qsizetype to = buffer.indexOf('\n', from);
        if (to < 0 || to > end)
            to = end;
        QByteArrayView line = buffer.sliced(from, to - from);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        from = to + 1;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the empty line that ends the block
    if (lines.isEmpty())
        return refused(400, QStringLiteral("a request line is METHOD TARGET HTTP/1.1"));

    HttpRequestHead head;
    HttpRequest& request = head.request;
    const QList<QByteArray> words = lines.first().toByteArray().split(' ');
    if (words.size() != 3 || !isToken(words[0]) || words[1].isEmpty())
        return refused(400, QStringLiteral("a request line is METHOD TARGET HTTP/1.1"));
    request.method = words[0];
    request.target = words[1];
    if (words[2] == "HTTP/1.1")
        request.minorVersion = 1;
    else if (words[2] == "HTTP/1.0")
        request.minorVersion = 0;
    else
        return refused(words[2].startsWith("HTTP/") ? 505 : 400,
                       QStringLiteral("this server speaks HTTP/1.1 and HTTP/1.0"));

    QByteArray absoluteHost;
    const QUrl url(QString::fromLatin1(request.target), QUrl::StrictMode);
    if (request.target.startsWith('/')) {
        if (!url.isValid())
            return refused(400, QStringLiteral("the request target must be a path"));
    } else if (request.target.startsWith("http://") && url.isValid() && !url.host().isEmpty() &&
               url.userInfo().isEmpty() &&
               (url.path().isEmpty() || url.path().startsWith(QLatin1Char('/')))) {
        // The absolute form (RFC 9112, 3.2.2): its authority stands for Host.
        absoluteHost = url.authority(QUrl::FullyEncoded).toLatin1();
    } else {
        return refused(400, QStringLiteral("the request target must be a path"));
    }
    request.path = url.path(QUrl::FullyDecoded);
    if (request.path.isEmpty())
        request.path = QStringLiteral("/");
    request.query = QUrlQuery(url);

    for (qsizetype k = 1; k < lines.size(); ++k) {
        const QByteArrayView line = lines[k];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon))) {
            // A folded line (RFC 9112 5.2) or no field at all.
            return refused(400, QStringLiteral("a header line is NAME: VALUE"));
        }
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        if (value.contains('\r') || value.contains('\0'))
            return refused(400, QStringLiteral("a header value holds a bare CR or a NUL"));
        request.headers.append({line.first(colon).toByteArray().toLower(), value.toByteArray()});
    }

    // Requests are read to their end by length only: a body of another framing, or two lengths
    // that a proxy and this server could read differently, are refused.
    head.keepAlive = request.minorVersion == 1;
    qsizetype lengths = 0;
    qsizetype hosts = 0;
    for (const auto& [name, value] : std::as_const(request.headers)) {
        if (name == "content-length") {
            ++lengths;
        } else if (name == "host") {
            ++hosts;
        } else if (name == "transfer-encoding") {
            return refused(501, QStringLiteral("request bodies must come with Content-Length"));
        } else if (name == "connection") {
            const QByteArray options = value.toLower();
            if (options.contains("close"))
                head.keepAlive = false;
            else if (options.contains("keep-alive"))
                head.keepAlive = true;
        } else if (name == "expect") {
            if (value.compare("100-continue", Qt::CaseInsensitive) != 0)
                return refused(417, QStringLiteral("the only expectation this server meets is 100-continue"));
            head.expectsContinue = request.minorVersion == 1;
        }
    }
    if (lengths > 1)
        return refused(400, QStringLiteral("Content-Length is given more than once"));
    if (hosts > 1)
        return refused(400, QStringLiteral("Host is given more than once"));
    if (lengths == 1) {
        const std::optional<qint64> length = contentLength(request.header("content-length"));
        if (!length)
            return refused(400, QStringLiteral("Content-Length must be a number of bytes"));
        head.bodyLength = *length;
    }
    if (!absoluteHost.isEmpty()) {
        // The target's authority is the host the request is for, whatever Host says.
        for (auto& [name, value] : request.headers) {
            if (name == "host")
                value = absoluteHost;
        }
        if (hosts == 0)
            request.headers.append({QByteArray("host"), absoluteHost});
    } else if (request.minorVersion == 1 && hosts == 0) {
        return refused(400, QStringLiteral("an HTTP/1.1 request must name its Host"));
    }
    head.outcome = HttpRequestHead::Outcome::Complete;
    head.consumed = bodyStart;
    return head;
}
