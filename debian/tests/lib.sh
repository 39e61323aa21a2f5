# What every as-installed check shares: the daemon's file and start-up
# line, and how a check is made and told. Sourced by POSIX sh.

time_file=/home/ovrin/data/curtime.dat
startup_line="vantrel: Maintaing $time_file ..."
failures=0

# Runs a check, tells its outcome on one line and counts a failure.
check() {
	name=$1
	shift
	if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
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

# Prints a command and its exit status as an admin would see them.
run() {
	echo "# $*"
	"$@"
	status=$?
	echo "(exit status $status)"
	return $status
}

now_record() { date -u '+%y %-m %-d %-H %-M %-S'; }

# The file holds the record of the second in which it is read.
is_current() {
	before=$(now_record)
	record=$(cat "$time_file" 2>/dev/null) || return 1
	[ "$record" = "$before" ] || [ "$record" = "$(now_record)" ]
}

# The file holds the current record, then another.
ticks() {
	within 3 is_current || return 1
	first=$(cat "$time_file")
	within 3 sh -c '[ "$(cat "$1")" != "$2" ]' ticks "$time_file" "$first" && within 3 is_current
}

# A reader in a tight loop for $1 seconds meets nothing but whole records.
only_whole_records() {
	end=$(($(date +%s) + $1))
	reads=0
	bad=0
	while [ "$(date +%s)" -lt "$end" ]; do
		reads=$((reads + 1))
		grep -qxE '[0-9]{2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2}' "$time_file" ||
			bad=$((bad + 1))
	done
	echo "     $reads reads, $bad without a whole record"
	[ "$bad" -eq 0 ]
}

# Ends the check with the number of failures as its exit status.
finish() {
	echo "$failures failed"
	exit "$failures"
}
