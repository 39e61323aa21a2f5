#!/usr/bin/env bash
# Checks the package's init script on a Debian where systemd does not run:
# a container of the cached Debian root, not booted, whose changes never
# reach the root. Usage: init_test.sh PACKAGE.deb [ROOT]   (as root)
set -euo pipefail

deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=${2:-/var/cache/vantrel-test/bookworm}
"$here/debian_root.sh" "$root"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$deb" "$work/vantrel.deb"
status=0
timeout 120 systemd-nspawn --quiet --keep-unit --register=no --private-network --volatile=overlay \
	--directory="$root" --bind-ro="$work:/mnt/pkg" --bind-ro="$here:/mnt/check" \
	sh /mnt/check/init_inside.sh </dev/null || status=$?
if [ "$status" -ne 0 ]; then
	echo "init_test: failed ($status)"
	exit 1
fi
echo "init_test: passed"
