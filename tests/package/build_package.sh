#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage in a fresh copy of the
# source tree, here or in a container of the cached Debian ROOT, so that
# all it leaves stays under OUT; with --newer, as the next version.
# VANTREL_TIME_FILE, where set, goes with it.
# Usage: build_package.sh OUT [--in=ROOT] [--newer] [dpkg-buildpackage options...]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

out=$1 root='' newer=''
shift
while case ${1:-} in --in=*) root=${1#--in=} ;; --newer) newer=yes ;; *) false ;; esac do shift; done
copy_tree "$out"
if [ -n "$newer" ]; then
	printf 'vantrel (%s.1) unstable; urgency=medium\n\n  * A newer build, to test the upgrade.\n\n -- %s  %s\n\n' \
		"$version" 'vantrel developers <vantrel@example.org>' "$(date -R)" | cat - "$source_dir/debian/changelog" >"$out/source/debian/changelog"
fi
if [ -z "$root" ]; then
	(cd "$out/source" && dpkg-buildpackage -us -uc -b "$@")
else
	container "$root" --private-network --volatile=overlay --bind="$out:/build" \
		${VANTREL_TIME_FILE:+"--setenv=VANTREL_TIME_FILE=$VANTREL_TIME_FILE"} \
		sh -c 'cd /build/source && dpkg-buildpackage -us -uc -b "$@"' build "$@"
fi >"$out/build.log" 2>&1 || {
	tail -n 80 "$out/build.log" >&2
	echo "build_package: dpkg-buildpackage $* failed; the whole log is $out/build.log" >&2
	exit 1
}
