#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time on its committed seed corpus. Fails when any target finds a
# fault; the input that showed it is kept under <build>/fuzz-artifacts.
#
#   scripts/fuzz.sh [seconds per target]      (default 600: ten minutes each)
#
# CORVANE_FUZZ_SEED fixes libFuzzer's seed (CI sets it, so its runs repeat).
# CORVANE_FUZZ_BUILD_DIR chooses the build folder (default build/fuzz), CORVANE_JOBS the number
# of compile jobs (default: all cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-600}
build=${CORVANE_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${CORVANE_JOBS:-$(nproc)}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Asserts stay on (no NDEBUG); -O1 keeps the runs fast, line tables keep reports readable.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DCORVANE_FUZZ=ON -DCORVANE_SANITIZE=ON >/dev/null
# Only the fuzz programs and the libraries they link.
cmake --build "$build" -j "$jobs" --target fuzz_targets

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
failed=()
count=0
while IFS=$'\t' read -r program corpus dict; do
    [ -n "$program" ] || continue
    name=$(basename "$program")
    count=$((count + 1))
    work=$(mktemp -d)
    # New inputs go to the first folder, so the committed corpus stays as it is.
    folders=("$work")
    if [ -d "$corpus" ]; then
        folders+=("$corpus")
    else
        echo "fuzz: $name has no seed corpus ($corpus)" >&2
    fi
    options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$artifacts/$name-")
    # A fixed seed makes a run repeatable: the same corpus and program try the same inputs.
    if [ -n "${CORVANE_FUZZ_SEED:-}" ]; then
        options+=(-seed="$CORVANE_FUZZ_SEED")
    fi
    if [ -f "$dict" ]; then
        options+=(-dict="$dict")
    fi
    echo "fuzz: $name for ${seconds}s"
    if ! "$program" "${options[@]}" "${folders[@]}" >"$work.log" 2>&1; then
        tail -n 60 "$work.log" >&2
        failed+=("$name")
    else
        grep -E '^stat::(number_of_executed_units|new_units_added)' "$work.log" | sed "s/^/fuzz: $name /"
    fi
    rm -rf "$work" "$work.log"
done <"$build/fuzz_targets.txt"

if ((count == 0)); then
    echo "fuzz: no fuzz targets found" >&2
    exit 1
fi
if ((${#failed[@]})); then
    echo "fuzz: faults found by ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
echo "fuzz: $count target(s) ran clean"
