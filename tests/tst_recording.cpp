// A recording of a real unit, read into the unit it shows, and units of a scenario that answer as
// it did. The units use the product's fixed ports on 127.0.10.x.
#include "loopbackclient.h"
#include "programs.h"
#include "record/unitprofiles.h"
#include "recording/unitrecording.h"
#include "recordingsupport.h"
#include "scenario/scenariofile.h"
#include "scenario/scenariosession.h"
#include "ui/unittablemodel.h"
#include "unit/discovery.h"
#include "unit/unitsimulator.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace recordingsupport;

namespace {
constexpr quint32 kOtherUnit = 0x0a4f0003; // 10.79.0.3
constexpr int kAnswerMs = 2000;
// A proxy's questions to its real unit at start, discovery then status, each given up after
// UnitSimulator::kProxyDiscoveryMs: the bound on its settling, however busy the machine.
constexpr int kProxySettledMs = 2 * UnitSimulator::kProxyDiscoveryMs + 2000;

QHostAddress unitAddress(int k)
{
    return QHostAddress(quint32((127u << 24) | (10u << 8) | quint32(k + 1)));
}
} // namespace

class TestRecording : public QObject {
    Q_OBJECT

private slots:
    void readsTheUnitARecordingShows_data();
    void readsTheUnitARecordingShows();
    void refusesWhatShowsNoOneUnit_data();
    void refusesWhatShowsNoOneUnit();
    void scenarioRefusesBadRecordings_data();
    void scenarioRefusesBadRecordings();
    void aRecordingIsReadOnceHoweverItIsNamed();
    void recordedUnitsAnswerAsTheRecordingDid();
    void snapshotKeepsProxiesAndRecordings();
    void replayHoldsAUnitToWhatTheRecordingVaried();
    void proxyAsksTheStatusWhereProfilesShareAnIdentity_data();
    void proxyAsksTheStatusWhereProfilesShareAnIdentity();
};

void TestRecording::readsTheUnitARecordingShows_data()
{
    QTest::addColumn<QList<CapturedDatagram>>("datagrams");
    QTest::addColumn<int>("profile");
    QTest::addColumn<QByteArray>("identity");
    QTest::addColumn<QList<int>>("drawn");

    QTest::newRow("profile 3, six replies")
        << probe(identityOf(3), 4003, simulatedReplies(3)) << 3 << identityOf(3) << QList<int>{2};
    QTest::newRow("generation 1 draws 14 too")
        << probe(identityOf(1), 4001, simulatedReplies(1)) << 1 << identityOf(1) << QList<int>{2, 14};
    // 5 and 6 share identity and port; position 14 tells them apart.
    QTest::newRow("profile 6 by its position 14")
        << probe(identityOf(6), 4005, simulatedReplies(6)) << 6 << identityOf(6) << QList<int>{2};
    QTest::newRow("unknown firmware: the profile of its port")
        << probe(kFirmware, 4003, firmwareReplies()) << 3 << kFirmware << QList<int>{2};
    // One reply shows no variation: the protocol's drawn positions stand.
    QTest::newRow("one reply") << probe(identityOf(3), 4003, simulatedReplies(3, 1)) << 3 << identityOf(3)
                               << QList<int>{2};
    QTest::newRow("one reply, generation 1")
        << probe(identityOf(1), 4001, simulatedReplies(1, 1)) << 1 << identityOf(1) << QList<int>{2, 14};
    QList<CapturedDatagram> withStrangers = probe(identityOf(4), 4004, simulatedReplies(4));
    // Another unit's discovery reply, a short frame's silence and a non-status reply are no matter.
    withStrangers << datagram(kOtherUnit, kDiscoveryPort, kController, 50000, identityOf(2))
                  << datagram(kRealUnit, 4004, kController, 50001, bytesOf(channelQueryReply({})));
    QTest::newRow("among other traffic") << withStrangers << 4 << identityOf(4) << QList<int>{2};
}

void TestRecording::readsTheUnitARecordingShows()
{
    QFETCH(QList<CapturedDatagram>, datagrams);
    QFETCH(int, profile);
    QFETCH(QByteArray, identity);
    QFETCH(QList<int>, drawn);

    QString error;
    const std::shared_ptr<const RecordedUnit> unit =
        UnitRecording::fromCapture({datagrams, 0}, u"probe.pcap"_s, &error);
    QVERIFY2(unit, qPrintable(error));
    QCOMPARE(unit->profile, profile);
    QCOMPARE(unit->identity, identity);
    QCOMPARE(unit->identityNote->reply, identity);
    QList<int> drawnPositions;
    for (int k = 0; k < kUnitFrameSize; ++k) {
        if (unit->isDrawn(k))
            drawnPositions << k;
    }
    QCOMPARE(drawnPositions, drawn);
    // A position that varied spans the lowest to the highest recorded, wherever they came.
    for (const int k : drawn) {
        QList<int> values;
        for (const CapturedDatagram& d : datagrams) {
            if (d.source == kRealUnit && UnitRecording::isStatusReply(d))
                values << quint8(d.payload[k]);
        }
        const auto [low, high] = std::minmax_element(values.cbegin(), values.cend());
        if (*low == *high)
            continue; // no variation seen: the protocol's range stands
        QCOMPARE(int(unit->statusLow[std::size_t(k)]), *low);
        QCOMPARE(int(unit->statusHigh[std::size_t(k)]), *high);
    }
    // Fixed positions are as recorded; drawn ones stay within what was recorded.
    const QByteArray recorded = datagrams[3].payload;
    SeededRandom random;
    random.seed(7);
    for (int n = 0; n < 50; ++n) {
        const UnitFrame reply = unit->statusReply(random);
        for (int k = 0; k < kUnitFrameSize; ++k) {
            if (unit->isDrawn(k))
                QVERIFY(reply[k] >= unit->statusLow[k] && reply[k] <= unit->statusHigh[k]);
            else
                QCOMPARE(int(reply[k]), int(quint8(recorded[k])));
        }
    }
}

void TestRecording::refusesWhatShowsNoOneUnit_data()
{
    QTest::addColumn<QList<CapturedDatagram>>("datagrams");
    QTest::addColumn<QString>("error");

    QTest::newRow("nothing") << QList<CapturedDatagram>{} << u"holds no status-query reply"_s;
    QList<CapturedDatagram> noDiscovery = probe(identityOf(3), 4003, simulatedReplies(3));
    noDiscovery.removeAt(1);
    QTest::newRow("no discovery reply") << noDiscovery << u"holds no discovery reply from 10.79.0.2"_s;
    QTest::newRow("two units") << probe(identityOf(3), 4003, simulatedReplies(3)) +
                                      probe(identityOf(3), 4003, simulatedReplies(3), kOtherUnit)
                               << u"from 2 units (10.79.0.2, 10.79.0.3)"_s;
    QTest::newRow("two ports") << probe(identityOf(3), 4003, simulatedReplies(3)) +
                                      probe(identityOf(4), 4004, simulatedReplies(4))
                               << u"answered on port 4003 and on port 4004"_s;
    QList<CapturedDatagram> twoIdentities = probe(identityOf(3), 4003, simulatedReplies(3));
    twoIdentities << datagram(kRealUnit, kDiscoveryPort, kController, 50000, identityOf(4));
    QTest::newRow("two identities") << twoIdentities << u"answered discovery in two ways"_s;
    QTest::newRow("no profile's port")
        << probe(kFirmware, 4006, simulatedReplies(3)) << u"answered on port 4006, which no profile"_s;
    QTest::newRow("identity too long") << probe(QByteArray(51, 'A'), 4003, simulatedReplies(3))
                                       << u"with 51 bytes; this simulator answers with 1 to 50"_s;
    QTest::newRow("empty identity") << probe(QByteArray(), 4003, simulatedReplies(3)) << u"with 0 bytes"_s;
    QList<CapturedDatagram> cut = probe(identityOf(3), 4003, simulatedReplies(3));
    cut[1].complete = false;
    QTest::newRow("identity cut by the capture") << cut << u"kept only 50 bytes of the discovery reply"_s;
}

void TestRecording::refusesWhatShowsNoOneUnit()
{
    QFETCH(QList<CapturedDatagram>, datagrams);
    QFETCH(QString, error);
    QString why;
    QVERIFY(!UnitRecording::fromCapture({datagrams, 0}, u"probe.pcap"_s, &why));
    QVERIFY2(why.contains(error), qPrintable(why));
}

void TestRecording::scenarioRefusesBadRecordings_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("error");

    QTest::newRow("with a profile") << u"{address: 127.0.10.1, recording: probe.pcap, profile: 2}"_s
                                    << u"4:38: units[0].recording: takes no profile and no proxy"_s;
    QTest::newRow("with a proxy") << u"{address: 127.0.10.1, proxy: 10.0.0.1, recording: probe.pcap}"_s
                                  << u"units[0].recording: takes no profile and no proxy"_s;
    QTest::newRow("no such file") << u"{address: 127.0.10.1, recording: missing.pcap}"_s
                                  << u"units[0].recording: %1/missing.pcap: no such file"_s;
    QTest::newRow("a folder") << u"{address: 127.0.10.1, recording: sub}"_s
                              << u"units[0].recording: %1/sub: not a regular file"_s;
    QTest::newRow("a device") << u"{address: 127.0.10.1, recording: /dev/zero}"_s
                              << u"/dev/zero: not a regular file"_s;
    QTest::newRow("not a capture") << u"{address: 127.0.10.1, recording: notes.txt}"_s
                                   << u"units[0].recording: %1/notes.txt: "_s;
    QTest::newRow("no unit in it") << u"{address: 127.0.10.1, recording: empty.pcap}"_s
                                   << u"empty.pcap: holds no status-query reply"_s;
    QTest::newRow("not a path") << u"{address: 127.0.10.1, recording: [a]}"_s
                                << u"units[0].recording: must be the path of a pcap file, not a list"_s;
}

void TestRecording::scenarioRefusesBadRecordings()
{
    QFETCH(QString, group);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(u"sub"_s));
    QVERIFY(writeRecording(dir.filePath(u"probe.pcap"_s), probe(identityOf(3), 4003, simulatedReplies(3))));
    QVERIFY(writeRecording(dir.filePath(u"empty.pcap"_s), {}));
    QFile notes(dir.filePath(u"notes.txt"_s));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not a capture\n") > 0);
    notes.close();

    ScenarioError problem;
    const QByteArray text = "version: 1\n# a recorded unit\nunits:\n  - " + group.toUtf8() + "\n";
    QVERIFY(!ScenarioFile::parse(text, &problem, dir.path()));
    const QString message = problem.text(u"s.yaml"_s);
    QVERIFY2(message.contains(error.contains(u"%1"_s) ? error.arg(dir.path()) : error), qPrintable(message));
}

void TestRecording::aRecordingIsReadOnceHoweverItIsNamed()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(u"sub"_s));
    const QString file = dir.filePath(u"firmware.pcap"_s);
    QVERIFY(writeRecording(file, probe(kFirmware, 4003, firmwareReplies())));
    QVERIFY(QFile::link(file, dir.filePath(u"linked.pcap"_s)));
    // Each a way to name the same file, as a hostile caller would, so that it is read again.
    const QStringList spellings{file,
                                dir.filePath(u"sub/../firmware.pcap"_s),
                                dir.filePath(u"./firmware.pcap"_s),
                                dir.filePath(u"linked.pcap"_s),
                                u"/proc/self/root"_s + file,
                                u"firmware.pcap"_s};
    QByteArray text = "version: 1\nunits:\n";
    for (qsizetype k = 0; k < spellings.size(); ++k)
        text += "  - {address: 127.0.10." + QByteArray::number(k + 1) + ", recording: '" +
                spellings[k].toUtf8() + "'}\n";
    ScenarioError error;
    const std::optional<Scenario> first = ScenarioFile::parse(text, &error, dir.path());
    QVERIFY2(first, qPrintable(error.text(u"scenario"_s)));
    for (const ScenarioUnitGroup& group : first->units)
        QCOMPARE(group.recording.get(), first->units[0].recording.get());
    QCOMPARE(first->units[0].recording->path, QFileInfo(file).canonicalFilePath());
    // Another scenario that names it while the first holds it reads nothing.
    const std::optional<Scenario> second = ScenarioFile::parse(text, &error, dir.path());
    QVERIFY(second);
    QCOMPARE(second->units[3].recording.get(), first->units[0].recording.get());
    // A file changed is read anew.
    QVERIFY(writeRecording(file, probe(identityOf(5), 4005, simulatedReplies(5))));
    QFile changed(file);
    QVERIFY(changed.open(QIODevice::ReadWrite));
    QVERIFY(changed.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    changed.close();
    const std::optional<Scenario> third = ScenarioFile::parse(text, &error, dir.path());
    QVERIFY(third);
    QVERIFY(third->units[0].recording.get() != first->units[0].recording.get());
    QCOMPARE(third->units[0].recording->profile, 5);
}

void TestRecording::recordedUnitsAnswerAsTheRecordingDid()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(u"recordings"_s));
    QVERIFY(writeRecording(dir.filePath(u"recordings/firmware.pcap"_s),
                           probe(kFirmware, 4003, firmwareReplies())));
    QFile file(dir.filePath(u"room.yaml"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"(version: 1
seed: 4
time_scale: 100
units:
  - {count: 2, first: 127.0.10.1, recording: recordings/firmware.pcap}
  - {address: 127.0.10.3, profile: 3}
timeline:
  - {at: 1s, units: 1, profile: 4}
)");
    file.close();
    QString error;
    ScenarioError problem;
    const std::optional<Scenario> scenario = ScenarioFile::load(file.fileName(), &error);
    QVERIFY2(scenario, qPrintable(error));
    QCOMPARE(scenario->units[0].recording, scenario->fleetUnits()[1].recording); // read once

    ScenarioSession session(1);
    QStringList notListening;
    connect(&session, &ScenarioSession::endpointStateChanged, this,
            [&](int, bool listening, const QString& text) {
                if (!listening)
                    notListening << text;
            });
    QList<TrafficLogEntry> log;
    connect(&session, &ScenarioSession::trafficLogged, this,
            [&](int, const TrafficLogEntry& entry) { log << entry; });
    QVERIFY2(session.play(*scenario, &error), qPrintable(error));
    QVERIFY2(notListening.isEmpty(),
             qPrintable(u"the fixed ports are needed: "_s + notListening.join(u'\n')));
    session.player()->stop(); // the profile event waits (no event loop has run since play())

    LoopbackClient controller;
    for (int k = 0; k < 2; ++k) {
        QCOMPARE(controller.requestTo(unitAddress(k), kDiscoveryPort, "X"_ba, kAnswerMs), kFirmware);
        for (int n = 0; n < 10; ++n) {
            const QByteArray reply = controller.requestTo(unitAddress(k), 4003, unitFrame(51), kAnswerMs);
            QCOMPARE(reply.size(), kUnitFrameSize);
            QCOMPARE(quint8(reply[11]), 9);
            QCOMPARE(quint8(reply[20]), 7);
            QVERIFY2(quint8(reply[2]) >= 30 && quint8(reply[2]) <= 40,
                     qPrintable(QString::number(quint8(reply[2]))));
            QCOMPARE(reply.mid(3, 8), bytesOf(firmwareReplies()[0]).mid(3, 8));
        }
    }
    // The log shows what left: the recorded identity.
    const auto discoveryReply = std::find_if(log.cbegin(), log.cend(), [](const TrafficLogEntry& entry) {
        return entry.kind == TrafficLogEntry::Kind::DiscoveryOutgoing;
    });
    QVERIFY(discoveryReply != log.cend());
    QCOMPARE(discoveryReply->payload().toByteArray(), kFirmware);
    // Channels follow the protocol.
    QList<int> values;
    for (int k = 0; k < 24; ++k)
        values << 100 + k;
    controller.sendTo(unitAddress(0), 4003, unitFrame(0, values));
    QCOMPARE(bytesOf(controller.requestTo(unitAddress(0), 4003, unitFrame(50), kAnswerMs)).mid(2, 24),
             values);
    // The window's table says what each unit is.
    UnitTableModel table(session);
    QCOMPARE(table.data(table.index(0, UnitTableModel::Profile)).toString(),
             u"recorded firmware.pcap (port 4003)"_s);
    QCOMPARE(table.data(table.index(2, UnitTableModel::Profile)).toString(),
             u"3  PoE LED driver @ port:4003"_s);
    // The simulated neighbour is unchanged.
    QCOMPARE(controller.requestTo(unitAddress(2), kDiscoveryPort, "X"_ba, kAnswerMs), identityOf(3));

    // Saved elsewhere, the recording is named from there and read back the same.
    QTemporaryDir other;
    const QByteArray saved = ScenarioFile::toYaml(session.snapshot(), other.path());
    const QString relative = QDir(other.path()).relativeFilePath(dir.filePath(u"recordings/firmware.pcap"_s));
    QVERIFY2(saved.contains("{address: 127.0.10.2, recording: \"" + relative.toUtf8() + "\"}"),
             saved.constData());
    const std::optional<Scenario> reread = ScenarioFile::parse(saved, &problem, other.path());
    QVERIFY2(reread, qPrintable(problem.text(u"saved"_s)));
    QCOMPARE(reread->units[1].recording->path, scenario->units[0].recording->path);
    QCOMPARE(reread->units[0].recording->identity, kFirmware);
    QCOMPARE(ScenarioFile::toJson(session.snapshot())[u"units"_s]
                 .toArray()[0]
                 .toObject()[u"recording"_s]
                 .toString(),
             dir.filePath(u"recordings/firmware.pcap"_s));

    // A profile event makes unit 1 a unit of that profile; starting over makes it recorded again.
    session.player()->start();
    QVERIFY(QTest::qWaitFor([&] { return session.units()[1]->profileIndex() == 4; }, kAnswerMs));
    QVERIFY(!session.units()[1]->recording());
    QCOMPARE(controller.requestTo(unitAddress(1), kDiscoveryPort, "X"_ba, kAnswerMs), identityOf(4));
    session.player()->restart();
    session.player()->stop();
    QCOMPARE(session.units()[1]->recording(), scenario->units[0].recording);
    QCOMPARE(controller.requestTo(unitAddress(1), kDiscoveryPort, "X"_ba, kAnswerMs), kFirmware);
    QCOMPARE(quint8(controller.requestTo(unitAddress(1), 4003, unitFrame(51), kAnswerMs)[20]), 7);
}

void TestRecording::snapshotKeepsProxiesAndRecordings()
{
    // A proxy for a unit that never answers (nothing listens on 127.0.10.200): it still stands.
    ScenarioError problem;
    const std::optional<Scenario> proxied =
        ScenarioFile::parse("version: 1\nunits:\n  - {address: 127.0.10.1, proxy: 127.0.10.200, profile: 2}\n"
                            "  - {address: 127.0.10.2, proxy: 127.0.10.201}\n",
                            &problem);
    QVERIFY2(proxied, qPrintable(problem.text(u"proxied"_s)));
    ScenarioSession session(1);
    QString error;
    QVERIFY2(session.play(*proxied, &error), qPrintable(error));
    UnitTableModel table(session);
    QCOMPARE(table.data(table.index(0, UnitTableModel::Profile)).toString(),
             u"proxy for 127.0.10.200 (port 4002)"_s);
    const QByteArray saved = ScenarioFile::toYaml(session.snapshot());
    QVERIFY2(saved.contains("{address: 127.0.10.1, proxy: 127.0.10.200, profile: 2}"), saved.constData());
    QVERIFY2(saved.contains("{address: 127.0.10.2, proxy: 127.0.10.201}"), saved.constData());

    // The same addresses as simulated units: made anew, no longer passing anything on.
    const std::optional<Scenario> simulated =
        ScenarioFile::parse("version: 1\nunits:\n  - {count: 2, first: 127.0.10.1, profile: 2}\n", &problem);
    QVERIFY(simulated);
    QVERIFY2(session.play(*simulated, &error), qPrintable(error));
    QVERIFY(!session.units()[0]->relay());
    LoopbackClient controller;
    QCOMPARE(controller.requestTo(unitAddress(0), kDiscoveryPort, "X"_ba, kAnswerMs), identityOf(2));
}

void TestRecording::replayHoldsAUnitToWhatTheRecordingVaried()
{
    // A firmware that draws position 20 too (7 to 9), and says 9 at position 11.
    QList<UnitFrame> replies = firmwareReplies();
    replies[1][20] = 9;
    replies[2][20] = 8;
    QTemporaryDir dir;
    const QString recording = dir.filePath(u"varying.pcap"_s);
    QVERIFY(writeRecording(recording, probe(kFirmware, 4003, replies)));
    ScenarioError problem;
    const std::optional<Scenario> scenario =
        ScenarioFile::parse("version: 1\nunits:\n  - {address: 127.0.10.1, recording: varying.pcap}\n"
                            "  - {address: 127.0.10.2, profile: 3}\n",
                            &problem, dir.path());
    QVERIFY2(scenario, qPrintable(problem.text(u"scenario"_s)));
    ScenarioSession session(2);
    QString error;
    QVERIFY2(session.play(*scenario, &error), qPrintable(error));

    // The unit made from the recording draws 20 within what was recorded: no difference.
    ProcessResult result = runProcess(unitctlPath(), {u"replay"_s, recording, u"--to"_s, u"127.0.10.1"_s});
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    QVERIFY2(result.out.contains(u"4 requests replayed, 4 replies as recorded, 0 differences"_s),
             qPrintable(result.out));
    // Our profile 3 says 0 at 20, outside the recorded range, and 6 at 11.
    result = runProcess(unitctlPath(), {u"replay"_s, recording, u"--to"_s, u"127.0.10.2"_s, u"--explain"_s});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(
        result.out.contains(
            u"  status-query reply, position 11 (profile value at position 11): recorded 9, came 6 (in 3 of 3 replies)"_s),
        qPrintable(result.out));
    QVERIFY2(result.out.contains(
                 u"  status-query reply, position 20 (status position 20): recorded 7, came 0 (1 times); "
                 u"recorded 8, came 0 (1 times); recorded 9, came 0 (1 times) (in 3 of 3 replies)"_s),
             qPrintable(result.out));
}

void TestRecording::proxyAsksTheStatusWhereProfilesShareAnIdentity_data()
{
    QTest::addColumn<int>("real");
    QTest::addColumn<bool>("shared"); // the identity alone does not tell
    QTest::newRow("profile 3: its identity alone") << 3 << false;
    QTest::newRow("profile 5: shares it with 6") << 5 << true;
    QTest::newRow("profile 6: shares it with 5") << 6 << true;
    QTest::newRow("profile 8: shares it with 7") << 8 << true;
}

void TestRecording::proxyAsksTheStatusWhereProfilesShareAnIdentity()
{
    QFETCH(int, real);
    QFETCH(bool, shared);
    ScenarioError problem;
    const std::optional<Scenario> scenario = ScenarioFile::parse(
        u"version: 1\nunits:\n  - {address: 127.0.10.1, proxy: 127.0.10.2}\n  - {address: 127.0.10.2, "
        u"profile: %1}\n"_s.arg(real)
            .toUtf8(),
        &problem);
    QVERIFY2(scenario, qPrintable(problem.text(u"proxy"_s)));
    ScenarioSession session(1);
    QList<TrafficLogEntry> lines;
    connect(&session, &ScenarioSession::trafficLogged, this, [&](int unit, const TrafficLogEntry& entry) {
        if (unit == 0)
            lines << entry;
    });
    QString error;
    QVERIFY2(session.play(*scenario, &error), qPrintable(error));
    UnitSimulator& proxy = *session.units()[0];
    // Its two questions each have their time; the answers come at once on loopback.
    QTRY_VERIFY_WITH_TIMEOUT(!proxy.isAskingRealUnit(), kProxySettledMs);
    QCOMPARE(proxy.profileIndex(), real);
    // Said as information, once, and never as a fault.
    QStringList notices;
    // The proxy's own questions: discovery (asked again if an answer is slow), then the status.
    int askedDiscovery = 0;
    int askedStatus = 0;
    for (const TrafficLogEntry& line : std::as_const(lines)) {
        QVERIFY(!line.isFault());
        if (line.kind == TrafficLogEntry::Kind::Notice)
            notices << QString::fromUtf8(line.note->text);
        if (line.kind == TrafficLogEntry::Kind::RelayOut)
            ++(line.remotePort == kDiscoveryPort ? askedDiscovery : askedStatus);
    }
    QCOMPARE(
        notices,
        QStringList{u"proxy 127.0.10.1: the real unit at 127.0.10.2 answers as profile %1 (unit port %2)%3"_s
                        .arg(real)
                        .arg(unitPortForProfile(real))
                        .arg(shared ? u" by its status reply"_s : QString())});
    QVERIFY(askedDiscovery >= 1);
    QCOMPARE(askedStatus > 0, shared);
    // And it passes a controller's status-query on to the real unit's port.
    LoopbackClient controller;
    const QByteArray status =
        controller.requestTo(unitAddress(0), unitPortForProfile(real), unitFrame(51), kAnswerMs);
    QCOMPARE(status.size(), kUnitFrameSize);
}

QTEST_MAIN(TestRecording)
#include "tst_recording.moc"
