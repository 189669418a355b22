#!/bin/sh
# Usage: check_running.sh INIT_SCRIPT
# The init script's running(), on its own: the process its pid file names
# runs while it is alive, and not once it has exited, reaped or not (a
# zombie, which a board's PID 1 may take its time to reap).
set -eu
work=$(mktemp -d)
trap 'kill "$live" "$parent" 2>/dev/null || :; rm -rf "$work"' EXIT
sed -n '/^running() {$/,/^}$/p' "$1" >"$work/running.sh"
[ -s "$work/running.sh" ] || { echo "no running() in $1" >&2; exit 1; }
PIDFILE=$work/pid
# shellcheck source=/dev/null
. "$work/running.sh"

sleep 60 &
live=$!
# A child that exits at once under a parent that never waits for it.
sh -c 'true & echo $! >"$1"; exec sleep 60' sh "$work/zombie" &
parent=$!
while [ ! -s "$work/zombie" ]; do sleep 0.05; done
zombie=$(cat "$work/zombie")
while ! grep -q '^State:[[:space:]]*Z' "/proc/$zombie/status"; do sleep 0.05; done

fail=0
expect() {
	if running; then got=yes; else got=no; fi
	[ "$got" = "$2" ] || { echo "running() with $1: $got, wanted $2" >&2; fail=1; }
}
for pid in "$live" "$zombie" 999999999; do
	echo "$pid" >"$PIDFILE"
	case $pid in "$live") want=yes ;; *) want=no ;; esac
	expect "pid $pid" "$want"
done
rm -f "$PIDFILE"
expect "no pid file" no
[ "$fail" -eq 0 ] && echo "running() tells a live tarvo from an ended one"
exit "$fail"
