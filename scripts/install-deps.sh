#!/usr/bin/env bash
# Installs the Debian packages a job needs, if any is missing. Run as root (or with sudo).
#   install-deps.sh            what building and running the programs need (scripts/demo.sh)
#   install-deps.sh package    and what building the Debian packages needs (scripts/package.sh)
#   install-deps.sh tests      and what every test, benchmark and fuzzer needs (scripts/test.sh)
set -euo pipefail

build=(build-essential cmake pkg-config python3
       libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev libspdlog-dev
       libsqlite3-dev libcli11-dev libcpp-httplib-dev libsystemd-dev
       libssl-dev libyaml-cpp-dev libcrypt-dev libmosquitto-dev)
# CPack's DEB generator runs dpkg-shlibdeps and `file`; systemd's pkg-config file names the
# folder the unit is installed in.
package=(dpkg-dev file systemd)
tests=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
       prometheus prometheus-alertmanager mosquitto mosquitto-clients curl openssl
       chromium chromium-driver python3-selenium
       fonts-wqy-microhei)  # a font with Chinese glyphs for the browser test's screenshots

packages=("${build[@]}")
for group in "$@"; do
  case "$group" in
    package) packages+=("${package[@]}") ;;
    tests) packages+=("${package[@]}" "${tests[@]}") ;;
    *) echo "install-deps.sh: unknown group '$group' (package or tests)" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The tests start Prometheus, Alertmanager and mosquitto themselves; the packages would also run
# them at every boot.
for service in prometheus prometheus-alertmanager mosquitto; do
  if [[ " ${missing[*]} " == *" $service "* ]] && command -v systemctl > /dev/null; then
    now=()
    [ -d /run/systemd/system ] && now=(--now)  # stop it too where systemd runs
    $sudo systemctl disable "${now[@]}" --quiet "$service.service"
  fi
done
