#!/usr/bin/env bash
# Runs the whole benchmark set: the Google Benchmark programs of bench/ and the whole-process
# figures of k426b-host against k426b-sim (bench/measure_host.py). Not part of CI: the figures
# depend on the machine and on what else runs on it.
#
#   scripts/bench.sh [--before REF] [--repeat N] [--cycles N] [--only micro|host|fleet]
#
#   --before REF  also build k426b-host, the plug-in and the simulator at git REF (a commit or
#                 branch) and measure them side by side with the working tree, runs alternating
#   --repeat N    whole-process runs per host and setting (default 3); benchmarks repeat 3 times
#   --cycles N    measured cycles per whole-process run (default 10, after 2 warm-up cycles)
#   --only fleet  one host serving 10, 100 and 1,000 simulated sites (bench/measure_fleet.py,
#                 about 10 minutes); part of the whole set too
#
# Figures go to build/bench-results/ (benchmark JSON and text, floor.md, host.json, host.md, and the
# callgrind profiles of one cycle in profiles/, for callgrind_annotate) and to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

before_ref=""
repeat=3
cycles=10
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before_ref="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --cycles) cycles="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    *) echo "usage: scripts/bench.sh [--before REF] [--repeat N] [--cycles N] [--only micro|host|fleet]" >&2
       exit 2 ;;
  esac
done

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-$(command -v ccache || true)}
benchmarks=(codec_bench parsers_bench values_bench round_done_bench)
build=build/default
results=build/bench-results
mkdir -p "$results"

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "load average $(cut -d' ' -f1-3 /proc/loadavg), commit $(git rev-parse --short HEAD)"
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target k426b-host k426b k426b-sim line_floor \
  "${benchmarks[@]}"

if [ -z "$only" ] || [ "$only" = micro ]; then
  for program in "${benchmarks[@]}"; do
    echo "== $program"
    "$build/bench/$program" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
      --benchmark_out="$results/$program.json" --benchmark_out_format=json \
      | tee "$results/$program.txt"
  done
fi

if [ -z "$only" ] || [ "$only" = host ]; then
  hosts=(--host "after=$build/bin/k426b-host")
  if [ -n "$before_ref" ]; then
    # The earlier code in a tree of its own, built with the same preset settings.
    before=build/bench-before
    rm -rf "$before/src" && mkdir -p "$before/src"
    git archive "$before_ref" | tar -x -C "$before/src"
    cmake -S "$before/src" -B "$before/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK426B_BENCH=OFF \
      > /dev/null
    cmake --build "$before/build" -j "$(nproc)" --target k426b-host k426b k426b-sim
    hosts=(--host "before=$before/build/bin/k426b-host" "${hosts[@]}")
  fi
  echo "== the floor: the least a host spends on a steady cycle (line_floor)"
  "$build/bin/k426b-sim" --pty > "$results/floor-sim.out" 2> /dev/null &
  floor_sim=$!
  for _ in $(seq 50); do [ -s "$results/floor-sim.out" ] && break; sleep 0.1; done
  floor_port=$(head -n 1 "$results/floor-sim.out")
  for extra in "" "--hand-over" "--history $results/floor.sqlite --hand-over"; do
    # shellcheck disable=SC2086  # the options are words
    echo "line_floor ${extra:-(the line alone)}: $("$build/bench/line_floor" --port "$floor_port" \
      --cycles 100 $extra 2> /dev/null)" | tee -a "$results/floor.md"
  done
  kill "$floor_sim"
  echo "== whole process: k426b-host against k426b-sim on a pseudo-terminal"
  python3 bench/measure_host.py --sim "$build/bin/k426b-sim" "${hosts[@]}" \
    --repeat "$repeat" --cycles "$cycles" --profile --keep-profiles "$results/profiles" \
    --json "$results/host.json" | tee "$results/host.md"
fi
if [ -z "$only" ] || [ "$only" = fleet ]; then
  echo "== many sites: one k426b-host serving 10, 100 and 1,000 simulated sites over TCP"
  python3 bench/measure_fleet.py --sim "$build/bin/k426b-sim" --host "$build/bin/k426b-host" \
    --sites 1 10 100 1000 --json "$results/fleet.json" | tee "$results/fleet.md"
fi
echo "== load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
