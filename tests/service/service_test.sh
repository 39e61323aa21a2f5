#!/usr/bin/env bash
# Boots a minimal Debian with systemd in a container, installs the vantrel
# package there and checks the running service from inside.
# Usage: service_test.sh PACKAGE.deb [ROOT]   (as root; needs debootstrap
# and systemd-container). The Debian root is cached between runs (default
# /var/cache/vantrel-test/bookworm; its name is the release); the
# container's changes never reach it.
set -euo pipefail

deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=${2:-/var/cache/vantrel-test/bookworm}

"$here/../package/debian_root.sh" "$root"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pkg" "$work/result"
cp "$deb" "$work/pkg/vantrel.deb"

status=0
timeout 300 systemd-nspawn --quiet --boot --keep-unit --register=no --private-network \
	--volatile=overlay --console=read-only --directory="$root" \
	--bind-ro="$work/pkg:/mnt/pkg" --bind-ro="$here:/mnt/check" --bind="$work/result:/mnt/result" \
	--bind-ro="$here/vantrel-check.service:/etc/systemd/system/vantrel-check.service" \
	systemd.wants=vantrel-check.service </dev/null >"$work/console.log" 2>&1 || status=$?

cat "$work/result/log" 2>/dev/null || true
[ -n "${VANTREL_TEST_KEEP:-}" ] && cp -r "$work/result" "$VANTREL_TEST_KEEP"
if [ "$status" -ne 0 ] || [ "$(cat "$work/result/failures" 2>/dev/null)" != 0 ]; then
	echo "service_test: failed (container exit status $status); its console:"
	tail -n 60 "$work/console.log"
	exit 1
fi
echo "service_test: passed"
