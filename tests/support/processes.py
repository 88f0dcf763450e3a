"""What the Python tests that start the host, the simulator or a server share: a free port on
127.0.0.1, a line read from a child with a deadline, a wait on a condition with a deadline, an
HTTP fetch that tells "nothing answers yet" apart, a child stopped for sure, and a test case
whose folder, children and sockets go when it ends.

Standard library only: the browser test runs this under Debian's own python3 as well.
"""

import argparse
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

DEADLINE_S = 60


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_line(process, deadline_s, what):
    """The next line `process` writes on stdout, within `deadline_s`."""
    end = time.monotonic() + deadline_s
    line = b""
    while time.monotonic() < end:
        ready, _, _ = select.select([process.stdout], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            break
        byte = os.read(process.stdout.fileno(), 1)
        if not byte:
            break
        if byte == b"\n":
            return line.decode()
        line += byte
    raise AssertionError(f"{what} printed no line within {deadline_s} s (got {line!r})")


def wait_until(condition, what, deadline_s=DEADLINE_S):
    """Polls `condition` until it returns something true, and returns that; fails after
    `deadline_s`."""
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.1)
    raise AssertionError(f"not within {deadline_s} s: {what}")


def fetch(port, path):
    """The body of GET http://127.0.0.1:PORT/PATH, or None while nothing answers."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as response:
            return response.read().decode()
    except OSError:
        return None


def stop_process(process, grace_s=15):
    """Ends `process` (SIGTERM, then SIGKILL after `grace_s`) and returns its exit status."""
    if process is None:
        return None
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=grace_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=grace_s)
    if process.stdout:
        process.stdout.close()
    return process.returncode


def device_config(base):
    """The simulator's default power system (2 AC units, 1 DC unit, the rectifiers) with data
    ids from `base` on, so that several sites share one file."""
    return {"data_id": base + 100, "address": 1, "timeout_ms": 1500,
            "acSetting": [{"data_id": base + 101, "appSetting": {"diff_v": 20, "diff_i": 20}},
                          {"data_id": base + 102, "appSetting": {"diff_v": 20, "diff_i": 20}}],
            "dcSetting": [{"data_id": base + 201, "appSetting": {"diff_v": 20, "diff_i": 20}}],
            "rcSetting": {}}


def temp_folder(case, prefix):
    """A new folder in the temporary folder, removed when `case` ends: a test, or a test class
    from its setUpClass."""
    folder = tempfile.mkdtemp(prefix=prefix)
    cleanup = case.addClassCleanup if isinstance(case, type) else case.addCleanup
    cleanup(shutil.rmtree, folder, ignore_errors=True)
    return folder


class ChildrenTestCase(unittest.TestCase):
    """A case with a folder of its own, removed when the case ends. The children it spawns write
    their standard error to stderr.log there; they are stopped, last started first, and the
    sockets it keeps in `sockets` closed, when the case ends."""

    PREFIX = "k426b-"

    def setUp(self):
        self.directory = temp_folder(self, self.PREFIX)
        self.stderr_path = self.path("stderr.log")
        self.stderr = open(self.stderr_path, "ab")
        self.addCleanup(self.stderr.close)
        self.processes = []
        self.sockets = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        for sock in self.sockets:
            sock.close()
        for process in reversed(self.processes):
            if isinstance(process, subprocess.Popen):
                stop_process(process)
            else:
                process.stop()

    def path(self, *names):
        return os.path.join(self.directory, *names)

    def write_json(self, name, document):
        """`document` written to `name` in the case's folder; its path."""
        with open(self.path(name), "w") as out:
            json.dump(document, out, indent=2)
        return self.path(name)

    def spawn(self, command, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", self.stderr)
        process = subprocess.Popen(command, **kwargs)
        self.processes.append(process)
        return process

    def tcp_simulator(self, sim, *extra):
        """k426b-sim serving on a free TCP port; the process and the site's "tcp://" port."""
        process = self.spawn([sim, "--tcp", "127.0.0.1:0", *extra])
        return process, "tcp://" + read_line(process, 20, "k426b-sim --tcp")


def run_host_tests(script_globals, more=(), needs=()):
    """The main of a test script that drives k426b-host and k426b-sim: sets the script's HOST and
    SIM from --host and --sim, and a global for each option of `more` ("--refusing-plugin" sets
    REFUSING_PLUGIN), passes the other arguments to unittest and runs the script's cases. 0 when
    they passed, 1 on a failure, 77 when a program of `needs` is not installed or every case was
    skipped."""
    parser = argparse.ArgumentParser(description=script_globals["__doc__"].splitlines()[0])
    parser.add_argument("--host", required=True, help="k426b-host")
    parser.add_argument("--sim", required=True, help="k426b-sim")
    for option in more:
        parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args()
    for option in ("--host", "--sim", *more):
        name = option.lstrip("-").replace("-", "_")
        script_globals[name.upper()] = getattr(args, name)
    for program in needs:
        if shutil.which(program) is None:
            print(f"{program} not installed: skipped")
            return 77
    program = unittest.main(module=script_globals["__name__"], argv=[sys.argv[0], *rest],
                            exit=False, verbosity=2)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0 if result.wasSuccessful() else 1
