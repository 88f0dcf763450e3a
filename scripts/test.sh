#!/usr/bin/env bash
# Installs what is missing, builds under the default and asan presets and runs the tests of both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in default asan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: test"
  ctest --preset "$preset" -j "$jobs"
done
