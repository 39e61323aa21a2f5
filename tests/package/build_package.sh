#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage in a copy of the source
# tree, so that all it leaves beside and inside the tree stays under OUT.
# Usage: build_package.sh OUT [dpkg-buildpackage options...]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

out=$1
shift
copy_tree "$out"
if ! (cd "$out/source" && dpkg-buildpackage -us -uc -b "$@") >"$out/build.log" 2>&1; then
	tail -n 80 "$out/build.log" >&2
	echo "build_package: dpkg-buildpackage $* failed; the whole log is $out/build.log" >&2
	exit 1
fi
