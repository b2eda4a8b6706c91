#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite.
# Usage: scripts/test.sh [ctest arguments...]   e.g. scripts/test.sh -L unit
# Environment: BUILD_DIR (default build), SONVEL_WERROR (default ON), SONVEL_SANITIZE (OFF),
# SONVEL_TSAN (OFF), SONVEL_FUZZ (OFF; needs CC=clang CXX=clang++ at the first configure),
# SONVEL_BUILD_BENCH (ON), SONVEL_GUI (ON), BUILD_TARGETS (default all).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then GEN=(); fi
cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
      -DSONVEL_WERROR=${SONVEL_WERROR:-ON} -DSONVEL_SANITIZE=${SONVEL_SANITIZE:-OFF} \
      -DSONVEL_TSAN=${SONVEL_TSAN:-OFF} -DSONVEL_FUZZ=${SONVEL_FUZZ:-OFF} \
      -DSONVEL_BUILD_BENCH=${SONVEL_BUILD_BENCH:-ON} -DSONVEL_GUI=${SONVEL_GUI:-ON}
if [ -n "${BUILD_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$BUILD_DIR" -j "$(nproc)" --target ${BUILD_TARGETS}
else
    cmake --build "$BUILD_DIR" -j "$(nproc)"
fi
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
