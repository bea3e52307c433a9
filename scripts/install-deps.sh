#!/usr/bin/env bash
# Installs, with apt-get, what building the plug-in needs; with --tests, also what its tests need.
# Usage: scripts/install-deps.sh [--tests]
set -euo pipefail

build_packages=(
	cmake g++ make pkg-config
	libobs-dev obs-studio
	qt6-base-dev qtbase5-dev
	libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-wpe
	gstreamer1.0-plugins-good
)
test_packages=(
	xvfb xauth libgtest-dev libgmock-dev googletest libbenchmark-dev
	clang clang-format clang-tidy libclang-rt-14-dev
	python3 python3-websocket python3-pyatspi at-spi2-core dbus dbus-x11
	xdotool x11-utils imagemagick util-linux iproute2 gdb libgl1-mesa-dri libegl-mesa0 libglx-mesa0
	debootstrap dpkg-dev
)

packages=("${build_packages[@]}")
if [[ "${1:-}" == "--tests" ]]; then
	packages+=("${test_packages[@]}")
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
