#!/bin/sh
# Usage: check_unit.sh BUILD_DIR
# Stages the board's files as cmake --install lays them out and has
# systemd-analyze verify the unit there, with the programs it starts.
set -u
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --component board >/dev/null || exit 1
unit=/lib/systemd/system/tarvo.service
[ -f "$root$unit" ] || { echo "FAIL: no $unit staged"; exit 1; }
# The targets it is ordered against belong to the system, not to the stage.
if systemd-analyze verify --man=no --recursive-errors=no --root="$root" "$unit"; then
	echo "ok: systemd-analyze verify $unit"
else
	echo "FAIL: systemd-analyze verify $unit"
	exit 1
fi
