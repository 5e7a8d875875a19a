#include "trafficlogline.h"

#include "unit/unitprofiles.h"

#include <algorithm>
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
        // The request as it arrived, as text.
        p = putText(p, " - ");
        p = putText(p, std::string_view(reinterpret_cast<const char*>(entry.bytes.data()),
                                        std::min<std::size_t>(entry.count, entry.bytes.size())));
        break;
    case Kind::DiscoveryOutgoing:
        p = putText(p, " - ");
        if (isValidProfileIndex(entry.profile))
            p = putText(p, identityForProfile(entry.profile));
        break;
    }
    return p - out;
}

QString trafficLogLine(const TrafficLogEntry& entry)
{
    char text[kMaxTrafficLogLine];
    return QString::fromLatin1(text, formatTrafficLogLine(entry, text));
}
