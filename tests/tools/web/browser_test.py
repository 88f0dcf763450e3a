#!/usr/bin/python3
"""The host's web page in a real browser: headless Chromium driven by Selenium.

The page is served by a `Sites` object: here `DemoSites` (web_demo, a stand-in host whose sites
change on command). Against the multi-site host and its simulators only that class changes: it
starts the server and makes the same changes happen; the tests stay as they are.

Run: browser_test.py --demo PATH --artifacts DIR [unittest arguments]
Needs /usr/bin/python3 (Debian's selenium), /usr/bin/chromium and /usr/bin/chromedriver.
"""

import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from urllib.parse import urlparse

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

DEMO = ARTIFACTS = None
WAIT_S = 15  # the longest any one change may take to show (one cycle, a push or a poll)


class DemoSites:
    """web_demo as a child process on 127.0.0.1: three sites, north, south and east."""

    NAMES = ["north", "south", "east"]

    def __init__(self, port=0):
        self.process = subprocess.Popen([DEMO, str(port)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self._reply()
        if not first.startswith("listening "):
            self.stop()
            raise RuntimeError("web_demo did not start: " + first)
        self.port = int(first.split()[1])
        self.url = "http://127.0.0.1:%d/" % self.port

    def _reply(self, timeout=10):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise RuntimeError("web_demo did not answer within %d s" % timeout)
        return self.process.stdout.readline().strip()

    def _command(self, *words):
        self.process.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.process.stdin.flush()
        reply = self._reply()
        if reply != "ok":
            raise RuntimeError("web_demo: %s -> %s" % (" ".join(map(str, words)), reply))

    def set_value(self, site, data_id, key, value):
        self._command("set-value", site, data_id, key, value)

    def raise_alarm(self, site, data_id, rule, level, code, name, description):
        self._command("raise-alarm", site, data_id, rule, level, code, name, description)

    def clear_alarm(self, site, data_id, rule):
        self._command("clear-alarm", site, data_id, rule)

    def lose_line(self, site):
        self._command("line", site, "lost", "no reply to 3 queries")

    def bad_frame(self, site):
        self._command("bad-frame", site, "7E323030313431343030303030464430300D", "bad CHKSUM")

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            try:
                pipe.close()
            except BrokenPipeError:
                pass


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

    def wait(self, test, what):
        def attempt(driver):
            try:
                return test(driver)
            except StaleElementReferenceException:  # the view was redrawn meanwhile
                return False
        return WebDriverWait(self.driver, WAIT_S, poll_frequency=0.1).until(
            attempt, "waited %d s for %s" % (WAIT_S, what))

    def texts(self, css):
        return [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, css)]

    def wait_text(self, css, text):
        return self.wait(lambda d: text in self.texts(css), "%r in %s" % (text, css))

    def wait_gone(self, css):
        return self.wait(lambda d: not d.find_elements(By.CSS_SELECTOR, css), "%s gone" % css)

    def screenshot(self, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name)
        self.driver.save_screenshot(path)
        print("screenshot:", path, file=sys.stderr)

    def collect_requests(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.requests.append(message["params"]["request"]["url"])
        return self.requests


class WebPageTest(unittest.TestCase):
    """One server and one browser; the tests run in name order and build on each other's
    changes only where their names say so."""

    @classmethod
    def setUpClass(cls):
        cls.sites = DemoSites()
        cls.profile = tempfile.mkdtemp(prefix="k426b-chromium-")
        try:
            cls.driver = start_browser(cls.profile)
        except Exception:
            cls.sites.stop()
            shutil.rmtree(cls.profile, ignore_errors=True)
            raise
        cls.page = Page(cls.driver, cls.sites.url)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.sites.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def test_1_overview_lists_every_site_with_texts_as_text(self):
        page = self.page
        page.open("#/")
        page.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "tr[data-site]")) == 3,
                  "three sites")
        names = [e.get_attribute("data-site")
                 for e in self.driver.find_elements(By.CSS_SELECTOR, "tr[data-site]")]
        self.assertEqual(names, DemoSites.NAMES)
        self.assertEqual(self.driver.execute_script("return document.characterSet;"), "UTF-8")
        # The east site's model text is markup; it must show as text and create no element.
        page.wait_text("tr[data-site=east] td", "<img src=x onerror=alert(1)>")
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "#view img"), [])
        page.screenshot("overview.png")

    def test_2_a_value_set_appears_in_the_site_view(self):
        page = self.page
        page.open("#/site/north")
        page.wait_text("[data-unit='102:k426b-dc'] tr[data-key=v] td", "53.5")
        self.sites.set_value("north", 102, "v", 54.25)
        page.wait_text("[data-unit='102:k426b-dc'] tr[data-key=v] td", "54.25")
        self.assertTrue(page.not_reloaded())

    def test_3_an_alarm_appears_and_disappears_without_reload(self):
        page = self.page
        page.go("#/site/north")
        row = "#active-alarms tr[data-rule='DC_5/102']"
        self.sites.raise_alarm("north", 102, "DC_5", 2, "01005", "直流熔丝告警", "熔丝5断开")
        page.wait_text(row + " td", "直流熔丝告警")
        self.assertIn("01005", page.texts(row + " td"))
        self.sites.clear_alarm("north", 102, "DC_5")
        page.wait_gone(row)
        changes = page.texts("#alarm-changes tr")
        self.assertTrue(any("cleared" in c for c in changes) and any("raised" in c for c in changes),
                        changes)
        self.assertTrue(page.not_reloaded())

    def test_4_a_bad_frame_is_shown_marked(self):
        page = self.page
        page.go("#/site/north")
        self.sites.bad_frame("north")
        page.wait_text("#frames tr.bad td.reason", "bad CHKSUM")
        good = self.driver.find_elements(By.CSS_SELECTOR, "#frames tbody tr:not(.bad)")
        self.assertTrue(good, "good frames stay unmarked")
        self.assertIn("41", [e.text for e in good[-1].find_elements(By.CSS_SELECTOR, "td")])
        # Keep one alarm active for the site view's screenshot.
        self.sites.raise_alarm("north", 100, "K426_RC_1", 4, "06025", "整流模块风扇告警",
                               "模块2模块风扇告警")
        page.wait_text("#active-alarms td", "模块2模块风扇告警")
        page.screenshot("site-north.png")

    def test_5_refused_values_show_the_reason_in_chinese(self):
        page = self.page
        page.go("#/site/south")
        page.wait_text("[data-unit='102:k426b-dc'] tr[data-key=v] td.refused", "数据已超时")
        refused = self.driver.find_element(
            By.CSS_SELECTOR, "[data-unit='102:k426b-dc'] tr[data-key=v] td.refused")
        self.assertEqual(refused.text, "数据已超时")
        self.assertNotIn("53.5", page.texts("[data-unit='102:k426b-dc'] td"))
        page.screenshot("site-south.png")

    def test_6_a_lost_line_shows_without_reload(self):
        page = self.page
        page.go("#/")
        state = "tr[data-site=south] .line-state .state"
        page.wait_text(state, "up")
        self.sites.lose_line("south")
        page.wait_text(state, "lost")
        self.assertTrue(page.not_reloaded())

    def test_7_no_request_leaves_the_host(self):
        self.page.go("#/site/east")
        self.page.wait_text("#model", "<img src=x onerror=alert(1)>")
        urls = self.page.collect_requests()
        urls += self.driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name);")
        self.assertTrue(any(u.endswith("/assets/app.js") for u in urls), urls)
        # chrome:// and data: are the browser's own; anything over the network is ours only.
        outside = [u for u in urls if urlparse(u).scheme in ("http", "https", "ws", "wss", "ftp")
                   and urlparse(u).hostname != "127.0.0.1"]
        self.assertEqual(outside, [])
        severe = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(severe, [], "no script error or refused load")


class ConnectionLossTest(unittest.TestCase):
    """The page says when its own connection to the host is lost, and clears that when the host
    is back, without a reload."""

    def test_banner_while_the_host_is_away(self):
        sites = DemoSites()
        profile = tempfile.mkdtemp(prefix="k426b-chromium-")
        driver = None
        try:
            driver = start_browser(profile)
            page = Page(driver, sites.url)
            page.open("#/")
            page.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "tr[data-site]")) == 3,
                      "three sites")
            banner = driver.find_element(By.ID, "banner")
            self.assertFalse(banner.is_displayed())
            port = sites.port
            sites.stop()
            page.wait(lambda d: d.find_element(By.ID, "banner").is_displayed(), "the banner")
            self.assertIn("lost", driver.find_element(By.ID, "banner").text)
            sites = DemoSites(port)
            page.wait(lambda d: not d.find_element(By.ID, "banner").is_displayed(),
                      "the banner to clear")
            self.assertTrue(page.not_reloaded())
        finally:
            if driver is not None:
                driver.quit()
            sites.stop()
            shutil.rmtree(profile, ignore_errors=True)


def main():
    global DEMO, ARTIFACTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--demo", required=True)
    parser.add_argument("--artifacts", required=True)
    arguments, rest = parser.parse_known_args()
    DEMO, ARTIFACTS = arguments.demo, arguments.artifacts
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
