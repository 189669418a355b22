#!/bin/sh
# Usage: host_finder.sh SOURCE_DIR FINDER [build]
# The board tests run the host's corvane-find on this machine. With
# "build", FINDER is the native preset's, and is built here from
# SOURCE_DIR first; otherwise it is the one given at configure time
# (BOARD_HOST_FINDER), taken as it is.
set -eu
if [ "${3:-}" = build ]; then
	echo "board tests: building the host's corvane-find with the native preset"
	cd "$1"
	scripts/quiet cmake --preset native
	scripts/quiet cmake --build --preset native --target corvane-find
fi
[ -x "$2" ] || { echo "board tests: no corvane-find at $2 (BOARD_HOST_FINDER)" >&2; exit 1; }
echo "board tests: the host's finder is $2"
