"""The live page, in Debian's Chromium (headless, driven by Selenium), against the simulator
serving controller-check.yaml with a control token while the sample controller runs: the page
asks for the token once and keeps it for the tab (never in a URL), connects to the stream, shows
the rebooting unit change state on its grid and back, and draws the run's picture as it grows.

Runs in a network namespace of its own (the scenario takes the fixed ports).
Usage: python3 -m pytest tests/browser/test_dashboard.py  (UNITSIM_BUILD: the build folder)
"""
import os
import subprocess
import time

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BUILD = os.environ.get("UNITSIM_BUILD", "build")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCENARIO = os.path.join(SOURCE, "examples", "scenarios", "controller-check.yaml")
TOKEN = "dashboard-secret"
CONTROL = "127.0.0.1:8080"
# At time scale 0.25 the scenario's 6 s take 24: the reboot of unit 2 (1.5 s to 3 s) is
# from 6 s to 12 s of the run, room enough to see it from a page that is still connecting.
TIME_SCALE = "0.25"
WAIT_S = 40


@pytest.fixture(scope="module")
def simulator():
    environment = dict(os.environ, UNITSIM_CONTROL_TOKEN=TOKEN)
    process = subprocess.Popen(
        [os.path.join(BUILD, "unit-simulator"), "--headless", "--quiet", "--scenario", SCENARIO,
         "--control", CONTROL, "--time-scale", TIME_SCALE],
        env=environment, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + WAIT_S
    for line in process.stderr:
        if "units listening" in line or time.monotonic() > deadline:
            break
    controller = subprocess.Popen(
        [os.path.join(BUILD, "sample-controller"), "--discover", "127.255.255.255", "--seconds", "30"],
        stdout=subprocess.DEVNULL)
    yield process
    controller.kill()
    process.terminate()
    process.wait(timeout=WAIT_S)
    controller.wait(timeout=WAIT_S)


def wait(browser, condition, seconds=WAIT_S):
    return WebDriverWait(browser, seconds, poll_frequency=0.05).until(lambda d: d.execute_script(condition))


def test_the_page_asks_for_the_token_once_and_follows_the_run(simulator, browser):
    browser.get("http://%s/" % CONTROL)
    form = browser.find_element(By.ID, "token-form")
    WebDriverWait(browser, WAIT_S).until(lambda d: form.is_displayed())
    assert "needs its control token" in browser.find_element(By.ID, "connection").text
    browser.find_element(By.ID, "token").send_keys(TOKEN)
    browser.find_element(By.CSS_SELECTOR, "#token-form button").click()
    wait(browser, "return window.live.updates > 0")
    assert browser.find_element(By.ID, "connection").text == "Live"
    assert TOKEN not in browser.current_url
    assert browser.execute_script("return window.live.addresses") == [
        "127.0.7.1", "127.0.7.2", "127.0.7.3", "127.0.7.4"]

    # Unit 2 reboots and comes back; unit 1 goes offline a while. The grid shows both.
    wait(browser, "return window.live.states[2] === 'r'")
    assert "rebooting" in browser.find_element(By.ID, "unit-counts").text
    wait(browser, "return window.live.states[1] === 'o'")
    wait(browser, "return window.live.states === 'aaaa' && window.live.runs > 1")
    # The picture of the run: the reboot on its unit's row, the expectations in the table.
    reboots = browser.execute_script("""
        const chart = window.report.timeline;
        return chart.data.datasets.find(d => d.label === 'rebooting').data
            .filter(b => b.y === '127.0.7.3').map(b => b.x);""")
    assert len(reboots) == 1 and abs(reboots[0][0] - 1.5) < 0.2, reboots
    names = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "#expectations td:first-child")]
    assert "channels set again after a reboot" in names
    # The log's tail fills, and a filter on a unit shows only its lines.
    wait(browser, "return document.querySelectorAll('#log div').length > 10")
    browser.find_element(By.ID, "filter-unit").send_keys("127.0.7.2")
    # Read at once: the tail is drawn anew with each update.
    shown = browser.execute_script("return [...document.querySelectorAll('#log div')].map(d => d.textContent)")
    assert shown and all(line.startswith("127.0.7.2") for line in shown), shown[:5]

    # Kept for the tab: the page loaded again asks for nothing.
    browser.refresh()
    wait(browser, "return !!window.live && window.live.updates > 0")
    assert not browser.find_element(By.ID, "token-form").is_displayed()


def test_a_wrong_token_is_asked_for_again(simulator, browser):
    browser.get("http://%s/" % CONTROL)
    browser.execute_script("sessionStorage.setItem('unitsim-control-token', 'wrong')")
    browser.refresh()
    form = browser.find_element(By.ID, "token-form")
    WebDriverWait(browser, WAIT_S).until(lambda d: form.is_displayed())
    assert browser.execute_script("return sessionStorage.getItem('unitsim-control-token')") is None
