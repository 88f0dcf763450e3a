#!/usr/bin/env bash
# CI: installs what is missing, builds under the default, asan and tsan presets and runs the
# tests of each, then builds the fuzz preset and runs every fuzzer for 30 s from a copy of its
# checked-in corpus, one harness per core. A test failure, sanitizer report or fuzzer finding
# fails the run; it then says which stage failed and which stages never ran.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh tests

jobs=$(nproc)
stages=()
for preset in default asan tsan; do
  stages+=("${preset}: configure and build" "${preset}: test")
done
stages+=("fuzz: 30 s smoke run of each harness")

run_stage() {
  local stage=$1 preset=${1%%:*}
  case "$stage" in
    *": configure and build")
      cmake --preset "$preset" > /dev/null && cmake --build --preset "$preset" -j "$jobs" ;;
    *": test") ctest --preset "$preset" -j "$jobs" ;;
    fuzz:*) scripts/fuzz.sh --seconds 30 --jobs "$jobs" ;;
  esac
}

for index in "${!stages[@]}"; do
  echo "== ${stages[$index]}"
  status=0
  run_stage "${stages[$index]}" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "== failed: ${stages[$index]} (status $status)" >&2
    if [ $((index + 1)) -lt ${#stages[@]} ]; then
      never_ran=$(printf ', %s' "${stages[@]:index+1}")
      echo "== never ran: ${never_ran:2}" >&2
    fi
    exit "$status"
  fi
done
