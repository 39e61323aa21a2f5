#!/usr/bin/env bash
# Builds the Debian package for RELEASE (default: this host's), tests
# included, natively or inside a cached root of that release, and checks
# it: lintian, the init script without systemd (init_test.sh), and the
# service on a booted systemd set up by following the README
# (service_test.sh); both are then upgraded to a newer build of the same
# tree. On the host's release also the tree that CMake installs for
# everyone else, the manual page, and a package for another path.
# Usage: package_test.sh [RELEASE [BUILD_DIR]]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
release=${1:-$host_release}
build=${2:-$source_dir/build-$release}
root=$cache/$release
prog="package_test: $release"
deb=$build/vantrel_${version}_$arch.deb

echo "$prog: dpkg-buildpackage, with the tests"
in=()
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
	in=("--in=$root")
fi
"$here/build_package.sh" "$build" "${in[@]}"

echo "$prog: a newer build of the same tree, to upgrade to"
newer=$build/newer
"$here/build_package.sh" "$newer" "${in[@]}" --newer -Pnocheck
newer_deb=$newer/vantrel_$version.1_$arch.deb
news=$(sed -n 's/^## \([0-9.]*\).*/\1/p' "$source_dir/NEWS.md" | head -n 1)
[ "$news" = "$version" ] || fail "NEWS.md's newest version, '$news', is not debian/changelog's $version"
grep -qE 'tests passed.*, 0 tests failed' "$build/build.log" || fail "dh_auto_test ran no tests"
[ -f "$build/vantrel-dbgsym_${version}_$arch.deb" ] || fail "no -dbgsym package"

echo "$prog: lintian"
"${lint[@]}" --pedantic --display-info --fail-on error,warning "$changes" || fail "lintian found errors or warnings"
echo "$prog: the unit goes to $(dpkg-deb -c "$deb" | grep -o '[^ ]*vantrel.service$')"

# Longer than a line of the description.
other=/var/lib/a_directory_name_long_enough_for_the_clock/and_another_below_it/now.dat
echo "$prog: a package for $other"
VANTREL_TIME_FILE=$other "$here/build_package.sh" "$build/other" "${in[@]}" -Pnocheck
files=$build/other/root && other_deb=$(ls "$build"/other/vantrel_"$version"+path*_"$arch".deb) ||
	fail "the package for $other has no version of its own"
"${lint[@]}" --pedantic --fail-on error,warning "${changes/vantrel_/other/vantrel_}" || fail "lintian found fault with the package for $other"
dpkg-deb -x "$other_deb" "$files"
named=$(find "$files" -type f -exec zgrep -l /home/ovrin {} +) || true
[ -z "$named" ] || fail "the package for $other names /home/ovrin in" $named
for file in "$(dpkg-deb -c "$other_deb" | grep -o '[^ ]*vantrel.service$')" usr/share/man/man8/vantrel.8.gz etc/init.d/vantrel; do
	zgrep -qF "$other" "$files/$file" || fail "$file in the package for $other does not name it"
done
[[ $(dpkg-deb -f "$other_deb" Description | tr -d ' \n') == *"$other"* ]] || fail "the description does not name $other"
# A unit installed by hand under /usr/local hides the package's: an install names it (in a root made first on a new machine).
"$here/debian_root.sh" "$root" && container "$root" --volatile=overlay --bind-ro="$build:/mnt/pkg" sh -c 'mkdir -p /usr/local/lib/systemd/system &&
	touch /usr/local/lib/systemd/system/vantrel.service && dpkg -i /mnt/pkg/"$1" 2>&1' copy "${deb##*/}" |
	grep -F 'warning: /usr/local/lib/systemd/system/vantrel.service' || fail "an install does not name a unit under /usr/local"

if [ "$release" = "$host_release" ]; then
	echo "$prog: the tree CMake installs"
	cmake -S "$source_dir" -B "$build/cmake" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >/dev/null
	cmake --build "$build/cmake" --parallel >/dev/null
	DESTDIR="$build/destdir" cmake --install "$build/cmake" >/dev/null
	(cd "$build/destdir" && ls usr/sbin/vantrel usr/lib/systemd/system/vantrel.service usr/share/man/man8/vantrel.8.gz \
		usr/share/doc/vantrel/copyright usr/share/doc/vantrel/changelog.gz >/dev/null) || fail "files missing from the installed tree"

	echo "$prog: manual page"
	page=$build/cmake/packaging/vantrel.8
	for width in 72 80; do
		warnings=$(LC_ALL=C.UTF-8 MANWIDTH=$width man --warnings -l "$page" 2>&1 >/dev/null)
		[ -z "$warnings" ] || fail "the manual page renders with warnings at $width columns: $warnings"
	done
	mandoc -T lint -W all "$page" || fail "mandoc finds fault with the manual page"
	# What is copied pastes as it reads: plain spaces, no line over 80 columns but the fstab one.
	for render in "man -l" "mandoc -T utf8 -O width=80"; do
		bad=$(export LC_ALL=C.UTF-8 MANWIDTH=80; $render "$page" | sed 's/.\x08//g' | grep -nE $'\xc2\xa0|^.{81}' |
			grep -vE '^[0-9]+: +tmpfs /[^ ]+ tmpfs nofail,[^ ]+ 0 0$') && fail "$render renders no-break spaces or lines too wide: $bad"
	done
	# The example record and the setup lines, said in both, and the setup
	# lines as the init script prints them.
	said='useradd --[^|&]*ovrin|install -d -o ovrin -g ovrin /[^ ]*|^ *[0-9]{2}( [0-9]{1,2}){5}$'
	readme=$(grep -oE "$said" "$source_dir/README.md")
	[ "$readme" = "$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" | grep -oE "$said" | sed 's/^ *//')" ] ||
		fail "the README's example record or setup lines are not the manual's"
	[ "$(grep -E '^(useradd|install)' <<<"$readme")" = "$(sed 's/\$DAEMON_USER/ovrin/g; s|\$DATA_DIR|/home/ovrin/data|g' \
		"$build/cmake/packaging/vantrel.init" | grep -oE "(useradd|install -d) [^']*")" ] || fail "the init script's setup lines are not the README's"

	daemon_check "$build/other/root/usr/sbin/vantrel" || fail "the daemon check failed on the package for another path"
fi

echo "$prog: the init script without systemd"
"$here/init_test.sh" "$deb" "$root" "$newer_deb" || fail "the init script test failed"

echo "$prog: the service on a booted systemd, set up by following the README"
"$here/service_test.sh" "$root" "$newer_deb" || fail "the service test failed"
finish
