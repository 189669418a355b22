#!/bin/sh
# Usage: check_unit.sh BUILD_DIR
# Stages the board's files as cmake --install lays them out and has
# systemd-analyze verify the unit there, with the programs it starts, and
# rate its exposure: 1.2 at most.
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

# The overall exposure, as systemd-analyze rates it (0 to 10, lower is
# better): "Overall exposure level for tarvo.service: 1.2 OK".
rating=$(systemd-analyze security --offline=yes --no-pager --root="$root" tarvo.service 2>&1 |
	sed -n 's/.*Overall exposure level for tarvo.service: \([0-9.]*\).*/\1/p')
if [ -n "$rating" ] && awk -v r="$rating" 'BEGIN { exit !(r <= 1.2) }'; then
	echo "ok: exposure $rating"
else
	echo "FAIL: exposure '${rating:-unknown}', wanted 1.2 at most"
	systemd-analyze security --offline=yes --no-pager --root="$root" tarvo.service
	exit 1
fi
