#!/usr/bin/env bash
# Installs what is missing, configures a Release build in BUILD_DIR (default build) when
# needed and builds the targets given. Shared by run.sh and gui.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then GEN=(); fi
cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target "$@" >/dev/null
