"""What the Python tests that start the host, the simulator or a server share: a free port on
127.0.0.1, a line read from a child with a deadline, a wait on a condition with a deadline, an
HTTP fetch that tells "nothing answers yet" apart, and a child stopped for sure.

Standard library only: the browser test runs this under Debian's own python3 as well.
"""

import argparse
import os
import select
import socket
import subprocess
import sys
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


def run_host_tests(script_globals):
    """The main of a test script that drives k426b-host and k426b-sim: sets the script's HOST and
    SIM from --host and --sim, passes the other arguments to unittest and runs the script's
    cases. 0 when they passed, 1 on a failure, 77 when every case was skipped."""
    parser = argparse.ArgumentParser(description=script_globals["__doc__"].splitlines()[0])
    parser.add_argument("--host", required=True, help="k426b-host")
    parser.add_argument("--sim", required=True, help="k426b-sim")
    args, rest = parser.parse_known_args()
    script_globals["HOST"], script_globals["SIM"] = args.host, args.sim
    program = unittest.main(module=script_globals["__name__"], argv=[sys.argv[0], *rest],
                            exit=False, verbosity=2)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0 if result.wasSuccessful() else 1
