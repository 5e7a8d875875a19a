#pragma once

#include "app/simulatoroptions.h"
#include "log/trafficlogmodel.h"
#include "scenario/scenariosession.h"
#include "verify/expectationmonitor.h"

#include <QMainWindow>

class ContentArea;
class ControlServer;
class LogListView;
class MainMenuBar;
class QComboBox;
class QLabel;
class StatusItem;
class QPushButton;
class QTimer;
class ControllersDialog;
class ResultsDialog;
class UnitsDialog;

// The simulator's one window: the profile selector, the traffic log and its clear button, over
// the simulated unit it drives (or the units of a scenario, each shown in View > Units…, where
// the one the selector steers is picked).
class Window1 : public QMainWindow {
    Q_OBJECT

public:
    static constexpr QSize kDesignSize{822, 460};

    explicit Window1(QWidget* parent = nullptr);
    // Every value the unit draws follows from `seed`, as with the headless run's --seed.
    explicit Window1(quint64 seed, QWidget* parent = nullptr);
    ~Window1() override;

    static QString titleFor(int major, int minor, int bug);

    // Serves the control API over this window's unit and log; the status bar and standard error
    // say where, or why not. False when it cannot listen.
    bool startControlApi(const ControlOptions& options);
    // Keeps the traffic log on disk from now on (call before the first line); false, with why,
    // when the store cannot be made.
    bool openLogStore(const LogStoreOptions& options, QString* error);

    // The log's lines as shown, newest first, as UTF-8 text; false, with `error` saying why, when
    // the file cannot be written (an earlier file of that name is then left as it was).
    bool saveLogTo(const QString& path, QString* error);
    // Every datagram the log holds, as a pcap capture.
    bool saveCaptureTo(const QString& path, QString* error);
    // Loads the scenario in `path` and plays it from 0; false, with why (FILE:LINE:COLUMN: ...),
    // and everything as it was, when it is refused.
    bool openScenario(const QString& path, QString* error);
    // Where a file dialog proposes to save `fileName`: in the folder last opened from or saved to.
    QString suggestedPath(const QString& fileName) const;
    // What Save Scenario proposes: the scenario's name ("room 2" -> "room-2.yaml"), else the name
    // of the file it was opened from, else "scenario.yaml".
    QString suggestedScenarioName() const;
    // Writes the state as it is now as a scenario file.
    bool saveScenarioTo(const QString& path, QString* error);

    ScenarioSession& session() { return m_session; }
    // The unit the profile selector shows and changes.
    int selectedUnit() const { return m_selectedUnit; }
    void selectUnit(int index);

private:
    void printSeed() const;
    void Event_Open();
    void PopupMenu1_Open();
    void PopupMenu1_Change(int index);
    void PushButton1_Action();

    void createControls();
    void createStatusBar();
    void capWindowSize();
    void attachFaultsMenu();
    void openFaultDialog();
    void showFaultState();
    void attachEditMenu();
    void showEndpointState(int unit, bool listening, const QString& text);
    void unitsReplaced();
    void attachScenarioMenu();
    void showScenarioState();
    // The scenario's verdict, once it ended and was judged.
    void showVerdict();
    void openUnitsDialog();
    void openControllersDialog();
    void openResultsDialog();
    // Selects the log line with sequence number `seq`, or says that the log holds it no more.
    void showLogLine(quint64 seq);
    UnitSimulator& unit() const { return *m_session.units()[m_selectedUnit]; }
    void updateEditItems();
    void copySelectedLine();
    void attachFileMenu();
    // Asks where, saves with `save`, and says how it went.
    void saveWithDialog(const QString& title, const QString& suggestedName, const QString& filter,
                        bool (Window1::*save)(const QString&, QString*));

    // Built before the controls, which refer to them; destroyed before the child widgets, and
    // the list view lets go of a model that is destroyed under it.
    TrafficLogModel m_log;
    ScenarioSession m_session;
    // Judges the scenario's expectations on the log.
    ExpectationMonitor m_expectations;
    int m_selectedUnit = 0;
    MainMenuBar* m_menuBar = nullptr;
    ContentArea* m_content = nullptr;
    // The controls are children of the content area; the window reaches them by these names.
    LogListView* Listbox1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* PopupMenu1 = nullptr;
    QLabel* Label2 = nullptr;
    StatusItem* UnitPortState = nullptr;
    StatusItem* DiscoveryPortState = nullptr;
    StatusItem* FaultState = nullptr;
    StatusItem* ControlState = nullptr;
    StatusItem* LogStoreState = nullptr;
    StatusItem* ScenarioState = nullptr;
    StatusItem* VerdictState = nullptr;
    QTimer* m_scenarioClock = nullptr; // the status bar's elapsed time while a scenario runs
    UnitsDialog* m_unitsDialog = nullptr;
    ControllersDialog* m_controllersDialog = nullptr;
    ResultsDialog* m_resultsDialog = nullptr;
    QString m_lastFolder;    // of the last file opened or saved; the working folder until then
    QString m_scenarioFile;  // the scenario file opened last
    QString m_logStoreAbout; // where the log is kept, for the label's tool tip
    ControlServer* m_control = nullptr;
};
