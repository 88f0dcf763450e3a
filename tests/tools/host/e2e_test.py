#!/usr/bin/env python3
"""End-to-end tests: k426b-sim on a pseudo-terminal and k426b-host on its other end, as two
processes, checked through the host's event stream, its history database and its exit status.

Run: e2e_test.py --host PATH --sim PATH --examples DIR [unittest arguments, e.g. -k Restart]
"""

import argparse
import datetime
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import temp_folder  # noqa: E402

HOST = SIM = EXAMPLES = REFUSING_PLUGIN = None

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

    def __init__(self, *arguments, link=None):
        self.errors = tempfile.TemporaryFile(mode="w+")
        command = [SIM, "--pty", *arguments] + (["--link", link] if link else [])
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.errors,
                                        text=True)
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
        if not self.errors.closed:
            self.errors.seek(0)
            self.stderr = self.errors.read()
        self.process.stdout.close()
        self.errors.close()
        return self.process.returncode

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def kill(self):
        self.process.kill()
        self.process.wait()

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
        """history: a file name in `folder`, None for --no-history, or "default" for the
        default paths (with `env` setting XDG_STATE_HOME)."""
        self.folder = folder
        # An events file is appended to: each run gets its own.
        self.events_path = tempfile.mktemp(prefix="events-", suffix=".jsonl", dir=folder)
        self.history_path = os.path.join(folder, history or "history.sqlite")
        keep = ["--history", self.history_path] if history else ["--no-history"]
        if history == "default":
            keep = []
        command = [HOST, "--config", config or os.path.join(EXAMPLES, "k426b.json"),
                   "--events", self.events_path, *keep, *arguments]
        # Files, not pipes: a long run's output must never fill a pipe nobody reads yet.
        self.outputs = [tempfile.TemporaryFile(mode="w+"), tempfile.TemporaryFile(mode="w+")]
        self.process = subprocess.Popen(command, stdout=self.outputs[0], stderr=self.outputs[1],
                                        text=True, env=env)

    def _read_outputs(self):
        texts = []
        for output in self.outputs:
            output.seek(0)
            texts.append(output.read())
            output.close()
        self.stdout, self.stderr = texts

    def finish(self, timeout=90):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self._read_outputs()
            raise AssertionError("k426b-host did not finish:\n" + self.stdout[-3000:])
        self._read_outputs()
        self.events = read_events(self.events_path) if os.path.exists(self.events_path) else []
        return self.process.returncode

    def wait_for_cycles(self, count, timeout=60):
        self.wait_for(lambda events: len(of_kind(events, "cycle")) >= count, timeout,
                      "%d cycles" % count)

    def wait_for(self, condition, timeout, what):
        """Waits until `condition(events so far)` returns something true; returns it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.events_path):
                found = condition(read_events_tolerant(self.events_path))
                if found:
                    return found
            if self.process.poll() is not None:
                raise AssertionError("k426b-host ended early waiting for " + what)
            time.sleep(0.1)
        raise AssertionError("no %s within %d s" % (what, timeout))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        return self.finish(timeout=20)


def read_events_tolerant(path):
    """Events of a stream still being written: a last line without its end is left out."""
    with open(path, encoding="utf-8") as stream:
        return [json.loads(line) for line in stream if line.endswith("\n")]


def write_json(folder, name, document):
    path = os.path.join(folder, name)
    if isinstance(document, bytes):
        with open(path, "wb") as stream:
            stream.write(document)
        return path
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
        cls.folder = temp_folder(cls, "k426b-e2e-")
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
        folder = temp_folder(self, "k426b-e2e-")
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
        # Files the JSON parser cannot take: a message, not an uncaught exception.
        ("nested 1,001 levels", "[" * 1001 + "]" * 1001, "is not usable JSON"),
        ("2 MiB", '{"rcSetting": {}, "pad": "%s"}' % ("x" * (2 * 1024 * 1024)),
         "is too large: 2097180 bytes, the limit is 1048576"),
        ("a number beyond every floating type", '{"data_id": 1e400, "rcSetting": {}}',
         "'1e400' is not a number"),
        ("a number beyond every integer type",
         '{"data_id": 18446744073709551617, "rcSetting": {}}',
         "data_id must be an unsigned integer, found a number"),
        ("a member name that is not UTF-8", b'{"data_id": 1, "rcSetting": {}, "x\xff": 1}',
         "unknown member 'x\\xFF'"),
    ]

    def test_bad_configurations_end_with_status_2_before_anything_is_opened(self):
        folder = temp_folder(self, "k426b-e2e-")
        for description, document, named in self.CASES:
            with self.subTest(description):
                config = write_json(folder, "config.json", document)
                run = HostRun(folder, "--port", "/nonexistent/tty", config=config)
                self.assertEqual(run.finish(timeout=20), 2, run.stderr)
                self.assertIn(named, run.stderr)
                self.assertIn(config, run.stderr)
                self.assertNotIn("terminate", run.stderr)
                self.assertFalse(os.path.exists(run.history_path))

    def test_a_bad_listen_address_ends_with_status_2_before_anything_is_opened(self):
        # With the built-in simulator every other step of the start would succeed.
        folder = temp_folder(self, "k426b-e2e-")
        run = HostRun(folder, "--simulate", "--cycles", "1", "--listen", "localhost:99999")
        self.assertEqual(run.finish(timeout=20), 2, run.stderr)
        self.assertIn("--listen", run.stderr)
        self.assertFalse(os.path.exists(run.history_path))

    def test_a_configuration_the_plugin_refuses_ends_with_status_2_before_anything_is_opened(self):
        # Only the plug-in's InitSetting refuses it: the host's own check lets it through.
        folder = temp_folder(self, "k426b-e2e-")
        record = os.path.join(folder, "record.jsonl")
        log = os.path.join(folder, "host.log")
        run = HostRun(folder, "--simulate", "--cycles", "1", "--plugin", REFUSING_PLUGIN,
                      "--record", record, "--log-file", log)
        self.assertEqual(run.finish(timeout=20), 2, run.stderr)
        self.assertIn("the plug-in rejected it (InitSetting returned false)", run.stderr)
        self.assertIn(os.path.join(EXAMPLES, "k426b.json"), run.stderr)
        for path in (run.history_path, run.events_path, record, log):
            self.assertFalse(os.path.exists(path), path)

    def test_every_problem_of_a_configuration_comes_in_one_message(self):
        folder = temp_folder(self, "k426b-e2e-")
        config = write_json(folder, "config.json", {
            "data_id": 100, "adress": 1, "rcSetting": {},
            "acSetting": [{"data_id": 101}], "dcSetting": [{"data_id": 101}]})
        run = HostRun(folder, "--port", "/nonexistent/tty", config=config)
        self.assertEqual(run.finish(timeout=20), 2, run.stderr)
        self.assertIn("unknown member 'adress' \u2014 did you mean 'address'?", run.stderr)
        self.assertIn("dcSetting[0].data_id: data_id 101 is already used at acSetting[0].data_id",
                      run.stderr)
        self.assertFalse(os.path.exists(run.history_path))

    def test_a_missing_configuration_file_is_named(self):
        folder = temp_folder(self, "k426b-e2e-")
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
        folder = temp_folder(self, "k426b-e2e-")
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


    def test_a_unit_count_other_than_configured_is_explained_with_its_fix(self):
        folder = temp_folder(self, "k426b-e2e-")
        with open(os.path.join(EXAMPLES, "k426b.json"), encoding="utf-8") as stream:
            config = json.load(stream)
        config["acSetting"] = config["acSetting"][:1]
        path = write_json(folder, "one-ac.json", config)
        with Simulator() as simulator:
            run = HostRun(folder, "--port", simulator.path, "--once", "--deadline", "5",
                          history=None, config=path)
            self.assertEqual(run.finish(), 1, run.stderr)
        explanation = "the power system reports 2 AC units; the configuration lists 1 in acSetting"
        self.assertEqual(run.stdout.count(explanation), 1)
        self.assertIn("no cycle completed within 5 s (line up; " + explanation, run.stderr)
        problems = [line["problem"] for line in of_kind(run.events, "line")]
        self.assertIn(explanation, problems)
        # The plug-in's own message is logged once, not at every attempt.
        self.assertEqual(run.stderr.count("read ac_number is 2, configured ac_number is 1"), 1)
        self.assertGreater(len([log for log in of_kind(run.events, "log")
                                if "ac_number" in log["text"]]), 1)


class RecordAndReplay(unittest.TestCase):
    def test_a_recording_replayed_by_the_simulator_gives_the_same_values(self):
        folder = temp_folder(self, "k426b-e2e-")
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
        # Both cycles used every recorded exchange: the simulator says the recording ran out.
        self.assertIn("the recording %s has run out after %d exchanges" % (record, len(sent)),
                      replay.stderr)
        for cycle in (1, 2):
            self.assertEqual(values_after_cycle(replayed.events, cycle),
                             values_after_cycle(recorded.events, cycle))


class LineLossAndStop(unittest.TestCase):
    def test_a_lost_line_is_reopened_and_polling_resumes(self):
        folder = temp_folder(self, "k426b-e2e-")
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
        folder = temp_folder(self, "k426b-e2e-")
        with Simulator() as simulator:
            run = HostRun(folder, "--port", simulator.path)
            run.wait_for_cycles(2)
            run.process.send_signal(signal.SIGINT)
            self.assertEqual(run.finish(timeout=20), 0, run.stderr)
        completed = len(of_kind(run.events, "cycle"))
        self.assertGreaterEqual(completed, 2)
        self.assertEqual(len(history_rows(run.history_path)), completed * len(UNITS))
        self.assertIn("%d cycles completed" % completed, run.stdout)


def values_of(events, data_id):
    return [event for event in of_kind(events, "values") if event["data_id"] == data_id]


def event_time(event):
    return datetime.datetime.fromisoformat(event["time"])


class LineSilence(unittest.TestCase):
    """The simulator stopped: the line turns silent within the reply time-out; 61 s after the
    last completed cycle the values shown turn "数据已超时"; a simulator back on the same link
    brings the line up and fresh values within one cycle."""

    def test_a_silent_line_is_told_and_its_values_age_until_the_line_returns(self):
        folder = temp_folder(self, "k426b-e2e-")
        link = os.path.join(folder, "line")
        first = Simulator(link=link)
        run = HostRun(folder, "--port", link, history=None)
        second = None
        try:
            run.wait_for_cycles(1)
            first.pause()
            paused = datetime.datetime.now().astimezone()
            # Bounded generously: the times that matter are the event's own, checked below.
            silent = run.wait_for(
                lambda events: [e for e in of_kind(events, "line") if e["state"] == "silent"],
                20, "silent line")[0]
            since = datetime.datetime.fromisoformat(silent["since"])
            # The query in flight when the simulator stopped, given up after 1.5 s.
            self.assertLessEqual((event_time(silent) - since).total_seconds(), 1.5 + 0.5)
            self.assertGreaterEqual(since, paused - datetime.timedelta(seconds=2.5))
            self.assertEqual(silent["reason"], "no answer")

            def timed_out(events):
                return [e for e in values_of(events, 101)
                        if e["values"]["ia"] == {"error": "数据已超时"}]
            stale = run.wait_for(timed_out, 90, "values refused as timed out")[0]
            last_cycle = of_kind(read_events(run.events_path), "cycle")[-1]
            waited = (event_time(stale) - event_time(last_cycle)).total_seconds()
            # Shown again at the moment the plug-in starts refusing them: 61 s on its clock after
            # the AC unit's reply, which came somewhere within the last cycle. That clock counts
            # whole seconds, so the refusal may come up to a second sooner by the wall clock.
            self.assertGreater(waited + last_cycle["seconds"], 60)
            self.assertLess(waited, 63)
            self.assertTrue(all(v == {"error": "数据已超时"} for v in stale["values"].values()))
            # The age is shown to a tenth of a second: a refusal just past 60 s by the wall clock
            # reads 60.0.
            self.assertGreaterEqual(stale["age_s"], 60)

            first.kill()
            second = Simulator(link=link)
            up = run.wait_for(
                lambda events: [e for e in of_kind(events, "line") if e["state"] == "up"
                                and event_time(e) > event_time(stale)], 30, "line up again")[0]
            cycles_before = len(of_kind(read_events(run.events_path), "cycle"))
            run.wait_for_cycles(cycles_before + 1, timeout=30)
            status = run.stop()
        finally:
            for simulator in (first, second):
                if simulator:
                    simulator.stop()
            if run.process.poll() is None:
                run.process.kill()
        self.assertEqual(status, 0, run.stderr)
        fresh = [e for e in values_of(run.events, 101) if event_time(e) > event_time(up)]
        print("\nsilent %.2f s after its unanswered query; 数据已超时 shown %.1f s after the last "
              "cycle; up again, fresh values %.2f s later" %
              ((event_time(silent) - since).total_seconds(), waited,
               (event_time(fresh[0]) - event_time(up)).total_seconds()), file=sys.stderr)
        self.assertEqual(fresh[0]["values"]["ia"], 10.0)
        self.assertLess(fresh[0]["age_s"], 5)
        self.assertIn("no answer from %s since" % link, run.stdout)
        self.assertIn("device created anew", run.stdout)


def rows_by_source(path):
    with sqlite3.connect(path) as db:
        return dict(db.execute("SELECT source, COUNT(*) FROM history GROUP BY source").fetchall())


def values_before_polling(events):
    values = {}
    for event in events:
        if event["event"] == "query":
            break
        if event["event"] == "values":
            values[event["data_id"]] = event["values"]
    return values


class CachePolicy(unittest.TestCase):
    def test_a_stored_row_twenty_minutes_old_is_refused_and_a_fresh_one_loaded(self):
        folder = temp_folder(self, "k426b-e2e-")
        link = os.path.join(folder, "line")
        with Simulator(link=link):
            first = HostRun(folder, "--port", link, "--cycles", "1")
            self.assertEqual(first.finish(), 0, first.stderr)
            old = (datetime.datetime.now().astimezone() - datetime.timedelta(minutes=20))
            with sqlite3.connect(first.history_path) as db:
                db.execute("UPDATE history SET time = ?", (old.isoformat(timespec="milliseconds"),))
            refused = HostRun(folder, "--port", link, "--cycles", "1")
            self.assertEqual(refused.finish(), 0, refused.stderr)
            loaded = HostRun(folder, "--port", link, "--cycles", "1")
            self.assertEqual(loaded.finish(), 0, loaded.stderr)

        caches = of_kind(refused.events, "cache")
        self.assertEqual({(c["data_id"], c["record_type"]) for c in caches}, set(UNITS.items()))
        for cache in caches:
            self.assertFalse(cache["accepted"])
            self.assertAlmostEqual(cache["age_s"], 1200, delta=30)
            self.assertEqual(cache["source"], link)
            self.assertIn("older than --max-cache-age 600 s", cache["refused"])
        self.assertEqual(values_before_polling(refused.events)[101]["ia"], {"error": "数据未就绪"})
        self.assertIn("stored values of 101 k426b-ac not used: it is 20 min old", refused.stdout)

        caches = of_kind(loaded.events, "cache")
        self.assertTrue(all(c["accepted"] and c["age_s"] < 60 for c in caches))
        before = [e for e in of_kind(loaded.events, "values") if e["data_id"] == 101][0]
        self.assertEqual(before["values"]["ia"], 10.0)
        self.assertTrue(before["cached"])


class SimulatedAndRealLinesApart(unittest.TestCase):
    def test_a_simulated_run_and_a_port_run_with_default_paths_share_no_values(self):
        folder = temp_folder(self, "k426b-e2e-")
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(folder, "state"))
        state = os.path.join(folder, "state", "k426b")
        simulated = HostRun(folder, "--simulate", "--cycles", "1", history="default", env=env)
        self.assertEqual(simulated.finish(), 0, simulated.stderr)
        link = os.path.join(folder, "line")
        with Simulator(link=link):
            real = HostRun(folder, "--port", link, "--cycles", "1", history="default", env=env)
            self.assertEqual(real.finish(), 0, real.stderr)
        self.assertEqual(of_kind(real.events, "cache"), [])
        self.assertEqual(values_before_polling(real.events)[201]["v"], {"error": "数据未就绪"})
        self.assertEqual(rows_by_source(os.path.join(state, "simulator-history.sqlite")),
                         {"simulator": len(UNITS)})
        self.assertEqual(rows_by_source(os.path.join(state, "history.sqlite")), {link: len(UNITS)})

        again = HostRun(folder, "--simulate", "--cycles", "1", history="default", env=env)
        self.assertEqual(again.finish(), 0, again.stderr)
        caches = of_kind(again.events, "cache")
        self.assertTrue(caches and all(c["source"] == "simulator" and c["accepted"] for c in caches))


class OnePortOneProgram(unittest.TestCase):
    def test_a_second_host_or_simulator_on_a_port_in_use_ends_at_once_naming_it(self):
        folder = temp_folder(self, "k426b-e2e-")
        link = os.path.join(folder, "line")
        with Simulator(link=link):
            first = HostRun(folder, "--port", link, history=None)
            try:
                first.wait_for_cycles(1)
                started = time.monotonic()
                second = subprocess.run([HOST, "--port", link, "--no-history", "--cycles", "1"],
                                        capture_output=True, text=True, timeout=20)
                self.assertLess(time.monotonic() - started, 5)
                self.assertEqual(second.returncode, 1, second.stderr)
                self.assertIn("k426b-host: %s is in use by another program" % link, second.stderr)
                simulator = subprocess.run([SIM, "--port", link], capture_output=True, text=True,
                                           timeout=20)
                self.assertEqual(simulator.returncode, 1, simulator.stderr)
                self.assertIn("%s is in use by another program" % link, simulator.stderr)
                # The first host went on polling meanwhile.
                cycles = len(of_kind(read_events_tolerant(first.events_path), "cycle"))
                first.wait_for_cycles(cycles + 1)
            finally:
                self.assertEqual(first.stop(), 0, first.stderr)


class OnceJson(unittest.TestCase):
    def test_once_json_prints_the_sites_status_after_the_first_cycle(self):
        with Simulator() as simulator:
            result = subprocess.run([HOST, "--port", simulator.path, "--no-history", "--once",
                                     "--json"], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        status = json.loads(result.stdout)
        self.assertEqual(status["port"], simulator.path)
        self.assertEqual(status["model"], "K426B")
        self.assertEqual(status["line"]["state"], "up")
        self.assertEqual(status["counters"]["cycles"], 1)
        self.assertEqual(status["counters"]["queries"], 11)
        units = {unit["data_id"]: unit for unit in status["units"]}
        self.assertEqual(set(units), set(UNITS))
        self.assertEqual(units[201]["values"], {"v": 53.5, "i": 25.0})
        self.assertEqual(units[101]["values"]["channel_0_a"], 220.0)
        self.assertFalse(units[101]["cached"])
        self.assertLess(units[101]["age_s"], 5)
        self.assertTrue(all(not alarm["active"] for alarm in status["alarms"]))
        self.assertEqual(status["frames"][0]["text"], "~200140510000FDB3")
        self.assertIn("cycle 1", result.stderr)  # the human output moved to standard error

    def test_once_without_a_cycle_by_the_deadline_ends_with_status_1(self):
        with Simulator() as simulator:
            simulator.pause()
            result = subprocess.run([HOST, "--port", simulator.path, "--no-history", "--once",
                                     "--json", "--deadline", "3"],
                                    capture_output=True, text=True, timeout=30)
            simulator.process.send_signal(signal.SIGCONT)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertIn("no cycle completed within 3 s (line silent: no answer", result.stderr)

    def test_events_to_standard_output_and_an_events_file_appended_to(self):
        folder = temp_folder(self, "k426b-e2e-")
        events_file = os.path.join(folder, "events.jsonl")
        with Simulator() as simulator:
            streamed = subprocess.run([HOST, "--port", simulator.path, "--no-history", "--cycles",
                                       "1", "--events", "-"],
                                      capture_output=True, text=True, timeout=60)
            for _ in range(2):
                subprocess.run([HOST, "--port", simulator.path, "--no-history", "--cycles", "1",
                                "--events", events_file], capture_output=True, timeout=60)
        self.assertEqual(streamed.returncode, 0, streamed.stderr)
        lines = [json.loads(line) for line in streamed.stdout.splitlines()]
        self.assertEqual(lines[0]["event"], "start")
        self.assertEqual(lines[0]["options"][-2:], ["--events", "-"])
        self.assertIn("cycle 1", streamed.stderr)
        starts = of_kind(read_events(events_file), "start")
        self.assertEqual(len(starts), 2)
        self.assertTrue(starts[0]["version"])
        self.assertTrue(starts[0]["config"].endswith("k426b.json"))


class Soak(unittest.TestCase):
    CYCLES = 100

    def test_a_hundred_cycles_with_ten_percent_faults(self):
        folder = temp_folder(self, "k426b-soak-")
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
    parser.add_argument("--refusing-plugin", required=True)
    known, rest = parser.parse_known_args()
    HOST, SIM, EXAMPLES = known.host, known.sim, known.examples
    REFUSING_PLUGIN = known.refusing_plugin
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
