#!/bin/sh
# Usage: check_version.sh VERSION SOURCE_DIR
# The version is written once, in the project's CMakeLists.txt; the build
# hands it to the library, the packages, the wheel and the zip. What must
# state it in the source too is checked against it here: the public
# header's macros, the Python module's __version__, every manual page's
# title line, and the versioned names and strings of the documentation.
set -eu
v=$1
cd "$2"
fail=0
check() {
	[ "$2" = "$v" ] || { echo "$1: says '$2', the project $v" >&2; fail=1; }
}

check libcorvane-find/include/corvane/find.h "$(sed -n \
	's/^#define CORVANE_FIND_VERSION_[A-Z]* \([0-9]*\)$/\1/p' \
	libcorvane-find/include/corvane/find.h | paste -sd.)"
check python/corvane/__init__.py \
	"$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/corvane/__init__.py)"
for page in $(find . -path ./build -prune -o -name '*.[138]' -print | sort); do
	check "$page" "$(sed -n '1s/^\.TH [^"]*"[^ ]* \([^"]*\)".*/\1/p' "$page")"
done
# corvane-board_1.2.0-1_armhf.deb, corvane-find-1.2.0-win64, "1.2.0", ...
for doc in README.md docs/*.md packaging/windows/README.txt libcorvane-find/man/*.3; do
	[ -f "$doc" ] || continue
	said=$(grep -oE '(corvane[-_a-z0-9]*[-_]|")[0-9]+\.[0-9]+\.[0-9]+([^.0-9]|$)' "$doc" |
		sed -E 's/.*[-_"]([0-9]+\.[0-9]+\.[0-9]+).*/\1/' | sort -u | paste -sd' ')
	[ -z "$said" ] || check "$doc" "$said"
done
[ "$fail" -eq 0 ] && echo "every file that states the version says $v"
exit "$fail"
