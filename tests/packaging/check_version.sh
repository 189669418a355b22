#!/bin/sh
# Usage: check_version.sh VERSION SOURCE_DIR BUILD_DIR HOST_TOOLS
# The version is written once, in the project's CMakeLists.txt, and the
# build writes it everywhere else. Checked here in what was built: the
# public header's macros, the library itself, the Python module's
# __version__ and every manual page's title line; and in the source, that
# no guide names a version but the history of releases, NEWS.md.
set -eu
v=$1
src=$2
build=$3
host=$4
fail=0
check() {
	[ "$2" = "$v" ] || { echo "$1: says '$2', the project $v" >&2; fail=1; }
}

pages_least=3  # the board's programs
if [ "$host" = ON ]; then
	pages_least=11
	header=$build/libcorvane-find/include/corvane/find.h
	check "$header" "$(sed -n 's/^#define CORVANE_FIND_VERSION_[A-Z]* \([0-9]*\)$/\1/p' \
		"$header" | paste -sd.)"
	module=$build/python/corvane
	check "$module" "$(cd "$module/.." && /usr/bin/python3 -c \
		'import corvane._version as v; print(v.__version__)')"
	lib=$build/libcorvane-find/libcorvane-find.so.1
	check "$lib" "$(/usr/bin/python3 -c 'import ctypes, sys; f = ctypes.CDLL(sys.argv[1]).corvane_find_version; f.restype = ctypes.c_char_p; print(f().decode())' "$lib")"
fi
pages=0
for page in $(find "$build" -path '*/man/*' -name '*.[138]' | sort); do
	check "$page" "$(sed -n '1s/^\.TH [^"]*"[^ ]* \([^"]*\)".*/\1/p' "$page")"
	pages=$((pages + 1))
done
[ "$pages" -ge "$pages_least" ] || { echo "only $pages manual pages built" >&2; fail=1; }
cd "$src"
for doc in README.md docs/*.md; do
	said=$(grep -noE '(corvane[-_a-z0-9]*[-_]|")[0-9]+\.[0-9]+\.[0-9]+([^.0-9]|$)' \
		"$doc" || true)
	[ -z "$said" ] || { echo "$doc names a version: $said" >&2; fail=1; }
done
[ "$fail" -eq 0 ] && echo "everything built says $v, and no guide names a version"
exit "$fail"
