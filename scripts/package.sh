#!/usr/bin/env bash
# Builds the Debian packages k426b and k426b-dev (prefix /usr) in build/package with CPack and
# prints where they are. --check also inspects them (tests/install/check_deb.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
check=false
[ "${1:-}" = "--check" ] && check=true

scripts/install-deps.sh package
build=build/package
launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# Only what the packages hold is built: no tests or benchmarks, and `install` needs no `all`.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DK426B_BENCH=OFF -DK426B_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
      "${launcher[@]}" > /dev/null
cmake --build "$build" -j "$(nproc)" --target k426b-host k426b-sim k426b zvkhost k426b_man
(cd "$build" && cpack -G DEB)
mapfile -t packages < <(ls "$build"/k426b_*.deb "$build"/k426b-dev_*.deb)
printf 'package: %s\n' "${packages[@]}"
if $check; then
  tests/install/check_deb.sh "$build"/k426b_*.deb "$build"/k426b-dev_*.deb
fi
