#!/bin/sh
# Inside a Debian root where systemd is not running: install the package
# (from /mnt/pkg, where it is there; otherwise it is installed already, as
# in an autopkgtest) and drive /etc/init.d/vantrel as an admin would.
# Prints a transcript; its exit status is the number of failed checks.
set -u

time_file=/home/ovrin/data/curtime.dat
failures=0
check() {
	name=$1
	shift
	if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
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
daemon_pid() { cat /run/vantrel.pid 2>/dev/null; }
# Live daemons only: a zombie that nobody reaps has no executable.
daemons() { ls -l /proc/[0-9]*/exe 2>/dev/null | grep -c ' /usr/sbin/vantrel$'; }
ticks() {
	first=$(cat "$time_file" 2>/dev/null) || return 1
	within 3 sh -c "[ \"\$(cat $time_file)\" != '$first' ]"
}
current() {
	[ "$(cat "$time_file" 2>/dev/null)" = "$(date -u '+%y %-m %-d %-H %-M %-S')" ] ||
		within 2 sh -c "[ \"\$(cat $time_file)\" = \"\$(date -u '+%y %-m %-d %-H %-M %-S')\" ]"
}
run() { echo "# $*"; "$@"; status=$?; echo "(exit status $status)"; return $status; }

deb=/mnt/pkg/vantrel.deb
if [ -f "$deb" ]; then
	echo "# dpkg -i vantrel.deb"
	dpkg -i "$deb" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; echo "FAIL dpkg -i"; exit 99; }
fi
check "the init script is installed" test -x /etc/init.d/vantrel
check "it is not enabled" sh -c '! ls /etc/rc2.d/S*vantrel >/dev/null 2>&1'
not_running() { [ ! -e /run/vantrel.pid ] && [ "$(daemons)" = 0 ]; }
check "nor started" not_running

id ovrin >/dev/null 2>&1 || useradd --user-group --create-home ovrin
rm -rf /home/ovrin/data
refused() {
	! run /etc/init.d/vantrel start >/tmp/missing 2>&1
	refusal=$?
	cat /tmp/missing
	[ "$refusal" -eq 0 ] && grep -q "/home/ovrin/data is missing" /tmp/missing
}
check "start refuses without the data directory" refused

install -d -o ovrin -g ovrin /home/ovrin/data
check "start" run /etc/init.d/vantrel start
check "the file holds the current UTC record" within 5 current
check "the file ticks" ticks
pid=$(daemon_pid)
check "the pid file names the daemon" [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = vantrel ]
check "it runs as ovrin" [ "$(awk '/^Uid:/ { print $2 }' /proc/"$pid"/status)" = "$(id -u ovrin)" ]
check "status says it runs" run /etc/init.d/vantrel status
check "a second start" run /etc/init.d/vantrel start
check "starts no second daemon" [ "$(daemons)" = 1 ]
check "the start-up line is in its log" grep -qFx "vantrel: Maintaing $time_file ..." /var/log/vantrel.log

check "restart" run /etc/init.d/vantrel restart
check "a new daemon after restart" within 3 sh -c "[ -n \"\$(cat /run/vantrel.pid)\" ] && [ \"\$(cat /run/vantrel.pid)\" != $pid ]"
check "the file ticks after restart" ticks

check "stop" run /etc/init.d/vantrel stop
check "stop ends it" not_running
stopped() { ! run /etc/init.d/vantrel status; }
check "status says it is stopped" stopped
check "a second stop is no failure" run /etc/init.d/vantrel stop

if [ -f "$deb" ]; then
	/etc/init.d/vantrel start >/dev/null
	dpkg -r vantrel >/tmp/remove.log 2>&1
	check "removing the package stops it" [ "$(daemons)" = 0 ]
fi

echo "$failures failed"
exit "$failures"
