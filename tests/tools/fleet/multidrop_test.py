#!/usr/bin/env python3
"""Three power systems on one line, as on an RS-485 pair or behind one port of a serial device
server: the simulator answers three addresses on one pseudo-terminal or one TCP port, and the
multi-site host polls them as three sites. Each site's values and alarms are its own; one
address that stops answering makes only its site silent; a reply under another address is
counted and dropped; the line lost makes all three lost, and all three come back.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is stopped here.

Run: multidrop_test.py --host PATH --sim PATH [unittest arguments]
"""

import copy
import datetime
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = None
NAMES = {1: "north", 2: "middle", 3: "south"}


class SharedLineTest(ChildrenTestCase):
    PREFIX = "k426b-multidrop-"

    def setUp(self):
        super().setUp()
        self.events_path = self.path("events.jsonl")
        self.base = json.loads(subprocess.run([SIM, "--print-scenario"], capture_output=True,
                                              check=True, text=True).stdout)

    def scenario(self, address, edit):
        """A scenario file for one address: the default power system changed by `edit`."""
        scenario = copy.deepcopy(self.base)
        edit(scenario)
        return f"{address}={self.write_json(f'address-{address}.json', scenario)}"

    def addresses(self, middle_edit):
        """Three power systems told apart: north's DC at 48.0 V, middle's at 50.0 V with a blown
        fuse (middle_edit adds more), south's AC screens at 240 V."""
        def north(scenario):
            scenario["dc_units"][0]["v"] = 48.0

        def middle(scenario):
            scenario["dc_units"][0]["v"] = 50.0
            scenario["dc_units"][0]["fuses"][5] = 3
            middle_edit(scenario)

        def south(scenario):
            for screen in scenario["ac_units"][0]["screens"]:
                screen["a"] = screen["b"] = screen["c"] = 240.0
        return ",".join([self.scenario(1, north), self.scenario(2, middle),
                         self.scenario(3, south)])

    def start_host(self, port):
        sites = []
        for address, name in NAMES.items():
            device = device_config(1000 * address)
            device["address"] = address
            sites.append({"name": name, "port": port, "device": device})
        path = self.write_json("sites.json", {"sites": sites})
        self.metrics_port = free_port()
        self.spawn([HOST, "--sites", path, "--no-history",
                    "--listen", f"127.0.0.1:{self.metrics_port}", "--events", self.events_path],
                   stdout=subprocess.DEVNULL)

    def events(self, kind, site=None):
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path) as stream:
            parsed = [json.loads(line) for line in stream if line.endswith("\n")]
        return [event for event in parsed if event["event"] == kind and
                (site is None or event.get("site") == site)]

    def cycles(self, site):
        return len(self.events("cycle", site))

    def metric(self, name, site, reason=None):
        text = fetch(self.metrics_port, "/metrics") or ""
        labels = f'site="{site}"' if reason is None else f'site="{site}",reason="{reason}"'
        for line in text.splitlines():
            if line.startswith(f"{name}{{{labels}}} "):
                return float(line.split()[-1])
        return None

    def values(self, site, data_id, key):
        """Every reading of `key` of one unit of one site."""
        return [event["values"][key] for event in self.events("values", site)
                if event["data_id"] == data_id and
                isinstance(event["values"].get(key), (int, float))]

    def check_values_are_each_sites_own(self):
        for address, name in NAMES.items():
            base = 1000 * address
            dc = self.values(name, base + 201, "v")
            ac = self.values(name, base + 101, "channel_0_a")
            self.assertTrue(dc and ac, f"no values of {name}")
            self.assertEqual(set(dc), {{1: 48.0, 2: 50.0, 3: 53.5}[address]}, name)
            self.assertEqual(set(ac), {240.0 if address == 3 else 220.0}, name)
        # The blown fuse is middle's alone.
        raised = {(alarm["site"], alarm["data_id"]) for alarm in self.events("alarm")
                  if alarm["state"] == "raised"}
        self.assertEqual(raised, {("middle", 2201)})

    def wait_all_cycle(self, more=2):
        counted = {name: self.cycles(name) for name in NAMES.values()}
        wait_until(lambda: all(self.cycles(name) >= counted[name] + more
                               for name in NAMES.values()),
                   f"{more} more cycles of every site", 90)

    def line_states(self, site):
        return [(event["state"], event["reason"]) for event in self.events("line", site)]

    def lose_and_regain(self, restart_sim, outage_s=0):
        """The line lost for every site, back after `outage_s`: every site up again, and, the
        line being one, every site on it again within a couple of seconds of the first, though
        each had its own back-off."""
        stop_process(self.sim)
        wait_until(lambda: all(self.line_states(name)[-1][0] == "lost"
                               for name in NAMES.values()), "all three lost", 60)
        time.sleep(outage_s)  # the outage itself, long enough for the back-offs to grow apart
        self.sim = restart_sim()
        wait_until(lambda: all(self.line_states(name)[-1][0] == "up"
                               for name in NAMES.values()), "all three up again", 90)

        def reopened(name):
            events = self.events("line", name)
            last_lost = max(i for i, event in enumerate(events) if event["state"] == "lost")
            return datetime.datetime.fromisoformat(events[last_lost + 1]["time"])
        back = [reopened(name) for name in NAMES.values()]
        spread = (max(back) - min(back)).total_seconds()
        print(f"after a {outage_s} s outage the three sites reopened the line within "
              f"{spread:.2f} s", flush=True)
        self.assertLess(spread, 2.5)
        self.wait_all_cycle()


class SharedPtyTest(SharedLineTest):
    def test_three_addresses_on_one_pseudo_terminal(self):
        link = self.path("bus")
        # Middle's equipment stops answering its address after its fourth cycle, as if taken off
        # the line.
        drop = self.addresses(lambda scenario: scenario["changes"].append(
            {"at_cycle": 5, "set": {"address": 9}}))
        command = [SIM, "--pty", "--link", link, "--addresses", drop]
        self.sim = self.spawn(command)
        read_line(self.sim, 30, "k426b-sim --pty")
        self.start_host(link)

        silent = wait_until(lambda: [reason for state, reason in self.line_states("middle")
                                     if state == "silent" and "address" in reason],
                            "middle silent", 90)
        self.assertEqual(silent[0], "no answer from address 2")
        # The others keep cycling and stay up.
        self.wait_all_cycle_but_middle()
        for name in ("north", "south"):
            self.assertEqual([s for s, _ in self.line_states(name) if s != "up"], [], name)
        self.assertEqual(self.metric("k426b_line_up", "middle"), 0)
        self.check_values_are_each_sites_own()

        def restart():
            sim = self.spawn(command)
            read_line(sim, 30, "k426b-sim --pty")
            return sim
        self.lose_and_regain(restart)

    def wait_all_cycle_but_middle(self):
        counted = {name: self.cycles(name) for name in ("north", "south")}
        wait_until(lambda: all(self.cycles(name) >= counted[name] + 3 for name in counted),
                   "three more cycles of north and south", 90)


class SharedTcpTest(SharedLineTest):
    def test_three_addresses_on_one_tcp_port_and_a_foreign_reply(self):
        # Middle's DC readings come back three times under south's address.
        foreign = self.addresses(lambda scenario: scenario["faults"].append(
            {"kind": "foreign_address", "query": "42_41", "count": 3}))
        port = free_port()
        command = [SIM, "--tcp", f"127.0.0.1:{port}", "--addresses", foreign]
        self.sim = self.spawn(command)
        read_line(self.sim, 30, "k426b-sim --tcp")
        self.start_host(f"tcp://127.0.0.1:{port}")

        wait_until(lambda: self.metric("k426b_frame_errors_total", "middle",
                                       "foreign address") == 3, "three foreign replies counted")
        self.wait_all_cycle()
        for name in ("north", "south"):
            self.assertIsNone(self.metric("k426b_frame_errors_total", name, "foreign address"))
        # South's DC stays its own 53.5 V though middle's 50.0 V came under its address.
        self.check_values_are_each_sites_own()

        def restart():
            sim = self.spawn(command)
            read_line(sim, 30, "k426b-sim --tcp")
            return sim
        self.lose_and_regain(restart, outage_s=10)


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
