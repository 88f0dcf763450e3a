#!/usr/bin/env python3
"""The multi-site host beside lines that are slow to open or keep failing: device servers that
never answer the connection, at start and at reload; a server that accepts and hangs up at once;
a pseudo-terminal that went away; and a reload that would need more open files than allowed.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process and
socket opened here is closed here.

Run: slow_lines_test.py --host PATH --sim PATH [unittest arguments]
"""

import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = None


def unanswering_server(fillers):
    """A listening socket on 127.0.0.1 whose accept queue is full and never emptied: a further
    connect is never answered. Returns (socket, "tcp://..."); the filling clients are appended
    to `fillers`."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    for _ in range(3):
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.setblocking(False)
        client.connect_ex(listener.getsockname())
        fillers.append(client)
    return listener, "tcp://127.0.0.1:%d" % listener.getsockname()[1]


def cpu_ticks(pid):
    """User and system time of `pid` so far, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


class HostTest(ChildrenTestCase):
    PREFIX = "k426b-slow-lines-"

    def setUp(self):
        super().setUp()
        self.events_path = self.path("events.jsonl")

    def write_sites(self, sites):
        """`sites`: (name, port) pairs, each with a device of its own data ids."""
        return self.write_json("sites.json", {"sites": [
            {"name": name, "port": port, "device": device_config(1000 * i)}
            for i, (name, port) in enumerate(sites)]})

    def start_host(self, sites_file, **kwargs):
        self.metrics_port = free_port()
        return self.spawn([HOST, "--sites", sites_file, "--no-history",
                           "--listen", f"127.0.0.1:{self.metrics_port}",
                           "--events", self.events_path], stdout=subprocess.DEVNULL, **kwargs)

    def read_events(self):
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path) as stream:
            return [json.loads(line) for line in stream if line.endswith("\n")]

    def lost(self, events, names):
        return [event for event in events if event["event"] == "line" and
                event["state"] == "lost" and event["site"] in names]

    def index(self, events, predicate, what):
        for position, event in enumerate(events):
            if predicate(event):
                return position
        self.fail(f"no event: {what}")


class UnansweredConnectsTest(HostTest):
    """Twelve device servers that never answer the connection and one good site."""

    def test_connects_wait_beside_each_other_and_off_the_reload(self):
        _, good_port = self.tcp_simulator(SIM)
        listeners = [unanswering_server(self.sockets) for _ in range(18)]
        self.sockets.extend(listener for listener, _ in listeners)
        ports = [port for _, port in listeners]
        dead = [f"dead-{i}" for i in range(12)]
        # The good site comes last: a connect that blocked the start would hold it back.
        sites = list(zip(dead, ports)) + [("good", good_port)]
        sites_file = self.write_sites(sites)
        host = self.start_host(sites_file)

        # Every site is on the endpoint at once, the good one cycles, every dead one is lost.
        wait_until(lambda: all(f'site="{name}"' in (fetch(self.metrics_port, "/metrics") or "")
                               for name, _ in sites), "every site on /metrics")
        events = wait_until(lambda: (lambda events: events if len(self.lost(events, dead)) == 12
                                     and any(event["event"] == "cycle" and event["site"] == "good"
                                             for event in events) else None)(self.read_events()),
                            "a good cycle and twelve lost lines", deadline_s=120)
        first_good = self.index(events, lambda event: event["event"] == "values" and
                                event["site"] == "good" and event["age_s"] is not None and
                                not event["cached"], "the good site's first values")
        lost_positions = [events.index(event) for event in self.lost(events, dead)]
        # The twelve connects wait their time-out together, not one after another, and the good
        # site's values come before the first of them gives up.
        self.assertLess(first_good, min(lost_positions), "good values only after a lost line")
        times = [event["time"] for event in self.lost(events, dead)]
        span = (parse_time(max(times)) - parse_time(min(times)))
        self.assertLess(span, 4.0, f"the connect time-outs ended {span:.1f} s apart: {times}")

        # Six more such sites by reload: the reload is done before their connects give up.
        added = [f"late-{i}" for i in range(6)]
        sites_file = self.write_sites(sites + list(zip(added, ports[12:])))
        before = len(self.read_events())
        host.send_signal(signal.SIGHUP)
        wait_until(lambda: len(self.lost(self.read_events()[before:], added)) == 6,
                   "six lost lines after the reload")
        events = self.read_events()[before:]
        reload = self.index(events, lambda event: event["event"] == "reload", "reload")
        self.assertEqual(sorted(events[reload]["started"]), added)
        self.assertEqual(self.lost(events[:reload], added), [])

        # Stopping them while they connect does not wait for their connects either.
        self.write_sites(sites)
        before = len(self.read_events())
        host.send_signal(signal.SIGHUP)
        reload_event = wait_until(lambda: [event for event in self.read_events()[before:]
                                           if event["event"] == "reload"], "second reload")
        self.assertEqual(sorted(reload_event[0]["stopped"]), added)
        self.assertEqual(stop_process(host), 0)


def parse_time(text):
    """Seconds of an event's ISO time within its day (the test runs within minutes)."""
    found = re.search(r"T(\d\d):(\d\d):(\d\d\.\d+)", text)
    return int(found.group(1)) * 3600 + int(found.group(2)) * 60 + float(found.group(3))


class HangUpServerTest(HostTest):
    """A device server that accepts every connection and closes it at once."""

    def test_reconnects_back_off_doubling(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sockets.append(listener)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        accepted = []

        def serve():
            while True:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    return
                accepted.append(time.monotonic())
                connection.close()

        threading.Thread(target=serve, daemon=True).start()
        self.start_host(self.write_sites([("hangup", "tcp://127.0.0.1:%d"
                                           % listener.getsockname()[1])]))
        wait_until(lambda: len(accepted) >= 6, "six connections", deadline_s=90)
        gaps = [later - earlier for earlier, later in zip(accepted, accepted[1:6])]
        # 250 ms doubling, less at most a quarter for jitter: a connect that succeeds is no reply,
        # so it never resets the back-off.
        for number, gap in enumerate(gaps):
            self.assertGreaterEqual(gap, 0.75 * 0.25 * 2 ** number - 0.05,
                                    f"gap {number} of {gaps}")


class LostPseudoTerminalTest(HostTest):
    """A site whose pseudo-terminal went away, as an unplugged adapter's device node does."""

    def test_a_lost_line_costs_next_to_nothing(self):
        sim = self.spawn([SIM, "--pty"])
        port = read_line(sim, 10, "k426b-sim --pty")
        host = self.start_host(self.write_sites([("gone", port)]))
        wait_until(lambda: [event for event in self.read_events() if event["event"] == "cycle"],
                   "a cycle")
        stop_process(sim)
        wait_until(lambda: self.lost(self.read_events(), ["gone"]), "the line lost")
        self.assertFalse(os.path.exists(port))
        lost_at = len(self.read_events())
        start = cpu_ticks(host.pid)

        # While lost, the values are shown every 10 s (a `values` event per unit, the composite
        # device's last); between those showings and the reopen tries the loop sleeps.
        def showings():
            return [event for event in self.read_events()[lost_at:]
                    if event["event"] == "values" and event["data_id"] == 100]

        wait_until(lambda: len(showings()) >= 2 or cpu_ticks(host.pid) - start >= 100,
                   "two showings of the values while lost", deadline_s=90)
        used = cpu_ticks(host.pid) - start
        self.assertLess(used, 50, f"{used} clock ticks of CPU while lost, "
                                  f"{len(showings())} showings")
        self.assertGreaterEqual(len(showings()), 2)


class ReloadFileLimitTest(HostTest):
    """A reload that would need more open files than the limit allows."""

    def test_refused_with_the_start_message_and_the_sites_kept(self):
        sim = self.spawn([SIM, "--pty"])
        port = read_line(sim, 10, "k426b-sim --pty")
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 150))  # noqa: E731
        host = self.start_host(self.write_sites([("kept", port)]), preexec_fn=limit)
        wait_until(lambda: [event for event in self.read_events() if event["event"] == "cycle"],
                   "a cycle")
        # 100 sites need 100 lines, one loop's epoll set and eventfd and the reserve: 166 files.
        many = [("kept", port)] + [(f"more-{i}", f"tcp://127.0.0.1:{20000 + i}")
                                   for i in range(1, 100)]
        sites_file = self.write_sites(many)
        started = subprocess.run([HOST, "--sites", sites_file, "--no-history"],
                                 capture_output=True, text=True, timeout=60, preexec_fn=limit)
        self.assertEqual(started.returncode, 2, started.stderr)
        message = started.stderr.strip().split("k426b-host: ", 1)[1]
        self.assertIn("100 sites need about 166 open files, but the limit is 150", message)

        host.send_signal(signal.SIGHUP)
        reload = wait_until(lambda: [event for event in self.read_events()
                                     if event["event"] == "reload"], "the reload event")[0]
        self.assertFalse(reload["applied"], reload)
        with open(self.stderr_path) as log:
            self.assertIn("reload refused, the running sites are kept: " + message, log.read())
        # The running site goes on cycling; none of the hundred started.
        cycles = len([event for event in self.read_events() if event["event"] == "cycle"])
        wait_until(lambda: len([event for event in self.read_events()
                                if event["event"] == "cycle"]) > cycles, "a cycle after the reload")
        self.assertEqual({event.get("site") for event in self.read_events()} - {None}, {"kept"})
        self.assertEqual(stop_process(host), 0)


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
