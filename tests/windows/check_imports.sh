#!/bin/sh
# Usage: check_imports.sh FILE...
# Each Windows binary imports only Windows' own DLLs: the C++ runtime,
# libgcc and winpthread are linked in, and nothing else is needed beside
# it but the library itself.
set -eu
status=0
for file in "$@"; do
	for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\tDLL Name: //p'); do
		case $(echo "$dll" | tr 'A-Z' 'a-z') in
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
