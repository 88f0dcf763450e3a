#!/usr/bin/env python3
"""The multi-site host with a history it cannot use: another program holding the history's write
lock - every row is stored once the lock is let go; a damaged history - every site keeps
polling, the file is left as it is, and a history put in its place is taken at the next retry;
rows older than the keep removed while the host runs.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here.

Run: history_faults_test.py --host PATH --sim PATH [unittest arguments]
"""

import datetime
import hashlib
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, wait_until)

HOST = SIM = None


class HistoryHostTest(ChildrenTestCase):
    """Two simulated power systems on pseudo-terminals, watched by one host."""

    PREFIX = "k426b-history-"

    def setUp(self):
        super().setUp()
        self.history = self.path("history.sqlite")
        self.events_path = self.path("events.jsonl")
        self.metrics_port = free_port()

    def start_host(self, *extra, sites_members=None):
        sim = self.spawn([SIM, "--pty", "--sites", "2", "--link", self.path("pty")])
        ports = [read_line(sim, 10, "k426b-sim --pty") for _ in range(2)]
        document = {"sites": [{"name": f"site-{i}", "port": port, "device": device_config(1000 * i)}
                              for i, port in enumerate(ports)]}
        document.update(sites_members or {})
        sites = self.write_json("sites.json", document)
        self.host = self.spawn([HOST, "--sites", sites, "--history", self.history,
                                "--listen", f"127.0.0.1:{self.metrics_port}",
                                "--events", self.events_path, *extra],
                               stdout=subprocess.DEVNULL)

    def stop_host(self):
        self.host.send_signal(signal.SIGTERM)
        self.assertEqual(self.host.wait(timeout=60), 0)

    def events(self, kind):
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path) as stream:
            return [event for event in (json.loads(line) for line in stream if line.endswith("\n"))
                    if event["event"] == kind]

    def cycles(self, site):
        return len([event for event in self.events("cycle") if event["site"] == site])

    def metric(self, name):
        """The value of the unlabelled `name` at one scrape, or None."""
        found = re.search(rf"^{name} (\S+)$", fetch(self.metrics_port, "/metrics") or "",
                          re.MULTILINE)
        return float(found.group(1)) if found else None

    def stored_rows(self, where="1"):
        with sqlite3.connect(self.history, timeout=30) as db:
            return db.execute(f"SELECT COUNT(*) FROM history WHERE {where}").fetchone()[0]

    def assert_every_saved_row_stored(self):
        """After the host has ended: one row in the file for each history event."""
        saved = len(self.events("history"))
        self.assertGreater(saved, 0)
        self.assertEqual(self.stored_rows(), saved)


class HistoryLockedTest(HistoryHostTest):
    def test_rows_wait_while_another_program_holds_the_lock(self):
        self.start_host()
        wait_until(lambda: self.metric("k426b_history_up") == 1, "k426b_history_up 1")
        wait_until(lambda: self.events("history"), "a history row")
        holder = sqlite3.connect(self.history, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        try:
            counted = {site: self.cycles(site) for site in ("site-0", "site-1")}
            wait_until(lambda: (self.metric("k426b_history_pending_rows") or 0) > 0,
                       "rows pending behind the lock")
            # Both sites keep cycling while the rows wait.
            wait_until(lambda: all(self.cycles(site) >= count + 3
                                   for site, count in counted.items()),
                       "three more cycles of each site")
            self.assertEqual(self.metric("k426b_history_up"), 0)
        finally:
            holder.execute("COMMIT")
            holder.close()
        wait_until(lambda: self.metric("k426b_history_pending_rows") == 0, "no rows pending")
        self.assertEqual(self.metric("k426b_history_up"), 1)
        self.assertEqual(self.metric("k426b_history_dropped_rows_total"), 0)
        self.stop_host()
        self.assert_every_saved_row_stored()


class DamagedHistoryTest(HistoryHostTest):
    def test_every_site_polls_and_the_file_is_left_for_a_person(self):
        damaged = bytes(range(256)) * 64
        with open(self.history, "wb") as out:
            out.write(damaged)
        self.start_host("--history-interval", "1s")
        wait_until(lambda: all(self.cycles(site) >= 3 for site in ("site-0", "site-1")),
                   "three cycles of each site")
        self.assertEqual(self.metric("k426b_history_up"), 0)
        wait_until(lambda: (self.metric("k426b_history_pending_rows") or 0) > 0, "rows pending")
        with open(self.history, "rb") as stream:
            self.assertEqual(hashlib.sha256(stream.read()).hexdigest(),
                             hashlib.sha256(damaged).hexdigest())

        # A person moves the damaged file aside: the next retry makes a new history and stores
        # the rows that waited.
        os.rename(self.history, self.history + ".damaged")
        wait_until(lambda: self.metric("k426b_history_up") == 1, "k426b_history_up 1")
        wait_until(lambda: self.metric("k426b_history_pending_rows") == 0, "no rows pending")
        self.stop_host()
        self.assert_every_saved_row_stored()
        with open(self.history + ".damaged", "rb") as stream:
            self.assertEqual(stream.read(), damaged)
        # Said once when it could not be used and once when it could, however many retries.
        with open(self.stderr_path) as log:
            lines = log.read().splitlines()
        self.assertEqual(len([line for line in lines if "history cannot be used" in line]), 1,
                         lines)
        self.assertEqual(len([line for line in lines if "history stored again" in line]), 1,
                         lines)


class HistoryKeepTest(HistoryHostTest):
    def test_rows_older_than_the_keep_are_removed(self):
        # The history as a run two and a half days long left it, one row a minute.
        now = datetime.datetime.now(datetime.timezone.utc)
        with sqlite3.connect(self.history) as db:
            db.execute("CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                       " data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,"
                       " snapshot BLOB NOT NULL, source TEXT NOT NULL DEFAULT '')")
            db.executemany(
                "INSERT INTO history (time, data_id, record_type, snapshot, source)"
                " VALUES (?, 7, 1, ?, 'old')",
                [((now - datetime.timedelta(minutes=minutes)).isoformat(timespec="milliseconds"),
                  bytes(160)) for minutes in range(3600, 0, -1)])
        older = f"source = 'old' AND id <= {3600 - 24 * 60}"  # more than a day old
        self.start_host("--history-interval", "1s", sites_members={"history_keep": "1d"})
        wait_until(lambda: self.stored_rows("source = 'old'") == 24 * 60 - 1,
                   "rows older than a day removed")
        self.assertEqual(self.stored_rows(older), 0)
        wait_until(lambda: self.stored_rows("source != 'old'") > 0, "rows of this run stored")
        self.assertGreater(self.metric("k426b_history_bytes"), 3600 * 160 / 2)
        self.stop_host()
        self.assert_every_saved_row_stored_after(24 * 60 - 1)

    def assert_every_saved_row_stored_after(self, kept):
        self.assertEqual(self.stored_rows() - kept, len(self.events("history")))


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
