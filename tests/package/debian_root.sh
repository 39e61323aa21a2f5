#!/usr/bin/env bash
# Makes sure a cached Debian root exists, with systemd and the given
# packages (of another architecture too: libc6:armhf) in it: debootstrapped
# once (a minimal base: a large set can fail to configure at that stage),
# then completed with apt inside. The release is the root's directory name,
# as in /var/cache/vantrel-test/trixie. Usage: debian_root.sh ROOT [PACKAGE...]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

root=$1
shift
release=$(basename "$root")

if [ ! -x "$root/lib/systemd/systemd" ]; then
	from=$(mirror)
	[ -n "$from" ] || { echo "debian_root: no Debian mirror in the apt sources" >&2; exit 1; }
	echo "debian_root: debootstrapping a minimal $release into $root" >&2
	mkdir -p "$(dirname "$root")"
	rm -rf "$root.new"
	debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus "$release" "$root.new" "$from" \
		>"$root.debootstrap.log" 2>&1 || { tail -n 20 "$root.debootstrap.log" >&2; exit 1; }
	mv "$root.new" "$root"
fi

missing=()
for package in "$@"; do
	chroot "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
		missing+=("$package")
done
if ((${#missing[@]})); then
	echo "debian_root: installing ${missing[*]} into $root" >&2
	foreign=$(printf '%s\n' "$@" | sed -n 's/.*:\([a-z0-9]*\)$/dpkg --add-architecture \1 \&\& /p' | sort -u | tr -d '\n')
	container "$root" sh -c "${foreign}apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $*" \
		>"$root.apt.log" 2>&1 || { tail -n 20 "$root.apt.log" >&2; exit 1; }
fi
