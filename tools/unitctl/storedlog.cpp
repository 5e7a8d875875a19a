#include "storedlog.h"

#include "log/logstore.h"
#include "log/trafficlogjson.h"
#include "log/trafficlogline.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {
constexpr qsizetype kOutputPieceBytes = 1024 * 1024;

// The fleet's unit addresses the run wrote down, by index (none for the single unit).
QStringList unitAddressesOf(const QString& directory)
{
    QFile file(directory + QLatin1Char('/') + QLatin1String(LogStore::kMetadataFile));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList addresses;
    for (const QJsonValue& value :
         QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("units")).toArray())
        addresses << value.toString();
    return addresses;
}
} // namespace

int printStoredLog(const QString& directory, quint64 since, bool json)
{
    LogStoreReader reader(directory);
    QStringList notes;
    QString error;
    if (!reader.scan(&notes, &error)) {
        std::fprintf(stderr, "unitctl: %s\n", qPrintable(error));
        return 2;
    }
    for (const QString& note : std::as_const(notes))
        std::fprintf(stderr, "unitctl: %s\n", qPrintable(note));
    const QStringList addresses = unitAddressesOf(directory);
    QByteArray out;
    LogLine line;
    quint64 unreadable = 0;
    char text[kMaxTrafficLogLine];
    for (quint64 seq = std::max(since, reader.firstSeq()); seq < reader.endSeq(); ++seq) {
        if (!reader.read(seq, &line, &error)) {
            // A damaged block is said once, and reading goes on after it.
            if (unreadable++ == 0)
                std::fprintf(stderr, "unitctl: %s\n", qPrintable(error));
            continue;
        }
        const bool notice = line.entry.isRemark();
        const QString address = notice ? QString() : addresses.value(int(line.unit));
        if (json) {
            appendTrafficLogJson(out, line.entry, seq, int(line.unit), address.toLatin1());
        } else {
            if (!address.isEmpty())
                out += address.toLatin1() + ' ';
            out.append(text, formatTrafficLogLine(line.entry, text));
        }
        out += '\n';
        if (out.size() >= kOutputPieceBytes) {
            std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
            out.clear();
        }
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    if (unreadable > 0)
        std::fprintf(stderr, "unitctl: %llu line%s could not be read\n",
                     static_cast<unsigned long long>(unreadable), unreadable == 1 ? "" : "s");
    // Lines lost are no clean read: a script that keeps the output must know.
    return unreadable > 0 ? 3 : 0;
}
