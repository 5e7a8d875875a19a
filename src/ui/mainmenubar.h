#pragma once

#include <QMenuBar>

class QAction;
class QMenu;

// The File, Edit, View, Faults and Scenario menus. Items, separators included, carry their names as object
// names, so they can be found by name.
class MainMenuBar : public QMenuBar {
    Q_OBJECT

public:
    explicit MainMenuBar(QWidget* parent = nullptr);

    QMenu* FileMenu = nullptr;
    QAction* FileOpenScenario = nullptr;
    QAction* FileSaveScenario = nullptr;
    QAction* FileSaveLog = nullptr;
    QAction* FileSaveCapture = nullptr;
    QAction* FileQuit = nullptr;
    QMenu* EditMenu = nullptr;
    QAction* EditUndo = nullptr;
    QAction* EditCut = nullptr;
    QAction* EditCopy = nullptr;
    QAction* EditPaste = nullptr;
    QAction* EditClear = nullptr;
    QAction* EditSelectAll = nullptr;
    QMenu* ViewMenu = nullptr;
    QAction* ViewUnits = nullptr;
    QAction* ViewControllers = nullptr;
    QMenu* FaultsMenu = nullptr;
    QAction* FaultsAdd = nullptr;
    QAction* FaultsRulesEnd = nullptr; // the rules' items stand above it
    QAction* FaultsRemoveAll = nullptr;
    QMenu* ScenarioMenu = nullptr;
    QAction* ScenarioStart = nullptr;
    QAction* ScenarioStop = nullptr;
    QAction* ScenarioRestart = nullptr;
    QAction* ScenarioResults = nullptr;
};
