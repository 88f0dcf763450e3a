#!/usr/bin/python3
"""The host's web page in a real browser: headless Chromium driven by Selenium, against
`k426b-host --sites` polling three simulated power systems.

north and south are sites 0 and 1 of one `k426b-sim --pty --sites 2` following SCENARIO; east is
a `k426b-sim --tcp` of its own whose model text is markup. Every wait is bounded and ends on
something the page shows.

Run: browser_test.py --host PATH --sim PATH --examples DIR --artifacts DIR [unittest arguments]
Needs /usr/bin/python3 (Debian's selenium), /usr/bin/chromium and /usr/bin/chromedriver.
"""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from urllib.parse import urlparse

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HOST = SIM = EXAMPLES = ARTIFACTS = None
WAIT_S = 15  # the longest one change may take to show (a cycle, a push or a poll)

# North's DC voltage is set when cycle 2 begins (south, site 1, shows it 0.1 V higher). A DC fuse
# blows when cycle 6 begins and is mended when cycle 10 begins, again every 8 cycles, so the test
# can watch a whole raise and clear whenever it starts looking. Cycles 4, 12, 20, ... get one
# parameter reply with a bad CHKSUM, so a bad frame is always among the last 200.
PERIOD = 8
RAISED_AT = [6 + PERIOD * k for k in range(60)]
CLEARED_AT = [c + 4 for c in RAISED_AT]
SCENARIO = {
    "changes": [{"at_cycle": 2, "set": {"dc_units.0.v": 54.25}}]
    + [{"at_cycle": c, "set": {"dc_units.0.fuses.5": 3}} for c in RAISED_AT]
    + [{"at_cycle": c, "set": {"dc_units.0.fuses.5": 0}} for c in CLEARED_AT],
    "faults": [{"kind": "bad_chksum", "cycle": c - 2, "query": "40_46"} for c in RAISED_AT],
}
FUSE_ROW = "#active-alarms tr[data-rule='DC_3/103']"  # north's DC unit is 103
HOSTILE_MODEL = "<img src=x><b>K</b>"  # fits the 20-byte model field
NAMES = ["north", "south", "east"]
PAGE_BUDGET = 32 * 1024  # bytes for / and its assets together


def read_line(stream, what, timeout=15):
    """One line from a child's unbuffered stdout, byte by byte, so nothing is read ahead."""
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([stream], [], [], max(0, deadline - time.monotonic()))
        byte = os.read(stream.fileno(), 1) if ready else b""
        if not byte:
            raise RuntimeError("%s printed no whole line within %d s: %r" % (what, timeout, line))
        line += byte
    return line.decode().strip()


def stop_process(process):
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def device(base):
    """examples/k426b.json with data ids base, base+1, ... so they are unique across the file."""
    with open(os.path.join(EXAMPLES, "k426b.json"), encoding="utf-8") as file:
        config = json.load(file)
    config["data_id"] = base
    for offset, unit in enumerate(config["acSetting"] + config["dcSetting"], start=1):
        unit["data_id"] = base + offset
    return config


class Fleet:
    """The host and its three simulators, in a temporary folder; everything on 127.0.0.1."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="k426b-web-")
        self.processes = {}
        try:
            self._start()
        except Exception:
            self.stop()
            raise

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _spawn(self, name, command):
        errors = open(self._path(name + ".err"), "w")
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, bufsize=0)
        errors.close()
        self.processes[name] = process
        return process

    def _start(self):
        with open(self._path("scenario.json"), "w") as file:
            json.dump(SCENARIO, file)
        with open(self._path("east.json"), "w") as file:
            json.dump({"model": HOSTILE_MODEL}, file)
        ptys = self._spawn("pty-sim", [SIM, "--pty", "--sites", "2", "--link", self._path("pty"),
                                       "--scenario", self._path("scenario.json")])
        links = [read_line(ptys.stdout, "k426b-sim --pty") for _ in range(2)]
        tcp = self._spawn("tcp-sim", [SIM, "--tcp", "127.0.0.1:0",
                                      "--scenario", self._path("east.json")])
        address = read_line(tcp.stdout, "k426b-sim --tcp")
        sites = {"sites": [{"name": "north", "port": links[0], "device": device(100)},
                           {"name": "south", "port": links[1], "device": device(200)},
                           {"name": "east", "port": "tcp://" + address, "device": device(300)}]}
        with open(self._path("sites.json"), "w") as file:
            json.dump(sites, file)
        for attempt in range(3):  # another program may take the free port before the host does
            self.port = free_port()
            if self.start_host():
                break
        else:
            raise RuntimeError("k426b-host did not serve: " + self.errors("host"))
        self.url = "http://127.0.0.1:%d/" % self.port

    def start_host(self):
        """Starts the host on self.port; true once it answers /api/sites."""
        host = self._spawn("host", [HOST, "--sites", self._path("sites.json"), "--no-history",
                                    "--listen", "127.0.0.1:%d" % self.port])
        host.stdout.close()  # its tables are not needed; a closed pipe cannot fill up
        host.stdout = None
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline and host.poll() is None:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/api/sites" % self.port,
                                            timeout=2) as answer:
                    if len(json.load(answer)) == len(NAMES):
                        return True
            except (urllib.error.URLError, ConnectionError):
                select.select([], [], [], 0.1)
        stop_process(host)
        return False

    def get(self, route):
        with urllib.request.urlopen(self.url + route, timeout=5) as answer:
            return answer.read()

    def errors(self, name):
        with open(self._path(name + ".err"), encoding="utf-8", errors="replace") as file:
            return file.read()[-2000:]

    def add_site(self, name, config):
        """Starts a `k426b-sim --tcp` for a new site `name` and reloads the host with it."""
        sim = self._spawn(name + "-sim", [SIM, "--tcp", "127.0.0.1:0"])
        address = read_line(sim.stdout, "k426b-sim --tcp")
        with open(self._path("sites.json"), encoding="utf-8") as file:
            sites = json.load(file)
        sites["sites"].append({"name": name, "port": "tcp://" + address, "device": config})
        with open(self._path("sites.json"), "w") as file:
            json.dump(sites, file)
        self.processes["host"].send_signal(signal.SIGHUP)

    def stop_one(self, name):
        stop_process(self.processes[name])

    def stop(self):
        for name in ["host", "west-sim", "tcp-sim", "pty-sim"]:
            if name in self.processes:
                stop_process(self.processes[name])
        shutil.rmtree(self.folder, ignore_errors=True)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-default-apps", "--disable-extensions",
                     "--user-data-dir=" + profile, "--window-size=1400,1700",
                     # Names other than our own do not resolve: nothing can leave the machine.
                     "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    return webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"),
                            options=options)


class Page:
    """The browser on the host's page, with waits bounded by WAIT_S."""

    def __init__(self, driver, url):
        self.driver = driver
        self.url = url
        self.requests = []  # every URL the browser asked for, from its performance log

    def open(self, route):
        self.driver.get(self.url + route)
        # Marks this document: a reload would lose the mark.
        self.driver.execute_script("window.__notReloaded = true;")

    def go(self, route):
        self.driver.execute_script("location.hash = arguments[0];", route)

    def not_reloaded(self):
        return self.driver.execute_script("return window.__notReloaded === true;")

    def wait(self, test, what, timeout=WAIT_S):
        def attempt(driver):
            try:
                return test(driver)
            except StaleElementReferenceException:  # the view was redrawn meanwhile
                return False
        return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(
            attempt, "waited %d s for %s" % (timeout, what))

    def texts(self, css):
        """The shown text of every element `css` selects, read in one go (a push may redraw
        the view between two reads)."""
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0]), e => e.innerText);", css)

    def attributes(self, css, name):
        """The attribute `name` of every element `css` selects, read in one go."""
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll(arguments[0]),"
            " e => e.getAttribute(arguments[1]));", css, name)

    def wait_text(self, css, text):
        return self.wait(lambda d: text in self.texts(css), "%r in %s" % (text, css))

    def screenshot(self, name):
        """The whole page, however long: the window grows to it for the shot."""
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name)
        size = self.driver.get_window_size()
        height = self.driver.execute_script("return document.documentElement.scrollHeight;")
        self.driver.set_window_size(size["width"], max(size["height"], height + 120))
        try:
            self.driver.save_screenshot(path)
        finally:
            self.driver.set_window_size(size["width"], size["height"])
        print("screenshot:", path, file=sys.stderr)

    def collect_requests(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.requests.append(message["params"]["request"]["url"])
        return self.requests


# Records every render of the site view in which the fuse row appears or goes, with the cycle
# count the same render shows: the test reads afterwards in which cycle's status it changed.
WATCH_FUSE = """
window.__fuse = [];
new MutationObserver(() => {
  const cycles = document.getElementById('cycles');
  if (!cycles) return;
  const shown = document.querySelector(arguments[0]) !== null;
  const log = window.__fuse;
  if (log.length === 0 || log[log.length - 1].shown !== shown)
    log.push({shown: shown, cycle: Number(cycles.dataset.cycles)});
}).observe(document.getElementById('view'), {childList: true, subtree: true});
"""


class WebPageTest(unittest.TestCase):
    """One host, its simulators and one browser; the tests run in name order, and the later
    ones stop things the earlier ones need."""

    @classmethod
    def setUpClass(cls):
        cls.profile = tempfile.mkdtemp(prefix="k426b-chromium-")
        cls.fleet = Fleet()
        try:
            cls.driver = start_browser(cls.profile)
        except Exception:
            cls.fleet.stop()
            shutil.rmtree(cls.profile, ignore_errors=True)
            raise
        cls.page = Page(cls.driver, cls.fleet.url)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.fleet.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)

    @staticmethod
    def unit_value(unit, key):
        return "[data-unit='%s'] tr[data-key=%s] td" % (unit, key)

    def test_1_overview_lists_the_three_sites_and_markup_stays_text(self):
        page = self.page
        page.open("#/")
        page.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "tr[data-site]")) == 3,
                  "three sites")
        self.assertEqual(page.attributes("tr[data-site]", "data-site"), NAMES)
        self.assertEqual(self.driver.execute_script("return document.characterSet;"), "UTF-8")
        # east's model text, read from its line, is markup: it shows as text and makes no element.
        page.wait_text("tr[data-site=east] td", HOSTILE_MODEL)
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "#view img, #view b"), [])
        for name in NAMES:
            page.wait_text("tr[data-site=%s] .line-state .state" % name, "up")

    def test_2_values_the_simulator_sets_appear_in_the_site_view(self):
        page = self.page
        page.go("#/site/north")
        page.wait_text(self.unit_value("103:k426b-dc", "v"), "54.25")
        # The rectifier group as the host decodes it: its values and one row per module.
        page.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "table.modules tbody tr")) == 3,
                  "three rectifier modules")
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "[data-placeholder]"), [])
        module = page.texts("table.modules tr[data-module='2'] > *")
        self.assertEqual(module[:4], ["2", "8", "53.5", "8"])
        self.assertIn("53.5", page.texts(".group [data-key=group] .num"))
        # The group serves no value by key: the plug-in's refusal shows, in Chinese.
        self.assertIn("数据未就绪", page.texts("[data-unit='100:k426b-rc'] td.refused"))
        # south is the simulator's site 1: its starting values are 0.1 V higher, the scripted
        # value is the same.
        page.go("#/site/south")
        page.wait_text(".group [data-key=group] .num", "53.6")
        page.wait_text(self.unit_value("203:k426b-dc", "v"), "54.25")
        self.assertTrue(page.not_reloaded())

    def test_3_a_scripted_alarm_appears_within_one_cycle_and_goes_when_cleared(self):
        page = self.page
        page.go("#/site/north")
        page.wait(lambda d: d.find_elements(By.ID, "cycles"), "north's site view")
        self.driver.execute_script(WATCH_FUSE, FUSE_ROW)

        def watched(driver):  # absent, then shown, then absent again
            log = driver.execute_script("return window.__fuse;")
            first_absent = next((i for i, e in enumerate(log) if not e["shown"]), None)
            return first_absent is not None and len(log) >= first_absent + 3 and log
        log = page.wait(watched, "the fuse alarm to come and go", timeout=PERIOD * 5)
        start = next(i for i, e in enumerate(log) if not e["shown"])
        raised, cleared = log[start + 1]["cycle"], log[start + 2]["cycle"]
        print("fuse alarm shown in the status of cycle", raised, "and gone in that of", cleared,
              file=sys.stderr)
        # The simulator's change takes effect as its cycle begins: the page shows it with that
        # cycle's status, or at the latest with the next one's.
        self.assertTrue(any(0 <= raised - c <= 1 for c in RAISED_AT), log)
        self.assertTrue(any(0 <= cleared - c <= 1 for c in CLEARED_AT), log)
        changes = page.texts("#alarm-changes tr")
        self.assertTrue(any("电池熔丝故障告警" in c and "raised" in c for c in changes), changes)
        self.assertTrue(any("电池熔丝故障告警" in c and "cleared" in c for c in changes), changes)
        self.assertTrue(page.not_reloaded())

    def test_4_a_bad_chksum_frame_is_shown_marked(self):
        page = self.page
        page.go("#/site/north")
        page.wait_text("#frames tr.bad td.reason", "bad CHKSUM")
        bad = page.texts("#frames tr.bad td.text")
        self.assertTrue(bad[0].startswith("~20014000"), bad)  # an AC parameter reply as received
        # Every other frame stays unmarked, its CID1 decoded (the third column).
        cid1s = page.texts("#frames tbody tr:not(.bad) td:nth-child(3)")
        self.assertGreater(len(cid1s), 10)
        self.assertTrue({"40", "41", "42"} <= set(cid1s), cid1s)
        page.wait(lambda d: d.find_elements(By.CSS_SELECTOR, FUSE_ROW), "an active alarm",
                  timeout=PERIOD * 3)
        page.screenshot("site-north.png")

    def test_5_a_stopped_simulator_turns_its_line_silent_or_lost_without_reload(self):
        page = self.page
        page.go("#/")
        state = "tr[data-site=east] .line-state .state"
        page.wait_text(state, "up")
        self.fleet.stop_one("tcp-sim")
        page.wait(lambda d: set(page.texts(state)) & {"silent", "lost"}, "east silent or lost")
        self.assertEqual(page.texts("tr[data-site=north] .line-state .state"), ["up"])
        self.assertTrue(page.not_reloaded())
        page.screenshot("overview.png")

    def test_6_no_request_leaves_the_host_and_the_page_stays_small(self):
        page = self.page
        page.go("#/site/east")
        page.wait_text("#model", HOSTILE_MODEL)
        urls = page.collect_requests()
        urls += self.driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name);")
        self.assertTrue(any(u.endswith("/assets/app.js") for u in urls), urls)
        # chrome:// and data: are the browser's own; anything over the network is ours only.
        outside = [u for u in urls if urlparse(u).scheme in ("http", "https", "ws", "wss", "ftp")
                   and urlparse(u).hostname != "127.0.0.1"]
        self.assertEqual(outside, [])
        severe = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(severe, [], "no script error or refused load")
        sizes = {route: len(self.fleet.get(route))
                 for route in ["", "assets/app.js", "assets/style.css"]}
        print("page size:", sizes, sum(sizes.values()), "bytes", file=sys.stderr)
        self.assertLess(sum(sizes.values()), PAGE_BUDGET, sizes)

    def test_7_the_page_says_when_the_host_is_away_and_recovers_without_reload(self):
        page = self.page
        page.go("#/")
        page.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "tr[data-site]")) == 3,
                  "three sites")
        self.assertFalse(self.driver.find_element(By.ID, "banner").is_displayed())
        self.fleet.stop_one("host")
        page.wait(lambda d: d.find_element(By.ID, "banner").is_displayed(), "the banner")
        self.assertIn("lost", self.driver.find_element(By.ID, "banner").text)
        self.assertTrue(self.fleet.start_host(), self.fleet.errors("host"))
        page.wait(lambda d: not d.find_element(By.ID, "banner").is_displayed(),
                  "the banner to clear")
        self.assertTrue(page.not_reloaded())


    def test_8_a_site_that_answers_but_cannot_cycle_shows_as_not_monitored_and_why(self):
        page = self.page
        page.go("#/")
        # west lists one AC unit; its power system reports two.
        config = device(400)
        config["acSetting"] = config["acSetting"][:1]
        self.fleet.add_site("west", config)
        state = "tr[data-site=west] .line-state .state"
        page.wait_text(state, "not monitored")
        problem = " ".join(page.texts("tr[data-site=west] .line-state .problem"))
        self.assertIn("acSetting", problem)
        self.assertEqual(page.texts("tr[data-site=north] .line-state .state"), ["up"])
        page.go("#/site/west")
        page.wait(lambda d: problem in page.texts("#view .summary .line-state .problem"),
                  "the problem in west's site view")
        self.assertTrue(page.not_reloaded())
        page.screenshot("not-monitored.png")


def main():
    global HOST, SIM, EXAMPLES, ARTIFACTS
    parser = argparse.ArgumentParser()
    for option in ["--host", "--sim", "--examples", "--artifacts"]:
        parser.add_argument(option, required=True)
    arguments, rest = parser.parse_known_args()
    HOST, SIM = arguments.host, arguments.sim
    EXAMPLES, ARTIFACTS = arguments.examples, arguments.artifacts
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
