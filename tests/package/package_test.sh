#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage, tests included, and
# checks it: lintian, the tree that CMake installs for everyone else, the
# manual page, and the service on a booted systemd, installed by the
# README's steps (service_test.sh). The init script is checked by Debian's
# gate (gate_test.sh) on this release. Usage: package_test.sh [BUILD_DIR]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build=${1:-$source_dir/build-deb}

echo "package_test: dpkg-buildpackage, with the tests"
"$here/build_package.sh" "$build"
grep -q "project(vantrel VERSION $version " "$source_dir/CMakeLists.txt" ||
	fail "debian/changelog's version $version is not the CMake project's"
grep -qE 'tests passed.*, 0 tests failed' "$build/build.log" || fail "dh_auto_test ran no tests"
deb=$build/vantrel_${version}_$arch.deb
[ -f "$build/vantrel-dbgsym_${version}_$arch.deb" ] || fail "no -dbgsym package"

echo "package_test: lintian"
lintian --pedantic --display-info --fail-on error,warning "$build/vantrel_${version}_$arch.changes" ||
	fail "lintian found errors or warnings"

echo "package_test: the tree CMake installs"
cmake -S "$source_dir" -B "$build/cmake" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build/cmake" --parallel >/dev/null
DESTDIR="$build/destdir" cmake --install "$build/cmake" >/dev/null
for file in usr/sbin/vantrel usr/lib/systemd/system/vantrel.service usr/share/man/man8/vantrel.8.gz \
	usr/share/doc/vantrel/copyright usr/share/doc/vantrel/changelog.gz; do
	[ -f "$build/destdir/$file" ] || fail "missing from the installed tree: $file"
done

echo "package_test: manual page"
page=$build/cmake/packaging/vantrel.8
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
mandoc -T lint -W all "$page" || fail "mandoc finds fault with the manual page"

echo "package_test: the service on a booted systemd, set up by the README's steps"
"$here/service_test.sh" "$deb" || fail "the service test failed"
finish
