#!/usr/bin/env bash
# The main job: builds the plug-in for the OBS installed here (its Qt major read from the obs binary),
# installs it and the page source module (browser_source for an OBS without a browser plug-in) for the
# current user, starts the demo studio server and starts OBS.
# Usage: scripts/install.sh [--no-start]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

obs_bin=$(command -v obs || true)
if [[ -z "$obs_bin" ]]; then
	echo "install: OBS Studio is not installed (apt-get install obs-studio)" >&2
	exit 1
fi
qt_major=$(readelf -d "$obs_bin" | grep -o 'libQt[56]Core' | head -1 | tr -dc '56')
if [[ -z "$qt_major" ]]; then
	echo "install: cannot tell which Qt $obs_bin uses; assuming Qt 6" >&2
	qt_major=6
fi
echo "install: $obs_bin uses Qt $qt_major"

build="$root/build-qt$qt_major-release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVALEN_QT_MAJOR="$qt_major" \
	-DLORVALEN_INSTALL_LAYOUT=user -DLORVALEN_BUILD_TESTS=OFF -DLORVALEN_BUILD_BENCH=OFF \
	-DCMAKE_INSTALL_PREFIX="$HOME/.config/obs-studio/plugins"
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" --component plugin
echo "install: installed into $HOME/.config/obs-studio/plugins/lorvalen-pgm and .../lorvalen-page-source"

if [[ "${1:-}" == "--no-start" ]]; then
	exit 0
fi

# A demo studio server on the plug-in's default address, so the dialog lists studios at once.
if ! (exec 3<>/dev/tcp/127.0.0.1/3000) 2>/dev/null; then
	nohup /usr/bin/python3 "$root/scripts/demo_server.py" --port 3000 >"$build/demo-server.log" 2>&1 &
	echo "install: demo studio server on http://127.0.0.1:3000 (pid $!, log $build/demo-server.log)"
else
	echo "install: something already listens on 127.0.0.1:3000; not starting the demo server"
fi
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
	echo "install: no display; start OBS yourself, then choose Tools > Lorvalen PGM Source..."
	exit 0
fi
nohup obs >"$build/obs.log" 2>&1 &
echo "install: OBS started (pid $!); choose Tools > Lorvalen PGM Source..."
