#!/usr/bin/env bash
# Boots a fresh Debian with systemd in a container, follows the README's
# steps for a board there with PACKAGE.deb, then checks the running
# service from inside (debian/tests/service). The Debian root (default:
# this host's release) is cached between runs; the container's changes
# never reach it. Usage: service_test.sh PACKAGE.deb [ROOT]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

deb=$(realpath "$1")
root=${2:-$cache/$host_release}
"$here/debian_root.sh" "$root" sudo

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pkg" "$work/result"
cp "$deb" "$work/pkg/" # under its own name, as the steps install it
# The README's steps for a board: the first shell block after the line
# that introduces them.
awk '/^On the board, as a user with sudo/ { found = 1 }
	found && /^```sh$/ { inside = 1; next }
	inside && /^```$/ { exit }
	inside' "$source_dir/README.md" >"$work/pkg/board.sh"
[ -s "$work/pkg/board.sh" ] || { echo "service_test: the README has no steps for a board" >&2; exit 1; }

status=0
container "$root" --timeout=300 --boot --private-network --volatile=overlay --console=read-only \
	--bind-ro="$work/pkg:/mnt/pkg" --bind-ro="$source_dir/debian/tests:/mnt/check" --bind="$work/result:/mnt/result" \
	--bind-ro="$here/vantrel-check.service:/etc/systemd/system/vantrel-check.service" \
	systemd.wants=vantrel-check.service >"$work/console.log" 2>&1 || status=$?

cat "$work/result/log" 2>/dev/null || true
if [ "$status" -ne 0 ] || [ "$(cat "$work/result/failures" 2>/dev/null)" != 0 ]; then
	echo "service_test: failed (container exit status $status); its console:"
	tail -n 60 "$work/console.log"
	exit 1
fi
echo "service_test: passed"
