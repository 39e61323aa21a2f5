#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage, tests included, and
# checks it: lintian, the tree that CMake installs for everyone else, the
# manual page, the unit's exposure score, the service on a booted systemd
# (service_test.sh) and the init script without one (init_test.sh).
# Usage: package_test.sh [BUILD_DIR]   (as root)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${1:-$source_dir/build-deb}
arch=$(dpkg --print-architecture)

failures=0
fail() { echo "package_test: $*" >&2; failures=$((failures + 1)); }

echo "package_test: dpkg-buildpackage, with the tests"
"$here/build_package.sh" "$build"
version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)
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
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$build/cmake/packaging/vantrel.8" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"

echo "package_test: unit exposure"
unit="$build/cmake/packaging/vantrel.service"
systemd-analyze security --offline=true --threshold=5 "$unit" | tail -n 1
score=$(systemd-analyze security --offline=true "$unit" | awk '/Overall exposure level/ { print $(NF-2) }')
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 0.3) }' || fail "exposure $score is above 0.3"

echo "package_test: the service on a booted systemd"
"$here/../service/service_test.sh" "$deb" || fail "the service test failed"

echo "package_test: the init script without systemd"
"$here/init_test.sh" "$deb" || fail "the init script test failed"

if [ "$failures" -ne 0 ]; then
	echo "package_test: $failures failed"
	exit 1
fi
echo "package_test: passed"
