#!/usr/bin/env bash
# Installs what is missing, builds and runs sonvel with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then GEN=(); fi
cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target sonvel >/dev/null
exec "$BUILD_DIR/sonvel" "$@"
