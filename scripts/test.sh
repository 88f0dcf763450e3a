#!/usr/bin/env bash
# CI: installs what is missing, builds under the default, asan and tsan presets and runs the
# tests of each, then builds the fuzz preset and runs every fuzzer for 30 s from a copy of its
# checked-in corpus, one harness per core. A test failure, sanitizer report or fuzzer finding
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in default asan tsan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: test"
  ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz: build and 30 s smoke run of each harness"
scripts/fuzz.sh --seconds 30 --jobs "$jobs"
