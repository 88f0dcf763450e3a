#!/usr/bin/env python3
"""Reliability end-to-end tests: the line behind a stable path lost and brought back twenty times
(once by another power system), and a long run against a simulator that spoils a tenth of its
replies. Both check through the host's event stream and its history database that polling
resumes and that no completed cycle goes missing.

Run: reliability_e2e_test.py --host PATH --sim PATH --examples DIR [--soak-cycles N]
     [unittest arguments, e.g. PortLoss]
"""

import argparse
import os
import re
import signal
import sqlite3
import sys
import time
import unittest

import e2e_test
from e2e_test import (UNITS, HostRun, Simulator, event_time, of_kind, query_names,
                      read_events_tolerant, temp_folder, write_json)

# Another power system behind the same path: a model the plug-in does not accept, and a DC
# voltage of its own so its values can be told apart.
OTHER_SYSTEM = {"model": "X900", "dc_units": [{"v": 48.0, "i": 12.5}]}

FAULT_KINDS = ["bad_chksum", "bad_lchksum", "no_reply", "truncated", "noise", "wrong_cid1",
               "wrong_unit_count", "rtn_error", "overlong_count"]


def line_events(events, state):
    return [event for event in of_kind(events, "line") if event["state"] == state]


def since_return(events, number):
    """Events from the host's `line` event telling the `number`-th reopening of the line on
    (None before it)."""
    reopenings = [index for index, event in enumerate(events)
                  if event["event"] == "line" and event["reason"].startswith("reopened")]
    return events[reopenings[number - 1]:] if len(reopenings) >= number else None


def values_after(events, cycle_event):
    """data id -> `values` event that follows `cycle_event`."""
    start = events.index(cycle_event)
    found = {}
    for event in events[start + 1:]:
        if event["event"] == "cycle":
            break
        if event["event"] == "values":
            found[event["data_id"]] = event
    return found


def first_cycle_of(events):
    """(the events up to the `values` that follow the first `cycle` (its alarms among them),
    data id -> `values` event after it), once every unit's values have come; None before."""
    cycles = of_kind(events or [], "cycle")
    if not cycles:
        return None
    values = values_after(events, cycles[0])
    if len(values) < len(UNITS):
        return None
    return events[:max(events.index(event) for event in values.values()) + 1], values


def rows_per_unit(path):
    with sqlite3.connect(path) as db:
        return dict(db.execute(
            "SELECT data_id, COUNT(*) FROM history GROUP BY data_id").fetchall())


def stop_all(simulator, run):
    if simulator:
        simulator.stop()
    if run.process.poll() is None:
        run.process.kill()
        run.finish(timeout=10)


class CompletedCycles:
    """What every test here ends with: the host ended with status 0 after SIGINT, its cycles
    are numbered without a gap, and each one left a history row for every unit."""

    def assert_every_cycle_stored(self, run, status):
        self.assertEqual(status, 0, run.stderr[-3000:])
        cycles = of_kind(run.events, "cycle")
        self.assertEqual([cycle["number"] for cycle in cycles], list(range(1, len(cycles) + 1)))
        self.assertEqual(rows_per_unit(run.history_path), {data_id: len(cycles) for data_id in UNITS})
        self.assertEqual(len(of_kind(run.events, "history")), len(cycles) * len(UNITS))
        self.assertIn("%d cycles completed, %d history rows" % (len(cycles), len(cycles) * len(UNITS)),
                      run.stdout)
        return cycles


class PortLoss(unittest.TestCase, CompletedCycles):
    """k426b-sim behind a stable link is killed and started again twenty times; the host must
    reopen the link, make the device anew (the model check runs again) and go on polling.
    Losses alternate between the quiet time and the middle of a cycle, and between a killed
    simulator (the link left pointing at a terminal that is gone) and one that ends cleanly
    (the link removed until the next simulator makes it)."""

    LOSSES = 20
    OTHER = (10, 11)  # the returns that find another power system behind the link

    def test_twenty_losses_and_returns_lose_no_completed_cycle(self):
        folder = temp_folder(self, "k426b-portloss-")
        link = os.path.join(folder, "line")
        other = write_json(folder, "other.json", OTHER_SYSTEM)
        simulator = Simulator(link=link)
        run = HostRun(folder, "--port", link)
        started = time.monotonic()
        try:
            run.wait_for_cycles(1)
            for loss in range(1, self.LOSSES + 1):
                self.lose_line(run, simulator, loss)
                scenario = ["--scenario", other] if loss in self.OTHER else []
                simulator = Simulator(*scenario, link=link)
                returned = run.wait_for(lambda events: first_cycle_of(since_return(events, loss)),
                                        30, "a cycle after return %d" % loss)
                self.check_return(loss, returned)
            status = run.stop()
        finally:
            stop_all(simulator, run)
        print("\nport loss: %d losses and returns, %d cycles in %.0f s" %
              (self.LOSSES, len(of_kind(run.events, "cycle")), time.monotonic() - started),
              file=sys.stderr)

        self.assert_every_cycle_stored(run, status)
        self.assertEqual(len(line_events(run.events, "lost")), self.LOSSES)
        self.assertEqual(run.stdout.count("device created anew after reopening " + link),
                         self.LOSSES)
        self.assert_other_system_seen_only_while_it_was_there(run.events)

    def lose_line(self, run, simulator, loss):
        if loss % 2 == 0:
            # In the middle of a cycle: as soon as the next cycle's first query is out.
            def cycle_begun(events):
                cycles = [index for index, event in enumerate(events) if event["event"] == "cycle"]
                return any(event["event"] == "query" for event in events[cycles[-1] + 1:])
            run.wait_for(cycle_begun, 30, "a cycle begun before loss %d" % loss)
        if loss % 3 != 0:
            simulator.kill()
        simulator.stop()
        run.wait_for(lambda events: len(line_events(events, "lost")) >= loss, 15,
                     "loss %d told" % loss)

    def check_return(self, loss, returned):
        returned, values = returned
        # A device made anew: its first query is the model check again, and its first cycle
        # counts its own queries and time, not those of a cycle the lost line cut short.
        self.assertEqual(query_names(returned)[0], "40_51", "return %d" % loss)
        cycle = of_kind(returned, "cycle")[0]
        self.assertEqual(cycle["queries"], len(of_kind(returned[:returned.index(cycle)], "query")))
        self.assertLessEqual(cycle["seconds"],
                             (event_time(cycle) - event_time(returned[0])).total_seconds() + 0.01)
        model_alarms = [(alarm["state"], alarm["description"].rstrip())
                        for alarm in of_kind(returned, "alarm") if alarm["rule_id"] == "device_model"]
        other_model = "本驱动类型:k426b 检测型号:X900"
        if loss == self.OTHER[0]:
            self.assertEqual(model_alarms, [("raised", other_model)])
        elif loss == self.OTHER[1]:
            self.assertEqual(model_alarms, [], "the same model found again: the alarm stands")
        elif loss == self.OTHER[1] + 1:
            # Back to an accepted model: the alarm of the other system does not stay raised.
            self.assertEqual(model_alarms, [("cleared", other_model)])
        else:
            self.assertEqual(model_alarms, [], "return %d" % loss)
        self.assertEqual(values[201]["values"]["v"], 48.0 if loss in self.OTHER else 53.5,
                         "return %d" % loss)
        self.assertFalse(values[201]["cached"])
        self.assertLess(values[201]["age_s"], 5)

    def assert_other_system_seen_only_while_it_was_there(self, events):
        voltages = [event["values"]["v"] for event in of_kind(events, "values")
                    if event["data_id"] == 201 and not event["cached"] and event["age_s"] is not None
                    and event["age_s"] < 5]
        self.assertIn(48.0, voltages)
        self.assertEqual(set(voltages), {53.5, 48.0})


class FaultSoak(unittest.TestCase, CompletedCycles):
    """Every fault kind of the simulator at 10 % for CYCLES cycles, then a simulator without
    faults on the same link: every completed cycle is in the history, no spoiled reply ever
    shows as a value, and fresh values come with the first cycle after the faults stop."""

    CYCLES = 1000  # --soak-cycles
    SEED = "11"

    def test_ten_percent_faults_lose_and_corrupt_nothing(self):
        folder = temp_folder(self, "k426b-soak-")
        link = os.path.join(folder, "line")
        simulator = Simulator("--fault-rate", "0.1", "--seed", self.SEED, "--trace", link=link)
        run = HostRun(folder, "--port", link)
        started = time.monotonic()
        try:
            # At most one reply time-out per query and a quiet time per cycle: 10 s a cycle is
            # far beyond what 10 % faults can cost.
            run.wait_for_cycles(self.CYCLES, timeout=60 + 10 * self.CYCLES)
            soaked = time.monotonic() - started
            faults = self.stop_faulty(simulator)
            simulator = None
            before = len(of_kind(read_events_tolerant(run.events_path), "cycle"))
            simulator = Simulator(link=link)
            returned, fresh = run.wait_for(lambda events: first_cycle_of(since_return(events, 1)),
                                           30, "a cycle without faults")
            status = run.stop()
        finally:
            stop_all(simulator, run)

        cycles = self.assert_every_cycle_stored(run, status)
        self.assertGreaterEqual(len(cycles), self.CYCLES)
        # Fresh values with the first cycle after the faults stopped.
        self.assertEqual(of_kind(returned, "cycle")[0]["number"], before + 1)
        self.assertEqual(set(fresh), set(UNITS))
        for data_id in (101, 102, 201):
            self.assertFalse(fresh[data_id]["cached"])
            self.assertLess(fresh[data_id]["age_s"], 5)
        self.assertEqual(fresh[101]["values"]["ia"], 10.0)
        self.assertEqual(fresh[201]["values"], {"v": 53.5, "i": 25.0})
        # A spoiled reply never shows as a value: after every cycle every unit shows what the
        # fault-free simulator sends.
        expected = {data_id: event["values"] for data_id, event in fresh.items()}
        for cycle in cycles:
            shown = {data_id: event["values"] for data_id, event in
                     values_after(run.events, cycle).items()}
            self.assertEqual(shown, expected, "after cycle %d" % cycle["number"])

        frame_errors = of_kind(run.events, "frame_error")
        print("\nfault soak: %d cycles in %.0f s with %d faults (%s); %d queries, %d frame "
              "errors, %d RTN errors, %d history rows" %
              (self.CYCLES, soaked, sum(faults.values()),
               ", ".join("%s %d" % (kind, faults.get(kind, 0)) for kind in FAULT_KINDS),
               len(of_kind(run.events, "query")), len(frame_errors),
               len([r for r in of_kind(run.events, "reply") if r["rtn"] != 0]),
               len(cycles) * len(UNITS)), file=sys.stderr)
        if self.CYCLES >= 100:
            self.assertEqual([kind for kind in FAULT_KINDS if not faults.get(kind)], [])

    def stop_faulty(self, simulator):
        """Stops the simulator and counts the faults its trace tells, by kind."""
        simulator.process.send_signal(signal.SIGINT)
        simulator.process.wait(timeout=10)
        simulator.errors.seek(0)
        trace = simulator.errors.read()
        self.assertEqual(simulator.stop(), 0)
        faults = {}
        for kind in re.findall(r": fault (\w+)$", trace, re.MULTILINE):
            faults[kind] = faults.get(kind, 0) + 1
        return faults


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--soak-cycles", type=int, default=FaultSoak.CYCLES)
    known, rest = parser.parse_known_args()
    e2e_test.HOST, e2e_test.SIM, e2e_test.EXAMPLES = known.host, known.sim, known.examples
    FaultSoak.CYCLES = known.soak_cycles
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
