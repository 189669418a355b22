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
# A child that exits at once under a parent that never waits for it. The
# parent is Python, which can undo an inherited SIGCHLD ignored (children
# would be reaped at once), as a shell cannot.
/usr/bin/python3 -c '
import os, signal, sys, time
signal.signal(signal.SIGCHLD, signal.SIG_DFL)
pid = os.fork()
if pid == 0:
    os._exit(0)
with open(sys.argv[1], "w") as f:
    f.write(str(pid))
time.sleep(60)' "$work/zombie" &
parent=$!
tries=0
until grep -qs '^State:[[:space:]]*Z' "/proc/$(cat "$work/zombie" 2>/dev/null)/status"; do
	tries=$((tries + 1))
	[ "$tries" -lt 200 ] || { echo "no zombie to test with after 10 s" >&2; exit 1; }
	sleep 0.05
done
zombie=$(cat "$work/zombie")

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
