#!/bin/sh
# Usage: fresh_build.sh SOURCE_DIR
# The board commands of the README, each from where a fresh clone starts,
# up to the point where a board would boot: in a copy of the source tree
# without its build folder, the arm preset's board tests get their host
# finder, then scripts/board --build-only, scripts/board --systemd
# --build-only (which packages) and cpack --preset arm. No kernel is built
# and nothing boots.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
cd "$work"

scripts/quiet cmake --preset arm
scripts/quiet ctest --preset arm -R '^board_host_finder$' --no-tests=error
finder=$(sed -n 's/^BOARD_HOST_FINDER:FILEPATH=//p' build/arm/CMakeCache.txt)
[ -x "$finder" ] || { echo "the arm preset's board tests have no finder at $finder" >&2; exit 1; }

scripts/board --build-only
if [ "$(id -u)" -ne 0 ] && [ "${CI:-}" != true ]; then
	echo "scripts/board --systemd not tried: it needs root"
	exit 0
fi
scripts/board --systemd --build-only
scripts/quiet cpack --preset arm
echo "every board command builds what it needs"
