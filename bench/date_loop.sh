#!/bin/sh
# The shell way, for comparison: date -u into the file, then sleep a second.
# Usage: date_loop.sh FILE
while :; do
	date -u '+%y %-m %-d %-H %-M %-S' >"$1"
	sleep 1
done
