#!/usr/bin/env python3
"""Whole-process figures of k426b-host against k426b-sim on a pseudo-terminal.

cpu:  host CPU time and context switches per completed cycle, one site, history on, events off
      and on, against the unpaced simulator. The counters are read from /proc between the end of
      a warm-up cycle and the end of the last cycle (every thread of the host: schedstat run
      time, voluntary and involuntary context switches), so start-up does not count.
wire: each cycle's wall time (from its first query to its end, so the quiet time is left out)
      divided by its floor on a 9600-baud line: the bytes in both directions x 10 bits / 9600
      plus 20 ms per reply, from the host's event stream, against the paced simulator.

Several hosts may be given (LABEL=PATH, e.g. before=... after=...); their runs alternate, so a
change in the machine's load falls on each alike. Standard library only.
"""

import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CYCLE_LINE = re.compile(r"^cycle (\d+) - (\d+) queries")
BAUD = 9600
PAUSE_PER_REPLY = 0.020


# ---- processes ------------------------------------------------------------------------------

class Simulator:
    def __init__(self, sim, pace, scenario=None):
        command = [sim, "--pty"] + (["--pace"] if pace else [])
        if scenario:
            command += ["--scenario", scenario]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            self.stop()
            raise RuntimeError(f"simulator printed no pseudo-terminal path: {self.path!r}")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def task_counters(pid):
    """Run time (ns) and context switches summed over every thread of the process."""
    run_ns = voluntary = involuntary = 0
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/schedstat") as f:
                run_ns += int(f.read().split()[0])
            with open(f"{task_dir}/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        voluntary += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        involuntary += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):  # a thread that ended meanwhile
            pass
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime + stime of the whole thread group
    return {"run_ns": run_ns, "voluntary": voluntary, "involuntary": involuntary,
            "threads": len(os.listdir(task_dir)), "ticks": ticks}


def run_host(host, sim_path, config, workdir, cycles, warmup, events, record=False,
             timeout=600, callgrind=False):
    """Runs the host for warmup + cycles cycles; returns the counters between the two marks,
    the queries made in the measured cycles and the paths of what it wrote."""
    events_path = os.path.join(workdir, "events.jsonl")
    record_path = os.path.join(workdir, "record.jsonl")
    # The end mark is read while the host still runs: one more cycle keeps it clear of the
    # shutdown, whose exited threads would take their counters with them. Under callgrind the
    # counters are zeroed and dumped on request, which the host takes up when it next wakes: at
    # the start of the next cycle. Two more cycles keep the dump clear of the shutdown.
    total = warmup + cycles + (2 if callgrind else 1)
    command = [host, "--port", sim_path, "--cycles", str(total),
               "--history", os.path.join(workdir, "history.sqlite")]
    if callgrind:
        command = ["valgrind", "--tool=callgrind", "--quiet",
                   "--callgrind-out-file=" + os.path.join(workdir, "callgrind.out")] + command
    if config:
        command += ["--config", config]
    if events:
        command += ["--events", events_path]
    if record:
        command += ["--record", record_path]
    stderr = open(os.path.join(workdir, "host.stderr"), "w")
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True)
    marks = {}
    queries = 0
    deadline = time.monotonic() + timeout
    for line in process.stdout:
        match = CYCLE_LINE.match(line)
        if match:
            number = int(match.group(1))
            if number == warmup:
                marks["start"] = (time.monotonic(), task_counters(process.pid))
                if callgrind:
                    subprocess.run(["callgrind_control", "-z", str(process.pid)],
                                   stdout=subprocess.DEVNULL, check=True)
            elif number > warmup:
                queries += int(match.group(2))
            if number == warmup + cycles:
                marks["end"] = (time.monotonic(), task_counters(process.pid))
                if callgrind:
                    subprocess.run(["callgrind_control", "-d", "cycles", str(process.pid)],
                                   stdout=subprocess.DEVNULL, check=True)
        if time.monotonic() > deadline:
            process.kill()
            break
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    stderr.close()
    if "start" not in marks or "end" not in marks:
        raise RuntimeError(f"{host} did not complete {total} cycles "
                           f"(exit {process.returncode}); see {workdir}/host.stderr")
    (t0, c0), (t1, c1) = marks["start"], marks["end"]
    return {
        "cycles": cycles,
        "queries": queries,
        "wall_s": t1 - t0,
        "cpu_ns": c1["run_ns"] - c0["run_ns"],
        "cpu_ticks": c1["ticks"] - c0["ticks"],
        "voluntary": c1["voluntary"] - c0["voluntary"],
        "involuntary": c1["involuntary"] - c0["involuntary"],
        "threads": c1["threads"],
        "whole_run": {"user_s": usage.ru_utime, "system_s": usage.ru_stime,
                      "voluntary": usage.ru_nvcsw, "involuntary": usage.ru_nivcsw},
        "events_path": events_path,
        "record_path": record_path,
    }


# ---- cpu ------------------------------------------------------------------------------------

def per_cycle(run):
    cycles = run["cycles"]
    switches = run["voluntary"] + run["involuntary"]
    queries = run["queries"] / cycles
    return {
        "cpu_ms": run["cpu_ns"] / 1e6 / cycles,
        "cpu_ms_ticks": run["cpu_ticks"] * 1000.0 / os.sysconf("SC_CLK_TCK") / cycles,
        "switches": switches / cycles,
        "voluntary": run["voluntary"] / cycles,
        "involuntary": run["involuntary"] / cycles,
        "queries": queries,
        "switch_budget": 4 * queries + 2,
        "cycle_wall_s": run["wall_s"] / cycles,
    }


def measure_cpu(args, hosts):
    results = {}
    for repeat in range(args.repeat):
        for events in (False, True):
            for label, host in hosts:
                with tempfile.TemporaryDirectory(prefix="k426b-bench-") as workdir:
                    sim = Simulator(args.sim, pace=False, scenario=args.scenario)
                    try:
                        run = run_host(host, sim.path, args.config, workdir, args.cycles,
                                       args.warmup, events)
                    finally:
                        sim.stop()
                figures = per_cycle(run)
                key = f"{label} events {'on' if events else 'off'}"
                results.setdefault(key, []).append(figures)
                print(f"  [{repeat + 1}/{args.repeat}] {key}: {figures['cpu_ms']:.3f} ms CPU, "
                      f"{figures['switches']:.1f} switches, {figures['queries']:.1f} queries "
                      "per cycle", file=sys.stderr)
    return results


def summarise_cpu(results):
    rows = []
    for key, runs in results.items():
        def median(name):
            return statistics.median(r[name] for r in runs)

        def spread(name):
            values = [r[name] for r in runs]
            return min(values), max(values)

        rows.append({"run": key, "repeats": len(runs),
                     **{name: median(name) for name in runs[0]},
                     "cpu_ms_range": spread("cpu_ms"), "switches_range": spread("switches")})
    return rows


# ---- instructions ---------------------------------------------------------------------------

def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no summary in {path}")


def measure_instructions(args, hosts):
    """User-space instructions per cycle of every thread of the host, counted by callgrind: a
    figure the machine's load does not move. The profiles are kept for callgrind_annotate."""
    results = {}
    for events in (False, True):
        for label, host in hosts:
            key = f"{label} events {'on' if events else 'off'}"
            with tempfile.TemporaryDirectory(prefix="k426b-bench-") as workdir:
                sim = Simulator(args.sim, pace=False, scenario=args.scenario)
                try:
                    run = run_host(host, sim.path, args.config, workdir, args.profile_cycles,
                                   args.warmup, events, callgrind=True)
                finally:
                    sim.stop()
                profile = os.path.join(workdir, "callgrind.out.1")
                instructions = callgrind_total(profile)
                if args.keep_profiles:
                    os.makedirs(args.keep_profiles, exist_ok=True)
                    kept = os.path.join(args.keep_profiles, key.replace(" ", "-") + ".callgrind")
                    os.replace(profile, kept)
            results[key] = {"instructions_per_cycle": instructions / args.profile_cycles,
                            "queries": run["queries"] / args.profile_cycles}
            print(f"  callgrind {key}: {instructions / args.profile_cycles / 1e6:.2f} M "
                  "instructions per cycle", file=sys.stderr)
    return results


# ---- wire -----------------------------------------------------------------------------------

def frame_bytes_of_reply(info_hex):
    # SOI, VER ADR CID1 RTN (8), LENGTH (4), INFO, CHKSUM (4), EOI
    return 1 + 8 + 4 + len(info_hex) + 4 + 1


def cycles_from_events(path):
    """Per completed cycle: wall seconds, bytes each way and the replies handed over."""
    cycles = []
    sent = received = replies = 0
    with open(path) as f:
        for line in f:
            event = json.loads(line)
            kind = event["event"]
            if kind == "query":
                sent += len(event["frame"]) + 1  # the frame is logged without its CR
            elif kind == "reply":
                received += frame_bytes_of_reply(event["info"])
                replies += 1
            elif kind == "cycle":
                floor = (sent + received) * 10 / BAUD + PAUSE_PER_REPLY * replies
                reply_floor = received * 10 / BAUD + PAUSE_PER_REPLY * replies
                cycles.append({"number": event["number"], "queries": event["queries"],
                               "seconds": event["seconds"], "sent": sent, "received": received,
                               "replies": replies, "floor": floor,
                               "ratio": event["seconds"] / floor,
                               "reply_only_ratio": event["seconds"] / reply_floor})
                sent = received = replies = 0
    return cycles


def measure_wire(args, hosts):
    results = {}
    for label, host in hosts:
        with tempfile.TemporaryDirectory(prefix="k426b-bench-") as workdir:
            sim = Simulator(args.sim, pace=True, scenario=args.scenario)
            try:
                run = run_host(host, sim.path, args.config, workdir, args.wire_cycles - 1, 1,
                               events=True)
                cycles = cycles_from_events(run["events_path"])
            finally:
                sim.stop()
        first, steady = cycles[0], cycles[1:]
        results[label] = {
            "first": first,
            "steady_ratio_median": statistics.median(c["ratio"] for c in steady),
            "steady_ratio_max": max(c["ratio"] for c in steady),
            "steady_reply_only_ratio_max": max(c["reply_only_ratio"] for c in steady),
            "cycles": cycles,
            "paced_cpu": per_cycle(run),
        }
        print(f"  wire {label}: first {first['ratio']:.3f}, steady max "
              f"{results[label]['steady_ratio_max']:.3f}", file=sys.stderr)
    return results


# ---- report ---------------------------------------------------------------------------------

def print_report(cpu_rows, wire, instructions):
    if cpu_rows:
        print("| run | repeats | host CPU ms/cycle (median; min-max) | from utime+stime ticks | "
              "context switches/cycle (vol+invol; min-max) | queries/cycle | switch budget |")
        print("|---|---|---|---|---|---|---|")
        for r in cpu_rows:
            print(f"| {r['run']} | {r['repeats']} | {r['cpu_ms']:.3f}; "
                  f"{r['cpu_ms_range'][0]:.3f}-{r['cpu_ms_range'][1]:.3f} | "
                  f"{r['cpu_ms_ticks']:.2f} | {r['switches']:.1f} ({r['voluntary']:.1f}+"
                  f"{r['involuntary']:.1f}); {r['switches_range'][0]:.1f}-"
                  f"{r['switches_range'][1]:.1f} | {r['queries']:.1f} | "
                  f"{r['switch_budget']:.0f} |")
    if instructions:
        print()
        print("| run | user-space instructions per cycle (callgrind) |")
        print("|---|---|")
        for key, figures in instructions.items():
            print(f"| {key} | {figures['instructions_per_cycle'] / 1e6:.2f} M |")
    if wire:
        print()
        print("| host | first cycle: wall s / floor s = ratio | steady: median ratio | "
              "steady: worst ratio | worst against the reply bytes only | "
              "paced: CPU ms, switches per cycle |")
        print("|---|---|---|---|---|---|")
        for label, w in wire.items():
            first = w["first"]
            print(f"| {label} | {first['seconds']:.3f} / {first['floor']:.3f} = "
                  f"{first['ratio']:.3f} | {w['steady_ratio_median']:.3f} | "
                  f"{w['steady_ratio_max']:.3f} | {w['steady_reply_only_ratio_max']:.3f} | "
                  f"{w['paced_cpu']['cpu_ms']:.2f}, {w['paced_cpu']['switches']:.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="path of k426b-sim")
    parser.add_argument("--host", action="append", required=True,
                        help="LABEL=PATH of a k426b-host (repeatable), or a bare PATH")
    parser.add_argument("--config", help="composite configuration (default: the host's example)")
    parser.add_argument("--scenario", help="simulator scenario (default: its built-in one)")
    parser.add_argument("--cycles", type=int, default=10, help="measured cycles per cpu run")
    parser.add_argument("--warmup", type=int, default=2, help="cycles before the measurement")
    parser.add_argument("--repeat", type=int, default=3, help="cpu runs per host and setting")
    parser.add_argument("--wire-cycles", type=int, default=11, help="cycles per wire run")
    parser.add_argument("--only", choices=["cpu", "wire", "profile"], help="run one part")
    parser.add_argument("--profile", action="store_true",
                        help="also count instructions per cycle under callgrind")
    parser.add_argument("--profile-cycles", type=int, default=5, help="cycles per callgrind run")
    parser.add_argument("--keep-profiles", help="folder for the callgrind profiles")
    parser.add_argument("--json", help="write every figure to this file")
    args = parser.parse_args()

    hosts = []
    for entry in args.host:
        label, _, path = entry.rpartition("=")
        hosts.append((label or os.path.basename(path), path))

    cpu = measure_cpu(args, hosts) if args.only in (None, "cpu") else {}
    cpu_rows = summarise_cpu(cpu)
    wire = measure_wire(args, hosts) if args.only in (None, "wire") else {}
    profiled = args.only == "profile" or (args.profile and args.only is None)
    instructions = measure_instructions(args, hosts) if profiled else {}
    print_report(cpu_rows, wire, instructions)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"cpu": cpu_rows, "cpu_runs": cpu, "wire": wire,
                       "instructions": instructions}, f, indent=1)


if __name__ == "__main__":
    main()
