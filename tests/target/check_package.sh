#!/bin/sh
# Usage: check_package.sh BUILD_DIR
# Builds the board's package from the build tree and checks its control
# fields and its files.
set -u
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) ||
	{ cat "$out/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$out"/*.deb)
failed=0

field() {
	got=$(dpkg-deb -f "$deb" "$1")
	if [ "$got" = "$2" ]; then echo "ok: $1: $got"
	else echo "FAIL: $1: '$got', wanted '$2'"; failed=1; fi
}
field Package corvane-board
field Architecture armhf

dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sort -k2 >"$out/files"
for want in \
	"-rwxr-xr-x ./usr/sbin/tarvo" \
	"-rwxr-xr-x ./usr/bin/vomo" \
	"-rw-r--r-- ./usr/lib/systemd/system/tarvo.service" \
	"-rwxr-xr-x ./etc/init.d/S50tarvo"; do
	if grep -qxF -- "$want" "$out/files"; then echo "ok: $want"
	else echo "FAIL: missing $want"; failed=1; fi
done

dpkg-deb -x "$deb" "$out/root"
grep -qx "ExecStart=/usr/sbin/tarvo" "$out/root/usr/lib/systemd/system/tarvo.service" ||
	{ echo "FAIL: the unit does not start /usr/sbin/tarvo"; failed=1; }
grep -qx "DAEMON=/usr/sbin/tarvo" "$out/root/etc/init.d/S50tarvo" ||
	{ echo "FAIL: the init script does not start /usr/sbin/tarvo"; failed=1; }
if [ $failed -ne 0 ]; then cat "$out/files"; fi
exit $failed
