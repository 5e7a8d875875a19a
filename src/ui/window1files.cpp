// The window's files: the log, the capture and the scenario saved, a scenario opened, and where
// the dialogs propose to put them.
#include "window1.h"

#include "capture/trafficcapture.h"
#include "mainmenubar.h"
#include "scenario/scenariofile.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStatusBar>

namespace {
// Lines or capture bytes written a piece at a time: a stored log of millions of lines is never
// held in memory whole.
constexpr qsizetype kSavePieceBytes = 1024 * 1024;

bool commitOrSay(QSaveFile& file, QString* error)
{
    if (file.error() == QFileDevice::NoError && file.commit())
        return true;
    *error = file.errorString();
    return false;
}
} // namespace

bool Window1::saveLogTo(const QString& path, QString* error)
{
    m_log.publishPending();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // As the list shows them: newest first.
    QByteArray piece;
    for (int row = 0; row < m_log.rowCount() && file.error() == QFileDevice::NoError; ++row) {
        piece += m_log.lineAt(row).toUtf8();
        piece += '\n';
        if (piece.size() >= kSavePieceBytes) {
            file.write(piece);
            piece.clear();
        }
    }
    file.write(piece);
    return commitOrSay(file, error);
}

bool Window1::saveCaptureTo(const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    TrafficCapture::LogStream stream(m_log);
    for (QByteArray piece = stream.next(kSavePieceBytes);
         !piece.isEmpty() && file.error() == QFileDevice::NoError; piece = stream.next(kSavePieceBytes))
        file.write(piece);
    return commitOrSay(file, error);
}

void Window1::attachFileMenu()
{
    connect(m_menuBar->FileOpenScenario, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, tr("Open Scenario"), m_lastFolder, tr("Scenarios (*.yaml *.yml *.json);;All files (*)"));
        if (path.isEmpty())
            return;
        m_lastFolder = QFileInfo(path).absolutePath();
        // Refused, the window keeps what it had and says why.
        if (QString error; !openScenario(path, &error))
            QMessageBox::warning(this, tr("Open Scenario"), error);
    });
    connect(m_menuBar->FileSaveScenario, &QAction::triggered, this, [this] {
        saveWithDialog(tr("Save Scenario"), suggestedScenarioName(),
                       tr("Scenarios (*.yaml *.yml);;All files (*)"), &Window1::saveScenarioTo);
    });
    connect(m_menuBar->ViewUnits, &QAction::triggered, this, &Window1::openUnitsDialog);
    connect(m_menuBar->ViewControllers, &QAction::triggered, this, &Window1::openControllersDialog);
    connect(m_menuBar->FileSaveLog, &QAction::triggered, this, [this] {
        saveWithDialog(tr("Save Log"), QStringLiteral("traffic-log.txt"),
                       tr("Text files (*.txt);;All files (*)"), &Window1::saveLogTo);
    });
    connect(m_menuBar->FileSaveCapture, &QAction::triggered, this, [this] {
        saveWithDialog(tr("Save Capture"), QStringLiteral("traffic.pcap"),
                       tr("Captures (*.pcap);;All files (*)"), &Window1::saveCaptureTo);
    });
}

void Window1::saveWithDialog(const QString& title, const QString& suggestedName, const QString& filter,
                             bool (Window1::*save)(const QString&, QString*))
{
    const QString path = QFileDialog::getSaveFileName(this, title, suggestedPath(suggestedName), filter);
    if (path.isEmpty())
        return;
    m_lastFolder = QFileInfo(path).absolutePath();
    QString error;
    if ((this->*save)(path, &error))
        statusBar()->showMessage(tr("Saved %1").arg(QDir::toNativeSeparators(path)), 5000);
    else
        QMessageBox::warning(this, title,
                             tr("Could not save %1:\n%2").arg(QDir::toNativeSeparators(path), error));
}

bool Window1::openScenario(const QString& path, QString* error)
{
    const std::optional<Scenario> scenario = ScenarioFile::load(path, error);
    if (!scenario)
        return false;
    if (!m_session.play(*scenario, error))
        return false;
    m_scenarioFile = path;
    printSeed();
    showScenarioState();
    return true;
}

bool Window1::saveScenarioTo(const QString& path, QString* error)
{
    return ScenarioFile::save(m_session.snapshot(), path, error);
}

QString Window1::suggestedPath(const QString& fileName) const
{
    return m_lastFolder.isEmpty() ? fileName : QDir(m_lastFolder).filePath(fileName);
}

QString Window1::suggestedScenarioName() const
{
    const ScenarioPlayer* player = m_session.player();
    if (player && !player->scenario().name.trimmed().isEmpty()) {
        // A name, not a path: only what every file system takes.
        static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]+"));
        QString name = player->scenario().name.trimmed().replace(unsafe, QStringLiteral("-"));
        while (name.startsWith(u'.') || name.startsWith(u'-'))
            name.remove(0, 1);
        while (name.endsWith(u'.') || name.endsWith(u'-'))
            name.chop(1);
        if (!name.isEmpty())
            return name + QStringLiteral(".yaml");
    }
    if (!m_scenarioFile.isEmpty())
        return QFileInfo(m_scenarioFile).completeBaseName() + QStringLiteral(".yaml");
    return QStringLiteral("scenario.yaml");
}
