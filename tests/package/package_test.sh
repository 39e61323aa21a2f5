#!/usr/bin/env bash
# Builds the Debian package for RELEASE (default: this host's), tests
# included, natively or inside a cached root of that release, and checks
# it: lintian, the init script without systemd (init_test.sh), and the
# service on a booted systemd set up by the README's steps
# (service_test.sh); both are then upgraded to a newer build of the same
# tree, whose version a changelog entry of its own bumps. On the host's
# release also the tree that CMake installs for everyone else and the
# manual page. Usage: package_test.sh [RELEASE [BUILD_DIR]]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
release=${1:-$host_release}
build=${2:-$source_dir/build-$release}
root=$cache/$release
prog="package_test: $release"
deb=$build/vantrel_${version}_$arch.deb

# Builds DIR/source into DIR, here or in the release's root, with
# dpkg-buildpackage's further options.
build_in() {
	local dir=$1
	shift
	if [ "$release" = "$host_release" ]; then
		(cd "$dir/source" && dpkg-buildpackage -us -uc -b "$@")
	else
		container "$root" --private-network --volatile=overlay --bind="$dir:/build" \
			sh -c 'cd /build/source && dpkg-buildpackage -us -uc -b "$@"' build "$@"
	fi >"$dir/build.log" 2>&1 || {
		tail -n 60 "$dir/build.log" >&2
		echo "$prog: dpkg-buildpackage $* failed; the log is $dir/build.log" >&2
		exit 1
	}
}

echo "$prog: dpkg-buildpackage, with the tests"
if [ "$release" = "$host_release" ]; then
	lint=(lintian)
	changes=$build/vantrel_${version}_$arch.changes
else
	# What building and checking takes there. Some names depend on the
	# release, so the root is asked once it exists.
	"$here/debian_root.sh" "$root"
	has() { chroot "$root" apt-cache show "$1" >/dev/null 2>&1; }
	needed=(build-essential debhelper cmake pkgconf libgtest-dev lintian man-db file)
	if has systemd-dev; then needed+=(systemd-dev); fi
	if has tzdata-legacy; then needed+=(tzdata-legacy); else needed+=(tzdata); fi
	"$here/debian_root.sh" "$root" "${needed[@]}"
	lint=(container "$root" --volatile=overlay --bind="$build:/build" lintian)
	changes=/build/vantrel_${version}_$arch.changes
fi
copy_tree "$build"
build_in "$build"

echo "$prog: a newer build of the same tree, to upgrade to"
newer=$build/newer
copy_tree "$newer"
{
	printf 'vantrel (%s.1) unstable; urgency=medium\n\n  * A newer build, to test the upgrade.\n\n' "$version"
	printf ' -- vantrel developers <vantrel@example.org>  %s\n\n' "$(date -R)"
	cat "$source_dir/debian/changelog"
} >"$newer/source/debian/changelog"
build_in "$newer" -Pnocheck
newer_deb=$newer/vantrel_$version.1_$arch.deb
news=$(sed -n 's/^## \([0-9.]*\).*/\1/p' "$source_dir/NEWS.md" | head -n 1)
[ "$news" = "$version" ] || fail "NEWS.md's newest version, '$news', is not debian/changelog's $version"
grep -qE 'tests passed.*, 0 tests failed' "$build/build.log" || fail "dh_auto_test ran no tests"
[ -f "$build/vantrel-dbgsym_${version}_$arch.deb" ] || fail "no -dbgsym package"

echo "$prog: lintian"
"${lint[@]}" --pedantic --display-info --fail-on error,warning "$changes" || fail "lintian found errors or warnings"
echo "$prog: the unit goes to $(dpkg-deb -c "$deb" | grep -o '[^ ]*vantrel.service$')"

if [ "$release" = "$host_release" ]; then
	echo "$prog: the tree CMake installs"
	cmake -S "$source_dir" -B "$build/cmake" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >/dev/null
	cmake --build "$build/cmake" --parallel >/dev/null
	DESTDIR="$build/destdir" cmake --install "$build/cmake" >/dev/null
	for file in usr/sbin/vantrel usr/lib/systemd/system/vantrel.service usr/share/man/man8/vantrel.8.gz \
		usr/share/doc/vantrel/copyright usr/share/doc/vantrel/changelog.gz; do
		[ -f "$build/destdir/$file" ] || fail "missing from the installed tree: $file"
	done

	echo "$prog: manual page"
	page=$build/cmake/packaging/vantrel.8
	warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
	[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
	mandoc -T lint -W all "$page" || fail "mandoc finds fault with the manual page"
fi

echo "$prog: the init script without systemd"
"$here/init_test.sh" "$deb" "$root" "$newer_deb" || fail "the init script test failed"

echo "$prog: the service on a booted systemd, set up by the README's steps"
"$here/service_test.sh" "$deb" "$root" "$newer_deb" || fail "the service test failed"
finish
