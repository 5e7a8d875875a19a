// unitsim::testing::Simulator from Qt Test, against the real program, through real sockets on
// loopback. Binds the product's fixed ports on addresses of its own.
#include "programs.h"
#include "testing/simulator.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QUdpSocket>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using unitsim::testing::Error;
using unitsim::testing::Options;
using unitsim::testing::Simulator;

namespace {
QByteArray channelQuery()
{
    QByteArray frame(29, '\0');
    frame[1] = char(50);
    frame[28] = char(255);
    return frame;
}

// What `sim`'s unit answers to `request`, or nothing within two seconds.
QByteArray ask(QUdpSocket& socket, const unitsim::testing::Endpoint& to, const QByteArray& request)
{
    socket.writeDatagram(request, QHostAddress(QString::fromStdString(to.address)), to.port);
    if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(2000))
        return {};
    return socket.receiveDatagram().data();
}

QJsonObject json(const std::string& text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}
} // namespace

class TestTestingLib : public QObject {
    Q_OBJECT

private slots:
    void init() { qputenv("UNITSIM_BINARY", simulatorPath().toLocal8Bit()); }
    void unitsAnswerAndTheApiSteersThem();
    void faultsLogAndCapture();
    void refusalsCarryTheApisWords();
    void aScenarioIsReadyOnceItPlaysAndItsVerdictIsTheStatus();
    void aSharedLockDirectoryOthersCanWriteIsRefused();
};

void TestTestingLib::aSharedLockDirectoryOthersCanWriteIsRefused()
{
    // Another user made the directory of address locks first, writable by all: they could plant
    // links where the locks go.
    QTemporaryDir tmp;
    const QString shared = tmp.filePath(u"unitsim-addresses-%1"_s.arg(::getuid()));
    QVERIFY(QDir().mkdir(shared));
    QVERIFY(QFile::setPermissions(shared, QFileDevice::Permissions(0x7777)));
    const QByteArray before = qgetenv("TMPDIR");
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    const auto restore = qScopeGuard([&] { qputenv("TMPDIR", before); });
    try {
        Simulator sim;
        QFAIL("a simulator started with its address locks in a directory anybody may write in");
    } catch (const Error& error) {
        QVERIFY2(QString::fromStdString(error.what()).contains(u"is not a directory of this user's alone"_s),
                 error.what());
    }
}

void TestTestingLib::unitsAnswerAndTheApiSteersThem()
{
    Simulator sim(Options().units(3).profile(6).seed(5));
    QCOMPARE(sim.unitCount(), 3);
    QVERIFY(QString::fromStdString(sim.controlUrl()).startsWith(u"http://127.0.0.1:"_s));
    const unitsim::testing::Endpoint second = sim.endpoint(1);
    QCOMPARE(second.port, 4005);
    QVERIFY(QString::fromStdString(second.address).startsWith(u"127."_s));
    QVERIFY(second.address != sim.endpoint(0).address);

    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
    sim.setChannels({7, 8, 9}, 1);
    const QByteArray reply = ask(socket, second, channelQuery());
    QCOMPARE(reply.size(), 29);
    QCOMPARE(reply.left(5), QByteArray::fromHex("fe32070809"));

    const unitsim::testing::Verification held = sim.waitFor(R"({"command": "channel-query", "units": "1"})");
    QVERIFY2(held, held.text.c_str());
    QCOMPARE(held.count, 1);
    const unitsim::testing::Verification missed = sim.verify(R"({"command": "channel-query", "units": "0"})");
    QVERIFY(!missed);
    QVERIFY2(missed.text.find("near miss, line 0:") != std::string::npos &&
                 missed.text.find("not in") != std::string::npos,
             missed.text.c_str());

    sim.setProfile(2, 2);
    QCOMPARE(sim.endpoint(2).port, 4002);
    QCOMPARE(json(sim.health())[u"ready"_s], true);
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(sim.stop(), 0);
    QVERIFY(sim.controlUrl().empty());
    QVERIFY_THROWS_EXCEPTION(Error, sim.health());
}

void TestTestingLib::faultsLogAndCapture()
{
    Simulator sim;
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
    const int rule = sim.addFault("drop,on=channel-query,every=2");
    QCOMPARE(ask(socket, sim.endpoint(), channelQuery()).size(), 29);
    QVERIFY(ask(socket, sim.endpoint(), channelQuery()).isEmpty()); // the second: dropped
    sim.removeFault(rule);
    QCOMPARE(ask(socket, sim.endpoint(), channelQuery()).size(), 29);

    // in, out, in, fault, in, out
    const std::vector<unitsim::testing::LogEntry> log = sim.log();
    QCOMPARE(log.size(), 6u);
    QCOMPARE(log[0].direction, "in");
    QCOMPARE(log[0].command, "channel-query");
    const QByteArray query = channelQuery();
    QCOMPARE(log[0].bytes, std::vector<std::uint8_t>(query.begin(), query.end()));
    QCOMPARE(log[3].direction, "fault");
    QCOMPARE(log[5].seq, 5u);
    QCOMPARE(sim.log(5).size(), 1u);

    const QString path =
        QDir::temp().filePath(u"tst_testinglib-%1.pcap"_s.arg(QCoreApplication::applicationPid()));
    sim.capture(path.toStdString());
    QFile capture(path);
    QVERIFY(capture.open(QIODevice::ReadOnly));
    QCOMPARE(capture.read(4), QByteArray::fromHex("d4c3b2a1"));
    QVERIFY(capture.size() > 24 + 4 * (16 + 28 + 29));
    capture.remove();
}

void TestTestingLib::refusalsCarryTheApisWords()
{
    Simulator sim;
    try {
        sim.addFault("explode");
        QFAIL("an unknown rule was taken");
    } catch (const Error& error) {
        QCOMPARE(error.status(), 400);
        QVERIFY2(std::string(error.what()).find("explode") != std::string::npos, error.what());
    }
    QVERIFY_THROWS_EXCEPTION(Error, sim.setChannels(std::vector<int>(25, 0)));
    QVERIFY_THROWS_EXCEPTION(Error, sim.verify("not json"));

    // A start that fails says why, in the simulator's words.
    try {
        Simulator broken(Options().fault("drop,chance=2"));
        QFAIL("a bad rule started");
    } catch (const Error& error) {
        QVERIFY2(std::string(error.what()).find("chance") != std::string::npos, error.what());
    }
    try {
        Simulator missing(Options().binary("/nonexistent/unit-simulator"));
        QFAIL("a missing program started");
    } catch (const Error& error) {
        QVERIFY2(std::string(error.what()).find("could not be started") != std::string::npos, error.what());
    }
}

void TestTestingLib::aScenarioIsReadyOnceItPlaysAndItsVerdictIsTheStatus()
{
    QTemporaryFile file(QDir::temp().filePath(u"tst_testinglib-XXXXXX.yaml"_s));
    QVERIFY(file.open());
    file.write("version: 1\nunits:\n  - {count: 2, first: 127.0.5.1}\nend: 1m\n"
               "expect:\n  - name: a query for unit 1\n    verify: {units: \"1\", command: channel-query}\n");
    file.close();
    Simulator sim(Options().scenario(file.fileName().toStdString()));
    QCOMPARE(sim.unitCount(), 2);
    QCOMPARE(json(sim.health())[u"scenario"_s], u"running"_s);
    QCOMPARE(json(sim.expectations())[u"state"_s], u"running"_s);
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
    QCOMPARE(ask(socket, sim.endpoint(0), channelQuery()).size(), 29); // unit 0: not the one asked for
    // A second play at the same fixed addresses is refused, and says why.
    try {
        Simulator again(Options().scenario(file.fileName().toStdString()));
        QFAIL("a second simulator took the scenario's addresses");
    } catch (const Error& error) {
        QVERIFY2(std::string(error.what()).find("puts its units at fixed addresses") != std::string::npos,
                 error.what());
    }
    QCOMPARE(sim.stop(), 4);
}

QTEST_GUILESS_MAIN(TestTestingLib)
#include "tst_testinglib.moc"
