#!/usr/bin/env python3
"""The cycle time of power systems sharing one 9600-baud line, against the line's floor.

For N of 1, 2 and 3 (or --addresses): one k426b-sim serves N power systems, addresses 1..N, on
one pseudo-terminal at the pace of a 9600-baud line (`--pty --pace --addresses 1,..,N`), and one
k426b-host polls them as N sites of one sites file naming that one port (events on, no
history). The sites take turns on the line query by query, so a site's cycle may span queries
of the others; its floor is therefore that of every exchange on the line, of any site, between
its first query and its end: the bytes in both directions x 10 bits / 9600 + 20 ms for every
reply (the device's pause). Each site's cycle time is its `cycle` event's `seconds` (from its
first query to its end).

Prints, per N, every site's steady cycles (the first two left out: the model check and the
cache loads) as cycle time / floor: median and worst. Processes are started on 127.0.0.1 and a
pseudo-terminal only, and every one is stopped at the end. Standard library only.

Run: bench/measure_multidrop.py --host build/default/bin/k426b-host
                                --sim build/default/bin/k426b-sim [--cycles 8]
"""

import argparse
import datetime
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from measure_host import BAUD, PAUSE_PER_REPLY, frame_bytes_of_reply  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from processes import device_config, stop_process  # noqa: E402


def first_line(process, deadline_s):
    end = time.monotonic() + deadline_s
    line = b""
    while time.monotonic() < end:
        if not select.select([process.stdout], [], [], end - time.monotonic())[0]:
            break
        byte = os.read(process.stdout.fileno(), 1)
        if byte in (b"", b"\n"):
            return line.decode()
        line += byte
    raise RuntimeError("the simulator printed no path")


def cycles_by_site(path):
    """Per site: (number, seconds, floor) of every cycle. The floor counts every exchange of
    any site on the line between the cycle's first query and its end."""
    exchanges = []  # (time, bytes on the line, replies)
    starts = {}
    cycles = {}
    with open(path) as stream:
        for line in stream:
            event = json.loads(line)
            site = event.get("site")
            if site is None or event["event"] not in ("query", "reply", "cycle"):
                continue
            at = datetime.datetime.fromisoformat(event["time"]).timestamp()
            if event["event"] == "query":
                exchanges.append((at, len(event["frame"]) + 1, 0))  # logged without its CR
                starts.setdefault(site, at)
            elif event["event"] == "reply":
                exchanges.append((at, frame_bytes_of_reply(event["info"]), 1))
            elif site in starts:
                start = starts.pop(site)
                inside = [(size, replies) for time_, size, replies in exchanges
                          if start - 0.0005 <= time_ <= at + 0.0005]
                floor = (sum(size for size, _ in inside) * 10 / BAUD +
                         PAUSE_PER_REPLY * sum(replies for _, replies in inside))
                cycles.setdefault(site, []).append((event["number"], event["seconds"], floor))
    return cycles


def measure(args, count, workdir):
    addresses = list(range(1, count + 1))
    sim = subprocess.Popen([args.sim, "--pty", "--pace", "--addresses",
                            ",".join(map(str, addresses))], stdout=subprocess.PIPE)
    host = None
    try:
        port = first_line(sim, 30)
        sites = []
        for address in addresses:
            device = device_config(1000 * address)
            device["address"] = address
            sites.append({"name": f"a{address}", "port": port, "device": device})
        sites_path = os.path.join(workdir, f"sites-{count}.json")
        with open(sites_path, "w") as out:
            json.dump({"sites": sites}, out)
        events = os.path.join(workdir, f"events-{count}.jsonl")
        host = subprocess.Popen([args.host, "--sites", sites_path, "--no-history",
                                 "--events", events], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60 + 10 * args.cycles * count
        while time.monotonic() < deadline:
            time.sleep(0.5)
            if os.path.exists(events):
                done = cycles_by_site(events)
                if len(done) == count and all(len(c) >= args.cycles for c in done.values()):
                    break
        else:
            raise RuntimeError(f"{count} addresses: fewer than {args.cycles} cycles each")
    finally:
        stop_process(host)
        stop_process(sim)
    ratios = [seconds / floor for cycles in done.values()
              for number, seconds, floor in cycles if number > 2]
    own = statistics.median(floor for cycles in done.values()
                            for number, _, floor in cycles if number > 2)
    seconds = statistics.median(seconds for cycles in done.values()
                                for number, seconds, _ in cycles if number > 2)
    return ratios, own, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cycles", type=int, default=8)
    parser.add_argument("--addresses", type=int, nargs="*", default=[1, 2, 3])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="k426b-multidrop-bench-") as workdir:
        print("| addresses | a site's cycle, median | its floor, median | cycles "
              "| cycle / floor: median, worst |")
        print("|---|---|---|---|---|")
        for count in args.addresses:
            ratios, floor, seconds = measure(args, count, workdir)
            print(f"| {count} | {seconds:.2f} s | {floor:.3f} s | {len(ratios)} | "
                  f"{statistics.median(ratios):.3f}, {max(ratios):.3f} |", flush=True)


if __name__ == "__main__":
    main()
