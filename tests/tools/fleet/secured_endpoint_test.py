#!/usr/bin/env python3
"""The endpoint secured by --web.config.file, driven through curl and a real Prometheus.

A test CA signs the host's certificate and a client's; the host watches one simulated site.
Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here.

Run: secured_endpoint_test.py --host PATH --sim PATH [unittest arguments]
Exit status 77 (skipped) when curl or openssl (or, for the scrape, prometheus) is missing.
"""

import base64
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    DEADLINE_S, device_config, free_port, read_line, run_host_tests, stop_process, wait_until)

HOST = SIM = None
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "examples",
                       "web-config.yml")

# What `htpasswd -nBC 10` writes for these passwords.
PASSWORD = "scrape-secret"
HASH = "$2y$10$abcdefghijklmnopqrstuuNbpIbZWkPkiE.GCrxGGUhWTADyWUMCG"
ROTATED_PASSWORD = "rotated-secret"
ROTATED_HASH = "$2y$10$zyxwvutsrqponmlkjihgfevw5TkGOM9o1B7buXZLQpYaOvHJnE1lG"


def web_config(users, client_ca=True):
    tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
    if client_ca:
        tls += "  client_ca_file: ca.crt\n  client_auth_type: RequireAndVerifyClientCert\n"
    lines = "".join(f"  {user}: {hash_}\n" for user, hash_ in users.items())
    return (tls + "basic_auth_users:\n" + lines +
            "http_server_config:\n  headers:\n    X-Content-Type-Options: nosniff\n")


class SecuredHost:
    """k426b-sim on TCP and `k426b-host --sites --listen --web.config.file` in a folder that also
    holds the test CA, the server's and a client's certificate."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="k426b-webtls-")
        self.processes = []
        self.stderr_path = self.path("host.log")
        self.make_certificates()

    def path(self, name):
        return os.path.join(self.directory, name)

    def openssl(self, *arguments):
        subprocess.run(["openssl", *arguments], cwd=self.directory, check=True,
                       capture_output=True, timeout=60)

    def make_certificates(self):
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        self.openssl("req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
                     "-subj", "/CN=k426b test CA")
        with open(self.path("san.ext"), "w") as out:
            out.write("subjectAltName=IP:127.0.0.1\n")
        for name, extra in (("server", ["-extfile", "san.ext"]), ("client", [])):
            self.openssl("req", *curve, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                         "-subj", f"/CN={name}")
            self.openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey",
                         "ca.key", "-CAcreateserial", "-out", f"{name}.crt", "-days", "2", *extra)

    def write(self, name, text):
        # Written aside and renamed, as an editor or a configuration tool does.
        with open(self.path(name + ".new"), "w") as out:
            out.write(text)
        os.replace(self.path(name + ".new"), self.path(name))
        return self.path(name)

    def sites_file(self, address):
        return self.write("sites.json", json.dumps({"sites": [
            {"name": "north", "port": address, "device": device_config(0)}]}))

    def start(self, config_text, user=f"prom:{PASSWORD}"):
        sim = self.spawn([SIM, "--tcp", "127.0.0.1:0"], subprocess.PIPE)
        sites = self.sites_file("tcp://" + read_line(sim, 10, "k426b-sim --tcp"))
        self.port = free_port()
        self.host = self.spawn([HOST, "--sites", sites, "--listen", f"127.0.0.1:{self.port}",
                                "--no-history", "--web.config.file",
                                self.write("web-config.yml", config_text)], subprocess.DEVNULL)

        def answering():
            if self.host.poll() is not None:
                raise AssertionError(f"k426b-host ended ({self.host.returncode}): {self.log()}")
            return self.curl("/healthz", user=user)[0] == "200"

        wait_until(answering, "the host answering over TLS")

    def spawn(self, command, stdout):
        with open(self.stderr_path, "a") as log:
            process = subprocess.Popen(command, stdout=stdout, stderr=log)
        self.processes.append(process)
        return process

    def curl(self, path, user=None, certificate=True, scheme="https", head=False):
        """(HTTP status or "000" when no answer came, headers and body) of GET PATH."""
        command = ["curl", "-sS", "--max-time", "20", "--cacert", self.path("ca.crt"),
                   "-o", "-", "-w", "\n%{http_code}"]
        if head:
            command.append("-i")
        if certificate:
            command += ["--cert", self.path("client.crt"), "--key", self.path("client.key")]
        if user:
            command += ["-u", user]
        done = subprocess.run(command + [f"{scheme}://127.0.0.1:{self.port}{path}"],
                              capture_output=True, text=True, timeout=60)
        body, _, status = done.stdout.rpartition("\n")
        return status, body, done.stderr

    def log(self):
        with open(self.stderr_path) as log:
            return log.read()

    def stop(self):
        for process in reversed(self.processes):
            stop_process(process)
        shutil.rmtree(self.directory, ignore_errors=True)


class HostTest(unittest.TestCase):
    def setUp(self):
        for tool in ("curl", "openssl"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} not installed")
        self.host = SecuredHost()
        self.addCleanup(self.host.stop)


class CurlTest(HostTest):
    """TLS with client certificates and basic auth on every route, and a reload."""

    def test_only_a_client_with_certificate_and_password_is_served(self):
        host = self.host
        host.start(web_config({"prom": HASH}))
        status, body, _ = host.curl("/metrics", user=f"prom:{PASSWORD}", head=True)
        self.assertEqual(status, "200")
        self.assertIn("X-Content-Type-Options: nosniff", body)
        self.assertIn("k426b_build_info", body)
        # No client certificate: the handshake fails, no answer at all.
        self.assertEqual(host.curl("/metrics", user=f"prom:{PASSWORD}", certificate=False)[0],
                         "000")
        self.assertEqual(host.curl("/metrics", scheme="http")[0], "000")
        # Every route asks for the password; a refusal carries the headers too.
        for path in ("/metrics", "/api/sites", "/events", "/", "/healthz"):
            status, body, _ = host.curl(path, head=True)
            self.assertEqual(status, "401", path)
            self.assertIn('WWW-Authenticate: Basic realm="k426b"', body)
            self.assertIn("X-Content-Type-Options: nosniff", body)
        self.assertEqual(host.curl("/metrics", user="prom:scrape-secreT")[0], "401")
        self.assertEqual(host.curl("/metrics", user=f"nobody:{PASSWORD}")[0], "401")
        self.assertEqual(host.curl("/api/sites", user=f"prom:{PASSWORD}")[0], "200")

    def test_clients_stuck_in_the_handshake_do_not_hold_the_scrape(self):
        host = self.host
        host.start(web_config({"prom": HASH}))
        # More silent TLS clients than the endpoint has workers, and one that sent half a
        # ClientHello: each waits at the gate, none takes a worker.
        stuck = []
        for _ in range(12):
            client = socket.create_connection(("127.0.0.1", host.port), timeout=10)
            stuck.append(client)
        stuck[0].sendall(bytes.fromhex("160301020001"))
        try:
            self.assertEqual(host.curl("/metrics", user=f"prom:{PASSWORD}")[0], "200")
            # Served while every stuck client still holds its connection: the host closes one
            # only when its handshake time is up.
            for client in stuck:
                client.setblocking(False)
                with self.assertRaises(BlockingIOError):
                    client.recv(1, socket.MSG_PEEK)
        finally:
            for client in stuck:
                client.close()

    def test_pipelined_requests_on_one_tls_connection_are_all_answered(self):
        host = self.host
        host.start(web_config({"prom": HASH}))
        context = ssl.create_default_context(cafile=host.path("ca.crt"))
        context.load_cert_chain(host.path("client.crt"), host.path("client.key"))
        credentials = base64.b64encode(f"prom:{PASSWORD}".encode()).decode()
        request = (f"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   f"Authorization: Basic {credentials}\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", host.port), timeout=20) as raw:
            with context.wrap_socket(raw, server_hostname="127.0.0.1") as client:
                answers = b""
                # Three at once, then one more on the connection kept alive at the gate.
                for count, sent in ((3, request * 3), (4, request)):
                    client.sendall(sent)
                    while min(answers.count(b"HTTP/1.1 200 OK"), answers.count(b"ok\n")) < count:
                        piece = client.recv(65536)
                        self.assertTrue(piece, f"closed after {answers!r}")
                        answers += piece

    def test_a_flood_of_wrong_passwords_does_not_hold_the_scrape(self):
        host = self.host
        host.start(web_config({"prom": HASH}))
        context = ssl.create_default_context(cafile=host.path("ca.crt"))
        context.load_cert_chain(host.path("client.crt"), host.path("client.key"))
        wrong = base64.b64encode(b"prom:guess").decode()
        request = (f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   f"Authorization: Basic {wrong}\r\n\r\n").encode()
        statuses = []
        stop = threading.Event()

        def guess():
            # One kept-alive connection a client, made again when the host closes it.
            while not stop.is_set():
                try:
                    with socket.create_connection(("127.0.0.1", host.port), timeout=10) as raw, \
                            context.wrap_socket(raw, server_hostname="127.0.0.1") as client:
                        answers = client.makefile("rb")
                        while not stop.is_set():
                            client.sendall(request)
                            status = answers.readline()[9:12].decode()
                            length = 0
                            while (line := answers.readline()) not in (b"\r\n", b""):
                                if line.lower().startswith(b"content-length:"):
                                    length = int(line.split(b":")[1])
                            if not status or len(answers.read(length)) < length:
                                break
                            statuses.append(status)
                except OSError:
                    pass
        guessers = [threading.Thread(target=guess) for _ in range(32)]
        for thread in guessers:
            thread.start()
        try:
            scrapes = []
            for _ in range(12):
                started = time.monotonic()
                status = host.curl("/metrics", user=f"prom:{PASSWORD}")[0]
                scrapes.append((status, round(time.monotonic() - started, 2)))
                time.sleep(0.2)
        finally:
            stop.set()
            for thread in guessers:
                thread.join()
        print(f"scrapes under a flood of wrong passwords: {scrapes}; the flood's answers: "
              f"{ {status: statuses.count(status) for status in set(statuses)} }", flush=True)
        self.assertEqual([status for status, _ in scrapes], ["200"] * len(scrapes))
        self.assertIn("401", statuses)
        self.assertIn("503", statuses)

    def test_a_bad_change_is_refused_and_a_good_one_taken(self):
        host = self.host
        host.start(web_config({"prom": HASH}))
        host.write("web-config.yml", web_config({"prom": "not-a-hash"}))
        wait_until(lambda: host.curl("/healthz", user=f"prom:{PASSWORD}")[0] == "200" and
                   "web configuration not changed, the one in force is kept" in host.log(),
                   "the bad change logged")
        self.assertIn("basic_auth_users.prom: not a bcrypt hash", host.log())
        self.assertEqual(host.curl("/metrics", user=f"prom:{PASSWORD}")[0], "200")
        host.write("web-config.yml", web_config({"prom": ROTATED_HASH}))
        wait_until(lambda: host.curl("/metrics", user=f"prom:{ROTATED_PASSWORD}")[0] == "200",
                   "the rotated password taken")
        self.assertEqual(host.curl("/metrics", user=f"prom:{PASSWORD}")[0], "401")
        self.assertEqual(host.log().count("web configuration not changed"), 1)


    def test_the_shipped_example_serves_with_its_certificate_paths_filled_in(self):
        with open(EXAMPLE) as example:
            text = example.read().replace("/etc/k426b/tls/k426b.", "server.")
        self.host.start(text, user="prometheus:change-me")
        status, body, _ = self.host.curl("/metrics", user="prometheus:change-me", head=True)
        self.assertEqual(status, "200")
        self.assertIn("X-Frame-Options: deny", body)


class RefusedTest(HostTest):
    """A file the host cannot use stops it at start with status 2, nothing opened."""

    def test_bad_files_end_the_start_with_status_2(self):
        host = self.host
        sites = host.sites_file(f"tcp://127.0.0.1:{free_port()}")
        cases = {
            "unknown key": ("tls_server_config:\n  cert_file: server.crt\n"
                            "  key_file: server.key\n  cert: x\n", "unknown key \"cert\""),
            "not YAML": ("basic_auth_users: [\n", "not YAML"),
            "bad hash": ("basic_auth_users:\n  prom: secret\n", "not a bcrypt hash"),
            "key of another certificate": ("tls_server_config:\n  cert_file: server.crt\n"
                                           "  key_file: client.key\n", "does not belong"),
            "missing file": ("tls_server_config:\n  cert_file: none.crt\n"
                             "  key_file: server.key\n", "cert_file"),
            "verify without CA": ("tls_server_config:\n  cert_file: server.crt\n"
                                  "  key_file: server.key\n"
                                  "  client_auth_type: RequireAndVerifyClientCert\n",
                                  "needs client_ca_file"),
            "header": ("http_server_config:\n  headers:\n    Content-Type: text/html\n",
                       "is none of"),
        }
        for case, (text, message) in cases.items():
            done = subprocess.run(
                [HOST, "--sites", sites, "--listen", f"127.0.0.1:{free_port()}", "--no-history",
                 "--web.config.file", host.write("web-config.yml", text)],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 2, f"{case}: {done.stderr}")
            self.assertIn("k426b-host: --web.config.file: ", done.stderr, case)
            self.assertIn(message, done.stderr, case)
        done = subprocess.run([HOST, "--sites", sites, "--web.config.file",
                               host.write("web-config.yml", "")],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("--web.config.file secures --listen", done.stderr)


class PrometheusTest(HostTest):
    """A real Prometheus scrapes over TLS with a client certificate and basic auth."""

    def test_prometheus_scrapes_over_tls_with_basic_auth(self):
        if shutil.which("prometheus") is None:
            raise unittest.SkipTest("prometheus not installed")
        host = self.host
        host.start(web_config({"prom": HASH}))
        port = free_port()
        jobs = ""
        for job, password in (("secured", PASSWORD), ("wrong", "guess")):
            jobs += (f"  - job_name: {job}\n    scheme: https\n"
                     f"    basic_auth:\n      username: prom\n      password: {password}\n"
                     f"    tls_config:\n      ca_file: {host.path('ca.crt')}\n"
                     f"      cert_file: {host.path('client.crt')}\n"
                     f"      key_file: {host.path('client.key')}\n"
                     f"    static_configs:\n      - targets: ['127.0.0.1:{host.port}']\n")
        config = host.write("prometheus.yml", "global:\n  scrape_interval: 1s\n"
                            "  scrape_timeout: 1s\nscrape_configs:\n" + jobs)
        with open(host.path("prometheus.log"), "w") as log:
            prometheus = subprocess.Popen(
                ["prometheus", f"--config.file={config}",
                 f"--storage.tsdb.path={host.path('data')}",
                 f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
                stdout=log, stderr=subprocess.STDOUT)
        host.processes.append(prometheus)

        def query(expression):
            url = (f"http://127.0.0.1:{port}/api/v1/query?" +
                   urllib.parse.urlencode({"query": expression}))
            try:
                with urllib.request.urlopen(url, timeout=5) as response:
                    answer = json.loads(response.read().decode())
            except OSError:
                return None
            return {item["metric"]["job"]: item["value"][1] for item in answer["data"]["result"]}

        ups = wait_until(lambda: (lambda up: up if up and len(up) == 2 else None)(query("up")),
                         "both targets scraped", DEADLINE_S)
        print(f"up: {ups}")
        self.assertEqual(ups, {"secured": "1", "wrong": "0"})
        lines = wait_until(lambda: query('k426b_line_up{site="north"}'), "the site's line")
        self.assertEqual(lines, {"secured": "1"})


if __name__ == "__main__":
    sys.exit(run_host_tests(globals()))
