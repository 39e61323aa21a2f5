#!/usr/bin/env bash
# Checks the package's init script (debian/tests/init-script) on a Debian
# where systemd does not run: a container of the cached Debian root (by
# default this host's release), not booted, whose changes never reach the
# root. NEWER.deb, where given, is installed over it as an upgrade.
# Usage: init_test.sh PACKAGE.deb [ROOT [NEWER.deb]]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

deb=$(realpath "$1")
root=${2:-$cache/$host_release}
"$here/debian_root.sh" "$root" strace

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$deb" "$work/vantrel.deb"
if [ -n "${3:-}" ]; then
	mkdir "$work/newer"
	cp "$3" "$work/newer/vantrel.deb"
fi
container "$root" --timeout=300 --private-network --volatile=overlay \
	--bind-ro="$work:/mnt/pkg" --bind-ro="$source_dir/debian/tests:/mnt/check" \
	sh /mnt/check/init-script || fail "failed"
finish
