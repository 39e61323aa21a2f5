#!/usr/bin/env bash
# Cross-builds the Debian package for the boards it runs on and checks each:
# lintian, then the packaged daemon run under user-mode emulation with its
# directory on a private tmpfs. For armhf, whose time_t is 32 bits by
# default, it also checks that the daemon calls the 64-bit clock and runs
# the unit tests of the record and the time file under emulation.
# Usage: cross_test.sh [BUILD_DIR]   (as root: it needs a mount namespace)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${1:-$source_dir/build-cross}
version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)

failures=0
fail() { echo "cross_test: $*" >&2; failures=$((failures + 1)); }

# Runs a daemon binary for another architecture for a few seconds, with
# the fixed data directory on a tmpfs of its own, and prints its file.
run_emulated() {
	local emulator=$1 sysroot=$2 daemon=$3
	unshare --mount --propagation private sh -c '
		mount -t tmpfs vantrel-cross /home && mkdir -p /home/ovrin/data || exit 1
		"$1" -L "$2" "$3" 2>/dev/null &
		daemon=$!
		sleep 2.5
		kill "$daemon"
		wait "$daemon" 2>/dev/null
		cat /home/ovrin/data/curtime.dat' run_emulated "$emulator" "$sysroot" "$daemon"
}

# Fields of the current UTC time as the record gives them.
now_record() { date -u '+%y %-m %-d %-H %-M %-S'; }
record_age() {
	local then
	then=$(awk '{ printf "20%s-%s-%s %s:%s:%s", $1, $2, $3, $4, $5, $6 }' <<<"$1")
	echo $(($(date -u +%s) - $(date -u -d "$then" +%s)))
}

for target in armhf:arm-linux-gnueabihf:qemu-arm-static arm64:aarch64-linux-gnu:qemu-aarch64-static; do
	IFS=: read -r arch triplet emulator <<<"$target"
	out=$build/$arch
	echo "cross_test: $arch: dpkg-buildpackage -a $arch -Pcross,nocheck"
	"$here/build_package.sh" "$out" -a "$arch" -Pcross,nocheck
	[ -f "$out/vantrel-dbgsym_${version}_$arch.deb" ] || fail "$arch: no -dbgsym package"

	echo "cross_test: $arch: lintian"
	lintian --pedantic --display-info --fail-on error,warning "$out/vantrel_${version}_$arch.changes" ||
		fail "$arch: lintian found errors or warnings"

	dpkg-deb -x "$out/vantrel_${version}_$arch.deb" "$out/root"
	daemon=$out/root/usr/sbin/vantrel
	file "$daemon"
	if [ "$arch" = armhf ]; then
		echo "cross_test: armhf: the daemon's dynamic time symbols"
		symbols=$("$triplet-readelf" --dyn-syms -W "$daemon" | awk '{ print $8 }' | grep -E 'time|clock|stat|sleep' | sort -u)
		echo "$symbols"
		grep -qx '__clock_gettime64@GLIBC_[0-9.]*' <<<"$symbols" || fail "armhf: no __clock_gettime64"
		! grep -qE '^(clock_gettime|clock_nanosleep|nanosleep|time|fstat|lstat)@' <<<"$symbols" ||
			fail "armhf: calls a 32-bit time function"
	fi

	echo "cross_test: $arch: the packaged daemon under $emulator"
	record=$(run_emulated "$emulator" "/usr/$triplet" "$daemon") || true
	echo "cross_test: $arch wrote \"$record\" at $(now_record)"
	if ! grep -qxE '[0-9]{2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2}' <<<"$record"; then
		fail "$arch: the file holds no record"
	elif age=$(record_age "$record") && [ "$age" -ge 0 ] && [ "$age" -le 3 ]; then
		:
	else
		fail "$arch: the record is not the current UTC time"
	fi
done

echo "cross_test: armhf: unit tests under qemu-arm-static"
cmake -S "$source_dir" -B "$build/armhf-tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=arm \
	-DCMAKE_CXX_COMPILER=arm-linux-gnueabihf-g++ -DBUILD_TESTING=ON \
	"-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-arm-static;-L;/usr/arm-linux-gnueabihf" >/dev/null
cmake --build "$build/armhf-tests" --parallel --target unit_tests time_file_states_test >/dev/null
# The daemon's own end-to-end tests want a native daemon; these are the rest.
ctest --test-dir "$build/armhf-tests" --output-on-failure --no-tests=error \
	-R '^(FormatTimeRecord|UtcTime|TimeToNextSecond|SleepToNextSecond|TimeFile|TimeFileStates|ReportChange)\.' ||
	fail "armhf: unit tests failed under emulation"

if [ "$failures" -ne 0 ]; then
	echo "cross_test: $failures failed"
	exit 1
fi
echo "cross_test: passed"
