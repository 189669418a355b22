#!/bin/sh
# Usage: check_man.sh PAGE...
# Renders each manual page and fails on any warning.
failed=0
for page in "$@"; do
	warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
	if [ -z "$warnings" ]; then echo "ok: ${page##*/}"
	else echo "FAIL: ${page##*/}:"; echo "$warnings"; failed=1; fi
done
exit $failed
