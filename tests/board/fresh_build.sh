#!/bin/sh
# Usage: fresh_build.sh SOURCE_DIR
# The board commands of the README, each from where a fresh clone starts,
# up to the point where a board would boot: in a copy of the source tree
# without its build folder, scripts/board --build-only, scripts/board
# --systemd --build-only (which packages) and cpack --preset arm. No
# kernel is built and nothing boots.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
cd "$work"

scripts/board --build-only
if [ "$(id -u)" -ne 0 ] && [ "${CI:-}" != true ]; then
	echo "scripts/board --systemd not tried: it needs root"
	exit 0
fi
scripts/board --systemd --build-only
scripts/quiet cpack --preset arm
echo "every board command builds what it needs"
