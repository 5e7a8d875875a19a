// The log store against another local user and against damage: a directory of the run's own
// that nobody can make first, named directories that others could write in refused, files never
// opened through a link or a pipe planted under a segment's name, a disk that stops answering
// never holding up the end of the run, and a damaged block read once and told as lost.
#include "log/logstore.h"
#include "programs.h"
#include "record/trafficlogentry.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr auto kFirstSegment = "segment-00000000000000000000.log";
const QByteArray kVictimText = "a file of the user's that must not change\n";

TrafficLogEntry someLine(quint16 port)
{
    return TrafficLogEntry::unitIncoming(0x7f000001, port, 4000, QByteArray(29, '\0'), 0);
}

QString writeVictim(const QTemporaryDir& dir)
{
    const QString path = dir.filePath(u"victim"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(kVictimText) != kVictimText.size())
        return {};
    return path;
}

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}
} // namespace

class TestLogStoreSafety : public QObject {
    Q_OBJECT

private slots:
    void ownDirectoryIsNewAndPrivate();
    void namedDirectoryOthersCanChangeIsRefused_data();
    void namedDirectoryOthersCanChangeIsRefused();
    void plantedFilesAreNeverOpened_data();
    void plantedFilesAreNeverOpened();
    void aStuckDiskDoesNotHoldUpTheEnd();
    void aDamagedBlockIsReadOnceAndToldAsLost();
};

void TestLogStoreSafety::ownDirectoryIsNewAndPrivate()
{
    QTemporaryDir state;
    QTemporaryDir elsewhere;
    const QString victim = writeVictim(elsewhere);
    QVERIFY(!victim.isEmpty());
    qputenv("XDG_STATE_HOME", state.path().toUtf8());
    const auto restore = qScopeGuard([] { qunsetenv("XDG_STATE_HOME"); });

    // Directories under every name a run of this process could have guessed for this second and
    // the next, each with a link where the first segment goes.
    QVERIFY(QDir().mkpath(state.filePath(u"unit-simulator"_s)));
    const QDateTime now = QDateTime::currentDateTime();
    for (const QDateTime& at : {now, now.addSecs(1)}) {
        const QString planted = state.filePath(u"unit-simulator/unitsim-log-%1-%2"_s)
                                    .arg(at.toString(u"yyyyMMdd-HHmmss"_s))
                                    .arg(QCoreApplication::applicationPid());
        QVERIFY(QDir().mkpath(planted));
        QVERIFY(QFile::link(victim, planted + u'/' + QLatin1String(kFirstSegment)));
    }

    QString error;
    std::unique_ptr<LogStore> first = LogStore::open({}, &error);
    QVERIFY2(first, qPrintable(error));
    std::unique_ptr<LogStore> second = LogStore::open({}, &error);
    QVERIFY2(second, qPrintable(error));
    QVERIFY(first->directory() != second->directory());
    for (const LogStore* store : {first.get(), second.get()}) {
        QVERIFY(store->directory().startsWith(state.path() + u"/unit-simulator/unitsim-log-"_s));
        QCOMPARE(modeOf(store->directory()), mode_t(0700));
        QVERIFY(!QFileInfo(store->directory() + u'/' + QLatin1String(kFirstSegment)).isSymLink());
    }
    for (quint16 port = 1; port <= 100; ++port)
        first->append(someLine(port), 0);
    QVERIFY(first->waitUntilWritten());
    QCOMPARE(first->storedEnd(), quint64(100));
    QCOMPARE(modeOf(first->directory() + u'/' + QLatin1String(kFirstSegment)), mode_t(0600));
    QCOMPARE(contentsOf(victim), kVictimText);
}

void TestLogStoreSafety::namedDirectoryOthersCanChangeIsRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<uid_t>("owner"); // the user running, unless root can give it away
    QTest::addColumn<QString>("refusal");

    const uid_t me = ::geteuid();
    QTest::newRow("the user's alone") << 0700 << me << QString();
    QTest::newRow("others may read") << 0755 << me << QString();
    QTest::newRow("its group may write") << 0770 << me << u"can be written by other users (mode 0770)"_s;
    QTest::newRow("anybody may write") << 0777 << me << u"can be written by other users (mode 0777)"_s;
    QTest::newRow("the temporary directory's kind") << 01777 << me << u"(mode 1777)"_s;
    QTest::newRow("another user's") << 0700 << uid_t(65534) << u"belongs to another user (uid 65534)"_s;
}

void TestLogStoreSafety::namedDirectoryOthersCanChangeIsRefused()
{
    QFETCH(int, mode);
    QFETCH(uid_t, owner);
    QFETCH(QString, refusal);
    if (owner != ::geteuid() && ::geteuid() != 0)
        QSKIP("only root can give a directory to another user");

    QTemporaryDir parent;
    const QString directory = parent.filePath(u"logs"_s);
    QVERIFY(QDir().mkdir(directory));
    const QByteArray path = QFile::encodeName(directory);
    QCOMPARE(::chmod(path.constData(), mode_t(mode)), 0);
    QCOMPARE(::chown(path.constData(), owner, gid_t(-1)), 0);

    QString error;
    const std::unique_ptr<LogStore> store = LogStore::open({directory, 0, {}}, &error);
    if (refusal.isEmpty()) {
        QVERIFY2(store, qPrintable(error));
        return;
    }
    QVERIFY(!store);
    QVERIFY2(error.contains(refusal) && error.contains(directory), qPrintable(error));
    QVERIFY2(error.contains(u"choose a directory only you can write in"_s), qPrintable(error));
    QVERIFY(!QFileInfo::exists(directory + u"/store.json"_s));
}

void TestLogStoreSafety::plantedFilesAreNeverOpened_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("a link to a file of the user's") << u"link"_s;
    QTest::newRow("a pipe nobody reads") << u"pipe"_s;
}

void TestLogStoreSafety::plantedFilesAreNeverOpened()
{
    QFETCH(QString, planted);
    QTemporaryDir dir;
    const QString victim = writeVictim(dir);
    QVERIFY(!victim.isEmpty());
    const QString directory = dir.filePath(u"store"_s);
    QVERIFY(QDir().mkdir(directory));
    const QString segment = directory + u'/' + QLatin1String(kFirstSegment);
    if (planted == u"link"_s)
        QVERIFY(QFile::link(victim, segment));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(segment).constData(), 0600), 0);

    QString error;
    const std::unique_ptr<LogStore> store = LogStore::open({directory, 0, {}}, &error);
    QVERIFY2(store, qPrintable(error));
    store->append(someLine(1), 0);
    // Opening a pipe would block the writer for good: it must answer, having refused the name.
    QVERIFY(store->waitUntilWritten(QDeadlineTimer(10000)));
    QVERIFY2(store->failure().contains(u"cannot create %1: File exists"_s.arg(QLatin1String(kFirstSegment))),
             qPrintable(store->failure()));
    QCOMPARE(contentsOf(victim), kVictimText);
}

void TestLogStoreSafety::aStuckDiskDoesNotHoldUpTheEnd()
{
    QTemporaryDir dir;
    const QString directory = dir.filePath(u"kept"_s);
    QString error;
    std::unique_ptr<LogStore> store = LogStore::open({directory, 0, {}, 300}, &error);
    QVERIFY2(store, qPrintable(error));
    for (quint16 port = 1; port <= 10; ++port)
        store->append(someLine(port), 0);
    QVERIFY(store->waitUntilWritten());

    // The writer stuck in a system call that does not return, as on a hung network mount.
    QThread* writer = store->writerThread();
    const auto release = std::make_shared<QSemaphore>();
    QObject stall;
    stall.moveToThread(writer);
    QMetaObject::invokeMethod(
        &stall, [release] { release->acquire(); }, Qt::QueuedConnection);
    for (quint16 port = 11; port <= 25; ++port)
        store->append(someLine(port), 0);
    QVERIFY(!store->waitUntilWritten(QDeadlineTimer(50)));

    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(u"^log store: the disk did not take what was left within 0\\.3 s; "
                                         "lines 10 to 24 \\(15\\) were not written to "_s +
                                         QRegularExpression::escape(directory) + u'$'));
    store.reset();
    // The run can end; the writer, once its call returns, ends on its own.
    release->release();
    QVERIFY(writer->wait(10000));
    QVERIFY(QFileInfo::exists(directory + u"/store.json"_s));
}

void TestLogStoreSafety::aDamagedBlockIsReadOnceAndToldAsLost()
{
    QTemporaryDir dir;
    const QString directory = dir.filePath(u"damaged"_s);
    constexpr quint32 kRows = LogBlockHeader::kMaxRows;
    {
        QString error;
        const std::unique_ptr<LogStore> store = LogStore::open({directory, 0, {}}, &error);
        QVERIFY2(store, qPrintable(error));
        for (quint32 n = 0; n < 3 * kRows; ++n)
            store->append(someLine(quint16(n)), 0);
        QVERIFY(store->waitUntilWritten());
        QCOMPARE(store->storedEnd(), quint64(3 * kRows));
    }
    // One byte of the second block's packed lines changed, as a failing disk might.
    QFile segment(directory + u'/' + QLatin1String(kFirstSegment));
    QVERIFY(segment.open(QIODevice::ReadWrite));
    QVERIFY(segment.seek(LogStoreReader::kSegmentHeaderSize));
    LogBlockHeader first;
    QVERIFY(LogBlockHeader::read(segment.read(LogBlockHeader::kSize).constData(), &first));
    const qint64 second = LogStoreReader::kSegmentHeaderSize + LogBlockHeader::kSize + first.packedSize;
    QVERIFY(segment.seek(second + LogBlockHeader::kSize + 10));
    const char byte = segment.read(1).at(0);
    QVERIFY(segment.seek(second + LogBlockHeader::kSize + 10));
    QVERIFY(segment.write(QByteArray(1, char(byte ^ 0x5a))) == 1);
    segment.close();

    LogStoreReader reader(directory);
    QStringList notes;
    QString error;
    QVERIFY(reader.scan(&notes, &error));
    quint64 lost = 0;
    LogLine line;
    for (quint64 seq = 0; seq < 3 * kRows; ++seq) {
        if (!reader.read(seq, &line, &error)) {
            ++lost;
            QCOMPARE(error, u"block of lines %1 to %2 is damaged (checksum)"_s.arg(kRows).arg(2 * kRows - 1));
        }
    }
    QCOMPARE(lost, quint64(kRows));
    QCOMPARE(reader.blocksRead(), quint64(3)); // the damaged one once, not once a line

    const ProcessResult read = runProcess(unitctlPath(), {u"log"_s, directory});
    QCOMPARE(read.exitCode, 3);
    QCOMPARE(read.out.count(u'\n'), qsizetype(2 * kRows));
    QVERIFY2(read.err.contains(u"damaged (checksum)"_s) &&
                 read.err.contains(u"%1 lines could not be read"_s.arg(kRows)),
             qPrintable(read.err));
}

QTEST_GUILESS_MAIN(TestLogStoreSafety)
#include "tst_logstoresafety.moc"
