"""One headless unit-simulator process on addresses of its own, and its control API."""

import collections
import fcntl
import json
import os
import random
import secrets
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

# How long a start may take before it is given up: binding, then the scenario starting.
START_TIMEOUT = 15.0
# How long stop() waits for the process to end after SIGTERM, before SIGKILL.
STOP_TIMEOUT = 10.0
# Starts with freshly drawn addresses after a start that could not bind its own.
START_ATTEMPTS = 5
# Lines of the simulator's standard error kept for a failed start's message.
STDERR_LINES = 200
UNMATCHED_KEPT = 3
# How often wait_for() asks again.
POLL_INTERVAL = 0.05

READY_LINE = "Control API listening on "


class UnitSimError(Exception):
    """What the simulator or its control API refused, with the API's own message.

    ``status`` is the HTTP status (0 when the simulator could not be started or reached)."""

    def __init__(self, message, status=0):
        super().__init__(message)
        self.status = status


class LogPage(list):
    """Log entries, oldest first, as the control API gives them; ``next`` is where to go on."""

    def __init__(self, entries, next_seq, first_seq):
        super().__init__(entries)
        self.next = next_seq
        self.first = first_seq

    def texts(self):
        """Each entry's line, as the window shows it."""
        return [entry["text"] for entry in self]


class Verification(dict):
    """The answer of POST /api/v1/verify. True when it matched; printed with its nearest misses,
    so that ``assert sim.verify(...)`` says what came instead."""

    def __bool__(self):
        return bool(self.get("matched"))

    def headline(self):
        return "%s: %d matching requests of %d" % (
            "matched" if self else "not matched", self.get("count", 0), self.get("scanned", 0))

    def __str__(self):
        lines = [self.headline()]
        if self.get("error"):
            lines.append("the log could not be read to its end: " + self["error"])
        for miss in self.get("nearMisses", []):
            lines.append("near miss, line %d: %s" % (miss["seq"], miss["text"]))
            lines.extend("  " + difference for difference in miss["differences"])
        return "\n".join(lines)

    def __repr__(self):
        # One line: pytest shows an assertion's values with their newlines as "\n". The whole
        # answer, near misses on lines of their own, goes into a failed test's unitsim section.
        misses = len(self.get("nearMisses", []))
        return "<%s%s>" % (self.headline(), "; %d near miss%s in the unitsim section" % (
            misses, "" if misses == 1 else "es") if misses else "")


def find_binary(binary=None):
    """The unit-simulator to run: `binary`, else $UNITSIM_BINARY, else the one on PATH."""
    candidate = binary or os.environ.get("UNITSIM_BINARY") or shutil.which("unit-simulator")
    if not candidate or not os.access(candidate, os.X_OK):
        raise UnitSimError("unit-simulator not found: install the package, put it on PATH or set "
                           "UNITSIM_BINARY to the program (tried %r)" % (candidate or "unit-simulator"))
    return str(candidate)


class _AddressBlock:
    """A block of loopback addresses 127.A.B.1 and on that no other fixture on this machine uses
    while this one holds it: a lock file per block, so that tests run in parallel processes never
    share units. (The simulator's own bind still refuses addresses another program holds.)"""

    def __init__(self):
        self._file = None
        self.first = None

    def take(self, rng):
        directory = Path(tempfile.gettempdir()) / ("unitsim-addresses-%d" % os.getuid())
        directory.mkdir(mode=0o700, exist_ok=True)
        # In a shared place: only a directory of this user's own, that nobody else can write in,
        # is used, and nothing in it is opened through a link (or emptied).
        info = os.lstat(directory)
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & 0o022:
            raise UnitSimError("%s is not a directory of this user's alone: remove it, or set TMPDIR"
                               % directory)
        for _ in range(1000):
            # 127.0.x and 127.1.x are where people and the examples put their units.
            a, b = rng.randint(64, 254), rng.randint(0, 255)
            fd = os.open(directory / ("127.%d.%d.lock" % (a, b)),
                         os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                continue
            self._file, self.first = fd, "127.%d.%d.1" % (a, b)
            return self.first
        raise UnitSimError("no free block of loopback addresses found")

    def release(self):
        if self._file is not None:
            os.close(self._file)
            self._file = None


class Simulator:
    """A headless unit-simulator with its control API on a free port of 127.0.0.1.

    units     how many units, on consecutive loopback addresses of their own (default 1; not
              with `scenario`, whose file names its units)
    profile   the units' profile, 0 to 8 (default 0)
    scenario  a scenario file to play; ready once it plays
    faults    fault rules, as --fault takes them, acting in the order given
    seed      the seed of every random draw, to repeat a run
    address   the first unit's address, instead of a block drawn for this simulator alone
    args      further command-line arguments
    binary    the program (default: $UNITSIM_BINARY, else unit-simulator on PATH)

    Raises UnitSimError with the simulator's own words when it cannot start."""

    UNIT_PAGE = 200  # units the API lists in one answer at most

    def __init__(self, units=None, profile=None, scenario=None, faults=(), seed=None, address=None,
                 args=(), binary=None, start_timeout=START_TIMEOUT):
        if scenario is not None and (units is not None or address is not None):
            raise ValueError("a scenario names its own units: give units or address without it")
        if isinstance(faults, str):
            faults = [faults]
        self._binary = find_binary(binary)
        self._token = secrets.token_hex(16)
        self._block = _AddressBlock()
        self._process = None
        self._stderr = collections.deque(maxlen=STDERR_LINES)
        # The last verifications that did not hold, for a failed test's report.
        self.unmatched = collections.deque(maxlen=UNMATCHED_KEPT)
        self._url = None
        self.returncode = None
        # Its standard input is a pipe this process holds: if the test dies, the simulator ends too.
        base = ["--headless", "--quiet", "--exit-with-stdin", "--control", "127.0.0.1:0"]
        if profile is not None:
            base += ["--profile", str(profile)]
        for rule in faults:
            base += ["--fault", rule]
        if seed is not None:
            base += ["--seed", str(seed)]
        if scenario is not None:
            base += ["--scenario", str(scenario)]
        base += [str(arg) for arg in args]

        rng = random.Random()
        attempts = 1 if (scenario is not None or address is not None) else START_ATTEMPTS
        for attempt in range(attempts):
            arguments = list(base)
            if scenario is None:
                first = address or self._block.take(rng)
                arguments += ["--units", "%d@%s" % (1 if units is None else units, first)]
            try:
                self._start(arguments, start_timeout)
                return
            except UnitSimError as error:
                self._block.release()
                cannot_bind = "units cannot listen" in str(error)
                if scenario is not None and cannot_bind:
                    # Its units are where the file puts them: no block of our own to move to.
                    raise UnitSimError(
                        "the scenario %s puts its units at fixed addresses, and another program (the "
                        "simulator of another test, say) holds them: tests that play a scenario are "
                        "not kept apart as tests with units= are, so run them one at a time; %s"
                        % (scenario, error)) from None
                if not cannot_bind or attempt + 1 == attempts:
                    raise

    # -- the process ----------------------------------------------------------------------------

    def _start(self, arguments, timeout):
        self._stderr.clear()
        ready = threading.Event()
        environment = dict(os.environ, UNITSIM_CONTROL_TOKEN=self._token)
        self._process = subprocess.Popen([self._binary] + arguments, stdin=subprocess.PIPE,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                         errors="replace", env=environment, start_new_session=True)

        def read_stderr(stream):
            # Read to the end, always: a full pipe would stop the simulator.
            for line in stream:
                line = line.rstrip("\n")
                self._stderr.append(line)
                if line.startswith(READY_LINE) and self._url is None:
                    self._url = line[len(READY_LINE):].strip()
                    ready.set()
            ready.set()

        threading.Thread(target=read_stderr, args=(self._process.stderr,), daemon=True).start()
        deadline = time.monotonic() + timeout
        if not ready.wait(timeout) or self._url is None:
            try:
                ended = self._process.wait(1)  # its standard error ended: so does it, as a rule
            except subprocess.TimeoutExpired:
                ended = None
            if ended is not None:
                self._fail("ended with status %d before it listened" % ended)
            self._fail("did not say it was listening within %.0f s" % timeout)
        while True:
            try:
                status, answer = self._request("GET", "/api/v1/health", accept=(200, 503))
            except UnitSimError as error:
                self._fail("did not answer on its control API (%s)" % error)
            if status == 200:
                return
            if self._process.poll() is not None:
                self._fail("ended with status %d" % self._process.returncode)
            if time.monotonic() > deadline:
                self._fail("was not ready within %.0f s: %s" % (timeout, answer.get("reason")))
            time.sleep(POLL_INTERVAL)

    def _fail(self, what):
        output = "\n".join(self._stderr)
        self._kill()
        self._url = None
        raise UnitSimError("unit-simulator %s:\n%s" % (what, output))

    def _kill(self):
        if self._process and self._process.poll() is None:
            self._process.kill()
        if self._process:
            self._process.wait()
            self._process.stdin.close()

    def stop(self, timeout=STOP_TIMEOUT):
        """Ends the simulator (SIGTERM, as Ctrl+C would; SIGKILL after `timeout`) and returns its
        exit status: 0, or 4 when a scenario's expectation failed. Stopping twice is harmless."""
        if self._process is None:
            return self.returncode
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self.returncode = self._process.returncode
        self._process.stdin.close()
        self._process = None
        self._url = None
        self._block.release()
        return self.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def __del__(self):
        try:
            self.stop()
        except Exception:
            pass

    def __repr__(self):
        where = "units from %s" % self._block.first if self._block.first else "the scenario's units"
        return "<Simulator %s, %s>" % (self._url or "stopped", where)

    @property
    def running(self):
        return self._process is not None and self._process.poll() is None

    @property
    def pid(self):
        return self._process.pid if self._process else None

    @property
    def control_url(self):
        """http://127.0.0.1:PORT of the control API."""
        return self._url

    @property
    def token(self):
        """The API's bearer token (drawn for this simulator)."""
        return self._token

    def stderr_tail(self, lines=50):
        """The simulator's last lines on standard error."""
        return list(self._stderr)[-lines:]

    # -- the control API ------------------------------------------------------------------------

    def _request(self, method, path, body=None, accept=(200, 201, 204), raw=False):
        if self._url is None:
            raise UnitSimError("the simulator is not running")
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self._url + path, data=data, method=method)
        request.add_header("Authorization", "Bearer " + self._token)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=30) as reply:
                status, content = reply.status, reply.read()
        except urllib.error.HTTPError as error:
            status, content = error.code, error.read()
        except OSError as error:
            raise UnitSimError("no answer from the control API at %s: %s" % (self._url, error)) from None
        if raw and status in accept:
            return status, content
        answer = json.loads(content) if content else {}
        if status not in accept:
            message = answer.get("error") if isinstance(answer, dict) else None
            raise UnitSimError("%s %s: %s" % (method, path, message or "HTTP %d" % status), status)
        return status, answer

    def _get(self, path):
        return self._request("GET", path)[1]

    def units(self):
        """Every unit as GET /api/v1/units describes it (address, profile, unitPort, channels, ...)."""
        units = []
        while True:  # the API lists them a page at a time
            page = self._get("/api/v1/units?from=%d&limit=%d" % (len(units), self.UNIT_PAGE))
            units += page
            if len(page) < self.UNIT_PAGE:
                return units

    def unit(self, unit=0):
        return self._get("/api/v1/units/%s" % unit)

    def address(self, unit=0):
        """The unit's IPv4 address."""
        return self.unit(unit)["address"]

    def unit_port(self, unit=0):
        """The unit port of the unit's profile (4000 to 4007)."""
        return self.unit(unit)["unitPort"]

    def endpoint(self, unit=0):
        """(address, unit port): where a controller sends the unit's frames."""
        about = self.unit(unit)
        return about["address"], about["unitPort"]

    def set_channels(self, values, unit=0):
        """Sets channels 2 to 25 as a set-channels frame would (fewer than 24 values: the rest 0)."""
        values = list(values)
        if len(values) > 24:
            raise ValueError("24 channel values at most, not %d" % len(values))
        self._request("PUT", "/api/v1/units/%s/channels" % unit, {"channels": values + [0] * (24 - len(values))})

    def set_profile(self, profile, unit=0):
        """Makes the unit pose as `profile` (0 to 8); its unit port follows."""
        self._request("PUT", "/api/v1/units/%s/profile" % unit, {"profile": profile})

    def add_fault(self, rule):
        """Adds a fault rule (as --fault takes it); returns its id."""
        return self._request("POST", "/api/v1/faults", {"rule": rule})[1]["id"]

    def faults(self):
        return self._get("/api/v1/faults")

    def remove_fault(self, rule_id=None):
        """Removes one rule, or every rule when no id is given."""
        self._request("DELETE", "/api/v1/faults" + ("" if rule_id is None else "/%s" % rule_id))

    def log(self, since=0, limit=None, tail=None):
        """Log entries from sequence number `since` on (at most `limit`; or the last `tail`)."""
        query = {"since": since}
        if limit is not None:
            query["limit"] = limit
        if tail is not None:
            query["tail"] = tail
        answer = self._get("/api/v1/log?" + urllib.parse.urlencode(query))
        return LogPage(answer["entries"], answer["next"], answer["first"])

    def clear_log(self):
        self._request("DELETE", "/api/v1/log")

    def verify(self, matcher=None, **criteria):
        """Checks what the units received, as POST /api/v1/verify does: a matcher (dict) and/or
        its parts as keywords, e.g. verify(command="set-channels", bytes=[{"position": 2,
        "equals": 255}], at_least=2). True when it holds; printed with the nearest misses."""
        return self._kept(self._verify(matcher, criteria))

    def _verify(self, matcher, criteria):
        return Verification(self._request("POST", "/api/v1/verify", dict(matcher or {}, **criteria))[1])

    def _kept(self, answer):
        if not answer:
            self.unmatched.append(answer)
        return answer

    def wait_for(self, matcher=None, timeout=5.0, **criteria):
        """verify() again until it holds or `timeout` seconds passed; returns the last answer."""
        deadline = time.monotonic() + timeout
        while True:
            answer = self._verify(matcher, criteria)
            if answer or time.monotonic() >= deadline:
                return self._kept(answer)
            time.sleep(POLL_INTERVAL)

    def expectations(self):
        """The scenario's expectations as they stand (GET /api/v1/expectations)."""
        return self._get("/api/v1/expectations")

    def health(self):
        """GET /api/v1/health: {"ready": ..., "units": ...} and why not."""
        return self._request("GET", "/api/v1/health", accept=(200, 503))[1]

    def capture(self, path):
        """Writes the log's datagrams to `path` as a pcap file; returns the path."""
        content = self._request("GET", "/api/v1/capture.pcap", raw=True)[1]
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        return path
