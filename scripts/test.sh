#!/usr/bin/env bash
# Checks the tree's format, layering and function lengths, builds Corvane from scratch in Debug
# with AddressSanitizer and UndefinedBehaviorSanitizer, checks every unit once more with clang
# (syntax only, warnings as errors), runs every test, then builds the fuzz targets with clang and
# runs each for a short bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

export TZ=UTC LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}

# A clone in another folder reuses what a build of the same sources compiled before: ccache
# hashes paths relative to the clone.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

build=${CORVANE_BUILD_DIR:-$root/build/test}
jobs=$(nproc)

echo "== format"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z '*.h' '*.hpp' '*.cpp' '*.c'
else
    find app bench engine grid platform support tests tools -type f \
        \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \) -print0
fi | xargs -0 -r clang-format --dry-run -Werror

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON

echo "== layering"
python3 scripts/check_layering.py --build "$build"

echo "== function length"
python3 scripts/check_function_length.py --known scripts/long_functions.txt

cmake --build "$build" -j "$jobs"

echo "== clang"
CORVANE_JOBS=$jobs bash scripts/check_clang.sh "$build"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600

echo "== fuzz"
CORVANE_FUZZ_SEED=${CORVANE_FUZZ_SEED:-1} \
CORVANE_FUZZ_BUILD_DIR=${CORVANE_FUZZ_BUILD_DIR:-$root/build/fuzz} CORVANE_JOBS=$jobs \
    bash scripts/fuzz.sh "${CORVANE_FUZZ_SECONDS:-30}"
