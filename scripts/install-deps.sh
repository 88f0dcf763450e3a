#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any is missing. Run as root (or with sudo).
set -euo pipefail

packages=(build-essential cmake pkg-config python3
          libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev libspdlog-dev
          libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          libcli11-dev libcpp-httplib-dev libsystemd-dev dpkg-dev systemd
          prometheus chromium chromium-driver python3-selenium
          fonts-wqy-microhei)  # a font with Chinese glyphs for the browser test's screenshots

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
