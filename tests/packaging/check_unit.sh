#!/bin/sh
# Usage: check_unit.sh BUILD_DIR [COMPONENT UNIT MOST]
# Stages a component's files as cmake --install lays them out and has
# systemd-analyze verify its unit there, with the programs it starts, and
# rate its exposure: MOST at most (the board's tarvo.service, 1.2, unless
# named).
set -u
build=$1 component=${2:-board} name=${3:-tarvo.service} most=${4:-1.2}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --component "$component" >/dev/null || exit 1
unit=/lib/systemd/system/$name
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
rating=$(systemd-analyze security --offline=yes --no-pager --root="$root" "$name" 2>&1 |
	sed -n "s/.*Overall exposure level for $name: \([0-9.]*\).*/\1/p")
if [ -n "$rating" ] && awk -v r="$rating" -v most="$most" 'BEGIN { exit !(r <= most) }'; then
	echo "ok: exposure $rating"
else
	echo "FAIL: exposure '${rating:-unknown}', wanted $most at most"
	systemd-analyze security --offline=yes --no-pager --root="$root" "$name"
	exit 1
fi
