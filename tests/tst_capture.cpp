// Captures: the log written as pcap and read back, a live capture file, and reading the link
// types a LAN recording comes in. No sockets beyond a route lookup.
#include "capture/capturerecord.h"
#include "capture/trafficcapture.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "net/datagramendpoint.h"
#include "recording/pcapreader.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <pcap/pcap.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr quint32 kController = 0xC0000205; // 192.0.2.5
constexpr quint32 kLoopback = 0x7F000001;

// An IPv4/UDP packet carrying `payload`, as the capture writes one.
QByteArray ipPacket(const QByteArray& payload, quint16 sourcePort = 50000, quint16 destinationPort = 4000)
{
    CaptureRecord record;
    record.source = kController;
    record.sourcePort = sourcePort;
    record.destination = kLoopback;
    record.destinationPort = destinationPort;
    record.payload = payload;
    QByteArray packet(kIpv4UdpHeaders + payload.size(), Qt::Uninitialized);
    packet.truncate(buildIpv4Udp(record, packet.data(), packet.size()));
    return packet;
}

QByteArray ethernet(const QByteArray& ip, const QByteArray& tags = {})
{
    QByteArray frame = QByteArray(12, '\x11') + tags + QByteArray("\x08\x00", 2) + ip;
    // Ethernet pads every frame to 60 bytes before its checksum.
    if (frame.size() < 60)
        frame += QByteArray(60 - frame.size(), '\0');
    return frame;
}

// The first 20 bytes (the IPv4 header) of each raw-IP packet of a capture file.
QList<QByteArray> ipHeadersOf(const QString& path)
{
    QList<QByteArray> headers;
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(QFile::encodeName(path).constData(), message);
    if (!in)
        return headers;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(in, &header, &data) == 1 && header->caplen >= 20)
        headers << QByteArray(reinterpret_cast<const char*>(data), 20);
    pcap_close(in);
    return headers;
}

std::optional<CapturedDatagram> parse(int linkType, const QByteArray& packet)
{
    return datagramFromPacket(linkType, reinterpret_cast<const uchar*>(packet.constData()), packet.size());
}
} // namespace

class TestCapture : public QObject {
    Q_OBJECT

private slots:
    void logBecomesACaptureOfItsDatagrams_data();
    void logBecomesACaptureOfItsDatagrams();
    void liveCaptureCanBeReadWhileWritten();
    void liveCaptureThatCannotGrowSaysSoOnce();
    void linkTypesOfARecording_data();
    void linkTypesOfARecording();
    void unreadableCapturesSayWhy();
};

void TestCapture::logBecomesACaptureOfItsDatagrams_data()
{
    QTest::addColumn<bool>("fleet");
    QTest::addRow("single unit on all addresses") << false;
    QTest::addRow("fleet unit on its own address") << true;
}

void TestCapture::logBecomesACaptureOfItsDatagrams()
{
    QFETCH(bool, fleet);
    TrafficLogModel log;
    if (fleet)
        log.setUnitAddresses({u"127.0.1.1"_s, u"127.0.1.2"_s});
    UnitFrame reply{};
    reply[0] = 254;
    reply[1] = 50;
    reply[28] = 255;
    const QByteArray request = unitFrame(50);
    const QByteArray cut = QByteArray(reinterpret_cast<const char*>(reply.data()), 10);
    log.appendFrom(1, TrafficLogEntry::unitIncoming(kLoopback, 50000, 4003, request, 3));
    log.appendFrom(1, TrafficLogEntry::unitOutgoing(kLoopback, 50000, reply, 3, 4003));
    log.appendFrom(1,
                   TrafficLogEntry::fault(TrafficLogEntry::Kind::UnitFault, kLoopback, 50000, 3, u"cut"_s));
    log.appendFrom(1, TrafficLogEntry::unitOutgoing(kLoopback, 50000, QByteArrayView(cut), 3, 4003));
    log.appendFrom(1, TrafficLogEntry::discoveryIncoming(kLoopback, 50001, 65535, "X", 3));
    log.appendFrom(1, TrafficLogEntry::discoveryOutgoing(kLoopback, 50001, 3, "changed"));
    log.appendFrom(1, TrafficLogEntry::discoveryOutgoing(kLoopback, 50001, 3));
    // A reply that did not leave was never on the wire.
    log.appendFrom(1, TrafficLogEntry::unitOutgoing(kLoopback, 50000, reply, 3, 4003)
                          .notSentBecause(u"No route to host"_s));

    QString error;
    const QByteArray bytes = TrafficCapture::ofLog(log, &error);
    QVERIFY2(!bytes.isEmpty(), qPrintable(error));
    QTemporaryDir dir;
    QFile file(dir.filePath(u"log.pcap"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    const std::optional<CaptureContents> capture = readCapture(file.fileName(), &error);
    QVERIFY2(capture, qPrintable(error));
    const QList<CapturedDatagram>& d = capture->datagrams;
    QCOMPARE(d.size(), 6); // the fault line is not a datagram
    QCOMPARE(capture->skipped, 0);
    // The simulator's side: the fleet unit's own address, or where loopback peers reach it.
    const quint32 unit = fleet ? 0x7F000102 : kLoopback;
    QCOMPARE(d[0].source, kLoopback);
    QCOMPARE(d[0].sourcePort, 50000);
    QCOMPARE(d[0].destination, unit);
    QCOMPARE(d[0].destinationPort, 4003);
    QCOMPARE(d[0].payload, request);
    QCOMPARE(d[1].source, unit);
    QCOMPARE(d[1].sourcePort, 4003);
    QCOMPARE(d[1].destinationPort, 50000);
    QCOMPARE(d[1].payload.size(), 29);
    QCOMPARE(d[2].payload, cut);
    QCOMPARE(d[3].destinationPort, kDiscoveryPort);
    QCOMPARE(d[4].sourcePort, kDiscoveryPort);
    QCOMPARE(d[4].payload, QByteArray("changed"));
    QCOMPARE(d[5].payload, QByteArray(identityForProfile(3).data(), 50));
    for (qsizetype i = 0; i < d.size(); ++i) {
        QVERIFY(d[i].complete);
        QCOMPARE(d[i].frame, int(i + 1));
    }
    // Times to the microsecond, as logged.
    QCOMPARE(d[0].timeUs, log.entryWithSeq(0).timeUs);
    QCOMPARE(d[5].timeUs, log.entryWithSeq(6).timeUs);

    // Every packet's IPv4 header, as a dissector checks it: the checksum over all ten words of
    // the header, and replies with the hop limit they leave with (requests keep a host's 64).
    const QList<QByteArray> headers = ipHeadersOf(file.fileName());
    QCOMPARE(headers.size(), 6);
    for (qsizetype i = 0; i < headers.size(); ++i) {
        const QByteArray& header = headers[i];
        quint32 sum = 0;
        for (int word = 0; word < 20; word += 2)
            sum += quint32(quint8(header[word])) << 8 | quint8(header[word + 1]);
        while (sum > 0xffff)
            sum = (sum & 0xffff) + (sum >> 16);
        QVERIFY2(sum == 0xffff,
                 qPrintable(u"packet %1: header checksum off by %2"_s.arg(i + 1).arg(0xffff - sum)));
        const bool fromUnit = d[i].sourcePort == 4003 || d[i].sourcePort == kDiscoveryPort;
        QCOMPARE(int(quint8(header[8])), fromUnit ? DatagramEndpoint::kHopLimit : 64);
    }
}

void TestCapture::liveCaptureCanBeReadWhileWritten()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"live.pcap"_s);
    QString error;
    {
        TrafficCapture capture;
        QVERIFY2(capture.open(path, &error), qPrintable(error));
        // Whole from the start: an empty capture is a valid file.
        QVERIFY2(readCapture(path, &error), qPrintable(error));
        for (int i = 0; i < 3; ++i)
            capture.append(TrafficLogEntry::discoveryIncoming(kLoopback, quint16(50000 + i), 65535, "X", 0));
        // Handed to the system once the burst is over, while the capture stays open.
        QTest::qWait(10);
        const std::optional<CaptureContents> sofar = readCapture(path, &error);
        QVERIFY2(sofar, qPrintable(error));
        QCOMPARE(sofar->datagrams.size(), 3);
        capture.append(TrafficLogEntry::discoveryIncoming(kLoopback, 50009, 65535, "X", 0));
    }
    const std::optional<CaptureContents> whole = readCapture(path, &error);
    QVERIFY2(whole, qPrintable(error));
    QCOMPARE(whole->datagrams.size(), 4);
    QCOMPARE(whole->datagrams.last().sourcePort, 50009);

    TrafficCapture elsewhere;
    QVERIFY(!elsewhere.open(dir.filePath(u"missing/live.pcap"_s), &error));
    QVERIFY(!error.isEmpty());
    // A device, and a FIFO nobody reads (which would hold the run at open and at every write):
    // refused at once, with the reason, not later in silence.
    const QString fifo = dir.filePath(u"fifo"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& refused : {u"/dev/full"_s, fifo}) {
        if (!QFile::exists(refused))
            continue;
        QVERIFY(!elsewhere.open(refused, &error));
        QVERIFY2(error.startsWith(u"it is not a regular file"_s), qPrintable(error));
    }
}

void TestCapture::liveCaptureThatCannotGrowSaysSoOnce()
{
    // Files of this process may grow to 4 KiB only: writing past it fails (EFBIG) as a full disk would.
    QTemporaryDir dir;
    TrafficCapture capture;
    QSignalSpy failed(&capture, &TrafficCapture::writeFailed);
    QString error;
    QVERIFY2(capture.open(dir.filePath(u"small.pcap"_s), &error), qPrintable(error));
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 100; ++i)
            capture.append(TrafficLogEntry::discoveryOutgoing(kLoopback, 50000, 0));
        QTest::qWait(10);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(failed.size(), 1); // said once, then capturing stops
    QVERIFY2(failed[0][0].toString().contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
             qPrintable(failed[0][0].toString()));
}

void TestCapture::linkTypesOfARecording_data()
{
    QTest::addColumn<int>("linkType");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("payload"); // empty: not a datagram

    const QByteArray frame = unitFrame(51);
    const QByteArray ip = ipPacket(frame);
    QTest::addRow("raw IP") << int(DLT_RAW) << ip << frame;
    QTest::addRow("Ethernet") << int(DLT_EN10MB) << ethernet(ip) << frame;
    QTest::addRow("Ethernet, padding after a short datagram")
        << int(DLT_EN10MB) << ethernet(ipPacket("X", 50000, 65535)) << QByteArray("X");
    QTest::addRow("Ethernet with two VLAN tags")
        << int(DLT_EN10MB) << ethernet(ip, QByteArray("\x88\xa8\x00\x07\x81\x00\x00\x09", 8)) << frame;
    QTest::addRow("Linux cooked") << int(DLT_LINUX_SLL)
                                  << QByteArray(14, '\0') + QByteArray("\x08\x00", 2) + ip << frame;
    QTest::addRow("Linux cooked v2") << int(DLT_LINUX_SLL2)
                                     << QByteArray("\x08\x00", 2) + QByteArray(18, '\0') + ip << frame;
    QTest::addRow("BSD loopback") << int(DLT_NULL) << QByteArray("\x02\x00\x00\x00", 4) + ip << frame;
    QTest::addRow("OpenBSD loopback") << int(DLT_LOOP) << QByteArray("\x00\x00\x00\x02", 4) + ip << frame;

    QByteArray fragment = ip;
    fragment[6] = 0x20; // more fragments follow
    QTest::addRow("a fragment") << int(DLT_RAW) << fragment << QByteArray();
    QByteArray tcp = ip;
    tcp[9] = 6;
    QTest::addRow("TCP") << int(DLT_RAW) << tcp << QByteArray();
    QTest::addRow("IPv6 on Ethernet")
        << int(DLT_EN10MB) << QByteArray(12, '\x11') + QByteArray("\x86\xdd", 2) + ip << QByteArray();
    QTest::addRow("cut inside the UDP header") << int(DLT_RAW) << ip.left(24) << QByteArray();
    QByteArray tooLong = ip;
    tooLong[25] = char(0xFF); // UDP length beyond the IP packet
    QTest::addRow("UDP length beyond the packet") << int(DLT_RAW) << tooLong << QByteArray();
    QTest::addRow("empty") << int(DLT_EN10MB) << QByteArray() << QByteArray();
}

void TestCapture::linkTypesOfARecording()
{
    QFETCH(int, linkType);
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, payload);
    const std::optional<CapturedDatagram> datagram = parse(linkType, packet);
    if (payload.isEmpty()) {
        QVERIFY(!datagram);
        return;
    }
    QVERIFY(datagram);
    QCOMPARE(datagram->payload, payload);
    QCOMPARE(datagram->source, kController);
    QCOMPARE(datagram->destination, kLoopback);
    QCOMPARE(datagram->sourcePort, 50000);
    QVERIFY(datagram->complete);

    // The same packet cut by the recorder's snapshot length: what was kept, marked incomplete.
    const qsizetype kept = packet.size() - 2;
    if (payload.size() > 2) {
        const std::optional<CapturedDatagram> cut =
            datagramFromPacket(linkType, reinterpret_cast<const uchar*>(packet.constData()), kept);
        QVERIFY(cut);
        QVERIFY(!cut->complete);
        QVERIFY(payload.startsWith(cut->payload));
    }
}

void TestCapture::unreadableCapturesSayWhy()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!readCapture(dir.filePath(u"none.pcap"_s), &error));
    QVERIFY(!error.isEmpty());

    // A capture cut in the middle of a packet.
    TrafficLogModel log;
    log.append(TrafficLogEntry::discoveryIncoming(kLoopback, 50000, 65535, "X", 0));
    log.append(TrafficLogEntry::discoveryOutgoing(kLoopback, 50000, 0));
    const QByteArray whole = TrafficCapture::ofLog(log, &error);
    QFile cut(dir.filePath(u"cut.pcap"_s));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(whole.left(whole.size() - 20));
    cut.close();
    error.clear();
    QVERIFY(!readCapture(cut.fileName(), &error));
    QVERIFY2(error.contains(u"truncated"_s), qPrintable(error));

    // A link type that carries no IPv4 (USB).
    pcap_t* dead = pcap_open_dead(DLT_USB_LINUX, 65535);
    const QByteArray usbPath = QFile::encodeName(dir.filePath(u"usb.pcap"_s));
    pcap_dumper_t* dumper = pcap_dump_open(dead, usbPath.constData());
    QVERIFY(dumper);
    pcap_dump_close(dumper);
    pcap_close(dead);
    QVERIFY(!readCapture(dir.filePath(u"usb.pcap"_s), &error));
    QVERIFY2(error.contains(u"link type"_s), qPrintable(error));

    QFile junk(dir.filePath(u"junk.pcap"_s));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("not a capture at all");
    junk.close();
    QVERIFY(!readCapture(junk.fileName(), &error));
}

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
