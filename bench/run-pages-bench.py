#!/usr/bin/env python3
"""The run's picture and the live page at scale: a fleet of 1,000 units polled at 20,000 requests a
second for 50 s (a million requests, two million log lines), with a reboot and an outage, played
with --report-html and the control API, while the live page follows it in Debian's headless
Chromium.

- The live page under that load: how many updates came (four a second is all the feed sends),
  how late they came (the simulator's clock to the page's, median and p99: a backlog in the
  stream would show here), how many bytes, and the page's frame times (median, p99) measured
  with requestAnimationFrame over the run.
- The report of that run: its size and how long Chromium takes to draw it (from the start of
  loading to the charts drawn). Targets: under 5 MB, under 2 s.

Runs inside a network namespace of its own (loopback only; the fleet takes the fixed ports). Prints
the figures with PASS or MISS; exits 0 either way.
Usage: BUILD=build bench/run-pages-bench.py   (as root, or where user namespaces are allowed)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.environ.get("BUILD", "build")
SIMULATOR = os.path.join(BUILD, "unit-simulator")
LOADGEN = os.path.join(BUILD, "bench", "loadgen")
UNITS = 1000
RATE = 20000
SECONDS = 50
CONTROL = "127.0.0.1:8091"
SCENARIO = """version: 1
name: pages-bench
units:
  - {count: %d, first: 127.0.1.1}
timeline:
  - {at: 5s, units: 0-9, reboot: {for: 3s}}
  - {at: 20s, units: 100-199, offline: {for: 5s}}
end: %ds
expect:
  - {name: no unit flooded, max_rate: {per_unit: 50/s}}
  - {name: every unit polled, poll_coverage: {every: 2s, warm_up: 3s}}
""" % (UNITS, SECONDS + 5)


def row(figure, measured, target="", verdict=""):
    print("%-58s %14s   %-12s %s" % (figure, measured, target, verdict), flush=True)


def browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,1600", "--user-data-dir=" + profile):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def main():
    if os.environ.get("UNITSIM_OWN_NETWORK") != "1":
        here = os.path.dirname(os.path.abspath(__file__))
        os.execvp("unshare", ["unshare", "--net"] + ([] if os.getuid() == 0 else ["--map-root-user"]) +
                  ["sh", "-c", "ip link set lo up && UNITSIM_OWN_NETWORK=1 exec /usr/bin/python3 \"$0\"",
                   os.path.abspath(__file__)])
    for program in (SIMULATOR, LOADGEN):
        if not os.access(program, os.X_OK):
            sys.exit("%s is missing: make build first" % program)
    work = tempfile.mkdtemp()
    try:
        scenario = os.path.join(work, "pages.yaml")
        report = os.path.join(work, "report.html")
        with open(scenario, "w") as out:
            out.write(SCENARIO)
        print("== pages bench: %d units, %d requests a second for %d s" % (UNITS, RATE, SECONDS))
        simulator = subprocess.Popen([SIMULATOR, "--headless", "--quiet", "--scenario", scenario, "--report-html",
                                      report, "--control", CONTROL], stderr=subprocess.PIPE, text=True)
        for line in simulator.stderr:
            if "units listening" in line:
                break
        load = subprocess.Popen([LOADGEN, "roundrobin", "127.0.1.1", str(UNITS), "4000", str(RATE), str(SECONDS)],
                                stdout=subprocess.PIPE, text=True)
        driver = browser(os.path.join(work, "live"))
        driver.get("http://%s/" % CONTROL)
        # Frame times, from the page's own clock, while the load runs.
        driver.execute_script("""
            window.frames_ = []; let last = performance.now();
            const step = now => { window.frames_.push(now - last); last = now; requestAnimationFrame(step); };
            requestAnimationFrame(step);""")
        started = time.monotonic()
        load_out = load.communicate()[0]
        live = driver.execute_script(
            "return {updates: live.updates, runs: live.runs, bytes: live.bytes, lags: live.lags, "
            "frames: window.frames_, states: live.states.length}")
        elapsed = time.monotonic() - started
        driver.quit()
        answered = dict(line.split("=", 1) for line in load_out.split() if "=" in line)
        row("requests sent / answered", "%s / %s" % (answered.get("sent", "?"), answered.get("answered", "?")))
        row("live page: units on its grid", str(live["states"]), "= %d" % UNITS,
            "PASS" if live["states"] == UNITS else "MISS")
        row("live page: updates a second", "%.2f" % (live["updates"] / elapsed), "<= 4.2",
            "PASS" if live["updates"] / elapsed <= 4.2 else "MISS")
        row("live page: pictures of the run", str(live["runs"]))
        row("live page: kB a second from the stream", "%.0f" % (live["bytes"] / elapsed / 1000))
        row("live page: update lag median / p99 (ms)",
            "%.0f / %.0f" % (statistics.median(live["lags"]), percentile(live["lags"], 0.99)), "p99 < 1000",
            "PASS" if percentile(live["lags"], 0.99) < 1000 else "MISS")
        frames = live["frames"][1:]
        row("live page: frame time median / p99 (ms)",
            "%.1f / %.1f" % (statistics.median(frames), percentile(frames, 0.99)), "p99 < 100",
            "PASS" if percentile(frames, 0.99) < 100 else "MISS")

        simulator.wait(timeout=SECONDS + 60)
        size = os.path.getsize(report)
        driver = browser(os.path.join(work, "report"))
        opened = time.monotonic()
        driver.get("file://" + report)
        while not driver.execute_script("return !!(window.report && window.report.ready)"):
            if time.monotonic() - opened > 60:
                break
            time.sleep(0.05)
        drawn = driver.execute_script("return window.report && window.report.drawnAt")
        driver.quit()
        row("report.html of the run: size (MB)", "%.2f" % (size / 1e6), "< 5", "PASS" if size < 5e6 else "MISS")
        row("report.html: drawn in Chromium (s)", "%.2f" % (drawn / 1000 if drawn else float("nan")), "< 2",
            "PASS" if drawn and drawn < 2000 else "MISS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
