#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, SONVEL_FUZZ=ON, in their own build directory) when
# needed and runs each in turn for SECONDS (default 60) on a scratch copy of its seed corpus,
# so that the inputs it finds never pile up in the tree. Prints one line per target:
# executions, coverage (libFuzzer's cov: and ft:) and what it found. Exit status 1 when any
# target found a crash, leak, time-out (10 s per input) or out-of-memory (2 GiB); the
# reproducer is kept under BUILD_DIR/findings/ and its path and stack are printed.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   e.g. scripts/fuzz.sh 20 fuzz_wave
# Environment: BUILD_DIR (default build-fuzz), FUZZ_FLAGS (more libFuzzer flags), FUZZ_NO_BUILD=1
# (run the targets as built, e.g. two runs side by side over one build).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
shift || true
BUILD_DIR=${BUILD_DIR:-build-fuzz}
ROOT=$PWD

bash scripts/install-deps.sh >/dev/null
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    GEN=()
    if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
    CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DSONVEL_FUZZ=ON -DSONVEL_GUI=OFF \
        -DSONVEL_WERROR=ON -DSONVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
readers=()
for d in fuzz/corpus/*/; do readers+=("$(basename "$d")"); done
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for r in "${readers[@]}"; do targets+=("fuzz_$r"); done
fi
if [ -z "${FUZZ_NO_BUILD:-}" ]; then
    cmake --build "$BUILD_DIR" -j "$(nproc)" --target "${targets[@]}"
fi

# Every target gets its own $TMPDIR, so that nothing a target writes (its private directory
# included, should the target die) outlives the run.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sonvel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
findings_dir="$ROOT/$BUILD_DIR/findings"
mkdir -p "$findings_dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

printf '%-24s %12s %8s %8s  %s\n' target executions cov ft findings >"$scratch/table"
failed=0
for t in "${targets[@]}"; do
    reader=${t#fuzz_}
    work="$scratch/$reader"
    mkdir -p "$work/corpus" "$work/tmp" "$work/artifacts"
    cp -r "fuzz/corpus/$reader/." "$work/corpus/"
    dict=()
    if [ -f "fuzz/$reader.dict" ]; then dict=(-dict="fuzz/$reader.dict"); fi
    echo "== $t for ${SECONDS_EACH} s"
    status=0
    # shellcheck disable=SC2086
    TMPDIR="$work/tmp" "$BUILD_DIR/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "${dict[@]}" ${FUZZ_FLAGS:-} "$work/corpus" >"$work/log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    cov=$( (grep -o 'cov: [0-9]*' "$work/log" || true) | tail -n 1 | cut -d' ' -f2)
    ft=$( (grep -o 'ft: [0-9]*' "$work/log" || true) | tail -n 1 | cut -d' ' -f2)
    found="none"
    artifacts=("$work/artifacts"/*)
    if [ -e "${artifacts[0]}" ]; then
        failed=1
        mkdir -p "$findings_dir/$t"
        found=""
        for a in "${artifacts[@]}"; do
            cp "$a" "$findings_dir/$t/"
            cp "$work/log" "$findings_dir/$t/$(basename "$a").log"
            found+="$(basename "$a" | cut -d- -f1) $findings_dir/$t/$(basename "$a") "
        done
        echo "$t found: $found"
        grep -E -A40 '^==[0-9]+==ERROR|runtime error|^fuzz: |ALARM|out-of-memory|deadly signal' \
            "$work/log" | head -n 80 || true
    elif [ "$status" -ne 0 ]; then
        failed=1
        found="exit status $status without a reproducer"
        tail -n 40 "$work/log"
    fi
    printf '%-24s %12s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$found" \
        >>"$scratch/table"
    rm -rf "$work"
done
echo
cat "$scratch/table"
exit $failed
