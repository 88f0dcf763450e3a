#!/usr/bin/env python3
"""The shipped alerting rules, end to end: simulated power systems, the multi-site host, a real
Prometheus evaluating a copy of monitoring/k426b-alerts.yml, a real Alertmanager and a webhook
receiver in this test.

Two sites: "a" on a pseudo-terminal (`k426b-sim --pty --link DIR/a`, its DC fuse 6 blown: a
level-1 alarm), "b" over TCP. The test sees the alarm's firing notification, then replaces the
simulator of "a" by one whose fuse is whole (same link, so the host finds it again) and sees the
resolved notification; then it stops the simulator of "b" and sees the line-down alert fire.

The copy of the rules differs from the shipped file only in its `for:` durations (1 s), so
that the test need not wait minutes. Everything runs on 127.0.0.1 with free ports; every wait
has a deadline; every process started here is ended here.

Run: alerting_test.py --host PATH --sim PATH --rules PATH [unittest arguments]
Exit status 77 (skipped) when prometheus or prometheus-alertmanager is not installed.
"""

import http.server
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    DEADLINE_S, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = RULES = DASHBOARD = None
# What the dashboard's variables stand for when its queries are run here.
DASHBOARD_VARIABLES = {"$site": "b", "$__rate_interval": "1m"}
ALERTMANAGER = "prometheus-alertmanager"
BLOWN_FUSE = {"changes": [{"at_cycle": 1, "set": {"dc_units.0.fuses.5": 3}}]}


class WebhookReceiver:
    """An HTTP server taking Alertmanager's webhook notifications into a queue."""

    def __init__(self):
        notifications = self.notifications = queue.Queue()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                notifications.put(json.loads(self.rfile.read(length)))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/alerts"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.seen = []

    def wait_for(self, status, matches, what):
        """The first notification with `status` holding an alert for which `matches` is true;
        every notification received is kept in `seen`."""
        end = time.monotonic() + DEADLINE_S
        while time.monotonic() < end:
            try:
                payload = self.notifications.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(payload)
            for alert in payload["alerts"]:
                if alert["status"] == status and matches(alert["labels"]):
                    return payload, alert
        raise AssertionError(f"no {status} notification for {what} within {DEADLINE_S} s; "
                             f"received: {json.dumps(self.seen, ensure_ascii=False)[-3000:]}")

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Stack:
    """The simulators, the host, Prometheus and Alertmanager, in one temporary directory."""

    def __init__(self, webhook_url):
        self.directory = tempfile.mkdtemp(prefix="k426b-alerting-")
        self.processes = []
        self.log = open(os.path.join(self.directory, "stderr.log"), "w+")
        try:
            self.start(webhook_url)
        except BaseException:
            self.stop()
            raise

    def start(self, webhook_url):
        self.link = os.path.join(self.directory, "a")
        self.sim_a = self.start_pty_sim(BLOWN_FUSE)
        # Site b's line spoils a reply now and then: the dashboard's error panel has series.
        self.sim_b = self.spawn([SIM, "--tcp", "127.0.0.1:0", "--fault-rate", "0.05",
                                 "--fault-kinds", "bad_chksum,rtn_error", "--seed", "1"])
        tcp_address = read_line(self.sim_b, 10, "k426b-sim --tcp")
        self.host_port = free_port()
        # The endpoint named as other Prometheus exporters name it.
        host = self.spawn([HOST, "--sites", self.write_sites(tcp_address),
                           "--web.listen-address", f"127.0.0.1:{self.host_port}",
                           "--history", os.path.join(self.directory, "history.sqlite")])
        wait_until(lambda: host.poll() is not None or fetch(self.host_port, "/healthz"),
                   "k426b-host answers")
        if host.poll() is not None:
            raise AssertionError(f"k426b-host ended ({host.returncode}): {self.tail()}")
        self.alertmanager_port = free_port()
        self.spawn([ALERTMANAGER, f"--config.file={self.write_alertmanager_config(webhook_url)}",
                    f"--storage.path={os.path.join(self.directory, 'alertmanager')}",
                    f"--web.listen-address=127.0.0.1:{self.alertmanager_port}",
                    "--cluster.listen-address=", "--log.level=warn"])
        wait_until(lambda: fetch(self.alertmanager_port, "/-/ready") is not None,
                   "Alertmanager ready")
        self.prometheus_port = free_port()
        self.spawn(["prometheus", f"--config.file={self.write_prometheus_config()}",
                    f"--storage.tsdb.path={os.path.join(self.directory, 'prometheus')}",
                    f"--web.listen-address=127.0.0.1:{self.prometheus_port}",
                    "--rules.alert.resend-delay=1s", "--log.level=warn"])
        wait_until(lambda: fetch(self.prometheus_port, "/-/ready") is not None,
                   "Prometheus ready")

    def spawn(self, command):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.log)
        self.processes.append(process)
        return process

    def start_pty_sim(self, scenario):
        command = [SIM, "--pty", "--link", self.link]
        if scenario:
            path = os.path.join(self.directory, "scenario.json")
            with open(path, "w") as out:
                json.dump(scenario, out)
            command += ["--scenario", path]
        process = self.spawn(command)
        read_line(process, 10, "k426b-sim --pty")
        return process

    def write_sites(self, tcp_address):
        sites = {"sites": [
            {"name": "a", "port": self.link, "device": device_config(0)},
            {"name": "b", "port": "tcp://" + tcp_address, "device": device_config(1000)}]}
        path = os.path.join(self.directory, "sites.json")
        with open(path, "w") as out:
            json.dump(sites, out)
        return path

    def write_alertmanager_config(self, webhook_url):
        path = os.path.join(self.directory, "alertmanager.yml")
        with open(path, "w") as out:
            out.write("route:\n  receiver: test\n  group_by: [alertname, site, rule_id]\n"
                      "  group_wait: 1s\n  group_interval: 1s\n  repeat_interval: 1h\n"
                      "receivers:\n  - name: test\n    webhook_configs:\n"
                      f"      - url: '{webhook_url}'\n        send_resolved: true\n")
        return path

    def write_prometheus_config(self):
        with open(RULES) as shipped:
            rules = shipped.read()
        # The test's copy: every `for:` 1 s; thresholds and expressions as shipped.
        rules, count = re.subn(r"^(\s+for:) \S+$", r"\1 1s", rules, flags=re.MULTILINE)
        if count == 0:
            raise AssertionError(f"no for: durations found in {RULES}")
        rules_path = os.path.join(self.directory, "rules.yml")
        with open(rules_path, "w") as out:
            out.write(rules)
        path = os.path.join(self.directory, "prometheus.yml")
        with open(path, "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                      "  evaluation_interval: 1s\n"
                      f"rule_files: ['{rules_path}']\n"
                      "alerting:\n  alertmanagers:\n    - static_configs:\n"
                      f"        - targets: ['127.0.0.1:{self.alertmanager_port}']\n"
                      "scrape_configs:\n  - job_name: k426b\n    static_configs:\n"
                      f"      - targets: ['127.0.0.1:{self.host_port}']\n")
        return path

    def query(self, expression):
        body = fetch(self.prometheus_port,
                     "/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
        return json.loads(body)["data"]["result"] if body else []

    def tail(self):
        self.log.seek(0)
        return self.log.read()[-2000:]

    def stop(self):
        for process in reversed(self.processes):
            stop_process(process)
        self.log.close()
        shutil.rmtree(self.directory, ignore_errors=True)


class AlertingTest(unittest.TestCase):
    """One stack for the class; the tests run in the order of their names (the alarm test
    stops simulators)."""

    @classmethod
    def setUpClass(cls):
        cls.webhook = WebhookReceiver()
        try:
            cls.stack = Stack(cls.webhook.url)
        except BaseException:
            cls.webhook.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()
        cls.webhook.stop()

    def test_a_every_dashboard_query_answers_with_series(self):
        with open(DASHBOARD) as source:
            dashboard = json.load(source)
        panels = [panel for top in dashboard["panels"] for panel in [top, *top.get("panels", [])]]
        queries = [(panel["title"], target["expr"]) for panel in panels
                   for target in panel.get("targets", [])]
        self.assertTrue(queries)
        for title, expression in queries:
            for name, value in DASHBOARD_VARIABLES.items():
                expression = expression.replace(name, value)
            self.assertNotIn("$", expression, f"panel {title!r}: a variable left unset")
            result = wait_until(lambda: self.stack.query(expression),
                                f"panel {title!r}: series for {expression}")
            print(f"{len(result):3} series  {title}: {expression}", flush=True)
        variable = next(v for v in dashboard["templating"]["list"] if v["name"] == "site")
        metric = re.fullmatch(r"label_values\((\w+), site\)", variable["definition"]).group(1)
        sites = json.loads(fetch(self.stack.prometheus_port, "/api/v1/label/site/values?" +
                                 urllib.parse.urlencode({"match[]": metric})))["data"]
        self.assertEqual(sites, ["a", "b"])
        print(f"{len([p for p in panels if p.get('targets')])} panels, {len(queries)} queries, "
              "each with series", flush=True)

    def show(self, what, payload):
        alerts = [{key: alert[key] for key in ("status", "labels", "annotations")}
                  for alert in payload["alerts"]]
        print(f"{what}: {json.dumps(alerts, ensure_ascii=False)}", flush=True)

    def test_c_the_landing_page_links_to_the_metrics_without_javascript(self):
        page = fetch(self.stack.host_port, "/")
        self.assertRegex(page, r'<noscript>.*<a href="metrics">', page)

    def test_b_an_alarm_fires_and_resolves_and_a_lost_line_fires(self):
        def fuse_alarm(labels):
            return labels.get("alertname") == "K426bAlarm" and labels.get("site") == "a" \
                and labels.get("rule_id") == "DC_3"

        payload, alert = self.webhook.wait_for("firing", fuse_alarm, "the blown fuse")
        self.show("firing", payload)
        self.assertEqual({key: alert["labels"].get(key) for key in
                          ("site", "data_id", "rule_id", "level", "severity")},
                         {"site": "a", "data_id": "201", "rule_id": "DC_3", "level": "1",
                          "severity": "critical"})
        self.assertIn("直流6电池熔丝故障告警", alert["annotations"]["description"])
        self.assertIn("Site a", alert["annotations"]["summary"])

        # The fuse replaced: a simulator with the default scenario takes over the link, then
        # the one with the blown fuse ends.
        first = self.stack.sim_a
        self.stack.start_pty_sim(None)
        stop_process(first)
        payload, alert = self.webhook.wait_for("resolved", fuse_alarm, "the replaced fuse")
        self.show("resolved", payload)
        self.assertEqual(alert["labels"]["severity"], "critical")
        # Resolved because the equipment cleared it, not because the site went away.
        wait_until(lambda: self.stack.query('k426b_alarm_active{site="a",rule_id="DC_3"} == 0'),
                   "the alarm's sample shows it cleared")

        stop_process(self.stack.sim_b)
        payload, alert = self.webhook.wait_for(
            "firing", lambda labels: labels.get("alertname") == "K426bLineDown"
            and labels.get("site") == "b", "site b's lost line")
        self.show("line down", payload)
        self.assertEqual(alert["labels"]["severity"], "critical")
        self.assertEqual(alert["annotations"]["summary"],
                         "Site b: the power system does not answer")


if __name__ == "__main__":
    sys.exit(run_host_tests(globals(), more=("--rules", "--dashboard"),
                            needs=("prometheus", ALERTMANAGER)))
