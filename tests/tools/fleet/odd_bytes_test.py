#!/usr/bin/env python3
"""The multi-site host fed bytes that are not text, and a line behind which the model changes on
every connection.

ModelPaddedWithFF: one site's power system is of another model and pads its 20-byte model field
with 0xFF; a real Prometheus scrapes the host, which also polls a second, ordinary site. Every
output must stay valid UTF-8, the bytes shown as the four characters \\xFF.

ModelPerConnection: a site's pseudo-terminal is served by one simulator after another, each of
another model; the model alarms of the systems gone must not pile up in /metrics.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here.

Run: odd_bytes_test.py --host PATH --sim PATH [unittest arguments]
Exit status 77 (skipped) when prometheus or promtool is not installed.
"""

import json
import os
import re
import subprocess
import sys
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)
from prometheus_test import Prometheus  # noqa: E402

HOST = SIM = None

FF_SCENARIO = {"model": "X9", "model_fill": 255}


class HostTest(ChildrenTestCase):
    PREFIX = "k426b-odd-bytes-"

    def start_host(self, sites, *more):
        self.port = free_port()
        self.host_out = open(self.path("host.out"), "wb")
        self.addCleanup(self.host_out.close)
        self.host = self.spawn([HOST, "--sites", self.write_json("sites.json", {"sites": sites}),
                                "--listen", f"127.0.0.1:{self.port}", "--no-history", *more],
                               stdout=self.host_out)
        wait_until(lambda: fetch(self.port, "/healthz") is not None, "the host's /healthz")

    def metrics_bytes(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/metrics", timeout=5) as reply:
            return reply.read()


def texts(document):
    """Every string in a JSON document."""
    if isinstance(document, str):
        return [document]
    items = document.values() if isinstance(document, dict) else (
        document if isinstance(document, list) else [])
    return [text for item in items for text in texts(item)]


class ModelPaddedWithFFTest(HostTest):
    def test_every_output_stays_utf8_and_prometheus_scrapes_both_sites(self):
        scenario = self.write_json("ff.json", FF_SCENARIO)
        _, odd_port = self.tcp_simulator(SIM, "--scenario", scenario)
        plain = self.spawn([SIM, "--pty"])
        plain_path = read_line(plain, 10, "k426b-sim --pty")
        self.start_host([{"name": "odd", "port": odd_port,
                          "device": device_config(0)},
                         {"name": "plain", "port": plain_path, "device": device_config(1000)}],
                        "--events", self.path("events.jsonl"), "--log-file", self.path("host.log"))
        prometheus = Prometheus(f"127.0.0.1:{self.port}")
        self.addCleanup(prometheus.stop)

        prometheus.wait_for('up{job="k426b"} == 1')
        alarm = prometheus.wait_for('k426b_alarm_active{site="odd",rule_id="device_model"} == 1')
        description = alarm[0][0]["description"]
        self.assertTrue(description.endswith("检测型号:X9" + "\\xFF" * 18), description)
        model = prometheus.wait_for('k426b_site_info{site="odd"}')[0][0]["model"]
        self.assertEqual(model, "X9")  # the fill bytes are not part of the model
        prometheus.wait_for('k426b_value{site="plain",data_id="1201",key="v"}')

        # The exposition itself passes promtool's lint.
        text = self.metrics_bytes()
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                              timeout=30)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

        # The JSON API and the page's event stream are UTF-8 JSON carrying the same text.
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/api/sites/odd",
                                    timeout=5) as reply:
            site = json.loads(reply.read().decode("utf-8"))
        self.assertIn(description, texts(site))
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/events?site=odd",
                                    timeout=10) as stream:
            line = b""
            while not line.startswith(b"data: "):
                line = stream.readline()
                self.assertTrue(line, "the event stream ended")
        self.assertIn(description, texts(json.loads(line[6:].decode("utf-8"))))

        # The event stream, the log and the human output.
        stop_process(self.host)
        with open(self.path("events.jsonl"), "rb") as events:
            alarms = [json.loads(line.decode("utf-8")) for line in events
                      if b'"event":"alarm"' in line]
        self.assertIn(description, [event["description"] for event in alarms])
        for name in ("host.log", "host.out"):
            with open(self.path(name), "rb") as written:
                written.read().decode("utf-8")  # raises on any byte that is not UTF-8
        with open(self.path("host.out"), "rb") as shown:
            self.assertIn(description.encode(), shown.read())


def count_model_alarms(metrics):
    return len(re.findall(r'^k426b_alarm_active\{[^}]*rule_id="device_model"', metrics, re.M))


class ModelPerConnectionTest(HostTest):
    MODELS = ["M1", "M2", "M3", "M4", "M5", "K426B"]

    def test_alarms_of_systems_gone_are_retired(self):
        link = self.path("line")
        self.start_host([{"name": "swapped", "port": link, "device": device_config(0)}])
        listed = []  # model alarms in /metrics two cycles after each system came
        for number, model in enumerate(self.MODELS):
            scenario = self.write_json(f"model-{number}.json", {"model": model})
            simulator = self.spawn([SIM, "--pty", "--link", link, "--scenario", scenario])
            read_line(simulator, 10, "k426b-sim --pty")
            wait_until(lambda: f'model="{model}"' in (fetch(self.port, "/metrics") or ""),
                       f"model {model} reported")
            raised = 0 if model == "K426B" else 1
            wait_until(lambda: self.raised_model_alarms() == raised,
                       f"{raised} model alarm raised for {model}")
            cycles = self.cycles()
            wait_until(lambda: self.cycles() >= cycles + 2, f"two cycles of {model}")
            listed.append(count_model_alarms(fetch(self.port, "/metrics")))
            stop_process(simulator)
        # One raised and one cleared just now, at most, however many systems came by; the last
        # one's model is right, and the alarm it cleared goes as well.
        self.assertLessEqual(max(listed), 2, listed)
        wait_until(lambda: count_model_alarms(fetch(self.port, "/metrics")) == 0,
                   "no model alarm listed")

    def raised_model_alarms(self):
        return len(re.findall(r'^k426b_alarm_active\{[^}]*rule_id="device_model"[^}]*\} 1$',
                              fetch(self.port, "/metrics"), re.M))

    def cycles(self):
        found = re.search(r'^k426b_cycles_total\{site="swapped"\} (\d+)$',
                          fetch(self.port, "/metrics") or "", re.M)
        return int(found.group(1)) if found else 0


if __name__ == "__main__":
    sys.exit(run_host_tests(globals(), needs=("prometheus", "promtool")))
