#include "window1.h"

#include "statusitem.h"

#include "app/appversion.h"
#include "app/consoleoutput.h"
#include "capture/trafficcapture.h"
#include "contentarea.h"
#include "control/controlserver.h"
#include "controllersdialog.h"
#include "faultdialog.h"
#include "faultmenuitems.h"
#include "loglistview.h"
#include "mainmenubar.h"
#include "record/unitprofiles.h"
#include "resultsdialog.h"
#include "scenario/scenariofile.h"
#include "unitsdialog.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

namespace {
constexpr int kListFontSize = 12;
// One view update per screen frame at most, however fast lines arrive.
constexpr int kLogPublishIntervalMs = 16;
// How long a word from the log store (lines removed, storing stopped) stays in the status bar.
constexpr int kStoreNoticeMs = 15000;
// How often the status bar's scenario time moves while a scenario runs.
constexpr int kScenarioClockMs = 100;
constexpr QSize kMinimumContentSize{64, 64};
constexpr QSize kMaximumContentSize{32000, 32000};
} // namespace

Window1::Window1(QWidget* parent)
    : Window1(drawSeed(), parent)
{
}

Window1::Window1(quint64 seed, QWidget* parent)
    : QMainWindow(parent)
    , m_session(seed)
    , m_expectations(m_log, &m_session)
{
    m_menuBar = new MainMenuBar(this);
    setMenuBar(m_menuBar);

    setWindowTitle(QStringLiteral("Lumivaner Unit UDP Simulator"));
    // Title bar with close and minimise, no maximise or full screen.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    m_content = new ContentArea(kDesignSize, this);
    m_content->setObjectName(QStringLiteral("ContentArea"));
    m_content->setMinimumSize(kMinimumContentSize);
    m_content->setMaximumSize(kMaximumContentSize);
    setCentralWidget(m_content);
    createControls();
    createStatusBar();

    connect(&m_session, &ScenarioSession::endpointStateChanged, this, &Window1::showEndpointState);
    connect(&m_session, &ScenarioSession::replyNotSent, this, &printToStderr);
    m_log.setPublishInterval(kLogPublishIntervalMs);
    connect(&m_session, &ScenarioSession::trafficLogged, &m_log, &TrafficLogModel::appendFrom);
    // A profile chosen elsewhere (the control API, a scenario) shows in the selector, without
    // binding again.
    connect(&m_session, &ScenarioSession::profileChanged, this, [this](int unit, int index) {
        if (unit == m_selectedUnit && PopupMenu1->currentIndex() != index) {
            const QSignalBlocker quiet(PopupMenu1);
            PopupMenu1->setCurrentIndex(index);
        }
    });
    connect(&m_session, &ScenarioSession::unitsReplaced, this, &Window1::unitsReplaced);

    attachFaultsMenu();
    attachFileMenu();
    attachScenarioMenu();

    PopupMenu1_Open();
    Event_Open();
    resize(sizeHint());
    capWindowSize();
}

Window1::~Window1() = default;

QString Window1::titleFor(int major, int minor, int bug)
{
    return QStringLiteral("Lumivaner Unit UDP Simulator v.") + versionText(major, minor, bug);
}

void Window1::createControls()
{
    Listbox1 = new LogListView;
    Listbox1->setObjectName(QStringLiteral("Listbox1"));
    Listbox1->setModel(&m_log);
    QFont listFont = Listbox1->font();
    listFont.setPointSize(kListFontSize);
    Listbox1->setFont(listFont);
    m_content->place(Listbox1, {20, 79, 782, 329},
                     Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);

    PushButton1 = new QPushButton(tr("Clear"));
    PushButton1->setObjectName(QStringLiteral("PushButton1"));
    PushButton1->setAutoDefault(false);
    m_content->place(PushButton1, {722, 420, 80, 20}, Qt::RightEdge | Qt::BottomEdge);
    connect(PushButton1, &QPushButton::clicked, this, &Window1::PushButton1_Action);

    Label1 = new QLabel(tr("Unit to simulate"));
    Label1->setObjectName(QStringLiteral("Label1"));
    m_content->place(Label1, {20, 15, 100, 20}, Qt::LeftEdge | Qt::TopEdge);

    PopupMenu1 = new QComboBox;
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    m_content->place(PopupMenu1, {132, 14, 419, 20}, Qt::LeftEdge | Qt::TopEdge);

    Label2 = new QLabel(tr("List of incomming (-->) and outgoing (<--) UDP datagrams (top is last)."));
    Label2->setObjectName(QStringLiteral("Label2"));
    m_content->place(Label2, {20, 47, 531, 20}, Qt::LeftEdge | Qt::TopEdge);

    setTabOrder(Listbox1, PushButton1);
    setTabOrder(PushButton1, PopupMenu1);

    attachEditMenu();
}

bool Window1::openLogStore(const LogStoreOptions& options, QString* error)
{
    std::unique_ptr<LogStore> store = LogStore::open(options, error);
    if (!store)
        return false;
    LogStoreState = new StatusItem(QStringLiteral("LogStoreState"), this);
    m_logStoreAbout =
        tr("The traffic log is kept in %1 (at most %2 on disk; %3).")
            .arg(QDir::toNativeSeparators(store->directory()), LogStore::sizeText(store->diskLimit()),
                 store->keepsDirectory() ? tr("it stays after the run") : tr("removed at exit"));
    LogStoreState->setTexts(tr("Log on disk"), m_logStoreAbout);
    statusBar()->addPermanentWidget(LogStoreState);
    printToStderr(QStringLiteral("Traffic log kept in %1").arg(store->directory()));
    m_log.setStore(std::move(store));
    connect(&m_log, &TrafficLogModel::storeNotice, this, [this](const QString& text) {
        printToStderr(text);
        statusBar()->showMessage(text, kStoreNoticeMs);
        // The notice passes; the item keeps the last one, whole.
        const QString failure = m_log.store()->failure();
        LogStoreState->setTexts(failure.isEmpty() ? tr("Log on disk") : tr("Log not stored"),
                                (failure.isEmpty() ? m_logStoreAbout : failure) + tr("\nLast: ") + text);
    });
    return true;
}

void Window1::attachFaultsMenu()
{
    new FaultMenuItems(m_session, m_menuBar->FaultsMenu, m_menuBar->FaultsRulesEnd, this);
    connect(m_menuBar->FaultsAdd, &QAction::triggered, this, &Window1::openFaultDialog);
    connect(m_menuBar->FaultsRemoveAll, &QAction::triggered, this,
            [this] { m_session.faultRules().clear(); });
}

void Window1::unitsReplaced()
{
    m_selectedUnit = 0;
    // The first unit's rules stand for all of them (they hold the same).
    connect(&m_session.units().first()->faults(), &FaultInjector::rulesChanged, this,
            &Window1::showFaultState);
    showFaultState();
    const QStringList addresses = m_session.unitAddresses();
    // Before the first line the log simply takes them; later the units were replaced.
    if (m_log.endSeq() == 0)
        m_log.setUnitAddresses(addresses);
    else
        m_log.replaceUnits(addresses);
}

void Window1::selectUnit(int index)
{
    if (index < 0 || index >= m_session.units().size())
        return;
    m_selectedUnit = index;
    const QSignalBlocker quiet(PopupMenu1);
    PopupMenu1->setCurrentIndex(unit().profileIndex());
}

void Window1::openUnitsDialog()
{
    if (!m_unitsDialog) {
        m_unitsDialog = new UnitsDialog(m_session, m_selectedUnit, this);
        connect(m_unitsDialog, &UnitsDialog::unitSelected, this, &Window1::selectUnit);
    }
    m_unitsDialog->show();
    m_unitsDialog->raise();
    m_unitsDialog->activateWindow();
}

void Window1::openControllersDialog()
{
    if (!m_controllersDialog)
        m_controllersDialog = new ControllersDialog(m_session, this);
    m_controllersDialog->show();
    m_controllersDialog->raise();
    m_controllersDialog->activateWindow();
}

void Window1::openResultsDialog()
{
    if (!m_resultsDialog) {
        m_resultsDialog = new ResultsDialog(m_expectations, this);
        connect(m_resultsDialog, &ResultsDialog::lineRequested, this, &Window1::showLogLine);
    }
    m_resultsDialog->show();
    m_resultsDialog->raise();
    m_resultsDialog->activateWindow();
}

void Window1::showLogLine(quint64 seq)
{
    m_log.publishPending();
    const int row = m_log.rowOfSeq(seq);
    if (row < 0) {
        statusBar()->showMessage(tr("Log line %1 is no longer in the log").arg(seq), kStoreNoticeMs);
        return;
    }
    const QModelIndex index = m_log.index(row);
    Listbox1->setCurrentIndex(index);
    Listbox1->scrollTo(index, QAbstractItemView::PositionAtCenter);
    activateWindow();
}

void Window1::attachScenarioMenu()
{
    m_scenarioClock = new QTimer(this);
    m_scenarioClock->setInterval(kScenarioClockMs);
    connect(m_scenarioClock, &QTimer::timeout, this, &Window1::showScenarioState);
    connect(&m_session, &ScenarioSession::scenarioChanged, this, &Window1::showScenarioState);
    connect(m_menuBar->ScenarioStart, &QAction::triggered, this, [this] {
        if (m_session.player())
            m_session.player()->start();
    });
    connect(m_menuBar->ScenarioStop, &QAction::triggered, this, [this] {
        if (m_session.player())
            m_session.player()->stop();
    });
    connect(m_menuBar->ScenarioRestart, &QAction::triggered, this, [this] {
        if (m_session.player())
            m_session.player()->restart();
    });
    connect(m_menuBar->ScenarioResults, &QAction::triggered, this, &Window1::openResultsDialog);
    showScenarioState();
}

bool Window1::startControlApi(const ControlOptions& options)
{
    delete m_control;
    m_control = new ControlServer(m_session, m_log, options.token, this);
    m_control->setExpectations(&m_expectations);
    m_control->setProxiesAllowed(options.allowProxies);
    QString error;
    const bool listening = m_control->listen(options.address, options.port, &error);
    const QString state = listening ? QStringLiteral("Control API listening on ") + m_control->url()
                                    : QStringLiteral("Control API: cannot listen on %1:%2: %3")
                                          .arg(options.address.toString())
                                          .arg(options.port)
                                          .arg(error);
    ControlState->setTexts(statustext::controlApi(listening ? QUrl(m_control->url()).port() : 0), state);
    ControlState->show();
    printToStderr(state);
    return listening;
}

void Window1::openFaultDialog()
{
    // Window-modal and not blocking: traffic keeps flowing while a rule is typed.
    auto* dialog = new FaultDialog(m_session.seed(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        if (dialog->seed() != m_session.seed()) {
            m_session.reseed(dialog->seed());
            printSeed();
        }
        if (dialog->rule())
            m_session.faultRules().add(*dialog->rule());
    });
    dialog->open();
}

void Window1::capWindowSize()
{
    // The limits belong to the content area; the window adds its menu bar and status bar around
    // it. Set on the window itself, the maximum reaches the window manager, which otherwise
    // would only learn the minimum from the layout.
    const QSize chrome = sizeHint() - m_content->sizeHint();
    setMaximumSize(kMaximumContentSize + chrome);
}

void Window1::attachEditMenu()
{
    // The log is read-only: only Copy (of the selected line) can apply.
    for (QAction* item : {m_menuBar->EditUndo, m_menuBar->EditCut, m_menuBar->EditPaste, m_menuBar->EditClear,
                          m_menuBar->EditSelectAll})
        item->setEnabled(false);
    connect(m_menuBar->EditCopy, &QAction::triggered, this, &Window1::copySelectedLine);
    connect(Listbox1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &Window1::updateEditItems);
    connect(&m_log, &QAbstractItemModel::modelReset, this, &Window1::updateEditItems);
    updateEditItems();
}

void Window1::updateEditItems()
{
    m_menuBar->EditCopy->setEnabled(Listbox1->selectionModel()->hasSelection());
}

void Window1::copySelectedLine()
{
    const QModelIndexList selected = Listbox1->selectionModel()->selectedIndexes();
    if (!selected.isEmpty())
        QGuiApplication::clipboard()->setText(m_log.lineAt(selected.first().row()));
}

void Window1::PopupMenu1_Open()
{
    for (int index = 0; index < kProfileCount; ++index) {
        const UnitProfile& profile = kUnitProfiles[std::size_t(index)];
        PopupMenu1->addItem(QString::fromLatin1(profile.label.data(), qsizetype(profile.label.size())),
                            QString::fromLatin1(profile.identity.data(), qsizetype(profile.identity.size())));
    }
    // A combo box selects its first row by itself as rows arrive. The unit is started on the
    // selected row in Event_Open, so the change handler is attached only now: selecting row 0
    // here must not bind anything before the unit has its start values.
    PopupMenu1->setCurrentIndex(0);
    connect(PopupMenu1, &QComboBox::currentIndexChanged, this, &Window1::PopupMenu1_Change);
}

void Window1::PopupMenu1_Change(int index)
{
    unit().selectProfile(index);
}

void Window1::Event_Open()
{
    setWindowTitle(titleFor(kVersionMajor, kVersionMinor, kVersionBug));
    printSeed();
    QString error;
    m_session.startUnits({}, PopupMenu1->currentIndex(), {}, &error);
}

void Window1::printSeed() const
{
    printToStderr(QStringLiteral("Seed %1 (repeat this run with --seed %1)").arg(m_session.seed()));
}

void Window1::PushButton1_Action()
{
    m_log.clear();
}
