#include "unitaddress.h"

#include <QNetworkInterface>
#include <QRegularExpression>

std::optional<QHostAddress> parseUnitAddress(const QString& text)
{
    QHostAddress address;
    static const QRegularExpression dotted(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
    if (!dotted.match(text).hasMatch() || !address.setAddress(text))
        return std::nullopt;
    return address;
}

QString unitAddressProblem(quint32 first, quint32 last)
{
    const auto within = [&](quint32 low, quint32 high) { return first <= high && last >= low; };
    const auto where = [&](quint32 address) {
        return first == last ? QString()
                             : QStringLiteral(" (%1 is among them)").arg(QHostAddress(address).toString());
    };
    if (within(0, 0))
        return QStringLiteral("0.0.0.0 stands for every address, not for one unit") + where(0);
    if (within(0xffffffffu, 0xffffffffu))
        return QStringLiteral("255.255.255.255 is the broadcast address") + where(0xffffffffu);
    if (within(0xe0000000u, 0xefffffffu))
        return QStringLiteral("multicast addresses (224.0.0.0 to 239.255.255.255) are not one unit's") +
               where(std::max(first, 0xe0000000u));
    if (within(0x7fffffffu, 0x7fffffffu))
        return QStringLiteral("127.255.255.255 is loopback's broadcast address") + where(0x7fffffffu);
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const quint32 broadcast = entry.broadcast().toIPv4Address();
            if (broadcast != 0 && within(broadcast, broadcast))
                return QStringLiteral("%1 is the broadcast address of %2")
                           .arg(QHostAddress(broadcast).toString(), interface.humanReadableName()) +
                       where(broadcast);
        }
    }
    return {};
}
