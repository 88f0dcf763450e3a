#!/bin/sh
# systemd-analyze verify on the service unit, offline: the unit's program path is pointed at the
# built k426b-host and man finds the built page, so only the unit itself is judged.
# usage: verify_unit.sh SYSTEMD_ANALYZE UNIT HOST_BINARY MAN_PAGE
set -eu
analyze=$1 unit=$2 host=$3 page=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/man/man1"
cp "$page" "$work/man/man1/"
sed "s#/usr/bin/k426b-host#$host#" "$unit" > "$work/k426b-host.service"
if ! command -v man > /dev/null; then
  # verify looks the Documentation= page up with man; without man that check cannot run.
  echo "no man on this machine: Documentation= not checked"
  sed -i '/^Documentation=man:/d' "$work/k426b-host.service"
fi
cd "$work"
output=$(MANPATH="$work/man" "$analyze" verify ./k426b-host.service 2>&1) || status=$?
[ -z "$output" ] || printf '%s\n' "$output"
if [ "${status:-0}" -ne 0 ] || [ -n "$output" ]; then
  echo "systemd-analyze verify found problems (status ${status:-0})"
  exit 1
fi
echo "systemd-analyze verify: no problems"
# The unit's sandbox keeps the exposure systemd-analyze security reports at 1.5 or lower (the
# threshold counts tenths).
if ! "$analyze" security --offline=yes --threshold=15 ./k426b-host.service > security.txt 2>&1; then
  tail -1 security.txt
  echo "systemd-analyze security: exposure above 1.5"
  exit 1
fi
tail -1 security.txt
