"""The pytest fixtures as a user's test run meets them: a pytest of its own (pytester), which
finds the plugin through the installed package's entry point."""

import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

PASSING = """
def test_unit_answers(unitsim):
    import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(2)
    s.sendto(bytes([0, 50] + [0] * 26 + [255]), unitsim.endpoint())
    assert len(s.recv(100)) == 29
    assert unitsim.verify(command="channel-query", exactly=1)
"""

FAILING = """
import socket
def test_wants_two_queries(unitsim_factory):
    near, far = unitsim_factory(units=2), unitsim_factory(profile=3)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(2)
    s.sendto(bytes([0, 50] + [0] * 26 + [255]), far.endpoint())
    s.recv(100)
    assert far.verify(command="status-query", exactly=1)
"""


def test_the_fixture_needs_only_the_installed_package(pytester):
    pytester.makepyfile(PASSING)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)


def test_a_failing_test_carries_each_simulators_log_and_capture(pytester):
    pytester.makepyfile(FAILING)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--junitxml=reports/junit.xml")
    result.assert_outcomes(failed=1)
    out = result.stdout.str()
    # The assertion names the answer on one line; the section of its simulator holds the nearest
    # misses, each on lines of their own (not joined by a literal "\n").
    assert "<not matched: 0 matching requests of 1; 1 near miss in the unitsim section>" in out
    assert "\\n" not in out
    lines = out.splitlines()
    assert "verify, not matched: 0 matching requests of 1" in lines
    miss = lines.index("verify, not matched: 0 matching requests of 1") + 1
    assert lines[miss].startswith("near miss, line 0: ")
    assert lines[miss + 1] == "  command channel-query, not status-query"
    assert "unitsim 1: <Simulator" in out and "unitsim 2: <Simulator" in out
    assert "last 2 of 2 log lines:" in out  # the query to the second simulator, and its reply
    assert "last 0 of 0 log lines:" in out
    captures = sorted((pytester.path / "reports").glob("*.pcap"))
    assert [c.name for c in captures] == [
        "test_a_failing_test_carries_each_simulators_log_and_capture.py_test_wants_two_queries-1.pcap",
        "test_a_failing_test_carries_each_simulators_log_and_capture.py_test_wants_two_queries-2.pcap"]
    assert captures[1].stat().st_size > captures[0].stat().st_size  # the second holds two datagrams
    properties = ElementTree.parse(pytester.path / "reports" / "junit.xml").findall(".//property")
    assert {p.get("name"): p.get("value") for p in properties}["unitsim 2 capture"] == str(captures[1])


def test_the_marker_sets_up_the_simulator(pytester):
    pytester.makepyfile("""
import pytest
@pytest.mark.unitsim(units=3, profile=8, faults=["drop,on=discovery"])
def test_marked(unitsim):
    units = unitsim.units()
    assert [u["unit_port"] for u in units] == [4007] * 3
    assert unitsim.faults()[0]["rule"].startswith("drop")
""")
    pytester.runpytest_subprocess("-p", "no:cacheprovider").assert_outcomes(passed=1)


def test_parallel_runs_never_share_units(pytester):
    # Two pytest processes at once, each three simulators at a time that wait until the other
    # process has its own: every unit hears exactly what its own test sent it.
    pytester.makepyfile(test_parallel="""
import os, pathlib, socket, time
import pytest

@pytest.mark.parametrize("round", range(3))
def test_own_units(unitsim_factory, round):
    sims = [unitsim_factory(units=2) for _ in range(3)]
    me, other = os.environ["RUN_NAME"], os.environ["OTHER_NAME"]
    pathlib.Path(f"{me}-{round}").touch()
    deadline = time.monotonic() + 20
    while not pathlib.Path(f"{other}-{round}").exists():
        assert time.monotonic() < deadline, "the other run never came"
        time.sleep(0.02)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(2)
    for n, sim in enumerate(sims):
        for unit in range(2):
            for _ in range(n + 1):
                s.sendto(bytes([0, 50] + [0] * 26 + [255]), sim.endpoint(unit))
                s.recv(100)
            s.sendto(b"X", (sim.address(unit), 65535))
            assert s.recvfrom(100)[1] == (sim.address(unit), 65535)
    for n, sim in enumerate(sims):
        for unit in range(2):
            assert sim.verify(units=str(unit), command="channel-query", exactly=n + 1)
            assert sim.verify(units=str(unit), command="discovery", exactly=1)
""")
    runs = []
    for me, other in (("a", "b"), ("b", "a")):
        environment = dict(os.environ, RUN_NAME=me, OTHER_NAME=other)
        runs.append(subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_parallel.py"],
                                     cwd=pytester.path, env=environment, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True))
    for run in runs:
        out = run.communicate(timeout=120)[0]
        assert run.returncode == 0, out
        assert "3 passed" in out
