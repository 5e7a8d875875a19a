// The unit's answers as plain functions over bytes: profile table, replies, discovery match.
#include "loopbackclient.h"
#include "record/unitframe.h"
#include "record/unitprofiles.h"
#include "unit/discovery.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
QList<int> bytesOf(const UnitFrame& frame)
{
    return QList<int>(frame.begin(), frame.end());
}
ChannelArray startChannels()
{
    ChannelArray channels{};
    setStartChannelValues(channels);
    return channels;
}
QByteArrayView viewOf(const QByteArray& bytes)
{
    return QByteArrayView(bytes);
}
} // namespace

class TestUnitProtocol : public QObject {
    Q_OBJECT

private slots:
    void profileTable_data();
    void profileTable();
    void identityStringsHaveSevenFields();
    void channelQueryAtStart();
    void setChannelsThenQuery_data();
    void setChannelsThenQuery();
    void setChannelsStoresPositionsZeroToTwentyFive();
    void statusQueryPerProfile_data();
    void statusQueryPerProfile();
    void statusQueryRandomPositions();
    void unknownCommandsChangeNothing_data();
    void unknownCommandsChangeNothing();
    void longFramesUseOnlyFirst29Bytes();
    void shortFramesAreIgnored_data();
    void shortFramesAreIgnored();
    void discoveryMatch_data();
    void discoveryMatch();
};

void TestUnitProtocol::profileTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<int>("port");
    const QString idBase = QStringLiteral("ALED.SIM.ULA.TOR.%1/%2/*****/**/Lumivane/%3/*");
    QTest::addRow("0") << 0 << u"LED driver @ port:4000"_s << idBase.arg(0).arg(4000).arg(u"LED2.0"_s)
                       << 4000;
    QTest::addRow("1") << 1 << u"\"Generation 1\" LED driver @ port:4001"_s
                       << idBase.arg(1).arg(4001).arg(u"LED5.1"_s) << 4001;
    QTest::addRow("2") << 2 << u"slim LED driver @ port:4002"_s << idBase.arg(2).arg(4002).arg(u"SLD2.0"_s)
                       << 4002;
    QTest::addRow("3") << 3 << u"PoE LED driver @ port:4003"_s << idBase.arg(3).arg(4003).arg(u"PoE2.0"_s)
                       << 4003;
    QTest::addRow("4") << 4 << u"Dimmer @ port:4004"_s << idBase.arg(4).arg(4004).arg(u"DIM2.0"_s) << 4004;
    QTest::addRow("5") << 5 << u"CVD driver-6 channels @ port:4005"_s
                       << idBase.arg(5).arg(4005).arg(u"CVD2.1"_s) << 4005;
    QTest::addRow("6") << 6 << u"CVD driver-12 channels @ port:4005"_s
                       << idBase.arg(5).arg(4005).arg(u"CVD2.1"_s) << 4005;
    QTest::addRow("7") << 7 << u"CCD driver-6 channels @ port:4007"_s
                       << idBase.arg(6).arg(4007).arg(u"CCD2.1"_s) << 4007;
    QTest::addRow("8") << 8 << u"CCD driver-12 channels @ port:4007"_s
                       << idBase.arg(6).arg(4007).arg(u"CCD2.1"_s) << 4007;
}

void TestUnitProtocol::profileTable()
{
    QFETCH(int, index);
    QFETCH(QString, label);
    QFETCH(QString, identity);
    QFETCH(int, port);
    const UnitProfile& profile = kUnitProfiles[std::size_t(index)];
    QCOMPARE(QLatin1String(profile.label.data(), qsizetype(profile.label.size())), label);
    QCOMPARE(QLatin1String(identityForProfile(index).data(), 50), identity);
    QCOMPARE(identityForProfile(index).size(), std::size_t(50));
    QCOMPARE(int(unitPortForProfile(index)), port);
    QVERIFY(label.endsWith(QStringLiteral("@ port:") + QString::number(port)));
    QVERIFY(port != 4006 && port != 4008);
}

void TestUnitProtocol::identityStringsHaveSevenFields()
{
    for (const UnitProfile& profile : kUnitProfiles) {
        const QString id = QString::fromLatin1(profile.identity.data(), qsizetype(profile.identity.size()));
        const QStringList fields = id.split(QLatin1Char('/'));
        QCOMPARE(fields.size(), 7);
        QCOMPARE(fields[1].toInt(), int(profile.unitPort));
    }
    QCOMPARE(QByteArrayView(kUnitProfiles[1].label.data(), 1), QByteArrayView("\""));
    QCOMPARE(kUnitProfiles[1].label.size(), std::size_t(37));
}

void TestUnitProtocol::channelQueryAtStart()
{
    ChannelArray channels = startChannels();
    const auto reply = handleUnitRequest(viewOf(unitFrame(50)), channels, 0, {});
    QVERIFY(reply);
    QCOMPARE(bytesOf(*reply),
             (QList<int>{254, 50} + repeated(125, 12) + repeated(0, 12) + QList<int>{0, 0, 255}));
    // Elements after opening: 0, 0, twelve times 125, sixteen times 0.
    QCOMPARE(QList<int>(channels.begin(), channels.end()),
             repeated(0, 2) + repeated(125, 12) + repeated(0, 16));
}

void TestUnitProtocol::setChannelsThenQuery_data()
{
    QTest::addColumn<QList<int>>("values");
    QList<int> ascending;
    for (int v = 1; v <= 24; ++v)
        ascending << v;
    QTest::addRow("1 to 24") << ascending;
    QTest::addRow("all 0") << repeated(0, 24);
    QTest::addRow("all 255") << repeated(255, 24);
    QTest::addRow("mixed extremes") << (repeated(255, 12) + repeated(0, 12));
}

void TestUnitProtocol::setChannelsThenQuery()
{
    QFETCH(QList<int>, values);
    ChannelArray channels = startChannels();
    QByteArray set = unitFrame(0, values);
    set[0] = char(77);
    set[26] = set[27] = set[28] = char(99);
    QVERIFY(!handleUnitRequest(viewOf(set), channels, 0, {}));
    const auto reply = handleUnitRequest(viewOf(unitFrame(50)), channels, 0, {});
    QVERIFY(reply);
    QCOMPARE(bytesOf(*reply), (QList<int>{254, 50} + values + QList<int>{0, 0, 255}));
}

void TestUnitProtocol::setChannelsStoresPositionsZeroToTwentyFive()
{
    ChannelArray channels = startChannels();
    QByteArray set = unitFrame(0, repeated(7, 27));
    set[0] = char(9);
    handleUnitRequest(viewOf(set), channels, 3, {});
    QCOMPARE(channels[0], 9);
    QCOMPARE(channels[1], 0);
    QCOMPARE(channels[25], 7);
    for (int n = 26; n < kChannelCount; ++n)
        QCOMPARE(channels[n], 0);
}

void TestUnitProtocol::statusQueryPerProfile_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<int>("position11");
    QTest::addColumn<int>("position14");
    const int second = 123; // the second draw: shows only under profile 1
    QTest::addRow("0") << 0 << 6 << 12;
    QTest::addRow("1") << 1 << 1 << second;
    QTest::addRow("2") << 2 << 6 << 4;
    QTest::addRow("3") << 3 << 6 << 4;
    QTest::addRow("4") << 4 << 6 << 4;
    QTest::addRow("5") << 5 << 12 << 6;
    QTest::addRow("6") << 6 << 12 << 12;
    QTest::addRow("7") << 7 << 12 << 6;
    QTest::addRow("8") << 8 << 12 << 12;
    QTest::addRow("outside the table") << 9 << 6 << 0;
}

void TestUnitProtocol::statusQueryPerProfile()
{
    QFETCH(int, profile);
    QFETCH(int, position11);
    QFETCH(int, position14);
    ChannelArray channels = startChannels();
    const ChannelArray before = channels;
    const auto reply = handleUnitRequest(viewOf(unitFrame(51)), channels, profile, StatusDraw{42, 123});
    QVERIFY(reply);
    const QList<int> expected =
        QList<int>{254, 51, 42, 240, 250, 0, 0, 0, 0, 0, 5, position11, 5, 3, position14, 0, 1} +
        repeated(0, 9) + QList<int>{75, 1, 255};
    QCOMPARE(bytesOf(*reply), expected);
    QCOMPARE(channels, before);
}

void TestUnitProtocol::statusQueryRandomPositions()
{
    // The draws land unchanged at positions 2 and 14, over the whole of their ranges.
    for (const StatusDraw draw : {StatusDraw{25, 0}, StatusDraw{70, 250}}) {
        const UnitFrame reply = statusQueryReply(1, draw);
        QCOMPARE(int(reply[2]), draw.first);
        QCOMPARE(int(reply[14]), draw.second);
        QCOMPARE(int(statusQueryReply(4, draw)[14]), 4);
    }
}

void TestUnitProtocol::unknownCommandsChangeNothing_data()
{
    QTest::addColumn<int>("command");
    for (int command : {1, 49, 52, 254, 255})
        QTest::addRow("%d", command) << command;
}

void TestUnitProtocol::unknownCommandsChangeNothing()
{
    QFETCH(int, command);
    ChannelArray channels = startChannels();
    const ChannelArray before = channels;
    QVERIFY(!handleUnitRequest(viewOf(unitFrame(quint8(command), repeated(1, 27))), channels, 0, {}));
    QCOMPARE(channels, before);
}

void TestUnitProtocol::longFramesUseOnlyFirst29Bytes()
{
    ChannelArray channels = startChannels();
    QByteArray set = unitFrame(0, repeated(200, 38), 40);
    handleUnitRequest(viewOf(set), channels, 0, {});
    const auto reply = handleUnitRequest(viewOf(unitFrame(50, repeated(1, 38), 40)), channels, 0, {});
    QVERIFY(reply);
    QCOMPARE(bytesOf(*reply), (QList<int>{254, 50} + repeated(200, 24) + QList<int>{0, 0, 255}));
    QCOMPARE(channels[26], 0);
}

void TestUnitProtocol::shortFramesAreIgnored_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("command");
    for (int size : {0, 1, 2, 28}) {
        QTest::addRow("set-channels, %d bytes", size) << size << 0;
        QTest::addRow("channel-query, %d bytes", size) << size << 50;
        QTest::addRow("status-query, %d bytes", size) << size << 51;
    }
}

void TestUnitProtocol::shortFramesAreIgnored()
{
    QFETCH(int, size);
    QFETCH(int, command);
    ChannelArray channels = startChannels();
    const ChannelArray before = channels;
    QVERIFY(!handleUnitRequest(viewOf(unitFrame(quint8(command), repeated(9, 27), size)), channels, 0, {}));
    QCOMPARE(channels, before);
}

void TestUnitProtocol::discoveryMatch_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("matches");
    QTest::addRow("X") << QByteArray("X") << true;
    QTest::addRow("lower-case x") << QByteArray("x") << false;
    QTest::addRow("XX") << QByteArray("XX") << false;
    QTest::addRow("X and line end") << QByteArray("X\n") << false;
    QTest::addRow("X and NUL") << QByteArray("X\0", 2) << false;
    QTest::addRow("NUL") << QByteArray("\0", 1) << false;
    QTest::addRow("empty") << QByteArray() << false;
}

void TestUnitProtocol::discoveryMatch()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, matches);
    QCOMPARE(isDiscoveryRequest(payload), matches);
}

QTEST_GUILESS_MAIN(TestUnitProtocol)
#include "tst_unitprotocol.moc"
