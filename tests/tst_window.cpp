// The window, offscreen, over the real unit. Uses the product's fixed ports (4000-4007 and
// 65535): fails with a clear message when another program holds one of them.
#include "app/appversion.h"
#include "httpclient.h"
#include "log/trafficlogmodel.h"
#include "loopbackclient.h"
#include "record/unitprofiles.h"
#include "recording/pcapreader.h"
#include "ui/contentarea.h"
#include "ui/faultdialog.h"
#include "ui/loglistview.h"
#include "ui/mainmenubar.h"
#include "ui/window1.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void title();
    void startUpEndState();
    void unitAndDiscoveryAnswerAtStart();
    void selectingARowMovesTheUnitPort_data();
    void selectingARowMovesTheUnitPort();
    void channelsAndLogSurviveAChangeOfProfile();
    void clearEmptiesOnlyTheLog();
    void layoutAtStart();
    void layoutFollowsResize();
    void sizeLimits();
    void tabOrderAndListSettings();
    void menus();
    void copyCopiesTheSelectedLine();
    void savesTheLogAsShownAndTheCapture();
    void fileDialogsStartInTheFolderLastUsed();
    void storedLogIsShownSavedAndClearedWhole();
    void faultsMenuAddsChecksAndRemovesRules();
    void rulesThatWearOffLeaveTheFaultsMenu();
    void faultDialogValidatesAsYouType_data();
    void faultDialogValidatesAsYouType();
    void faultDialogSeedRepeatsTheDraws();
    void faultDialogSeedRestartsTheFaultDraws();
    void controlApiSteersTheWindow();
    void heldDiscoveryPortIsReported();
    void heldUnitPortIsReportedAndLaterRowsBind();
    void quitEndsTheApplication();

private:
    void openWindow();
    template <typename T> T* control(const char* name) const
    {
        return m_window->findChild<T*>(QLatin1String(name));
    }
    QComboBox* selector() const { return control<QComboBox>("PopupMenu1"); }
    LogListView* listbox() const { return control<LogListView>("Listbox1"); }
    QPushButton* clearButton() const { return control<QPushButton>("PushButton1"); }
    QAbstractItemModel* log() const { return listbox()->model(); }
    QString lineAt(int row) const { return log()->index(row, 0).data().toString(); }
    FaultDialog* openFaultDialog();
    MainMenuBar* mainMenuBar() const { return qobject_cast<MainMenuBar*>(m_window->menuBar()); }

    std::unique_ptr<Window1> m_window;
};

void TestWindow::init()
{
    // Each test opens its own window; tests about held ports open it themselves.
    if (!QByteArray(QTest::currentTestFunction()).startsWith("held"))
        openWindow();
}

void TestWindow::openWindow()
{
    m_window = std::make_unique<Window1>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    for (const char* name : {"PopupMenu1", "Listbox1", "PushButton1", "Label1", "Label2", "UnitPortState",
                             "DiscoveryPortState", "ContentArea"})
        QVERIFY2(control<QWidget>(name), name);
    QVERIFY(mainMenuBar());
}

void TestWindow::cleanup()
{
    m_window.reset();
}

void TestWindow::title()
{
    QCOMPARE(Window1::titleFor(1, 2, 3), u"Lumivaner Unit UDP Simulator v.1.2.3"_s);
    QCOMPARE(Window1::titleFor(2, 0, 0), u"Lumivaner Unit UDP Simulator v.2.0.0"_s);
    QCOMPARE(m_window->windowTitle(), u"Lumivaner Unit UDP Simulator v."_s + versionText());
    QCOMPARE(versionText(), QStringLiteral(UNITSIM_VERSION_STRING));
}

void TestWindow::startUpEndState()
{
    QComboBox* rows = selector();
    QCOMPARE(rows->count(), kProfileCount);
    for (int row = 0; row < kProfileCount; ++row) {
        QCOMPARE(rows->itemText(row).toLatin1(), QByteArray(kUnitProfiles[std::size_t(row)].label.data()));
        QCOMPARE(rows->itemData(row).toString().toLatin1(), QByteArray(identityForProfile(row).data(), 50));
    }
    QCOMPARE(rows->currentIndex(), 0);
    QCOMPARE(control<QLabel>("Label1")->text(), u"Unit to simulate"_s);
    QCOMPARE(control<QLabel>("Label2")->text(),
             u"List of incomming (-->) and outgoing (<--) UDP datagrams (top is last)."_s);
    QCOMPARE(clearButton()->text(), u"Clear"_s);
    QCOMPARE(log()->rowCount(), 0);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(), u"Unit port 4000: listening"_s);
    QCOMPARE(control<QLabel>("DiscoveryPortState")->toolTip(), u"Discovery port 65535: listening"_s);
    QCOMPARE(control<QLabel>("UnitPortState")->text(), u"Port 4000"_s);
    QCOMPARE(control<QLabel>("DiscoveryPortState")->text(), u"Discovery 65535"_s);
    // Profile 0 on 4000 with the start values, discovery on 65535.
    LoopbackClient client;
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))),
             (QList<int>{254, 50} + repeated(125, 12) + repeated(0, 12) + QList<int>{0, 0, 255}));
    QCOMPARE(bytesOf(client.request(4000, unitFrame(51))).mid(11, 4), (QList<int>{6, 5, 3, 12}));
    QCOMPARE(client.request(kDiscoveryPort, "X"), QByteArray(identityForProfile(0).data(), 50));
}

void TestWindow::unitAndDiscoveryAnswerAtStart()
{
    LoopbackClient client;
    QCOMPARE(client.request(kDiscoveryPort, "X"), QByteArray(identityForProfile(0).data(), 50));
    QCOMPARE(bytesOf(client.request(4000, unitFrame(50))).mid(0, 4), (QList<int>{254, 50, 125, 125}));
    // Lines reach the view within a frame or so.
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 4; }, 2000));
    QCOMPARE(log()->rowCount(), 4);
    QCOMPARE(lineAt(3), u"--> 127.0.0.1:65535 - X"_s);
}

void TestWindow::selectingARowMovesTheUnitPort_data()
{
    QTest::addColumn<int>("row");
    for (int row = 0; row < kProfileCount; ++row)
        QTest::addRow("row %d", row) << row;
}

void TestWindow::selectingARowMovesTheUnitPort()
{
    QFETCH(int, row);
    selector()->setCurrentIndex(8); // start elsewhere, so every row is a change
    selector()->setCurrentIndex(row);
    const quint16 port = unitPortForProfile(row);
    QVERIFY(port != 4006 && port != 4008);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(),
             u"Unit port "_s + QString::number(port) + u": listening"_s);

    LoopbackClient client;
    const QList<int> status = bytesOf(client.request(port, unitFrame(51)));
    QCOMPARE(status.size(), 29);
    QCOMPARE(status[11], int(kUnitProfiles[std::size_t(row)].statusPosition11));
    QCOMPARE(client.request(kDiscoveryPort, "X"), QByteArray(identityForProfile(row).data(), 50));
    if (port != 4007) {
        client.send(4007, unitFrame(50));
        QVERIFY(client.staysQuiet(150));
    }
}

void TestWindow::channelsAndLogSurviveAChangeOfProfile()
{
    LoopbackClient client;
    client.send(4000, unitFrame(0, QList<int>(24, 200)));
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 1; }, 2000));
    selector()->setCurrentIndex(3);
    QCOMPARE(log()->rowCount(), 1);
    QCOMPARE(bytesOf(client.request(4003, unitFrame(50))),
             (QList<int>{254, 50} + QList<int>(24, 200) + QList<int>{0, 0, 255}));
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 3; }, 2000));
    QVERIFY(lineAt(1).startsWith(u"--> 127.0.0.1:4003 -  0 50 "_s));
}

void TestWindow::clearEmptiesOnlyTheLog()
{
    QTest::mouseClick(clearButton(), Qt::LeftButton); // on an empty log: harmless
    QCOMPARE(log()->rowCount(), 0);

    LoopbackClient client;
    selector()->setCurrentIndex(2);
    client.send(4002, unitFrame(0, QList<int>(24, 9)));
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 3; }, 2000));
    const QString title = m_window->windowTitle();

    QTest::mouseClick(clearButton(), Qt::LeftButton);
    QCOMPARE(log()->rowCount(), 0);
    QCOMPARE(selector()->currentIndex(), 2);
    QCOMPARE(m_window->windowTitle(), title);

    // The unit is untouched: same port, same channels; its next lines are the only rows.
    QCOMPARE(bytesOf(client.request(4002, unitFrame(50))),
             (QList<int>{254, 50} + QList<int>(24, 9) + QList<int>{0, 0, 255}));
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 2; }, 2000));
    QVERIFY(lineAt(1).startsWith(u"--> 127.0.0.1:4002 -  0 50 "_s));
}

void TestWindow::layoutAtStart()
{
    QCOMPARE(control<ContentArea>("ContentArea")->size(), QSize(822, 460));
    QCOMPARE(control<QLabel>("Label1")->geometry(), QRect(20, 15, 100, 20));
    QCOMPARE(selector()->geometry(), QRect(132, 14, 419, 20));
    QCOMPARE(control<QLabel>("Label2")->geometry(), QRect(20, 47, 531, 20));
    QCOMPARE(listbox()->geometry(), QRect(20, 79, 782, 329));
    QCOMPARE(clearButton()->geometry(), QRect(722, 420, 80, 20));
}

void TestWindow::layoutFollowsResize()
{
    m_window->resize(m_window->size() + QSize(100, 100));
    QVERIFY(QTest::qWaitFor([&] { return control<ContentArea>("ContentArea")->size() == QSize(922, 560); },
                            2000));
    QCOMPARE(listbox()->geometry(), QRect(20, 79, 882, 429));
    QCOMPARE(clearButton()->geometry(), QRect(822, 520, 80, 20));
    QCOMPARE(control<QLabel>("Label1")->geometry(), QRect(20, 15, 100, 20));
    QCOMPARE(selector()->geometry(), QRect(132, 14, 419, 20));
    QCOMPARE(control<QLabel>("Label2")->geometry(), QRect(20, 47, 531, 20));

    m_window->resize(m_window->size() - QSize(300, 50));
    QVERIFY(QTest::qWaitFor([&] { return control<ContentArea>("ContentArea")->size() == QSize(622, 510); },
                            2000));
    QCOMPARE(listbox()->geometry(), QRect(20, 79, 582, 379));
    QCOMPARE(clearButton()->geometry(), QRect(522, 470, 80, 20));
}

void TestWindow::sizeLimits()
{
    ContentArea* content = control<ContentArea>("ContentArea");
    QCOMPARE(content->minimumSize(), QSize(64, 64));
    QCOMPARE(content->maximumSize(), QSize(32000, 32000));
    // The window manager learns the limits from the window, not from the content area: the
    // window's own maximum is the content's plus the menu bar and status bar around it.
    const QSize chrome = m_window->size() - content->size();
    QVERIFY(chrome.height() > 0);
    QCOMPARE(m_window->maximumSize(), QSize(32000, 32000) + chrome);
    QCOMPARE(m_window->windowHandle()->maximumSize(), m_window->maximumSize());
    QVERIFY(m_window->windowHandle()->minimumSize().height() >= 64 + chrome.height());

    m_window->resize(10, 10);
    QTest::qWait(50);
    QVERIFY(content->width() >= 64);
    QVERIFY(content->height() >= 64);
    QVERIFY(!(m_window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(m_window->windowFlags() & Qt::WindowMinimizeButtonHint);
}

void TestWindow::tabOrderAndListSettings()
{
    QApplication::setActiveWindow(m_window.get());
    listbox()->setFocus();
    QVERIFY(QTest::qWaitFor([&] { return listbox()->hasFocus(); }, 2000));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(clearButton()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(selector()));
    QCOMPARE(control<QLabel>("Label1")->focusPolicy(), Qt::NoFocus);
    QCOMPARE(listbox()->font().pointSize(), 12);
    QCOMPARE(listbox()->selectionMode(), QAbstractItemView::SingleSelection);
}

namespace {
QStringList itemTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* item : menu->actions())
        texts << (item->isSeparator() ? u"-"_s : item->text());
    return texts;
}
} // namespace

void TestWindow::menus()
{
    MainMenuBar* bar = mainMenuBar();
    const QList<QAction*> top = bar->actions();
    QStringList menus;
    for (const QAction* menu : top)
        menus << menu->text();
    QCOMPARE(menus, (QStringList{u"&File"_s, u"&Edit"_s, u"&View"_s, u"F&aults"_s, u"&Scenario"_s}));

    QCOMPARE(itemTexts(bar->FileMenu),
             (QStringList{u"&Open Scenario\u2026"_s, u"Sa&ve Scenario\u2026"_s, u"-"_s, u"Save &Log\u2026"_s,
                          u"Save &Capture\u2026"_s, u"-"_s, u"&Quit"_s}));
    QCOMPARE(bar->FileQuit->shortcut(), QKeySequence(u"Ctrl+Q"_s));
    QCOMPARE(itemTexts(bar->ViewMenu), (QStringList{u"&Units\u2026"_s, u"&Controllers\u2026"_s}));
    QCOMPARE(itemTexts(bar->ScenarioMenu),
             (QStringList{u"S&tart"_s, u"St&op"_s, u"&Restart from 0"_s, u"-"_s, u"Re&sults\u2026"_s}));
    // Nothing to start, stop, restart or judge until a scenario is opened.
    for (const QAction* item : bar->ScenarioMenu->actions())
        QVERIFY(item->isSeparator() || !item->isEnabled());

    const QList<QAction*> edit = bar->EditMenu->actions();
    QStringList texts;
    for (QAction* item : edit)
        texts << (item->isSeparator() ? u"-"_s : item->text());
    QCOMPARE(texts, (QStringList{u"&Undo"_s, u"-"_s, u"Cu&t"_s, u"&Copy"_s, u"&Paste"_s, u"&Delete"_s, u"-"_s,
                                 u"Select &All"_s}));
    QCOMPARE(bar->EditCopy->shortcut(), QKeySequence(QKeySequence::Copy));
    QCOMPARE(bar->EditUndo->shortcut(), QKeySequence(QKeySequence::Undo));
    QCOMPARE(bar->EditSelectAll->shortcut(), QKeySequence(QKeySequence::SelectAll));
    QCOMPARE(bar->findChild<QAction*>(u"EditClear"_s), bar->EditClear);
    // Nothing in the log can be undone, cut, pasted or deleted.
    QVERIFY(!bar->EditUndo->isEnabled());
    QVERIFY(!bar->EditCut->isEnabled());
    QVERIFY(!bar->EditPaste->isEnabled());
    QVERIFY(!bar->EditClear->isEnabled());
}

void TestWindow::copyCopiesTheSelectedLine()
{
    QAction* copy = mainMenuBar()->EditCopy;
    QVERIFY(!copy->isEnabled()); // nothing selected yet
    LoopbackClient client;
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 2; }, 2000));
    listbox()->setCurrentIndex(log()->index(1, 0));
    QVERIFY(copy->isEnabled());
    copy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), u"--> 127.0.0.1:65535 - X"_s);
    clearButton()->click();
    QVERIFY(!copy->isEnabled());
}

FaultDialog* TestWindow::openFaultDialog()
{
    mainMenuBar()->FaultsAdd->trigger();
    auto* dialog = m_window->findChild<FaultDialog*>(u"FaultDialog"_s);
    return dialog && QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
}

void TestWindow::savesTheLogAsShownAndTheCapture()
{
    LoopbackClient client;
    const QByteArray reply = client.request(4000, unitFrame(50));
    QCOMPARE(reply.size(), 29);
    client.send(kDiscoveryPort, "X");
    QCOMPARE(client.receive().size(), 50);
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 4; }, 3000));

    QTemporaryDir dir;
    QString error;
    QVERIFY2(m_window->saveLogTo(dir.filePath(u"log.txt"_s), &error), qPrintable(error));
    QFile text(dir.filePath(u"log.txt"_s));
    QVERIFY(text.open(QIODevice::ReadOnly));
    QString shown;
    for (int row = 0; row < 4; ++row)
        shown += lineAt(row) + u'\n';
    QCOMPARE(QString::fromUtf8(text.readAll()), shown);
    QVERIFY(shown.startsWith(u"<-- 127.0.0.1:"_s)); // newest first

    QVERIFY2(m_window->saveCaptureTo(dir.filePath(u"traffic.pcap"_s), &error), qPrintable(error));
    const std::optional<CaptureContents> capture = readCapture(dir.filePath(u"traffic.pcap"_s), &error);
    QVERIFY2(capture, qPrintable(error));
    const QList<CapturedDatagram>& datagrams = capture->datagrams;
    QCOMPARE(datagrams.size(), 4);
    const quint32 loopback = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
    QCOMPARE(datagrams[0].source, loopback);
    QCOMPARE(datagrams[0].sourcePort, client.port());
    QCOMPARE(datagrams[0].destination, loopback);
    QCOMPARE(datagrams[0].destinationPort, 4000);
    QCOMPARE(datagrams[0].payload, unitFrame(50));
    QCOMPARE(datagrams[1].sourcePort, 4000);
    QCOMPARE(datagrams[1].destinationPort, client.port());
    QCOMPARE(datagrams[1].payload, reply);
    QCOMPARE(datagrams[2].payload, QByteArray("X"));
    QCOMPARE(datagrams[3].sourcePort, kDiscoveryPort);
    QCOMPARE(datagrams[3].payload, QByteArray(identityForProfile(0).data(), 50));
    QVERIFY(datagrams[0].timeUs <= datagrams[1].timeUs && datagrams[1].timeUs <= datagrams[3].timeUs);

    // A folder that is not there: refused with the reason, nothing made.
    const QString missing = dir.filePath(u"no/such/folder/log.txt"_s);
    QVERIFY(!m_window->saveLogTo(missing, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!m_window->saveCaptureTo(dir.filePath(u"no/such/folder/c.pcap"_s), &error));
    QVERIFY(!QFile::exists(missing));
}

void TestWindow::storedLogIsShownSavedAndClearedWhole()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY2(m_window->openLogStore({dir.filePath(u"store"_s), 0, {}}, &error), qPrintable(error));
    auto* state = control<QLabel>("LogStoreState");
    QVERIFY(state && state->toolTip().contains(dir.filePath(u"store"_s)));
    // Memory holds few lines, so that most rows are read back from disk.
    auto* model = qobject_cast<TrafficLogModel*>(log());
    QVERIFY(model);
    model->setMemoryLimits(10, 100);
    LoopbackClient client;
    constexpr int kQueries = 1500;
    for (int k = 0; k < kQueries; ++k)
        client.send(4000, unitFrame(50));
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 2 * kQueries; }, 10000));
    model->store()->waitUntilWritten();
    QCOMPARE(lineAt(2 * kQueries - 1).left(18), u"--> 127.0.0.1:4000"_s);

    QVERIFY2(m_window->saveLogTo(dir.filePath(u"log.txt"_s), &error), qPrintable(error));
    QFile text(dir.filePath(u"log.txt"_s));
    QVERIFY(text.open(QIODevice::ReadOnly));
    const QList<QByteArray> saved = text.readAll().split('\n');
    QCOMPARE(saved.size(), 2 * kQueries + 1); // and the last line's end
    QCOMPARE(QString::fromUtf8(saved[0]), lineAt(0));
    QCOMPARE(QString::fromUtf8(saved[2 * kQueries - 1]), lineAt(2 * kQueries - 1));
    QVERIFY2(m_window->saveCaptureTo(dir.filePath(u"traffic.pcap"_s), &error), qPrintable(error));
    const std::optional<CaptureContents> capture = readCapture(dir.filePath(u"traffic.pcap"_s), &error);
    QVERIFY2(capture, qPrintable(error));
    QCOMPARE(capture->datagrams.size(), 2 * kQueries);

    clearButton()->click();
    model->store()->waitUntilWritten();
    QCOMPARE(log()->rowCount(), 0);
    QVERIFY(QDir(dir.filePath(u"store"_s)).entryList({u"segment-*"_s}, QDir::Files).isEmpty());
}

void TestWindow::faultsMenuAddsChecksAndRemovesRules()
{
    QMenu* menu = mainMenuBar()->FaultsMenu;
    QCOMPARE(itemTexts(menu), (QStringList{u"&Add Fault\u2026"_s, u"-"_s, u"&Remove All Faults"_s}));
    QCOMPARE(control<QLabel>("FaultState")->text(), u"No fault rules active"_s);
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);

    for (const QString& rule : {u"drop,on=channel-query"_s, u"duplicate,on=discovery"_s}) {
        FaultDialog* dialog = openFaultDialog();
        QVERIFY(dialog);
        QVERIFY(dialog->isModal());
        dialog->findChild<QLineEdit*>(u"FaultRuleEdit"_s)->setText(rule);
        QTest::keyClick(dialog, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return !m_window->findChild<FaultDialog*>(); }, 2000));
    }
    QCOMPARE(itemTexts(menu), (QStringList{u"&Add Fault\u2026"_s, u"drop,on=channel-query"_s,
                                           u"duplicate,on=discovery"_s, u"-"_s, u"&Remove All Faults"_s}));
    QCOMPARE(control<QLabel>("FaultState")->text(), u"2 fault rules active"_s);
    QAction* dropItem = menu->actions()[1];
    QVERIFY(dropItem->isCheckable() && dropItem->isChecked());

    // On the wire: channel-queries are lost, discovery answers twice.
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(200));
    client.send(kDiscoveryPort, "X");
    QCOMPARE(client.receive().size(), 50);
    QCOMPARE(client.receive().size(), 50);
    QVERIFY(QTest::qWaitFor([&] { return lineAt(0).startsWith(u"<-- "_s) && log()->rowCount() == 8; }, 2000));
    QVERIFY(lineAt(4).startsWith(u"!!! fault drop,on=channel-query: request from 127.0.0.1:"_s));

    // Unchecking disables the rule: answered again, and the status bar counts one.
    dropItem->trigger();
    QVERIFY(!menu->actions()[1]->isChecked());
    QCOMPARE(control<QLabel>("FaultState")->text(), u"1 fault rule active"_s);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);

    mainMenuBar()->FaultsRemoveAll->trigger();
    QCOMPARE(itemTexts(menu), (QStringList{u"&Add Fault\u2026"_s, u"-"_s, u"&Remove All Faults"_s}));
    QCOMPARE(control<QLabel>("FaultState")->text(), u"No fault rules active"_s);
    client.send(kDiscoveryPort, "X");
    QCOMPARE(client.receive().size(), 50);
    QVERIFY(client.staysQuiet(150));
}

void TestWindow::rulesThatWearOffLeaveTheFaultsMenu()
{
    QMenu* menu = mainMenuBar()->FaultsMenu;
    for (const QString& rule : {u"drop,times=1,on=channel-query"_s, u"duplicate,for=300ms,on=discovery"_s}) {
        FaultDialog* dialog = openFaultDialog();
        dialog->findChild<QLineEdit*>(u"FaultRuleEdit"_s)->setText(rule);
        QTest::keyClick(dialog, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return !m_window->findChild<FaultDialog*>(); }, 2000));
    }
    QCOMPARE(control<QLabel>("FaultState")->text(), u"2 fault rules active"_s);
    LoopbackClient client;
    client.send(4000, unitFrame(50));
    QVERIFY(client.staysQuiet(200));                          // dropped once ...
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29); // ... and never again
    QTRY_COMPARE_WITH_TIMEOUT(itemTexts(menu),
                              (QStringList{u"&Add Fault\u2026"_s, u"duplicate,for=300ms,on=discovery"_s,
                                           u"-"_s, u"&Remove All Faults"_s}),
                              2000);
    // The other goes when its time is over, on its own.
    QTRY_COMPARE_WITH_TIMEOUT(itemTexts(menu),
                              (QStringList{u"&Add Fault\u2026"_s, u"-"_s, u"&Remove All Faults"_s}), 5000);
    QCOMPARE(control<QLabel>("FaultState")->text(), u"No fault rules active"_s);
    const auto removals = [this] {
        QStringList lines;
        for (int row = log()->rowCount() - 1; row >= 0; --row) {
            if (lineAt(row).contains(u", removed ("_s))
                lines << lineAt(row);
        }
        return lines;
    };
    // The log shows its lines a moment after they were written (a burst is one insertion).
    QTRY_COMPARE_WITH_TIMEOUT(
        removals(),
        (QStringList{
            u"!!! fault drop,times=1,on=channel-query: acted 1 time, removed (matched 1, acted 1)"_s,
            u"!!! fault duplicate,for=300ms,on=discovery: 300ms over, removed (matched 0, acted 0)"_s}),
        2000);
}

void TestWindow::faultDialogValidatesAsYouType_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("seed");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("message");
    QTest::addRow("valid") << u"corrupt=2,chance=0.5"_s << u"17"_s << true << u"The rule is valid."_s;
    QTest::addRow("no rule: only the seed") << u""_s << u"17"_s << true << u"OK only sets the seed"_s;
    QTest::addRow("bad part named") << u"drop,every=0"_s << u"17"_s << false << u"'every=0'"_s;
    QTest::addRow("bad seed") << u"drop"_s << u"-3"_s << false << u"The seed must be a whole number"_s;
    QTest::addRow("rule for units the window has not")
        << u"drop,units=2-4"_s << u"17"_s << false << u"units=2-4 names no unit: the only unit is unit 0"_s;
    QTest::addRow("burst loss") << u"loss=gilbert:0.01,0.25,on=status-query"_s << u"17"_s << true
                                << u"The rule is valid."_s;
    QTest::addRow("bad loss chance named")
        << u"loss=gilbert:1.5,0.25"_s << u"17"_s << false << u"P (good to bad) needs a probability"_s;
    QTest::addRow("duration without unit")
        << u"rate=100/s,for=10"_s << u"17"_s << false << u"for needs a duration with its unit"_s;
}

void TestWindow::faultDialogValidatesAsYouType()
{
    QFETCH(QString, rule);
    QFETCH(QString, seed);
    QFETCH(bool, accepted);
    QFETCH(QString, message);
    FaultDialog* dialog = openFaultDialog();
    QVERIFY(dialog);
    QVERIFY(dialog->findChild<QLabel*>(u"FaultRuleHelp"_s)->text().contains(u"every=N"_s));
    dialog->findChild<QLineEdit*>(u"FaultSeedEdit"_s)->setText(seed);
    dialog->findChild<QLineEdit*>(u"FaultRuleEdit"_s)->setText(rule);
    QPushButton* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    QCOMPARE(ok->isEnabled(), accepted);
    const QString shown = dialog->findChild<QLabel*>(u"FaultRuleMessage"_s)->text();
    QVERIFY2(shown.contains(message), qPrintable(shown));
    if (!accepted) {
        dialog->reject();
        return;
    }
    ok->click();
    // A rule is added after the "Add Fault…" item; without one, nothing is.
    QCOMPARE(mainMenuBar()->FaultsMenu->actions()[1]->text(), rule.isEmpty() ? QString() : rule);
}

void TestWindow::faultDialogSeedRepeatsTheDraws()
{
    // Status byte 2 is drawn for every request; under one seed the draws come again.
    auto drawsUnder = [&](const QString& seed) {
        FaultDialog* dialog = openFaultDialog();
        dialog->findChild<QLineEdit*>(u"FaultSeedEdit"_s)->setText(seed);
        dialog->accept(); // no rule: only the seed
        LoopbackClient client;
        QList<int> draws;
        for (int i = 0; i < 8; ++i)
            draws << bytesOf(client.request(4000, unitFrame(51))).value(2, -1);
        return draws;
    };
    const QList<int> first = drawsUnder(u"17"_s);
    QVERIFY(!first.contains(-1));
    QVERIFY(drawsUnder(u"18"_s) != first);
    QCOMPARE(drawsUnder(u"17"_s), first);
}

void TestWindow::faultDialogSeedRestartsTheFaultDraws()
{
    // How long a request may take to count as dropped.
    constexpr int kDroppedMs = 300;
    // A dialog closes itself and is gone only when the event loop comes round.
    const auto acceptAndWait = [](FaultDialog* dialog) {
        const QPointer<FaultDialog> open(dialog);
        dialog->accept();
        return QTest::qWaitFor([&] { return open.isNull(); }, 5000);
    };
    FaultDialog* dialog = openFaultDialog();
    dialog->findChild<QLineEdit*>(u"FaultRuleEdit"_s)->setText(u"drop,chance=0.5,on=status-query"_s);
    QVERIFY(acceptAndWait(dialog));
    QCOMPARE(m_window->session().units().first()->faults().rules().size(), 1);
    // Which of 16 status queries the rule drops, from a seed set in the dialog.
    auto dropsUnder = [&](const QString& seed) {
        FaultDialog* seedOnly = openFaultDialog();
        seedOnly->findChild<QLineEdit*>(u"FaultSeedEdit"_s)->setText(seed);
        acceptAndWait(seedOnly);
        LoopbackClient client;
        QString drops;
        for (int i = 0; i < 16; ++i)
            drops += client.request(4000, unitFrame(51), kDroppedMs).isNull() ? u'x' : u'.';
        return drops;
    };
    // Each seed is a new one for the dialog (setting the seed it has changes nothing).
    const QString first = dropsUnder(u"17"_s);
    QVERIFY2(first.contains(u'x') && first.contains(u'.'), qPrintable(first));
    QVERIFY(dropsUnder(u"18"_s) != first);
    QCOMPARE(dropsUnder(u"17"_s), first);
}

void TestWindow::controlApiSteersTheWindow()
{
    QVERIFY(m_window->startControlApi(ControlOptions{}));
    const QString state = control<QLabel>("ControlState")->toolTip();
    QVERIFY2(state.startsWith(u"Control API listening on http://127.0.0.1:"_s), qPrintable(state));
    // Port 0 asked for: the short text shows the port it got.
    QCOMPARE(control<QLabel>("ControlState")->text(), u"API :"_s + state.section(u':', -1));
    HttpClient http(state.section(u' ', -1));

    // The selector follows a profile chosen through the API, and the unit answers on the new port.
    QCOMPARE(http.put(u"/api/v1/units/0/profile"_s, R"({"profile": 7})").status, 200);
    QCOMPARE(selector()->currentIndex(), 7);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(), u"Unit port 4007: listening"_s);
    LoopbackClient client;
    QCOMPARE(client.request(4007, unitFrame(50)).size(), 29);
    // ...and the other way round: the selector's choice shows in the API.
    selector()->setCurrentIndex(2);
    QCOMPARE(http.get(u"/api/v1/units/0"_s).json()[u"unit_port"_s].toInt(), 4002);

    // Faults added through the API appear in the menu; clearing the log clears the window's.
    QCOMPARE(http.post(u"/api/v1/faults"_s, R"({"rule": "duplicate"})").status, 201);
    QCOMPARE(mainMenuBar()->FaultsMenu->actions()[1]->text(), u"duplicate"_s);
    QVERIFY(QTest::qWaitFor([&] { return log()->rowCount() == 2; }, 2000));
    QCOMPARE(http.remove(u"/api/v1/log"_s).status, 204);
    QCOMPARE(log()->rowCount(), 0);
}

void TestWindow::fileDialogsStartInTheFolderLastUsed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"saved-log.txt"_s);
    // Answers the dialog the action opens: where it starts, and the file chosen.
    QString startedIn;
    const auto answer = [&](const QString& chosen) {
        QTimer::singleShot(0, this, [&, chosen] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            startedIn = dialog->directory().absolutePath();
            dialog->selectFile(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
        });
    };
    answer(path);
    mainMenuBar()->FileSaveLog->trigger();
    QVERIFY(QFile::exists(path));
    QCOMPARE(m_window->suggestedPath(u"traffic.pcap"_s), dir.filePath(u"traffic.pcap"_s));
    // The next dialog, another kind of file, starts there.
    answer(dir.filePath(u"traffic.pcap"_s));
    mainMenuBar()->FileSaveCapture->trigger();
    QCOMPARE(startedIn, QDir(dir.path()).absolutePath());
    QVERIFY(QFile::exists(dir.filePath(u"traffic.pcap"_s)));
}

void TestWindow::heldDiscoveryPortIsReported()
{
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress::AnyIPv4, kDiscoveryPort), "port 65535 is needed by this test");
    openWindow();
    QCOMPARE(control<QLabel>("DiscoveryPortState")->toolTip(),
             u"Discovery port 65535: not listening \u2014 the port is in use by another program"_s);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(), u"Unit port 4000: listening"_s);
    LoopbackClient client;
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
}

void TestWindow::heldUnitPortIsReportedAndLaterRowsBind()
{
    auto holder = std::make_unique<QUdpSocket>();
    QVERIFY2(holder->bind(QHostAddress::AnyIPv4, 4000), "port 4000 is needed by this test");
    openWindow();
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(),
             u"Unit port 4000: not listening \u2014 the port is in use by another program"_s);
    // Short enough for the bar at any size; the whole text on a click too.
    QCOMPARE(control<QLabel>("UnitPortState")->text(), u"Port 4000 taken"_s);
    QTest::mouseClick(control<QLabel>("UnitPortState"), Qt::LeftButton);
    auto* details = m_window->findChild<QMessageBox*>(u"StatusDetails"_s);
    QVERIFY(details);
    QCOMPARE(details->text(),
             u"Unit port 4000: not listening \u2014 the port is in use by another program"_s);
    QVERIFY(!details->isModal());
    details->close();
    LoopbackClient client;
    QCOMPARE(client.request(kDiscoveryPort, "X").size(), 50);

    selector()->setCurrentIndex(1);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(), u"Unit port 4001: listening"_s);
    QCOMPARE(client.request(4001, unitFrame(50)).size(), 29);

    // Released later: the next change of profile binds it.
    holder.reset();
    selector()->setCurrentIndex(0);
    QCOMPARE(control<QLabel>("UnitPortState")->toolTip(), u"Unit port 4000: listening"_s);
    QCOMPARE(client.request(4000, unitFrame(50)).size(), 29);
}

void TestWindow::quitEndsTheApplication()
{
    QTimer::singleShot(0, mainMenuBar()->FileQuit, &QAction::trigger);
    QTimer watchdog; // a quit that does not work must fail, not hang
    bool timedOut = false;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    watchdog.start(5000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!timedOut);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
