"""The picture of a run, opened in Debian's Chromium (headless, driven by Selenium): a controller
that never sets a rebooted unit's channels again fails controller-check.yaml; its report.html shows
the failure marker on the rebooted unit's row at the moment the check gave up, and a click on it
shows the evidence with what the controller sent that unit before and after.

Runs in a network namespace of its own (the scenario takes the fixed ports); the page is opened
from a file, with nothing fetched.
Usage: python3 -m pytest tests/browser/test_report.py  (UNITSIM_BUILD: the build folder)
"""
import os
import subprocess
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BUILD = os.environ.get("UNITSIM_BUILD", "build")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCENARIO = os.path.join(SOURCE, "examples", "scenarios", "controller-check.yaml")
# Bounds on waiting for the run (6 s of scenario) and for the page to draw.
RUN_TIMEOUT_S = 60
PAGE_TIMEOUT_S = 30


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """The report.html of controller-check.yaml against a controller with the no-resend habit."""
    folder = tmp_path_factory.mktemp("report")
    page = folder / "report.html"
    simulator = subprocess.Popen(
        [os.path.join(BUILD, "unit-simulator"), "--headless", "--quiet", "--scenario", SCENARIO,
         "--report-html", str(page)], stderr=subprocess.PIPE, text=True)
    # The controller starts once the units listen: the simulator says so on standard error.
    deadline = time.monotonic() + RUN_TIMEOUT_S
    said = []
    for line in simulator.stderr:
        said.append(line)
        if "units listening" in line or time.monotonic() > deadline:
            break
    controller = subprocess.Popen(
        [os.path.join(BUILD, "sample-controller"), "--discover", "127.255.255.255", "--seconds", "8",
         "--habit", "no-resend"], stdout=subprocess.DEVNULL)
    said += simulator.stderr.readlines()
    assert simulator.wait(timeout=RUN_TIMEOUT_S) == 4, "".join(said)
    controller.wait(timeout=RUN_TIMEOUT_S)
    assert page.exists(), "".join(said)
    return page


def open_report(browser, page):
    browser.get(page.as_uri())
    WebDriverWait(browser, PAGE_TIMEOUT_S).until(
        lambda d: d.execute_script("return !!(window.report && window.report.ready)"))


def test_the_failure_marker_sits_on_its_unit_when_it_failed(report, browser):
    open_report(browser, report)
    failures = browser.execute_script("return window.report.run.failures")
    resend = [f for f in failures if f["expectation"] == "channels set again after a reboot"]
    assert len(resend) == 1, failures
    failure = resend[0]
    # Unit 2 (127.0.7.3) is back at 3 s; the check gives up 2 s later.
    assert failure["unit"] == 2
    assert 4.95 <= failure["at"] <= 5.3, failure
    where = browser.execute_script("""
        const chart = window.report.timeline;
        const set = chart.data.datasets.findIndex(d => d.label === 'failure');
        const k = chart.data.datasets[set].data.findIndex(p => p.index === arguments[0]);
        const point = chart.getDatasetMeta(set).data[k];
        const rebooting = chart.data.datasets.find(d => d.label === 'rebooting').data;
        return {x: point.x, y: point.y, label: chart.data.datasets[set].data[k].y,
                xAt: chart.scales.x.getPixelForValue(arguments[1]),
                yAt: chart.scales.y.getPixelForValue(chart.scales.y.getLabels().indexOf('127.0.7.3')),
                reboots: rebooting.filter(b => b.y === '127.0.7.3').map(b => b.x),
                width: chart.canvas.getBoundingClientRect().width,
                height: chart.canvas.getBoundingClientRect().height};
    """, failures.index(failure), failure["at"])
    assert where["label"] == "127.0.7.3"
    assert abs(where["x"] - where["xAt"]) < 1 and abs(where["y"] - where["yAt"]) < 1, where
    # Its row shows the reboot it follows.
    assert len(where["reboots"]) == 1, where
    assert abs(where["reboots"][0][0] - 1.5) < 0.1 and abs(where["reboots"][0][1] - 3.0) < 0.1, where

    # A click on the marker shows what happened there.
    canvas = browser.find_element(By.ID, "timeline")
    ActionChains(browser).move_to_element_with_offset(
        canvas, int(where["x"] - where["width"] / 2), int(where["y"] - where["height"] / 2)).click().perform()
    detail = browser.find_element(By.ID, "detail")
    WebDriverWait(browser, PAGE_TIMEOUT_S).until(lambda d: detail.is_displayed())
    assert "127.0.7.3 got no set-channels within 2 s of being back" in detail.text
    assert "after event" in detail.text  # the evidence names the event it follows
    lines = detail.find_elements(By.CSS_SELECTOR, ".line")
    sides = [line.get_attribute("class").split()[1] for line in lines]
    assert sides.count("it") == 1 and "before" in sides and "after" in sides, sides
    before = [line.text for line in lines if "before" in line.get_attribute("class")]
    assert any("back after reboot" in text for text in before), before
    assert any("127.0.7.3 <--" in text for text in before), before  # what the controller sent it
    # The rate chart follows the failing unit.
    assert browser.find_element(By.ID, "rate-unit").get_attribute("value") == "2"


def test_the_page_needs_nothing_from_elsewhere(report, browser):
    open_report(browser, report)
    fetched = browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => e.name)")
    assert fetched == []
    assert browser.execute_script("return document.querySelectorAll('[src], [href]').length") == 0
    verdicts = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "#expectations td:nth-child(2)")]
    assert verdicts.count("FAILED") >= 1 and "PASSED" in verdicts, verdicts
