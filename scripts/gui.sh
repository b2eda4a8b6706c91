#!/usr/bin/env bash
# Installs what is missing, builds sonvel-gui and opens the window. Without arguments it
# measures on the simulated loudspeaker (--sim speaker); with arguments they go to sonvel-gui,
# e.g. scripts/gui.sh --user-dir /tmp/try meas.zip (the devices of the options are used then).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then GEN=(); fi
cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target sonvel-gui >/dev/null
if [ "$#" -eq 0 ]; then
    echo "Measuring on the simulated loudspeaker (sonvel-gui --sim speaker)"
    set -- --sim speaker
fi
exec "$BUILD_DIR/sonvel-gui" "$@"
