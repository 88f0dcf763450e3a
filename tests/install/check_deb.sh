#!/usr/bin/env bash
# Inspects the Debian packages: metadata, computed dependencies, maintainer scripts, the
# configuration file, where every file lands; then unpacks k426b and runs its host from there.
# usage: check_deb.sh k426b_*.deb k426b-dev_*.deb
set -uo pipefail
runtime=$1 dev=$2
failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}" > /dev/null 2>&1; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

echo "== dpkg-deb --info $(basename "$runtime")"
info=$(dpkg-deb --info "$runtime")
echo "$info"
echo "== dpkg-deb --contents $(basename "$runtime")"
contents=$(dpkg-deb --contents "$runtime")
echo "$contents"
echo "== dpkg-deb --contents $(basename "$dev")"
dev_contents=$(dpkg-deb --contents "$dev")
echo "$dev_contents"

depends=$(dpkg-deb --field "$runtime" Depends)
for library in libc6 libstdc++6 libjsoncpp25 libfmt9 libsqlite3-0 libsystemd0 adduser; do
  check "Depends names $library" grep -q "$library" <<< "$depends"
done
check "conffiles: /etc/k426b/sites.json" grep -qx /etc/k426b/sites.json <(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./conffiles)
for script in postinst prerm postrm; do
  check "maintainer script $script, executable" grep -Eq "^ .*[0-9]+ bytes, +[0-9]+ lines +\\* +$script " <<< "$info"
done
for path in ./usr/bin/k426b-host ./usr/bin/k426b-sim ./etc/k426b/sites.json \
            ./lib/systemd/system/k426b-host.service ./usr/share/man/man1/k426b-host.1.gz \
            ./usr/share/man/man1/k426b-sim.1.gz ./usr/share/k426b/examples/k426b.json \
            ./usr/share/k426b/monitoring/k426b-alerts.yml \
            ./usr/share/k426b/monitoring/k426b-dashboard.json; do
  check "k426b holds $path" grep -q " $path\$" <<< "$contents"
done
check "k426b holds the plug-in in its own library folder" grep -Eq ' \./usr/lib/([^/]+/)?k426b/libk426b\.so$' <<< "$contents"
check "k426b holds the host framework beside it" grep -Eq ' \./usr/lib/([^/]+/)?k426b/libzvkhost\.so$' <<< "$contents"
check "k426b holds no headers" bash -c "! grep -q /usr/include/ <<< \"\$1\"" _ "$contents"
check "k426b-dev holds the headers" grep -q ' ./usr/include/k426b/host/device.h$' <<< "$dev_contents"
check "k426b-dev holds the CMake package" grep -Eq '/cmake/k426b/k426bConfig\.cmake$' <<< "$dev_contents"
check "k426b-dev depends on k426b of its version" grep -q 'k426b (= ' <(dpkg-deb --field "$dev" Depends)

# The unpacked package is a moved install tree: the host must run from it as it stands.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb --extract "$runtime" "$work/root"
echo "== RUNPATH: $(readelf -d "$work/root/usr/bin/k426b-host" | grep -o 'runpath: .*')"
check "RUNPATH is relative to the program" bash -c "readelf -d '$work/root/usr/bin/k426b-host' | grep -q 'runpath: \\[\\\$ORIGIN/'"
output=$(HOME="$work" env -u LD_LIBRARY_PATH "$work/root/usr/bin/k426b-host" --simulate --cycles 1 --no-history 2>&1)
echo "$output" | grep -E '^k426b-host|cycle'
check "the unpacked host loads the unpacked plug-in and completes a cycle" \
  bash -c "grep -q 'plug-in $work/root/usr/lib/' <<< \"\$1\" && grep -q '1 cycle completed' <<< \"\$1\"" _ "$output"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
