// Traffic-log line texts and the log model.
#include "log/trafficlogjson.h"
#include "log/trafficlogline.h"
#include "log/trafficlogmodel.h"
#include "record/unitframe.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr quint32 kSender = (192u << 24) | (0u << 16) | (2u << 8) | 10u; // 192.0.2.10

QByteArray frameWith(std::initializer_list<std::pair<int, int>> positions, int size = 29)
{
    QByteArray frame(size, '\0');
    for (auto [position, value] : positions)
        frame[position] = char(value);
    return frame;
}

UnitFrame startReply()
{
    ChannelArray channels{};
    setStartChannelValues(channels);
    return channelQueryReply(channels);
}
} // namespace

class TestTrafficLog : public QObject {
    Q_OBJECT

private slots:
    void jsonWritersAgree_data();
    void jsonWritersAgree();
    void lineTexts_data();
    void lineTexts();
    void longDatagramsLeaveRoomForWhyTheyWereNotSent_data();
    void longDatagramsLeaveRoomForWhyTheyWereNotSent();
    void addressesInDottedDecimal_data();
    void addressesInDottedDecimal();
    void newestLineOnTop();
    void clearEmptiesOnlyTheLog();
    void fleetLinesKeepTheirUnitAcrossClears();
    void burstPublishedAsOneInsertion();
    void thousandsOfLinesAreAllKept();
    void relayLegsAreTheirOwnDirection();
    void eventsNameTheirUnits_data();
    void eventsNameTheirUnits();
};

namespace {
// A request as a unit that was down logs it.
TrafficLogEntry offline(TrafficLogEntry entry, const char* state)
{
    entry.note = new TrafficLogNote;
    entry.note->text = state;
    return entry;
}
} // namespace

void TestTrafficLog::lineTexts_data()
{
    QTest::addColumn<TrafficLogEntry>("entry");
    QTest::addColumn<QString>("line");

    QTest::addRow("unit incoming: two spaces after the hyphen")
        << TrafficLogEntry::unitIncoming(kSender, 50000, 4000, frameWith({{1, 50}}), 0)
        << u"--> 192.0.2.10:4000 -  0 50 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"_s;
    QTest::addRow("unit outgoing: no space after the hyphen")
        << TrafficLogEntry::unitOutgoing(kSender, 50000, startReply(), 0)
        << u"<-- 192.0.2.10:50000 -254 50 125 125 125 125 125 125 125 125 125 125 125 125 "
           "0 0 0 0 0 0 0 0 0 0 0 0 0 0 255"_s;
    QTest::addRow("unit incoming: 255 and the own port after switching")
        << TrafficLogEntry::unitIncoming(kSender, 50000, 4003, frameWith({{0, 255}, {1, 51}, {28, 255}}), 0)
        << u"--> 192.0.2.10:4003 -  255 51 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 255"_s;
    QTest::addRow("unit incoming: 40 bytes show 29")
        << TrafficLogEntry::unitIncoming(kSender, 50000, 4000, QByteArray(40, char(7)), 0)
        << u"--> 192.0.2.10:4000 -  7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7"_s;
    QTest::addRow("unit incoming: short datagram marks missing positions")
        << TrafficLogEntry::unitIncoming(kSender, 50000, 4000, QByteArray("\x01\x32\x00", 3), 0)
        << u"--> 192.0.2.10:4000 -  1 50 0 - - - - - - - - - - - - - - - - - - - - - - - - - -"_s;
    QTest::addRow("unit incoming: empty datagram")
        << TrafficLogEntry::unitIncoming(kSender, 50000, 4000, QByteArray(), 0)
        << u"--> 192.0.2.10:4000 -  - - - - - - - - - - - - - - - - - - - - - - - - - - - - -"_s;
    QTest::addRow("discovery incoming: one space")
        << TrafficLogEntry::discoveryIncoming(kSender, 50000, 65535, "X", 0) << u"--> 192.0.2.10:65535 - X"_s;
    QTest::addRow("discovery outgoing: row 0")
        << TrafficLogEntry::discoveryOutgoing(kSender, 50000, 0)
        << u"<-- 192.0.2.10:50000 - ALED.SIM.ULA.TOR.0/4000/*****/**/Lumivane/LED2.0/*"_s;
    QTest::addRow("discovery outgoing: row 8 carries row 7's identity")
        << TrafficLogEntry::discoveryOutgoing(kSender, 1, 8)
        << u"<-- 192.0.2.10:1 - ALED.SIM.ULA.TOR.6/4007/*****/**/Lumivane/CCD2.1/*"_s;
    QTest::addRow("scenario event") << TrafficLogEntry::event(u"scenario: reboot 127.0.1.7 for 2 s"_s)
                                    << u"*** scenario: reboot 127.0.1.7 for 2 s"_s;
    QTest::addRow("request to a unit that was offline")
        << offline(TrafficLogEntry::discoveryIncoming(kSender, 50000, 65535, "X", 0), "offline")
        << u"--> 192.0.2.10:65535 - X (offline)"_s;
    // A proxy unit's legs to the real unit: the real unit's address and port, the bytes as they went.
    QTest::addRow("to the real unit") << TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, kSender,
                                                                  4003, 41000, frameWith({{1, 50}}, 5), 3)
                                      << u"==> 192.0.2.10:4003 - 0 50 0 0 0"_s;
    QTest::addRow("from the real unit's discovery, longer than a frame")
        << TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayIn, kSender, 65535, 41000,
                                    QByteArray(identityForProfile(3).data(), 50), 3)
        << u"<== 192.0.2.10:65535 - ALED.SIM.ULA.TOR.3/4003/*****/**/Lumivane/PoE2.0/*"_s;
    QTest::addRow("to the real unit, not sent")
        << TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, kSender, 4003, 0,
                                    QByteArray(40, char(1)), 3)
               .notSentBecause(u"Network is unreachable"_s)
        << u"=X> 192.0.2.10:4003 - "_s + QStringList(40, u"1"_s).join(u' ') +
               u" (not sent: Network is unreachable)"_s;
    QTest::addRow("request to a unit that was rebooting")
        << offline(TrafficLogEntry::unitIncoming(kSender, 50000, 4000, QByteArray("\x01\x32", 2), 0),
                   "rebooting")
        << u"--> 192.0.2.10:4000 -  1 50 - - - - - - - - - - - - - - - - - - - - - - - - - - - (rebooting)"_s;
}

void TestTrafficLog::lineTexts()
{
    QFETCH(TrafficLogEntry, entry);
    QFETCH(QString, line);
    QCOMPARE(trafficLogLine(entry), line);
}

void TestTrafficLog::longDatagramsLeaveRoomForWhyTheyWereNotSent_data()
{
    QTest::addColumn<TrafficLogEntry>("entry");
    using Kind = TrafficLogEntry::Kind;
    const QByteArray longest(1473, char(200));
    QTest::addRow("to the real unit's unit port")
        << TrafficLogEntry::relayed(Kind::RelayOut, kSender, 4003, 0, longest, 3);
    QTest::addRow("to the real unit's discovery port, every byte escaped")
        << TrafficLogEntry::relayed(Kind::RelayOut, kSender, 65535, 0, QByteArray(1473, char(1)), 3);
    QTest::addRow("a changed discovery reply")
        << TrafficLogEntry::discoveryOutgoing(kSender, 50000, 0, QByteArray(600, 'A'));
}

void TestTrafficLog::longDatagramsLeaveRoomForWhyTheyWereNotSent()
{
    QFETCH(TrafficLogEntry, entry);
    const QString why = u"longer than any datagram a unit receives (1472 bytes at most); not passed on"_s;
    const QString line = trafficLogLine(entry.notSentBecause(why));
    QVERIFY2(line.size() <= kMaxTrafficLogLine, qPrintable(QString::number(line.size())));
    QVERIFY2(line.endsWith(u"... (not sent: "_s + why + u')'), qPrintable(line));
}

void TestTrafficLog::addressesInDottedDecimal_data()
{
    QTest::addColumn<QString>("address");
    for (const char* text : {"0.0.0.0", "127.0.0.1", "10.0.255.9", "255.255.255.255"})
        QTest::addRow("%s", text) << QString::fromLatin1(text);
}

void TestTrafficLog::addressesInDottedDecimal()
{
    QFETCH(QString, address);
    const quint32 ip = QHostAddress(address).toIPv4Address();
    const QString line = trafficLogLine(TrafficLogEntry::discoveryIncoming(ip, 50000, 65535, "X", 0));
    QCOMPARE(line, u"--> "_s + address + u":65535 - X"_s);
    QVERIFY(line.size() <= kMaxTrafficLogLine);
}

void TestTrafficLog::newestLineOnTop()
{
    TrafficLogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.append(TrafficLogEntry::unitIncoming(kSender, 50000, 4000, frameWith({{1, 50}}), 0));
    model.append(TrafficLogEntry::unitOutgoing(kSender, 50000, startReply(), 0));
    QCOMPARE(model.rowCount(), 2);
    QVERIFY(model.lineAt(0).startsWith(u"<-- "_s));
    QVERIFY(model.lineAt(1).startsWith(u"--> "_s));
    QCOMPARE(model.data(model.index(0)).toString(), model.lineAt(0));
}

void TestTrafficLog::clearEmptiesOnlyTheLog()
{
    TrafficLogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.clear(); // clearing an empty log is harmless
    QCOMPARE(model.rowCount(), 0);
    for (int i = 0; i < 5; ++i)
        model.append(TrafficLogEntry::discoveryIncoming(kSender, 50000, 65535, "X", 0));
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    model.append(TrafficLogEntry::discoveryOutgoing(kSender, 7, 2));
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.lineAt(0), u"<-- 192.0.2.10:7 - ALED.SIM.ULA.TOR.2/4002/*****/**/Lumivane/SLD2.0/*"_s);
}

void TestTrafficLog::fleetLinesKeepTheirUnitAcrossClears()
{
    TrafficLogModel model;
    model.setUnitAddresses({u"127.0.1.1"_s, u"127.0.1.2"_s});
    model.appendFrom(1, TrafficLogEntry::discoveryIncoming(kSender, 50000, 65535, "X", 0));
    model.clear();
    model.appendFrom(0, TrafficLogEntry::discoveryIncoming(kSender, 50001, 65535, "X", 0));
    model.appendFrom(1, TrafficLogEntry::discoveryOutgoing(kSender, 7, 2));
    QCOMPARE(model.firstSeq(), 1u);
    QCOMPARE(model.unitWithSeq(1), 0);
    QCOMPARE(model.unitWithSeq(2), 1);
    QCOMPARE(model.prefixWithSeq(2), u"127.0.1.2 "_s);
    QCOMPARE(model.lineAt(0),
             u"127.0.1.2 <-- 192.0.2.10:7 - ALED.SIM.ULA.TOR.2/4002/*****/**/Lumivane/SLD2.0/*"_s);
    QCOMPARE(model.lineAt(1), u"127.0.1.1 --> 192.0.2.10:65535 - X"_s);

    // The single unit's log has no prefixes and keeps no unit numbers.
    TrafficLogModel single;
    single.append(TrafficLogEntry::discoveryOutgoing(kSender, 7, 2));
    QCOMPARE(single.unitWithSeq(0), 0);
    QVERIFY(single.lineAt(0).startsWith(u"<-- "_s));
}

void TestTrafficLog::burstPublishedAsOneInsertion()
{
    TrafficLogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setPublishInterval(10);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    for (int port = 1; port <= 1000; ++port)
        model.append(TrafficLogEntry::discoveryIncoming(kSender, 50000, quint16(port), "X", 0));
    QCOMPARE(model.rowCount(), 0); // not shown yet
    QCOMPARE(model.lineCount(), 1000);
    QVERIFY(inserted.wait(2000));
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted[0][1].toInt(), 0);
    QCOMPARE(inserted[0][2].toInt(), 999);
    QCOMPARE(model.lineAt(0), u"--> 192.0.2.10:1000 - X"_s);
    QCOMPARE(model.lineAt(999), u"--> 192.0.2.10:1 - X"_s);

    // Lines pending at a clear are gone with the rest, and never shown afterwards.
    model.append(TrafficLogEntry::discoveryIncoming(kSender, 50000, 1, "X", 0));
    model.clear();
    QTest::qWait(30);
    QCOMPARE(model.rowCount(), 0);
}

void TestTrafficLog::thousandsOfLinesAreAllKept()
{
    TrafficLogModel model;
    for (int i = 0; i < 20000; ++i)
        model.append(TrafficLogEntry::unitIncoming(kSender, 50000, 4000, QByteArray(29, char(i % 256)), 0));
    QCOMPARE(model.rowCount(), 20000);
    QVERIFY(model.lineAt(19999).endsWith(u" 0 0"_s));
    QVERIFY(model.lineAt(0).endsWith(u" 31 31"_s)); // 19999 % 256
    QVERIFY(model.lineAt(20000).isNull());
}

void TestTrafficLog::jsonWritersAgree_data()
{
    QTest::addColumn<TrafficLogEntry>("entry");
    QTest::addColumn<QString>("unitAddress");
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte += char(b);
    const auto at = [](TrafficLogEntry entry, qint64 timeUs) {
        entry.timeUs = timeUs;
        return entry;
    };
    QTest::newRow("request, leap day")
        << at(TrafficLogEntry::unitIncoming(kSender, 50000, 4003, frameWith({{1, 50}}), 3), 1709208000123456)
        << QString();
    QTest::newRow("short request, a fleet's unit")
        << at(TrafficLogEntry::unitIncoming(kSender, 1, 4000, frameWith({}, 3), 0), 0) << u"127.0.1.200"_s;
    QTest::newRow("reply, year's last microsecond")
        << at(TrafficLogEntry::unitOutgoing(kSender, 65535, startReply(), 8, 4000), 1798761599999999)
        << QString();
    QTest::newRow("not sent, every byte in its reason")
        << TrafficLogEntry::unitOutgoing(kSender, 9, startReply(), 2)
               .notSentBecause(QString::fromLatin1(everyByte))
        << u"10.0.0.1"_s;
    QTest::newRow("not sent, unicode reason") << TrafficLogEntry::unitOutgoing(kSender, 9, startReply(), 2)
                                                     .notSentBecause(u"Netz \"weg\" — ünreachable"_s)
                                              << QString();
    QTest::newRow("discovery request")
        << TrafficLogEntry::discoveryIncoming(0, 0, 65535, "X\n\"\\", 1) << QString();
    QTest::newRow("discovery reply changed")
        << TrafficLogEntry::discoveryOutgoing(kSender, 40000, 4, everyByte) << QString();
    QTest::newRow("fault") << TrafficLogEntry::fault(TrafficLogEntry::Kind::DiscoveryFault, kSender, 7, 1,
                                                     u"RULE 1: drop \"x\""_s, FaultKind::Discovery)
                           << u"127.0.1.1"_s;
    QTest::newRow("notice") << TrafficLogEntry::notice(u"log store: said\tthus"_s) << u"127.0.1.1"_s;
    QTest::newRow("event") << TrafficLogEntry::event(u"scenario: fault \"drop\" on all 3 units"_s)
                           << u"127.0.1.1"_s;
    QTest::newRow("request to a unit that was offline")
        << offline(TrafficLogEntry::unitIncoming(kSender, 1, 4000, frameWith({}, 3), 0), "offline")
        << u"127.0.1.2"_s;
    QTest::newRow("to the real unit, longer than a frame")
        << TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, kSender, 4003, 41000, everyByte, 3)
        << u"127.0.9.1"_s;
    QTest::newRow("from the real unit") << TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayIn, kSender,
                                                                    4003, 41000, frameWith({{1, 51}}), 3)
                                        << u"127.0.9.1"_s;
}

void TestTrafficLog::jsonWritersAgree()
{
    QFETCH(TrafficLogEntry, entry);
    QFETCH(QString, unitAddress);
    const QByteArray expected =
        QJsonDocument(trafficLogJson(entry, 1234567890123, 17, entry.isRemark() ? QString() : unitAddress))
            .toJson(QJsonDocument::Compact);
    QByteArray fast;
    appendTrafficLogJson(fast, entry, 1234567890123, 17,
                         entry.isRemark() ? QByteArray() : unitAddress.toUtf8());
    QCOMPARE(fast, expected);
}

void TestTrafficLog::relayLegsAreTheirOwnDirection()
{
    // Not the controller's traffic: their own direction, the relay's port, the whole payload.
    const TrafficLogEntry out = TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayOut, kSender, 4003,
                                                         41000, QByteArray(40, char(9)), 3);
    const QJsonObject json = trafficLogJson(out, 1, 0, u"127.0.9.1"_s);
    QCOMPARE(json[u"direction"_s], u"to-real"_s);
    QCOMPARE(json[u"port"_s], 41000);
    QCOMPARE(json[u"remote"_s], u"192.0.2.10:4003"_s);
    QCOMPARE(json[u"bytes"_s].toArray().size(), 40);
    QVERIFY(out.isDatagram() && out.isRelay() && !out.isIncoming());
    const TrafficLogEntry in =
        TrafficLogEntry::relayed(TrafficLogEntry::Kind::RelayIn, kSender, 65535, 41000, "x", 3);
    QCOMPARE(trafficLogJson(in, 1, 0, {})[u"direction"_s], u"from-real"_s);
    QCOMPARE(trafficLogJson(in, 1, 0, {})[u"endpoint"_s], u"discovery"_s);
    // A datagram far longer than a line: cut where the line ends, and said to be.
    const QString line = trafficLogLine(TrafficLogEntry::relayed(
        TrafficLogEntry::Kind::RelayOut, kSender, 4003, 41000, QByteArray(2000, char(200)), 3));
    QVERIFY(line.size() <= kMaxTrafficLogLine);
    QVERIFY2(line.endsWith(u"200 200..."_s), qPrintable(line));
}

void TestTrafficLog::eventsNameTheirUnits_data()
{
    using Mark = TrafficLogEntry::EventMark;
    QTest::addColumn<TrafficLogEntry>("entry");
    QTest::addColumn<QList<QByteArray>>("addresses");
    QTest::addColumn<QByteArray>("expected"); // the JSON's unit, address and units, as compact JSON
    const QList<QByteArray> fleet{"127.0.8.1", "127.0.8.2", "127.0.8.3"};
    QTest::newRow("one unit") << TrafficLogEntry::event(u"scenario: reboot 127.0.8.2 for 2 s"_s,
                                                        Mark::UnitsRebooting, 1, 1)
                              << fleet << QByteArray(R"({"address":"127.0.8.2","unit":1})");
    QTest::newRow("several") << TrafficLogEntry::event(u"scenario: offline all 3 units"_s, Mark::UnitsOffline,
                                                       0, 2)
                             << fleet
                             << QByteArray(R"({"address":null,"unit":null,"units":{"first":0,"firstAddress":)"
                                           R"("127.0.8.1","last":2,"lastAddress":"127.0.8.3"}})");
    QTest::newRow("several, addresses unknown")
        << TrafficLogEntry::event(u"scenario: profile 3 on units 1-2"_s, Mark::None, 1, 2)
        << QList<QByteArray>{} << QByteArray(R"({"address":null,"unit":null,"units":{"first":1,"last":2}})");
    QTest::newRow("the single unit") << TrafficLogEntry::event(u"scenario: reboot the unit"_s, Mark::None, 0,
                                                               0)
                                     << QList<QByteArray>{} << QByteArray(R"({"address":null,"unit":0})");
    QTest::newRow("the scenario itself")
        << TrafficLogEntry::event(u"scenario ended at 4 s"_s, Mark::ScenarioEnded) << fleet
        << QByteArray(R"({"address":null,"unit":null})");
}

void TestTrafficLog::eventsNameTheirUnits()
{
    QFETCH(TrafficLogEntry, entry);
    QFETCH(QList<QByteArray>, addresses);
    QFETCH(QByteArray, expected);
    const QJsonObject json = trafficLogJson(entry, 5, -1, {}, addresses);
    QJsonObject units;
    for (const char* key : {"address", "unit", "units"}) {
        if (json.contains(QLatin1String(key)))
            units.insert(QLatin1String(key), json[QLatin1String(key)]);
    }
    QCOMPARE(QJsonDocument(units).toJson(QJsonDocument::Compact), expected);
    QByteArray fast;
    appendTrafficLogJson(fast, entry, 5, -1, {}, addresses);
    QCOMPARE(fast, QJsonDocument(json).toJson(QJsonDocument::Compact));
}

QTEST_GUILESS_MAIN(TestTrafficLog)
#include "tst_trafficlog.moc"
