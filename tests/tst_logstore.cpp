// The traffic log on disk: every kind of line read back exactly, a model whose old lines live
// only in the store, the disk limit, Clear, the store's directory, and runs that were killed or
// ran out of disk (the real program, on the unit's fixed ports).
#include "capture/trafficcapture.h"
#include "httpclient.h"
#include "log/logstore.h"
#include "log/trafficlogjson.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "programs.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <random>

#include <sys/mount.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr quint32 kController = 0xC0000205; // 192.0.2.5

// One of every kind of line the log holds, with notes, marks and short datagrams.
QList<TrafficLogEntry> everyKindOfLine()
{
    UnitFrame reply{};
    reply.fill(125);
    reply[0] = 254;
    reply[1] = 50;
    reply[28] = 255;
    QList<TrafficLogEntry> lines{
        TrafficLogEntry::unitIncoming(kController, 50000, 4003, unitFrame(0, repeated(7, 24)), 3),
        TrafficLogEntry::unitIncoming(kController, 50001, 4000, QByteArray("\x00\x32\x01", 3), 0),
        TrafficLogEntry::unitOutgoing(kController, 50000, reply, 3, 4003)
            .answering(TrafficLogEntry::Command::ChannelQuery),
        TrafficLogEntry::unitOutgoing(kController, 50000, QByteArray("\xfe\x33", 2), 8)
            .notSentBecause(u"Network is unreachable"_s),
        TrafficLogEntry::discoveryIncoming(kController, 40000, 65535, "X", 5),
        TrafficLogEntry::discoveryOutgoing(kController, 40000, 5),
        TrafficLogEntry::discoveryOutgoing(kController, 40000, 2, QByteArray("changed\x00\xff reply", 16)),
        TrafficLogEntry::fault(TrafficLogEntry::Kind::UnitFault, kController, 50000, 1,
                               u"RULE 2: drop channel-query"_s, FaultKind::ChannelQuery),
        TrafficLogEntry::notice(u"log store: a word about the log"_s),
        TrafficLogEntry::event(u"scenario: reboot 127.0.1.7 for 2 s"_s),
        TrafficLogEntry::unitIncoming(kController, 50002, 4001, unitFrame(50), 1),
    };
    // A request that reached a unit which was offline carries that state.
    lines.last().note = new TrafficLogNote;
    lines.last().note->text = "offline";
    lines[4].alsoHeardByOthers = 1;
    qint64 time = 1'800'000'000'000'000;
    for (TrafficLogEntry& line : lines)
        line.timeUs = (time += 1234567); // times far apart and not in step with the rows
    lines[5].timeUs -= 5'000'000;        // the clock stepped back
    return lines;
}

bool sameEntry(const TrafficLogEntry& a, const TrafficLogEntry& b)
{
    const bool sameNote = bool(a.note) == bool(b.note) &&
                          (!a.note || (a.note->text == b.note->text && a.note->reply == b.note->reply));
    return a.address == b.address && a.remotePort == b.remotePort && a.localPort == b.localPort &&
           a.kind == b.kind && a.count == b.count && a.bytes == b.bytes && a.profile == b.profile &&
           a.notSent == b.notSent && a.alsoHeardByOthers == b.alsoHeardByOthers && a.answers == b.answers &&
           a.timeUs == b.timeUs && sameNote;
}

// A line with its own number in it, so that any line read back shows where it came from.
TrafficLogEntry numberedLine(quint64 n, std::mt19937* random = nullptr)
{
    QList<int> values;
    for (int k = 0; k < 24; ++k)
        values << (random ? int((*random)() % 256) : int((n >> (k % 4 * 8)) & 0xff));
    TrafficLogEntry entry =
        TrafficLogEntry::unitIncoming(kController, quint16(n), 4000, unitFrame(0, values), 0);
    entry.timeUs = 1'800'000'000'000'000 + qint64(n) * 50;
    return entry;
}

qint64 bytesOfFilesIn(const QString& directory)
{
    qint64 total = 0;
    for (QDirIterator it(directory, {u"segment-*.log"_s}, QDir::Files); it.hasNext();)
        total += it.nextFileInfo().size();
    return total;
}

std::unique_ptr<LogStore> openStore(const QString& directory, qint64 limit = 0, const QStringList& units = {})
{
    QString error;
    std::unique_ptr<LogStore> store = LogStore::open({directory, limit, units}, &error);
    if (!store)
        qWarning("%s", qPrintable(error));
    return store;
}
} // namespace

class TestLogStore : public QObject {
    Q_OBJECT

private slots:
    void sizesAsUsersWriteThem_data();
    void sizesAsUsersWriteThem();
    void everyKindOfLineReadsBackExactly();
    void oldLinesComeFromTheStore();
    void oldSegmentsAreReadWithoutHoldingTheirPlaces();
    void diskLimitRemovesTheOldestSegmentsOnly();
    void clearRemovesEverythingAndStoringGoesOn();
    void directoriesOfTheirOwnGoAndNamedOnesStay();
    void aRunRemovesTheStoreItMadeWhenStopped();
    void killedRunReadsBackToItsLastWholeBlock();
    void fullDiskKeepsTheUnitAnswering();
};

void TestLogStore::sizesAsUsersWriteThem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("bytes") << u"1048576"_s << qint64(1048576);
    QTest::newRow("binary") << u"10GiB"_s << qint64(10) * 1024 * 1024 * 1024;
    QTest::newRow("short binary") << u"500M"_s << qint64(500) * 1024 * 1024;
    QTest::newRow("decimal, spaced") << u"1.5 GB"_s << qint64(1'500'000'000);
    QTest::newRow("any case") << u"2mib"_s << qint64(2) * 1024 * 1024;
    QTest::newRow("no number") << u"GiB"_s << qint64(-1);
    QTest::newRow("unknown unit") << u"5 parsecs"_s << qint64(-1);
    QTest::newRow("negative") << u"-5M"_s << qint64(-1);
    QTest::newRow("beyond any disk") << u"99999999999TiB"_s << qint64(-1);
}

void TestLogStore::sizesAsUsersWriteThem()
{
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QCOMPARE(LogStore::parseSize(text), bytes);
}

void TestLogStore::everyKindOfLineReadsBackExactly()
{
    QTemporaryDir dir;
    const std::unique_ptr<LogStore> store = openStore(dir.filePath(u"store"_s));
    QVERIFY(store);
    const QList<TrafficLogEntry> lines = everyKindOfLine();
    // Enough to fill several blocks, so that lines cross block boundaries too.
    constexpr int kRounds = 700;
    for (int round = 0; round < kRounds; ++round)
        for (int k = 0; k < lines.size(); ++k)
            store->append(lines[k], quint32(round * 7 + k));
    store->waitUntilWritten();
    QCOMPARE(store->storedEnd(), quint64(kRounds * lines.size()));
    QVERIFY(store->failure().isEmpty());
    QCOMPARE(bytesOfFilesIn(store->directory()), store->bytesOnDisk());

    for (quint64 seq : {quint64(0), quint64(1), quint64(2047), quint64(2048), quint64(4000), quint64(6299)}) {
        LogLine line;
        QString error;
        QVERIFY2(store->read(seq, &line, &error), qPrintable(error));
        const int k = int(seq % lines.size());
        QVERIFY2(sameEntry(line.entry, lines[k]), qPrintable(trafficLogLine(line.entry)));
        QCOMPARE(line.unit, quint32(seq / lines.size() * 7 + k));
        QCOMPARE(trafficLogJson(line.entry, seq, int(line.unit)),
                 trafficLogJson(lines[k], seq, int(line.unit)));
    }
    LogLine line;
    QString error;
    QVERIFY(!store->read(store->storedEnd(), &line, &error));
    QVERIFY(!error.isEmpty());
}

void TestLogStore::oldLinesComeFromTheStore()
{
    QTemporaryDir dir;
    const QStringList units{u"127.0.1.1"_s, u"127.0.1.2"_s, u"127.0.1.3"_s};
    TrafficLogModel stored;
    stored.setUnitAddresses(units);
    stored.setMemoryLimits(100, 1000);
    stored.setStore(openStore(dir.filePath(u"store"_s), 0, units));
    QVERIFY(stored.store());
    TrafficLogModel inMemory;
    inMemory.setUnitAddresses(units);

    constexpr quint64 kLines = 10'000;
    const QList<TrafficLogEntry> kinds = everyKindOfLine();
    for (quint64 n = 0; n < kLines; ++n) {
        const TrafficLogEntry entry = n % 10 == 9 ? kinds[int(n / 10 % kinds.size())] : numberedLine(n);
        stored.appendFrom(int(n % 3), entry);
        inMemory.appendFrom(int(n % 3), entry);
    }
    stored.store()->waitUntilWritten();
    QCOMPARE(stored.lineCount(), qsizetype(kLines));
    QCOMPARE(stored.firstSeq(), quint64(0));

    // Row by row as a view reads them, and as the API and captures read them.
    for (int row = 0; row < int(kLines); row += 7)
        QCOMPARE(stored.lineAt(row), inMemory.lineAt(row));
    QCOMPARE(stored.lineAt(int(kLines) - 1), inMemory.lineAt(int(kLines) - 1));
    for (quint64 seq : {quint64(0), quint64(1234), kLines - 1}) {
        QCOMPARE(trafficLogJson(stored.entryWithSeq(seq), seq, stored.unitWithSeq(seq),
                                stored.unitAddressWithSeq(seq)),
                 trafficLogJson(inMemory.entryWithSeq(seq), seq, inMemory.unitWithSeq(seq),
                                inMemory.unitAddressWithSeq(seq)));
    }
    QString error;
    const QByteArray expected = TrafficCapture::ofLog(inMemory, &error);
    QVERIFY(expected.size() > 100'000);
    QCOMPARE(TrafficCapture::ofLog(stored, &error), expected);
}

void TestLogStore::oldSegmentsAreReadWithoutHoldingTheirPlaces()
{
    // Segments of 1 MiB and lines that do not pack: many segments, none removed.
    QTemporaryDir dir;
    const std::unique_ptr<LogStore> store = openStore(dir.filePath(u"store"_s), 16 * 1024 * 1024);
    QVERIFY(store);
    std::mt19937 random(11);
    std::vector<TrafficLogEntry> written;
    for (quint64 n = 0; n < 300'000; ++n) {
        written.push_back(numberedLine(n, &random));
        store->append(written.back(), quint32(n % 1000));
        if (n % 20000 == 0)
            store->waitUntilWritten();
    }
    store->waitUntilWritten();
    const LogStoreReader& reader = store->reader();
    QVERIFY2(reader.segmentCount() >= 6, qPrintable(QString::number(reader.segmentCount())));
    QCOMPARE(store->linesRemovedTotal(), quint64(0));
    QCOMPARE(reader.segmentsIndexed(), 2);
    // Every segment, oldest first and back again, read whole through places found anew.
    for (quint64 seq :
         {quint64(0), quint64(299'999), quint64(77'777), quint64(150'001), quint64(1), quint64(250'000)}) {
        LogLine line;
        QString error;
        QVERIFY2(store->read(seq, &line, &error), qPrintable(error));
        QVERIFY(sameEntry(line.entry, written[seq]));
        QCOMPARE(line.unit, quint32(seq % 1000));
    }
    for (quint64 seq = 0; seq < 300'000; seq += 997) {
        LogLine line;
        QString error;
        QVERIFY2(store->read(seq, &line, &error), qPrintable(error));
        QCOMPARE(line.entry.remotePort, written[seq].remotePort);
    }
}

void TestLogStore::diskLimitRemovesTheOldestSegmentsOnly()
{
    QTemporaryDir dir;
    constexpr qint64 kLimit = 1024 * 1024;
    TrafficLogModel log;
    log.setMemoryLimits(100, 1000);
    log.setStore(openStore(dir.filePath(u"store"_s), kLimit));
    QVERIFY(log.store());
    QSignalSpy notices(&log, &TrafficLogModel::storeNotice);
    QSignalSpy removals(log.store(), &LogStore::linesRemoved);

    // Channel values that do not pack, so that the limit is reached soon.
    std::mt19937 random(7);
    quint64 removedBefore = 0;
    quint64 n = 0;
    for (int round = 0; round < 60; ++round) {
        for (int k = 0; k < 2000; ++k, ++n)
            log.append(numberedLine(n, &random));
        log.store()->waitUntilWritten();
        // Never above the limit by more than the block just written, and nothing is removed
        // while the store is within it: what is left is more than the limit less a segment.
        QVERIFY2(log.store()->bytesOnDisk() <= kLimit + 128 * 1024,
                 qPrintable(QString::number(log.store()->bytesOnDisk())));
        if (log.store()->linesRemovedTotal() > removedBefore)
            QVERIFY(log.store()->bytesOnDisk() > kLimit - log.store()->segmentBytes() - 128 * 1024);
        removedBefore = log.store()->linesRemovedTotal();
        QCOMPARE(bytesOfFilesIn(log.store()->directory()), log.store()->bytesOnDisk());
    }
    QVERIFY(removals.count() >= 2);
    // Every line removed is counted and said, and the log starts where the store does.
    QCOMPARE(log.firstSeq(), log.store()->firstSeq());
    QCOMPARE(log.store()->linesRemovedTotal(), log.firstSeq());
    QCOMPARE(notices.count(), removals.count());
    QVERIFY(notices.first().first().toString().contains(u"removed to stay within the disk limit of 1 MiB"_s));
    QCOMPARE(log.lineCount(), qsizetype(log.endSeq() - log.firstSeq()));
    QCOMPARE(log.heldFrom(0), log.firstSeq());
    // The notices are lines of the log too: the line numbered k follows at most as many of them
    // as were said, and the oldest line held is read back whole.
    LogLine oldest;
    QVERIFY(log.lineWithSeq(log.firstSeq(), &oldest));
    if (oldest.entry.kind == TrafficLogEntry::Kind::UnitIncoming) {
        const quint64 k = quint64(oldest.entry.timeUs - numberedLine(0).timeUs) / 50;
        QVERIFY(log.firstSeq() >= k && log.firstSeq() - k <= quint64(notices.count()));
        QCOMPARE(oldest.entry.remotePort, quint16(k));
    }
    QCOMPARE(log.rowCount(), int(log.lineCount()));
    QVERIFY(log.lineAt(0).startsWith(u"!!! log store: the oldest"_s) || log.lineAt(0).startsWith(u"--> "_s));
}

void TestLogStore::clearRemovesEverythingAndStoringGoesOn()
{
    QTemporaryDir dir;
    TrafficLogModel log;
    log.setMemoryLimits(10, 100);
    log.setStore(openStore(dir.filePath(u"store"_s)));
    for (quint64 n = 0; n < 5000; ++n)
        log.append(numberedLine(n));
    log.store()->waitUntilWritten();
    QVERIFY(bytesOfFilesIn(log.store()->directory()) > 0);

    log.clear();
    log.store()->waitUntilWritten();
    QCOMPARE(log.lineCount(), 0);
    QCOMPARE(log.rowCount(), 0);
    QCOMPARE(log.firstSeq(), quint64(5000));
    QCOMPARE(bytesOfFilesIn(log.store()->directory()), 0);
    QCOMPARE(log.store()->bytesOnDisk(), 0);

    for (quint64 n = 5000; n < 8000; ++n)
        log.append(numberedLine(n));
    log.store()->waitUntilWritten();
    QCOMPARE(log.lineCount(), 3000);
    QCOMPARE(log.heldFrom(0), quint64(5000));
    LogLine line;
    QVERIFY(log.lineWithSeq(5000, &line));
    QCOMPARE(line.entry.remotePort, quint16(5000));
    QCOMPARE(bytesOfFilesIn(log.store()->directory()), log.store()->bytesOnDisk());
}

void TestLogStore::directoriesOfTheirOwnGoAndNamedOnesStay()
{
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toUtf8());
    QString ownDirectory;
    {
        const std::unique_ptr<LogStore> store = openStore({});
        QVERIFY(store);
        ownDirectory = store->directory();
        QVERIFY(ownDirectory.startsWith(state.path() + u"/unit-simulator/unitsim-log-"_s));
        QVERIFY(!store->keepsDirectory());
        store->append(numberedLine(1), 0);
        store->waitUntilWritten();
        QVERIFY(bytesOfFilesIn(ownDirectory) > 0);
    }
    QVERIFY(!QFileInfo::exists(ownDirectory));
    qunsetenv("XDG_STATE_HOME");

    const QString named = state.filePath(u"named/deeper"_s);
    {
        const std::unique_ptr<LogStore> store = openStore(named);
        QVERIFY(store);
        store->append(numberedLine(1), 0);
    }
    QVERIFY(bytesOfFilesIn(named) > 0);
    // A store already there belongs to another run: it is neither joined nor overwritten.
    QString error;
    QVERIFY(!LogStore::open({named, 0, {}}, &error));
    QVERIFY2(error.contains(u"holds the log store of another run"_s), qPrintable(error));
    QVERIFY(bytesOfFilesIn(named) > 0);
}

void TestLogStore::aRunRemovesTheStoreItMadeWhenStopped()
{
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toUtf8());
    HeadlessSimulator simulator;
    const QString problem =
        simulator.start({u"--quiet"_s, u"--units"_s, u"2@127.0.7.1"_s, u"--control"_s, u"0"_s});
    qunsetenv("XDG_STATE_HOME");
    if (!problem.isEmpty())
        QSKIP(qPrintable(problem));
    const QString directory =
        QRegularExpression(
            u"Traffic log kept in (\\S+) \\(at most [^;]+; removed at exit; --log-dir keeps it\\)"_s)
            .match(simulator.startMessages())
            .captured(1);
    QVERIFY2(directory.startsWith(state.path() + u"/unit-simulator/"_s),
             qPrintable(simulator.startMessages()));
    LoopbackClient client;
    QVERIFY(
        !client.requestTo(QHostAddress(u"127.0.7.2"_s), 4000, unitFrame(UnitCommand::ChannelQuery)).isNull());
    QVERIFY(QFileInfo::exists(directory + u"/store.json"_s));
    simulator.process().terminate();
    QVERIFY(simulator.process().waitForFinished(5000));
    QCOMPARE(simulator.process().exitCode(), 0);
    QVERIFY(!QFileInfo::exists(directory));
}

void TestLogStore::killedRunReadsBackToItsLastWholeBlock()
{
    QTemporaryDir dir;
    const QString store = dir.filePath(u"soak"_s);
    HeadlessSimulator simulator;
    const QString problem = simulator.start({u"--quiet"_s, u"--control"_s, u"0"_s, u"--log-dir"_s, store});
    if (!problem.isEmpty())
        QSKIP(qPrintable(problem));
    QVERIFY(simulator.startMessages().contains(u"Traffic log kept in "_s + store));
    LoopbackClient client;
    constexpr int kQueries = 300;
    LogStoreReader reader(store);
    QStringList notes;
    QString error;
    // In two halves, each on disk (within the store's flush interval) before the next: the
    // store then holds at least two blocks, and cutting the last leaves the first.
    for (const int half : {1, 2}) {
        for (int k = 0; k < kQueries / 2; ++k)
            QVERIFY(!client.request(4000, unitFrame(UnitCommand::ChannelQuery)).isNull());
        QVERIFY(QTest::qWaitFor(
            [&] { return reader.scan(&notes, &error) && reader.endSeq() == quint64(half * kQueries); },
            5000));
    }
    ::kill(pid_t(simulator.process().processId()), SIGKILL);
    QVERIFY(simulator.process().waitForFinished(5000));

    ProcessResult read = runProcess(unitctlPath(), {u"log"_s, store});
    QCOMPARE(read.exitCode, 0);
    const QStringList lines = read.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2 * kQueries);
    QVERIFY(lines.first().startsWith(u"--> 127.0.0.1:4000 -  0 50 0"_s));
    QVERIFY(
        lines.last().startsWith(u"<-- 127.0.0.1:"_s + QString::number(client.port()) + u" -254 50 125"_s));
    QVERIFY(read.err.isEmpty());

    // A block cut short by the kill: the lines before it are read, and the cut is said.
    const QStringList segments = QDir(store).entryList({u"segment-*.log"_s}, QDir::Files, QDir::Name);
    QFile last(store + u'/' + segments.last());
    QVERIFY(last.open(QIODevice::ReadWrite));
    const qint64 whole = last.size();
    QVERIFY(last.resize(whole - 10));
    last.close();
    read = runProcess(unitctlPath(), {u"log"_s, store, u"--json"_s, u"--since"_s, u"2"_s});
    QCOMPARE(read.exitCode, 0);
    QVERIFY2(read.err.contains(u"that are no whole block"_s), qPrintable(read.err));
    const QStringList json = read.out.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(!json.isEmpty() && json.size() < 2 * kQueries - 2, qPrintable(read.err));
    QCOMPARE(QJsonDocument::fromJson(json.first().toUtf8()).object().value(u"seq"_s).toInt(), 2);
    QCOMPARE(QJsonDocument::fromJson(json.first().toUtf8()).object().value(u"command"_s).toString(),
             u"channel-query"_s);

    QCOMPARE(runProcess(unitctlPath(), {u"log"_s, dir.filePath(u"none"_s)}).exitCode, 2);
}

void TestLogStore::fullDiskKeepsTheUnitAnswering()
{
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small tmpfs");
    QTemporaryDir dir;
    const QByteArray mountPoint = QFile::encodeName(dir.filePath(u"small"_s));
    QVERIFY(QDir().mkpath(dir.filePath(u"small"_s)));
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m") != 0)
        QSKIP("cannot mount a tmpfs here");
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });

    HeadlessSimulator simulator;
    const QString problem =
        simulator.start({u"--quiet"_s, u"--control"_s, u"0"_s, u"--log-dir"_s, dir.filePath(u"small/store"_s),
                         u"--log-disk-limit"_s, u"100MiB"_s});
    if (!problem.isEmpty())
        QSKIP(qPrintable(problem));
    // The readiness line comes after the ports' lines: waited for, not assumed to be in.
    const QString url = simulator.controlUrl();
    QVERIFY2(!url.isEmpty(), qPrintable(simulator.startMessages()));
    HttpClient http(url);

    // Channel values that do not pack fill a megabyte in some tens of thousands of lines.
    LoopbackClient client;
    std::mt19937 random(3);
    const auto storeFailed = [&] { return http.get(u"/metrics"_s).body.contains("unitsim_log_store_ok 0"); };
    // A hundred at a time, each hundred answered before the next: none is lost to a full socket
    // buffer, however slowly the simulator runs (under a sanitizer, say).
    bool full = false;
    for (int round = 0; round < 2000 && !full; ++round) {
        for (int k = 0; k < 100; ++k) {
            QList<int> values;
            for (int v = 0; v < 24; ++v)
                values << int(random() % 256);
            client.send(4000, unitFrame(UnitCommand::SetChannels, values));
        }
        QVERIFY(!client.request(4000, unitFrame(UnitCommand::ChannelQuery)).isNull());
        if (round % 20 == 19)
            full = storeFailed();
    }
    // The last lines reach the writer within the store's flush interval.
    QVERIFY(full || QTest::qWaitFor(storeFailed, LogStore::kFlushIntervalMs * 5));
    // Still answering, and saying why lines are not stored: in the API and once on stderr.
    QVERIFY(!client.request(4000, unitFrame(UnitCommand::StatusQuery)).isNull());
    const QJsonObject page = http.get(u"/api/v1/log?since=0&limit=1"_s).json().object();
    const QJsonObject about = page.value(u"store"_s).toObject();
    QCOMPARE(about.value(u"storing"_s).toBool(), false);
    QVERIFY2(about.value(u"error"_s).toString().contains(u"No space left on device"_s),
             qPrintable(about.value(u"error"_s).toString()));
    for (int k = 0; k < 100; ++k)
        client.send(4000, unitFrame(UnitCommand::SetChannels));
    QVERIFY(!client.request(4000, unitFrame(UnitCommand::ChannelQuery)).isNull());
    simulator.process().terminate();
    QVERIFY(simulator.process().waitForFinished(5000));
    QCOMPARE(simulator.process().exitCode(), 0);
    const QString err = QString::fromUtf8(simulator.process().readAllStandardError());
    QCOMPARE(err.count(u"lines are no longer stored"_s), 1);
}

QTEST_GUILESS_MAIN(TestLogStore)
#include "tst_logstore.moc"
