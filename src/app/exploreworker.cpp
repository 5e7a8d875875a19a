#include "exploreworker.h"

#include "net/ownnetwork.h"
#include "scenario/scenariofile.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstring>
#include <limits>

#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr char kWorkerOption[] = "--explore-worker";
// A job is a scenario and a command: more than this is no job of ours.
constexpr qsizetype kMaxJobBytes = 2 * ScenarioFile::kMaxBytes;

QCborArray toCbor(const QStringList& list)
{
    QCborArray array;
    for (const QString& item : list)
        array.append(item);
    return array;
}

// A list of texts, or nothing when `value` is not one.
std::optional<QStringList> textList(const QCborValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QStringList list;
    for (const QCborValue& item : value.toArray()) {
        if (!item.isString())
            return std::nullopt;
        list << item.toString();
    }
    return list;
}

std::optional<QCborMap> cborMap(const QByteArray& bytes, QString* error)
{
    QCborParserError problem;
    const QCborValue value = QCborValue::fromCbor(bytes, &problem);
    if (problem.error != QCborError::NoError) {
        *error = u"not CBOR: "_s + problem.errorString();
        return std::nullopt;
    }
    if (!value.isMap()) {
        *error = u"not a CBOR map"_s;
        return std::nullopt;
    }
    return value.toMap();
}

// The controller of the play in progress, for the signal handler: ended with the worker.
std::atomic<pid_t> controllerGroup{0};

void endOnSignal(int signal)
{
    if (const pid_t group = controllerGroup.load(); group > 0)
        ::kill(-group, SIGKILL);
    ::_exit(128 + signal);
}

// Standard input to its end, at most `limit` bytes; nothing when there is more or it fails.
std::optional<QByteArray> readInput(qsizetype limit)
{
    QByteArray bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || bytes.size() + got > limit)
            return std::nullopt;
        if (got == 0)
            return bytes;
        bytes.append(chunk, got);
    }
}

bool writeOutput(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += wrote;
    }
    return true;
}
} // namespace

QByteArray ExploreJob::toCbor() const
{
    QCborMap map;
    map[u"number"_s] = number;
    map[u"seed"_s] = QString::number(seed); // a CBOR integer is signed
    map[u"scenario"_s] = ScenarioFile::toYaml(scenario);
    map[u"controller"_s] = controller;
    return map.toCborValue().toCbor();
}

std::optional<ExploreJob> ExploreJob::fromCbor(const QByteArray& bytes, QString* error)
{
    const std::optional<QCborMap> map = cborMap(bytes, error);
    if (!map)
        return std::nullopt;
    ExploreJob job;
    bool seedOk = false;
    job.seed = map->value(u"seed"_s).toString().toULongLong(&seedOk);
    const QCborValue number = map->value(u"number"_s);
    if (!number.isInteger() || number.toInteger() < 0 ||
        number.toInteger() > std::numeric_limits<int>::max() || !seedOk ||
        !map->value(u"scenario"_s).isByteArray() || !map->value(u"controller"_s).isString()) {
        *error = u"needs number, seed, scenario and controller"_s;
        return std::nullopt;
    }
    job.number = int(number.toInteger());
    job.controller = map->value(u"controller"_s).toString();
    ScenarioError problem;
    std::optional<Scenario> scenario = ScenarioFile::parse(map->value(u"scenario"_s).toByteArray(), &problem);
    if (!scenario) {
        *error = problem.text(u"the job's scenario"_s);
        return std::nullopt;
    }
    job.scenario = std::move(*scenario);
    return job;
}

QByteArray ExploreOutcome::toCbor() const
{
    QCborMap map;
    map[u"problem"_s] = problem;
    map[u"addresses"_s] = ::toCbor(addresses);
    map[u"elapsed_ms"_s] = elapsedMs;
    map[u"failed"_s] = ::toCbor(failed);
    QCborMap near;
    for (auto it = margins.cbegin(); it != margins.cend(); ++it)
        near[it.key()] = QCborMap{{u"fraction"_s, it->fraction}, {u"unit"_s, it->unit}};
    map[u"margins"_s] = near;
    map[u"report"_s] = ::toCbor(report);
    map[u"junit"_s] = junit;
    map[u"capture"_s] = capture;
    map[u"html"_s] = html;
    map[u"output"_s] = output;
    return map.toCborValue().toCbor();
}

std::optional<ExploreOutcome> ExploreOutcome::fromCbor(const QByteArray& bytes, QString* error)
{
    const std::optional<QCborMap> map = cborMap(bytes, error);
    if (!map)
        return std::nullopt;
    const std::optional<QStringList> addresses = textList(map->value(u"addresses"_s));
    const std::optional<QStringList> failed = textList(map->value(u"failed"_s));
    const std::optional<QStringList> report = textList(map->value(u"report"_s));
    const auto bytesOf = [&](const QString& key) { return map->value(key).isByteArray(); };
    if (!addresses || !failed || !report || !map->value(u"problem"_s).isString() ||
        !map->value(u"elapsed_ms"_s).isInteger() || !bytesOf(u"junit"_s) || !bytesOf(u"capture"_s) ||
        !bytesOf(u"html"_s) || !bytesOf(u"output"_s)) {
        *error = u"needs problem, addresses, elapsed_ms, failed, report, junit, capture, html and output"_s;
        return std::nullopt;
    }
    ExploreOutcome outcome;
    const QCborValue margins = map->value(u"margins"_s);
    const QString marginsNeeded = u"needs margins, a map of expectations to their fraction and unit"_s;
    if (!margins.isMap()) {
        *error = marginsNeeded;
        return std::nullopt;
    }
    for (const auto& [name, margin] : margins.toMap()) {
        const QCborValue fraction = margin[u"fraction"_s];
        const QCborValue unit = margin[u"unit"_s];
        if (!name.isString() || !fraction.isDouble() || !unit.isInteger() || unit.toInteger() < -1 ||
            unit.toInteger() > std::numeric_limits<int>::max()) {
            *error = marginsNeeded;
            return std::nullopt;
        }
        outcome.margins.insert(name.toString(), {fraction.toDouble(), int(unit.toInteger())});
    }
    outcome.problem = map->value(u"problem"_s).toString();
    outcome.addresses = *addresses;
    outcome.elapsedMs = map->value(u"elapsed_ms"_s).toInteger();
    outcome.failed = *failed;
    outcome.report = *report;
    outcome.junit = map->value(u"junit"_s).toByteArray();
    outcome.capture = map->value(u"capture"_s).toByteArray();
    outcome.html = map->value(u"html"_s).toByteArray();
    outcome.output = map->value(u"output"_s).toByteArray();
    return outcome;
}

WorkerPlay::WorkerPlay(QObject* parent)
    : ExplorePlay(parent)
{
}

WorkerPlay::~WorkerPlay()
{
    // Asked first, so that it ends its controller; killed only when it does not end.
    if (m_worker.state() != QProcess::NotRunning) {
        m_worker.disconnect(this);
        ::kill(pid_t(m_worker.processId()), SIGTERM);
        m_worker.waitForFinished(kEndWaitMs);
    }
}

void WorkerPlay::start(const ExploreJob& job)
{
    m_worker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&m_worker, &QProcess::readyReadStandardOutput, this, [this] {
        m_out += m_worker.readAllStandardOutput();
        if (m_out.size() > kMaxOutcomeBytes) {
            m_out.clear();
            ::kill(pid_t(m_worker.processId()), SIGTERM);
        }
    });
    connect(&m_worker, &QProcess::finished, this, &WorkerPlay::ended);
    connect(&m_worker, &QProcess::errorOccurred, this, [this](QProcess::ProcessError problem) {
        if (problem == QProcess::FailedToStart)
            ended(-1, QProcess::CrashExit);
    });
    m_worker.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    m_worker.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kWorkerOption)});
    m_worker.write(job.toCbor());
    m_worker.closeWriteChannel();
}

void WorkerPlay::ended(int exitCode, QProcess::ExitStatus status)
{
    if (std::exchange(m_over, true))
        return;
    m_out += m_worker.readAllStandardOutput();
    QString error;
    std::optional<ExploreOutcome> outcome = ExploreOutcome::fromCbor(m_out, &error);
    if (!outcome) {
        outcome.emplace();
        outcome->problem =
            status == QProcess::CrashExit
                ? QStringLiteral("its process ended without a verdict (%1)").arg(m_worker.errorString())
                : QStringLiteral("its process ended without a verdict (exit status %1; %2)")
                      .arg(exitCode)
                      .arg(error);
    }
    m_out.clear();
    emit done(*outcome);
}

bool isExploreWorker(int argc, char** argv)
{
    return argc == 2 && std::strcmp(argv[1], kWorkerOption) == 0;
}

int runExploreWorker(int argc, char** argv)
{
    // Before Qt starts a thread: a user namespace takes a process of one thread.
    ExploreOutcome outcome;
    QString why;
    const bool inOwnNetwork = OwnNetwork::enter(&why);
    struct sigaction ending {};
    ending.sa_handler = endOnSignal;
    ::sigaction(SIGTERM, &ending, nullptr);
    ::sigaction(SIGHUP, &ending, nullptr);

    QCoreApplication app(argc, argv);
    const std::optional<QByteArray> input = readInput(kMaxJobBytes);
    QString error;
    const std::optional<ExploreJob> job = input ? ExploreJob::fromCbor(*input, &error) : std::nullopt;
    if (!inOwnNetwork || !job) {
        outcome.problem =
            !inOwnNetwork ? why
            : input       ? u"the job cannot be read: "_s + error
                          : u"the job cannot be read: more than %1 bytes, or unreadable"_s.arg(kMaxJobBytes);
        return writeOutput(outcome.toCbor()) ? 0 : 1;
    }
    LocalPlay play;
    QObject::connect(&play, &ExplorePlay::done, &app, [](const ExploreOutcome& result) {
        controllerGroup.store(0);
        QCoreApplication::exit(writeOutput(result.toCbor()) ? 0 : 1);
    });
    play.start(*job);
    controllerGroup.store(pid_t(play.controllerGroup()));
    return app.exec();
}
