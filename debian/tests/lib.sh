# What every as-installed check shares: the daemon's file and start-up
# line, and how a check is made and told. Sourced by POSIX sh.

# Sets them, and data_dir, from the start-up line in the daemon command $1
# (an emulator may come first); fails if it has none (not yet installed).
daemon_paths() {
	startup_line=$(grep -aoE 'vantrel: Maintaing /[A-Za-z0-9._/-]+ \.\.\.' "${1##* }" 2>/dev/null | head -n 1)
	time_file=${startup_line#vantrel: Maintaing }
	time_file=${time_file% ...}
	data_dir=${time_file%/*}
	[ -n "$startup_line" ]
}
daemon_paths "${VANTREL:-/usr/sbin/vantrel}"
failures=0

# Runs a check, tells its outcome on one line and counts a failure. A
# check may follow the daemon's installation: its paths are found then.
check() {
	[ -n "$startup_line" ] || daemon_paths "${VANTREL:-/usr/sbin/vantrel}"
	name=$1 && shift
	if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

# Waits up to $1 seconds for a command to succeed.
within() {
	limit=$(($1 * 10)) && shift
	until "$@" 2>/dev/null; do
		[ "$limit" -gt 0 ] || { "$@"; return; }
		limit=$((limit - 1)) && sleep 0.1
	done
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

# $1 is a record: six fields in range, no leading zeros, single spaces.
is_record() {
	# shellcheck disable=SC2086 # split into the fields
	set -- $1 "$1"
	[ $# -eq 7 ] || return 1
	case "$1$2$3$4$5$6: $2 $3 $4 $5 $6" in *[!0-9]*:* | *" 0"[0-9]*) return 1 ;; esac
	[ "$1 $2 $3 $4 $5 $6" = "$7" ] && [ ${#1} -eq 2 ] && [ "$2" -ge 1 ] && [ "$2" -le 12 ] && [ "$3" -ge 1 ] &&
		[ "$3" -le 31 ] && [ "$4" -le 23 ] && [ "$5" -le 59 ] && [ "$6" -le 59 ]
}

# A reader in a tight loop, until the file $1 exists, meets only a whole
# record followed by nothing but line feeds. Each sample is one read(2), by
# head: the shell's own read takes a byte a call, and so can join the ends
# of two records that no reader of the whole file ever meets.
only_whole_records() {
	until_file=$1 reads=0 missing=0 empty=0 malformed=0 nl='
'
	while [ ! -e "$until_file" ]; do
		reads=$((reads + 1))
		content=$(head -c 64 -- "$time_file" 2>/dev/null && echo .)
		line=${content%%"$nl"*} rest=${content#*"$nl"}
		if [ -z "$content" ]; then
			missing=$((missing + 1)) # no dot: head found no file
		elif [ "$content" = . ]; then
			empty=$((empty + 1))
		elif [ "$line" = "$content" ] || ! is_record "$line"; then
			malformed=$((malformed + 1))
		else
			case ${rest%.} in *[!"$nl"]*) malformed=$((malformed + 1)) ;; esac
		fi
	done
	echo "     $reads reads: $missing missing, $empty empty, $malformed malformed"
	[ $((missing + empty + malformed)) -eq 0 ]
}

# A check whose outcome hangs on the version of systemd, not of vantrel
# (its scoring, its wording): it counts only where VANTREL_STRICT is set,
# as this project's own runs set it; elsewhere its outcome is told.
version_check() {
	[ -z "${VANTREL_STRICT:-}" ] || { check "$@"; return; }
	name=$1 && shift
	if "$@"; then echo "ok   $name"; else echo "note $name: not so with this systemd (not counted)"; fi
}

# Ends the check with the number of failures as its exit status.
finish() {
	echo "$failures failed"
	exit "$failures"
}
