#!/usr/bin/env bash
# Makes a cached Debian root able to cross-build for ARCH: the architecture
# known to dpkg, the cross toolchain and the target's C library.
# Usage: cross_root.sh ROOT ARCH
set -euo pipefail

root=$1 arch=$2
in_root() { systemd-nspawn --quiet --keep-unit --register=no --directory="$root" sh -c "$1" </dev/null; }
if ! chroot "$root" dpkg-query -W -f='${Status}' "crossbuild-essential-$arch" 2>/dev/null |
	grep -q 'install ok installed'; then
	echo "cross_root: installing the $arch cross toolchain into $root" >&2
	in_root "dpkg --add-architecture $arch && apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends crossbuild-essential-$arch libc6:$arch libgcc-s1:$arch" \
		>"$root.cross-$arch.log" 2>&1 || { tail -n 20 "$root.cross-$arch.log" >&2; exit 1; }
fi
