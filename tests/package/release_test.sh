#!/usr/bin/env bash
# Builds the Debian package, tests included, inside a cached root of another
# Debian release and checks it there: lintian, the service on that
# release's booted systemd, and the init script without systemd.
# Usage: release_test.sh RELEASE [BUILD_DIR]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
release=$1
build=${2:-$source_dir/build-$release}
root=$cache/$release
prog="release_test: $release"

# What building and checking the package takes there. Some names depend
# on the release, so the root is asked once it exists.
"$here/debian_root.sh" "$root"
has() { chroot "$root" apt-cache show "$1" >/dev/null 2>&1; }
needed=(build-essential debhelper cmake pkgconf libfaketime libgtest-dev lintian man-db file)
if has systemd-dev; then needed+=(systemd-dev); fi
if has tzdata-legacy; then needed+=(tzdata-legacy); else needed+=(tzdata); fi
"$here/debian_root.sh" "$root" "${needed[@]}"

in_root() { container "$root" --private-network --volatile=overlay --bind="$build:/build" sh -c "$1"; }

echo "release_test: $release: dpkg-buildpackage, with the tests"
copy_tree "$build"
if ! in_root 'cd /build/source && dpkg-buildpackage -us -uc -b' >"$build/build.log" 2>&1; then
	tail -n 60 "$build/build.log" >&2
	echo "release_test: $release: dpkg-buildpackage failed; the log is $build/build.log" >&2
	exit 1
fi
grep -qE 'tests passed.*, 0 tests failed' "$build/build.log" || fail "dh_auto_test ran no tests"
grep -E '^(GNU C|c\+\+|cmake version|dpkg-buildpackage: info: source package)' "$build/build.log" | head -n 3 || true

echo "release_test: $release: lintian $(chroot "$root" dpkg-query -W -f='${Version}' lintian)"
in_root "lintian --pedantic --display-info --fail-on error,warning /build/vantrel_${version}_$arch.changes" ||
	fail "lintian found errors or warnings"

deb=$build/vantrel_${version}_$arch.deb
echo "release_test: $release: the unit's place"
dpkg-deb -c "$deb" | grep -o '[^ ]*vantrel.service$'

echo "release_test: $release: the service on a booted systemd, set up by the README's steps"
"$here/service_test.sh" "$deb" "$root" || fail "the service test failed"

echo "release_test: $release: the init script without systemd"
"$here/init_test.sh" "$deb" "$root" || fail "the init script test failed"
finish
