#!/usr/bin/env python3
"""The multi-site host's HTTP endpoint on a bad day: browser tabs holding event streams, clients
that connect and say nothing, clients that send their request a byte a second, and a flood of
connections - /metrics and /healthz keep answering. And a site whose line answers but whose
cycle cannot complete is shown as not monitored, with the reason, on /metrics and the JSON.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process and
socket opened here is closed here.

Run: endpoint_load_test.py --host PATH --sim PATH [unittest arguments]
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, run_host_tests, wait_until)

HOST = SIM = None
# How long a scrape may take while the endpoint is under load; Prometheus' own default timeout
# is 10 s, and an unloaded scrape here takes milliseconds.
SCRAPE_BOUND_S = 5


def timed_fetch(port, path):
    """(body or None, seconds taken) of GET `path`, given up after SCRAPE_BOUND_S."""
    started = time.monotonic()
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}",
                                    timeout=SCRAPE_BOUND_S) as response:
            body = response.read().decode()
    except OSError:
        body = None
    return body, time.monotonic() - started


def read_until(sock, marker, deadline_s):
    """What `sock` sends until `marker` has come, the peer closes or `deadline_s` passes."""
    sock.settimeout(0.5)
    end = time.monotonic() + deadline_s
    got = b""
    while marker not in got and time.monotonic() < end:
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            continue
        except OSError:
            break
        if not piece:
            break
        got += piece
    return got


def closed_within(sock, deadline_s):
    """True once the peer has closed `sock` (what it sent before is dropped)."""
    sock.settimeout(0.5)
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            continue
        except OSError:
            return True
    return False


class HostTest(ChildrenTestCase):
    PREFIX = "k426b-endpoint-"

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.sockets.append(sock)
        return sock

    def start_host(self, devices):
        """The host with one simulator on TCP per site; `devices` maps a site to its device."""
        sites = [{"name": name, "port": self.tcp_simulator(SIM)[1], "device": device}
                 for name, device in devices.items()]
        path = self.write_json("sites.json", {"sites": sites})
        self.port = free_port()
        self.spawn([HOST, "--sites", path, "--no-history", "--listen", f"127.0.0.1:{self.port}"],
                   stdout=subprocess.DEVNULL)

    def metric(self, name, site):
        text = fetch(self.port, "/metrics") or ""
        found = re.search(rf'^{name}{{[^}}]*site="{site}"[^}}]*}} (\S+)$', text, re.MULTILINE)
        return float(found.group(1)) if found else None


class BusyEndpointTest(HostTest):
    def test_metrics_and_health_answer_while_streams_and_slow_clients_hold_connections(self):
        self.start_host({"north": device_config(0)})
        wait_until(lambda: (self.metric("k426b_cycles_total", "north") or 0) >= 1,
                   "a completed cycle on /metrics")

        # Eight browser tabs on the page; the streams the page may not have are refused.
        streams = []
        for _ in range(8):
            sock = self.connect()
            sock.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n")
            streams.append((sock, read_until(sock, b"\r\n\r\n", 10)))
        statuses = [head.split(b"\r\n")[0].decode() for _, head in streams]
        # Thirty clients that hold a connection: half say nothing, half send a header byte a
        # second.
        for _ in range(15):
            self.connect()
        tricklers = [self.connect() for _ in range(15)]
        stop = threading.Event()

        def trickle():
            for sock in tricklers:
                sock.sendall(b"GET /metrics HTTP/1.1\r\n")
            while not stop.wait(1):
                for sock in tricklers:
                    try:
                        sock.sendall(b"X")
                    except OSError:
                        pass
        trickler = threading.Thread(target=trickle)
        trickler.start()
        self.addCleanup(trickler.join)
        self.addCleanup(stop.set)

        took = []
        for _ in range(3):
            for path in ("/metrics", "/healthz"):
                body, seconds = timed_fetch(self.port, path)
                took.append(seconds)
                self.assertIsNotNone(body, f"{path} did not answer within {SCRAPE_BOUND_S} s "
                                           f"(stream statuses {statuses})")
        print(f"slowest of 6 answers under load: {max(took):.3f} s", file=sys.stderr)

        # The streams the page got keep flowing, the others were told to poll.
        open_streams = [sock for sock, status in zip(streams, statuses) if " 200 " in status]
        self.assertTrue(open_streams, statuses)
        for status in statuses:
            self.assertRegex(status, r"^HTTP/1\.1 (200|503) ", statuses)
        for sock, _ in open_streams:
            self.assertIn(b"data: ", read_until(sock, b"data: ", 30))

        # A client that sends its head a byte a second is cut off once the head time is up.
        for sock in tricklers:
            self.assertTrue(closed_within(sock, 30), "a trickling client still connected")
        stop.set()

        # A flood beyond the connection limit is turned away at once; /metrics answers after.
        flood = [self.connect() for _ in range(80)]
        for sock in flood[-10:]:
            self.assertIn(b" 503 ", read_until(sock, b"\r\n", 10).split(b"\r\n")[0])
        for sock in flood:
            sock.close()
        # The host sees the flood go as it reads each close; until then a scrape may still be
        # turned away.
        wait_until(lambda: timed_fetch(self.port, "/metrics")[0], "/metrics after the flood",
                   SCRAPE_BOUND_S)


class SiteProblemTest(HostTest):
    """"short" lists one AC unit where its power system reports two: its line answers, no cycle
    completes. Fixed in the sites file and reloaded, it is monitored again."""

    def problems(self):
        text = fetch(self.port, "/metrics") or ""
        return re.findall(r'^k426b_site_problem\{site="([^"]*)",problem="([^"]*)"\} 1$', text,
                          re.MULTILINE)

    def test_a_site_that_answers_but_cannot_cycle_is_shown_as_not_monitored_until_fixed(self):
        short = device_config(1000)
        short["acSetting"] = short["acSetting"][:1]
        self.start_host({"steady": device_config(0), "short": short})
        found = wait_until(self.problems, "k426b_site_problem on /metrics")
        self.assertEqual([site for site, _ in found], ["short"])
        self.assertIn("2 AC units", found[0][1])
        self.assertIn("acSetting", found[0][1])
        self.assertEqual(self.metric("k426b_line_up", "short"), 1)
        self.assertEqual(self.metric("k426b_cycles_total", "short"), 0)
        # The JSON says the same.
        line = json.loads(fetch(self.port, "/api/sites/short"))["line"]
        self.assertEqual(line["problem"], found[0][1])

        # Fixed and reloaded: the series goes, the site cycles.
        with open(self.path("sites.json")) as file:
            sites = json.load(file)
        sites["sites"][1]["device"] = device_config(1000)
        self.write_json("sites.json", sites)
        self.processes[-1].send_signal(signal.SIGHUP)
        wait_until(lambda: (self.metric("k426b_cycles_total", "short") or 0) >= 1,
                   "a completed cycle of the fixed site")
        self.assertEqual(self.problems(), [])


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
