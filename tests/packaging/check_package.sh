#!/bin/sh
# Usage: check_package.sh BUILD_DIR
# Builds the build tree's package and checks its control fields, its files
# and what lintian says of it: no error.
set -u
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) ||
	{ cat "$out/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$out"/*.deb)
package=$(dpkg-deb -f "$deb" Package)
failed=0

field() {
	got=$(dpkg-deb -f "$deb" "$1")
	if [ "$got" = "$2" ]; then echo "ok: $1: $got"
	else echo "FAIL: $1: '$got', wanted '$2'"; failed=1; fi
}

doc="./usr/share/doc/$package"
case $package in
corvane-board)
	field Architecture armhf
	want="-rwxr-xr-x ./usr/sbin/tarvo
-rwxr-xr-x ./usr/bin/vomo
-rw-r--r-- ./lib/systemd/system/tarvo.service
-rw-r--r-- ./usr/share/man/man8/tarvo.8.gz
-rw-r--r-- ./usr/share/man/man1/vomo.1.gz" ;;
corvane-find)
	field Architecture "$(dpkg --print-architecture)"
	want="-rwxr-xr-x ./usr/bin/corvane-find
-rw-r--r-- ./usr/share/man/man1/corvane-find.1.gz" ;;
*)
	echo "FAIL: unknown package '$package'"; exit 1 ;;
esac
want="$want
-rw-r--r-- ./usr/share/lintian/overrides/$package
-rw-r--r-- $doc/copyright
-rw-r--r-- $doc/changelog.Debian.gz"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2 >"$out/files"
echo "$want" | sort -k2 >"$out/want"
if cmp -s "$out/files" "$out/want"; then echo "ok: files of $package"
else echo "FAIL: files of $package differ (- wanted, + packaged):"
	diff "$out/want" "$out/files"; failed=1; fi

if [ "$package" = corvane-board ]; then
	dpkg-deb -x "$deb" "$out/root"
	grep -qx "ExecStart=/usr/sbin/tarvo" "$out/root/lib/systemd/system/tarvo.service" ||
		{ echo "FAIL: the unit does not start /usr/sbin/tarvo"; failed=1; }
fi

if command -v lintian >/dev/null; then
	lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' &&
		echo "(lintian's findings, above)"
	if lintian --fail-on error "$deb" >/dev/null 2>&1; then echo "ok: lintian: no error"
	else echo "FAIL: lintian reports errors"; failed=1; fi
elif [ "${CI:-}" = true ]; then
	echo "FAIL: lintian is not installed"; failed=1
fi
exit $failed
