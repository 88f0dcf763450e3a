#!/usr/bin/env python3
"""The multi-site host publishing into a real mosquitto broker: each site's status, line, unit
states, alarms (QoS 1) and discovery configurations seen by a subscriber, with a password file
and over TLS; the last will after SIGKILL; a broker that stops while the sites keep polling and
comes back; two hosts publishing into one broker.

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here. Skips (77) when mosquitto, mosquitto_sub or openssl is not installed.

Run: mqtt_test.py --host PATH --sim PATH [unittest arguments]
"""

import getpass
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, device_config, fetch, free_port, read_line, run_host_tests, stop_process,
    wait_until)

HOST = SIM = None

# Site 0's DC fuse 6 fails when cycle 2 starts and is whole again when cycle 4 starts.
FUSE_SCENARIO = {"changes": [{"at_cycle": 2, "set": {"dc_units.0.fuses.5": 3}},
                             {"at_cycle": 4, "set": {"dc_units.0.fuses.5": 0}}]}


class Subscriber:
    """mosquitto_sub on every topic; its messages (topic, payload) in the order they came."""

    def __init__(self, port, *extra):
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-v", "-t", "#",
             *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.messages = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            with self.lock:
                self.messages.append((topic, payload))

    def on(self, topic):
        with self.lock:
            return [payload for name, payload in self.messages if name == topic]

    def matching(self, pattern):
        with self.lock:
            return [(name, payload) for name, payload in self.messages
                    if re.fullmatch(pattern, name)]

    def stop(self):
        stop_process(self.process)


class MqttHostTest(ChildrenTestCase):
    PREFIX = "k426b-mqtt-"

    def setUp(self):
        super().setUp()
        self.broker = None
        self.broker_port = free_port()

    def subscribe(self, *extra):
        subscriber = Subscriber(self.broker_port, *extra)
        self.processes.append(subscriber)
        return subscriber

    def start_broker(self, *config_lines):
        config = self.path("mosquitto.conf")
        with open(config, "w") as out:
            out.write(f"listener {self.broker_port} 127.0.0.1\n")
            # Run as root, the broker would otherwise turn into the user `mosquitto`, who cannot
            # read the test's folder.
            out.write(f"user {getpass.getuser()}\n")
            out.write("\n".join(config_lines) + "\n")
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.broker = self.spawn([mosquitto, "-c", config], stdout=self.stderr)
        wait_until(lambda: self.broker_answers(), "mosquitto listening")

    def broker_answers(self):
        import socket
        try:
            with socket.create_connection(("127.0.0.1", self.broker_port), timeout=1):
                return True
        except OSError:
            return False

    def start_sites(self, count=2, scenario=None):
        command = [SIM, "--pty", "--sites", str(count), "--link",
                   self.path(f"pty{len(self.processes)}")]
        if scenario:
            command += ["--scenario", self.write_json("scenario.json", scenario)]
        sim = self.spawn(command)
        return [read_line(sim, 10, "k426b-sim --pty") for _ in range(count)]

    def start_host(self, sites, *extra, name="sites"):
        """k426b-host on `sites` ({name: pty}); returns its process and metrics port."""
        document = {"sites": [{"name": site, "port": port, "device": device_config(1000 * i)}
                              for i, (site, port) in enumerate(sites.items())]}
        path = self.write_json(name + ".json", document)
        metrics_port = free_port()
        host = self.spawn([HOST, "--sites", path, "--no-history",
                           "--listen", f"127.0.0.1:{metrics_port}", *extra],
                          stdout=subprocess.DEVNULL)
        return host, metrics_port

    def metric(self, port, name):
        found = re.search(rf"^{name} (\S+)$", fetch(port, "/metrics") or "", re.MULTILINE)
        return float(found.group(1)) if found else None

    def cycles(self, port, site):
        found = re.search(rf'^k426b_cycles_total{{site="{site}"}} (\S+)$',
                          fetch(port, "/metrics") or "", re.MULTILINE)
        return int(found.group(1)) if found else 0

    def latest_json(self, subscriber, topic):
        payloads = subscriber.on(topic)
        return json.loads(payloads[-1]) if payloads else None

    def assert_discovery_configs(self, subscriber, sites):
        configs = {}
        for topic, payload in subscriber.matching(r"homeassistant/device/[A-Za-z0-9_-]+/config"):
            configs[topic] = json.loads(payload)
        for site in sites:
            self.assertIn(f"homeassistant/device/k426b_{site}/config", configs)
        for topic, config in configs.items():
            self.assertTrue(config["dev"]["identifiers"], topic)
            self.assertTrue(config["availability"][0]["topic"].endswith("/status"), topic)
            self.assertEqual(config["o"]["name"], "k426b-host")
            for unique_id, component in config["cmps"].items():
                self.assertEqual(component["unique_id"], unique_id)
                self.assertIn(component["platform"], ("sensor", "binary_sensor"))
                self.assertTrue(component["state_topic"].startswith("k426b/"), unique_id)
                self.assertNotIn("object_id", component)
        return configs


class EndToEndTest(MqttHostTest):
    def test_a_subscriber_sees_every_site_its_alarm_and_the_last_will(self):
        passwords = self.path("passwords")
        subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "k426b", "s3cret pass"],
                       check=True)
        self.start_broker("allow_anonymous false", f"password_file {passwords}")
        password_file = self.path("mqtt-password")
        with open(password_file, "w") as out:
            out.write("s3cret pass\n")
        subscriber = self.subscribe("-u", "k426b", "-P", "s3cret pass")
        ports = self.start_sites(2, FUSE_SCENARIO)
        host, metrics = self.start_host(
            {"site-0": ports[0], "site-1": ports[1]},
            "--mqtt", f"mqtt://127.0.0.1:{self.broker_port}", "--mqtt-client-id", "machine-a",
            "--mqtt-user", "k426b", "--mqtt-password-file", password_file)
        for site in ("site-0", "site-1"):
            wait_until(lambda: subscriber.on(f"k426b/{site}/status")[-1:] == ["online"],
                       f"{site} online")
        wait_until(lambda: subscriber.on("k426b/host/machine-a/status")[-1:] == ["online"],
                   "the host online")
        wait_until(lambda: (self.latest_json(subscriber, "k426b/site-0/201/state") or {})
                   .get("values", {}).get("v") == 53.5, "site-0's DC voltage 53.5 V")

        def fuse_states():
            return [any(alarm["rule_id"] == "DC_3" for alarm in json.loads(payload)["active"])
                    for payload in subscriber.on("k426b/site-0/201/alarms")]
        wait_until(lambda: True in fuse_states(), "the fuse alarm raised")
        wait_until(lambda: fuse_states()[-1] is False and fuse_states().index(True) > 0,
                   "the fuse alarm cleared")
        raised = [json.loads(p) for p in subscriber.on("k426b/site-0/201/alarms")
                  if any(a["rule_id"] == "DC_3" for a in json.loads(p)["active"])][0]
        self.assertEqual([alarm["description"] for alarm in raised["active"]],
                         ["直流6电池熔丝故障告警"])
        fuse_key = raised["active"][0]["key"]
        self.assertIs(raised["rules"][fuse_key], True)
        self.assertIs(self.latest_json(subscriber, "k426b/site-0/201/alarms")["rules"][fuse_key],
                      False)
        line = self.latest_json(subscriber, "k426b/site-1/line")
        self.assertEqual(line["state"], "up")

        wait_until(lambda: subscriber.matching(r"homeassistant/device/k426b_site-0_201/config"),
                   "site-0's DC unit discovered")
        configs = self.assert_discovery_configs(subscriber, ["site-0", "site-1"])
        dc = configs["homeassistant/device/k426b_site-0_201/config"]
        self.assertEqual(dc["dev"]["via_device"], "k426b_site-0")
        voltage = dc["cmps"]["k426b_site-0_201_v"]
        self.assertEqual((voltage["device_class"], voltage["unit_of_measurement"],
                          voltage["state_class"]), ("voltage", "V", "measurement"))
        fuse = dc["cmps"][f"k426b_site-0_201_{fuse_key}"]
        self.assertEqual((fuse["platform"], fuse["device_class"], fuse["name"]),
                         ("binary_sensor", "problem", "直流6电池熔丝故障告警"))
        self.assertEqual(self.metric(metrics, "k426b_mqtt_connected"), 1)
        self.assertGreater(self.metric(metrics, "k426b_mqtt_published_total"), 10)

        # Home Assistant, started again, says online on its status topic: every configuration
        # is sent again.
        def announced():
            return len(subscriber.matching(r"homeassistant/device/k426b_site-0_201/config"))
        before = announced()
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.broker_port),
                        "-u", "k426b", "-P", "s3cret pass", "-t", "homeassistant/status",
                        "-m", "online"], check=True, timeout=30)
        wait_until(lambda: announced() > before, "site-0's DC unit announced again")

        host.send_signal(signal.SIGKILL)
        host.wait(timeout=30)
        for topic in ("k426b/site-0/status", "k426b/site-1/status",
                      "k426b/host/machine-a/status"):
            wait_until(lambda: subscriber.on(topic)[-1:] == ["offline"], f"{topic} offline")


class TlsTest(MqttHostTest):
    def test_the_host_publishes_over_tls_with_the_given_ca(self):
        ca_key, ca, key, request, cert = (self.path(name) for name in (
            "ca.key", "ca.pem", "server.key", "server.csr", "server.pem"))
        run = lambda *command: subprocess.run(command, check=True, capture_output=True)  # noqa
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-keyout", ca_key, "-out", ca, "-subj", "/CN=k426b test CA")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
            "-subj", "/CN=127.0.0.1")
        extensions = self.path("san.ext")
        with open(extensions, "w") as out:
            out.write("subjectAltName=IP:127.0.0.1\n")
        run("openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key,
            "-CAcreateserial", "-days", "2", "-out", cert, "-extfile", extensions)
        self.start_broker("allow_anonymous true", f"cafile {ca}", f"certfile {cert}",
                          f"keyfile {key}")
        subscriber = self.subscribe("--cafile", ca)
        ports = self.start_sites(1)
        _, metrics = self.start_host({"site-0": ports[0]},
                                     "--mqtt", f"mqtts://127.0.0.1:{self.broker_port}",
                                     "--mqtt-ca-file", ca, "--mqtt-discovery", "off")
        wait_until(lambda: subscriber.on("k426b/site-0/status")[-1:] == ["online"],
                   "site-0 online over TLS")
        wait_until(lambda: (self.latest_json(subscriber, "k426b/site-0/201/state") or {})
                   .get("values", {}).get("v") == 53.5, "site-0's DC voltage over TLS")
        self.assertFalse(subscriber.matching(r"homeassistant/.*"))
        self.assertEqual(self.metric(metrics, "k426b_mqtt_connected"), 1)


class BrokerRestartTest(MqttHostTest):
    def test_the_state_is_published_again_once_the_broker_is_back(self):
        self.start_broker("allow_anonymous true")
        ports = self.start_sites(2)
        _, metrics = self.start_host({"site-0": ports[0], "site-1": ports[1]},
                                     "--mqtt", f"mqtt://127.0.0.1:{self.broker_port}")
        wait_until(lambda: self.metric(metrics, "k426b_mqtt_connected") == 1, "connected")
        wait_until(lambda: self.cycles(metrics, "site-1") >= 2, "two cycles")

        self.broker.send_signal(signal.SIGTERM)
        self.broker.wait(timeout=30)
        stopped = time.monotonic()
        wait_until(lambda: self.metric(metrics, "k426b_mqtt_connected") == 0, "disconnected")
        counted = {site: self.cycles(metrics, site) for site in ("site-0", "site-1")}
        # The broker stays away 20 s while both sites keep being polled.
        wait_until(lambda: time.monotonic() - stopped >= 20
                   and all(self.cycles(metrics, site) >= count + 3
                           for site, count in counted.items()), "cycles while the broker is away")
        published = self.metric(metrics, "k426b_mqtt_published_total")

        # A broker without persistence comes back empty: every retained message is sent again.
        self.start_broker("allow_anonymous true")
        subscriber = self.subscribe()
        wait_until(lambda: self.metric(metrics, "k426b_mqtt_connected") == 1, "connected again")
        for site, base in (("site-0", 0), ("site-1", 1000)):
            wait_until(lambda: subscriber.on(f"k426b/{site}/status")[-1:] == ["online"],
                       f"{site} online again")
            for data_id in (100, 101, 102, 201):
                for kind in ("state", "alarms"):
                    topic = f"k426b/{site}/{base + data_id}/{kind}"
                    wait_until(lambda: subscriber.on(topic), topic)
        self.assert_discovery_configs(subscriber, ["site-0", "site-1"])
        self.assertGreater(self.metric(metrics, "k426b_mqtt_published_total"), published)
        self.assertEqual(self.metric(metrics, "k426b_mqtt_dropped_total"), 0)


# Site 0's DC fuse 6 fails and is whole again later, both while the broker is away.
LATE_FUSE_SCENARIO = {"changes": [{"at_cycle": 8, "set": {"dc_units.0.fuses.5": 3}},
                                  {"at_cycle": 12, "set": {"dc_units.0.fuses.5": 0}}]}


class AlarmsWhileAwayTest(MqttHostTest):
    """The broker keeps its sessions (persistence) and a subscriber keeps its session, so that
    every message the host sends after the restart reaches it, in order."""

    def run_outage(self, *extra):
        store = self.path("store") + "/"
        os.mkdir(store)
        persistence = ("allow_anonymous true", "persistence true",
                       f"persistence_location {store}")
        self.start_broker(*persistence)
        subscriber = self.subscribe("-c", "-i", "k426b-test-reader")
        ports = self.start_sites(2, LATE_FUSE_SCENARIO)
        _, metrics = self.start_host({"site-0": ports[0], "site-1": ports[1]},
                                     "--mqtt", f"mqtt://127.0.0.1:{self.broker_port}", *extra)
        wait_until(lambda: subscriber.on("k426b/site-0/201/state"), "site-0's DC state")
        self.assertLess(self.cycles(metrics, "site-0"), 6, "the fuse would fail too soon")
        self.broker.send_signal(signal.SIGTERM)
        self.broker.wait(timeout=30)
        stopped = time.monotonic()
        wait_until(lambda: self.metric(metrics, "k426b_mqtt_connected") == 0, "disconnected")
        # Away 20 s, and until the fuse has failed and been mended on both sites.
        wait_until(lambda: time.monotonic() - stopped >= 20
                   and all(self.cycles(metrics, site) >= 14 for site in ("site-0", "site-1")),
                   "the fuse's cycles while the broker is away", deadline_s=120)
        self.assertFalse([payload for payload in subscriber.on("k426b/site-0/201/alarms")
                          if "DC_3" in payload and '"active":[]' not in payload])
        self.start_broker(*persistence)
        wait_until(lambda: self.metric(metrics, "k426b_mqtt_connected") == 1, "connected again")
        return subscriber, metrics

    @staticmethod
    def fuse_states(subscriber):
        return [any(alarm["rule_id"] == "DC_3" for alarm in json.loads(payload)["active"])
                for payload in subscriber.on("k426b/site-0/201/alarms")]

    def test_alarm_changes_wait_in_order_while_the_broker_is_away(self):
        subscriber, metrics = self.run_outage()
        wait_until(lambda: True in self.fuse_states(subscriber), "the queued raise")
        wait_until(lambda: self.fuse_states(subscriber)[-1] is False
                   and self.fuse_states(subscriber).index(True) > 0, "the queued clear after it")
        self.assertEqual(self.metric(metrics, "k426b_mqtt_dropped_total"), 0)

    def test_alarm_changes_beyond_the_bound_are_dropped_and_counted(self):
        subscriber, metrics = self.run_outage("--mqtt-alarm-queue", "1")
        # Each site's raise is pushed out by its clear: two dropped, the clear delivered.
        wait_until(lambda: len(subscriber.on("k426b/site-0/201/alarms")) >= 2
                   and self.fuse_states(subscriber)[-1] is False, "the clear delivered")
        self.assertEqual(self.metric(metrics, "k426b_mqtt_dropped_total"), 2)
        self.assertNotIn(True, self.fuse_states(subscriber))


class FanInTest(MqttHostTest):
    def test_two_hosts_publish_into_one_broker(self):
        self.start_broker("allow_anonymous true")
        subscriber = self.subscribe()
        ports = self.start_sites(2)
        broker = f"mqtt://127.0.0.1:{self.broker_port}"
        self.start_host({"north": ports[0]}, "--mqtt", broker, "--mqtt-client-id", "machine-a",
                        name="a")
        self.start_host({"south": ports[1]}, "--mqtt", broker, "--mqtt-client-id", "machine-b",
                        name="b")
        for machine in ("machine-a", "machine-b"):
            wait_until(lambda: subscriber.on(f"k426b/host/{machine}/status")[-1:] == ["online"],
                       f"{machine} online")
        for site in ("north", "south"):
            wait_until(lambda: subscriber.on(f"k426b/{site}/status")[-1:] == ["online"],
                       f"{site} online")
            wait_until(lambda: (self.latest_json(subscriber, f"k426b/{site}/201/state") or {})
                       .get("values", {}).get("v") is not None, f"{site}'s DC state")


if __name__ == "__main__":
    # The broker is in /usr/sbin, which a user's PATH may leave out.
    os.environ["PATH"] += os.pathsep + "/usr/sbin"
    sys.exit(run_host_tests(globals(), needs=("mosquitto", "mosquitto_sub", "mosquitto_pub",
                                              "mosquitto_passwd", "openssl")))
