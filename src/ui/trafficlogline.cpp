#include "trafficlogline.h"

#include "unit/discovery.h"
#include "unit/unitprofiles.h"

#include <cstring>

namespace {

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

} // namespace

qsizetype formatIPv4(quint32 address, char* out)
{
    return putAddress(out, address) - out;
}

qsizetype formatTrafficLogLine(const TrafficLogEntry& entry, char* out)
{
    using Kind = TrafficLogEntry::Kind;
    const bool incoming = entry.kind == Kind::UnitIncoming || entry.kind == Kind::DiscoveryIncoming;
    char* p = putText(out, incoming ? "--> " : "<-- ");
    p = putAddress(p, entry.address);
    *p++ = ':';
    p = putDecimal(p, entry.port);

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
        // No space after the hyphen: it runs straight into the reply's first byte.
        p = putText(p, " -");
        for (qsizetype i = 0; i < kUnitFrameSize; ++i) {
            if (i != 0)
                *p++ = ' ';
            p = putDecimal(p, entry.bytes[std::size_t(i)]);
        }
        break;
    case Kind::DiscoveryIncoming:
        // Only the exact request is ever logged, so the payload text is the request itself.
        p = putText(p, " - ");
        p = putText(p, kDiscoveryRequest);
        break;
    case Kind::DiscoveryOutgoing:
        p = putText(p, " - ");
        if (isValidProfileIndex(entry.count))
            p = putText(p, identityForProfile(entry.count));
        break;
    }
    return p - out;
}

QString trafficLogLine(const TrafficLogEntry& entry)
{
    char text[kMaxTrafficLogLine];
    return QString::fromLatin1(text, formatTrafficLogLine(entry, text));
}
