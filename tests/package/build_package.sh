#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage in a copy of the source
# tree, so that all it leaves beside and inside the tree stays under OUT.
# Usage: build_package.sh OUT [dpkg-buildpackage options...]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
shift

rm -rf "$out"
mkdir -p "$out/source"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
	(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
		tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$out/source"
else
	tar -C "$source_dir" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$out/source"
fi
if ! (cd "$out/source" && dpkg-buildpackage -us -uc -b "$@") >"$out/build.log" 2>&1; then
	tail -n 80 "$out/build.log" >&2
	echo "build_package: dpkg-buildpackage $* failed; the whole log is $out/build.log" >&2
	exit 1
fi
