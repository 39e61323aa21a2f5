#!/usr/bin/env bash
# Boots a fresh Debian (a cached root, default: this host's release, under
# an overlay of its own) where debian/tests/service has a user with sudo
# follow the README, from a copy of the source tree, and checks the
# service; NEWER.deb, where given, is installed over it, and the system is
# booted again as often as the check asks. VANTREL_STRICT is passed on.
# Usage: service_test.sh [ROOT [NEWER.deb]]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

root=${1:-$cache/$host_release}
newer=${2:-}
"$here/debian_root.sh" "$root" sudo logrotate

work=$(mktemp -d)
system=$work/$(basename "$root")-booted # names the container
trap 'umount "$system" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/pkg" "$work/result" "$work/upper" "$work/overlay-work" "$system"
copy_tree "$work/tree"
[ -z "$newer" ] || { mkdir "$work/pkg/newer" && cp "$newer" "$work/pkg/newer/vantrel.deb"; }
mount -t overlay vantrel-check -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/overlay-work" "$system"
# The README's steps: each the first shell block after the line it names.
for step in "quick:On a fresh Debian" "build:Build the Debian package on" "board:On the board, as a user with sudo" \
	"clock:A board without a battery-backed clock"; do
	awk -v start="${step#*:}" 'index($0, start) == 1 { found = 1 }
		found && /^```sh$/ { inside = 1; next }
		inside && /^```$/ { exit }
		inside' "$source_dir/README.md" >"$work/pkg/${step%%:*}.sh"
	[ -s "$work/pkg/${step%%:*}.sh" ] || { echo "service_test: the README has no block after '${step#*:}'" >&2; exit 1; }
done

status=0
strict="VANTREL_STRICT=${VANTREL_STRICT:-}"
echo "$strict" >"$work/result/env"
for boot in 1 2 3 4; do
	# The first boot follows the README, which fetches from the mirror.
	limit=300 network=--private-network
	[ "$boot" -gt 1 ] || limit=3600 network=--resolv-conf=auto
	container "$system" --timeout="$limit" --boot "$network" --console=read-only \
		--bind-ro="$work/pkg:/mnt/pkg" --bind-ro="$work/tree/source:/mnt/source" \
		--bind-ro="$source_dir/debian/tests:/mnt/check" --bind="$work/result:/mnt/result" \
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
