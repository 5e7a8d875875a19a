"""unitsim.Simulator against the real program, through real sockets on loopback."""

import os
import socket
import subprocess
import sys
import tempfile
import time

import pytest

from unitsim import Simulator, UnitSimError

CHANNEL_QUERY = bytes([0, 50] + [0] * 26 + [255])


def set_channels_frame(values):
    return bytes([0, 0] + values + [0] * (24 - len(values)) + [0, 0, 255])


@pytest.fixture
def client():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(2)
    yield sock
    sock.close()


def test_units_answer_on_their_own_addresses_and_the_api_steers_them(client):
    with Simulator(units=3, profile=5, seed=7) as sim:
        units = sim.units()
        assert [u["profile"] for u in units] == [5, 5, 5]
        addresses = [u["address"] for u in units]
        assert len(set(addresses)) == 3 and all(a.startswith("127.") for a in addresses)
        assert sim.endpoint(2) == (addresses[2], 4005)

        sim.set_channels([9, 8, 7], unit=1)
        client.sendto(CHANNEL_QUERY, sim.endpoint(1))
        reply, sender = client.recvfrom(100)
        assert sender == sim.endpoint(1)
        assert reply[:5] == bytes([254, 50, 9, 8, 7]) and len(reply) == 29

        client.sendto(set_channels_frame([200, 100]), sim.endpoint(0))
        held = sim.wait_for(command="set-channels", units="0", bytes=[{"position": 2, "equals": 200}])
        assert held and held["count"] == 1
        missed = sim.verify(command="set-channels", at_least=2)
        assert not missed
        assert "near miss" in str(missed) and "not matched: 1 matching requests" in str(missed)

        sim.set_profile(7, unit=2)
        assert sim.endpoint(2) == (addresses[2], 4007)
        client.sendto(b"X", (addresses[2], 65535))
        assert client.recvfrom(100)[0].startswith(b"ALED")

        page = sim.log()
        assert page.first == 0 and page.next == len(page) == 5
        assert sim.log(since=page.next) == [] and len(sim.log(tail=2)) == 2
        assert sim.health() == {"ready": True, "units": 3, "listening": 3}


def test_faults_captures_and_errors(client, tmp_path):
    with Simulator() as sim:
        rule = sim.add_fault("drop,on=channel-query")
        assert [f["id"] for f in sim.faults()] == [rule]
        client.sendto(CHANNEL_QUERY, sim.endpoint())
        with pytest.raises(socket.timeout):
            client.settimeout(0.3)
            client.recvfrom(100)
        sim.remove_fault(rule)
        client.settimeout(2)
        client.sendto(CHANNEL_QUERY, sim.endpoint())
        assert len(client.recvfrom(100)[0]) == 29

        pcap = sim.capture(tmp_path / "deep" / "traffic.pcap")
        assert pcap.read_bytes()[:4] == bytes.fromhex("d4c3b2a1")  # little-endian pcap
        with pytest.raises(UnitSimError) as refused:
            sim.add_fault("explode")
        assert refused.value.status == 400 and "explode" in str(refused.value)
        with pytest.raises(ValueError):
            sim.set_channels([0] * 25)
        assert sim.expectations()["state"] == "none"
    assert sim.stop() == 0  # twice is harmless
    with pytest.raises(UnitSimError, match="not running"):
        sim.health()


def test_a_start_that_fails_says_why_in_the_simulators_words():
    with pytest.raises(UnitSimError) as failed:
        Simulator(faults=["drop,chance=2"])
    assert "chance" in str(failed.value)
    with pytest.raises(UnitSimError, match="not found"):
        Simulator(binary="/nonexistent/unit-simulator")
    with pytest.raises(ValueError):
        Simulator(scenario="x.yaml", units=2)


def test_a_shared_lock_directory_others_can_write_is_refused(tmp_path, monkeypatch):
    # Another user made the directory of address locks first, writable by all: they could plant
    # links where the locks go (and a lock opened for writing would empty what a link names).
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    shared = tmp_path / ("unitsim-addresses-%d" % os.getuid())
    shared.mkdir()
    shared.chmod(0o777)
    with pytest.raises(UnitSimError, match="not a directory of this user's alone"):
        Simulator()


def test_an_address_someone_else_holds_is_refused_and_a_drawn_one_is_never_shared():
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("127.0.9.1", 4000))
    try:
        with pytest.raises(UnitSimError, match="cannot listen"):
            Simulator(address="127.0.9.1")
    finally:
        holder.close()
    simulators = [Simulator(units=2) for _ in range(4)]
    try:
        addresses = [u["address"] for sim in simulators for u in sim.units()]
        assert len(set(addresses)) == 8
    finally:
        for sim in simulators:
            sim.stop()


def test_a_scenario_is_ready_once_it_plays_and_its_verdict_is_the_exit_status(tmp_path, client):
    scenario = tmp_path / "s.yaml"
    scenario.write_text(
        "version: 1\nunits:\n  - {count: 1, first: 127.0.9.1}\nend: 1m\n"
        "expect:\n  - name: set twice\n    verify: {command: set-channels, at_least: 2}\n")
    sim = Simulator(scenario=scenario)
    try:
        assert sim.health()["scenario"] == "running"
        client.sendto(set_channels_frame([1]), ("127.0.9.1", 4000))
        assert sim.wait_for(command="set-channels")
        assert sim.expectations()["state"] == "running"
    finally:
        assert sim.stop() == 4  # one set-channels of two: failed


def test_a_second_play_of_a_scenario_at_fixed_addresses_is_refused_with_the_reason(tmp_path):
    scenario = tmp_path / "fixed.yaml"
    scenario.write_text("version: 1\nunits:\n  - {count: 2, first: 127.0.14.1}\n")
    with Simulator(scenario=scenario):
        with pytest.raises(UnitSimError) as second:
            Simulator(scenario=scenario)
    assert "puts its units at fixed addresses, and another program" in str(second.value)
    assert "run them one at a time" in str(second.value)
    assert "127.0.14.1" in str(second.value)  # the simulator's own words on what it could not bind


def test_the_simulator_ends_with_the_test_that_started_it():
    # A test process killed outright cannot stop its simulator: the pipe to its standard input
    # closes with the test, and that ends it.
    test = subprocess.Popen([sys.executable, "-c", (
        "import sys, unitsim; sim = unitsim.Simulator(); print(sim.pid, flush=True); sys.stdin.read()")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    simulator = int(test.stdout.readline())
    assert os.path.exists("/proc/%d" % simulator)
    test.kill()
    test.wait()
    deadline = time.monotonic() + 5
    while os.path.exists("/proc/%d" % simulator) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not os.path.exists("/proc/%d" % simulator)
