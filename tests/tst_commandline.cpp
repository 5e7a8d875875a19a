// The simulator's command line, parsed without starting a process.
#include "app/appversion.h"
#include "app/simulatorcommandline.h"
#include "scenario/scenariofile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <yaml-cpp/yaml.h>

using namespace Qt::Literals::StringLiterals;
using Action = SimulatorOptions::Action;

Q_DECLARE_METATYPE(SimulatorOptions::Action)

namespace {
QStringList commandLine(const QStringList& arguments)
{
    return QStringList{u"unit-simulator"_s} + arguments;
}

// As the program takes its command line: parsed, then the files it names read.
SimulatorOptions parsed(const QStringList& arguments, const QByteArray& environmentToken = {})
{
    SimulatorOptions options = SimulatorCommandLine::parse(arguments, environmentToken);
    SimulatorCommandLine::readFiles(options);
    return options;
}

// Token files for the rows that read one: "token" holds a token, "empty" a blank line.
QString tokenFile(const QString& name)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.exists() && file.open(QIODevice::WriteOnly))
        file.write(name == u"token"_s ? "from-a-file\nsecond line\n" : "\n");
    return path;
}
} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void windowOrConsole_data();
    void windowOrConsole();
    void headlessRuns_data();
    void headlessRuns();
    void faultsAndSeed();
    void fleet_data();
    void fleet();
    void control_data();
    void control();
    void logStore_data();
    void logStore();
    void usageErrors_data();
    void usageErrors();
    void exploreTakesItsOptions();
    void shardsAndMerge_data();
    void shardsAndMerge();
    void theKubernetesJobParses();
    void parsingReadsNoFile();
    void helpAndVersion();
};

void TestCommandLine::windowOrConsole_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("console");
    QTest::addRow("nothing") << QStringList{} << false;
    QTest::addRow("Qt's platform and style")
        << QStringList{u"-platform"_s, u"offscreen"_s, u"-style"_s, u"Fusion"_s} << false;
    QTest::addRow("Qt's geometry") << QStringList{u"-geometry"_s, u"900x500+10+10"_s} << false;
    QTest::addRow("Qt's platform, double dash") << QStringList{u"--platform"_s, u"offscreen"_s} << false;
    QTest::addRow("headless") << QStringList{u"--headless"_s} << true;
    QTest::addRow("profile alone") << QStringList{u"--profile=2"_s} << true;
    QTest::addRow("quiet alone") << QStringList{u"--quiet"_s} << true;
    QTest::addRow("help") << QStringList{u"-h"_s} << true;
    QTest::addRow("help-all") << QStringList{u"--help-all"_s} << true;
    QTest::addRow("version") << QStringList{u"-v"_s} << true;
    QTest::addRow("headless after Qt's options")
        << QStringList{u"-platform"_s, u"offscreen"_s, u"--headless"_s} << true;
}

void TestCommandLine::windowOrConsole()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, console);
    QCOMPARE(SimulatorCommandLine::wantsConsole(commandLine(arguments)), console);
    const SimulatorOptions options = parsed(commandLine(arguments));
    if (!console) {
        // The window leaves Qt's options to Qt and names whatever Qt did not take.
        QCOMPARE(options.action, Action::OpenWindow);
        QCOMPARE(options.ignored, arguments);
    } else {
        QVERIFY(options.action != Action::OpenWindow);
    }
}

void TestCommandLine::headlessRuns_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("profile");
    QTest::addColumn<bool>("quiet");
    QTest::addRow("defaults") << QStringList{u"--headless"_s} << 0 << false;
    QTest::addRow("profile 8, quiet")
        << QStringList{u"--headless"_s, u"--profile"_s, u"8"_s, u"--quiet"_s} << 8 << true;
    QTest::addRow("profile with =") << QStringList{u"--profile=3"_s, u"--headless"_s} << 3 << false;
}

void TestCommandLine::control_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("environmentToken");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("token");
    QTest::addRow("port only") << QStringList{u"--headless"_s, u"--control"_s, u"8080"_s} << QByteArray()
                               << u"127.0.0.1"_s << 8080 << QByteArray();
    QTest::addRow("any free port") << QStringList{u"--headless"_s, u"--control=0"_s} << QByteArray()
                                   << u"127.0.0.1"_s << 0 << QByteArray();
    QTest::addRow("window, loopback address")
        << QStringList{u"-platform"_s, u"offscreen"_s, u"--control"_s, u"127.0.0.2:9000"_s} << QByteArray()
        << u"127.0.0.2"_s << 9000 << QByteArray();
    QTest::addRow("all addresses with a token")
        << QStringList{u"--headless"_s, u"--control"_s, u"0.0.0.0:9000"_s, u"--control-token"_s, u"abc"_s}
        << QByteArray() << u"0.0.0.0"_s << 9000 << QByteArray("abc");
    QTest::addRow("token from the environment") << QStringList{u"--control=0.0.0.0:1"_s} << QByteArray("env")
                                                << u"0.0.0.0"_s << 1 << QByteArray("env");
    QTest::addRow("given token wins") << QStringList{u"--control=0.0.0.0:1"_s, u"--control-token=arg"_s}
                                      << QByteArray("env") << u"0.0.0.0"_s << 1 << QByteArray("arg");
    // Out of the process list: the token's file, its first line.
    QTest::addRow("token from a file")
        << QStringList{u"--headless"_s, u"--control"_s, u"0.0.0.0:9000"_s, u"--control-token-file"_s,
                       tokenFile(u"token"_s)}
        << QByteArray("env") << u"0.0.0.0"_s << 9000 << QByteArray("from-a-file");
    QTest::addRow("window, token from a file")
        << QStringList{u"--control=0.0.0.0:1"_s, u"--control-token-file="_s + tokenFile(u"token"_s)}
        << QByteArray() << u"0.0.0.0"_s << 1 << QByteArray("from-a-file");
    QTest::addRow("IPv6 loopback") << QStringList{u"--headless"_s, u"--control"_s, u"[::1]:8080"_s}
                                   << QByteArray() << u"::1"_s << 8080 << QByteArray();
    QTest::addRow("proxies through the API")
        << QStringList{u"--headless"_s, u"--control=0"_s, u"--allow-api-proxies"_s} << QByteArray()
        << u"127.0.0.1"_s << 0 << QByteArray();
    QTest::addRow("window, proxies through the API")
        << QStringList{u"--allow-api-proxies"_s, u"--control=0"_s} << QByteArray() << u"127.0.0.1"_s << 0
        << QByteArray();
}

void TestCommandLine::control()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, environmentToken);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QByteArray, token);
    const SimulatorOptions options = parsed(commandLine(arguments), environmentToken);
    QVERIFY2(options.action != Action::UsageError, qPrintable(options.text));
    QVERIFY(options.control);
    QCOMPARE(options.control->address.toString(), address);
    QCOMPARE(int(options.control->port), port);
    QCOMPARE(options.control->token, token);
    QCOMPARE(options.control->allowProxies, arguments.contains(u"--allow-api-proxies"_s));
    // The window keeps Qt's options for Qt.
    if (arguments.contains(u"-platform"_s))
        QCOMPARE(options.ignored, (QStringList{u"-platform"_s, u"offscreen"_s}));
}

void TestCommandLine::fleet_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("units"); // ADDRESS:PROFILE each
    QTest::addRow("count from the default address")
        << QStringList{u"--units"_s, u"3"_s}
        << QStringList{u"127.0.1.1:0"_s, u"127.0.1.2:0"_s, u"127.0.1.3:0"_s};
    QTest::addRow("count from an address, across a byte, one profile")
        << QStringList{u"--units=3@10.0.0.254"_s, u"--profile"_s, u"4"_s}
        << QStringList{u"10.0.0.254:4"_s, u"10.0.0.255:4"_s, u"10.0.1.0:4"_s};
    QTest::addRow("profiles cycle") << QStringList{u"--units"_s, u"11"_s, u"--profiles"_s, u"cycle"_s}
                                    << QStringList{u"127.0.1.1:0"_s,  u"127.0.1.2:1"_s, u"127.0.1.3:2"_s,
                                                   u"127.0.1.4:3"_s,  u"127.0.1.5:4"_s, u"127.0.1.6:5"_s,
                                                   u"127.0.1.7:6"_s,  u"127.0.1.8:7"_s, u"127.0.1.9:8"_s,
                                                   u"127.0.1.10:0"_s, u"127.0.1.11:1"_s};
    QTest::addRow("units one by one")
        << QStringList{u"--unit"_s, u"192.168.7.20:8"_s, u"--unit"_s, u"192.168.7.21"_s, u"--profile=2"_s}
        << QStringList{u"192.168.7.20:8"_s, u"192.168.7.21:2"_s};
    // After the simulated ones; "?" marks a profile to be asked of the real unit.
    QTest::addRow("proxies") << QStringList{u"--proxy"_s, u"127.0.9.1=10.0.0.5"_s,
                                            u"--unit"_s,  u"127.0.9.3"_s,
                                            u"--proxy"_s, u"127.0.9.2:6=10.0.0.6"_s}
                             << QStringList{u"127.0.9.3:0"_s, u"127.0.9.1:0?>10.0.0.5"_s,
                                            u"127.0.9.2:6>10.0.0.6"_s};
    // A chain that ends at a simulated unit passes nothing round.
    QTest::addRow("proxy chain to a unit of the run")
        << QStringList{u"--unit"_s,  u"127.0.9.3"_s,          u"--proxy"_s, u"127.0.9.1=127.0.9.2"_s,
                       u"--proxy"_s, u"127.0.9.2=127.0.9.3"_s}
        << QStringList{u"127.0.9.3:0"_s, u"127.0.9.1:0?>127.0.9.2"_s, u"127.0.9.2:0?>127.0.9.3"_s};
}

void TestCommandLine::fleet()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, units);
    const SimulatorOptions options = parsed(commandLine(QStringList{u"--headless"_s} + arguments));
    QVERIFY2(options.action == Action::RunHeadless, qPrintable(options.text));
    QStringList got;
    for (const FleetUnit& unit : options.fleet)
        got << unit.address.toString() + u':' + QString::number(unit.profile) +
                   (unit.profileGiven ? u""_s : u"?"_s) +
                   (unit.proxy.isNull() ? QString() : u'>' + unit.proxy.toString());
    QCOMPARE(got, units);
    QVERIFY(parsed(commandLine({u"--headless"_s})).fleet.isEmpty()); // the single unit
}

void TestCommandLine::faultsAndSeed()
{
    const SimulatorOptions options =
        parsed(commandLine({u"--headless"_s, u"--fault"_s, u"drop,on=channel-query,every=3"_s, u"--seed"_s,
                            u"18446744073709551615"_s, u"--fault=duplicate"_s}));
    QCOMPARE(options.action, Action::RunHeadless);
    QCOMPARE(options.faults.size(), 2); // in the order given
    QCOMPARE(options.faults[0].text, u"drop,on=channel-query,every=3"_s);
    QCOMPARE(options.faults[1].action, FaultAction::Duplicate);
    QCOMPARE(options.seed, std::optional<quint64>(18446744073709551615ull));
    QVERIFY(!parsed(commandLine({u"--headless"_s})).seed);

    // The window repeats a run too, from the seed it prints.
    const SimulatorOptions window = parsed(commandLine({u"--seed"_s, u"42"_s}));
    QCOMPARE(window.action, Action::OpenWindow);
    QCOMPARE(window.seed, std::optional<quint64>(42));
    QVERIFY(window.ignored.isEmpty());

    // Rules for units that exist are taken, also a range that runs past the last unit.
    const SimulatorOptions fleet = parsed(
        commandLine({u"--headless"_s, u"--units"_s, u"10"_s, u"--fault"_s, u"drop,units=9"_s, u"--fault"_s,
                     u"drop,units=5-30"_s, u"--fault"_s, u"drop,units=127.0.1.10"_s, u"--keep-going"_s}));
    QCOMPARE(fleet.action, Action::RunHeadless);
    QCOMPARE(fleet.faults.size(), 3);
    QVERIFY(fleet.keepGoing);
    QVERIFY(!parsed(commandLine({u"--headless"_s})).keepGoing);
}

void TestCommandLine::headlessRuns()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, profile);
    QFETCH(bool, quiet);
    const SimulatorOptions options = parsed(commandLine(arguments));
    QCOMPARE(options.action, Action::RunHeadless);
    QCOMPARE(options.profile, profile);
    QCOMPARE(options.quiet, quiet);
}

void TestCommandLine::logStore_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<qint64>("limit");
    QTest::addRow("window, nothing said") << QStringList{} << Action::OpenWindow << QString() << qint64(0);
    QTest::addRow("window, both") << QStringList{u"--log-dir"_s, u"/var/tmp/soak"_s,
                                                 u"--log-disk-limit=2GiB"_s}
                                  << Action::OpenWindow << u"/var/tmp/soak"_s
                                  << qint64(2) * 1024 * 1024 * 1024;
    QTest::addRow("headless with the API")
        << QStringList{u"--headless"_s, u"--control=0"_s, u"--log-disk-limit"_s, u"1MiB"_s}
        << Action::RunHeadless << QString() << qint64(1024 * 1024);
    QTest::addRow("headless, a store without the API")
        << QStringList{u"--headless"_s, u"--log-dir"_s, u"kept"_s} << Action::RunHeadless << u"kept"_s
        << qint64(0);
    QTest::addRow("window: limit below a MiB")
        << QStringList{u"--log-disk-limit"_s, u"1000KB"_s} << Action::UsageError << QString() << qint64(0);
    QTest::addRow("window: empty directory")
        << QStringList{u"--log-dir="_s} << Action::UsageError << QString() << qint64(0);
    QTest::addRow("headless: a limit and no log")
        << QStringList{u"--headless"_s, u"--log-disk-limit"_s, u"5GiB"_s} << Action::UsageError << QString()
        << qint64(0);
    QTest::addRow("headless: not a size")
        << QStringList{u"--headless"_s, u"--log-dir=d"_s, u"--log-disk-limit=lots"_s} << Action::UsageError
        << QString() << qint64(0);
}

void TestCommandLine::logStore()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QString, directory);
    QFETCH(qint64, limit);
    const SimulatorOptions options = parsed(commandLine(arguments));
    QCOMPARE(options.action, action);
    if (action == Action::UsageError) {
        QVERIFY2(options.text.contains(u"--log-"_s), qPrintable(options.text));
        return;
    }
    QCOMPARE(options.logDir, directory);
    QCOMPARE(options.logDiskLimit, limit);
}

void TestCommandLine::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("unknown option") << QStringList{u"--headless"_s, u"--bogus"_s} << u"'bogus'"_s;
    QTest::addRow("Qt's option without a window")
        << QStringList{u"--headless"_s, u"-platform"_s, u"offscreen"_s} << u"'platform'"_s;
    QTest::addRow("profile 9") << QStringList{u"--headless"_s, u"--profile"_s, u"9"_s} << u"'9'"_s;
    QTest::addRow("profile -1") << QStringList{u"--headless"_s, u"--profile=-1"_s} << u"'-1'"_s;
    QTest::addRow("profile not a number")
        << QStringList{u"--headless"_s, u"--profile"_s, u"two"_s} << u"'two'"_s;
    QTest::addRow("profile without value") << QStringList{u"--headless"_s, u"--profile"_s} << u"profile"_s;
    QTest::addRow("profile without headless") << QStringList{u"--profile"_s, u"2"_s} << u"--headless"_s;
    QTest::addRow("stray argument") << QStringList{u"--headless"_s, u"now"_s} << u"'now'"_s;
    QTest::addRow("bad fault rule")
        << QStringList{u"--headless"_s, u"--fault"_s, u"drop,every=0"_s}
        << u"--fault 'drop,every=0': every needs a whole number from 1: 'every=0'"_s;
    QTest::addRow("fault without headless") << QStringList{u"--fault"_s, u"drop"_s} << u"--headless"_s;
    QTest::addRow("seed too large") << QStringList{u"--headless"_s, u"--seed"_s, u"18446744073709551616"_s}
                                    << u"--seed must be a whole number"_s;
    QTest::addRow("seed negative") << QStringList{u"--headless"_s, u"--seed=-1"_s} << u"'-1'"_s;
    QTest::addRow("control on the network without a token")
        << QStringList{u"--headless"_s, u"--control"_s, u"0.0.0.0:8080"_s} << u"needs a token"_s;
    QTest::addRow("window: control on the network without a token")
        << QStringList{u"--control"_s, u"192.168.1.5:8080"_s} << u"--control on 192.168.1.5 needs"_s;
    QTest::addRow("control port too big")
        << QStringList{u"--headless"_s, u"--control=70000"_s} << u"'70000'"_s;
    QTest::addRow("control address not IPv4")
        << QStringList{u"--headless"_s, u"--control=::1:80"_s} << u"not an IPv4 address"_s;
    QTest::addRow("window: control without value")
        << QStringList{u"--control"_s} << u"--control needs a value"_s;
    QTest::addRow("token without control")
        << QStringList{u"--headless"_s, u"--control-token=x"_s} << u"goes with --control"_s;
    QTest::addRow("window: token without control")
        << QStringList{u"--control-token=x"_s} << u"goes with --control"_s;
    QTest::addRow("IPv6 without brackets")
        << QStringList{u"--headless"_s, u"--control"_s, u"::1:8080"_s} << u"an IPv6 address in brackets"_s;
    QTest::addRow("IPv4 in brackets") << QStringList{u"--headless"_s, u"--control"_s, u"[127.0.0.1]:8080"_s}
                                      << u"an IPv6 address in brackets"_s;
    QTest::addRow("API proxies without control") << QStringList{u"--headless"_s, u"--allow-api-proxies"_s}
                                                 << u"--allow-api-proxies goes with --control"_s;
    QTest::addRow("window: API proxies without control")
        << QStringList{u"--allow-api-proxies"_s} << u"--allow-api-proxies goes with --control"_s;
    QTest::addRow("log format") << QStringList{u"--headless"_s, u"--log-format=xml"_s} << u"'xml'"_s;
    QTest::addRow("no units") << QStringList{u"--headless"_s, u"--units=0"_s} << u"'0' is not a count"_s;
    QTest::addRow("units past the last address")
        << QStringList{u"--headless"_s, u"--units=3@255.255.255.254"_s} << u"run past 255.255.255.255"_s;
    QTest::addRow("units from a bad address")
        << QStringList{u"--headless"_s, u"--units=3@10.0.1"_s} << u"'10.0.1' is not an IPv4 address"_s;
    QTest::addRow("unit with a bad profile")
        << QStringList{u"--headless"_s, u"--unit=10.0.0.1:9"_s} << u"from 0 to 8"_s;
    QTest::addRow("an address twice")
        << QStringList{u"--headless"_s, u"--units=2@10.0.0.1"_s, u"--unit=10.0.0.2"_s}
        << u"10.0.0.2 is given to two"_s;
    QTest::addRow("profiles without a fleet")
        << QStringList{u"--headless"_s, u"--profiles=cycle"_s} << u"goes with --units"_s;
    QTest::addRow("profiles other than cycle")
        << QStringList{u"--headless"_s, u"--units=2"_s, u"--profiles=random"_s} << u"'random'"_s;
    QTest::addRow("profile and profiles")
        << QStringList{u"--headless"_s, u"--units=2"_s, u"--profiles=cycle"_s, u"--profile=1"_s}
        << u"exclude"_s;
    QTest::addRow("fleet without headless") << QStringList{u"--units=2"_s} << u"--headless"_s;
    QTest::addRow("seed not a number") << QStringList{u"--headless"_s, u"--seed"_s, u"abc"_s} << u"'abc'"_s;
    QTest::addRow("window: seed not a number") << QStringList{u"--seed"_s, u"abc"_s} << u"'abc'"_s;
    // Addresses no unit can have are refused before any unit is made.
    QTest::addRow("unit on the wildcard address")
        << QStringList{u"--headless"_s, u"--unit"_s, u"0.0.0.0"_s} << u"0.0.0.0 stands for every address"_s;
    QTest::addRow("unit on the broadcast address")
        << QStringList{u"--headless"_s, u"--unit"_s, u"255.255.255.255:3"_s} << u"is the broadcast address"_s;
    QTest::addRow("unit on a multicast address")
        << QStringList{u"--headless"_s, u"--unit"_s, u"239.1.2.3"_s} << u"multicast addresses"_s;
    QTest::addRow("units over loopback's broadcast")
        << QStringList{u"--headless"_s, u"--units"_s, u"4@127.255.255.253"_s}
        << u"127.255.255.255 is loopback's broadcast address (127.255.255.255 is among them)"_s;
    QTest::addRow("units into multicast")
        << QStringList{u"--headless"_s, u"--units"_s, u"10@223.255.255.250"_s}
        << u"(224.0.0.0 is among them)"_s;
    QTest::addRow("more units in all than a fleet holds")
        << QStringList{u"--headless"_s, u"--units"_s, u"262144@10.64.0.0"_s, u"--units"_s, u"2@10.9.0.1"_s}
        << u"at most 262144 units"_s;
    QTest::addRow("token file missing")
        << QStringList{u"--headless"_s, u"--control=0"_s, u"--control-token-file=/nonexistent/token"_s}
        << u"--control-token-file: cannot read /nonexistent/token"_s;
    QTest::addRow("window: token file without a token")
        << QStringList{u"--control=0"_s, u"--control-token-file"_s, tokenFile(u"empty"_s)}
        << u"holds no token on its first line"_s;
    QTest::addRow("token and token file")
        << QStringList{u"--headless"_s, u"--control=0"_s, u"--control-token=a"_s,
                       u"--control-token-file="_s + tokenFile(u"token"_s)}
        << u"exclude each other"_s;
    QTest::addRow("window: token file without control")
        << QStringList{u"--control-token-file="_s + tokenFile(u"token"_s)} << u"goes with --control"_s;
    QTest::addRow("proxy without headless")
        << QStringList{u"--proxy"_s, u"127.0.9.1=10.0.0.5"_s} << u"--proxy needs --headless"_s;
    QTest::addRow("window: token and token file")
        << QStringList{u"--control=0"_s, u"--control-token=a"_s,
                       u"--control-token-file="_s + tokenFile(u"token"_s)}
        << u"--control-token and --control-token-file exclude each other"_s;
    QTest::addRow("keep going without headless") << QStringList{u"--keep-going"_s} << u"--headless"_s;
    QTest::addRow("exit with stdin without headless")
        << QStringList{u"--exit-with-stdin"_s} << u"--headless"_s;
    QTest::addRow("proxy without its real unit") << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1"_s}
                                                 << u"is not LOCAL_ADDRESS[:PROFILE]=REAL_ADDRESS"_s;
    QTest::addRow("proxy to itself") << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1=127.0.9.1"_s}
                                     << u"a unit cannot pass requests on to itself"_s;
    QTest::addRow("proxy to a broadcast")
        << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1=255.255.255.255"_s}
        << u"--proxy 127.0.9.1=255.255.255.255: the real unit's address: 255.255.255.255 is the broadcast"_s;
    QTest::addRow("proxy to loopback's broadcast")
        << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1=127.255.255.255"_s}
        << u"127.255.255.255 is loopback's broadcast address"_s;
    QTest::addRow("proxy to a multicast group")
        << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1=239.1.2.3"_s} << u"multicast addresses"_s;
    QTest::addRow("proxy with a bad profile")
        << QStringList{u"--headless"_s, u"--proxy"_s, u"127.0.9.1:9=10.0.0.5"_s}
        << u"profile must be a whole number"_s;
    QTest::addRow("proxy and a unit on one address")
        << QStringList{u"--headless"_s, u"--unit"_s, u"127.0.9.1"_s, u"--proxy"_s, u"127.0.9.1=10.0.0.5"_s}
        << u"127.0.9.1 is given to two units"_s;
    QTest::addRow("proxies in a ring")
        << QStringList{u"--headless"_s,          u"--proxy"_s, u"127.0.9.1=127.0.9.2"_s, u"--proxy"_s,
                       u"127.0.9.2=127.0.9.3"_s, u"--proxy"_s, u"127.0.9.3=127.0.9.1"_s}
        << u"would pass every request round for ever: 127.0.9.1 -> 127.0.9.2 -> 127.0.9.3 -> 127.0.9.1"_s;
    QTest::addRow("proxy with a scenario")
        << QStringList{u"--headless"_s, u"--scenario"_s, u"x.yaml"_s, u"--proxy"_s, u"127.0.9.1=10.0.0.5"_s}
        << u"--proxy and --scenario exclude each other: the scenario names its units"_s;
    // A rule that could never act is refused, not kept.
    QTest::addRow("rule for units past the fleet")
        << QStringList{u"--headless"_s, u"--units=10"_s, u"--fault"_s, u"drop,units=20-30"_s}
        << u"units=20-30 names no unit: the units are numbered from 0 to 9"_s;
    QTest::addRow("rule for an address no unit has")
        << QStringList{u"--headless"_s, u"--units=10"_s, u"--fault"_s, u"drop,units=127.0.9.9"_s}
        << u"units=127.0.9.9 names no unit: no unit has that address"_s;
    QTest::addRow("rule for a unit index the count")
        << QStringList{u"--headless"_s, u"--units=10"_s, u"--fault"_s, u"drop,units=10"_s}
        << u"units=10 names no unit"_s;
    QTest::addRow("rule for a second single unit")
        << QStringList{u"--headless"_s, u"--fault"_s, u"drop,units=1"_s}
        << u"units=1 names no unit: the only unit is unit 0"_s;
    QTest::addRow("rule for an address of the single unit")
        << QStringList{u"--headless"_s, u"--fault"_s, u"delay=5,units=127.0.0.1"_s}
        << u"the single unit listens on every address"_s;
    const QString explore = QStringLiteral(UNITSIM_EXAMPLES_DIR "/explore-reboots.yaml");
    const QString plain = QStringLiteral(UNITSIM_EXAMPLES_DIR "/power-cut.yaml");
    QTest::addRow("explore without a controller")
        << QStringList{u"--explore"_s, explore} << u"needs --controller"_s;
    QTest::addRow("explore a scenario without explore block")
        << QStringList{u"--explore"_s, plain, u"--controller"_s, u"true"_s}
        << u"exploring needs an explore block (what a run may add), an expect list"_s;
    QTest::addRow("explore with a fault")
        << QStringList{u"--explore"_s, explore, u"--controller"_s, u"true"_s, u"--fault"_s, u"drop"_s}
        << u"--fault does not go with --explore"_s;
    QTest::addRow("runs 0") << QStringList{u"--explore"_s, explore,     u"--controller"_s,
                                           u"true"_s,      u"--runs"_s, u"0"_s}
                            << u"--runs needs a whole number from 1"_s;
    QTest::addRow("jobs 0") << QStringList{u"--explore"_s, explore,     u"--controller"_s,
                                           u"true"_s,      u"--jobs"_s, u"0"_s}
                            << u"--jobs needs a whole number from 1 to 256, not '0'"_s;
    QTest::addRow("search sideways") << QStringList{u"--explore"_s, explore,       u"--controller"_s,
                                                    u"true"_s,      u"--search"_s, u"sideways"_s}
                                     << u"--search takes guided or random, not 'sideways'"_s;
    QTest::addRow("no-swarm without explore")
        << QStringList{u"--headless"_s, u"--no-swarm"_s} << u"--no-swarm goes with --explore"_s;
    QTest::addRow("budget without unit")
        << QStringList{u"--explore"_s, explore, u"--controller"_s, u"true"_s, u"--budget"_s, u"60"_s}
        << u"--budget needs a duration such as 90s or 10m, not '60'"_s;
    QTest::addRow("runs without explore")
        << QStringList{u"--headless"_s, u"--runs"_s, u"3"_s} << u"--runs goes with --explore"_s;
}

void TestCommandLine::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const SimulatorOptions options = parsed(commandLine(arguments));
    QCOMPARE(options.action, Action::UsageError);
    QVERIFY2(options.text.contains(message), qPrintable(options.text));
}

void TestCommandLine::exploreTakesItsOptions()
{
    const SimulatorOptions options =
        parsed(commandLine({u"--explore"_s,
                            QStringLiteral(UNITSIM_EXAMPLES_DIR "/explore-reboots.yaml"),
                            u"--controller"_s,
                            u"ctl --x 'a b'"_s,
                            u"--runs"_s,
                            u"7"_s,
                            u"--budget"_s,
                            u"2m"_s,
                            u"--seed"_s,
                            u"42"_s,
                            u"--out"_s,
                            u"found"_s,
                            u"--explore-run"_s,
                            u"3"_s,
                            u"--time-scale"_s,
                            u"5"_s,
                            u"--jobs"_s,
                            u"3"_s,
                            u"--no-swarm"_s,
                            u"--confirm"_s,
                            u"0"_s,
                            u"--search"_s,
                            u"random"_s}));
    QCOMPARE(options.action, Action::Explore);
    const ExploreOptions& explore = *options.explore;
    QCOMPARE(explore.controller, u"ctl --x 'a b'"_s);
    QCOMPARE(explore.runs, 7);
    QCOMPARE(*explore.budgetMs, 120000);
    QCOMPARE(explore.seed, 42u);
    QCOMPARE(explore.outDir, u"found"_s);
    QCOMPARE(*explore.onlyRun, 3);
    QCOMPARE(explore.jobs, 3);
    QCOMPARE(explore.draw, ExploreDraw::Uniform);
    QCOMPARE(explore.confirm, 0);
    QCOMPARE(explore.search, ExploreSearch::Random);
    QCOMPARE(explore.scenario.timeScale, 5.0);
    QVERIFY(explore.scenario.explore);
}

// Parsing only names the files; reading them is a step of its own, which says what is wrong.
void TestCommandLine::parsingReadsNoFile()
{
    const QString missing = u"/nonexistent/run.yaml"_s;
    SimulatorOptions options =
        SimulatorCommandLine::parse(commandLine({u"--headless"_s, u"--scenario"_s, missing, u"--control=0"_s,
                                                 u"--control-token-file=/nonexistent/token"_s}));
    QCOMPARE(options.action, Action::RunHeadless);
    QCOMPARE(options.scenarioPath, missing);
    QVERIFY(!options.scenario);
    QVERIFY(!SimulatorCommandLine::readFiles(options));
    QVERIFY2(options.text.contains(u"cannot read /nonexistent/token"_s), qPrintable(options.text));

    options = SimulatorCommandLine::parse(commandLine({u"--headless"_s, u"--scenario"_s, missing}));
    QVERIFY(!SimulatorCommandLine::readFiles(options));
    QCOMPARE(options.action, Action::UsageError);
    QVERIFY2(options.text.startsWith(missing + u": cannot read"_s), qPrintable(options.text));

    options =
        SimulatorCommandLine::parse(commandLine({u"--explore"_s, missing, u"--controller"_s, u"true"_s}));
    QCOMPARE(options.action, Action::Explore);
    QVERIFY(!SimulatorCommandLine::readFiles(options));
    QVERIFY2(options.text.startsWith(missing), qPrintable(options.text));
}

void TestCommandLine::helpAndVersion()
{
    for (const QString& help : {u"--help"_s, u"-h"_s}) {
        const SimulatorOptions options = parsed(commandLine({help}));
        QCOMPARE(options.action, Action::ShowHelp);
        QVERIFY(options.text.contains(u"--headless"_s));
        QVERIFY(options.text.contains(u"  1  \"Generation 1\" LED driver @ port:4001"_s));
    }
    for (const QString& version : {u"--version"_s, u"-v"_s}) {
        const SimulatorOptions options = parsed(commandLine({u"--headless"_s, version}));
        QCOMPARE(options.action, Action::ShowVersion);
        QCOMPARE(options.text, u"unit-simulator "_s + QStringLiteral(UNITSIM_VERSION_STRING) + u"\n"_s);
    }
}

QTEST_GUILESS_MAIN(TestCommandLine)
void TestCommandLine::shardsAndMerge_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("outcome"); // "K/N", the folders merged, or the usage error
    const QStringList explore{u"--explore"_s, QStringLiteral(UNITSIM_EXAMPLES_DIR "/explore-reboots.yaml"),
                              u"--controller"_s, u"true"_s};
    QTest::newRow("shard 2/5") << explore + QStringList{u"--shard"_s, u"2/5"_s} << u"2/5"_s;
    QTest::newRow("shard 0/1") << explore + QStringList{u"--shard"_s, u"0/1"_s} << u"0/1"_s;
    QTest::newRow("shard 5/5") << explore + QStringList{u"--shard"_s, u"5/5"_s}
                               << u"--shard needs K/N, N from 1 to 10000 and K from 0 to N-1, not '5/5'"_s;
    QTest::newRow("shard 1") << explore + QStringList{u"--shard"_s, u"1"_s} << u"--shard needs K/N"_s;
    QTest::newRow("shard of one run")
        << explore + QStringList{u"--shard"_s, u"0/2"_s, u"--explore-run"_s, u"3"_s}
        << u"--shard and --explore-run exclude each other"_s;
    QTest::newRow("merge") << QStringList{u"--explore-merge"_s, u"a"_s, u"b"_s, u"c"_s, u"--out"_s, u"m"_s}
                           << u"a b c -> m"_s;
    QTest::newRow("merge with a seed") << QStringList{u"--explore-merge"_s, u"a"_s, u"--seed"_s, u"3"_s}
                                       << u"--seed does not go with --explore-merge"_s;
    QTest::newRow("merge into a shard")
        << QStringList{u"--explore-merge"_s, u"a"_s, u"b"_s, u"--out"_s, u"b"_s}
        << u"--out b is one of the folders merged"_s;
}

void TestCommandLine::shardsAndMerge()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    const SimulatorOptions options = parsed(commandLine(arguments));
    if (options.action == Action::UsageError) {
        QVERIFY2(options.text.contains(outcome), qPrintable(options.text));
    } else if (options.action == Action::ExploreMerge) {
        QCOMPARE(options.mergeDirs.join(u' ') + u" -> "_s + options.mergeOut, outcome);
    } else {
        QCOMPARE(options.action, Action::Explore);
        QCOMPARE(u"%1/%2"_s.arg(options.explore->shardIndex).arg(options.explore->shardCount), outcome);
    }
}

// The example Job's command line is one the program takes, for each index, and its scenario loads.
void TestCommandLine::theKubernetesJobParses()
{
    const std::vector<YAML::Node> documents =
        YAML::LoadAllFromFile(UNITSIM_KUBERNETES_DIR "/explore-job.yaml");
    QCOMPARE(documents.size(), std::size_t(2));
    const YAML::Node job = documents[1];
    QCOMPARE(job["kind"].as<std::string>(), "Job");
    const int completions = job["spec"]["completions"].as<int>();
    const YAML::Node container = job["spec"]["template"]["spec"]["containers"][0];
    ScenarioError problem;
    const std::optional<Scenario> scenario = ScenarioFile::parse(
        QByteArray::fromStdString(documents[0]["data"]["scenario.yaml"].as<std::string>()), &problem);
    QVERIFY2(scenario && scenario->explore, qPrintable(problem.message));
    for (int index = 0; index < completions; ++index) {
        QStringList arguments;
        for (const YAML::Node& part : container["command"])
            arguments << QString::fromStdString(part.as<std::string>());
        for (const YAML::Node& part : container["args"])
            arguments << QString::fromStdString(part.as<std::string>())
                             .replace(u"$(JOB_COMPLETION_INDEX)"_s, QString::number(index));
        const SimulatorOptions options = SimulatorCommandLine::parse(arguments);
        QVERIFY2(options.action == Action::Explore, qPrintable(options.text));
        QCOMPARE(options.explore->shardIndex, index);
        QCOMPARE(options.explore->shardCount, completions);
        QCOMPARE(options.explore->outDir, u"/out/shard-%1"_s.arg(index));
        QCOMPARE(options.explore->scenarioPath, u"/scenario/scenario.yaml"_s);
    }
}

#include "tst_commandline.moc"
