#!/usr/bin/env bash
# Cross-builds the Debian package for every release architecture and checks
# each: lintian, the dynamic time symbols of the 32-bit ones (they must call
# the 64-bit clock), and the packaged daemon run under user-mode emulation
# with its directory on a private tmpfs. riscv64 is built in the cached
# Debian 13 root, the first release to carry it. The unit tests of the
# record and the time file also run under emulation for a 32-bit and a
# big-endian architecture (armhf, s390x).
# Usage: cross_test.sh [BUILD_DIR] [ARCH...]   (as root: it needs a mount namespace)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${1:-$source_dir/build-cross}
shift || true
version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)
trixie=/var/cache/vantrel-test/trixie

# arch, GNU triplet, emulator, whether time_t is 32 bits by default.
targets="
arm64 aarch64-linux-gnu qemu-aarch64-static no
armel arm-linux-gnueabi qemu-arm-static yes
armhf arm-linux-gnueabihf qemu-arm-static yes
i386 i686-linux-gnu qemu-i386-static yes
ppc64el powerpc64le-linux-gnu qemu-ppc64le-static no
s390x s390x-linux-gnu qemu-s390x-static no
riscv64 riscv64-linux-gnu qemu-riscv64-static no
"
wanted=("$@")

failures=0
fail() { echo "cross_test: $*" >&2; failures=$((failures + 1)); }
summary=()

# Runs a daemon binary for another architecture for a few seconds, with
# the fixed data directory on a tmpfs of its own, and prints its file. The
# C library is the one dpkg installed for that architecture under SYSROOT;
# the cross toolchain's own copy can differ in version and must not mix in.
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

while read -r arch triplet emulator narrow_time; do
	[ -n "$arch" ] || continue
	if ((${#wanted[@]})) && ! printf '%s\n' "${wanted[@]}" | grep -qx "$arch"; then
		continue
	fi
	out=$build/$arch
	sysroot=/
	echo "cross_test: $arch: dpkg-buildpackage -a $arch -Pcross,nocheck"
	if [ "$arch" = riscv64 ]; then
		"$here/debian_root.sh" "$trixie"
		"$here/cross_root.sh" "$trixie" riscv64
		rm -rf "$out"
		mkdir -p "$out/source"
		(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
			tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$out/source"
		systemd-nspawn --quiet --keep-unit --register=no --private-network --volatile=overlay \
			--directory="$trixie" --bind="$out:/build" \
			sh -c 'cd /build/source && dpkg-buildpackage -a riscv64 -Pcross,nocheck -us -uc -b' \
			</dev/null >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log" >&2; fail "$arch: build failed"; continue; }
		sysroot=$trixie
		lint=(systemd-nspawn --quiet --keep-unit --register=no --volatile=overlay --directory="$trixie"
			--bind="$out:/build" lintian)
		changes=/build/vantrel_${version}_$arch.changes
	else
		"$here/build_package.sh" "$out" -a "$arch" -Pcross,nocheck || { fail "$arch: build failed"; continue; }
		lint=(lintian)
		changes=$out/vantrel_${version}_$arch.changes
	fi
	[ -f "$out/vantrel-dbgsym_${version}_$arch.deb" ] || fail "$arch: no -dbgsym package"

	echo "cross_test: $arch: lintian"
	"${lint[@]}" --pedantic --display-info --fail-on error,warning "$changes" </dev/null ||
		fail "$arch: lintian found errors or warnings"

	dpkg-deb -x "$out/vantrel_${version}_$arch.deb" "$out/root"
	daemon=$out/root/usr/sbin/vantrel
	file "$daemon"
	time_symbols=-
	if [ "$narrow_time" = yes ]; then
		symbols=$(readelf --dyn-syms -W "$daemon" | awk '{ print $8 }' |
			grep -E 'time|clock|stat|sleep|poll' | sort -u)
		time_symbols=$(grep -E '64' <<<"$symbols" | sed 's/@.*//' | tr '\n' ' ')
		echo "cross_test: $arch: 64-bit time calls: $time_symbols"
		grep -qx '__clock_gettime64@GLIBC_[0-9.]*' <<<"$symbols" || fail "$arch: no __clock_gettime64"
		! grep -qE '^(clock_gettime|clock_nanosleep|nanosleep|ppoll|pselect|select|sigtimedwait|time|fstat|lstat)@' <<<"$symbols" ||
			fail "$arch: calls a 32-bit time function"
	fi

	echo "cross_test: $arch: the packaged daemon under $emulator"
	record=$(run_emulated "$emulator" "$sysroot" "$daemon") || true
	echo "cross_test: $arch wrote \"$record\" at $(now_record)"
	seen=no
	if ! grep -qxE '[0-9]{2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2} [0-9]{1,2}' <<<"$record"; then
		fail "$arch: the file holds no record"
	elif age=$(record_age "$record") && [ "$age" -ge 0 ] && [ "$age" -le 3 ]; then
		seen="\"$record\""
	else
		fail "$arch: the record is not the current UTC time"
	fi
	summary+=("| $arch | built | $seen | $time_symbols |")
done <<<"$targets"

# The unit tests built for a 32-bit and a big-endian architecture, run under
# emulation; the end-to-end tests want a native daemon.
for target in armhf:arm-linux-gnueabihf:qemu-arm-static:arm s390x:s390x-linux-gnu:qemu-s390x-static:s390x; do
	IFS=: read -r arch triplet emulator processor <<<"$target"
	if ((${#wanted[@]})) && ! printf '%s\n' "${wanted[@]}" | grep -qx "$arch"; then
		continue
	fi
	echo "cross_test: $arch: unit tests under $emulator"
	cmake -S "$source_dir" -B "$build/$arch-tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor" \
		-DCMAKE_CXX_COMPILER="$triplet-g++" -DBUILD_TESTING=ON \
		"-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator;-L;/" >/dev/null
	cmake --build "$build/$arch-tests" --parallel --target unit_tests time_file_states_test >/dev/null
	if ctest --test-dir "$build/$arch-tests" --output-on-failure --no-tests=error --label-exclude end-to-end \
		-R '^(FormatTimeRecord|UtcTime|TimeToNextSecond|SleepToNextSecond|TimeFile|TimeFileStates|ReportChange)\.' \
		>"$build/$arch-tests.log" 2>&1; then
		echo "cross_test: $arch: $(grep -E 'tests passed' "$build/$arch-tests.log")"
	else
		cat "$build/$arch-tests.log"
		fail "$arch: unit tests failed under emulation"
	fi
done

echo "| architecture | package | record seen under emulation | 64-bit time calls (32-bit only) |"
echo "|---|---|---|---|"
printf '%s\n' "${summary[@]}"
if [ "$failures" -ne 0 ]; then
	echo "cross_test: $failures failed"
	exit 1
fi
echo "cross_test: passed"
