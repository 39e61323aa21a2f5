#!/usr/bin/env bash
# Cross-builds the Debian package for every release architecture and checks
# each: lintian, the dynamic time symbols of the 32-bit ones (they must call
# the 64-bit clock), and the packaged daemon run under user-mode emulation
# by the as-installed daemon check (debian/tests/daemon), its file on a
# private tmpfs. riscv64 is built in the cached Debian 13 root, the first
# release to carry it; mipsel and mips64el, which Debian 13 dropped, here.
# The tests but the end-to-end ones also run under emulation for a 32-bit
# and a big-endian architecture (armhf, s390x).
# Usage: cross_test.sh [BUILD_DIR] [ARCH...]   (as root: it needs a mount namespace)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build=${1:-$source_dir/build-cross}
shift || true
mkdir -p "$build"
trixie=$cache/trixie

# arch, GNU triplet, emulator, whether time_t is 32 bits by default, systemd's name.
targets="
arm64 aarch64-linux-gnu qemu-aarch64-static no arm64
armel arm-linux-gnueabi qemu-arm-static yes arm
armhf arm-linux-gnueabihf qemu-arm-static yes arm
i386 i686-linux-gnu qemu-i386-static yes x86
mipsel mipsel-linux-gnu qemu-mipsel-static yes mips-le
mips64el mips64el-linux-gnuabi64 qemu-mips64el-static no mips64-le
ppc64el powerpc64le-linux-gnu qemu-ppc64le-static no ppc64-le
s390x s390x-linux-gnu qemu-s390x-static no s390x
riscv64 riscv64-linux-gnu qemu-riscv64-static no riscv64
"
wanted=("$@")

summary=() linted=()

# Whether the architecture $1 is asked for (all are by default).
asked() { ! ((${#wanted[@]})) || printf '%s\n' "${wanted[@]}" | grep -qx "$1"; }
chosen=$(while read -r arch rest; do if [ -n "$arch" ] && asked "$arch"; then echo "$arch $rest"; fi; done <<<"$targets")

# A build is mostly one busy process: two at a time.
while read -r arch rest; do
	echo "cross_test: $arch: dpkg-buildpackage -a $arch -Pcross,nocheck"
	rm -rf "${build:?}/$arch"
	in=() # riscv64 in the Debian 13 root, with its cross toolchain
	[ "$arch" != riscv64 ] || in=("--in=$trixie")
	{ { [ -z "${in[*]}" ] || "$here/debian_root.sh" "$trixie" crossbuild-essential-riscv64 libc6:riscv64 libgcc-s1:riscv64; } &&
		"$here/build_package.sh" "$build/$arch" "${in[@]}" -a "$arch" -Pcross,nocheck; } >"$build/$arch.build" 2>&1 &
	while (($(jobs -rp | wc -l) >= 2)); do wait -n || true; done
done <<<"$chosen"
wait

while read -r arch triplet emulator narrow_time syscalls; do
	out=$build/$arch
	[ -f "$out/vantrel_${version}_$arch.deb" ] || { cat "$build/$arch.build" && fail "$arch: build failed" && continue; }
	[ -f "$out/vantrel-dbgsym_${version}_$arch.deb" ] || fail "$arch: no -dbgsym package"
	sysroot=/
	if [ "$arch" = riscv64 ]; then # built, so linted, in the Debian 13 root
		sysroot=$trixie
		container "$trixie" --volatile=overlay --bind="$out:/build" lintian --pedantic --display-info --fail-on error,warning \
			"/build/vantrel_${version}_$arch.changes" || fail "$arch: lintian found errors or warnings"
	else
		linted+=("$out/vantrel_${version}_$arch.changes")
	fi

	dpkg-deb -x "$out/vantrel_${version}_$arch.deb" "$out/root"
	daemon=$out/root/usr/sbin/vantrel
	file "$daemon"
	grep -qsx "SystemCallArchitectures=native $syscalls" "$out"/root/{usr/,}lib/systemd/system/vantrel.service || fail "$arch: the unit does not allow $syscalls system calls"
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

	# The C library is the one dpkg installed for that architecture under
	# SYSROOT; the cross toolchain's own copy can differ in version.
	echo "cross_test: $arch: the packaged daemon under $emulator"
	daemon_check "$emulator -L $sysroot $daemon" >"$out/daemon.log" 2>&1 && seen=$(grep -o '"[0-9 ]*" at .*' "$out/daemon.log" || echo yes) ||
		{ seen=no && fail "$arch: the daemon check failed"; }
	cat "$out/daemon.log"
	summary+=("| $arch | built | $seen | $time_symbols |")
done <<<"$chosen"

# One lintian for every package built here: each start costs seconds.
if ((${#linted[@]})); then
	echo "cross_test: lintian, on ${#linted[@]} architectures"
	lintian --pedantic --display-info --fail-on error,warning "${linted[@]}" </dev/null ||
		fail "lintian found errors or warnings"
fi

# Every test built for a 32-bit and a big-endian architecture, run under
# emulation, but the end-to-end ones, which want a native daemon.
for target in armhf:arm-linux-gnueabihf:qemu-arm-static:arm s390x:s390x-linux-gnu:qemu-s390x-static:s390x; do
	IFS=: read -r arch triplet emulator processor <<<"$target"
	asked "$arch" || continue
	echo "cross_test: $arch: unit tests under $emulator"
	cmake -S "$source_dir" -B "$build/$arch-tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor" \
		-DCMAKE_CXX_COMPILER="$triplet-g++" -DBUILD_TESTING=ON \
		"-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator;-L;/" >/dev/null
	cmake --build "$build/$arch-tests" --parallel >/dev/null
	if ctest --test-dir "$build/$arch-tests" --output-on-failure --no-tests=error --label-exclude end-to-end \
		>"$build/$arch-tests.log" 2>&1; then
		echo "cross_test: $arch: $(grep -E 'tests passed' "$build/$arch-tests.log")"
	else
		cat "$build/$arch-tests.log"
		fail "$arch: unit tests failed under emulation"
	fi
done

echo "| architecture | package | record under emulation, and the time then | 64-bit time calls (32-bit only) |"
echo "|---|---|---|---|"
printf '%s\n' "${summary[@]}"
finish
