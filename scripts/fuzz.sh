#!/usr/bin/env bash
# Builds the fuzz preset and runs the libFuzzer harnesses, each from a copy of its checked-in
# corpus (fuzz/corpus/<harness>/), so that nothing is written into the tree.
#
#   scripts/fuzz.sh [--seconds N] [--log-dir DIR] [--no-build] [HARNESS...]
#   scripts/fuzz.sh --edges [--binaries DIR] [HARNESS...]
#
# --seconds N   how long each harness runs (default 30: the smoke run of CI)
# --log-dir DIR keeps each harness's libFuzzer output as DIR/<harness>.log (default: a temporary
#               folder, removed at the end)
# Without HARNESS every harness under fuzz/ runs, one after the other. A crash, leak, time-out or
# sanitizer report fails the run: the reproducer is kept as <log dir>/<harness>-crash-*; replay it
# with build/fuzz/fuzz/<harness>_fuzz FILE. One summary line per harness: executions, executions
# per second and the coverage (libFuzzer's cov: figure) at the end.
# --edges runs each harness once over its checked-in corpus and prints the edges covered in the
# project's own code (host/, units/, composite/, tools/; the harness itself not counted) out of
# those instrumented there; --binaries DIR takes the harnesses from DIR instead of build/fuzz/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
log_dir=""
build=1
edges=0
binaries=build/fuzz/fuzz
harnesses=()
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --log-dir) log_dir="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --edges) edges=1; build=0; shift ;;
    --binaries) binaries="$2"; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
if ((${#harnesses[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    harnesses+=("${name%_fuzz}")
  done
fi

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

failed=0
printf '%-14s %12s %10s %8s %s\n' harness executions exec/s cov result
for harness in "${harnesses[@]}"; do
  binary="$binaries/${harness}_fuzz"
  corpus="$work/corpus/$harness"
  mkdir -p "$corpus"
  if [[ -d "fuzz/corpus/$harness" ]]; then cp -r "fuzz/corpus/$harness/." "$corpus/"; fi
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$log_dir/$harness-")
  if [[ -f "fuzz/$harness.dict" ]]; then options+=(-dict="fuzz/$harness.dict"); fi
  log="$log_dir/$harness.log"
  result=ok
  if ! "$binary" "${options[@]}" "$corpus" > "$log" 2>&1; then
    result="FINDING (see $log)"
    failed=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-14s %12s %10s %8s %s\n' "$harness" "${executions:-?}" "${per_second:-?}" \
    "${coverage:-?}" "$result"
  if [[ "$result" != ok ]]; then grep -m 5 -E 'ERROR|SUMMARY|Test unit written' "$log" || true; fi
done
exit "$failed"
