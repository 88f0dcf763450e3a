#!/usr/bin/env python3
"""The service's log and watchdog on a bad day, with the real host and simulator:

- NoisyLineTest: every reply behind noise bytes. The log tells a site's dropped frames once, then
  at most one summary a period, and the counts it gives add up to the event stream's and the
  /metrics counters; standard output carries neither a line per cycle nor the plug-in's
  diagnostics, which -v brings back (the cycle lines there, the diagnostics in the log).
- StalledLoopTest: a serial loop that stops coming round stops the watchdog pings a stand-in
  manager receives, and they resume once it runs again.

Run: log_watchdog_test.py --host PATH --sim PATH [unittest arguments, e.g. NoisyLineTest]
"""

import datetime
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    DEADLINE_S, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = None

NOISE = "noise before SOI"
LOG_TIME = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) ")


class Bench:
    """Simulated power systems on pseudo-terminals, a sites file naming them A, B, ..., and the
    host's standard output, log and events as files in one temporary folder."""

    def __init__(self, sites, *sim_arguments):
        self.folder = tempfile.mkdtemp(prefix="k426b-logwatch-")
        self.names = [chr(ord("A") + index) for index in range(sites)]
        self.sim = subprocess.Popen(
            [SIM, "--pty", "--sites", str(max(sites, 2)), "--link", self.path("pty"),
             *sim_arguments], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        for index in range(max(sites, 2)):
            read_line(self.sim, DEADLINE_S, "k426b-sim")
        self.sites_path = self.path("sites.json")
        with open(self.sites_path, "w") as out:
            json.dump({"sites": [{"name": name, "port": self.path(f"pty-{index}"),
                                  "device": device_config(1000 * index)}
                                 for index, name in enumerate(self.names)]}, out)
        self.host = None

    def path(self, name):
        return os.path.join(self.folder, name)

    def start_host(self, run, *arguments, env=None):
        """Starts the host; its output, log and events are `run`.out, .log and .jsonl."""
        self.run = run
        with open(self.path(run + ".out"), "w") as out, open(self.path(run + ".log"), "w") as log:
            self.host = subprocess.Popen(
                [HOST, "--sites", self.sites_path, "--no-history",
                 "--events", self.path(run + ".jsonl"), *arguments],
                stdout=out, stderr=log, env=env)

    def text(self, suffix):
        with open(self.path(self.run + suffix), encoding="utf-8", errors="replace") as text:
            return text.read()

    def events(self):
        try:
            lines = self.text(".jsonl").split("\n")
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines[:-1]]  # the last one may be half written

    def cycles(self, site):
        return [e for e in self.events() if e["event"] == "cycle" and e.get("site") == site]

    def wait_for_cycles(self, count):
        wait_until(lambda: all(len(self.cycles(site)) >= count for site in self.names),
                   f"{count} cycles of every site")

    def stop_host(self):
        status = stop_process(self.host)
        self.host = None
        return status

    def stop(self):
        stop_process(self.host)
        stop_process(self.sim)
        shutil.rmtree(self.folder, ignore_errors=True)


def frame_log(log, site):
    """(time, frames told) for each log line of `site` about dropped frames."""
    told = []
    for line in log.split("\n"):
        if f"[{site}] frame dropped: {NOISE}" in line:
            count = 1
        else:
            summary = re.search(rf"\[{site}\] (\d+) frames? dropped in the last .*: (.*)$", line)
            if not summary:
                continue
            count = int(summary.group(1))
            reasons = dict(re.fullmatch(r"(.*) ×(\d+)", part).groups()
                           for part in summary.group(2).split(", "))
            assert {reason: int(n) for reason, n in reasons.items()} == {NOISE: count}, line
        moment = datetime.datetime.fromisoformat(LOG_TIME.match(line).group(1))
        told.append((moment, count))
    return told


def dropped_metric(port, site):
    body = fetch(port, "/metrics") or ""
    found = re.search(r'^k426b_frame_errors_total\{site="%s",reason="%s"\} (\d+)$' % (site, NOISE),
                      body, re.M)
    return int(found.group(1)) if found else None


class NoisyLineTest(unittest.TestCase):
    PERIOD_S = 2.0  # the summary period, shortened from a minute for the test

    def test_dropped_frames_are_summarised_and_counted_exactly(self):
        bench = Bench(2, "--fault-rate", "1", "--fault-kinds", NOISE.split()[0])
        self.addCleanup(bench.stop)

        # -v: the cycle lines on standard output, the plug-in's diagnostics in the log.
        bench.start_host("verbose", "-v")
        bench.wait_for_cycles(2)
        self.assertEqual(bench.stop_host(), 0)
        self.assertRegex(bench.text(".out"), r"(?m)^\[A\] cycle 1 - \d+ queries")
        self.assertRegex(bench.text(".log"), r"(?m) debug: plug-in output: a:\d+ b:\d+ c:\d+")

        port = free_port()
        env = dict(os.environ, K426B_TEST_SUMMARY_PERIOD_MS=str(int(self.PERIOD_S * 1000)))
        bench.start_host("quiet", "--listen", f"127.0.0.1:{port}", env=env)
        bench.wait_for_cycles(6)
        stop_process(bench.sim)  # no more frames: every count can settle

        def settled():
            events = [e for e in bench.events() if e["event"] == "frame_error"]
            log = bench.text(".log")
            counts = {}
            for site in bench.names:
                streamed = sum(1 for e in events if e["site"] == site and e["reason"] == NOISE)
                counts[site] = (streamed, dropped_metric(port, site),
                                sum(count for _, count in frame_log(log, site)))
            print("frames dropped (events, /metrics, log):", counts, flush=True)
            return all(len(set(c)) == 1 for c in counts.values()) and counts
        counts = wait_until(settled, "the log's and /metrics' counts to match the events")
        self.assertEqual(bench.stop_host(), 0)

        log = bench.text(".log")
        for site in bench.names:
            self.assertGreater(counts[site][0], 10, "the line was noisy")
            told = frame_log(log, site)
            self.assertGreaterEqual(len(told), 3, told)
            self.assertEqual(told[0][1], 1, "the first dropped frame is told at once")
            gaps = [(b[0] - a[0]).total_seconds() for a, b in zip(told, told[1:])]
            self.assertGreaterEqual(min(gaps), self.PERIOD_S - 0.1, gaps)
        # Standard output: the host's own lines only (start-up, line changes), none per cycle.
        for line in bench.text(".out").split("\n")[:-1]:
            self.assertRegex(line, r"^(k426b-host |\[[AB]\] )", "only the host's own lines")
            self.assertNotRegex(line, r"^\[[AB]\] cycle \d+ - ")


class StalledLoopTest(unittest.TestCase):
    INTERVAL_S = 2.0

    def receive(self, manager, deadline_s):
        """The next message, or None when `deadline_s` passes without one."""
        manager.settimeout(deadline_s)
        try:
            message = manager.recv(4096).decode()
        except socket.timeout:
            return None
        print(f"{time.monotonic():.3f} received {message!r}", flush=True)
        return message

    def wait_for_pings(self, manager, count):
        end = time.monotonic() + DEADLINE_S
        while count > 0:
            message = self.receive(manager, max(0.01, end - time.monotonic()))
            self.assertIsNotNone(message, "watchdog pings while every loop runs")
            count -= message == "WATCHDOG=1"

    def test_a_stalled_serial_loop_stops_the_watchdog_pings(self):
        bench = Bench(1)
        self.addCleanup(bench.stop)
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(bench.path("notify"))
        stall = bench.path("stall")
        env = dict(os.environ, NOTIFY_SOCKET=bench.path("notify"),
                   WATCHDOG_USEC=str(int(self.INTERVAL_S * 1e6)), K426B_TEST_STALL_LOOP=stall)
        env.pop("WATCHDOG_PID", None)
        bench.start_host("stall", env=env)
        self.assertTrue(self.receive(manager, DEADLINE_S).startswith("READY=1"))
        bench.wait_for_cycles(1)
        self.wait_for_pings(manager, 2)

        open(stall, "w").close()
        # A manager restarts the service once an interval passes without a ping: wait for that
        # silence, which a loop that still comes round (or a host that pings regardless) never
        # gives.
        end = time.monotonic() + DEADLINE_S / 2
        while True:
            message = self.receive(manager, self.INTERVAL_S * 1.5)
            if message is None:
                break
            self.assertLess(time.monotonic(), end, "pings go on while a serial loop is stalled")
        wait_until(lambda: "has not come round" in bench.text(".log"), "the stall in the log")

        os.remove(stall)
        self.wait_for_pings(manager, 1)
        cycles = len(bench.cycles("A"))
        wait_until(lambda: len(bench.cycles("A")) > cycles, "A polled again")
        bench.host.send_signal(signal.SIGTERM)
        self.assertEqual(bench.host.wait(timeout=DEADLINE_S), 0)


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
