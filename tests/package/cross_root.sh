#!/usr/bin/env bash
# Makes a cached Debian root able to cross-build for ARCH: the architecture
# known to dpkg, the cross toolchain and the target's C library.
# Usage: cross_root.sh ROOT ARCH
set -euo pipefail
. "$(dirname "$0")/lib.sh"

root=$1 target=$2
if ! chroot "$root" dpkg-query -W -f='${Status}' "crossbuild-essential-$target" 2>/dev/null |
	grep -q 'install ok installed'; then
	echo "cross_root: installing the $target cross toolchain into $root" >&2
	container "$root" sh -c "dpkg --add-architecture $target && apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends crossbuild-essential-$target libc6:$target libgcc-s1:$target" \
		>"$root.cross-$target.log" 2>&1 || { tail -n 20 "$root.cross-$target.log" >&2; exit 1; }
fi
