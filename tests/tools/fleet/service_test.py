#!/usr/bin/env python3
"""The multi-site host as a program: a bad sites file refused with every problem named; two
sites where only one line fails - the other keeps cycling, the failed one is reported lost, and
after a restart each site loads its own stored values; promtool's lint of a real scrape.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here.

Run: service_test.py --host PATH --sim PATH [unittest arguments]
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = None


class TempDirTest(ChildrenTestCase):
    PREFIX = "k426b-service-"


class SitesFileRefusedTest(TempDirTest):
    def test_every_problem_named_in_one_message_and_status_2(self):
        sites = self.write_json("sites.json", {"sites": [
            {"name": "north", "port": "/dev/ttyUSB0", "device": device_config(0)},
            {"nmae": "east", "name": "east", "port": "tcp://10.0.0.7", "device": device_config(1000)},
            # Its composite device's data id is north's DC unit's.
            {"name": "south", "port": "/dev/ttyUSB1", "device": device_config(101)}]})
        result = subprocess.run([HOST, "--sites", sites, "--no-history"], capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(result.returncode, 2, result.stderr)
        message = result.stderr
        self.assertIn("sites[1]: unknown member 'nmae' \u2014 did you mean 'name'?", message)
        self.assertRegex(message, r"sites\[1\]\.port: .*tcp://10\.0\.0\.7")
        self.assertRegex(message, r"sites\[2\]\.device\.data_id: data_id 201 is already used at "
                                  r"sites\[0\]\.device\.dcSetting\[0\]\.data_id")
        # One message: the three problems under one heading, nothing started.
        self.assertEqual(message.count("k426b-host:"), 1, message)
        self.assertEqual(result.stdout, "")


    def test_no_recording_of_several_lines(self):
        sites = self.write_json("sites.json", {"sites": [
            {"name": "north", "port": "/dev/ttyUSB0", "device": device_config(0)}]})
        result = subprocess.run([HOST, "--sites", sites, "--no-history",
                                 "--record", self.path("wire.rec")],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("--record records one line", result.stderr)
        self.assertFalse(os.path.exists(self.path("wire.rec")))


class TwoSitesOneLineFailsTest(TempDirTest):
    """Site "steady" on a pseudo-terminal keeps answering; site "flaky" on TCP loses its
    simulator. Then the host restarts with the history kept, "flaky" still without a line."""

    def setUp(self):
        super().setUp()
        steady_sim = self.spawn([SIM, "--pty"])
        steady_port = read_line(steady_sim, 10, "k426b-sim --pty")
        self.flaky_sim, flaky_port = self.tcp_simulator(SIM)
        self.configs = {"steady": (steady_port, device_config(0)),
                        "flaky": (flaky_port, device_config(1000))}
        self.sites_file = self.write_json("sites.json", {"sites": [
            {"name": name, "port": port, "device": device}
            for name, (port, device) in self.configs.items()]})
        self.events_path = self.path("events.jsonl")

    def data_ids(self, site):
        """The data ids of a site's units; the rectifier group has the composite device's."""
        device = self.configs[site][1]
        return {device["data_id"]} | {unit["data_id"] for key in ("acSetting", "dcSetting")
                                      for unit in device[key]}

    def start_host(self):
        self.metrics_port = free_port()
        self.host = self.spawn([HOST, "--sites", self.sites_file,
                                "--listen", f"127.0.0.1:{self.metrics_port}",
                                "--history", self.path("history.sqlite"),
                                "--events", self.events_path], stdout=subprocess.DEVNULL)

    def stop_host(self):
        self.host.send_signal(signal.SIGTERM)
        self.assertEqual(self.host.wait(timeout=30), 0)

    def read_events(self):
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path) as stream:
            return [json.loads(line) for line in stream if line.endswith("\n")]

    def metric(self, name, site):
        """The value of `name{site="site"}` at one scrape, or None."""
        text = fetch(self.metrics_port, "/metrics") or ""
        found = re.search(rf'^{name}{{[^}}]*site="{site}"[^}}]*}} (\S+)$', text, re.MULTILINE)
        return float(found.group(1)) if found else None

    def cycles(self, site):
        return [event for event in self.read_events()
                if event["event"] == "cycle" and event["site"] == site]

    def events(self, kind, since=0):
        return [event for event in self.read_events()[since:] if event["event"] == kind]

    def test_only_the_failed_site_is_lost_and_each_site_reloads_its_own_cache(self):
        self.start_host()
        # Both sites cycle and store every unit's values (the rectifier group's under the
        # composite device's data id).
        all_ids = self.data_ids("steady") | self.data_ids("flaky")
        wait_until(lambda: {event["data_id"] for event in self.events("history")} == all_ids,
                   "history rows of every unit")

        # Each site's page shows the frames of its own line.
        for site in self.configs:
            page = json.loads(fetch(self.metrics_port, f"/api/sites/{site}"))
            self.assertTrue(page["frames"], f"no frames on {site}'s page")

        stop_process(self.flaky_sim)
        lost = wait_until(lambda: [event for event in self.events("line")
                                   if event["site"] == "flaky" and
                                   event["state"] in ("silent", "lost")],
                          "flaky's line reported silent or lost")
        self.assertTrue(lost[0]["reason"], lost[0])
        wait_until(lambda: self.metric("k426b_line_up", "flaky") == 0, "k426b_line_up flaky 0")
        # The steady site's cycles keep counting after the loss, its line stays up.
        counted = len(self.cycles("steady"))
        wait_until(lambda: len(self.cycles("steady")) >= counted + 2, "two more steady cycles")
        self.assertEqual(self.metric("k426b_line_up", "steady"), 1)
        self.assertGreaterEqual(self.metric("k426b_cycles_total", "steady"), counted + 2)
        self.assertEqual([event for event in self.events("line")
                          if event["site"] == "steady" and event["state"] != "up"], [])
        self.stop_host()

        # Restart with the history kept; the flaky site's simulator is still gone. Each site
        # loads its own units' stored values, stored from its own line.
        first_run = len(self.read_events())
        self.start_host()
        caches = wait_until(lambda: (lambda found: found if len(found) >= len(all_ids) else None)(
            self.events("cache", first_run)), "cache events of both sites")
        for site, (port, _) in self.configs.items():
            mine = [event for event in caches if event["site"] == site]
            self.assertEqual({event["data_id"] for event in mine}, self.data_ids(site), site)
            for event in mine:
                self.assertTrue(event["accepted"], event)
                self.assertEqual(event["source"], port)
        wait_until(lambda: [event for event in self.events("cycle", first_run)
                            if event["site"] == "steady"], "a steady cycle after the restart")
        self.assertEqual(self.events("cycle", first_run),
                         [event for event in self.events("cycle", first_run)
                          if event["site"] == "steady"])
        self.stop_host()

        # With --sites, every event names its site; the start event names them all.
        for event in self.read_events():
            if event["event"] == "start":
                self.assertEqual(event["sites"], list(self.configs))
            else:
                self.assertIn(event.get("site"), self.configs, event)


class PromtoolOnAHostScrapeTest(TempDirTest):
    """promtool's lint of what the host serves: two sites with values, rectifier modules and
    alarms, and one whose device server refuses the connection."""

    def test_promtool_finds_no_problem(self):
        if shutil.which("promtool") is None:
            raise unittest.SkipTest("promtool not installed")
        sim = self.spawn([SIM, "--pty", "--sites", "2", "--link", self.path("pty")])
        ports = [read_line(sim, 10, "k426b-sim --pty") for _ in range(2)]
        ports.append(f"tcp://127.0.0.1:{free_port()}")  # nobody listens there
        sites = self.write_json("sites.json", {"sites": [
            {"name": f"site-{i}", "port": port, "device": device_config(1000 * i)}
            for i, port in enumerate(ports)]})
        port = free_port()
        self.spawn([HOST, "--sites", sites, "--listen", f"127.0.0.1:{port}", "--no-history"],
                   stdout=subprocess.DEVNULL)

        def scrape():
            text = fetch(port, "/metrics") or ""
            ready = all(f'k426b_rectifier_modules{{site="site-{i}"' in text and
                        f'k426b_value{{site="site-{i}"' in text for i in range(2))
            return text if ready and 'k426b_line_up{site="site-2"} 0' in text else None

        text = wait_until(scrape, "a scrape with values of both answering sites")
        self.assertIn("k426b_alarm_active{", text)
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                               text=True, timeout=30)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
