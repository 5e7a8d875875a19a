#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// The built programs, run as a user runs them.
QString simulatorPath();
QString unitctlPath();

struct ProcessResult {
    int exitCode = -1; // -1: did not start, crashed or did not end in time
    QString out;
    QString err;
};

// Runs a program to its end while this thread's event loop keeps running (a test responder may
// need to answer it).
ProcessResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs = 10000);

// The headless simulator in the background, killed when the object goes.
class HeadlessSimulator {
public:
    HeadlessSimulator() = default;
    ~HeadlessSimulator();

    // Starts `unit-simulator --headless` with `arguments` and waits until both ports (or the fleet) report.
    // Returns what went wrong (a port taken by another program, say), empty when it listens.
    QString start(const QStringList& arguments = {});
    void stop();
    QProcess& process() { return *m_process; }
    // What it wrote on standard error while starting.
    QString startMessages() const { return m_startMessages; }
    // With --control: the API's URL ("http://127.0.0.1:PORT"), once its readiness line is in
    // (it comes after the ports' lines); empty when it does not come in time.
    QString controlUrl(int timeoutMs = 5000);

private:
    std::unique_ptr<QProcess> m_process;
    QString m_startMessages;
};
