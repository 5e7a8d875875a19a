"""pytest fixtures: ``unitsim``, a simulator for one test, and ``unitsim_factory`` for more.

Registered through the package's ``pytest11`` entry point: installing the package is enough.

    def test_the_unit_answers(unitsim):
        controller = MyController(*unitsim.endpoint())
        controller.poll()
        assert unitsim.verify(command="channel-query", at_least=1)

    @pytest.mark.unitsim(units=4, profile=3, faults=["drop,every=2"])
    def test_four_units(unitsim): ...

    def test_two_fleets(unitsim_factory):
        near, far = unitsim_factory(units=2), unitsim_factory(units=8, profile=5)

Each simulator has addresses of its own, so tests in parallel processes never share units. When a
test fails, the last lines of each simulator's log are added to its report and the capture of
its traffic is saved beside the report (``--unitsim-artifacts DIR``; by default the folder of
``--junitxml``, else ``unitsim-artifacts`` in the rootdir).
"""

import re
from pathlib import Path

import pytest

from .simulator import Simulator, UnitSimError

# Log lines a failed test's report shows, per simulator.
REPORT_LOG_LINES = 40

_simulators = pytest.StashKey[list]()


def pytest_addoption(parser):
    group = parser.getgroup("unitsim", "simulated lighting units")
    group.addoption("--unitsim-binary", metavar="PATH", default=None,
                    help="the unit-simulator program (default: $UNITSIM_BINARY, else the one on PATH)")
    group.addoption("--unitsim-artifacts", metavar="DIR", default=None,
                    help="where a failed test's captures go (default: beside the --junitxml report, "
                         "else unitsim-artifacts in the rootdir)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "unitsim(**options): how the unitsim fixture starts its simulator (units, profile, "
                   "scenario, faults, seed, address, args)")


@pytest.fixture
def unitsim_factory(request):
    """Starts simulators for this test: unitsim_factory(**options) takes Simulator's options.
    Each is stopped when the test ends."""
    made = request.node.stash.setdefault(_simulators, [])
    binary = request.config.getoption("unitsim_binary")

    def make(**options):
        options.setdefault("binary", binary)
        simulator = Simulator(**options)
        made.append(simulator)
        return simulator

    yield make
    for simulator in made:
        simulator.stop()


@pytest.fixture
def unitsim(request, unitsim_factory):
    """A simulator for this test: one unit of profile 0 unless ``@pytest.mark.unitsim(...)`` says."""
    marker = request.node.get_closest_marker("unitsim")
    return unitsim_factory(**(marker.kwargs if marker else {}))


def _artifacts_dir(config):
    chosen = config.getoption("unitsim_artifacts")
    if chosen:
        return Path(chosen)
    junit = config.getoption("xmlpath", None)
    if junit:
        return Path(junit).resolve().parent
    return Path(config.rootpath) / "unitsim-artifacts"


def _file_name(nodeid):
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", nodeid).strip("_")[:180]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    simulators = item.stash.get(_simulators, [])
    for number, simulator in enumerate(simulators, 1):
        name = "unitsim" if len(simulators) == 1 else "unitsim %d" % number
        lines = []
        if simulator.running:
            capture = _artifacts_dir(item.config) / ("%s%s.pcap" % (
                _file_name(item.nodeid), "" if len(simulators) == 1 else "-%d" % number))
            try:
                simulator.capture(capture)
                lines.append("capture: %s" % capture)
                # JUnit XML takes the properties of the test's last report (its teardown's).
                item.user_properties.append(("%s capture" % name, str(capture)))
            except (UnitSimError, OSError) as error:
                lines.append("the capture could not be saved: %s" % error)
            try:
                page = simulator.log(tail=REPORT_LOG_LINES)
                lines.append("last %d of %d log lines:" % (len(page), page.next))
                lines.extend(page.texts())
            except UnitSimError as error:
                lines.append("the log could not be read: %s" % error)
        else:
            lines.append("the simulator had ended (status %s); its last words:" % simulator.returncode)
            lines.extend(simulator.stderr_tail(20))
        for answer in simulator.unmatched:
            lines.append("verify, %s" % answer)
        report.sections.append(("%s: %r" % (name, simulator), "\n".join(lines)))
