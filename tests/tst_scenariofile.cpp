// The scenario file: what it accepts, what it refuses and where it says the fault is, and that
// what the program writes reads back as the same scenario.
#include "record/duration.h"
#include "scenario/scenariofile.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestScenarioFile : public QObject {
    Q_OBJECT

private slots:
    void refusesWithLineColumnAndKey_data();
    void refusesWithLineColumnAndKey();
    void readsEveryForm();
    void readsJsonToo();
    void durations_data();
    void durations();
    void savedFilesReadBackAsTheSameScenario_data();
    void savedFilesReadBackAsTheSameScenario();
    void proxyUnitsReadAndWriteBack();
    void loadNamesTheFile();
    void deepNestingIsRefusedNotFollowed();
    void aliasBombsAreRefusedBeforeTheyExpand_data();
    void aliasBombsAreRefusedBeforeTheyExpand();
};

namespace {
std::optional<Scenario> parse(const QByteArray& text, ScenarioError* error = nullptr)
{
    ScenarioError ignored;
    return ScenarioFile::parse(text, error ? error : &ignored);
}

const QByteArray kThreeUnits = "version: 1\nunits:\n  - {count: 3, first: 127.0.1.1}\n"_ba;
} // namespace

void TestScenarioFile::refusesWithLineColumnAndKey_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("message");

    QTest::addRow("empty") << QByteArray() << 0 << 0 << u"the scenario is empty"_s;
    QTest::addRow("no version") << "name: x\n"_ba << 1 << 1 << u"version is missing"_s;
    QTest::addRow("version 2") << "version: 2\n"_ba << 1 << 10 << u"version: this program reads version 1"_s;
    QTest::addRow("unknown top key") << "version: 1\ncolour: red\n"_ba << 2 << 1 << u"colour: unknown key"_s;
    QTest::addRow("key twice") << "version: 1\nname: a\nname: b\n"_ba << 3 << 1 << u"name: given twice"_s;
    QTest::addRow("not YAML") << "version: 1\ntimeline: [ {at: 1s\n"_ba << 3 << 1 << u"not YAML"_s;
    QTest::addRow("two documents") << "version: 1\n---\nversion: 1\n"_ba << 3 << 1 << u"a second document"_s;
    // A stray comma once sent the YAML reader asking for documents until memory ran out.
    QTest::addRow("stray comma") << "# x\n,#y\nversion: 1\n"_ba << 2 << 1 << u"text that is not YAML"_s;
    QTest::addRow("seed negative") << "version: 1\nseed: -1\n"_ba << 2 << 7
                                   << u"seed: must be a whole number"_s;
    QTest::addRow("time scale 0") << "version: 1\ntime_scale: 0\n"_ba << 2 << 13
                                  << u"time_scale: must be a number"_s;
    QTest::addRow("units not a list") << "version: 1\nunits: 3\n"_ba << 2 << 8 << u"units: must be a list"_s;
    QTest::addRow("unknown group key")
        << "version: 1\nunits:\n  - {count: 3, first: 127.0.1.1, colour: red}\n"_ba << 3 << 34
        << u"units[0].colour: unknown key"_s;
    QTest::addRow("proxy for a group of units")
        << "version: 1\nunits:\n  - {count: 3, first: 127.0.1.1, proxy: 10.0.0.5}\n"_ba << 3 << 41
        << u"units[0].proxy: goes with address"_s;
    QTest::addRow("proxy with channels")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 10.0.0.5, channels: [0,0,0,0,0,0,0,0,0,0,0,0,"
           "0,0,0,0,0,0,0,0,0,0,0,0]}\n"_ba
        << 3 << 33 << u"units[0].proxy: takes no channels"_s;
    QTest::addRow("proxy to itself") << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 127.0.1.1}\n"_ba
                                     << 3 << 33 << u"units[0].proxy: must be the address of another unit"_s;
    QTest::addRow("proxy to loopback's broadcast")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 127.255.255.255}\n"_ba << 3 << 33
        << u"units[0].proxy: must be the address of one real unit: 127.255.255.255 is loopback's broadcast"_s;
    QTest::addRow("proxy to a multicast group")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 224.0.0.1}\n"_ba << 3 << 33
        << u"units[0].proxy: must be the address of one real unit: multicast addresses"_s;
    QTest::addRow("proxy to every address")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 0.0.0.0}\n"_ba << 3 << 33
        << u"0.0.0.0 stands for every address"_s;
    QTest::addRow("proxies in a ring")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, proxy: 127.0.1.2}\n"
           "  - {address: 127.0.1.2, proxy: 127.0.1.1}\n"_ba
        << 3 << 3
        << u"units: these proxies would pass every request round for ever: 127.0.1.1 -> 127.0.1.2 -> 127.0.1.1"_s;
    QTest::addRow("count without first") << "version: 1\nunits:\n  - {count: 3}\n"_ba << 3 << 5
                                         << u"units[0]: needs count and first, or address"_s;
    QTest::addRow("address and count") << "version: 1\nunits:\n  - {count: 3, address: 127.0.1.1}\n"_ba << 3
                                       << 5 << u"units[0]: has address and count"_s;
    QTest::addRow("count 0") << "version: 1\nunits:\n  - {count: 0, first: 127.0.1.1}\n"_ba << 3 << 13
                             << u"units[0].count: must be a whole number from 1 to 262144"_s;
    QTest::addRow("bad address") << "version: 1\nunits:\n  - {address: 127.0.1}\n"_ba << 3 << 15
                                 << u"units[0].address: must be an IPv4 address"_s;
    QTest::addRow("broadcast address")
        << "version: 1\nunits:\n  - {count: 2, first: 127.255.255.254}\n"_ba << 3 << 5
        << u"units[0]: 127.255.255.255 is loopback's broadcast address"_s;
    QTest::addRow("overlap")
        << "version: 1\nunits:\n  - {count: 3, first: 127.0.1.1}\n  - {address: 127.0.1.3}\n"_ba << 4 << 5
        << u"units[1]: overlaps units[0]: 127.0.1.3 is in both"_s;
    QTest::addRow("profile 9") << "version: 1\nunits:\n  - {address: 127.0.1.1, profile: 9}\n"_ba << 3 << 35
                               << u"units[0].profile: must be a whole number from 0 to 8"_s;
    QTest::addRow("channels short") << "version: 1\nunits:\n  - {address: 127.0.1.1, channels: [1, 2]}\n"_ba
                                    << 3 << 36 << u"units[0].channels: must be a list of 24 values"_s;
    QTest::addRow("channel 256")
        << "version: 1\nunits:\n  - {address: 127.0.1.1, channels: [256, 0, 0, 0, 0, 0, 0, "
           "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]}\n"_ba
        << 3 << 37 << u"units[0].channels[0]: must be a whole number from 0 to 255"_s;
    QTest::addRow("bad rule") << "version: 1\nfaults: [\"drop,chance=2\"]\n"_ba << 2 << 10
                              << u"faults[0]: 'drop,chance=2': chance needs a probability"_s;
    QTest::addRow("rule for no unit") << kThreeUnits + "faults: [\"drop,units=7\"]\n"_ba << 4 << 10
                                      << u"faults[0]: 'drop,units=7': units=7 names no unit"_s;
    QTest::addRow("event without at")
        << "version: 1\ntimeline:\n  - {reboot: {}}\n"_ba << 3 << 5 << u"timeline[0]: needs at"_s;
    QTest::addRow("event before 0") << "version: 1\ntimeline:\n  - {at: -5s, reboot: {}}\n"_ba << 3 << 10
                                    << u"timeline[0].at: must not be before 0"_s;
    QTest::addRow("not a duration") << "version: 1\ntimeline:\n  - {at: 10, reboot: {}}\n"_ba << 3 << 10
                                    << u"timeline[0].at: must be a duration such as 250ms, 10s or 2m"_s;
    QTest::addRow("for 0") << "version: 1\ntimeline:\n  - {at: 5s, offline: {for: 0ms}}\n"_ba << 3 << 29
                           << u"timeline[0].offline.for: must be more than 0"_s;
    QTest::addRow("no kind") << "version: 1\ntimeline:\n  - {at: 5s}\n"_ba << 3 << 5
                             << u"timeline[0]: needs one of offline, reboot, fault, profile, channels"_s;
    QTest::addRow("two kinds") << "version: 1\ntimeline:\n  - {at: 5s, offline: {for: 1s}, reboot: {}}\n"_ba
                               << 3 << 42 << u"timeline[0].reboot: the event is offline already"_s;
    QTest::addRow("unknown event key")
        << "version: 1\ntimeline:\n  - {at: 5s, reboot: {for: 1s, soon: 1}}\n"_ba << 3 << 32
        << u"timeline[0].reboot.soon: unknown key"_s;
    QTest::addRow("fault without rule") << "version: 1\ntimeline:\n  - {at: 5s, fault: {for: 1s}}\n"_ba << 3
                                        << 21 << u"timeline[0].fault: needs rule"_s;
    QTest::addRow("index outside") << kThreeUnits +
                                          "timeline:\n  - {at: 5s, units: 2-3, offline: {for: 1s}}\n"_ba
                                   << 5 << 21
                                   << u"timeline[0].units: '2-3' is outside the units: there are 3 units"_s;
    QTest::addRow("address outside")
        << kThreeUnits + "timeline:\n  - {at: 5s, units: 127.0.9.9, offline: {for: 1s}}\n"_ba << 5 << 21
        << u"timeline[0].units: 127.0.9.9 is outside the units"_s;
    QTest::addRow("backwards range") << kThreeUnits + "timeline:\n  - {at: 5s, units: 2-1, reboot: {}}\n"_ba
                                     << 5 << 21 << u"timeline[0].units: '2-1' runs backwards"_s;
    QTest::addRow("address of the single unit")
        << "version: 1\ntimeline:\n  - {at: 5s, units: 127.0.0.1, reboot: {}}\n"_ba << 3 << 21
        << u"the single unit listens on every address"_s;
    QTest::addRow("after the end") << "version: 1\nend: 10s\ntimeline:\n  - {at: 15s, profile: 1}\n"_ba << 4
                                   << 10 << u"timeline[0].at: 15 s is after the end (10 s)"_s;
    QTest::addRow("end 0") << "version: 1\nend: 0s\n"_ba << 2 << 6 << u"end: must be more than 0"_s;
    const QByteArray expect = "version: 1\nexpect:\n  - "_ba;
    QTest::addRow("expect not a list")
        << "version: 1\nexpect: 3\n"_ba << 2 << 9 << u"expect: must be a list of expectations"_s;
    QTest::addRow("expectation without a name") << expect + "{no_malformed: {}}\n"
                                                << 3 << 5 << u"expect[0]: needs a name, for the report"_s;
    QTest::addRow("expectation without a check")
        << expect + "{name: a}\n"
        << 3 << 5 << u"expect[0]: needs one of resend_after_reboot, max_rate"_s;
    QTest::addRow("two checks") << expect + "{name: a, no_malformed: {}, max_rate: {per_unit: 5/s}}\n"
                                << 3 << 33
                                << u"expect[0].max_rate: the expectation is no_malformed already"_s;
    QTest::addRow("unknown check")
        << expect + "{name: a, resend: {}}\n"
        << 3 << 15 << u"expect[0].resend: unknown key; expect[0] takes an expectation: name and one of"_s;
    QTest::addRow("names twice") << expect + "{name: a, no_malformed: {}}\n  - {name: a, no_malformed: {}}\n"
                                 << 4 << 5 << u"expect[1].name: 'a' names an expectation before it already"_s;
    QTest::addRow("rate without /s") << expect + "{name: a, max_rate: {per_unit: 50}}\n"
                                     << 3 << 25
                                     << u"expect[0].max_rate: per_unit needs a rate such as 50/s"_s;
    QTest::addRow("both rates") << expect + "{name: a, max_rate: {per_unit: 5/s, per_peer: 5/s}}\n"
                                << 3 << 25 << u"expect[0].max_rate: takes one of per_unit and per_peer"_s;
    QTest::addRow("back-off after 0")
        << expect + "{name: a, backoff: {after_unanswered: 0, at_most: 2/s}}\n"
        << 3 << 24 << u"expect[0].backoff: after_unanswered needs a whole number"_s;
    QTest::addRow("within without unit")
        << expect + "{name: a, resend_after_reboot: {within: 2}}\n"
        << 3 << 36 << u"expect[0].resend_after_reboot: within needs a duration above 0"_s;
    QTest::addRow("warm-up 0") << expect + "{name: a, poll_coverage: {every: 1s, warm_up: 0s}}\n"
                               << 3 << 30 << u"expect[0].poll_coverage: warm_up needs a duration above 0"_s;
    QTest::addRow("no_malformed takes nothing") << expect + "{name: a, no_malformed: {x: 1}}\n"
                                                << 3 << 29 << u"expect[0].no_malformed: takes nothing"_s;
    QTest::addRow("bad matcher") << expect + "{name: a, verify: {command: reboot}}\n"
                                 << 3 << 23 << u"expect[0].verify: \"command\" takes set-channels"_s;
}

void TestScenarioFile::refusesWithLineColumnAndKey()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(QString, message);
    ScenarioError error;
    QVERIFY(!parse(text, &error));
    QVERIFY2(error.message.contains(message), qPrintable(error.message));
    QCOMPARE(error.line, line);
    QCOMPARE(error.column, column);
}

void TestScenarioFile::readsEveryForm()
{
    const std::optional<Scenario> scenario = parse(R"(# comments are fine
version: 1
name: room
seed: 18446744073709551615
time_scale: 2.5
units:
  - {count: 10, first: 127.0.1.1, profile: cycle}
  - address: 127.0.2.1
    profile: 3
    channels: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24]
faults:
  - "drop,every=3,units=10"
timeline:
  - {at: 250ms, units: 2-4, offline: {for: 1.5s}}
  - {at: 10s, units: 127.0.2.1, reboot: {}}
  - {at: 2m, fault: {rule: "delay=200,on=status-query", for: 60s}}
  - {at: 2m, units: 0, profile: 8}
  - {at: 1h, units: 10, channels: [255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]}
  - {at: 1h, offline: {}}
end: 1h
)"_ba);
    QVERIFY(scenario);
    QCOMPARE(scenario->name, u"room"_s);
    QCOMPARE(scenario->seed, std::optional<quint64>(18446744073709551615ull));
    QCOMPARE(scenario->timeScale, 2.5);
    QCOMPARE(scenario->unitCount(), 11);
    const QList<FleetUnit> fleet = scenario->fleetUnits();
    QCOMPARE(fleet[9].address, QHostAddress(u"127.0.1.10"_s));
    QCOMPARE(fleet[9].profile, 0); // cycle: 9 mod 9
    QCOMPARE(fleet[4].profile, 4);
    QCOMPARE(fleet[10].profile, 3);
    QCOMPARE(scenario->startChannels(10)->at(23), 24);
    QVERIFY(!scenario->startChannels(0));
    QCOMPARE(scenario->faults.first().unitsFirst, 10);

    QCOMPARE(scenario->timeline.size(), 6);
    const ScenarioEvent& offline = scenario->timeline[0];
    QCOMPARE(offline.atMs, 250);
    QCOMPARE(offline.forMs, 1500);
    QVERIFY(offline.units.contains(2) && offline.units.contains(4) && !offline.units.contains(5));
    const ScenarioEvent& reboot = scenario->timeline[1];
    QCOMPARE(reboot.kind, ScenarioEvent::Kind::Reboot);
    QCOMPARE(reboot.forMs, ScenarioEvent::kDefaultRebootMs);
    QCOMPARE(reboot.units.first, 10); // by its address
    QCOMPARE(scenario->timeline[2].atMs, 120000);
    QCOMPARE(scenario->timeline[2].rule.action, FaultAction::Delay);
    QCOMPARE(scenario->timeline[3].profile, 8);
    QCOMPARE(scenario->timeline[4].channels[0], 255);
    QVERIFY(scenario->timeline[5].units.isAll());
    QCOMPARE(scenario->timeline[5].forMs, 0);
    QCOMPARE(scenario->endMs, std::optional<qint64>(3600000));

    QCOMPARE(scenario->eventText(reboot), u"reboot 127.0.2.1 for 2 s"_s);
    QCOMPARE(scenario->eventText(offline), u"offline units 2-4 (127.0.1.3 to 127.0.1.5) for 1.5 s"_s);
    QCOMPARE(scenario->eventText(scenario->timeline[5]), u"offline all 11 units until stopped"_s);

    // Nothing but the version: the single unit, as a plain run has it.
    const std::optional<Scenario> plain = parse("version: 1\n");
    QVERIFY(plain);
    QCOMPARE(plain->unitCount(), 1);
    QVERIFY(plain->fleetUnits().isEmpty());
    QCOMPARE(plain->timeScale, 1.0);
    QVERIFY(!plain->endMs);
}

void TestScenarioFile::readsJsonToo()
{
    const std::optional<Scenario> scenario =
        parse(R"({"version": 1, "units": [{"address": "127.0.1.7", "profile": 2}],
                  "timeline": [{"at": "20s", "units": "127.0.1.7", "offline": {"for": "10s"}}]})"_ba);
    QVERIFY(scenario);
    QCOMPARE(scenario->eventText(scenario->timeline.first()), u"offline 127.0.1.7 for 10 s"_s);

    ScenarioError error;
    QVERIFY(!parse("{\"version\": 1,\n \"units\": {}}"_ba, &error));
    QCOMPARE(error.line, 2);
    QVERIFY2(error.message.startsWith(u"units: must be a list"_s), qPrintable(error.message));
}

void TestScenarioFile::durations_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("ms"); // -1: refused
    QTest::addRow("ms") << u"250ms"_s << qint64(250);
    QTest::addRow("s") << u"10s"_s << qint64(10000);
    QTest::addRow("fraction") << u"1.25s"_s << qint64(1250);
    QTest::addRow("m") << u"2m"_s << qint64(120000);
    QTest::addRow("h") << u"1h"_s << qint64(3600000);
    QTest::addRow("zero") << u"0s"_s << qint64(0);
    QTest::addRow("30 days") << u"720h"_s << qint64(2592000000);
    QTest::addRow("beyond 30 days") << u"721h"_s << qint64(-1);
    QTest::addRow("no unit") << u"10"_s << qint64(-1);
    QTest::addRow("negative") << u"-1s"_s << qint64(-1);
    QTest::addRow("unknown unit") << u"3d"_s << qint64(-1);
    QTest::addRow("huge") << u"99999999999999999999s"_s << qint64(-1);
}

void TestScenarioFile::durations()
{
    QFETCH(QString, text);
    QFETCH(qint64, ms);
    const std::optional<qint64> parsed = parseDuration(text);
    QCOMPARE(parsed.value_or(-1), ms);
    if (parsed)
        QCOMPARE(parseDuration(durationText(*parsed)), parsed);
}

void TestScenarioFile::savedFilesReadBackAsTheSameScenario_data()
{
    QTest::addColumn<QString>("path");
    const QDir examples(QStringLiteral(UNITSIM_EXAMPLES_DIR));
    const QStringList files = examples.entryList({u"*.yaml"_s}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 4);
    for (const QString& file : files)
        QTest::addRow("%s", qPrintable(file)) << examples.filePath(file);
}

void TestScenarioFile::savedFilesReadBackAsTheSameScenario()
{
    QFETCH(QString, path);
    QString error;
    const std::optional<Scenario> original = ScenarioFile::load(path, &error);
    QVERIFY2(original, qPrintable(error));
    QVERIFY(original->endMs); // CI plays each to its end

    QTemporaryDir dir;
    const QString copy = dir.filePath(u"copy.yaml"_s);
    QVERIFY2(ScenarioFile::save(*original, copy, &error), qPrintable(error));
    const std::optional<Scenario> reread = ScenarioFile::load(copy, &error);
    QVERIFY2(reread, qPrintable(error + u"\n"_s + QString::fromUtf8(ScenarioFile::toYaml(*original))));
    QCOMPARE(QJsonDocument(ScenarioFile::toJson(*reread)).toJson(),
             QJsonDocument(ScenarioFile::toJson(*original)).toJson());

    // The API's JSON is a scenario file too.
    const std::optional<Scenario> fromJson = parse(QJsonDocument(ScenarioFile::toJson(*original)).toJson());
    QVERIFY(fromJson);
    QCOMPARE(ScenarioFile::toYaml(*fromJson), ScenarioFile::toYaml(*original));
}

void TestScenarioFile::proxyUnitsReadAndWriteBack()
{
    // A proxy's profile is asked of the real unit unless given; saved, it stays unasked.
    const std::optional<Scenario> scenario = parse(
        "version: 1\nunits:\n  - {address: 127.0.9.1, proxy: 10.0.0.5}\n  - {address: 127.0.9.2, proxy: "
        "10.0.0.6, profile: 4}\n  - {count: 2, first: 127.0.9.3}\n");
    QVERIFY(scenario);
    const QList<FleetUnit> units = scenario->fleetUnits();
    QCOMPARE(units.size(), 4);
    QCOMPARE(units[0].proxy, QHostAddress(u"10.0.0.5"_s));
    QVERIFY(!units[0].profileGiven);
    QCOMPARE(units[1].proxy, QHostAddress(u"10.0.0.6"_s));
    QVERIFY(units[1].profileGiven);
    QCOMPARE(units[1].profile, 4);
    QVERIFY(units[2].proxy.isNull() && units[2].profileGiven);
    const QByteArray yaml = ScenarioFile::toYaml(*scenario);
    QVERIFY2(yaml.contains("{address: 127.0.9.1, proxy: 10.0.0.5}"), yaml.constData());
    const std::optional<Scenario> reread = parse(yaml);
    QVERIFY(reread);
    QCOMPARE(ScenarioFile::toYaml(*reread), yaml);
    QCOMPARE(QJsonDocument(ScenarioFile::toJson(*reread)).toJson(),
             QJsonDocument(ScenarioFile::toJson(*scenario)).toJson());
}

void TestScenarioFile::loadNamesTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"bad.yaml"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("version: 1\nunits:\n  - {count: 3, first: 127.0.1.1, colour: red}\n");
    file.close();
    QString error;
    QVERIFY(!ScenarioFile::load(path, &error));
    QCOMPARE(
        error,
        path +
            u":3:34: units[0].colour: unknown key; units[0] takes count, first, address, profile, channels, proxy, recording"_s);

    QVERIFY(!ScenarioFile::load(dir.filePath(u"missing.yaml"_s), &error));
    QVERIFY2(error.startsWith(dir.filePath(u"missing.yaml"_s) + u": cannot read"_s), qPrintable(error));
}

void TestScenarioFile::deepNestingIsRefusedNotFollowed()
{
    // A body of the control API's size limit holds tens of thousands of brackets.
    ScenarioError error;
    QVERIFY(!parse("version: 1\nunits: "_ba + QByteArray(30000, '[') + QByteArray(30000, ']'), &error));
    QVERIFY2(error.message.contains(u"levels deep"_s), qPrintable(error.message));
    QVERIFY(!parse("version: 1\nname: "_ba + QByteArray(30000, '{') + QByteArray(30000, '}'), &error));
}

namespace {
// Nine of each level's anchor in the next, eight levels: 9^8 (43 million) nodes from under 300
// bytes, the shape of a "billion laughs".
QByteArray aliasBomb()
{
    QByteArray text = "[&l0 [1, 1, 1, 1, 1, 1, 1, 1, 1]";
    for (int level = 1; level < 8; ++level) {
        QByteArray items;
        for (int k = 0; k < 9; ++k)
            items += (k ? ", *l" : "*l") + QByteArray::number(level - 1);
        text += ", &l" + QByteArray::number(level) + " [" + items + "]";
    }
    return text + "]";
}
} // namespace

void TestScenarioFile::aliasBombsAreRefusedBeforeTheyExpand_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    const QByteArray head = "version: 1\nunits: [{count: 2, first: 127.0.7.1}]\nend: 10s\n";
    const QString tooMuch = u"aliases (*name) would repeat more than 100000 nodes"_s;
    QTest::newRow("in a verify's bytes")
        << head + "expect:\n  - {name: x, verify: {bytes: " + aliasBomb() + "}}\n"
        << tooMuch;
    QTest::newRow("in the explore block")
        << head + "explore: {at_most: 1, window: 1s-2s, units: 0-1, events: " + aliasBomb() + "}\n"
        << tooMuch;
    QTest::newRow("in a PUT's JSON-like flow")
        << "{\"version\": 1, \"name\": " + aliasBomb() + "}" << tooMuch;
    QByteArray many = head + "name: &n room\nfaults: [";
    for (int k = 0; k <= 10000; ++k)
        many += k ? ", *n" : "*n";
    QTest::newRow("too many aliases") << many + "]\n" << u"more than 10000 aliases"_s;
    // Large without any alias: refused by what it holds before the YAML library builds it.
    QByteArray channels = head + "timeline:\n";
    for (int k = 0; k < 20000; ++k)
        channels += "  - {at: " + QByteArray::number(k) +
                    "ms, units: 0, channels: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, "
                    "11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24]}\n";
    QTest::newRow("too many values") << channels << u"more than 400000 values"_s;
    QByteArray reboots = head + "timeline:\n";
    for (int k = 0; k <= 10000; ++k)
        reboots += "  - {at: " + QByteArray::number(k) + "ms, units: 0, reboot: {for: 1ms}}\n";
    QTest::newRow("too many events") << reboots << u"holds 10001 events; at most 10000"_s;
}

void TestScenarioFile::aliasBombsAreRefusedBeforeTheyExpand()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    ScenarioError error;
    QVERIFY(!parse(text, &error));
    QVERIFY2(error.message.contains(message), qPrintable(error.message));
    QVERIFY(error.line >= 1 && error.column >= 1);

    // A few aliases, as a person writes them, are read as ever.
    const std::optional<Scenario> reused =
        parse("version: 1\nunits:\n  - {count: 2, first: 127.0.7.1, channels: &warm [9, 9, 9, 9, 9, 9, 9, 9, "
              "9, 9, 9, 9, "
              "9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9]}\n  - {address: 127.0.7.5, channels: *warm}\n",
              &error);
    QVERIFY2(reused, qPrintable(error.message));
    QCOMPARE(reused->units.size(), 2);
    QCOMPARE(reused->units[1].channels, reused->units[0].channels);
}

QTEST_GUILESS_MAIN(TestScenarioFile)
#include "tst_scenariofile.moc"
