#!/usr/bin/env python3
"""The monitoring service end to end: `k426b-sim --pty --sites 3` and one
`k426b-host --sites FILE`, checked through the event stream (every event names its site), the
log, the notify messages a stand-in manager receives, and the exit status.

Run: service_e2e_test.py --host PATH --sim PATH [unittest arguments, e.g. SighupReload]
"""

import datetime
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    DEADLINE_S, device_config, free_port, run_host_tests, stop_process, temp_folder,
    wait_until)

HOST = SIM = REFUSING_PLUGIN = None






class Fleet:
    """Three simulated power systems on pseudo-terminals (DIR/pty-0..2), a sites file, and the
    service's process with its events and log in the same temporary folder."""

    SITES = {"A": 0, "B": 1, "C": 2}

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="k426b-service-")
        self.sites_path = os.path.join(self.folder, "sites.json")
        self.events_path = os.path.join(self.folder, "events.jsonl")
        self.log_path = os.path.join(self.folder, "host.log")
        self.sim = subprocess.Popen([SIM, "--pty", "--sites", "3", "--link",
                                     os.path.join(self.folder, "pty")],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.host = None
        links = [self.sim.stdout.readline().strip() for _ in range(3)]
        if links != [os.path.join(self.folder, f"pty-{i}") for i in range(3)]:
            self.stop()
            raise AssertionError(f"k426b-sim printed {links}")

    def write_sites(self, *names, timeout_ms=None):
        """Writes the sites file listing `names` (the last one's device with `timeout_ms`, when
        given); replaced in one rename, so a reload never reads half a file."""
        sites = [{"name": name, "port": os.path.join(self.folder, f"pty-{index}"),
                  "device": device_config(1000 * index)}
                 for name, index in self.SITES.items() if name in names]
        if timeout_ms is not None:
            sites[-1]["device"]["timeout_ms"] = timeout_ms
        self.write_text(json.dumps({"sites": sites}, indent=2))

    def write_text(self, text):
        temporary = self.sites_path + ".new"
        with open(temporary, "w") as out:
            out.write(text)
        os.rename(temporary, self.sites_path)

    def start_host(self, *arguments, env=None):
        with open(self.log_path, "w") as log:
            self.host = subprocess.Popen(
                [HOST, "--sites", self.sites_path, "--events", self.events_path, "--no-history",
                 *arguments], stdout=subprocess.DEVNULL, stderr=log, env=env)

    def events(self):
        try:
            with open(self.events_path, encoding="utf-8") as stream:
                lines = stream.read().split("\n")
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines[:-1]]  # the last one may be half written

    def log(self):
        with open(self.log_path, encoding="utf-8") as log:
            return log.read()

    def cycles(self, site, events=None):
        return [event for event in (events if events is not None else self.events())
                if event["event"] == "cycle" and event.get("site") == site]

    def wait_for_cycles(self, site, count, after=0):
        """Waits until `site` completed `count` cycles after the first `after` events."""
        return wait_until(lambda: len(self.cycles(site, self.events()[after:])) >= count,
                          f"{count} cycles of site {site}")

    def stop(self):
        status = stop_process(self.host) if self.host else None
        stop_process(self.sim)
        self.sim.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        return status


def moment(event):
    return datetime.datetime.fromisoformat(event["time"])


class SighupReload(unittest.TestCase):
    """A, B running; the sites file then lists B (unchanged) and C: SIGHUP stops A, starts C
    and leaves B polling. A broken sites file on the next SIGHUP changes nothing."""

    def setUp(self):
        self.fleet = Fleet()
        self.addCleanup(self.fleet.stop)

    def reload(self, expect_applied):
        """Sends SIGHUP and returns (index of the `reload` event, the event)."""
        before = len(self.fleet.events())
        self.fleet.host.send_signal(signal.SIGHUP)

        def reloaded():
            for index, event in enumerate(self.fleet.events()[before:], start=before):
                if event["event"] == "reload":
                    return index, event
            return None
        index, event = wait_until(reloaded, "a reload event")
        self.assertEqual(event["applied"], expect_applied, event)
        return index, event

    def test_untouched_site_polls_on_across_reloads(self):
        fleet = self.fleet
        fleet.write_sites("A", "B")
        fleet.start_host()
        fleet.wait_for_cycles("A", 2)
        fleet.wait_for_cycles("B", 4)  # three gaps give B's usual pace

        fleet.write_sites("B", "C")
        index, event = self.reload(expect_applied=True)
        self.assertEqual((event["stopped"], event["started"], event["kept"]), (["A"], ["C"], ["B"]))
        fleet.wait_for_cycles("C", 3, after=index)
        fleet.wait_for_cycles("B", 3, after=index)

        events = fleet.events()
        b_cycles = fleet.cycles("B", events)
        numbers = [cycle["number"] for cycle in b_cycles]
        reload_time = moment(events[index])
        before = [cycle["number"] for cycle in b_cycles if moment(cycle) < reload_time]
        after = [cycle["number"] for cycle in b_cycles if moment(cycle) >= reload_time]
        print(f"B's cycles: {before[-3:]} | reload at {events[index]['time'][11:]} | {after[:3]}",
              "at", [cycle["time"][11:23] for cycle in b_cycles[len(before) - 3:len(before) + 3]],
              flush=True)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)),
                         "B's cycle numbers run on without a gap or a restart")
        # No longer pause between B's cycles across the reload than before it, plus a margin
        # for a loaded machine: B's serial thread never waits for the reload.
        gaps = [(moment(b) - moment(a)).total_seconds() for a, b in zip(b_cycles, b_cycles[1:])]
        usual = statistics.median(
            gap for cycle, gap in zip(b_cycles[1:], gaps) if moment(cycle) < reload_time)
        across = max(gap for cycle, gap in zip(b_cycles[1:], gaps)
                     if moment(cycle) >= reload_time)
        print(f"B's usual time between cycles {usual:.3f} s, longest after the reload "
              f"{across:.3f} s", flush=True)
        self.assertLessEqual(across, usual + 1.5)

        self.assertEqual([e for e in events[index:] if e.get("site") == "A"], [],
                         "A says nothing once the reload is applied")
        self.assertEqual([cycle["number"] for cycle in fleet.cycles("C", events)][:3], [1, 2, 3])
        self.assertIn("[A] stopped: no longer listed", fleet.log())
        self.assertIn("[C] started on", fleet.log())

        # C's device changed: C starts over with the new configuration, B polls on.
        fleet.write_sites("B", "C", timeout_ms=1400)
        index, event = self.reload(expect_applied=True)
        self.assertEqual((event["stopped"], event["started"], event["kept"]), (["C"], ["C"], ["B"]))
        fleet.wait_for_cycles("C", 2, after=index)
        self.assertEqual([cycle["number"] for cycle in fleet.cycles("C", fleet.events()[index:])][:2],
                         [1, 2])
        self.assertIn("[C] stopped: changed in the sites file", fleet.log())

        # A sites file that cannot be used (B listed twice, then not JSON at all): the running
        # sites stay as they are, and the log and the event say why.
        for broken in [json.dumps({"sites": [{"name": "B", "port": "/dev/null",
                                              "device": device_config(0)}] * 2}),
                       '{"sites": [']:
            fleet.write_text(broken)
            index, event = self.reload(expect_applied=False)
            self.assertTrue(event["problems"], event)
            fleet.wait_for_cycles("B", 2, after=index)
            fleet.wait_for_cycles("C", 2, after=index)
        self.assertIn("reload refused, the running sites are kept", fleet.log())
        numbers = [cycle["number"] for cycle in fleet.cycles("B")]
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
        self.assertEqual(stop_process(fleet.host), 0)


class NotifySocket:
    """The manager's end of the notify protocol: a datagram socket in a folder of its own."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)

    def receive(self, deadline_s=DEADLINE_S):
        self.socket.settimeout(deadline_s)
        try:
            message = self.socket.recv(4096).decode()
        except socket.timeout:
            raise AssertionError(f"no notify message within {deadline_s} s") from None
        print(f"{time.monotonic():.3f} received {message!r}", flush=True)
        return message

    def receive_until(self, wanted, deadline_s=DEADLINE_S):
        """Messages up to and including the first whose first line is `wanted`."""
        end = time.monotonic() + deadline_s
        messages = []
        while not messages or messages[-1].split("\n")[0] != wanted:
            messages.append(self.receive(max(0.01, end - time.monotonic())))
        return messages

    def close(self):
        self.socket.close()


class NotifyProtocol(unittest.TestCase):
    """The real host under a stand-in manager: READY only once the endpoint answers, WATCHDOG
    while it runs, RELOADING then READY around SIGHUP, STOPPING on SIGTERM, status 0."""

    def test_ready_watchdog_reload_stop(self):
        fleet = Fleet()
        self.addCleanup(fleet.stop)
        manager = NotifySocket(fleet.folder)
        self.addCleanup(manager.close)
        fleet.write_sites("A", "B")
        port = free_port()
        env = dict(os.environ, NOTIFY_SOCKET=manager.path, WATCHDOG_USEC="2000000")
        env.pop("WATCHDOG_PID", None)
        fleet.start_host("--listen", f"127.0.0.1:{port}", env=env)

        ready = manager.receive()
        # The manager may start the service's clients now: the endpoint must already answer.
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=5) as answer:
            self.assertEqual(answer.status, 200)
        self.assertEqual(ready, f"READY=1\nSTATUS=2 sites; endpoint http://127.0.0.1:{port}/")

        # Half the 2 s interval apart: two pings within 3 s of each other.
        start = time.monotonic()
        self.assertEqual(manager.receive(), "WATCHDOG=1")
        self.assertEqual(manager.receive(), "WATCHDOG=1")
        self.assertLess(time.monotonic() - start, 3)

        fleet.write_sites("B", "C")
        fleet.host.send_signal(signal.SIGHUP)
        messages = [m for m in manager.receive_until("READY=1") if m != "WATCHDOG=1"]
        self.assertEqual(len(messages), 2, messages)
        self.assertTrue(messages[0].startswith("RELOADING=1\nMONOTONIC_USEC="), messages)
        self.assertEqual(messages[1], ready)
        self.assertEqual(manager.receive(), "WATCHDOG=1")

        fleet.host.send_signal(signal.SIGTERM)
        messages = manager.receive_until("STOPPING=1")
        self.assertEqual(set(messages[:-1]) - {"WATCHDOG=1"}, set(), messages)
        self.assertEqual(fleet.host.wait(timeout=DEADLINE_S), 0)


class RefusedDevice(unittest.TestCase):
    def test_a_site_the_plugin_refuses_ends_with_status_2_before_anything_is_opened(self):
        # The sites file is good; only the plug-in's InitSetting refuses the device.
        folder = temp_folder(self, "k426b-service-")
        sites_path = os.path.join(folder, "sites.json")
        with open(sites_path, "w") as out:
            json.dump({"sites": [{"name": "A", "port": os.path.join(folder, "absent-tty"),
                                  "device": device_config(0)}]}, out)
        paths = {name: os.path.join(folder, name)
                 for name in ("history.sqlite", "events.jsonl", "host.log")}
        result = subprocess.run(
            [HOST, "--sites", sites_path, "--plugin", REFUSING_PLUGIN,
             "--history", paths["history.sqlite"], "--events", paths["events.jsonl"],
             "--log-file", paths["host.log"]],
            capture_output=True, text=True, timeout=DEADLINE_S)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("site A: the plug-in rejected it (InitSetting returned false)",
                      result.stderr)
        for path in paths.values():
            self.assertFalse(os.path.exists(path), path)


class FileLimit(unittest.TestCase):
    def test_a_sites_file_beyond_the_open_file_limit_ends_with_status_2(self):
        # 100 sites need 100 lines, one loop's epoll set and eventfd and the reserve: 166 files.
        # The soft limit of 64 is raised to the hard limit of 150, which is still too few.
        folder = temp_folder(self, "k426b-service-")
        sites_path = os.path.join(folder, "sites.json")
        with open(sites_path, "w") as out:
            json.dump({"sites": [{"name": f"site-{i}", "port": f"tcp://127.0.0.1:{20000 + i}",
                                  "device": device_config(1000 * i)} for i in range(100)]}, out)
        history = os.path.join(folder, "history.sqlite")
        result = subprocess.run(
            [HOST, "--sites", sites_path, "--history", history],
            capture_output=True, text=True, timeout=DEADLINE_S,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 150)))
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("100 sites need about 166 open files, but the limit is 150", result.stderr)
        self.assertFalse(os.path.exists(history))


if __name__ == "__main__":
    sys.exit(run_host_tests(globals(), more=("--refusing-plugin",)))
