#!/bin/sh
# Usage: check_elf.sh READELF static|dynamic OBJECT... -- EXECUTABLE...
# The board runs ARMv7 code with VFPv3-D16 and the hard-float calling
# convention; nothing built for anything else may slip in.
readelf=$1 link=$2
shift 2
failed=0
bad=0

fail() {
	echo "FAIL: $1: $2"
	bad=1
}

done_with() {
	[ $bad -eq 0 ] && echo "ok: $1"
	[ $bad -eq 0 ] || failed=1
	bad=0
}

has() {
	"$readelf" "$2" "$1" 2>&1 | grep -qF "$3"
}

while [ $# -gt 0 ] && [ "$1" != -- ]; do
	o=$1
	shift
	has "$o" -A "Tag_FP_arch: VFPv3-D16" || fail "$o" "not built for VFPv3-D16"
	has "$o" -A "Tag_ABI_VFP_args: VFP registers" || fail "$o" "not hard-float"
	done_with "${o##*/}"
done
[ $# -gt 1 ] || { echo "FAIL: no executables given"; exit 1; }
shift
for e in "$@"; do
	has "$e" -h "Class:                             ELF32" || fail "$e" "not ELF32"
	has "$e" -h "Machine:                           ARM" || fail "$e" "not ARM"
	has "$e" -h "Version5 EABI, hard-float ABI" || fail "$e" "not EABI5 hard-float"
	has "$e" -A "Tag_ABI_VFP_args: VFP registers" || fail "$e" "no VFP register arguments"
	if [ "$link" = static ]; then
		has "$e" -l "INTERP" && fail "$e" "has a program interpreter"
		has "$e" -d "(NEEDED)" && fail "$e" "needs shared libraries"
	fi
	done_with "${e##*/} ($link)"
done
exit $failed
