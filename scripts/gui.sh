#!/usr/bin/env bash
# Installs what is missing, builds sonvel-gui and opens the window. Without arguments it
# measures on the simulated loudspeaker (--sim speaker); with arguments they go to sonvel-gui,
# e.g. scripts/gui.sh --user-dir /tmp/try meas.zip (the devices of the options are used then).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-target.sh sonvel-gui
BUILD_DIR=${BUILD_DIR:-build}
if [ "$#" -eq 0 ]; then
    echo "Measuring on the simulated loudspeaker (sonvel-gui --sim speaker)"
    set -- --sim speaker
fi
exec "$BUILD_DIR/sonvel-gui" "$@"
