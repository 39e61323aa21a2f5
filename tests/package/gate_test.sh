#!/usr/bin/env bash
# Debian's own quality gate on the package that package_test.sh built in
# BUILD_DIR: blhc on its build log, a second build elsewhere and later that
# must give bit-identical packages, the as-installed tests (autopkgtest, in
# a user namespace unpacked from the cached Debian root), and install and
# purge in a clean root (piuparts). Usage: gate_test.sh [BUILD_DIR]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build=${1:-$source_dir/build-deb}
root=$cache/$host_release
deb=$build/vantrel_${version}_$arch.deb

echo "gate_test: blhc"
blhc --all --debian --line-numbers "$build/build.log" || fail "blhc found missing build flags"

echo "gate_test: reproducible: a second build, elsewhere, later, with another umask and locale"
again=$build-again
(umask 0002 && LC_ALL=C.UTF-8 TZ=Pacific/Kiritimati faketime -f '+3d' \
	"$here/build_package.sh" "$again" -Pnocheck) || fail "the second build failed"
for package in vantrel vantrel-dbgsym; do
	first=$(sha256sum <"$build/${package}_${version}_$arch.deb")
	second=$(sha256sum <"$again/${package}_${version}_$arch.deb")
	echo "gate_test: ${package}_${version}_$arch.deb: ${first%% *} / ${second%% *}"
	[ "$first" = "$second" ] || fail "$package is not reproducible"
done

# The cached root as the tarball that autopkgtest and piuparts start from.
"$here/debian_root.sh" "$root"
tarball=$root.tar.gz
if [ ! -f "$tarball" ] || [ -n "$(find "$root/var/lib/dpkg/status" -newer "$tarball")" ]; then
	tar -C "$root" -czf "$tarball.new" . && mv "$tarball.new" "$tarball"
fi
# Subordinate ids for the testbed's users, above any useradd hands out
# (SUB_UID_MAX is 600100000); an earlier, overlapping range of ours goes.
for map in /etc/subuid /etc/subgid; do
	[ -f "$map" ] && sed -i '/^root:100000:65536$/d' "$map"
	grep -qs '^root:' "$map" || echo 'root:700000000:65536' >>"$map"
done

echo "gate_test: autopkgtest: the daemon and the init script as installed"
rm -rf "$build/autopkgtest"
status=0
autopkgtest --output-dir "$build/autopkgtest" "$deb" "$source_dir/" -- unshare --tarball "$tarball" \
	>"$build/autopkgtest.log" 2>&1 || status=$?
cat "$build/autopkgtest/summary" 2>/dev/null || true
# 0: all passed; 2: some were skipped (the booted-service test wants a machine).
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
	tail -n 40 "$build/autopkgtest.log"
	fail "autopkgtest failed ($status)"
fi

echo "gate_test: piuparts"
if piuparts --basetgz "$tarball" --mirror "$(mirror) main" --distribution "$host_release" \
	--warn-on-leftovers-after-purge "$deb" >"$build/piuparts.log" 2>&1; then
	grep -E '^[0-9:]+ PASS|^0m[0-9.]+s (INFO|WARN|ERROR)' "$build/piuparts.log" | tail -n 3
	tail -n 1 "$build/piuparts.log"
else
	tail -n 40 "$build/piuparts.log"
	fail "piuparts failed"
fi
finish
