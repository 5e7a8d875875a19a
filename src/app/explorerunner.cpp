#include "explorerunner.h"

#include "consoleoutput.h"
#include "exploremerge.h"
#include "exploreplay.h"
#include "exploreworker.h"
#include "net/ownnetwork.h"
#include "scenario/explorevariation.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace {
QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 1) + u" s"_s;
}

QString plural(qsizetype count, const QString& one)
{
    return QString::number(count) + u' ' + one + (count == 1 ? QString() : u"s"_s);
}
} // namespace

ExploreRunner::ExploreRunner(ExploreOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

ExploreRunner::~ExploreRunner() = default;

QString ExploreRunner::progress() const
{
    QStringList parts;
    if (m_jobs > 1 && !m_inFlight.empty())
        parts << QStringLiteral("%1 playing").arg(m_inFlight.size());
    if (!m_failures.isEmpty())
        parts << plural(m_failures.size(), u"failure"_s) + u" found"_s;
    if (guided() && !m_corpus.isEmpty())
        parts << QStringLiteral("%1 in the corpus").arg(plural(m_corpus.entries().size(), u"run"_s));
    if (m_options.budgetMs)
        parts << scenarioDurationText(std::max<qint64>(0, *m_options.budgetMs - m_clock.elapsed())) +
                     u" left"_s;
    return parts.isEmpty() ? QString() : u" ("_s + parts.join(u", "_s) + u')';
}

int ExploreRunner::lastRun() const
{
    return m_options.onlyRun ? *m_options.onlyRun : m_options.runs - 1;
}

int ExploreRunner::runsToPlay() const
{
    return std::max(0, (m_options.runs - m_options.shardIndex + m_options.shardCount - 1) /
                           m_options.shardCount);
}

bool ExploreRunner::budgetSpent() const
{
    return m_options.budgetMs && m_clock.elapsed() >= *m_options.budgetMs;
}

bool ExploreRunner::mayStartRun() const
{
    if (m_stopping || budgetSpent() || m_nextRun > lastRun())
        return false;
    // A guided run waits for the generations before its own.
    return !guided() || runIndex(m_nextRun) / kGeneration <= m_foldedGenerations;
}

ExploreVariation ExploreRunner::drawRun(int number) const
{
    return guided()
               ? drawGuidedVariation(m_options.scenario, m_options.seed, number, m_options.draw, m_corpus)
               : drawVariation(m_options.scenario, m_options.seed, number, m_options.draw);
}

void ExploreRunner::takeIntoCorpus(const ExploreFailure& played)
{
    if (!guided())
        return;
    auto& generation = m_generations[runIndex(played.number) / kGeneration];
    generation.emplace(played.number, played.outcome.failed.isEmpty() ? std::optional<ExploreFailure>(played)
                                                                      : std::nullopt);
    // In generation order, each in run order: the corpus does not depend on which run ended first.
    for (auto it = m_generations.find(m_foldedGenerations); it != m_generations.end();
         it = m_generations.find(m_foldedGenerations)) {
        const int first = m_foldedGenerations * kGeneration;
        if (qsizetype(it->second.size()) < std::min(kGeneration, runsToPlay() - first))
            break;
        for (const auto& [number, passed] : it->second) {
            if (passed)
                m_corpus.offer(number, passed->variation, passed->outcome.margins);
        }
        m_generations.erase(it);
        ++m_foldedGenerations;
    }
}

void ExploreRunner::start()
{
    m_clock.start();
    const QString problem = OwnNetwork::problem();
    m_ownNetworks = problem.isEmpty();
    m_jobs = m_ownNetworks ? std::max(1, m_options.jobs) : 1;
    printToStderr(
        QStringLiteral("Exploring %1: %2 from seed %3%4%5%6, %7; controller: %8")
            .arg(m_options.scenarioPath, m_options.onlyRun
                                             ? QStringLiteral("run %1 alone").arg(*m_options.onlyRun)
                                             : plural(m_options.runs, u"run"_s))
            .arg(m_options.seed)
            .arg(m_options.shardCount > 1
                     ? QStringLiteral(" (shard %1/%2)").arg(m_options.shardIndex).arg(m_options.shardCount)
                     : QString(),
                 m_options.onlyRun ? QString()
                 : guided()        ? u", guided by how near runs come to failing"_s
                                   : u", drawn at random"_s)
            .arg(m_options.budgetMs ? u", within "_s + scenarioDurationText(*m_options.budgetMs) : QString(),
                 m_ownNetworks
                     ? (m_jobs == 1 ? u"one at a time"_s : QStringLiteral("%1 at once").arg(m_jobs)) +
                           u", each in a network of its own"_s
                     : u"one at a time on this network"_s,
                 m_options.controller));
    if (!m_ownNetworks)
        printToStderr(
            u"Plays go one at a time on this network, as no network of their own can be made here ("_s +
            problem + u"); the scenario's ports must be free"_s);
    m_nextRun = m_nextRecord = m_options.onlyRun.value_or(m_options.shardIndex);
    schedule();
}

void ExploreRunner::stop()
{
    if (std::exchange(m_stopping, true) || m_finished)
        return;
    printToStderr(m_inFlight.size() > 1 ? u"Stopping once the plays in flight are over"_s
                                        : u"Stopping after this run"_s);
    endShrinksThatAreOver();
    recordInOrder();
    schedule();
}

bool ExploreRunner::startReplayOrShrinkPlay()
{
    if (m_stopping || budgetSpent())
        return false;
    for (auto& [number, confirm] : m_confirms) {
        if (confirm.started < m_options.confirm) {
            ++confirm.started;
            startPlay(Purpose::Confirm, number, confirm.failure.variation);
            return true;
        }
    }
    for (auto& [number, shrink] : m_shrinks) {
        if (std::optional<ShrinkSearch::Play> play = shrink->search.next()) {
            startPlay(Purpose::Shrink, number, play->variation, play);
            return true;
        }
    }
    return false;
}

void ExploreRunner::schedule()
{
    // The oldest failing run's replays and shrink plays first: its failure is the next to be written.
    while (!m_finished && m_inFlight.size() < size_t(m_jobs)) {
        if (startReplayOrShrinkPlay())
            continue;
        if (!mayStartRun())
            break;
        const int number = m_nextRun;
        m_nextRun += m_options.onlyRun ? 1 : m_options.shardCount;
        startPlay(Purpose::Run, number, drawRun(number));
    }
    if (!m_finished && m_inFlight.empty() && m_shrinks.empty() && m_confirms.empty() && !mayStartRun()) {
        if (budgetSpent() && m_nextRun <= lastRun())
            printToStderr(
                QStringLiteral("The budget of %1 is spent").arg(scenarioDurationText(*m_options.budgetMs)));
        finish(m_failures.isEmpty() ? 0 : 4);
    }
}

void ExploreRunner::startPlay(Purpose purpose, int number, const ExploreVariation& variation,
                              std::optional<ShrinkSearch::Play> shrinkPlay)
{
    auto inFlight = std::make_unique<InFlight>();
    inFlight->purpose = purpose;
    inFlight->number = number;
    inFlight->variation = variation;
    inFlight->scenario = withAdditions(m_options.scenario, variation.additions);
    if (!inFlight->scenario.seed)
        inFlight->scenario.seed = variation.seed;
    inFlight->shrinkPlay = std::move(shrinkPlay);
    if (m_ownNetworks)
        inFlight->play = std::make_unique<WorkerPlay>();
    else
        inFlight->play = std::make_unique<LocalPlay>();
    InFlight* raw = inFlight.get();
    connect(raw->play.get(), &ExplorePlay::done, this,
            [this, raw](const ExploreOutcome& outcome) { playDone(raw, outcome); });
    m_inFlight.push_back(std::move(inFlight));
    raw->play->start({number, variation.seed, raw->scenario, m_options.controller});
}

void ExploreRunner::playDone(InFlight* raw, const ExploreOutcome& outcome)
{
    const auto found =
        std::find_if(m_inFlight.begin(), m_inFlight.end(),
                     [raw](const std::unique_ptr<InFlight>& item) { return item.get() == raw; });
    if (m_finished || found == m_inFlight.end())
        return;
    std::unique_ptr<InFlight> inFlight = std::move(*found);
    m_inFlight.erase(found);
    // Not deleted here: it is the sender of what is being handled.
    inFlight->play.release()->deleteLater();
    if (!outcome.problem.isEmpty()) {
        printToStderr(QStringLiteral("Run %1 cannot start: %2").arg(inFlight->number).arg(outcome.problem));
        return finish(1);
    }
    ExploreFailure played{inFlight->number, inFlight->variation, inFlight->scenario, outcome, {}};
    switch (inFlight->purpose) {
    case Purpose::Run:
        runDone(std::move(played));
        break;
    case Purpose::Shrink:
        shrinkPlayDone(*inFlight, std::move(played));
        break;
    case Purpose::Confirm:
        confirmPlayDone(inFlight->number, outcome);
        break;
    }
    endShrinksThatAreOver();
    endConfirmsThatAreOver();
    recordInOrder();
    schedule();
}

void ExploreRunner::runDone(ExploreFailure played)
{
    m_played[played.number] = played.outcome.failed;
    takeIntoCorpus(played);
    const ExploreOutcome& outcome = played.outcome;
    const QString line =
        QStringLiteral("Run %1%2 (seed %3, %4%5): ")
            .arg(played.number)
            .arg(m_options.onlyRun ? QString() : QStringLiteral("/%1").arg(m_options.runs))
            .arg(played.variation.seed)
            .arg(plural(played.variation.additions.size(), u"addition"_s),
                 played.variation.origin.isEmpty() ? QString() : u"; "_s + played.variation.origin);
    if (outcome.failed.isEmpty()) {
        printToStderr(line + u"passed in "_s + seconds(outcome.elapsedMs) + progress());
        m_concluded.emplace(played.number, std::nullopt);
        return;
    }
    printToStderr(line + u"FAILED "_s + outcome.failed.join(u", "_s) + progress());
    // The run alone, as asked, is written as it played.
    if (m_options.onlyRun) {
        m_concluded.emplace(played.number, std::move(played));
        return;
    }
    const QString target = outcome.failed.first();
    printToStderr(
        QStringLiteral("Shrinking run %1 while \"%2\" still fails (each smaller variation played %3 "
                       "times; at most %4 plays)")
            .arg(played.number)
            .arg(target)
            .arg(kShrinkRepeats)
            .arg(kShrinkPlays));
    const int number = played.number;
    m_shrinks.emplace(
        number, std::make_unique<Shrink>(Shrink{
                    ShrinkSearch(m_options.scenario, target, played.variation, kShrinkRepeats, kShrinkPlays),
                    std::move(played),
                    {}}));
}

void ExploreRunner::shrinkPlayDone(const InFlight& inFlight, ExploreFailure played)
{
    const auto found = m_shrinks.find(inFlight.number);
    if (found == m_shrinks.end())
        return;
    Shrink& shrink = *found->second;
    const ShrinkSearch::Play& play = *inFlight.shrinkPlay;
    if (!shrink.search.counts(play))
        return;
    // The capture of a failing play is kept until its candidate is decided.
    const QStringList failed = played.outcome.failed;
    if (failed.contains(shrink.search.target()))
        shrink.failing.insert_or_assign(play.candidate, std::move(played));
    const std::optional<qsizetype> kept = shrink.search.record(play, failed);
    if (!kept)
        return;
    shrink.smallest = std::move(shrink.failing.at(*kept));
    shrink.failing.clear();
    printToStderr(QStringLiteral("  run %1, shrink step %2 (%3 plays, %4 left): %5: still fails")
                      .arg(inFlight.number)
                      .arg(shrink.search.steps())
                      .arg(shrink.search.plays())
                      .arg(m_options.budgetMs ? scenarioDurationText(std::max<qint64>(
                                                    0, *m_options.budgetMs - m_clock.elapsed()))
                                              : QStringLiteral("%1 plays").arg(shrink.search.playsLeft()))
                      .arg(shrink.search.lastChange()));
}

void ExploreRunner::endShrinksThatAreOver()
{
    for (auto it = m_shrinks.begin(); it != m_shrinks.end();) {
        const int number = it->first;
        Shrink& shrink = *it->second;
        const bool cutShort = m_stopping || budgetSpent();
        const bool playing = std::any_of(m_inFlight.begin(), m_inFlight.end(), [&](const auto& item) {
            return item->number == number && item->shrinkPlay && shrink.search.counts(*item->shrinkPlay);
        });
        if (!shrink.search.over() && !(cutShort && !playing)) {
            ++it;
            continue;
        }
        // Plays of candidates that no longer count are ended.
        std::erase_if(m_inFlight,
                      [&](const auto& item) { return item->number == number && item->shrinkPlay; });
        const QString why = shrink.search.over() ? shrink.search.whyOver()
                            : m_stopping         ? u"stopped"_s
                                                 : u"the exploration's budget is spent"_s;
        ExploreFailure smallest = std::move(shrink.smallest);
        smallest.shrinkSummary = QStringLiteral("shrunk in %1 and %2 plays (%3): %4 left")
                                     .arg(plural(shrink.search.steps(), u"step"_s))
                                     .arg(shrink.search.plays())
                                     .arg(why, plural(smallest.variation.additions.size(), u"addition"_s));
        const QString target = shrink.search.target();
        it = m_shrinks.erase(it);
        confirm(std::move(smallest), target);
    }
}

void ExploreRunner::confirm(ExploreFailure failure, const QString& target)
{
    const int number = failure.number;
    if (m_options.confirm <= 0 || m_stopping || budgetSpent()) {
        m_concluded.emplace(number, std::move(failure));
        return;
    }
    printToStderr(QStringLiteral("  run %1, %2; replaying it %3")
                      .arg(number)
                      .arg(failure.shrinkSummary,
                           m_options.confirm == 1 ? u"once"_s : plural(m_options.confirm, u"time"_s)));
    m_confirms.emplace(number, Confirm{std::move(failure), target, 0, 0});
}

void ExploreRunner::confirmPlayDone(int number, const ExploreOutcome& outcome)
{
    const auto found = m_confirms.find(number);
    if (found == m_confirms.end())
        return;
    Confirm& confirm = found->second;
    ++confirm.done;
    ++confirm.failure.replays;
    if (outcome.failed.contains(confirm.target))
        ++confirm.failure.replaysFailed;
}

void ExploreRunner::endConfirmsThatAreOver()
{
    for (auto it = m_confirms.begin(); it != m_confirms.end();) {
        Confirm& confirm = it->second;
        const bool allIn = confirm.done == confirm.started;
        // All played; or, stopping, all that started.
        if (!allIn || (confirm.started < m_options.confirm && !m_stopping && !budgetSpent())) {
            ++it;
            continue;
        }
        m_concluded.emplace(it->first, std::move(confirm.failure));
        it = m_confirms.erase(it);
    }
}

void ExploreRunner::recordInOrder()
{
    for (auto it = m_concluded.find(m_nextRecord); it != m_concluded.end();
         it = m_concluded.find(m_nextRecord)) {
        if (it->second) {
            const ExploreFailure& failure = *it->second;
            m_flaky += failure.flaky();
            const QString directory =
                QDir(m_options.outDir).filePath(QStringLiteral("failure-%1").arg(m_failures.size() + 1));
            QString error;
            if (!writeExploreFailure(directory, m_options, failure, &error)) {
                printToStderr(u"Cannot write the failing run: "_s + error);
                return finish(1);
            }
            m_failures << directory;
            m_failureRecords.append(
                QJsonObject{{u"run"_s, failure.number},
                            {u"directory"_s, QFileInfo(directory).fileName()},
                            {u"failed"_s, QJsonArray::fromStringList(failure.outcome.failed)},
                            {u"shrunk"_s, failure.shrinkSummary},
                            {u"replays"_s, failure.replays},
                            {u"replaysFailed"_s, failure.replaysFailed},
                            {u"flaky"_s, failure.flaky()}});
            QStringList said;
            if (!failure.shrinkSummary.isEmpty())
                said << failure.shrinkSummary;
            if (failure.replays > 0)
                said << u"it "_s + failure.replaysText() + (failure.flaky() ? u": FLAKY"_s : QString());
            printToStderr(QStringLiteral("  run %1%2 -> %3")
                              .arg(failure.number)
                              .arg(said.isEmpty() ? QString() : u", "_s + said.join(u"; "_s), directory));
        }
        m_concluded.erase(it);
        m_nextRecord += m_options.onlyRun ? 1 : m_options.shardCount;
    }
}

void ExploreRunner::writeRecord(int status)
{
    QJsonObject record{{u"scenario"_s, m_options.scenarioPath},
                       {u"seed"_s, QString::number(m_options.seed)},
                       {u"runs"_s, m_options.runs},
                       {u"search"_s, guided() ? u"guided"_s : u"random"_s},
                       {u"swarm"_s, m_options.draw == ExploreDraw::Swarm},
                       {u"status"_s, status},
                       {u"failures"_s, m_failureRecords}};
    if (m_options.shardCount > 1)
        record.insert(u"shard"_s,
                      QJsonObject{{u"index"_s, m_options.shardIndex}, {u"count"_s, m_options.shardCount}});
    if (m_options.onlyRun)
        record.insert(u"only_run"_s, *m_options.onlyRun);
    QJsonArray played;
    for (const auto& [number, failed] : m_played)
        played.append(QJsonObject{{u"run"_s, number}, {u"failed"_s, QJsonArray::fromStringList(failed)}});
    record.insert(u"played"_s, played);
    QString error;
    if (!writeExplorationRecord(m_options.outDir, record, m_options.scenario.name, &error))
        printToStderr(u"Cannot write the exploration's record: "_s + error);
}

void ExploreRunner::finish(int status)
{
    if (std::exchange(m_finished, true))
        return;
    m_inFlight.clear();
    m_shrinks.clear();
    m_confirms.clear();
    writeRecord(status);
    printToStderr(QStringLiteral("Explored %1 in %2 from seed %3: %4 failed%5%6")
                      .arg(plural(qsizetype(m_played.size()), u"run"_s), seconds(m_clock.elapsed()))
                      .arg(m_options.seed)
                      .arg(m_failures.size())
                      .arg(m_flaky > 0 ? QStringLiteral(", %1 of them flaky").arg(m_flaky) : QString())
                      .arg(m_failures.isEmpty() ? QString() : u" ("_s + m_failures.join(u", "_s) + u')'));
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}
