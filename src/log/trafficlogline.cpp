#include "trafficlogline.h"

#include "record/unitprofiles.h"

#include <algorithm>
#include <cstring>

namespace {
// Kept free at the end of a line for what follows the datagram (why it was not answered, or
// not sent), so that a long datagram never pushes it past the line's room.
constexpr qsizetype kSuffixRoom = 128;

char* putText(char* p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* putDecimal(char* p, unsigned value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

char* putAddress(char* p, quint32 address)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        p = putDecimal(p, (address >> shift) & 0xffu);
        if (shift != 0)
            *p++ = '.';
    }
    return p;
}

// Bytes as text: printable ASCII as it is, anything else (and the backslash) as \xNN, so that a
// changed reply can never break a line. Stops short of `end`, marking the cut with "...".
char* putEscaped(char* p, char* end, QByteArrayView bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = quint8(c);
        const bool plain = byte >= 0x20 && byte < 0x7f && byte != '\\';
        if (end - p < (plain ? 1 : 4) + 3)
            return putText(p, "...");
        if (plain) {
            *p++ = c;
        } else {
            *p++ = '\\';
            *p++ = 'x';
            *p++ = kHex[byte >> 4];
            *p++ = kHex[byte & 0xf];
        }
    }
    return p;
}

} // namespace

qsizetype formatTrafficLogLine(const TrafficLogEntry& entry, char* out)
{
    using Kind = TrafficLogEntry::Kind;
    char* const end = out + kMaxTrafficLogLine;
    if (entry.isRemark()) {
        char* p = putText(out, entry.kind == Kind::Event ? "*** " : "!!! ");
        if (entry.note)
            p = putEscaped(p, end, entry.note->text);
        return p - out;
    }
    if (entry.isFault()) {
        char* p = putText(out, "!!! fault ");
        if (entry.note)
            p = putEscaped(p, end, entry.note->text);
        return p - out;
    }
    // Incoming lines name the simulator's own port; outgoing lines the port the reply went to.
    const bool incoming = entry.isIncoming();
    const QByteArrayView unanswered = entry.unansweredBecause();
    const bool notSent = entry.notSent && entry.note;
    char* const bodyEnd = unanswered.isEmpty() && !notSent ? end : end - kSuffixRoom;
    // A reply that did not leave is marked as such from its first character; a proxy's legs to
    // the real unit have arrows of their own.
    char* p = putText(out, entry.kind == Kind::RelayOut  ? (entry.notSent ? "=X> " : "==> ")
                           : entry.kind == Kind::RelayIn ? "<== "
                           : incoming                    ? "--> "
                           : entry.notSent               ? "<-X "
                                                         : "<-- ");
    p = putAddress(p, entry.address);
    *p++ = ':';
    p = putDecimal(p, incoming ? entry.localPort : entry.remotePort);

    switch (entry.kind) {
    case Kind::UnitIncoming:
        // Each position is preceded by a space, so the line shows two spaces after the hyphen.
        // Positions a short datagram lacks show "-", never a made-up zero.
        p = putText(p, " - ");
        for (qsizetype i = 0; i < kUnitFrameSize; ++i) {
            *p++ = ' ';
            if (i < entry.count)
                p = putDecimal(p, entry.bytes[std::size_t(i)]);
            else
                *p++ = '-';
        }
        break;
    case Kind::UnitOutgoing:
        // No space after the hyphen: it runs straight into the reply's first byte. A reply that
        // a fault cut shows only the bytes that left.
        p = putText(p, " -");
        for (qsizetype i = 0; i < std::min<qsizetype>(entry.count, kUnitFrameSize); ++i) {
            if (i != 0)
                *p++ = ' ';
            p = putDecimal(p, entry.bytes[std::size_t(i)]);
        }
        break;
    case Kind::DiscoveryIncoming:
        // The request as it arrived, as text.
        p = putText(p, " - ");
        p = putEscaped(p, bodyEnd,
                       QByteArrayView(reinterpret_cast<const char*>(entry.bytes.data()),
                                      std::min<qsizetype>(entry.count, kUnitFrameSize)));
        break;
    case Kind::DiscoveryOutgoing:
        p = putText(p, " - ");
        if (entry.note)
            p = putEscaped(p, bodyEnd, entry.note->reply);
        else if (isValidProfileIndex(entry.profile))
            p = putText(p, identityForProfile(entry.profile));
        break;
    case Kind::RelayOut:
    case Kind::RelayIn:
        // As they went: text to and from the discovery port, the bytes in numbers otherwise.
        p = putText(p, " - ");
        if (entry.remotePort == kDiscoveryPort) {
            p = putEscaped(p, bodyEnd, entry.payload());
        } else {
            // A datagram far longer than a frame is cut where the line ends, and the cut marked.
            const QByteArrayView bytes = entry.payload();
            for (qsizetype i = 0; i < bytes.size(); ++i) {
                if (bodyEnd - p < 4 + 4) {
                    p = putText(p, "...");
                    break;
                }
                if (i != 0)
                    *p++ = ' ';
                p = putDecimal(p, quint8(bytes[i]));
            }
        }
        break;
    case Kind::UnitFault:
    case Kind::DiscoveryFault:
    case Kind::Notice:
    case Kind::Event:
        break;
    }
    // A request the unit left unanswered because it was down says so: the controller did send it.
    if (!unanswered.isEmpty()) {
        p = putText(p, " (");
        p = putEscaped(p, end - 1, unanswered);
        *p++ = ')';
    }
    if (notSent) {
        p = putText(p, " (not sent: ");
        p = putEscaped(p, end - 1, entry.note->text);
        *p++ = ')';
    }
    return p - out;
}

QString trafficLogLine(const TrafficLogEntry& entry)
{
    char text[kMaxTrafficLogLine];
    return QString::fromLatin1(text, formatTrafficLogLine(entry, text));
}

QString ipv4Text(quint32 address)
{
    char text[16];
    return QString::fromLatin1(text, putAddress(text, address) - text);
}
