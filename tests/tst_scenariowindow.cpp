// Scenarios in the window: opened, shown in the status bar and the Units dialog, steered from the
// Scenario menu, saved, and the saved file played by the headless program. Uses the product's
// fixed ports (4000-4007 and 65535) on 127.0.9.x: fails with a clear message when another program
// holds them.
#include "loopbackclient.h"
#include "programs.h"
#include "record/unitprofiles.h"
#include "scenario/scenariofile.h"
#include "ui/controllersdialog.h"
#include "ui/mainmenubar.h"
#include "ui/peertablemodel.h"
#include "ui/resultsdialog.h"
#include "ui/unitsdialog.h"
#include "ui/window1.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QLabel>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kAnswerMs = 2000;
constexpr int kQuietMs = 150;
// Long enough for the Units dialog's refresh and the status bar's clock to come round.
constexpr int kRefreshBoundMs = 5000;
// An hour of scenario at 1000 times: 3.6 s, bounded for a busy machine.
constexpr int kScenarioEndMs = 20000;

const QByteArray kRoom = R"(version: 1
name: room
seed: 21
units:
  - {address: 127.0.9.1, profile: 0}
  - {count: 2, first: 127.0.9.2, profile: 2,
     channels: [5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5]}
faults: ["duplicate,on=status-query,units=2"]
timeline:
  - {at: 0s, units: 1, offline: {}}
  - {at: 1h, units: 0, reboot: {}}
)"_ba;

QHostAddress unitAddress(int k)
{
    return QHostAddress(quint32((127u << 24) | (9u << 8) | quint32(k + 1)));
}

struct Request {
    int unit;
    quint16 port;
    QByteArray payload;
};

// Every reply to each request, in order, from a socket of its own.
QList<QByteArray> replies(const QList<Request>& requests)
{
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    QList<QByteArray> all;
    for (const Request& request : requests) {
        socket.writeDatagram(request.payload, unitAddress(request.unit), request.port);
        while (QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, kQuietMs))
            all << socket.receiveDatagram().data();
    }
    return all;
}
} // namespace

class TestScenarioWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openedScenarioRunsItsUnitsAndSaysWhereItIs();
    void unitsDialogListsTheUnitsLiveAndPicksTheSelectorsUnit();
    void controllersDialogShowsWhoSentWhatLive();
    void resultsDialogJudgesLiveAndLeadsToTheLogLine();
    void refusedScenarioLeavesTheWindowAsItWas();
    void scenarioMenuStartsStopsAndRestarts();
    void savedStateGivesTheSameBytesInAnotherProcess();
    void verdictShowsWhenTheScenarioEnds();
    void saveScenarioSuggestsItsName();

private:
    void openRoom(const QByteArray& more = {});
    MainMenuBar* menuBar() const { return qobject_cast<MainMenuBar*>(m_window->menuBar()); }
    QLabel* scenarioState() const { return m_window->findChild<QLabel*>(u"ScenarioState"_s); }
    QComboBox* selector() const { return m_window->findChild<QComboBox*>(u"PopupMenu1"_s); }

    QTemporaryDir m_dir;
    std::unique_ptr<Window1> m_window;
};

void TestScenarioWindow::init()
{
    m_window = std::make_unique<Window1>(7);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestScenarioWindow::cleanup()
{
    m_window.reset();
}

void TestScenarioWindow::openRoom(const QByteArray& more)
{
    QFile file(m_dir.filePath(u"room.yaml"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kRoom + more);
    file.close();
    QString error;
    QVERIFY2(m_window->openScenario(file.fileName(), &error), qPrintable(error));
    const QList<UnitSimulator*>& units = m_window->session().units();
    QCOMPARE(units.size(), 3);
    for (const UnitSimulator* unit : units)
        QVERIFY2(unit->unitEndpoint().isBound(),
                 qPrintable(u"the fixed ports are needed by this test: "_s + unit->unitEndpointState()));
}

void TestScenarioWindow::openedScenarioRunsItsUnitsAndSaysWhereItIs()
{
    openRoom();
    LoopbackClient controller;
    // Unit 2 answers on the port of its profile, with the scenario's values and its rule's two
    // replies; unit 1 is offline from 0 on.
    const QByteArray values = controller.requestTo(unitAddress(2), 4002, unitFrame(50), kAnswerMs);
    QCOMPARE(values.mid(2, 24), QByteArray(24, 5));
    QVERIFY(!controller.requestTo(unitAddress(2), 4002, unitFrame(51), kAnswerMs).isEmpty());
    QVERIFY(!controller.receive(kAnswerMs).isEmpty());
    controller.sendTo(unitAddress(1), 4002, unitFrame(50));
    QVERIFY(controller.staysQuiet(kQuietMs));

    QVERIFY(scenarioState()->isVisible());
    QVERIFY2(scenarioState()->toolTip().startsWith(u"Scenario room: "_s) &&
                 scenarioState()->toolTip().endsWith(u"; next: reboot 127.0.9.1 for 2 s at 3600 s"_s),
             qPrintable(scenarioState()->toolTip()));
    // The log shows every unit's lines with its address, the events without one.
    const TrafficLogModel* log =
        qobject_cast<const TrafficLogModel*>(m_window->findChild<QAbstractItemView*>(u"Listbox1"_s)->model());
    QVERIFY(QTest::qWaitFor([&] { return log->rowCount() >= 6; }, kRefreshBoundMs));
    QStringList lines;
    for (int row = log->rowCount() - 1; row >= 0; --row)
        lines << log->lineAt(row);
    QVERIFY2(lines.contains(u"*** scenario: offline 127.0.9.2 until stopped"_s),
             qPrintable(lines.join(u'\n')));
    QVERIFY2(lines.last().startsWith(u"127.0.9.2 --> 127.0.0.1:4002 - "_s) &&
                 lines.last().endsWith(u" (offline)"_s),
             qPrintable(lines.last()));
}

void TestScenarioWindow::controllersDialogShowsWhoSentWhatLive()
{
    openRoom();
    menuBar()->ViewControllers->trigger();
    auto* dialog = m_window->findChild<ControllersDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QAbstractItemModel* table = dialog->table()->model();
    const auto cell = [&](int row, int column, int role = Qt::DisplayRole) {
        return table->index(row, column).data(role).toString();
    };
    const int before = table->rowCount(); // what opening the room sent, if anything

    // One controller: a query to unit 0 and unit 2, a frame cut short to unit 1 (offline: still
    // counted, as it still reached the unit).
    LoopbackClient controller;
    QVERIFY(!controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs).isEmpty());
    QVERIFY(!controller.requestTo(unitAddress(2), 4002, unitFrame(51), kAnswerMs).isEmpty());
    controller.sendTo(unitAddress(1), 4002, unitFrame(50, {}, 5));
    const QString name = u"127.0.0.1:"_s + QString::number(controller.port());
    const auto row = [&] {
        for (int r = 0; r < table->rowCount(); ++r) {
            if (cell(r, PeerTableModel::Peer) == name)
                return r;
        }
        return -1;
    };
    QVERIFY2(QTest::qWaitFor([&] { return row() >= 0 && cell(row(), PeerTableModel::Units) == u"0-2"_s; },
                             kRefreshBoundMs),
             qPrintable(row() < 0 ? u"no row"_s : cell(row(), PeerTableModel::Units)));
    QCOMPARE(table->rowCount(), before + 1);
    const int r = row();
    QCOMPARE(cell(r, PeerTableModel::ChannelQueries), u"1"_s);
    QCOMPARE(cell(r, PeerTableModel::StatusQueries), u"1"_s);
    QCOMPARE(cell(r, PeerTableModel::SetChannels), u"0"_s);
    QCOMPARE(cell(r, PeerTableModel::Malformed), u"1"_s);
    QVERIFY(cell(r, PeerTableModel::Malformed, Qt::ToolTipRole).startsWith(u"1 not 29 bytes long, 0 "_s));
    QCOMPARE(cell(r, PeerTableModel::BusiestSecond), u"3"_s);
    QCOMPARE(table->headerData(PeerTableModel::BusiestSecond, Qt::Horizontal).toString(),
             u"Busiest second"_s);
}

void TestScenarioWindow::resultsDialogJudgesLiveAndLeadsToTheLogLine()
{
    openRoom("expect:\n  - {name: well-formed, no_malformed: {}}\n  - {name: polled, poll_coverage: {every: "
             "1h}}\n");
    QVERIFY(menuBar()->ScenarioResults->isEnabled());
    menuBar()->ScenarioResults->trigger();
    auto* dialog = m_window->findChild<ResultsDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QTreeWidget* tree = dialog->tree();
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(1)->text(ResultsDialog::Name), u"polled"_s);
    for (int k = 0; k < 2; ++k)
        QCOMPARE(tree->topLevelItem(k)->text(ResultsDialog::State), u"pending"_s);

    LoopbackClient controller;
    controller.sendTo(unitAddress(0), 4000, unitFrame(50, {}, 5));
    QTreeWidgetItem* wellFormed = tree->topLevelItem(0);
    QVERIFY(QTest::qWaitFor([&] { return wellFormed->text(ResultsDialog::State) == u"failed"_s; },
                            kRefreshBoundMs));
    QCOMPARE(tree->topLevelItem(1)->text(ResultsDialog::State), u"pending"_s);
    QVERIFY2(dialog->summary()->text().contains(u"2 expectations: 0 passed, 1 failed, 1 pending"_s),
             qPrintable(dialog->summary()->text()));
    QCOMPARE(wellFormed->childCount(), 1);
    QTreeWidgetItem* failure = wellFormed->child(0);
    const QString peer = u"127.0.0.1:"_s + QString::number(controller.port());
    QVERIFY2(failure->text(ResultsDialog::Details)
                 .contains(peer + u" sent 127.0.9.1 a frame of 5 bytes, not 29"_s),
             qPrintable(failure->text(ResultsDialog::Details)));

    // Double-clicked, the failure's line is the one selected in the window's log.
    emit tree->itemDoubleClicked(failure, ResultsDialog::Name);
    auto* view = m_window->findChild<QAbstractItemView*>(u"Listbox1"_s);
    const auto* log = qobject_cast<const TrafficLogModel*>(view->model());
    QVERIFY(view->currentIndex().isValid());
    QCOMPARE(log->seqAt(view->currentIndex().row()),
             failure->data(ResultsDialog::Name, ResultsDialog::kSeqRole).toULongLong());
    QVERIFY2(log->lineAt(view->currentIndex().row()).startsWith(u"127.0.9.1 "_s),
             qPrintable(log->lineAt(view->currentIndex().row())));
}

void TestScenarioWindow::unitsDialogListsTheUnitsLiveAndPicksTheSelectorsUnit()
{
    openRoom();
    menuBar()->ViewUnits->trigger();
    auto* dialog = m_window->findChild<UnitsDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QAbstractItemModel* table = dialog->table()->model();
    QCOMPARE(table->rowCount(), 3);
    const auto cell = [&](int row, int column) { return table->index(row, column).data().toString(); };
    QCOMPARE(cell(0, 0), u"127.0.9.1"_s);
    QCOMPARE(cell(1, 2), u"offline"_s);
    QCOMPARE(cell(0, 2), u"answering"_s);
    QVERIFY(cell(2, 1).startsWith(u"2  "_s));
    QCOMPARE(cell(2, 3), QStringList(24, u"5"_s).join(u' '));
    QCOMPARE(dialog->table()->currentIndex().row(), 0);

    // Live: a request shows in the count without anything being done to the dialog.
    LoopbackClient controller;
    QVERIFY(!controller.requestTo(unitAddress(2), 4002, unitFrame(50), kAnswerMs).isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return cell(2, 4) == u"1"_s; }, kRefreshBoundMs));

    // The selector shows and changes the selected unit's profile.
    QCOMPARE(selector()->currentIndex(), 0);
    dialog->table()->selectRow(2);
    QCOMPARE(m_window->selectedUnit(), 2);
    QCOMPARE(selector()->currentIndex(), 2);
    selector()->setCurrentIndex(7);
    QCOMPARE(m_window->session().units()[2]->profileIndex(), 7);
    QCOMPARE(m_window->session().units()[1]->profileIndex(), 2);
    QVERIFY(!controller.requestTo(unitAddress(2), 4007, unitFrame(50), kAnswerMs).isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return cell(2, 1).startsWith(u"7  "_s); }, kRefreshBoundMs));
}

void TestScenarioWindow::refusedScenarioLeavesTheWindowAsItWas()
{
    LoopbackClient controller;
    QCOMPARE(controller.request(kDiscoveryPort, "X").size(), 50);
    QFile file(m_dir.filePath(u"bad.yaml"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("version: 1\nunits:\n  - {count: 2, first: 127.0.9.1}\n  - {address: 127.0.9.2}\n");
    file.close();
    QString error;
    QVERIFY(!m_window->openScenario(file.fileName(), &error));
    QCOMPARE(error, file.fileName() + u":4:5: units[1]: overlaps units[0]: 127.0.9.2 is in both"_s);
    QVERIFY(!m_window->session().isFleet());
    QVERIFY(!m_window->session().player());
    QVERIFY(!scenarioState()->isVisible());
    QCOMPARE(controller.request(kDiscoveryPort, "X").size(), 50); // the unit answers as before
}

void TestScenarioWindow::scenarioMenuStartsStopsAndRestarts()
{
    openRoom();
    MainMenuBar* bar = menuBar();
    QVERIFY(!bar->ScenarioStart->isEnabled());
    QVERIFY(bar->ScenarioStop->isEnabled());
    bar->ScenarioStop->trigger();
    QVERIFY(scenarioState()->toolTip().contains(u" (stopped)"_s));
    QVERIFY(bar->ScenarioStart->isEnabled() && !bar->ScenarioStop->isEnabled());
    bar->ScenarioStart->trigger();
    QVERIFY(!scenarioState()->toolTip().contains(u" (stopped)"_s));

    // Back to the start: values the controller set are gone, rules the menu added too.
    LoopbackClient controller;
    controller.sendTo(unitAddress(0), 4000, unitFrame(0, repeated(99, 24)));
    QVERIFY(
        controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs).contains(QByteArray(24, 99)));
    m_window->session().units().first()->faults().add(*FaultRule::parse(u"drop"_s, nullptr));
    bar->ScenarioRestart->trigger();
    QVERIFY(
        !controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs).contains(QByteArray(24, 99)));
    QCOMPARE(m_window->session().units().first()->faults().rules().size(), 1);
}

void TestScenarioWindow::savedStateGivesTheSameBytesInAnotherProcess()
{
    openRoom();
    // State changed by hand, without a datagram (no draw is made before saving).
    m_window->selectUnit(0);
    selector()->setCurrentIndex(1);
    m_window->session().units()[0]->setChannels(ChannelValues24{1, 2, 3});
    const QString saved = m_dir.filePath(u"saved.yaml"_s);
    QString error;
    QVERIFY2(m_window->saveScenarioTo(saved, &error), qPrintable(error));
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("seed: 21") &&
                 text.contains("address: 127.0.9.1, profile: 1, channels: [1, 2, 3, 0"),
             text.constData());

    // Unit 0 on the port of its new profile, unit 2 on its own.
    QList<Request> requests;
    for (int n = 0; n < 6; ++n) {
        requests.append({0, 4001, unitFrame(n % 2 ? 51 : 50)});
        requests.append({2, 4002, unitFrame(n % 2 ? 51 : 50)});
    }
    QList<QList<QByteArray>> runs;
    runs << replies(requests);
    m_window.reset(); // its ports are the other process's now

    QProcess headless;
    headless.start(simulatorPath(), {u"--headless"_s, u"--scenario"_s, saved, u"--quiet"_s});
    QVERIFY(headless.waitForStarted(kAnswerMs));
    QByteArray err;
    QVERIFY(
        QTest::qWaitFor([&] { return (err += headless.readAllStandardError()).contains("units listening"); },
                        kRefreshBoundMs));
    QVERIFY2(err.contains("3 of 3 units listening"), err.constData());
    runs << replies(requests);
    headless.terminate();
    QVERIFY(headless.waitForFinished(kAnswerMs));
    QCOMPARE(runs[0].size(), 15); // unit 2's three status queries answered twice
    QCOMPARE(runs[1], runs[0]);
}

void TestScenarioWindow::verdictShowsWhenTheScenarioEnds()
{
    openRoom("time_scale: 1000\nend: 1h\nexpect:\n  - {name: well-formed, no_malformed: {}}\n"
             "  - {name: calm discovery, discovery_interval: {at_least: 1s}}\n");
    auto* verdict = m_window->findChild<QLabel*>(u"VerdictState"_s);
    QVERIFY(verdict && !verdict->isVisible());
    LoopbackClient controller;
    QCOMPARE(controller.requestTo(unitAddress(0), 4000, unitFrame(50), kAnswerMs).size(), 29);
    // At the end: nothing failed, and no peer sent discovery twice.
    QVERIFY(QTest::qWaitFor([&] { return verdict->isVisible(); }, kScenarioEndMs));
    QCOMPARE(verdict->text(), u"Verdict: 1 not exercised"_s);
    QVERIFY2(
        verdict->toolTip().startsWith(u"2 expectations: 1 passed, 0 failed, 1 not exercised\nNOT EXERCISED "
                                      u"calm discovery"_s),
        qPrintable(verdict->toolTip()));
    QVERIFY2(scenarioState()->text().endsWith(u", ended"_s), qPrintable(scenarioState()->text()));
    // A click on it opens the results, the evidence.
    QTest::mouseClick(verdict, Qt::LeftButton);
    auto* results = m_window->findChild<ResultsDialog*>();
    QVERIFY(results && results->isVisible());
    QCOMPARE(results->tree()->topLevelItem(1)->text(ResultsDialog::State), u"not exercised"_s);
    // Played again from 0: no verdict until it ends again.
    menuBar()->ScenarioRestart->trigger();
    QVERIFY(QTest::qWaitFor([&] { return !verdict->isVisible(); }, kRefreshBoundMs));
}

void TestScenarioWindow::saveScenarioSuggestsItsName()
{
    QCOMPARE(m_window->suggestedScenarioName(), u"scenario.yaml"_s);
    openRoom();
    QCOMPARE(m_window->suggestedScenarioName(), u"room.yaml"_s);
    // A name that is no file name becomes one.
    QFile file(m_dir.filePath(u"other.yaml"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(kRoom).replace("name: room", "name: \"Room <2> / east\""));
    file.close();
    QString error;
    QVERIFY2(m_window->openScenario(file.fileName(), &error), qPrintable(error));
    QCOMPARE(m_window->suggestedScenarioName(), u"Room-2-east.yaml"_s);
    // Without a name, the file it came from.
    file.open(QIODevice::WriteOnly);
    file.write(QByteArray(kRoom).replace("name: room\n", ""));
    file.close();
    QVERIFY2(m_window->openScenario(file.fileName(), &error), qPrintable(error));
    QCOMPARE(m_window->suggestedScenarioName(), u"other.yaml"_s);
    // The dialogs start in the folder last used; until then, the working folder.
    QCOMPARE(m_window->suggestedPath(u"traffic.pcap"_s), u"traffic.pcap"_s);
}

QTEST_MAIN(TestScenarioWindow)
#include "tst_scenariowindow.moc"
