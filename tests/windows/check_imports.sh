#!/bin/sh
# Usage: check_imports.sh MAP DLL EXE
# The DLL exports what the shared object's version script lists, and
# nothing else. The DLL and the program import only Windows' own DLLs
# (and the program the library): the C++ runtime, libgcc and winpthread
# are linked in.
set -eu
map=$1
shift
want=$(sed -n 's/^\t\t\(corvane_[a-z_]*\);$/\1/p' "$map" | sort)
have=$(x86_64-w64-mingw32-objdump -p "$1" |
	sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort)
if [ "$want" != "$have" ]; then
	echo "$(basename "$1") exports:" "$have" >&2
	echo "the version script lists:" "$want" >&2
	exit 1
fi
status=0
for file in "$@"; do
	for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\tDLL Name: //p'); do
		case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
		kernel32.dll | ws2_32.dll | iphlpapi.dll | msvcrt.dll | user32.dll | advapi32.dll | \
		api-ms-win-crt-*.dll | libcorvane-find-1.dll) ;;
		*)
			echo "$(basename "$file") needs $dll" >&2
			status=1
			;;
		esac
	done
done
exit $status
