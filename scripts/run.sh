#!/usr/bin/env bash
# Installs what is missing and builds sonvel. Without arguments it measures the simulated
# loudspeaker into A, lists the measurements and exports A's response, all in a scratch user
# directory (printed at the end). With arguments it runs sonvel with them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-target.sh sonvel
BUILD_DIR=${BUILD_DIR:-build}
if [ "$#" -gt 0 ]; then
    exec "$BUILD_DIR/sonvel" "$@"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sonvel-demo.XXXXXX")
sonvel() { "$BUILD_DIR/sonvel" --user-dir "$scratch" "$@"; }
sonvel --set Dev.SamplerateNo=1 measure A --sim speaker \
    --name "Simulated speaker"
sonvel list
sonvel export A "$scratch/speaker.txt"
echo "The response of A is in $scratch/speaker.txt; the session's files are in $scratch."
