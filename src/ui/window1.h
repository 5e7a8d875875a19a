#pragma once

#include "app/simulatorcommandline.h"
#include "log/trafficlogmodel.h"
#include "unit/unitsimulator.h"

#include <QMainWindow>

class ContentArea;
class ControlServer;
class LogListView;
class MainMenuBar;
class QComboBox;
class QLabel;
class QPushButton;

// The simulator's one window: the profile selector, the traffic log and its clear button, over
// the simulated unit it drives.
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
    void showEndpointState(UnitSimulator::Endpoint endpoint, const QString& text);
    void updateEditItems();
    void copySelectedLine();
    void attachFileMenu();
    // Asks where, saves with `save`, and says how it went.
    void saveWithDialog(const QString& title, const QString& suggestedName, const QString& filter,
                        bool (Window1::*save)(const QString&, QString*));

    // Built before the controls, which refer to them; destroyed before the child widgets, and
    // the list view lets go of a model that is destroyed under it.
    UnitSimulator m_unit;
    TrafficLogModel m_log;
    MainMenuBar* m_menuBar = nullptr;
    ContentArea* m_content = nullptr;
    // The controls are children of the content area; the window reaches them by these names.
    LogListView* Listbox1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* PopupMenu1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* UnitPortState = nullptr;
    QLabel* DiscoveryPortState = nullptr;
    QLabel* FaultState = nullptr;
    QLabel* ControlState = nullptr;
    QLabel* LogStoreState = nullptr;
    QString m_logStoreAbout; // where the log is kept, for the label's tool tip
    ControlServer* m_control = nullptr;
};
