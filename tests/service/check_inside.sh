#!/bin/sh
# Inside a booted Debian: install the package (from /mnt/pkg, where it is
# there; otherwise it is installed already, as in an autopkgtest), start
# the service as an admin would, and check it from every side. Writes its
# findings to $VANTREL_RESULT (default /mnt/result).
set -u

time_file=/home/ovrin/data/curtime.dat
result=${VANTREL_RESULT:-/mnt/result}
export result # for the checks that run in a shell of their own
deb=/mnt/pkg/vantrel.deb
failures=0
log() { echo "$*" | tee -a "$result"/log; }
check() {
	name=$1
	shift
	if "$@"; then log "ok   $name"; else log "FAIL $name"; failures=$((failures + 1)); fi
}
# Waits up to $1 seconds for a command to succeed.
within() {
	limit=$(($1 * 10))
	shift
	while [ "$limit" -gt 0 ]; do
		"$@" 2>/dev/null && return 0
		sleep 0.1
		limit=$((limit - 1))
	done
	"$@"
}
main_pid() { systemctl show -P MainPID vantrel.service; }
status_field() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
# The record's age in seconds against the container's clock, which is UTC.
record_age() {
	set -- $(cat "$time_file")
	[ $# -eq 6 ] || return 1
	then=$(date -u -d "20$1-$2-$3 $4:$5:$6" +%s) || return 1
	echo $(($(date -u +%s) - then))
}
is_current() {
	age=$(record_age) || return 1
	[ "$age" -ge -1 ] && [ "$age" -le 2 ]
}
ticks() {
	first=$(cat "$time_file")
	within 3 sh -c "[ \"\$(cat $time_file)\" != '$first' ]" && is_current
}
as_daemon() { nsenter --target "$(main_pid)" --all --setuid "$(id -u ovrin)" --setgid "$(id -g ovrin)" "$@"; }

if [ -f "$deb" ]; then
	log "installing the package"
	dpkg -i "$deb" >>"$result"/log 2>&1 || log "FAIL dpkg -i"
fi
check "the package does not start the service" sh -c '! systemctl is-active --quiet vantrel.service'
check "the unit verifies cleanly" sh -c \
	'systemd-analyze verify --man=no vantrel.service >"$result"/verify 2>&1 && ! [ -s "$result"/verify ]'
systemd-analyze security vantrel.service >"$result"/security 2>&1
log "$(tail -n 1 "$result"/security)"
check "the exposure is at most 0.3" awk '/Overall exposure level/ { exit !($(NF-2) <= 0.3) }' "$result"/security
check "it waits for the mount of its directory" sh -c \
	"systemctl show -P RequiresMountsFor vantrel.service | grep -qw /home/ovrin/data"
check "it starts after the clock is synchronised" sh -c \
	"systemctl show -P After vantrel.service | grep -qw time-sync.target"

id ovrin >/dev/null 2>&1 || useradd --user-group --create-home ovrin
id other >/dev/null 2>&1 || useradd --user-group --create-home other
install -d -o ovrin -g ovrin /home/ovrin/data
check "a missing directory stops the start" sh -c \
	'mv /home/ovrin/data /home/ovrin/away; ! systemctl start vantrel.service 2>"$result"/missing-directory; r=$?; mv /home/ovrin/away /home/ovrin/data; exit $r'
systemctl status vantrel.service >>"$result"/missing-directory 2>&1
systemctl show -p AssertResult -p Asserts vantrel.service >>"$result"/missing-directory 2>&1
check "systemd says why" grep -q "Assertion failed" "$result"/missing-directory
check "and does not retry" sh -c 'sleep 2; ! systemctl is-active --quiet vantrel.service && [ "$(systemctl show -P NRestarts vantrel.service)" = 0 ]'
systemctl reset-failed vantrel.service

check "enabling starts it" systemctl enable --now vantrel.service
check "it is enabled" systemctl is-enabled --quiet vantrel.service
check "the service is active" within 10 systemctl is-active --quiet vantrel.service
check "the file holds the current UTC record" within 10 is_current
check "the file ticks" ticks
pid=$(main_pid)
log "daemon pid $pid: $(cat /proc/$pid/cmdline | tr '\0' ' ')"
check "it runs as ovrin" [ "$(status_field "$pid" Uid | cut -f1)" = "$(id -u ovrin)" ]
check "it has no capabilities" sh -c \
	"grep -q '^CapEff:[[:space:]]*0*\$' /proc/$pid/status && grep -q '^CapBnd:[[:space:]]*0*\$' /proc/$pid/status"
check "the filter still lets it tighten its timer slack" [ "$(cat /proc/$pid/timerslack_ns)" = 1 ]
check "a system-call filter is in force" [ "$(status_field "$pid" Seccomp)" = 2 ]
check "the start-up line is in the journal" within 5 sh -c \
	"journalctl -u vantrel.service -o cat | grep -qFx 'vantrel: Maintaing $time_file ...'"

check "it writes its file" as_daemon sh -c "touch /home/ovrin/data/probe && rm /home/ovrin/data/probe"
check "it cannot write elsewhere in its home" as_daemon sh -c '! touch /home/ovrin/probe 2>/dev/null'
check "nothing else is writable, even for root" nsenter --target "$pid" --mount sh -c \
	'! touch /etc/probe 2>/dev/null && ! touch /var/lib/probe 2>/dev/null && ! touch /usr/probe 2>/dev/null'
touch /tmp/outside-probe
check "its /tmp is its own" as_daemon sh -c '! [ -e /tmp/outside-probe ]'
check "other homes are hidden" as_daemon sh -c '! [ -e /home/other ]'
check "it has no network" [ "$(readlink /proc/$pid/ns/net)" != "$(readlink /proc/1/ns/net)" ]

rm "$time_file"
check "a deleted file comes back, with its record" within 3 is_current
check "and nothing is said about it" sh -c \
	"! journalctl -u vantrel.service -o cat | grep -q '^vantrel: open'"

kill -9 "$pid"
check "systemd restarts it after kill -9" within 10 sh -c \
	"[ \"\$(systemctl show -P MainPID vantrel.service)\" != $pid ] && [ \"\$(systemctl show -P MainPID vantrel.service)\" != 0 ]"
check "the file ticks again after the restart" within 10 ticks

if [ -f "$deb" ]; then
	pid=$(main_pid)
	dpkg -i "$deb" >>"$result"/log 2>&1 || log "FAIL dpkg -i, again"
	check "an upgrade restarts the running service" within 10 sh -c \
		"[ \"\$(systemctl show -P MainPID vantrel.service)\" != $pid ] && systemctl is-active --quiet vantrel.service"
	check "and the file ticks" within 10 ticks
	dpkg -r vantrel >>"$result"/log 2>&1 || log "FAIL dpkg -r"
	check "removing the package stops the service" sh -c '! systemctl is-active --quiet vantrel.service && ! grep -qsx vantrel /proc/[0-9]*/comm'
fi

log "$failures failed"
echo "$failures" >"$result"/failures
