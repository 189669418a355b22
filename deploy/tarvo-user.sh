# shellcheck shell=sh
# Makes the system user and group tarvo, which the daemon runs as where
# systemd does not give it a dynamic one, unless they exist: with
# BusyBox's adduser and addgroup, or Debian's adduser. Fails when neither
# is there. Shared by the init script and the board package's postinst.
add_user() {
	id tarvo >/dev/null 2>&1 && return 0
	command -v adduser >/dev/null || return 1
	if [ "$(basename "$(readlink -f "$(command -v adduser)")")" = busybox ]; then
		addgroup -S tarvo 2>/dev/null  # it may be there already
		adduser -S -D -H -h /nonexistent -s /bin/false -G tarvo tarvo
	else
		adduser --quiet --system --group --no-create-home --home /nonexistent tarvo
	fi
}
