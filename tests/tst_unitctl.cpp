// unitctl as a process against the headless simulator and against test responders on loopback.
// Uses the product's fixed ports (4000-4007 and 65535): fails with a clear message when another
// program holds them.
#include "loopbackclient.h"
#include "programs.h"
#include "recording/pcapreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <pcap/pcap.h>

#include <functional>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {
ProcessResult unitctl(const QStringList& arguments)
{
    return runProcess(unitctlPath(), arguments);
}

QByteArray channelReply(int value)
{
    QByteArray reply(29, char(value));
    reply[0] = char(254);
    reply[1] = char(50);
    reply[26] = reply[27] = 0;
    reply[28] = char(255);
    return reply;
}

// A stand-in unit on loopback that hands every request to `answer`.
class Responder {
public:
    explicit Responder(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0)
    {
        bound = socket.bind(address, port);
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram request = socket.receiveDatagram();
                if (answer)
                    answer(request);
            }
        });
    }
    QString target() const { return u"127.0.0.1:"_s + QString::number(socket.localPort()); }

    QUdpSocket socket;
    bool bound = false;
    std::function<void(const QNetworkDatagram&)> answer;
};
} // namespace

class TestUnitctl : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { m_simulator.stop(); }
    void againstTheHeadlessSimulator();
    void json();
    void discoverByBroadcast();
    void discoverCollectsManyAnswersSortedByAddress();
    void timesOutOnASilentPort();
    void reportsMalformedReplies_data();
    void reportsMalformedReplies();
    void ignoresRepliesFromElsewhere_data();
    void ignoresRepliesFromElsewhere();
    void usageErrors_data();
    void usageErrors();
    void help();
    void replayHoldsAUnitAgainstARecording();
    void recordSetsTheChannelsBackUnlessTold_data();
    void recordSetsTheChannelsBackUnlessTold();
    void replayComparesPosition14WhereItIsNotDrawn();
    void sendErrorsHaveTheirOwnStatus();
    void verifyAsksTheControlApi();
    void healthSaysReadyOrWhyNot();

private:
    void startSimulator(const QStringList& arguments);
    HeadlessSimulator m_simulator;
};

void TestUnitctl::startSimulator(const QStringList& arguments)
{
    const QString problem = m_simulator.start(arguments);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestUnitctl::verifyAsksTheControlApi()
{
    startSimulator({u"--quiet"_s, u"--control"_s, u"0"_s});
    const QString url = m_simulator.controlUrl();
    QVERIFY2(url.startsWith(u"http://"_s), qPrintable(m_simulator.startMessages()));
    const QString api = url.mid(7); // HOST:PORT, as unitctl takes it
    QCOMPARE(unitctl({u"set"_s, u"127.0.0.1"_s, u"9"_s, u"200"_s}).exitCode, 0);
    QCOMPARE(unitctl({u"set"_s, u"127.0.0.1"_s, u"9"_s, u"201"_s}).exitCode, 0);
    QCOMPARE(unitctl({u"channels"_s, u"127.0.0.1"_s}).exitCode, 0); // the API has seen both sets by now

    ProcessResult r =
        unitctl({u"verify"_s, api,
                 uR"({"command": "set-channels", "bytes": [{"position": 2, "equals": 9}], "exactly": 2})"_s});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith(u"matched: 2 matching requests of 3; the first at line "_s), qPrintable(r.out));

    r = unitctl(
        {u"verify"_s, api, uR"({"command": "set-channels", "bytes": [{"position": 3, "equals": 255}]})"_s});
    QCOMPARE(r.exitCode, 1);
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines[0], u"not matched: 0 matching requests of 3"_s);
    QVERIFY2(lines[1].startsWith(u"near miss, line "_s) &&
                 lines[1].contains(u"--> 127.0.0.1:4000 -  0 0 9 201 "_s),
             qPrintable(r.out));
    QCOMPARE(lines[2], u"  position 3: expected 255, was 201"_s);

    r = unitctl({u"verify"_s, api, u"--json"_s, uR"({"command": "channel-query"})"_s});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith(u"{\"count\":1,"_s), qPrintable(r.out));

    r = unitctl({u"verify"_s, api, uR"({"command": "reboot"})"_s});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(u"refused the matcher (400): \"command\" takes"_s), qPrintable(r.err));
    QCOMPARE(unitctl({u"verify"_s, api, u"[1, 2]"_s}).exitCode, 2);
    m_simulator.stop();
    r = unitctl({u"verify"_s, api, u"{}"_s});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains(u"no answer from the control API"_s), qPrintable(r.err));
}

void TestUnitctl::healthSaysReadyOrWhyNot()
{
    // Another program holds the second unit's port: the run goes on without it, and is not ready.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(u"127.0.5.2"_s), 4000, QUdpSocket::DontShareAddress));
    const QString problem =
        m_simulator.start({u"--quiet"_s, u"--units"_s, u"2@127.0.5.1"_s, u"--keep-going"_s, u"--control"_s,
                           u"0"_s, u"--control-token"_s, u"s3cret"_s});
    QVERIFY2(problem.contains(u"1 of 2 units listening"_s) || problem.isEmpty(), qPrintable(problem));
    const QString api = m_simulator.controlUrl().mid(7);
    QVERIFY2(!api.isEmpty(), qPrintable(m_simulator.startMessages()));

    ProcessResult r = unitctl({u"health"_s, api});
    QCOMPARE(r.exitCode, 2); // no token
    QVERIFY2(r.err.contains(u"answered 401"_s), qPrintable(r.err));

    // The simulator's own variable is enough, as in a container beside it.
    qputenv("UNITSIM_CONTROL_TOKEN", "s3cret");
    const auto unsetToken = qScopeGuard([] { qunsetenv("UNITSIM_CONTROL_TOKEN"); });
    r = unitctl({u"health"_s, api});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out, u"not ready: 1 of 2 units not listening\n"_s);
    r = unitctl({u"health"_s, api, u"--json"_s});
    QCOMPARE(r.exitCode, 1);
    const QJsonObject answer = QJsonDocument::fromJson(r.out.toUtf8()).object();
    const QJsonArray missing = answer[u"notBound"_s].toArray();
    QCOMPARE(missing.size(), 1);
    QCOMPARE(missing[0][u"address"_s], u"127.0.5.2"_s);
    QCOMPARE(missing[0][u"endpoint"_s], u"unit"_s);
    m_simulator.stop();

    holder.close();
    startSimulator({u"--quiet"_s, u"--units"_s, u"2@127.0.5.1"_s, u"--control"_s, u"0"_s});
    r = unitctl({u"health"_s, m_simulator.controlUrl().mid(7)});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, u"ready: 2 units listening\n"_s);
    QCOMPARE(unitctl({u"health"_s, u"not-an-api"_s}).exitCode, 2);
}

void TestUnitctl::againstTheHeadlessSimulator()
{
    startSimulator({u"--profile"_s, u"6"_s, u"--quiet"_s});
    ProcessResult r = unitctl({u"discover"_s});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(
        r.out,
        u"127.0.0.1:65535  ALED.SIM.ULA.TOR.5/4005/*****/**/Lumivane/CVD2.1/*  (unit port 4005, kind CVD2.1)\n"_s);

    r = unitctl({u"set"_s, u"127.0.0.1:4005"_s, u"0"_s, u"255"_s, u"17"_s});
    QCOMPARE(r.exitCode, 0);
    r = unitctl({u"channels"_s, u"127.0.0.1:4005"_s});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 24);
    QCOMPARE(lines[0], u"channel  2: 0"_s);
    QCOMPARE(lines[1], u"channel  3: 255"_s);
    QCOMPARE(lines[2], u"channel  4: 17"_s);
    QCOMPARE(lines[23], u"channel 25: 0"_s);

    r = unitctl({u"status"_s, u"127.0.0.1:4005"_s});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(u"byte 11:  12  profile-specific"_s));
    QVERIFY(r.out.contains(u"byte 14:  12  profile-specific"_s));
    // Position 14 tells the two drivers on 4005 apart; the port rules out those on 4007.
    QVERIFY2(r.out.contains(u"matches profile: 6 (CVD driver-12 channels @ port:4005)\n"_s),
             qPrintable(r.out));
}

void TestUnitctl::json()
{
    startSimulator({u"--quiet"_s});
    ProcessResult r = unitctl({u"--json"_s, u"discover"_s, u"127.0.0.1"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray units = QJsonDocument::fromJson(r.out.toUtf8()).array();
    QCOMPARE(units.size(), 1);
    const QJsonObject unit = units.at(0).toObject();
    QCOMPARE(unit[u"unit_port"_s].toInt(), 4000);
    QCOMPARE(unit[u"kind"_s].toString(), u"LED2.0"_s);

    r = unitctl({u"channels"_s, u"127.0.0.1"_s, u"--json"_s});
    QCOMPARE(r.exitCode, 0);
    // As the control API gives them: channels 2 to 25 in order, the port and its role.
    const QJsonObject answer = QJsonDocument::fromJson(r.out.toUtf8()).object();
    const QJsonArray channels = answer[u"channels"_s].toArray();
    QCOMPARE(channels.size(), 24);
    QCOMPARE(channels[13 - 2].toInt(), 125);
    QCOMPARE(channels[14 - 2].toInt(), 0);
    QCOMPARE(answer[u"port"_s].toInt(), 4000);
    QCOMPARE(answer[u"endpoint"_s].toString(), u"unit"_s);

    r = unitctl({u"status"_s, u"localhost:4000"_s, u"--json"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject status = QJsonDocument::fromJson(r.out.toUtf8()).object();
    const QJsonArray bytes = status[u"bytes"_s].toArray();
    QCOMPARE(bytes.size(), 29);
    QCOMPARE(bytes[11].toInt(), 6);
    QCOMPARE(bytes[14].toInt(), 12);
    QCOMPARE(status[u"matching_profiles"_s].toArray(), QJsonArray{0});
}

void TestUnitctl::discoverByBroadcast()
{
    // Loopback's broadcast address reaches every socket bound to all addresses, as a LAN's
    // broadcast address reaches every unit on it.
    startSimulator({u"--profile"_s, u"4"_s, u"--quiet"_s});
    const ProcessResult r = unitctl({u"discover"_s, u"127.255.255.255"_s, u"--timeout"_s, u"500"_s});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(
        r.out,
        u"127.0.0.1:65535  ALED.SIM.ULA.TOR.4/4004/*****/**/Lumivane/DIM2.0/*  (unit port 4004, kind DIM2.0)\n"_s);
}

void TestUnitctl::discoverCollectsManyAnswersSortedByAddress()
{
    // 500 answers at once, each from its own address: one socket takes the request on all
    // addresses, and 500 more, one per address, answer it together.
    constexpr int kUnits = 500;
    QUdpSocket listener;
    QVERIFY2(
        listener.bind(QHostAddress::AnyIPv4, 65535, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint),
        "port 65535 is needed by this test");
    std::vector<std::unique_ptr<QUdpSocket>> units;
    for (int k = kUnits - 1; k >= 0; --k) { // bound, and so answering, in the reverse order
        auto unit = std::make_unique<QUdpSocket>();
        const QHostAddress address(quint32((127u << 24) | (3u << 16) | quint32(1 + k)));
        QVERIFY2(unit->bind(address, 65535, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint),
                 qPrintable(address.toString()));
        units.push_back(std::move(unit));
    }
    const QByteArray identity("ALED.SIM.ULA.TOR.3/4003/*****/**/Lumivane/PoE2.0/*");
    connect(&listener, &QUdpSocket::readyRead, this, [&] {
        while (listener.hasPendingDatagrams()) {
            const QNetworkDatagram request = listener.receiveDatagram();
            for (const auto& unit : units)
                unit->writeDatagram(identity, request.senderAddress(), quint16(request.senderPort()));
        }
    });
    ProcessResult r = unitctl({u"discover"_s, u"127.255.255.255"_s, u"--timeout"_s, u"800"_s});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), kUnits);
    QVERIFY(lines.first().startsWith(u"127.3.0.1:65535  ALED.SIM.ULA.TOR.3"_s));
    QVERIFY(lines[1].startsWith(u"127.3.0.2:65535 "_s));
    QVERIFY(lines.last().startsWith(u"127.3.1.244:65535 "_s)); // 500 = 1 * 256 + 244

    r = unitctl({u"discover"_s, u"127.255.255.255"_s, u"--timeout"_s, u"800"_s, u"--json"_s});
    const QJsonArray array = QJsonDocument::fromJson(r.out.toUtf8()).array();
    QCOMPARE(array.size(), kUnits);
    QCOMPARE(array[0][u"address"_s].toString(), u"127.3.0.1"_s);
    QCOMPARE(array[kUnits - 1][u"unit_port"_s].toInt(), 4003);
}

void TestUnitctl::timesOutOnASilentPort()
{
    Responder silent;
    QVERIFY(silent.bound);
    for (const QString& command : {u"channels"_s, u"status"_s}) {
        const ProcessResult r = unitctl({command, silent.target(), u"--timeout"_s, u"300"_s});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(u"no answer from "_s + silent.target() + u" within 300 ms"_s),
                 qPrintable(r.err));
    }
}

void TestUnitctl::reportsMalformedReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("problem");
    const QByteArray good = channelReply(0);
    QTest::addRow("short") << good.left(28) << u"not 29 bytes long"_s;
    QByteArray wrongStart = good;
    wrongStart[0] = 0;
    QTest::addRow("first byte") << wrongStart << u"first byte is not 254"_s;
    QByteArray wrongCommand = good;
    wrongCommand[1] = char(51);
    QTest::addRow("command") << wrongCommand << u"the command is not echoed"_s;
    QByteArray wrongEnd = good;
    wrongEnd[28] = 0;
    QTest::addRow("last byte") << wrongEnd << u"last byte is not 255"_s;
}

void TestUnitctl::reportsMalformedReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, problem);
    Responder responder;
    QVERIFY(responder.bound);
    responder.answer = [&](const QNetworkDatagram& request) {
        responder.socket.writeDatagram(reply, request.senderAddress(), quint16(request.senderPort()));
    };
    const ProcessResult r = unitctl({u"channels"_s, responder.target()});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains(u"malformed reply"_s) && r.err.contains(problem), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
}

void TestUnitctl::ignoresRepliesFromElsewhere_data()
{
    QTest::addColumn<bool>("otherAddress");
    QTest::addRow("same address, another port") << false;
    QTest::addRow("another address, same port") << true;
}

void TestUnitctl::ignoresRepliesFromElsewhere()
{
    QFETCH(bool, otherAddress);
    Responder unit;
    QVERIFY(unit.bound);
    // Somebody else answers first, with a well-formed reply that carries other values.
    Responder stray(QHostAddress(otherAddress ? u"127.0.0.2"_s : u"127.0.0.1"_s),
                    otherAddress ? unit.socket.localPort() : 0);
    QVERIFY(stray.bound);
    unit.answer = [&](const QNetworkDatagram& request) {
        const auto port = quint16(request.senderPort());
        stray.socket.writeDatagram(channelReply(99), request.senderAddress(), port);
        stray.socket.flush();
        QTest::qSleep(20); // the stray reply is surely there first
        unit.socket.writeDatagram(channelReply(7), request.senderAddress(), port);
    };
    const ProcessResult r = unitctl({u"channels"_s, unit.target(), u"--json"_s});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray channels = QJsonDocument::fromJson(r.out.toUtf8()).object()[u"channels"_s].toArray();
    QCOMPARE(channels.first().toInt(), 7);
    QCOMPARE(channels.last().toInt(), 7);

    // With only the stray answering, there is no answer.
    unit.answer = [&](const QNetworkDatagram& request) {
        stray.socket.writeDatagram(channelReply(99), request.senderAddress(), quint16(request.senderPort()));
    };
    QCOMPARE(unitctl({u"channels"_s, unit.target(), u"--timeout"_s, u"300"_s}).exitCode, 1);
}

void TestUnitctl::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("no command") << QStringList{} << u"no command"_s;
    QTest::addRow("unknown command") << QStringList{u"reboot"_s, u"127.0.0.1"_s} << u"'reboot'"_s;
    QTest::addRow("value too big") << QStringList{u"set"_s, u"127.0.0.1"_s, u"256"_s} << u"'256'"_s;
    QTest::addRow("value negative") << QStringList{u"set"_s, u"127.0.0.1"_s, u"1"_s, u"-1"_s}
                                    << u"'-1' is not a channel value"_s;
    QTest::addRow("25 values") << (QStringList{u"set"_s, u"127.0.0.1"_s} + QStringList(25, u"1"_s))
                               << u"at most 24"_s;
    QTest::addRow("bad address") << QStringList{u"channels"_s, u"1.2.3"_s} << u"bad address"_s;
    QTest::addRow("bad port") << QStringList{u"status"_s, u"127.0.0.1:70000"_s} << u"bad port"_s;
    QTest::addRow("no host") << QStringList{u"channels"_s} << u"needs HOST"_s;
    QTest::addRow("timeout not a number")
        << QStringList{u"--timeout"_s, u"soon"_s, u"discover"_s} << u"--timeout takes milliseconds"_s;
    QTest::addRow("timeout negative") << QStringList{u"--timeout"_s, u"-5"_s, u"discover"_s}
                                      << u"--timeout takes milliseconds from 0 to 3600000, not '-5'"_s;
    QTest::addRow("timeout negative, after the command")
        << QStringList{u"channels"_s, u"127.0.0.1"_s, u"--timeout"_s, u"-1"_s} << u"--timeout takes"_s;
    QTest::addRow("timeout negative, with =")
        << QStringList{u"--timeout=-5"_s, u"discover"_s} << u"--timeout takes"_s;
}

void TestUnitctl::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const ProcessResult r = unitctl(arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
}

void TestUnitctl::help()
{
    const ProcessResult r = unitctl({u"--help"_s});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(u"fewer than 24 values"_s));
}

namespace {
// The capture again, each IPv4 packet framed for another link type, as a LAN recorder keeps it.
bool rewrite(const QString& from, const QString& to, int linkType)
{
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(QFile::encodeName(from).constData(), message);
    if (!in)
        return false;
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t* out = pcap_dump_open(dead, QFile::encodeName(to).constData());
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (out && pcap_next_ex(in, &header, &data) == 1) {
        QByteArray packet = QByteArray(reinterpret_cast<const char*>(data), int(header->caplen));
        if (linkType == DLT_EN10MB) {
            packet.prepend(QByteArray("\x02\0\0\0\0\x01\x02\0\0\0\0\x02\x08\x00", 14));
            if (packet.size() < 60)
                packet += QByteArray(60 - packet.size(), '\0'); // padding, which is not the datagram's
        } else {
            packet.prepend(QByteArray("\0\0\0\x01\0\x06\0\0\0\0\0\0\0\0\x08\x00", 16)); // Linux cooked
        }
        pcap_pkthdr copy = *header;
        copy.caplen = copy.len = bpf_u_int32(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(out), &copy, reinterpret_cast<const u_char*>(packet.constData()));
    }
    if (out)
        pcap_dump_close(out);
    pcap_close(dead);
    pcap_close(in);
    return out != nullptr;
}
} // namespace

void TestUnitctl::recordSetsTheChannelsBackUnlessTold_data()
{
    QTest::addColumn<bool>("restore");
    QTest::addRow("set back") << true;
    QTest::addRow("--no-restore") << false;
}

void TestUnitctl::recordSetsTheChannelsBackUnlessTold()
{
    QFETCH(bool, restore);
    startSimulator({u"--profile"_s, u"3"_s});
    QStringList set = {u"set"_s, u"127.0.0.1:4003"_s};
    QList<int> before;
    for (int channel = 2; channel <= 25; ++channel) {
        set << QString::number(channel * 7);
        before << channel * 7;
    }
    QCOMPARE(unitctl(set).exitCode, 0);
    QTemporaryDir dir;
    QStringList record = {u"record"_s, u"127.0.0.1"_s, u"--out"_s, dir.filePath(u"probe.pcap"_s)};
    if (!restore)
        record << u"--no-restore"_s;
    const ProcessResult result = unitctl(record);
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    QVERIFY2(result.out.contains(
                 restore ? u"channels 2-25 set back to what the unit held before the probe"_s
                         : u"channels left as the last pattern set them (24 to 1): --no-restore"_s),
             qPrintable(result.out));
    // The last pattern is 24 down to 1.
    QList<int> last;
    for (int k = 24; k >= 1; --k)
        last << k;
    LoopbackClient controller;
    QCOMPARE(bytesOf(controller.request(4003, unitFrame(50))).mid(2, 24), restore ? before : last);
    // The set-back is not part of the recording: the probe is the same whichever it was.
    QString error;
    const std::optional<CaptureContents> recorded = readCapture(dir.filePath(u"probe.pcap"_s), &error);
    QVERIFY2(recorded, qPrintable(error));
    QCOMPARE(recorded->datagrams.size(), 23 + 14);
}

void TestUnitctl::replayHoldsAUnitAgainstARecording()
{
    // Record a session with the generation 1 driver, whose status replies draw two positions.
    QTemporaryDir dir;
    const QString recording = dir.filePath(u"session.pcap"_s);
    QCOMPARE(m_simulator.start({u"--profile"_s, u"1"_s, u"--seed"_s, u"3"_s, u"--pcap"_s, recording}),
             QString());
    QStringList set = {u"set"_s, u"127.0.0.1:4001"_s};
    for (int channel = 2; channel <= 25; ++channel)
        set << QString::number(channel + 9);
    QCOMPARE(unitctl(set).exitCode, 0);
    QCOMPARE(unitctl({u"channels"_s, u"127.0.0.1:4001"_s}).exitCode, 0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(unitctl({u"status"_s, u"127.0.0.1:4001"_s}).exitCode, 0);
    QCOMPARE(unitctl({u"discover"_s, u"127.0.0.1"_s, u"--timeout"_s, u"200"_s}).exitCode, 0);
    // Stopped as a user stops it: the capture is whole.
    m_simulator.process().terminate();
    QVERIFY(m_simulator.process().waitForFinished(5000));
    QString error;
    const std::optional<CaptureContents> recorded = readCapture(recording, &error);
    QVERIFY2(recorded, qPrintable(error));
    QCOMPARE(recorded->datagrams.size(), 11); // set-channels has no reply

    // Another run with another seed: the drawn positions differ, and are not differences.
    QCOMPARE(m_simulator.start({u"--profile"_s, u"1"_s, u"--seed"_s, u"4"_s}), QString());
    ProcessResult result = unitctl({u"replay"_s, recording, u"--to"_s, u"127.0.0.1"_s});
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    QVERIFY2(result.out.contains(u"6 requests replayed, 5 replies as recorded, 0 differences"_s),
             qPrintable(result.out));

    // The same recording as an Ethernet or a Linux cooked capture replays alike.
    for (const int linkType : {DLT_EN10MB, DLT_LINUX_SLL}) {
        const QString framed = dir.filePath(u"framed-%1.pcap"_s.arg(linkType));
        QVERIFY(rewrite(recording, framed, linkType));
        result = unitctl({u"replay"_s, framed});
        QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    }

    // One byte of the recorded channel reply changed: found, named, and the exit status says so.
    QFile file(recording);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    const qsizetype reply = bytes.indexOf(QByteArray("\xfe\x32\x0b\x0c\x0d", 5));
    QVERIFY(reply > 0);
    bytes[reply + 7] = char(99); // channel 7, recorded as 16
    const QString edited = dir.filePath(u"edited.pcap"_s);
    QFile out(edited);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    out.close();
    result = unitctl({u"replay"_s, edited});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(u"differs at position 7: recorded 99, came 16"_s), qPrintable(result.out));
    QVERIFY2(result.out.contains(u", 1 difference"_s), qPrintable(result.out));

    // A unit that answers twice is caught, also on the last request, and so is one that answers
    // once where the recording shows two.
    m_simulator.stop();
    QCOMPARE(m_simulator.start(
                 {u"--profile"_s, u"1"_s, u"--fault"_s, u"duplicate=2,on=channel-query+discovery"_s}),
             QString());
    result = unitctl({u"replay"_s, recording});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(u"channel-query to 127.0.0.1:4001: 1 reply recorded, 2 came"_s),
             qPrintable(result.out));
    QVERIFY2(result.out.contains(u"discovery to 127.0.0.1:65535: 1 reply recorded, 2 came"_s),
             qPrintable(result.out));
    QVERIFY2(result.out.contains(u", 2 differences"_s), qPrintable(result.out));
    m_simulator.process().terminate();
    QVERIFY(m_simulator.process().waitForFinished(5000));
    const QString doubled = dir.filePath(u"doubled.pcap"_s);
    QCOMPARE(m_simulator.start({u"--profile"_s, u"1"_s, u"--pcap"_s, doubled, u"--fault"_s,
                                u"duplicate=2,on=channel-query"_s}),
             QString());
    QCOMPARE(unitctl({u"channels"_s, u"127.0.0.1:4001"_s}).exitCode, 0);
    m_simulator.process().terminate();
    QVERIFY(m_simulator.process().waitForFinished(5000));
    QCOMPARE(m_simulator.start({u"--profile"_s, u"1"_s}), QString());
    result = unitctl({u"replay"_s, doubled});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(u"2 replies recorded, 1 came"_s), qPrintable(result.out));

    // A unit that answers nothing is all differences; a file that is no capture is refused.
    m_simulator.stop();
    result = unitctl({u"replay"_s, recording, u"--timeout"_s, u"100"_s});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(unitctl({u"replay"_s, dir.filePath(u"none.pcap"_s)}).exitCode, 2);
    QCOMPARE(unitctl({u"replay"_s}).exitCode, 2);
    QCOMPARE(unitctl({u"channels"_s, u"127.0.0.1"_s, u"--to"_s, u"127.0.0.1"_s}).exitCode, 2);
}

void TestUnitctl::replayComparesPosition14WhereItIsNotDrawn()
{
    // The LED driver on 4000 sends 12 at position 14 every time; only position 2 is drawn there.
    QTemporaryDir dir;
    const QString recording = dir.filePath(u"status.pcap"_s);
    QCOMPARE(m_simulator.start({u"--quiet"_s, u"--pcap"_s, recording}), QString());
    QCOMPARE(unitctl({u"status"_s, u"127.0.0.1:4000"_s}).exitCode, 0);
    m_simulator.process().terminate();
    QVERIFY(m_simulator.process().waitForFinished(5000));
    QFile file(recording);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    const qsizetype reply = bytes.indexOf(QByteArray("\xfe\x33", 2));
    QVERIFY(reply > 0);

    const auto replayEdited = [&](qsizetype position, char value) {
        QByteArray edited = bytes;
        edited[reply + position] = value;
        const QString path = dir.filePath(u"edited-%1.pcap"_s.arg(position));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(edited) != edited.size())
            return ProcessResult{};
        out.close();
        return unitctl({u"replay"_s, path});
    };
    QCOMPARE(m_simulator.start({u"--quiet"_s}), QString());
    ProcessResult result = replayEdited(14, char(99));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(u"differs at position 14: recorded 99, came 12"_s), qPrintable(result.out));
    result = replayEdited(2, char(99)); // drawn anew for every reply: never a difference
    QVERIFY2(result.exitCode == 0, qPrintable(result.out));
}

void TestUnitctl::sendErrorsHaveTheirOwnStatus()
{
    // A network namespace of its own, with nothing but a loopback that is down: no route anywhere.
    const QString unshare = QStandardPaths::findExecutable(u"unshare"_s);
    if (unshare.isEmpty() || runProcess(unshare, {u"--net"_s, u"true"_s}).exitCode != 0)
        QSKIP("needs unshare --net (root)");
    const QStringList commands[] = {
        {u"channels"_s, u"10.1.2.3:4000"_s},
        {u"set"_s, u"10.1.2.3:4000"_s, u"1"_s},
        {u"discover"_s, u"10.1.2.3"_s},
    };
    for (const QStringList& command : commands) {
        const ProcessResult r = runProcess(unshare, QStringList{u"--net"_s, unitctlPath()} + command);
        QVERIFY2(r.exitCode == 4, qPrintable(command.join(u' ') + u": "_s + r.err));
        QVERIFY2(r.err.contains(u"cannot send to 10.1.2.3"_s), qPrintable(r.err));
    }
}

QTEST_GUILESS_MAIN(TestUnitctl)
#include "tst_unitctl.moc"
