# What the package tests share on the host: where things are, the cached
# Debian roots, a copy of the source tree, a container on a root, and how
# failures are counted. Sourced by bash.

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
prog=$(basename "$0" .sh)
version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
cache=/var/cache/vantrel-test
host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
failures=0

fail() { echo "$prog: $*" >&2; failures=$((failures + 1)); }

finish() {
	if [ "$failures" -ne 0 ]; then
		echo "$prog: $failures failed"
		exit 1
	fi
	echo "$prog: passed"
}

# The Debian mirror that apt uses here.
mirror() {
	apt-cache policy | awk '/\/debian [a-z-]+\/main / && $2 ~ /^https?:/ { print $2; exit }'
}

# Copies the source tree, as git sees it, to $1/source.
copy_tree() {
	rm -rf "$1"
	mkdir -p "$1/source"
	(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
		tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$1/source"
}

# Runs a container on the Debian root $1: an optional --timeout=SECONDS,
# systemd-nspawn's options (without --volatile, changes stay), the command.
container() {
	local root=$1 limit=
	shift
	case ${1:-} in --timeout=*) limit=${1#--timeout=} && shift ;; esac
	${limit:+timeout "$limit"} systemd-nspawn --quiet --keep-unit --register=no --directory="$root" "$@" </dev/null
}

# Runs debian/tests/daemon on the daemon command $1 (an emulator may come
# first) with its file's top-level directory on a private tmpfs.
daemon_check() {
	local file
	file=$(VANTREL=$1 sh -c '. "$0" && echo "$time_file"' "$source_dir/debian/tests/lib.sh")
	[ -n "$file" ] || { echo "$prog: no start-up line in $1" >&2; return 1; }
	file=${file#/}
	unshare --mount --propagation private sh -c 'mount -t tmpfs vantrel-check "$1" && VANTREL="$2" "$3"' \
		daemon_check "/${file%%/*}" "$1" "$source_dir/debian/tests/daemon"
}
