#!/usr/bin/env bash
# Installs what building and running need if it is missing, builds the host and the plug-in alone
# (the demo preset: no tests or benchmarks), and runs the bench host against the built-in
# simulator for a few poll cycles. Extra arguments go to k426b-host (e.g. --cycles 10 --events
# events.jsonl).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset demo > /dev/null
cmake --build --preset demo -j "$(nproc)"
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--cycles 3)
exec build/demo/bin/k426b-host --simulate --config examples/k426b.json --no-history "${args[@]}"
