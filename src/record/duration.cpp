#include "duration.h"

#include <QRegularExpression>

#include <cmath>

std::optional<qint64> parseDuration(QStringView text)
{
    static const QRegularExpression form(
        QStringLiteral("^\\s*(\\d{1,10}(?:\\.\\d{1,6})?)\\s*(ms|s|m|h)\\s*$"));
    const QRegularExpressionMatch match = form.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    const double number = match.capturedView(1).toDouble();
    const QStringView unit = match.capturedView(2);
    const double scale = unit == QLatin1String("ms")  ? 1
                         : unit == QLatin1String("s") ? 1000
                         : unit == QLatin1String("m") ? 60000
                                                      : 3600000;
    const double ms = number * scale;
    if (ms > double(kMaxDurationMs))
        return std::nullopt;
    return qint64(std::llround(ms));
}

QString durationText(qint64 ms)
{
    if (ms != 0 && ms % 60000 == 0)
        return QStringLiteral("%1m").arg(ms / 60000);
    if (ms % 1000 == 0)
        return QStringLiteral("%1s").arg(ms / 1000);
    return QStringLiteral("%1ms").arg(ms);
}
