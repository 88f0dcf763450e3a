#!/usr/bin/env python3
"""Installs k426b into a temporary prefix, moves the tree elsewhere, and runs it from there:
the programs find their libraries through a relative RUNPATH, k426b-host finds its plug-in and
the example configuration without being told, and an integrator's project builds against the
moved tree with find_package(k426b)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--cmake", required=True)
parser.add_argument("--build-dir", required=True)
parser.add_argument("--pkglibdir", required=True, help="plug-in folder relative to the prefix")
parser.add_argument("--version", required=True)
parser.add_argument("--consumer", required=True, help="source folder of the consumer project")
args = parser.parse_args()

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def run(command, timeout=180, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)


with tempfile.TemporaryDirectory(prefix="k426b-install-") as temp:
    first, moved = os.path.join(temp, "first"), os.path.join(temp, "moved")
    installed = run([args.cmake, "--install", args.build_dir, "--prefix", first])
    check(installed.returncode == 0, "cmake --install into " + first)
    if installed.returncode != 0:
        sys.exit(installed.stdout + installed.stderr)
    os.rename(first, moved)

    for relative in ["bin/k426b-host", "bin/k426b-sim",
                     f"{args.pkglibdir}/libk426b.so", f"{args.pkglibdir}/libzvkhost.so",
                     "etc/k426b/sites.json", "lib/systemd/system/k426b-host.service",
                     "share/k426b/examples/k426b.json", "share/k426b/monitoring/k426b-alerts.yml",
                     "share/man/man1/k426b-host.1.gz",
                     "share/man/man1/k426b-sim.1.gz", "include/k426b/host/device.h"]:
        check(os.path.exists(os.path.join(moved, relative)), "installed " + relative)

    # A user's run: no history written anywhere outside the temporary folder.
    env = dict(os.environ, HOME=temp, XDG_STATE_HOME=os.path.join(temp, "state"))
    env.pop("LD_LIBRARY_PATH", None)
    host = os.path.join(moved, "bin", "k426b-host")
    result = run([host, "--simulate", "--cycles", "1", "--no-history"], env=env)
    output = result.stdout + result.stderr
    plugin = os.path.join(moved, args.pkglibdir, "libk426b.so")
    print(output)
    check(result.returncode == 0, "moved k426b-host --simulate --cycles 1 --no-history exits 0")
    check(f"plug-in {plugin}" in output, "the moved host loads the moved plug-in " + plugin)
    check("1 cycle completed" in output, "one poll cycle completed")
    check(first not in output, "nothing refers to the first install location")

    # --help names the example configuration the moved program really falls back on.
    usage = run([host, "--help"], env=env).stdout
    example = os.path.join(moved, "share", "k426b", "examples", "k426b.json")
    check(f"default {example}" in " ".join(usage.split()),
          "moved k426b-host --help names its default configuration " + example)

    for program in ["k426b-host", "k426b-sim"]:
        version = run([os.path.join(moved, "bin", program), "--version"], env=env)
        check(version.returncode == 0 and version.stdout.strip() == f"{program} {args.version}",
              f"moved {program} --version: {version.stdout.strip()!r} {version.stderr.strip()!r}")

    consumer_build = os.path.join(temp, "consumer")
    configured = run([args.cmake, "-S", args.consumer, "-B", consumer_build,
                      "-DCMAKE_PREFIX_PATH=" + moved, "-DCMAKE_BUILD_TYPE=Release"], timeout=300)
    check(configured.returncode == 0, "consumer configures with find_package(k426b)")
    if configured.returncode == 0:
        built = run([args.cmake, "--build", consumer_build], timeout=600)
        check(built.returncode == 0, "consumer builds against k426b::zvkhost")
        if built.returncode != 0:
            print(built.stdout + built.stderr)
        else:
            consumer = run([os.path.join(consumer_build, "consumer")], env=env)
            print(consumer.stdout + consumer.stderr)
            check(consumer.returncode == 0 and "composite device made" in consumer.stdout,
                  "consumer loads the installed plug-in and makes its device")
    else:
        print(configured.stdout + configured.stderr)

sys.exit(1 if failures else 0)
