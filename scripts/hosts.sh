#!/usr/bin/env bash
# Debian 12 (bookworm), 13 (trixie) and sid trees with their own OBS, built with debootstrap on a Debian 12 machine
# (as root) and cached outside the clone, so that the tests can build, package and run the plug-in in those OBS;
# and "fresh", a minimal Debian 12, a new machine on which the project's install step must do everything.
#
#   scripts/hosts.sh build RELEASE                  build the tree, or reuse the cached one
#   scripts/hosts.sh enter RELEASE [--base] [--in-memory] -- CMD  run CMD here, with LORVALEN_HOST_ROOT a clean
#                                                   copy of it
#   scripts/hosts.sh run RELEASE [--base] [--in-memory] [--net] -- CMD   run CMD inside a clean copy of it
#
# A tree is two layers: "base" is what a user of that release has (obs-studio and what it needs to show a
# window), "dev" adds the build and test packages. Each layer is rebuilt when its package list changes.
# fresh has only the base layer: debootstrap's minimal system.
# enter and run mount an overlay of the layers with a throw-away upper folder in a mount namespace of their
# own, so nothing a command does stays in the cache but the packages apt-get fetched; /tmp and the clone are
# bound at the same paths inside.
# run has a private loopback unless --net is given. --in-memory keeps the copy's changes in memory (tmpfs), for
# commands that install many packages into it. LORVALEN_HOSTS_CACHE moves the cache.
set -euo pipefail

cache=${LORVALEN_HOSTS_CACHE:-/var/cache/lorvalen-hosts}
root=$(cd "$(dirname "$0")/.." && pwd)
mirror=http://deb.debian.org/debian

user_packages="obs-studio qt6-qpa-plugins qt6-svg-plugins libgl1-mesa-dri libegl-mesa0 libglx-mesa0
	fonts-dejavu-core ca-certificates"
build_packages="cmake g++ make pkg-config binutils libobs-dev qt6-base-dev qtbase5-dev
	libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth python3 dpkg-dev file
	libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-wpe gstreamer1.0-plugins-base
	gstreamer1.0-plugins-good iproute2 build-essential debhelper lintian"

die() {
	echo "hosts: $*" >&2
	exit 1
}

# Called through unshare -m: mounts an overlay of LOWER (upper folder UPPER) at ROOT, or uses ROOT as it is
# when LOWER is "-", mounts what programs inside expect, binds /tmp, the clone and ARCHIVES (when not "-"),
# and runs CMD on this side with LORVALEN_HOST_ROOT=ROOT.
inside() { # inside LOWER UPPER ROOT ARCHIVES CMD...
	local lower=$1 upper=$2 tree=$3 archives=$4
	shift 4
	mount --make-rprivate /
	if [[ "${LORVALEN_HOSTS_IN_MEMORY:-}" == 1 ]]; then
		mount -t tmpfs -o mode=0755 tmpfs "$upper"
		mkdir -p "$tree"
	fi
	if [[ "$lower" != - ]]; then
		mkdir -p "$upper/upper" "$upper/work"
		mount -t overlay overlay -o "lowerdir=$lower,upperdir=$upper/upper,workdir=$upper/work" "$tree"
	fi
	mount -t proc proc "$tree/proc"
	mount --rbind /sys "$tree/sys"
	mount --rbind /dev "$tree/dev"
	mount -t devpts -o newinstance,ptmxmode=0666 devpts "$tree/dev/pts"
	mount -t tmpfs tmpfs "$tree/dev/shm"
	mount --rbind /tmp "$tree/tmp"
	mkdir -p "$tree$root"
	mount --bind "$root" "$tree$root"
	[[ "$archives" == - ]] || mount --bind "$archives" "$tree/var/cache/apt/archives"
	cp /etc/resolv.conf "$tree/etc/resolv.conf"
	LORVALEN_HOST_ROOT=$tree LORVALEN_HOST_UPPER=$upper/upper "$@"
}

apt_in() { # apt_in LOWER UPPER ROOT apt-get args...: apt-get in the tree, with the release's cached archives
	local lower=$1 upper=$2 tree=$3
	shift 3
	unshare -m "$0" _inside "$release" "$lower" "$upper" "$tree" "$cache/archives/$suite" \
		env DEBIAN_FRONTEND=noninteractive chroot "$tree" apt-get -o Acquire::Check-Valid-Until=false \
		-o Acquire::Retries=3 "$@"
}

layer_key() { # layer_key NAME PACKAGES...: what the layer is made of
	echo "$release $mirror $*" | tr -s ' \t\n' ' '
}

build() {
	mkdir -p "$cache/archives/$suite/partial" || die "cannot create $cache"
	local base="$cache/$release/base" dev="$cache/$release/dev" key
	key=$(layer_key base $base_packages)
	if [[ "$(cat "$base.key" 2>/dev/null)" != "$key" ]]; then
		echo "hosts: building the $release base tree in $base"
		rm -rf "$base" "$base.key" "$dev" "$dev.key" "$base.new"
		mkdir -p "$base.new"
		unshare -m debootstrap --variant=minbase --cache-dir="$cache/archives/$suite" "$suite" "$base.new" "$mirror" \
			>"$cache/$release.debootstrap.log" 2>&1 ||
			die "debootstrap of $release failed (log: $cache/$release.debootstrap.log): $(tail -n 3 "$cache/$release.debootstrap.log")"
		{ apt_in - - "$base.new" update -q && { [[ -z "$base_packages" ]] ||
			apt_in - - "$base.new" install -y -q --no-install-recommends $base_packages; }; } \
			>"$cache/$release.base.log" 2>&1 || die "installing OBS into $release failed (log: $cache/$release.base.log)"
		mv "$base.new" "$base"
		echo "$key" >"$base.key"
	fi
	key=$(layer_key dev $base_packages $dev_packages)
	if [[ -n "$dev_packages" && "$(cat "$dev.key" 2>/dev/null)" != "$key" ]]; then
		echo "hosts: building the $release dev layer in $dev"
		rm -rf "$dev" "$dev.key" "$dev.new"
		mkdir -p "$dev.new" "$cache/$release/mnt"
		apt_in "$base" "$dev.new" "$cache/$release/mnt" install -y -q --no-install-recommends $dev_packages \
			>"$cache/$release.dev.log" 2>&1 ||
			die "installing the build packages into $release failed (log: $cache/$release.dev.log)"
		rm -rf "$dev.new/work"
		mv "$dev.new/upper" "$dev"
		rm -rf "$dev.new"
		echo "$key" >"$dev.key"
	fi
	echo "hosts: $release ready ($(du -sh "$cache/$release" | cut -f1); archives $(du -sh "$cache/archives/$suite" | cut -f1))"
}

# A clean copy of the tree for CMD: an overlay with a throw-away upper folder, removed afterwards.
enter() { # enter LAYERS CMD...
	local lower=$1 scratch rc=0
	shift
	mkdir -p "$cache/scratch"
	scratch=$(mktemp -d "$cache/scratch/$release.XXXXXX")
	mkdir -p "$scratch/root"
	unshare -m "$0" _inside "$release" "$lower" "$scratch" "$scratch/root" "$cache/archives/$suite" "$@" || rc=$?
	rm -rf "$scratch"
	return "$rc"
}

command=${1:-}
release=${2:-}
[[ "$command" =~ ^(build|enter|run|_inside)$ && "$release" =~ ^[a-z]+$ ]] || {
	sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//' >&2
	exit 2
}
shift 2
base_packages=$user_packages
dev_packages=$build_packages
suite=$release
if [[ "$release" == bookworm ]]; then
	# Debian 12's OBS links Qt 5, whose platform and SVG plug-ins come with it; Qt 6's are of no use there.
	base_packages=${base_packages//qt6-*-plugins/}
elif [[ "$release" == fresh ]]; then
	suite=bookworm
	base_packages=""
	dev_packages=""
else
	# WebKit's web process extension API, for the mended wpe web extension (Debian 12's WebKit has none).
	dev_packages+=" libwpewebkit-2.0-dev"
fi
if [[ "$command" == _inside ]]; then
	inside "$@"
	exit
fi
[[ $(id -u) -eq 0 ]] || die "needs root (debootstrap, chroot and mounts)"
if [[ "$command" == build ]]; then
	command -v debootstrap >/dev/null || die "debootstrap is not installed (apt-get install debootstrap)"
	build
	exit 0
fi

layers="$cache/$release/dev:$cache/$release/base"
[[ -n "$dev_packages" ]] || layers="$cache/$release/base"
net=0
while [[ $# -gt 0 && "$1" != -- ]]; do
	case "$1" in
	--base) layers="$cache/$release/base" ;;
	--net) net=1 ;;
	--in-memory) export LORVALEN_HOSTS_IN_MEMORY=1 ;;
	*) die "unknown option $1" ;;
	esac
	shift
done
[[ "${1:-}" == -- ]] && shift
[[ $# -gt 0 ]] || die "no command"
[[ -f "$cache/$release/base.key" ]] || die "no $release tree in $cache: run scripts/hosts.sh build $release"
if [[ "$layers" == *dev* && ! -f "$cache/$release/dev.key" ]]; then
	die "no $release dev layer in $cache: run scripts/hosts.sh build $release"
fi

if [[ "$command" == enter ]]; then
	enter "$layers" "$@"
elif ((net)); then
	enter "$layers" sh -c 'cd "$1" && shift && exec chroot "$LORVALEN_HOST_ROOT" env -C "$PWD" "$@"' sh "$PWD" "$@"
else
	enter "$layers" unshare -n sh -c 'ip link set lo up && cd "$1" && shift &&
		exec chroot "$LORVALEN_HOST_ROOT" env -C "$PWD" "$@"' sh "$PWD" "$@"
fi
