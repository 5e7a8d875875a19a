#include "mainmenubar.h"

#include <QCoreApplication>
#include <QMenu>

namespace {
QAction* addItem(QMenu* menu, const char* name, const QString& text, const QKeySequence& shortcut = {})
{
    QAction* action = menu->addAction(text);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(shortcut);
    return action;
}

void addNamedSeparator(QMenu* menu, const char* name)
{
    menu->addSeparator()->setObjectName(QLatin1String(name));
}
} // namespace

MainMenuBar::MainMenuBar(QWidget* parent)
    : QMenuBar(parent)
{
    FileMenu = addMenu(tr("&File"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));
    FileOpenScenario = addItem(FileMenu, "FileOpenScenario", tr("&Open Scenario\u2026"), QKeySequence::Open);
    FileSaveScenario = addItem(FileMenu, "FileSaveScenario", tr("Sa&ve Scenario\u2026"));
    addNamedSeparator(FileMenu, "FileSeparator0");
    FileSaveLog = addItem(FileMenu, "FileSaveLog", tr("Save &Log\u2026"), QKeySequence::Save);
    FileSaveCapture = addItem(FileMenu, "FileSaveCapture", tr("Save &Capture\u2026"));
    addNamedSeparator(FileMenu, "FileSeparator1");
    // QKeySequence::Quit is empty on some platforms, so the shortcut is spelled out.
    FileQuit = addItem(FileMenu, "FileQuit", tr("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q));
    FileQuit->setMenuRole(QAction::QuitRole);
    connect(FileQuit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    EditMenu = addMenu(tr("&Edit"));
    EditMenu->setObjectName(QStringLiteral("EditMenu"));
    EditUndo = addItem(EditMenu, "EditUndo", tr("&Undo"), QKeySequence::Undo);
    addNamedSeparator(EditMenu, "EditSeparator1");
    EditCut = addItem(EditMenu, "EditCut", tr("Cu&t"), QKeySequence::Cut);
    EditCopy = addItem(EditMenu, "EditCopy", tr("&Copy"), QKeySequence::Copy);
    EditPaste = addItem(EditMenu, "EditPaste", tr("&Paste"), QKeySequence::Paste);
    EditClear = addItem(EditMenu, "EditClear", tr("&Delete"));
    addNamedSeparator(EditMenu, "EditSeparator2");
    EditSelectAll = addItem(EditMenu, "EditSelectAll", tr("Select &All"), QKeySequence::SelectAll);

    ViewMenu = addMenu(tr("&View"));
    ViewMenu->setObjectName(QStringLiteral("ViewMenu"));
    ViewUnits = addItem(ViewMenu, "ViewUnits", tr("&Units\u2026"));
    ViewControllers = addItem(ViewMenu, "ViewControllers", tr("&Controllers\u2026"));

    // The active fault rules appear between the two fixed items, one checkable item each.
    FaultsMenu = addMenu(tr("F&aults"));
    FaultsMenu->setObjectName(QStringLiteral("FaultsMenu"));
    FaultsAdd = addItem(FaultsMenu, "FaultsAdd", tr("&Add Fault\u2026"));
    FaultsRulesEnd = FaultsMenu->addSeparator();
    FaultsRulesEnd->setObjectName(QStringLiteral("FaultsRulesEnd"));
    FaultsRemoveAll = addItem(FaultsMenu, "FaultsRemoveAll", tr("&Remove All Faults"));

    // Enabled while a scenario is loaded (File > Open Scenario…).
    ScenarioMenu = addMenu(tr("&Scenario"));
    ScenarioMenu->setObjectName(QStringLiteral("ScenarioMenu"));
    ScenarioStart = addItem(ScenarioMenu, "ScenarioStart", tr("S&tart"));
    ScenarioStop = addItem(ScenarioMenu, "ScenarioStop", tr("St&op"));
    ScenarioRestart = addItem(ScenarioMenu, "ScenarioRestart", tr("&Restart from 0"));
    ScenarioMenu->addSeparator()->setObjectName(QStringLiteral("ScenarioResultsSeparator"));
    ScenarioResults = addItem(ScenarioMenu, "ScenarioResults", tr("Re&sults\u2026"));
}
