#!/bin/sh
# Usage: check_package.sh BUILD_DIR
# Builds the build tree's packages and checks their control fields, their
# files and what lintian says of each: no error and no warning.
set -u
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) ||
	{ cat "$out/cpack.log"; echo "FAIL: cpack"; exit 1; }
failed=0
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

field() {
	got=$(dpkg-deb -f "$deb" "$1")
	if [ "$got" = "$2" ]; then echo "ok: $package: $1: $got"
	else echo "FAIL: $package: $1: '$got', wanted '$2'"; failed=1; fi
}

man3() {
	for fn in new free set_wait set_count add_interface add_target set_warn run error \
		cancel watch set_log start_run start_watch fd timeout dispatch set_rate; do
		echo "-rw-r--r-- ./usr/share/man/man3/corvane_finder_$fn.3.gz"
	done
	echo "-rw-r--r-- ./usr/share/man/man3/corvane_find_version.3.gz"
	echo "-rw-r--r-- ./usr/share/man/man3/corvane_board_mac.3.gz"
}

packages=
for deb in "$out"/*.deb; do
	package=$(dpkg-deb -f "$deb" Package)
	packages="$packages $package"
	doc="./usr/share/doc/$package"
	lib="./usr/lib/$multiarch"
	overrides="-rw-r--r-- ./usr/share/lintian/overrides/$package"
	case $package in
	corvane-board)
		field Architecture armhf
		want="-rwxr-xr-x ./usr/sbin/tarvo
-rwxr-xr-x ./usr/bin/vomo
-rwxr-xr-x ./usr/bin/corvane-vomo-metrics
-rw-r--r-- ./etc/corvane-vomo-metrics.conf
-rw-r--r-- ./lib/systemd/system/tarvo.service
-rw-r--r-- ./lib/systemd/system/corvane-vomo-metrics.service
-rw-r--r-- ./lib/systemd/system/corvane-vomo-metrics.timer
-rw-r--r-- ./usr/share/man/man8/tarvo.8.gz
-rw-r--r-- ./usr/share/man/man1/vomo.1.gz
-rw-r--r-- ./usr/share/man/man1/corvane-vomo-metrics.1.gz
$overrides" ;;
	corvane-find)
		field Architecture "$arch"
		want="-rwxr-xr-x ./usr/bin/corvane-find
-rw-r--r-- ./etc/default/corvane-find
-rw-r--r-- ./lib/systemd/system/corvane-find-prometheus.service
-rw-r--r-- ./usr/lib/sysusers.d/corvane-find.conf
-rw-r--r-- ./usr/share/corvane-find/prometheus/corvane-board.rules.yml
-rw-r--r-- ./usr/share/man/man1/corvane-find.1.gz" ;;
	libcorvane-find1)
		field Architecture "$arch"
		want="lrwxrwxrwx $lib/libcorvane-find.so.1
-rw-r--r-- $lib/libcorvane-find.so.$(dpkg-deb -f "$deb" Version | cut -d- -f1)
$overrides" ;;
	libcorvane-find-dev)
		field Depends "libcorvane-find1 (= $(dpkg-deb -f "$deb" Version))"
		want="-rw-r--r-- ./usr/include/corvane/find.h
lrwxrwxrwx $lib/libcorvane-find.so
-rw-r--r-- $lib/pkgconfig/corvane-find.pc
-rw-r--r-- $lib/cmake/CorvaneFind/CorvaneFindConfig.cmake
-rw-r--r-- $lib/cmake/CorvaneFind/CorvaneFindConfigVersion.cmake
-rw-r--r-- $lib/cmake/CorvaneFind/CorvaneFindTargets.cmake
-rw-r--r-- $lib/cmake/CorvaneFind/CorvaneFindTargets-relwithdebinfo.cmake
$(man3)" ;;
	python3-corvane)
		field Architecture all
		want=$(for f in __init__.py _binding.py _prometheus.py _search.py _thread.py \
			_version.py py.typed; do
			echo "-rw-r--r-- ./usr/lib/python3/dist-packages/corvane/$f"
		done) ;;
	*)
		echo "FAIL: unknown package '$package'"; exit 1 ;;
	esac
	want="$want
-rw-r--r-- $doc/copyright
-rw-r--r-- $doc/changelog.Debian.gz"

	dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2 >"$out/files"
	echo "$want" | sort -k2 >"$out/want"
	if cmp -s "$out/files" "$out/want"; then echo "ok: files of $package"
	else echo "FAIL: files of $package differ (- wanted, + packaged):"
		diff "$out/want" "$out/files"; failed=1; fi

	case $package in
	corvane-board)
		dpkg-deb -x "$deb" "$out/root"
		grep -qx "ExecStart=/usr/sbin/tarvo" "$out/root/lib/systemd/system/tarvo.service" ||
			{ echo "FAIL: the unit does not start /usr/sbin/tarvo"; failed=1; } ;;
	corvane-find)
		dpkg-deb -f "$deb" Depends | grep -q "^libcorvane-find1 (>= " ||
			{ echo "FAIL: corvane-find does not depend on libcorvane-find1"; failed=1; }
		# The watch broadcasts: the package neither enables nor starts it.
		! dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst ./postrm |
			grep -q 'systemctl\|deb-systemd' ||
			{ echo "FAIL: corvane-find's scripts enable or start its service"; failed=1; } ;;
	libcorvane-find1)
		dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx "./symbols" ||
			{ echo "FAIL: libcorvane-find1 has no symbols file"; failed=1; } ;;
	esac

	if command -v lintian >/dev/null; then
		if lintian --fail-on error,warning "$deb" >"$out/lintian" 2>&1; then
			echo "ok: lintian: $package: no error, no warning"
		else
			grep -v 'running with root privileges' "$out/lintian"
			echo "FAIL: lintian: $package"; failed=1
		fi
	elif [ "${CI:-}" = true ]; then
		echo "FAIL: lintian is not installed"; failed=1
	fi
done
case $packages in
" corvane-board" | " corvane-find libcorvane-find-dev libcorvane-find1 python3-corvane") ;;
*) echo "FAIL: packages made:$packages"; failed=1 ;;
esac
exit $failed
