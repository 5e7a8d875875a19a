#pragma once

#include "httpmessage.h"

#include <QByteArrayView>
#include <QString>

// The header block of an HTTP/1.x request, read from the bytes a connection has so far: a pure
// function of them, so that what a client may send can be fuzzed on its own.
//
// Blank lines before a request are skipped. Lines end in CRLF or a bare LF. Refused (with the
// status to answer): a block longer than the limit (431); a request line that is not METHOD
// TARGET HTTP/1.x (400, or 505 for another version); a target that is neither a path nor an
// absolute http:// URL (400); a header line that is not NAME: VALUE, or a value with a bare CR or
// a NUL (400); Host given twice, or missing in HTTP/1.1 (400); Content-Length twice or not a
// number (400); a Transfer-Encoding (501: bodies come with Content-Length only); an Expect other
// than 100-continue (417).
struct HttpRequestHead {
    enum class Outcome { Incomplete, Complete, Refused };
    Outcome outcome = Outcome::Incomplete;
    // Complete: the request without its body, and the bytes the block took (blank lines before
    // it included). Incomplete: how far the buffer is known to hold no end of the block.
    HttpRequest request;
    qsizetype consumed = 0;
    qsizetype scanned = 0;
    qint64 bodyLength = 0;
    bool keepAlive = true;
    bool expectsContinue = false; // "Expect: 100-continue"
    // Refused: what to answer.
    int status = 0;
    QString message;
};

// Reads the block at the start of `buffer`, which is known to hold no end of it before
// `scannedFrom` (what an earlier Incomplete said), within `maxHeaderBytes`.
HttpRequestHead parseHttpRequestHead(QByteArrayView buffer, qsizetype scannedFrom, qsizetype maxHeaderBytes);
