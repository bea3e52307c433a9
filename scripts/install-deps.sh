#!/usr/bin/env bash
# Installs, with apt-get, what building the plug-in needs; with --tests, also what its tests need.
# Usage: scripts/install-deps.sh [--tests] [--commands | --check]
#   --commands  installs nothing; prints the commands the lists below name, one per line
#   --check     installs nothing; fails, naming them, when any of those commands is missing
#
# The one list of what the main job (build_packages) and the test stages (test_packages) use. Each entry is a
# Debian package, followed by the commands the scripts call from it: "package:command:command". The fresh
# stage of scripts/test.sh installs these into a minimal Debian 12 and checks that every command is there
# afterwards, and that the scripts call no other command than these and a minimal Debian's own.
set -euo pipefail

build_packages=(
	cmake:cmake:ctest g++:g++ make:make pkg-config:pkg-config binutils:readelf python3:python3
	libobs-dev obs-studio:obs qt6-base-dev qtbase5-dev
	libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-wpe
	gstreamer1.0-plugins-good
)
test_packages=(
	git:git xvfb:Xvfb:xvfb-run xauth:xauth libgtest-dev libgmock-dev googletest libbenchmark-dev
	clang:clang:clang++ clang-format:clang-format clang-tidy:clang-tidy libclang-rt-14-dev
	python3-websocket python3-pyatspi at-spi2-core dbus:dbus-run-session dbus-x11
	xdotool:xdotool x11-utils imagemagick:import util-linux:unshare iproute2:ip procps:pgrep gdb:gdb
	libgl1-mesa-dri libegl-mesa0 libglx-mesa0 debootstrap:debootstrap gstreamer1.0-tools:gst-launch-1.0
	dpkg-dev:dpkg-parsechangelog
)

# The mended wpe web extension needs WebKit's web process extension API, which Debian 12's WebKit has not.
. /etc/os-release
if [[ "${ID:-}" == debian && "${VERSION_ID:-99}" != 1[0-2] ]]; then
	build_packages+=(libwpewebkit-2.0-dev)
fi

entries=("${build_packages[@]}")
mode=install
for argument in "$@"; do
	case "$argument" in
	--tests) entries+=("${test_packages[@]}") ;;
	--commands) mode=commands ;;
	--check) mode=check ;;
	*)
		sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//' >&2
		exit 2
		;;
	esac
done

packages=()
commands=()
for entry in "${entries[@]}"; do
	IFS=: read -r -a parts <<<"$entry"
	packages+=("${parts[0]}")
	commands+=("${parts[@]:1}")
done

if [[ "$mode" == commands ]]; then
	printf '%s\n' "${commands[@]}"
	exit 0
fi
if [[ "$mode" == check ]]; then
	absent=()
	for command in "${commands[@]}"; do
		command -v "$command" >/dev/null || absent+=("$command")
	done
	if ((${#absent[@]})); then
		echo "install-deps: installed, yet missing: ${absent[*]}" >&2
		exit 1
	fi
	echo "install-deps: all ${#commands[@]} listed commands present"
	exit 0
fi

missing=()
for package in "${packages[@]}"; do
	if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
		missing+=("$package")
	fi
done
if ((${#missing[@]} == 0)); then
	echo "install-deps: all ${#packages[@]} packages present"
	exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
	sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
