#!/usr/bin/env python3
"""A real Prometheus server scraping the k426b metrics endpoint, asked through its HTTP API.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here. The endpoint under test is a *target*: today the metrics demo (two sites,
"south" with its line down, alarms raised); the multi-site host is another target class with the
same two methods (start -> "HOST:PORT", stop) and its own expectations.

Run: prometheus_test.py --demo PATH [--host PATH --sim PATH] [unittest arguments]
Without --host, the host's test class is skipped. Exit status 77 (skipped) when prometheus is not
installed.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    DEADLINE_S, device_config, free_port, read_line, stop_process)

DEMO = HOST = SIM = None

# The TCP site's fuse 6 blows when cycle 2 starts and stays blown.
FUSE_SCENARIO = {"changes": [{"at_cycle": 2, "set": {"dc_units.0.fuses.5": 3}}]}





class DemoTarget:
    """metrics_demo serving a fixed board of two sites."""

    def __init__(self, demo):
        self.demo = demo
        self.process = None

    def start(self):
        self.process = subprocess.Popen([self.demo, "--listen", "127.0.0.1:0"],
                                        stdout=subprocess.PIPE)
        line = read_line(self.process, 10, "metrics_demo")
        prefix = "listening on "
        if not line.startswith(prefix):
            raise AssertionError(f"metrics_demo: unexpected first line {line!r}")
        return line[len(prefix):]

    def stop(self):
        stop_process(self.process)



class HostFleetTarget:
    """Three simulated power systems (sites "pty-0" and "pty-1" on pseudo-terminals from one
    `k426b-sim --sites 2 --pty --link DIR/pty`, reached through DIR/pty-0 and DIR/pty-1;
    "tcp-0" from `k426b-sim --tcp`) supervised by one
    `k426b-host --sites FILE --listen 127.0.0.1:PORT`."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="k426b-fleet-")
        self.processes = []
        self.tcp_sim = None
        self.stderr = open(os.path.join(self.directory, "stderr.log"), "a")

    def start(self):
        ptys = self.spawn([SIM, "--sites", "2", "--pty", "--link",
                           os.path.join(self.directory, "pty")])
        pty_paths = [read_line(ptys, 10, "k426b-sim --pty") for _ in range(2)]
        scenario = os.path.join(self.directory, "fuse.json")
        with open(scenario, "w") as out:
            json.dump(FUSE_SCENARIO, out)
        self.tcp_sim = self.spawn([SIM, "--tcp", "127.0.0.1:0", "--scenario", scenario])
        tcp_address = read_line(self.tcp_sim, 10, "k426b-sim --tcp")
        sites = {"sites": [
            {"name": "pty-0", "port": pty_paths[0], "device": device_config(0)},
            {"name": "pty-1", "port": pty_paths[1], "device": device_config(1000)},
            {"name": "tcp-0", "port": "tcp://" + tcp_address, "device": device_config(2000)}]}
        sites_file = os.path.join(self.directory, "sites.json")
        with open(sites_file, "w") as out:
            json.dump(sites, out, indent=2)
        port = free_port()
        self.spawn([HOST, "--sites", sites_file, "--listen", f"127.0.0.1:{port}",
                    "--history", os.path.join(self.directory, "history.sqlite")])
        base = f"http://127.0.0.1:{port}"
        end = time.monotonic() + DEADLINE_S
        while time.monotonic() < end:
            try:
                with urllib.request.urlopen(base + "/healthz", timeout=5):
                    return f"127.0.0.1:{port}"
            except OSError:
                time.sleep(0.2)
        raise AssertionError("k426b-host did not answer /healthz")

    def spawn(self, command):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.stderr)
        self.processes.append(process)
        return process

    def stop_tcp_site(self):
        stop_process(self.tcp_sim)

    def stop(self):
        for process in reversed(self.processes):
            stop_process(process)
        self.stderr.close()
        shutil.rmtree(self.directory, ignore_errors=True)


class Prometheus:
    """prometheus on a temporary directory, scraping one target every second."""

    def __init__(self, target_address):
        self.directory = tempfile.mkdtemp(prefix="k426b-prometheus-")
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        config = os.path.join(self.directory, "prometheus.yml")
        with open(config, "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                      "  evaluation_interval: 1s\n"
                      "scrape_configs:\n  - job_name: k426b\n"
                      f"    static_configs:\n      - targets: ['{target_address}']\n")
        self.log = open(os.path.join(self.directory, "prometheus.log"), "w+")
        self.process = subprocess.Popen(
            ["prometheus", f"--config.file={config}",
             f"--storage.tsdb.path={os.path.join(self.directory, 'data')}",
             f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn"],
            stdout=self.log, stderr=subprocess.STDOUT)
        self.wait(lambda: self.get("/-/ready") is not None, "Prometheus ready")

    def get(self, path):
        try:
            with urllib.request.urlopen(self.base + path, timeout=5) as response:
                return response.read().decode()
        except OSError:
            return None

    def query(self, expression):
        """The result vector of an instant query: a list of (labels, value)."""
        body = self.get("/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
        if body is None:
            return []
        answer = json.loads(body)
        if answer.get("status") != "success":
            raise AssertionError(f"query {expression!r} failed: {answer}")
        return [(item["metric"], float(item["value"][1])) for item in answer["data"]["result"]]

    def wait(self, condition, what, deadline_s=DEADLINE_S):
        end = time.monotonic() + deadline_s
        while time.monotonic() < end:
            if self.process.poll() is not None:
                raise AssertionError(f"prometheus ended ({self.process.returncode}): {self.tail()}")
            result = condition()
            if result:
                return result
            time.sleep(0.2)
        raise AssertionError(f"no {what} within {deadline_s} s; prometheus log: {self.tail()}")

    def wait_for(self, expression, deadline_s=DEADLINE_S):
        """Waits until `expression` has a non-empty result and returns it."""
        return self.wait(lambda: self.query(expression), f"result for {expression!r}", deadline_s)

    def tail(self):
        self.log.seek(0)
        return self.log.read()[-2000:]

    def stop(self):
        stop_process(self.process)
        self.log.close()
        shutil.rmtree(self.directory, ignore_errors=True)


class ScrapedTest(unittest.TestCase):
    """Starts the target and Prometheus once for the class; subclasses say which target."""

    target = None
    prometheus = None

    @classmethod
    def make_target(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.target = cls.make_target()
        try:
            address = cls.target.start()
            cls.prometheus = Prometheus(address)
        except BaseException:
            cls.target.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.prometheus:
            cls.prometheus.stop()
        cls.target.stop()


class DemoScrapeTest(ScrapedTest):
    @classmethod
    def make_target(cls):
        return DemoTarget(DEMO)

    def test_target_is_scraped(self):
        result = self.prometheus.wait_for('up{job="k426b"} == 1')
        self.assertEqual(len(result), 1)

    def test_a_voltage(self):
        result = self.prometheus.wait_for('k426b_value{site="north",unit="k426b-dc",key="v"}')
        self.assertEqual([value for _, value in result], [53.5])

    def test_active_alarms(self):
        result = self.prometheus.wait_for("k426b_alarm_active == 1")
        raised = sorted((labels["site"], labels["rule_id"], labels["description"])
                        for labels, _ in result)
        self.assertEqual(raised[0], ("north", "DC_3", "直流6电池熔丝故障告警"))
        self.assertEqual(raised[1][:2], ("south", "device_model"))
        level1 = self.prometheus.wait_for('k426b_alarm_active{level="1"} == 1')
        self.assertEqual([labels["site"] for labels, _ in level1], ["north"])

    def test_line_down(self):
        result = self.prometheus.wait_for("k426b_line_up == 0")
        self.assertEqual([labels["site"] for labels, _ in result], ["south"])

    def test_rectifier_modules_by_position(self):
        result = self.prometheus.wait_for(
            'k426b_rectifier_module_value{site="north",module="2",index="0"}')
        self.assertEqual([value for _, value in result], [8.25])
        self.assertEqual(self.prometheus.query('k426b_rectifier_modules{site="south"}'), [])


class HostFleetScrapeTest(ScrapedTest):
    @classmethod
    def make_target(cls):
        return HostFleetTarget()

    @classmethod
    def setUpClass(cls):
        if not (HOST and SIM):
            raise unittest.SkipTest("needs --host and --sim (k426b-host with --sites and --listen)")
        super().setUpClass()

    def test_a_voltage_the_simulator_sets(self):
        # Site 1 of `--sites 2` runs its AC screens 1 V above the scenario's 220 V.
        result = self.prometheus.wait_for(
            'k426b_value{site="pty-1",data_id="1101",key="channel_0_a"}')
        self.assertAlmostEqual(result[0][1], 221.0, places=3)

    def test_an_alarm_the_scenario_raises(self):
        result = self.prometheus.wait_for('k426b_alarm_active{site="tcp-0",rule_id="DC_3"} == 1')
        self.assertEqual(result[0][0]["description"], "直流6电池熔丝故障告警")

    def test_z_line_down_after_a_simulator_stops(self):  # last: it stops the TCP site
        self.prometheus.wait_for('k426b_line_up{site="tcp-0"} == 1')
        self.target.stop_tcp_site()
        self.prometheus.wait_for('k426b_line_up{site="tcp-0"} == 0')
        self.assertEqual(len(self.prometheus.query('k426b_line_up{site=~"pty-.*"} == 1')), 2)


def main():
    global DEMO, HOST, SIM, EXAMPLES
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--demo", required=True, help="the metrics_demo program")
    parser.add_argument("--host", help="k426b-host, for the multi-site test")
    parser.add_argument("--sim", help="k426b-sim, for the multi-site test")
    args, rest = parser.parse_known_args()
    DEMO, HOST, SIM = args.demo, args.host, args.sim
    if shutil.which("prometheus") is None:
        print("prometheus not installed: skipped")
        return 77
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
