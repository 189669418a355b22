#!/bin/sh
# Usage: host_finder.sh FINDER
# The board tests run the host's corvane-find on this machine: the native
# preset's unless another was given at configure time (BOARD_HOST_FINDER).
# A preset's tests build nothing of another preset: scripts/test and
# scripts/board build it first.
set -eu
[ -x "$1" ] || {
	echo "board tests: no corvane-find at $1; build it with" \
		"'cmake --build --preset native --target corvane-find'" \
		"(or configure with BOARD_HOST_FINDER)" >&2
	exit 1
}
echo "board tests: the host's finder is $1"
