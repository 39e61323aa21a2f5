#!/usr/bin/env bash
# Boots a fresh Debian with systemd in a container, follows the README's
# steps for a board there with PACKAGE.deb, then checks the running
# service from inside (debian/tests/service), upgrading it to NEWER.deb
# where that is given, and boots the same system again as often as the
# check asks. The Debian root (default: this host's release) is cached
# between runs; the container's changes go to an overlay of its own and
# never reach it. VANTREL_STRICT, if set, is passed on.
# Usage: service_test.sh PACKAGE.deb [ROOT [NEWER.deb]]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

deb=$(realpath "$1")
root=${2:-$cache/$host_release}
newer=${3:-}
"$here/debian_root.sh" "$root" sudo

work=$(mktemp -d)
system=$work/$(basename "$root")-booted # names the container
trap 'umount "$system" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/pkg" "$work/result" "$work/upper" "$work/overlay-work" "$system"
cp "$deb" "$work/pkg/" # under its own name, as the steps install it
if [ -n "$newer" ]; then
	mkdir "$work/pkg/newer"
	cp "$newer" "$work/pkg/newer/vantrel.deb"
fi
mount -t overlay vantrel-check -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/overlay-work" "$system"
# The README's steps for a board: the first shell block after the line
# that introduces them.
awk '/^On the board, as a user with sudo/ { found = 1 }
	found && /^```sh$/ { inside = 1; next }
	inside && /^```$/ { exit }
	inside' "$source_dir/README.md" >"$work/pkg/board.sh"
[ -s "$work/pkg/board.sh" ] || { echo "service_test: the README has no steps for a board" >&2; exit 1; }

status=0
strict="VANTREL_STRICT=${VANTREL_STRICT:-}"
echo "$strict" >"$work/result/env"
for boot in 1 2 3 4; do
	container "$system" --timeout=300 --boot --private-network --console=read-only \
		--bind-ro="$work/pkg:/mnt/pkg" --bind-ro="$source_dir/debian/tests:/mnt/check" --bind="$work/result:/mnt/result" \
		--bind-ro="$here/vantrel-check.service:/etc/systemd/system/vantrel-check.service" \
		systemd.wants=vantrel-check.service >>"$work/console.log" 2>&1 || status=$?
	[ "$status" -eq 0 ] && [ -s "$work/result/reboot" ] || break
	printf '%s\nAUTOPKGTEST_REBOOT_MARK=%s\n' "$strict" "$(cat "$work/result/reboot")" >"$work/result/env"
	rm "$work/result/reboot"
	echo "service_test: boot $((boot + 1))" >>"$work/console.log"
done

cat "$work/result/log" 2>/dev/null || true
if [ "$status" -ne 0 ] || [ "$(cat "$work/result/failures" 2>/dev/null)" != 0 ]; then
	echo "service_test: failed (container exit status $status); its console:"
	tail -n 60 "$work/console.log"
	exit 1
fi
echo "service_test: passed"
