#pragma once

#include "exploreplay.h"

#include <QProcess>

// A play in a process of its own, in a network of its own (OwnNetwork): its units keep the
// scenario's addresses and fixed ports and its controller, started in the same network, sees
// them alone, broadcast discovery included, whatever plays beside it.
//
// The process is this program again (`unit-simulator --explore-worker`): it reads the job from
// its standard input and writes the outcome to its standard output, both as CBOR; what it says
// meanwhile goes to the terminal as ours does. It is in a process group of its own (a Ctrl-C at
// the terminal is for the exploration, which lets plays in flight end), and it ends its
// controller and itself when asked with SIGTERM or when this process goes.
class WorkerPlay : public ExplorePlay {
    Q_OBJECT

public:
    // More than a play's outcome ever holds: the worker is ended, and the play counts as not played.
    static constexpr qsizetype kMaxOutcomeBytes = qsizetype(1) << 30;
    // How long a worker asked to end is waited for before it is killed.
    static constexpr int kEndWaitMs = 3000;

    explicit WorkerPlay(QObject* parent = nullptr);
    ~WorkerPlay() override;

    void start(const ExploreJob& job) override;

private:
    void ended(int exitCode, QProcess::ExitStatus status);

    QProcess m_worker;
    QByteArray m_out;
    bool m_over = false;
};

// The worker's side: `unit-simulator --explore-worker`. Call first thing in main(), before any
// thread is started; the process's exit status.
int runExploreWorker(int argc, char** argv);
// Whether the command line asks for a worker.
bool isExploreWorker(int argc, char** argv);
