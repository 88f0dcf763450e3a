#!/usr/bin/env python3
"""What someone new meets first, driven through the real programs and scripts: the README's
sites file against the simulator, the service's command without a history folder, the console's
rectifier row, the ctest listing, and the set-up and CI scripts run against a stand-in package
manager and build (they must never install or build anything for real here).

Everything runs on 127.0.0.1 with free ports; every wait has a deadline; every process started
here is ended here.

Run: newcomer_test.py --host PATH --sim PATH --source DIR --build DIR [unittest arguments]
"""

import json
import os
import re
import shutil
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support"))
from processes import (  # noqa: E402
    ChildrenTestCase, fetch, free_port, read_line, run_host_tests, wait_until)

HOST = SIM = SOURCE = BUILD = None


class TempDirTest(ChildrenTestCase):
    PREFIX = "k426b-newcomer-"


class ReadmeSitesTest(TempDirTest):
    def test_the_readme_sites_file_completes_cycles_on_every_site(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
            text = readme.read()
        block = re.search(r"### The sites file.*?```json\n(.*?)```", text, re.DOTALL)
        self.assertIsNotNone(block, "no sites file example in the README")
        sites = json.loads(block.group(1))
        with open(os.path.join(SOURCE, "examples", "sites.json"), encoding="utf-8") as example:
            self.assertEqual(sites, json.load(example), "README and examples/sites.json differ")

        # Each site on a simulator of its own, serving the default power system.
        for site in sites["sites"]:
            site["port"] = self.tcp_simulator(SIM)[1]
            site.pop("baud", None)
        shutil.copy(os.path.join(SOURCE, "examples", "k426b.json"), self.path("k426b.json"))
        port = free_port()
        self.spawn([HOST, "--sites", self.write_json("sites.json", sites),
                    "--listen", f"127.0.0.1:{port}", "--no-history"], stdout=subprocess.DEVNULL)

        def settled():
            body = fetch(port, "/api/sites")
            if body is None:
                return None
            overview = json.loads(body)
            done = all(site["counters"]["cycles"] > 0 or site["line"]["problem"]
                       for site in overview)
            return overview if done and len(overview) == len(sites["sites"]) else None

        for site in wait_until(settled, "every site cycled or explained why not"):
            self.assertEqual(site["line"]["problem"], "", site["name"])
            self.assertGreater(site["counters"]["cycles"], 0, site["name"])


class HistoryFolderTest(TempDirTest):
    def test_an_unusable_history_folder_is_named_with_what_to_do(self):
        # The state folder lies under a plain file, so it cannot be made, even by root.
        with open(self.path("plain"), "w"):
            pass
        state = self.path("plain", "state")
        env = dict(os.environ, HOME=self.path("plain"), XDG_STATE_HOME=state)
        env.pop("STATE_DIRECTORY", None)
        sites = {"sites": [{"name": "north", "port": f"tcp://127.0.0.1:{free_port()}",
                            "device": os.path.join(SOURCE, "examples", "k426b.json")}]}
        host = self.spawn([HOST, "--sites", self.write_json("sites.json", sites)], env=env,
                          stderr=subprocess.STDOUT)

        def history_line():
            line = read_line(host, 30, "k426b-host")
            return line if "cannot open the history" in line else None

        line = wait_until(history_line, "the history problem reported")
        self.assertIn(os.path.join(state, "k426b"), line)
        self.assertIn("--history FILE", line)
        self.assertIn("--no-history", line)


class ConsoleRectifierTest(TempDirTest):
    def test_the_rectifier_row_shows_the_group_and_module_values(self):
        result = subprocess.run([HOST, "--simulate", "--cycles", "1", "--no-history"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        # The table after the cycle, not the one before it.
        rows = [index for index, line in enumerate(lines) if " k426b-rc " in line]
        self.assertTrue(rows, result.stdout)
        row = rows[-1]
        # The default power system: group value 53.5, three modules, the first at 8 A.
        self.assertRegex(lines[row], r"\bgroup 53\.5\b")
        self.assertNotIn("数据未就绪", lines[row])
        modules = [line for line in lines[row + 1:row + 4] if re.match(r"\s+module \d+ ", line)]
        self.assertEqual(len(modules), 3, result.stdout)
        self.assertRegex(modules[0], r"module 1 +8 \| 53\.5 8 35 0 0 0 0$")


class TestListingTest(unittest.TestCase):
    def test_every_ctest_name_is_short_and_the_same_from_run_to_run(self):
        listing = subprocess.run(["ctest", "-N"], cwd=BUILD, capture_output=True, text=True,
                                 timeout=60).stdout
        tests = [line for line in listing.splitlines() if re.match(r"\s*Test +#", line)]
        self.assertGreater(len(tests), 100)
        for line in tests:
            self.assertNotIn("-byte object", line)
            self.assertLessEqual(len(line), 140, line)


def write_script(path, text):
    with open(path, "w") as out:
        out.write("#!/bin/sh\n" + text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class ScriptsTest(TempDirTest):
    """The scripts run from a copy of the tree, with a package manager, systemctl, cmake and
    ctest that only record what they were asked."""

    def setUp(self):
        super().setUp()
        os.makedirs(self.path("tree", "scripts"))
        os.makedirs(self.path("bin"))
        self.log = self.path("calls.log")
        for name in ["apt-get", "systemctl", "cmake", "ctest"]:
            write_script(self.path("bin", name), f'echo "{name} $*" >> {self.log}\n'
                         '[ -z "$FAIL_ON" ] || case "$*" in *"$FAIL_ON"*) exit 1;; esac\n')
        # Nothing is installed; sudo only runs the command.
        write_script(self.path("bin", "dpkg-query"), "exit 1\n")
        write_script(self.path("bin", "sudo"), 'exec "$@"\n')
        self.env = dict(os.environ, PATH=self.path("bin") + ":" + os.environ["PATH"])

    def copy_script(self, name):
        shutil.copy(os.path.join(SOURCE, "scripts", name), self.path("tree", "scripts", name))

    def calls(self):
        with open(self.log) as calls:
            return calls.read().splitlines()

    def installed_with(self, *groups):
        if os.path.exists(self.log):
            os.remove(self.log)
        result = subprocess.run([self.path("tree", "scripts", "install-deps.sh"), *groups],
                                env=self.env, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        installs = [call.split()[4:] for call in self.calls()
                    if call.startswith("apt-get install")]
        self.assertEqual(len(installs), 1, self.calls())
        return set(installs[0]), self.calls()

    def test_each_job_installs_what_it_needs_and_prometheus_stays_off_at_boot(self):
        self.copy_script("install-deps.sh")
        build, calls = self.installed_with()
        self.assertTrue({"cmake", "libcpp-httplib-dev", "libsqlite3-dev"} <= build, build)
        for test_only in ["prometheus", "chromium", "clang", "libgtest-dev", "libbenchmark-dev"]:
            self.assertNotIn(test_only, build)
        self.assertFalse([call for call in calls if call.startswith("systemctl")], calls)

        package, _ = self.installed_with("package")
        self.assertTrue(build | {"file", "dpkg-dev"} <= package, package)

        tests, calls = self.installed_with("tests")
        self.assertTrue(package | {"prometheus", "prometheus-alertmanager", "chromium",
                                   "chromium-driver", "clang",
                                   "libgtest-dev", "libgmock-dev", "libbenchmark-dev",
                                   "python3-selenium", "systemd"} <= tests, tests)
        install = next(i for i, call in enumerate(calls) if call.startswith("apt-get install"))
        disabled = [i for i, call in enumerate(calls)
                    if call.startswith("systemctl disable") and "prometheus.service" in call]
        self.assertTrue(disabled and disabled[0] > install, calls)
        self.assertTrue([call for call in calls[install:] if call.startswith("systemctl disable")
                         and "prometheus-alertmanager.service" in call], calls)

    def test_a_failing_stage_names_the_stages_that_never_ran(self):
        self.copy_script("test.sh")
        write_script(self.path("tree", "scripts", "install-deps.sh"),
                     f'echo "install-deps $*" >> {self.log}\n')
        write_script(self.path("tree", "scripts", "fuzz.sh"), f'echo "fuzz $*" >> {self.log}\n')
        result = subprocess.run([self.path("tree", "scripts", "test.sh")],
                                env=dict(self.env, FAIL_ON="--build --preset asan"),
                                capture_output=True, text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("install-deps tests", self.calls())
        self.assertFalse([call for call in self.calls() if call.startswith("fuzz")])
        output = result.stdout + result.stderr
        self.assertRegex(output, r"failed: asan: configure and build")
        self.assertRegex(output, r"never ran: asan: test, tsan: configure and build, tsan: test, "
                                 r"fuzz: 30 s smoke run of each harness")


if __name__ == "__main__":
    sys.exit(run_host_tests(globals(), more=("--source", "--build")))
