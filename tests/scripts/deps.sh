#!/bin/sh
# Usage: deps.sh SOURCE_DIR
# scripts/deps against two local archives, as apt sees a mirror caught
# mid-sync: one whose index does not match its Release file (apt-get
# update fails with 100) and one that holds the package asked for. The
# package must still be installed, the failed index named in one line, and
# a package no archive has must still end the run with apt's message. Only
# the test's own package is installed, and it is purged afterwards.
set -eu
if [ "$(id -u)" -ne 0 ]; then
	[ "${CI:-}" = true ] || { echo "needs root: it installs a package"; exit 77; }
	echo "deps test: needs root" >&2; exit 1
fi
src=$1
work=$(mktemp -d)
chmod 755 "$work"
trap 'dpkg --purge corvane-deps-probe >/dev/null 2>&1 || :; rm -rf "$work"' EXIT
cd "$work"
mkdir -p pkg/DEBIAN good broken lists/partial cache/archives/partial parts
cat >pkg/DEBIAN/control <<END
Package: corvane-deps-probe
Version: 1.0
Architecture: all
Maintainer: Corvane tests <tests@invalid>
Description: the package a test of scripts/deps installs
END
dpkg-deb --build pkg good/corvane-deps-probe_1.0_all.deb >/dev/null
(cd good && dpkg-scanpackages -m . /dev/null >Packages 2>/dev/null)
printf 'Package: other\nVersion: 1\nArchitecture: all\n' >broken/Packages
printf 'SHA256:\n %s 1 Packages\n' "$(printf x | sha256sum | cut -d' ' -f1)" >broken/Release
printf 'deb [trusted=yes] file:%s/good ./\ndeb [trusted=yes] file:%s/broken ./\n' \
	"$work" "$work" >sources.list
cat >apt.conf <<END
Dir::Etc::sourcelist "$work/sources.list";
Dir::Etc::sourceparts "$work/parts";
Dir::State::lists "$work/lists";
Dir::Cache "$work/cache";
END
export APT_CONFIG="$work/apt.conf" DEPS_RETRY_PAUSE=0

if ! "$src/scripts/deps" corvane-deps-probe >out 2>&1; then
	cat out; echo "scripts/deps stopped at an index that failed" >&2; exit 1
fi
dpkg-query -W corvane-deps-probe >/dev/null || { cat out; echo "not installed" >&2; exit 1; }
want="deps: apt-get update failed 3 times (file:$work/broken/./Packages); going on with the package lists apt has"
grep -qxF "$want" out || { cat out; echo "expected: $want" >&2; exit 1; }

if "$src/scripts/deps" corvane-deps-absent >out 2>&1 ||
	! grep -q "Unable to locate package corvane-deps-absent" out; then
	cat out; echo "a package no archive has was not refused with apt's message" >&2; exit 1
fi
echo "scripts/deps installs through a failed index, and still refuses what is missing"
