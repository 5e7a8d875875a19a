#!/usr/bin/env python3
"""Exploring at the controller's own pace: runs of 20 s at time scale 1 against the sample
controller, whose hidden bug needs two things on one unit at once (a silence of 2.4 s or more,
then a reply later than its timeout).

- Runs per minute at --jobs 1 and --jobs 2, with the well-behaved controller (which must pass
  every run: no false failure), each over RUNS runs drawn at random.
- Time to the first failure, median over SEEDS seeds, guided (the default) against --search
  random, at --jobs 1 and 2 (JOBS): the exploration is stopped at its first failing run. Run K
  is the same whatever --jobs, so the first failing run is too; only the time differs. Seeds play
  side by side (AT_ONCE of them): their runs wait on the controller's pace, not on the CPUs.

Everything stays on loopback inside the runs' own network namespaces. Prints the figures with
PASS or MISS against the targets; exits 0 either way (a busy machine misses for its own reasons).
Usage: BUILD=build bench/run-explore-bench.py   (SEEDS=10 RUNS=8 CAP_S=900 JOBS="1 2" to change; PACE=0
skips the pace; TIME_SCALE=10 tries it all faster, SCENARIO=FILE on another scenario; AT_ONCE=2
seeds play at once, as runs wait on the controller's pace rather than on the CPUs)
"""
import os
import concurrent.futures
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.environ.get("BUILD", "build")
SEEDS = int(os.environ.get("SEEDS", "10"))
RUNS = int(os.environ.get("RUNS", "8"))
CAP_S = float(os.environ.get("CAP_S", "900"))  # a seed that finds nothing by then counts as CAP_S
PACE = os.environ.get("PACE", "1") != "0"
TIME_SCALE = os.environ.get("TIME_SCALE", "1")
AT_ONCE = int(os.environ.get("AT_ONCE", "2"))
JOBS = [int(jobs) for jobs in os.environ.get("JOBS", "1 2").split()]
SIMULATOR = os.path.join(BUILD, "unit-simulator")
CONTROLLER = os.path.join(BUILD, "sample-controller")

# The scenario: four units, runs of 20 s, reboots, outages, delayed and dropped replies.
SCENARIO = os.environ.get("SCENARIO", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                   "examples", "scenarios", "explore-realtime.yaml"))


def controller(habit):
    return "exec %s --discover 127.255.255.255 --seconds 600 --habit %s" % (CONTROLLER, habit)


# The explorations under way, ended with the bench (each in a session of its own: its plays end
# their controllers when it goes).
running = set()


def end_running(*_):
    for process in list(running):
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    # At once: the pool's threads would go on starting explorations while it waits for them.
    os._exit(1)


def explore(scenario, out, habit, more, stop_at_failure=False):
    """Runs an exploration; its wall time, its standard error, and when its first run failed."""
    args = [SIMULATOR, "--explore", scenario, "--controller", controller(habit), "--out", out,
            "--confirm", "0", "--time-scale", TIME_SCALE] + more
    start = time.monotonic()
    process = subprocess.Popen(args, stderr=subprocess.PIPE, text=True, start_new_session=True)
    running.add(process)
    lines = []
    first_failure = None
    deadline = start + CAP_S
    for line in process.stderr:
        lines.append(line)
        if first_failure is None and re.match(r"Run \d+/\d+ .*\): FAILED", line):
            first_failure = time.monotonic() - start
            if stop_at_failure:
                break
        if time.monotonic() > deadline:
            break
    if process.poll() is None:
        # Its plays' processes go with it (they end their controllers when it does).
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    running.discard(process)
    return time.monotonic() - start, "".join(lines), first_failure


def first_failures(scenario, work, jobs):
    """The median time to the first failure at `jobs`, guided against random, over SEEDS seeds."""
    times = {"guided": [], "random": []}
    runs = {"guided": [], "random": []}  # the first failing run's number: the same at any --jobs

    def first_failure(seed, search):
        _, err, failed = explore(scenario, os.path.join(work, "first-%s-%d-%d" % (search, jobs, seed)), "hidden-bug",
                                 ["--runs", "1000", "--jobs", str(jobs), "--search", search, "--seed", str(seed)],
                                 stop_at_failure=True)
        times[search].append(failed if failed is not None else CAP_S)
        number = re.search(r"^Run (\d+)/\d+ .*\): FAILED", err, re.M)
        if number:
            runs[search].append(int(number.group(1)))
        print("   --jobs %d, seed %2d, %-6s first failure after %s" % (
            jobs, seed, search, "%.0f s, at run %s" % (failed, number.group(1)) if failed is not None
            else "none within %.0f s" % CAP_S), flush=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=2 * AT_ONCE) as pool:
        for future in [pool.submit(first_failure, seed, search)
                       for seed in range(1, SEEDS + 1) for search in ("guided", "random")]:
            future.result()
    for search in ("guided", "random"):
        if runs[search]:
            row("--jobs %d: median run of the first failure, %s (of those found)" % (jobs, search),
                "%.1f" % statistics.median(runs[search]))
    medians = {search: statistics.median(values) for search, values in times.items()}
    for search in ("guided", "random"):
        row("--jobs %d: median time to the first failure, %s" % (jobs, search), "%.0f s" % medians[search])
    share = medians["guided"] / medians["random"] if medians["random"] > 0 else float("nan")
    row("--jobs %d: guided against random" % jobs, "%.2fx" % share, "<= 0.5x", "PASS" if share <= 0.5 else "MISS")


def row(figure, measured, target="", verdict=""):
    print("%-58s %14s   %-22s %s" % (figure, measured, target, verdict))


def main():
    signal.signal(signal.SIGTERM, end_running)
    signal.signal(signal.SIGINT, end_running)
    for program in (SIMULATOR, CONTROLLER):
        if not os.access(program, os.X_OK):
            sys.exit("%s is missing: make build first" % program)
    with tempfile.TemporaryDirectory() as work:
        scenario = SCENARIO
        print("== explore bench: runs of 20 s at time scale %s, %d runs for the pace, %d seeds" % (
            TIME_SCALE, RUNS if PACE else 0, SEEDS))
        pace = {}
        for jobs in ((1, 2) if PACE else ()):
            seconds, err, failed = explore(scenario, os.path.join(work, "pace-%d" % jobs), "none",
                                           ["--runs", str(RUNS), "--jobs", str(jobs), "--search", "random",
                                            "--seed", "1"])
            passed = err.count(": passed in ")
            pace[jobs] = RUNS * 60 / seconds
            row("runs per minute, --jobs %d (well-behaved controller)" % jobs, "%.2f" % pace[jobs])
            row("  runs it passed, of %d (no false failure)" % RUNS, str(passed), "= %d" % RUNS,
                "PASS" if passed == RUNS and failed is None else "MISS")
        if PACE:
            ratio = pace[2] / pace[1]
            row("runs per minute, --jobs 2 against --jobs 1", "%.2fx" % ratio, ">= 1.8x",
                "PASS" if ratio >= 1.8 else "MISS")

        if SEEDS == 0:
            return
        for jobs in JOBS:
            first_failures(scenario, work, jobs)


if __name__ == "__main__":
    main()
