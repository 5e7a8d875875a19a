// Dense fleets as a user runs them: chosen by size, within a handful of open files, and alone on
// their ports. Uses the fixed ports on all addresses (4000 and 65535) and 127.3.x.x, 127.4.x.x.
#include "programs.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

class TestDenseFleet : public QObject {
    Q_OBJECT

private slots:
    void aLargeFleetIsDenseWithinAFewOpenFiles();
    void aSecondDenseFleetIsRefusedNamingTheFirst();
};

void TestDenseFleet::aLargeFleetIsDenseWithinAFewOpenFiles()
{
    // One unit past the size from which fleets are dense: with sockets of their own its units
    // would need 20,066 open files; 100 are allowed.
    QProcess fleet;
    fleet.start(u"sh"_s, {u"-c"_s,
                          u"ulimit -n 100 && ulimit -Hn 100 && exec \"$0\" --headless --quiet --units "
                          "10001@127.3.0.1"_s,
                          simulatorPath()});
    QVERIFY(fleet.waitForStarted(5000));
    QString err;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     err += QString::fromUtf8(fleet.readAllStandardError());
                     return err.contains(u"units listening"_s) || fleet.state() == QProcess::NotRunning;
                 },
                 10000),
             qPrintable(err));
    QVERIFY2(err.contains(u"10001 of 10001 units listening, from 127.3.0.1 to 127.3.39.17"_s),
             qPrintable(err));
    // The last unit answers from its own address: a connected client hears it.
    QUdpSocket client;
    client.connectToHost(QHostAddress(u"127.3.39.17"_s), 4000);
    QVERIFY(client.waitForConnected(1000));
    client.write(QByteArray(1, '\0') + QByteArray(1, char(50)) + QByteArray(27, '\0'));
    QVERIFY(client.waitForReadyRead(3000));
    QCOMPARE(client.receiveDatagram().data().size(), 29);
    fleet.terminate();
    QVERIFY(fleet.waitForFinished(5000));
}

void TestDenseFleet::aSecondDenseFleetIsRefusedNamingTheFirst()
{
    HeadlessSimulator first;
    const QString problem = first.start({u"--quiet"_s, u"--dense"_s, u"--units"_s, u"2@127.3.0.1"_s});
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // Other addresses, the same ports: refused, and told which process holds them.
    const ProcessResult second = runProcess(
        simulatorPath(), {u"--headless"_s, u"--quiet"_s, u"--dense"_s, u"--units"_s, u"2@127.4.0.1"_s});
    QCOMPARE(second.exitCode, 1);
    const QString holder = u"(process %1 (unit-simulator))"_s.arg(first.process().processId());
    QVERIFY2(second.err.contains(u"Fleet discovery port 65535 on all addresses: not listening"_s),
             qPrintable(second.err));
    QVERIFY2(second.err.contains(holder), qPrintable(second.err));
    QVERIFY2(second.err.contains(u"run them in network namespaces or containers of their own"_s),
             qPrintable(second.err));
    QVERIFY2(second.err.contains(u"Stopping: 2 of 2 units cannot listen"_s), qPrintable(second.err));
}

QTEST_GUILESS_MAIN(TestDenseFleet)
#include "tst_densefleet.moc"
