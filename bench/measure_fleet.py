#!/usr/bin/env python3
"""Whole-process figures of one k426b-host serving many sites from one k426b-sim.

For each site count N (default 10, 100 and 1,000): the simulator serves N power systems on TCP
ports of 127.0.0.1 (`--sites N --tcp 127.0.0.1:0 --pace`), the replies at the pace of a
9600-baud line in the packets of a serial device server (`--packet-ms`), and one host supervises
them all (`k426b-host --sites FILE`, history on as by default, events off). Once every site has
completed its warm-up cycles the host is watched over a steady window:

cpu:    the host's utime + stime (/proc/PID/stat) over the window, divided by its wall time: the
        share of one core; also per completed cycle, with the context switches of all its
        threads per cycle;
memory: the host's VmRSS at the end of the window, per site (and the figure of one site, the
        base every further site adds to);
wire:   each site's cycles completed in the window, wall time (from the first query to the end,
        quiet time left out, as the host prints it to 10 ms) divided by the cycle's floor: the
        bytes on the line in both directions x 10 bits / 9600 + 20 ms per reply. The bytes of a
        cycle depend only on its queries (every site's replies have the same length), so they
        are taken once from the event stream of a one-site run, per number of queries.

Processes are started on 127.0.0.1 only and every one is stopped at the end, also on an error
or Ctrl-C. Standard library only.
"""

import argparse
import json
import os
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from measure_host import BAUD, PAUSE_PER_REPLY, cycles_from_events, task_counters  # noqa: E402

SITE_CYCLE = re.compile(r"^\[(\S+)\] cycle (\d+) - (\d+) queries, ([\d.]+) s$")
CLK_TCK = os.sysconf("SC_CLK_TCK")


def log(text):
    print(text, file=sys.stderr, flush=True)


def raise_file_limit(needed):
    """Each site takes a socket in the host and two in the simulator: lift the soft limit of
    open files (inherited by both) to the hard one when the soft one is too low."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < needed:
        if hard != resource.RLIM_INFINITY and hard < needed:
            raise RuntimeError(f"open files limited to {hard}; {needed} needed")
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(needed, 4096)), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def stop(process, name):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        log(f"  {name} did not stop within 60 s after SIGTERM: killed")
        process.kill()
        process.wait()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime, every thread


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {key} in /proc/{pid}/status")


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def device_config(template, site):
    """The composite configuration with data ids of its own: site i's ids are 100000 + 10 i
    onwards, in the order the template lists them."""
    config = json.loads(json.dumps(template))
    base = 100000 + 10 * site
    counter = iter(range(base, base + 10))
    config["data_id"] = next(counter)
    for key in ("acSetting", "dcSetting"):
        for unit in config.get(key, []):
            unit["data_id"] = next(counter)
    return config


class Fleet:
    """One simulator serving `sites` power systems and one host supervising them."""

    def __init__(self, args, sites, workdir, events=False):
        self.sites = sites
        self.sim = self.host = None
        self.cycles = {}  # site name -> [(number, queries, seconds)]
        self.lock = threading.Lock()
        self.ended = threading.Event()
        self.events_path = os.path.join(workdir, "events.jsonl")
        try:
            self._start(args, sites, workdir, events)
        except BaseException:
            self.close()
            raise

    def _start(self, args, sites, workdir, events):
        sim_command = [args.sim, "--tcp", "127.0.0.1:0", "--sites", str(sites), "--pace",
                       "--packet-ms", str(args.packet_ms)]
        self.sim = subprocess.Popen(sim_command, stdout=subprocess.PIPE,
                                    stderr=open(os.path.join(workdir, "sim.stderr"), "w"),
                                    text=True)
        addresses = [self.sim.stdout.readline().strip() for _ in range(sites)]
        if not all(a.startswith("127.0.0.1:") for a in addresses):
            raise RuntimeError(f"the simulator printed no addresses: {addresses[:3]!r}")
        with open(args.config) as f:
            template = json.load(f)
        sites_file = os.path.join(workdir, "sites.json")
        with open(sites_file, "w") as f:
            json.dump({"sites": [{"name": f"site-{i}", "port": "tcp://" + address,
                                  "device": device_config(template, i)}
                                 for i, address in enumerate(addresses)]}, f)
        host_command = [args.host, "--sites", sites_file,
                        "--history", os.path.join(workdir, "history.sqlite")]
        if events:
            host_command += ["--events", self.events_path]
        self.host = subprocess.Popen(host_command, stdout=subprocess.PIPE,
                                     stderr=open(os.path.join(workdir, "host.stderr"), "w"),
                                     text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.host.stdout:
            match = SITE_CYCLE.match(line.rstrip("\n"))
            if match:
                with self.lock:
                    self.cycles.setdefault(match.group(1), []).append(
                        (int(match.group(2)), int(match.group(3)), float(match.group(4))))
        self.ended.set()

    def completed(self):
        """The fewest cycles any site has completed."""
        with self.lock:
            if len(self.cycles) < self.sites:
                return 0
            return min(entries[-1][0] for entries in self.cycles.values())

    def wait_for_cycles(self, count, timeout, what):
        deadline = time.monotonic() + timeout
        shown = -1
        while True:
            done = self.completed()
            if done >= count:
                return
            if self.ended.is_set() or self.host.poll() is not None:
                raise RuntimeError(f"the host ended (exit {self.host.poll()}) {what}")
            if time.monotonic() > deadline:
                with self.lock:
                    started = len(self.cycles)
                raise RuntimeError(f"{what}: not every site completed {count} cycles within "
                                   f"{timeout} s ({started} of {self.sites} sites completed one)")
            if done != shown:
                with self.lock:
                    started = len(self.cycles)
                log(f"  {what}: {started} of {self.sites} sites have completed a cycle; "
                    f"every site at least {done} of {count}")
                shown = done
            time.sleep(0.5)

    def close(self):
        stop(self.host, "k426b-host")
        stop(self.sim, "k426b-sim")


def calibrate(args):
    """Bytes and replies of a cycle by its number of queries, from one site's event stream."""
    with tempfile.TemporaryDirectory(prefix="k426b-fleet-") as workdir:
        fleet = Fleet(args, 1, workdir, events=True)
        try:
            fleet.wait_for_cycles(args.warmup + 2, 120, "calibration, one site with events")
        finally:
            fleet.close()
        floors = {}
        for cycle in cycles_from_events(fleet.events_path):
            floors.setdefault(cycle["queries"], set()).add(round(cycle["floor"], 6))
    # Should two cycles of as many queries differ, the smaller floor is taken: the ratio is then
    # the less flattering one.
    return {queries: min(values) for queries, values in floors.items()}


def measure(args, sites, floors):
    with tempfile.TemporaryDirectory(prefix="k426b-fleet-") as workdir:
        fleet = Fleet(args, sites, workdir)
        try:
            started = time.monotonic()
            fleet.wait_for_cycles(args.warmup, args.start_timeout, f"{sites} sites, warm-up")
            warm_s = time.monotonic() - started
            pid = fleet.host.pid
            sim_pid = fleet.sim.pid
            t0, c0, s0 = time.monotonic(), cpu_seconds(pid), cpu_seconds(sim_pid)
            k0 = task_counters(pid)
            load0 = load_average()
            with fleet.lock:
                marks = {name: entries[-1][0] for name, entries in fleet.cycles.items()}
            log(f"  {sites} sites: every site warm after {warm_s:.0f} s; measuring "
                f"{args.window} s (load average {load0})")
            end = t0 + args.window
            while time.monotonic() < end:
                if fleet.host.poll() is not None:
                    raise RuntimeError(f"the host ended during the window (exit "
                                       f"{fleet.host.returncode}); see {workdir}/host.stderr")
                time.sleep(min(5, max(0, end - time.monotonic())))
                log(f"  {sites} sites: {time.monotonic() - t0:.0f} of {args.window} s")
            t1, c1, s1 = time.monotonic(), cpu_seconds(pid), cpu_seconds(sim_pid)
            k1 = task_counters(pid)
            rss_kib = status_kib(pid, "VmRSS")
            threads = thread_count(pid)
            load1 = load_average()
            with fleet.lock:
                window = {name: [c for c in entries if c[0] > marks[name]]
                          for name, entries in fleet.cycles.items()}
        finally:
            fleet.close()
    ratios = []
    unknown = set()
    for name, entries in window.items():
        for number, queries, seconds in entries:
            if queries not in floors:
                unknown.add(queries)
                continue
            ratios.append((seconds / floors[queries], name, number, queries, seconds))
    if unknown:
        log(f"  cycles of {sorted(unknown)} queries had no calibrated floor and were left out")
    cycles_in_window = sum(len(entries) for entries in window.values())
    worst = max(ratios) if ratios else None
    return {
        "sites": sites,
        "window_s": t1 - t0,
        "host_cpu_share": (c1 - c0) / (t1 - t0),
        "sim_cpu_share": (s1 - s0) / (t1 - t0),
        "cpu_ms_per_cycle": (c1 - c0) * 1000 / max(1, cycles_in_window),
        "switches_per_cycle": (k1["voluntary"] + k1["involuntary"] - k0["voluntary"] -
                               k0["involuntary"]) / max(1, cycles_in_window),
        "rss_kib": rss_kib,
        "rss_kib_per_site": rss_kib / sites,
        "threads": threads,
        "cycles": cycles_in_window,
        "cycles_per_site_per_s": cycles_in_window / sites / (t1 - t0),
        "ratio_median": statistics.median(r[0] for r in ratios) if ratios else None,
        "ratio_worst": worst[0] if worst else None,
        "worst_cycle": {"site": worst[1], "number": worst[2], "queries": worst[3],
                        "seconds": worst[4]} if worst else None,
        "sites_over_1_02": len({r[1] for r in ratios if r[0] > 1.02}),
        "cycles_over_1_02": sum(1 for r in ratios if r[0] > 1.02),
        "ratio_p99": (sorted(r[0] for r in ratios)[int(0.99 * (len(ratios) - 1))]
                      if ratios else None),
        "load_average": [load0, load1],
        "warm_up_s": warm_s,
    }


def print_report(rows, floors, args):
    print(f"floors (one site's event stream; packets of {args.packet_ms} ms): " + ", ".join(
        f"{q} queries {f:.3f} s" for q, f in sorted(floors.items())))
    print()
    print("| sites | host CPU, share of one core | per cycle: CPU ms, context switches | VmRSS | "
          "per site | host threads | cycles in the window | cycle wall / floor: median, worst "
          "(site, cycle) | 99th percentile | cycles over 1.02 (sites) | simulator CPU | "
          "load average (start, end) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        worst = r["worst_cycle"]
        worst_text = (f"{r['ratio_median']:.3f}, {r['ratio_worst']:.3f} ({worst['site']}, "
                      f"{worst['number']}: {worst['seconds']:.2f} s, {worst['queries']} q)"
                      if worst else "no cycle")
        print(f"| {r['sites']:,} | {100 * r['host_cpu_share']:.1f} % | "
              f"{r['cpu_ms_per_cycle']:.2f}, {r['switches_per_cycle']:.1f} | "
              f"{r['rss_kib'] / 1024:.1f} MiB | {r['rss_kib_per_site']:.0f} KiB | "
              f"{r['threads']} | {r['cycles']} in {r['window_s']:.0f} s "
              f"({r['cycles_per_site_per_s'] * 60:.1f} per site per minute) | {worst_text} | "
              f"{r['ratio_p99'] or 0:.3f} | {r['cycles_over_1_02']} ({r['sites_over_1_02']}) | "
              f"{100 * r['sim_cpu_share']:.0f} % | "
              f"{r['load_average'][0]}; {r['load_average'][1]} |")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Example: python3 bench/measure_fleet.py --sim build/default/bin/k426b-sim "
               "--host build/default/bin/k426b-host --sites 10 100 1000")
    parser.add_argument("--sim", required=True, help="path of k426b-sim")
    parser.add_argument("--host", required=True, help="path of k426b-host")
    parser.add_argument("--config", default=os.path.join(here, "..", "examples", "k426b.json"),
                        help="composite configuration of every site; its data ids are replaced "
                             "(default: examples/k426b.json)")
    parser.add_argument("--sites", type=int, nargs="+", default=[10, 100, 1000],
                        help="site counts to measure (default 10 100 1000)")
    parser.add_argument("--packet-ms", type=int, default=10,
                        help="the simulator's packets: what the line carries in MS milliseconds "
                             "(default 10; 0 byte by byte)")
    parser.add_argument("--warmup", type=int, default=2,
                        help="cycles every site completes before the window (default 2)")
    parser.add_argument("--window", type=float, default=60, help="steady window, s (default 60)")
    parser.add_argument("--start-timeout", type=float, default=600,
                        help="longest wait for the warm-up, s (default 600)")
    parser.add_argument("--json", help="write every figure to this file")
    args = parser.parse_args()

    limit = raise_file_limit(3 * max(args.sites) + 256)
    log(f"== machine: {os.cpu_count()} cores, load average {load_average()}, open files "
        f"limit {limit}")
    log("== calibration: the bytes of a cycle, one site with the event stream on")
    floors = calibrate(args)
    log("  floors: " + ", ".join(f"{q} queries {f:.3f} s" for q, f in sorted(floors.items())))
    rows = []
    for sites in args.sites:
        log(f"== {sites} sites")
        rows.append(measure(args, sites, floors))
        r = rows[-1]
        log(f"  {sites} sites: host {100 * r['host_cpu_share']:.1f} % of a core "
            f"({r['cpu_ms_per_cycle']:.2f} ms, {r['switches_per_cycle']:.1f} switches a cycle), "
            f"{r['rss_kib_per_site']:.0f} KiB per site, worst cycle / floor "
            f"{r['ratio_worst'] or 0:.3f}")
    print_report(rows, floors, args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"floors": floors, "baud": BAUD, "pause_per_reply": PAUSE_PER_REPLY,
                       "packet_ms": args.packet_ms, "runs": rows}, f, indent=1)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
