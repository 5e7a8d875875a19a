#include "programs.h"

#include <QRegularExpression>

#include <QTest>

namespace {
// How long a stopped program may take to end before it is killed.
constexpr int kStopMs = 5000;
} // namespace

QString simulatorPath()
{
    return QStringLiteral(UNITSIM_SIMULATOR_PATH);
}

QString unitctlPath()
{
    return QStringLiteral(UNITCTL_PATH);
}

ProcessResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    ProcessResult result;
    if (!process.waitForStarted(5000))
        return result;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

HeadlessSimulator::~HeadlessSimulator()
{
    stop();
}

void HeadlessSimulator::stop()
{
    // A stop signal, so that the run ends as a user's does and removes the log store it made;
    // killed only when it does not end.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(kStopMs)) {
            m_process->kill();
            m_process->waitForFinished();
        }
    }
    m_process.reset();
}

QString HeadlessSimulator::controlUrl(int timeoutMs)
{
    static const QRegularExpression ready(QStringLiteral("^Control API listening on (http://\\S+)$"),
                                          QRegularExpression::MultilineOption);
    if (!m_process)
        return {};
    const bool came = QTest::qWaitFor(
        [&] {
            m_startMessages += QString::fromUtf8(m_process->readAllStandardError());
            return ready.match(m_startMessages).hasMatch();
        },
        timeoutMs);
    return came ? ready.match(m_startMessages).captured(1) : QString();
}

QString HeadlessSimulator::start(const QStringList& arguments)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->start(simulatorPath(), QStringList{QStringLiteral("--headless")} + arguments);
    if (!m_process->waitForStarted(5000))
        return QStringLiteral("the simulator did not start");
    QString err;
    const bool reported = QTest::qWaitFor(
        [&] {
            err += QString::fromUtf8(m_process->readAllStandardError());
            // The single unit's two ports, or a fleet's one line for all of them.
            return err.count(QStringLiteral("listening")) >= 2 ||
                   err.contains(QStringLiteral(" units listening, from "));
        },
        5000);
    m_startMessages = err;
    if (!reported || err.contains(QStringLiteral("not listening")))
        return QStringLiteral("the fixed ports are needed by this test: ") + err;
    return {};
}
