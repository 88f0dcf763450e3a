#!/usr/bin/env python3
"""End-to-end tests: k426b-sim on a pseudo-terminal and k426b-host on its other end, as two
processes, checked through the host's event stream, its history database and its exit status.

Run: e2e_test.py --host PATH --sim PATH --examples DIR [unittest arguments, e.g. -k Restart]
"""

import argparse
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

HOST = SIM = EXAMPLES = None

# Two AC units, one DC unit and the rectifiers, as in examples/k426b.json.
UNITS = {101: 5094, 102: 5094, 201: 5096, 100: 5095}

FULL_CYCLE = ["40_41", "40_43", "40_44", "41_41", "41_43", "41_44", "42_41", "42_44", "40_46",
              "42_46"]
QUIET_CYCLE = ["40_41", "41_41", "42_41", "40_46", "42_46"]

# The first AC screen's voltage AB/A goes low with its alarm byte, and a DC fuse fails, when
# cycle 2 starts; both return to normal when cycle 3 starts.
ALARM_SCENARIO = {
    "changes": [
        {"at_cycle": 2, "set": {"ac_units.0.screens.0.a": 176.0,
                                "ac_units.0.screens.0.alarms.0": 1, "dc_units.0.fuses.5": 3}},
        {"at_cycle": 3, "set": {"ac_units.0.screens.0.a": 220.0,
                                "ac_units.0.screens.0.alarms.0": 0, "dc_units.0.fuses.5": 0}},
    ]
}


class Simulator:
    """k426b-sim --pty as a child process; `path` is the pseudo-terminal it serves."""

    def __init__(self, *arguments):
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([SIM, "--pty", *arguments], stdout=subprocess.PIPE,
                                        stderr=self.errors, text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            self.process.kill()
            self.process.wait()
            self.errors.seek(0)
            raise AssertionError("k426b-sim gave no pseudo-terminal: " + self.errors.read())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.errors.close()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *unused):
        self.stop()


def read_events(path):
    with open(path, encoding="utf-8") as stream:
        return [json.loads(line) for line in stream]


def of_kind(events, kind):
    return [event for event in events if event["event"] == kind]


def cycles_of(events):
    """Events grouped by poll cycle: each group ends with its `cycle` event (start-up events,
    before the first query, are left out)."""
    groups, current = [], None
    for event in events:
        if event["event"] == "query" and current is None:
            current = []
        if current is None:
            continue
        current.append(event)
        if event["event"] == "cycle":
            groups.append(current)
            current = None
    return groups


def query_names(events):
    return ["%02X_%02X" % (event["cid1"], event["cid2"]) for event in of_kind(events, "query")]


def values_after_cycle(events, number):
    """data id -> values of the `values` events that follow cycle `number`."""
    seen_cycle, values = False, {}
    for event in events:
        if event["event"] == "cycle":
            if seen_cycle:
                break
            seen_cycle = event["number"] == number
        elif seen_cycle and event["event"] == "values":
            values[event["data_id"]] = event["values"]
    return values


def history_rows(path):
    with sqlite3.connect(path) as db:
        return db.execute(
            "SELECT data_id, record_type, length(snapshot) FROM history ORDER BY id").fetchall()


class HostRun:
    """One k426b-host process; events, history and files live in a temporary folder."""

    def __init__(self, folder, *arguments, history="history.sqlite", config=None, env=None):
        self.folder = folder
        # An events file is appended to: each run gets its own.
        self.events_path = tempfile.mktemp(prefix="events-", suffix=".jsonl", dir=folder)
        self.history_path = os.path.join(folder, history or "history.sqlite")
        keep = ["--history", self.history_path] if history else ["--no-history"]
        command = [HOST, "--config", config or os.path.join(EXAMPLES, "k426b.json"),
                   "--events", self.events_path, *keep, *arguments]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=env)

    def finish(self, timeout=90):
        try:
            self.stdout, self.stderr = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.stdout, self.stderr = self.process.communicate()
            raise AssertionError("k426b-host did not finish:\n" + self.stdout[-3000:])
        self.events = read_events(self.events_path) if os.path.exists(self.events_path) else []
        return self.process.returncode

    def wait_for_cycles(self, count, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.events_path):
                if len(of_kind(read_events_tolerant(self.events_path), "cycle")) >= count:
                    return
            if self.process.poll() is not None:
                raise AssertionError("k426b-host ended early")
            time.sleep(0.1)
        raise AssertionError("no %d cycles within %d s" % (count, timeout))


def read_events_tolerant(path):
    """Events of a stream still being written: a last line without its end is left out."""
    with open(path, encoding="utf-8") as stream:
        return [json.loads(line) for line in stream if line.endswith("\n")]


def write_json(folder, name, document):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as stream:
        if isinstance(document, str):
            stream.write(document)
        else:
            json.dump(document, stream)
    return path


class PollOverPseudoTerminal(unittest.TestCase):
    """Four cycles against a scripted alarm that comes in cycle 2 and goes in cycle 3."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        scenario = write_json(cls.folder, "scenario.json", ALARM_SCENARIO)
        with Simulator("--scenario", scenario) as simulator:
            cls.run_ = HostRun(cls.folder, "--port", simulator.path, "--cycles", "4")
            cls.status = cls.run_.finish()
        cls.events = cls.run_.events

    def test_the_host_ends_with_status_0_after_the_cycles_asked_for(self):
        self.assertEqual(self.status, 0, self.run_.stderr)
        self.assertEqual([event["number"] for event in of_kind(self.events, "cycle")],
                         [1, 2, 3, 4])

    def test_queries_follow_the_poll_order_and_the_change_bits(self):
        cycles = cycles_of(self.events)
        # The model check, then every switch and alarm query while nothing is known yet.
        self.assertEqual(query_names(cycles[0]), ["40_51"] + FULL_CYCLE)
        # The scripted change sets the alarm bits of the AC and DC analog replies.
        self.assertEqual(query_names(cycles[1]),
                         ["40_41", "40_44", "41_41", "42_41", "42_44", "40_46", "42_46"])
        self.assertEqual(query_names(cycles[3]), QUIET_CYCLE)
        for cycle in cycles:
            self.assertEqual(cycle[-1]["queries"], len(of_kind(cycle, "query")))
        first_ac_query = of_kind(cycles[0], "query")[1]
        self.assertEqual(first_ac_query["frame"], "~20014041E002FFFD11")
        self.assertEqual(first_ac_query["info"], "FF")

    def test_every_query_gets_an_intact_reply(self):
        self.assertEqual(of_kind(self.events, "frame_error"), [])
        replies = of_kind(self.events, "reply")
        self.assertEqual(len(replies), len(of_kind(self.events, "query")))
        self.assertTrue(all(reply["rtn"] == 0 for reply in replies))

    def test_values_are_decoded_from_the_replies(self):
        first = values_after_cycle(self.events, 1)
        self.assertEqual(first[101]["ia"], 10.0)
        self.assertEqual(first[101]["channel_0_a"], 220.0)
        self.assertEqual(first[101]["channel_0_f"], 50.0)
        self.assertEqual(first[102]["ia"], 5.0)
        self.assertEqual(first[102]["channel_0_a"], 230.0)
        self.assertNotIn("channel_1_a", first[101])
        self.assertEqual(first[201], {"v": 53.5, "i": 25.0})
        self.assertEqual(first[100], {"error": "数据未就绪"})
        self.assertEqual(values_after_cycle(self.events, 2)[101]["channel_0_a"], 176.0)
        self.assertEqual(values_after_cycle(self.events, 3)[101]["channel_0_a"], 220.0)

    def test_each_unit_numbers_its_rules_from_1_in_every_cycle(self):
        for cycle in cycles_of(self.events):
            for data_id in (101, 102, 201):
                sequences = [rule["sequence"] for rule in of_kind(cycle, "rule")
                             if rule["data_id"] == data_id]
                self.assertGreater(len(sequences), 0)
                self.assertEqual(sequences, list(range(1, len(sequences) + 1)))

    def test_the_scripted_fault_turns_its_rule_active_for_one_cycle(self):
        def low_voltage_rule(cycle):
            rules = [rule for rule in of_kind(cycle, "rule")
                     if rule["data_id"] == 101 and rule["rule_id"] == "AC_0"
                     and rule["description"] == "交流屏1输入线/相电压AB/A"]
            self.assertEqual(len(rules), 1)
            return rules[0]["active"]
        self.assertEqual([low_voltage_rule(cycle) for cycle in cycles_of(self.events)],
                         [False, True, False, False])

    def test_alarms_are_raised_and_cleared_after_the_scripted_change(self):
        alarms = [(alarm["data_id"], alarm["rule_id"], alarm["state"])
                  for alarm in of_kind(self.events, "alarm")]
        self.assertEqual(alarms, [(101, "AC_0", "raised"), (201, "DC_3", "raised"),
                                  (101, "AC_0", "cleared"), (201, "DC_3", "cleared")])
        self.assertIn("alarm raised", self.run_.stdout)
        self.assertIn("alarm cleared", self.run_.stdout)

    def test_history_holds_one_snapshot_per_unit_and_completed_cycle(self):
        rows = history_rows(self.run_.history_path)
        self.assertEqual(len(rows), 4 * len(UNITS))
        for data_id, record_type, length in rows:
            self.assertEqual(UNITS[data_id], record_type)
        snapshots = {(s["data_id"], s["record_type"]): s["length"]
                     for s in of_kind(self.events, "snapshot")}
        self.assertEqual({(row[0], row[1]): row[2] for row in rows}, snapshots)
        self.assertEqual(len(of_kind(self.events, "history")), len(rows))

    def test_every_event_carries_its_name_and_a_local_time_with_milliseconds(self):
        for event in self.events:
            self.assertRegex(event["time"],
                             r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")


class RestartFromHistory(unittest.TestCase):
    def test_a_restarted_host_loads_each_units_cache_and_serves_values_at_once(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        with Simulator() as simulator:
            first = HostRun(folder, "--port", simulator.path, "--cycles", "2")
            self.assertEqual(first.finish(), 0, first.stderr)
            second = HostRun(folder, "--port", simulator.path, "--cycles", "1")
            self.assertEqual(second.finish(), 0, second.stderr)

        self.assertEqual(of_kind(first.events, "cache"), [])
        caches = of_kind(second.events, "cache")
        self.assertEqual({(c["data_id"], c["record_type"]) for c in caches}, set(UNITS.items()))
        self.assertTrue(all(cache["accepted"] for cache in caches))
        # Values from the cache come before the first query of the new run.
        before_polling = []
        for event in second.events:
            if event["event"] == "query":
                break
            if event["event"] == "values":
                before_polling.append(event)
        values = {event["data_id"]: event["values"] for event in before_polling}
        self.assertEqual(values[101]["ia"], 10.0)
        self.assertEqual(values[102]["channel_0_a"], 230.0)
        self.assertEqual(values[201], {"v": 53.5, "i": 25.0})
        self.assertEqual(len(history_rows(second.history_path)), 3 * len(UNITS))


class BadConfiguration(unittest.TestCase):
    """Each case: status 2, a message naming the problem, and neither port nor history
    touched (the port given does not exist, so opening it would fail differently)."""

    CASES = [
        ("malformed JSON", '{"acSetting": [', "not valid JSON"),
        ("an AC list that is not a list", {"acSetting": "101", "rcSetting": {}}, "acSetting"),
        ("a data id given as text", {"dcSetting": [{"data_id": "201"}], "rcSetting": {}},
         "dcSetting[0].data_id"),
        ("an appSetting that is an array",
         {"acSetting": [{"data_id": 1, "appSetting": {"diff_v": [1]}}], "rcSetting": {}},
         "acSetting[0].appSetting.diff_v"),
        ("no rcSetting", {"acSetting": [{"data_id": 101}]}, "rcSetting"),
        ("an address out of range", {"address": 300, "rcSetting": {}}, "address"),
        ("a top level that is not an object", "[1, 2]", "JSON object"),
    ]

    def test_bad_configurations_end_with_status_2_before_anything_is_opened(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        for description, document, named in self.CASES:
            with self.subTest(description):
                config = write_json(folder, "config.json", document)
                run = HostRun(folder, "--port", "/nonexistent/tty", config=config)
                self.assertEqual(run.finish(timeout=20), 2, run.stderr)
                self.assertIn(named, run.stderr)
                self.assertIn(config, run.stderr)
                self.assertFalse(os.path.exists(run.history_path))

    def test_a_missing_configuration_file_is_named(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        missing = os.path.join(folder, "absent.json")
        run = HostRun(folder, "--port", "/nonexistent/tty", config=missing)
        self.assertEqual(run.finish(timeout=20), 2)
        self.assertIn("cannot read configuration " + missing, run.stderr)

    def test_an_unknown_option_ends_with_status_2_and_the_usage(self):
        result = subprocess.run([HOST, "--cycle", "3"], capture_output=True, text=True,
                                timeout=20)
        self.assertEqual(result.returncode, 2)
        self.assertIn("--cycle", result.stderr)
        self.assertIn("k426b-host: ", result.stderr)
        self.assertIn("Run 'k426b-host --help' for the options.", result.stderr)


class ModelCheck(unittest.TestCase):
    def test_an_unknown_model_raises_the_model_alarm_and_shows_it(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        scenario = write_json(folder, "scenario.json", {"model": "X900"})
        with Simulator("--scenario", scenario) as simulator:
            run = HostRun(folder, "--port", simulator.path, "--cycles", "1", history=None)
            self.assertEqual(run.finish(), 0, run.stderr)
        alarms = [alarm for alarm in of_kind(run.events, "alarm")
                  if alarm["rule_id"] == "device_model"]
        self.assertEqual(len(alarms), 1)
        self.assertEqual(alarms[0]["state"], "raised")
        self.assertEqual(alarms[0]["code"], "70319")
        self.assertIn("检测型号:X900", alarms[0]["description"])
        self.assertIn("MODEL ALARM", run.stdout)
        self.assertFalse(os.path.exists(run.history_path))


class RecordAndReplay(unittest.TestCase):
    def test_a_recording_replayed_by_the_simulator_gives_the_same_values(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        record = os.path.join(folder, "line.jsonl")
        with Simulator() as simulator:
            recorded = HostRun(folder, "--port", simulator.path, "--cycles", "2", "--trace",
                               "--record", record, history=None)
            self.assertEqual(recorded.finish(), 0, recorded.stderr)
        lines = read_events(record)
        self.assertEqual({line["dir"] for line in lines}, {"tx", "rx"})
        times = [line["t"] for line in lines]
        self.assertEqual(times, sorted(times))
        sent = [bytes.fromhex(line["hex"]).decode("ascii") for line in lines
                if line["dir"] == "tx"]
        self.assertEqual(sent[0], "~200140510000FDB3\r")
        self.assertTrue(all(text.startswith("~") and text.endswith("\r") for text in sent))
        self.assertEqual(len(sent), len(of_kind(recorded.events, "query")))
        self.assertIn("tx ~20014041E002FFFD11\\r", recorded.stdout)
        self.assertIn("hex 7E 32 30 30 31 34 30 34 31", recorded.stdout)

        with Simulator("--replay", record) as replay:
            replayed = HostRun(folder, "--port", replay.path, "--cycles", "2", history=None)
            self.assertEqual(replayed.finish(), 0, replayed.stderr)
        for cycle in (1, 2):
            self.assertEqual(values_after_cycle(replayed.events, cycle),
                             values_after_cycle(recorded.events, cycle))


class LineLossAndStop(unittest.TestCase):
    def test_a_lost_line_is_reopened_and_polling_resumes(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        link = os.path.join(folder, "line")
        first = Simulator()
        os.symlink(first.path, link)
        run = HostRun(folder, "--port", link, "--cycles", "3")
        try:
            run.wait_for_cycles(1)
            first.stop()
            time.sleep(0.5)
            second = Simulator()
            os.remove(link)
            os.symlink(second.path, link)
            status = run.finish()
        finally:
            first.stop()
            if run.process.poll() is None:
                run.process.kill()
        second.stop()
        self.assertEqual(status, 0, run.stderr)
        self.assertIn("lost " + link, run.stderr)
        self.assertIn("reopened " + link, run.stderr)
        self.assertEqual(len(history_rows(run.history_path)), 3 * len(UNITS))

    def test_ctrl_c_ends_cleanly_with_every_completed_cycle_in_the_history(self):
        folder = tempfile.mkdtemp(prefix="k426b-e2e-")
        with Simulator() as simulator:
            run = HostRun(folder, "--port", simulator.path)
            run.wait_for_cycles(2)
            run.process.send_signal(signal.SIGINT)
            self.assertEqual(run.finish(timeout=20), 0, run.stderr)
        completed = len(of_kind(run.events, "cycle"))
        self.assertGreaterEqual(completed, 2)
        self.assertEqual(len(history_rows(run.history_path)), completed * len(UNITS))
        self.assertIn("%d cycles completed" % completed, run.stdout)


class Soak(unittest.TestCase):
    CYCLES = 100

    def test_a_hundred_cycles_with_ten_percent_faults(self):
        folder = tempfile.mkdtemp(prefix="k426b-soak-")
        started = time.monotonic()
        with Simulator("--fault-rate", "0.1", "--seed", "7") as simulator:
            run = HostRun(folder, "--port", simulator.path, "--cycles", str(self.CYCLES))
            status = run.finish(timeout=1500)
            simulator_status = simulator.stop()
        self.assertEqual(status, 0, run.stderr)
        self.assertEqual(simulator_status, 0)
        cycles = of_kind(run.events, "cycle")
        self.assertEqual([cycle["number"] for cycle in cycles], list(range(1, self.CYCLES + 1)))
        rows = history_rows(run.history_path)
        self.assertEqual(len(rows), self.CYCLES * len(UNITS))
        frame_errors = of_kind(run.events, "frame_error")
        bad_replies = [reply for reply in of_kind(run.events, "reply") if reply["rtn"] != 0]
        logs = of_kind(run.events, "log")
        queries = of_kind(run.events, "query")
        self.assertGreater(len(frame_errors) + len(bad_replies) + len(logs), 0)
        print("\nsoak: %d cycles in %.0f s, %d queries, %d frame errors, %d RTN errors, "
              "%d protocol log lines, %d history rows" %
              (len(cycles), time.monotonic() - started, len(queries), len(frame_errors),
               len(bad_replies), len(logs), len(rows)), file=sys.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--examples", required=True)
    known, rest = parser.parse_known_args()
    HOST, SIM, EXAMPLES = known.host, known.sim, known.examples
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
