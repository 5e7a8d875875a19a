// Checking what the units received: matchers read from JSON, counted over a log, and the nearest
// misses with what differed. No sockets: the log is written directly.
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "verify/verifyscan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr quint32 kController = 0x0a000005; // 10.0.0.5

TrafficLogEntry request(const QByteArray& frame)
{
    return TrafficLogEntry::unitIncoming(kController, 5000, 4000, frame, 0);
}

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

class TestVerify : public QObject {
    Q_OBJECT

private slots:
    void init();
    void countsWhatMatches_data();
    void countsWhatMatches();
    void nearestMissesSayWhatDiffered();
    void badMatchersNameThePart_data();
    void badMatchersNameThePart();

private:
    std::unique_ptr<TrafficLogModel> m_log;
};

void TestVerify::init()
{
    // Three units, what a controller sent them and a reply; line n at 10:00:00 and n microseconds.
    m_log = std::make_unique<TrafficLogModel>();
    m_log->setUnitAddresses({u"127.0.1.1"_s, u"127.0.1.2"_s, u"127.0.1.3"_s});
    auto at = [n = qint64(0)](TrafficLogEntry entry) mutable {
        entry.timeUs = 1796724000000000 + n++;
        return entry;
    };
    m_log->appendFrom(0, at(request(unitFrame(0, {200, 7}))));                                  // seq 0
    m_log->appendFrom(1, at(request(unitFrame(0, {200, 9}))));                                  // 1
    m_log->appendFrom(2, at(request(unitFrame(0, {254, 7}))));                                  // 2
    m_log->appendFrom(2, at(TrafficLogEntry::unitOutgoing(kController, 5000, UnitFrame{}, 0))); // 3, a reply
    m_log->appendFrom(0, at(request(unitFrame(50))));                                           // 4
    m_log->appendFrom(1, at(request(unitFrame(0, {15}, 10)))); // 5, cut short
    m_log->appendFrom(2, at(request(unitFrame(0, {200, 7})))); // 6
}

void TestVerify::countsWhatMatches_data()
{
    QTest::addColumn<QByteArray>("matcher");
    QTest::addColumn<bool>("matched");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<qint64>>("first");
    QTest::addRow("any request at all") << QByteArray("{}") << true << 6 << QList<qint64>{0, 1, 2, 4, 5, 6};
    QTest::addRow("set-channels with 200 in position 2")
        << QByteArray(R"({"command": "set-channels", "bytes": [{"position": 2, "equals": 200}]})") << true
        << 3 << QList<qint64>{0, 1, 6};
    QTest::addRow("a range, on two units")
        << QByteArray(R"({"units": "1-2", "bytes": [{"position": 3, "min": 5, "max": 8}], "exactly": 2})")
        << true << 2 << QList<qint64>{2, 6};
    QTest::addRow("by address") << QByteArray(R"({"units": "127.0.1.2", "at_most": 1})") << false << 2
                                << QList<qint64>{1, 5};
    // A bound is held at exactly its number.
    QTest::addRow("at most, exactly as many")
        << QByteArray(R"({"units": "127.0.1.2", "at_most": 2})") << true << 2 << QList<qint64>{1, 5};
    QTest::addRow("at least, exactly as many")
        << QByteArray(R"({"units": "127.0.1.2", "at_least": 2})") << true << 2 << QList<qint64>{1, 5};
    QTest::addRow("at least, one short")
        << QByteArray(R"({"units": "127.0.1.2", "at_least": 3})") << false << 2 << QList<qint64>{1, 5};
    QTest::addRow("by address, the API's own spelling")
        << QByteArray(R"({"units": "127.0.1.2", "atMost": 1})") << false << 2 << QList<qint64>{1, 5};
    QTest::addRow("from and to, by sequence")
        << QByteArray(R"({"command": "set-channels", "from": 1, "to": 5, "exactly": 2})") << true << 2
        << QList<qint64>{1, 2};
    QTest::addRow("a short frame is no set-channels")
        << QByteArray(R"({"units": "1", "command": "set-channels", "exactly": 1})") << true << 1
        << QList<qint64>{1};
    QTest::addRow("none wanted, one there")
        << QByteArray(R"({"command": "channel-query", "exactly": 0})") << false << 1 << QList<qint64>{4};
    QTest::addRow("times after the log")
        << QByteArray(R"({"from": "2100-01-01T00:00:00Z"})") << false << 0 << QList<qint64>{};
    // Times as the log gives them, to the microsecond: lines 2 to 4, of which 3 is a reply.
    QTest::addRow("from and to, by time")
        << QByteArray(R"({"from": "2026-12-08T10:00:00.000002Z", "to": "2026-12-08T10:00:00.000004Z"})")
        << true << 2 << QList<qint64>{2, 4};
}

void TestVerify::countsWhatMatches()
{
    QFETCH(QByteArray, matcher);
    QFETCH(bool, matched);
    QFETCH(int, count);
    QFETCH(QList<qint64>, first);
    QString error;
    const std::optional<RequestMatcher> parsed =
        RequestMatcher::fromJson(QJsonDocument::fromJson(matcher).object(), &error);
    QVERIFY2(parsed, qPrintable(error));
    const VerifyResult result = verifyRequests(*parsed, *m_log);
    QCOMPARE(result.matched, matched);
    QCOMPARE(result.count, quint64(count));
    QList<qint64> seqs;
    for (const quint64 seq : result.firstSeqs)
        seqs << qint64(seq);
    QCOMPARE(seqs, first);
    QCOMPARE(result.toJson()[u"matched"_s].toBool(), matched);
    QCOMPARE(result.toJson().contains(u"nearMisses"_s), !matched);
}

void TestVerify::nearestMissesSayWhatDiffered()
{
    const std::optional<RequestMatcher> matcher = RequestMatcher::fromJson(
        json(R"({"units": "0-1", "command": "set-channels", "bytes": [{"position": 2, "equals": 255},
                 {"position": 3, "min": 6, "max": 8}], "at_least": 1})"),
        nullptr);
    QVERIFY(matcher);
    const VerifyResult result = verifyRequests(*matcher, *m_log);
    QVERIFY(!result.matched);
    QCOMPARE(result.count, 0u);
    QCOMPARE(result.scanned, 6u);
    QCOMPARE(result.nearMisses.size(), 3);
    // Fewest differences first (unit 0's 200 where 255 was wanted); among two differences each,
    // the smallest byte distance (unit 1's 200 with 9 in position 3, then its frame cut short).
    // Unit 2's 254 is nearer in its bytes, but units 0 and 1 got requests: it is no near miss.
    QCOMPARE(result.nearMisses[0].seq, 0u);
    QCOMPARE(result.nearMisses[0].differences, QStringList{u"position 2: expected 255, was 200"_s});
    QCOMPARE(result.nearMisses[0].line,
             u"127.0.1.1 --> 10.0.0.5:4000 -  0 0 200 7 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"_s);
    QCOMPARE(result.nearMisses[1].seq, 1u);
    QCOMPARE(result.nearMisses[1].differences,
             (QStringList{u"position 2: expected 255, was 200"_s, u"position 3: expected 6 to 8, was 9"_s}));
    QCOMPARE(result.nearMisses[2].seq, 5u);

    // The right unit with another command comes before another unit with the very bytes wanted.
    const VerifyResult unit0 =
        verifyRequests(*RequestMatcher::fromJson(json(R"({"units": "0", "command": "set-channels", "bytes":
                 [{"position": 2, "equals": 200}, {"position": 3, "equals": 9}]})"),
                                                 nullptr),
                       *m_log);
    QCOMPARE(unit0.nearMisses.size(), 2);
    QCOMPARE(unit0.nearMisses[0].differences, QStringList{u"position 3: expected 9, was 7"_s});
    QCOMPARE(unit0.nearMisses[1].seq, 4u);
    QCOMPARE(unit0.nearMisses[1].differences.first(), u"command channel-query, not set-channels"_s);

    // Only when the units wanted got nothing at all do the other units' requests stand in.
    m_log->setUnitAddresses({u"127.0.1.1"_s, u"127.0.1.2"_s, u"127.0.1.3"_s, u"127.0.1.4"_s});
    const VerifyResult silent = verifyRequests(
        *RequestMatcher::fromJson(json(R"({"units": "3", "command": "set-channels"})"), nullptr), *m_log);
    QCOMPARE(silent.nearMisses.size(), 3);
    QCOMPARE(silent.nearMisses[0].differences, QStringList{u"unit 127.0.1.3, not in 127.0.1.4"_s});

    const QJsonObject answer = result.toJson();
    QCOMPARE(answer[u"nearMisses"_s].toArray()[0][u"differences"_s].toArray()[0].toString(),
             u"position 2: expected 255, was 200"_s);

    // A frame cut short lacks the position: further than any value.
    const VerifyResult cut =
        verifyRequests(*RequestMatcher::fromJson(
                           json(R"({"units": "1", "bytes": [{"position": 20, "equals": 1}]})"), nullptr),
                       *m_log);
    QCOMPARE(cut.nearMisses.size(), 2); // none on another unit
    QCOMPARE(cut.nearMisses[0].differences, QStringList{u"position 20: expected 1, was 0"_s});
    QCOMPARE(cut.nearMisses[1].differences,
             QStringList{u"position 20: expected 1, the request has 10 bytes"_s});
}

void TestVerify::badMatchersNameThePart_data()
{
    QTest::addColumn<QByteArray>("matcher");
    QTest::addColumn<QString>("message");
    QTest::addRow("unknown part") << QByteArray(R"({"unit": "1"})") << u"unknown part \"unit\""_s;
    QTest::addRow("units backwards") << QByteArray(R"({"units": "5-2"})") << u"\"units\" takes"_s;
    QTest::addRow("units neither text nor a whole number")
        << QByteArray(R"({"units": 2.5})") << u"\"units\" takes"_s;
    QTest::addRow("unknown command") << QByteArray(R"({"command": "reboot"})") << u"\"command\" takes"_s;
    QTest::addRow("position beyond a frame") << QByteArray(R"({"bytes": [{"position": 29, "equals": 1}]})")
                                             << u"bytes[0]: \"position\" takes 0 to 28"_s;
    QTest::addRow("value beyond a byte") << QByteArray(R"({"bytes": [{"position": 2, "equals": 256}]})")
                                         << u"bytes[0]: \"equals\" takes a byte value"_s;
    QTest::addRow("equals and a range")
        << QByteArray(R"({"bytes": [{"position": 2, "equals": 1, "min": 0}]})")
        << u"bytes[0]: give \"equals\", or"_s;
    QTest::addRow("min above max") << QByteArray(R"({"bytes": [{"position": 2, "min": 9, "max": 3}]})")
                                   << u"bytes[0]: \"min\" is above \"max\""_s;
    QTest::addRow("bytes not a list")
        << QByteArray(R"({"bytes": {"position": 2}})") << u"\"bytes\" takes a list"_s;
    QTest::addRow("from not a time") << QByteArray(R"({"from": "yesterday"})") << u"\"from\" takes"_s;
    QTest::addRow("two counts") << QByteArray(R"({"exactly": 1, "at_most": 3})") << u"give one of"_s;
    QTest::addRow("count negative") << QByteArray(R"({"at_least": -1})")
                                    << u"\"at_least\" takes a whole number"_s;
    QTest::addRow("count not whole") << QByteArray(R"({"exactly": 1.5})")
                                     << u"\"exactly\" takes a whole number"_s;
}

void TestVerify::badMatchersNameThePart()
{
    QFETCH(QByteArray, matcher);
    QFETCH(QString, message);
    QString error;
    QVERIFY(!RequestMatcher::fromJson(QJsonDocument::fromJson(matcher).object(), &error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestVerify)
#include "tst_verify.moc"
