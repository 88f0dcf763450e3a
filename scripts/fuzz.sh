#!/usr/bin/env bash
# Builds the fuzz preset and runs the libFuzzer harnesses, each from a copy of its checked-in
# corpus (fuzz/corpus/<harness>/), so that nothing is written into the tree.
#
#   scripts/fuzz.sh [--seconds N] [--jobs N] [--log-dir DIR] [--no-build] [HARNESS...]
#   scripts/fuzz.sh --edges [--binaries DIR] [HARNESS...]
#
# --seconds N   how long each harness runs (default 30: the smoke run of CI)
# --jobs N      how many harnesses run at once, each on its own core (default 1: a recorded run
#               wants a core to itself; CI's smoke run uses one per core)
# --log-dir DIR keeps each harness's libFuzzer output as DIR/<harness>.log (default: a temporary
#               folder, removed at the end)
# Without HARNESS every harness under fuzz/ runs. A crash, leak, time-out or
# sanitizer report fails the run: the reproducer is kept as <log dir>/<harness>-crash-*; replay it
# with build/fuzz/fuzz/<harness>_fuzz FILE. One summary line per harness: executions, executions
# per second and the coverage (libFuzzer's cov: figure) at the end.
# --edges runs each harness once over its checked-in corpus and prints the edges covered in the
# project's own code (host/, units/, composite/, tools/; the harness itself not counted) out of
# those instrumented there; --binaries DIR takes the harnesses from DIR instead of build/fuzz/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
jobs=1
log_dir=""
build=1
edges=0
binaries=build/fuzz/fuzz
harnesses=()
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --log-dir) log_dir="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --edges) edges=1; build=0; shift ;;
    --binaries) binaries="$2"; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
if ((${#harnesses[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    harnesses+=("${name%_fuzz}")
  done
fi

if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then echo "--jobs: a whole number from 1" >&2; exit 2; fi

if ((edges)); then
  printf '%-14s %s\n' harness "project edges covered/instrumented"
  for harness in "${harnesses[@]}"; do
    "$binaries/${harness}_fuzz" -runs=0 -print_coverage=1 "fuzz/corpus/$harness" 2>&1 |
      awk -v name="$harness" '
        /COVERED_FUNC: / && $0 ~ /\/(host|units|composite|tools)\/[^ ]*:[0-9]+$/ {
          split($5, e, "/"); covered += e[1]; total += e[2] }
        END { printf "%-14s %d/%d\n", name, covered, total }'
  done
  exit 0
fi

if ((build)); then
  cmake --preset fuzz > /dev/null
  cmake --build --preset fuzz -j "$(nproc)" --target fuzzers
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ -z "$log_dir" ]]; then log_dir="$work/logs"; fi
mkdir -p "$log_dir"

# Runs one harness and writes its summary line to $work/<harness>.line; fails on a finding.
fuzz_one() {
  local harness=$1
  local binary="$binaries/${harness}_fuzz"
  local corpus="$work/corpus/$harness"
  mkdir -p "$corpus"
  if [[ -d "fuzz/corpus/$harness" ]]; then cp -r "fuzz/corpus/$harness/." "$corpus/"; fi
  local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$log_dir/$harness-")
  if [[ -f "fuzz/$harness.dict" ]]; then options+=(-dict="fuzz/$harness.dict"); fi
  local log="$log_dir/$harness.log"
  local result=ok status=0
  if ! "$binary" "${options[@]}" "$corpus" > "$log" 2>&1; then
    result="FINDING (see $log)"
    status=1
  fi
  local executions per_second coverage
  # A harness that failed at once has no figures: they show as "?".
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  coverage=$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -1 | cut -d' ' -f2)
  {
    printf '%-14s %12s %10s %8s %s\n' "$harness" "${executions:-?}" "${per_second:-?}" \
      "${coverage:-?}" "$result"
    # The end of the log holds the report and the stack (the temporary log folder goes).
    if ((status)); then tail -n 40 "$log"; fi
  } > "$work/$harness.line"
  return "$status"
}

# Each line is shown as its harness ends; the exit status counts every harness.
failed=0
running=0
printf '%-14s %12s %10s %8s %s\n' harness executions exec/s cov result
declare -A started
for harness in "${harnesses[@]}"; do
  if ((running >= jobs)); then
    wait -n -p done_pid || failed=1
    cat "$work/${started[$done_pid]}.line"
    running=$((running - 1))
  fi
  fuzz_one "$harness" &
  started[$!]=$harness
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n -p done_pid || failed=1
  cat "$work/${started[$done_pid]}.line"
  running=$((running - 1))
done
exit "$failed"
