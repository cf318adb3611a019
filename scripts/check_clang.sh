#!/usr/bin/env bash
# Compiles every translation unit of a configured GCC build once more with clang, syntax only,
# with the same warnings as errors, so code that one compiler accepts and the other refuses (or
# warns about) is caught before it lands. Runs one clang per core.
#
#   scripts/check_clang.sh [build folder]     (default: $CORVANE_BUILD_DIR, else build/test)
#
# The build folder needs compile_commands.json (CMake writes it at configure time). Generated
# sources (Qt's moc output) exist only after a build; those still missing are skipped and
# counted. CORVANE_JOBS sets how many run at once (default: one per core). Exit status 0 when
# every unit is clean, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${CORVANE_BUILD_DIR:-$root/build/test}}
clang=${CORVANE_CLANGXX:-clang++}
database="$build/compile_commands.json"
jobs=${CORVANE_JOBS:-$(nproc)}

if [[ ! -f "$database" ]]; then
    echo "check_clang: $database not found; configure the build first" >&2
    exit 1
fi
command -v "$clang" >/dev/null || { echo "check_clang: $clang not found" >&2; exit 1; }

commands=$(mktemp)
trap 'rm -f "$commands"' EXIT

# One shell command per line: enter the unit's folder and run clang on it.
python3 - "$database" "$clang" >"$commands" <<'EOF'
import json
import os
import shlex
import sys

database, clang = sys.argv[1], sys.argv[2]
# GCC's spellings clang does not know (or spells another way); unknown warning options
# would otherwise fail the -Werror run.
gcc_only_prefixes = ("-Wshadow=", "-Wno-restrict", "-Wrestrict", "-Wstringop-",
                     "-Wno-stringop-", "-Wlogical-op", "-Wduplicated-", "-Wuseless-cast",
                     "-fno-tree-", "-fconcepts-diagnostics-depth")
skipped = 0
for entry in json.load(open(database)):
    source = entry["file"]
    if not os.path.exists(source):
        skipped += 1
        continue
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    # Drop a compiler launcher such as ccache, then the compiler itself.
    while args and os.path.basename(args[0]) in ("ccache", "sccache"):
        args = args[1:]
    args = args[1:]
    kept = [clang, "-fsyntax-only", "-Werror"]
    skip_next = False
    for arg in args:
        if skip_next:
            skip_next = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip_next = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith(gcc_only_prefixes):
            continue
        kept.append(arg)
    print("cd %s && %s" % (shlex.quote(entry["directory"]), shlex.join(kept)))
if skipped:
    print("check_clang: %d generated sources not built yet, skipped" % skipped, file=sys.stderr)
EOF

units=$(wc -l <"$commands")
echo "check_clang: $units translation units, $jobs at a time"
# Each unit's diagnostics are printed in one piece so parallel reports do not interleave.
if xargs -d '\n' -n 1 -P "$jobs" \
    sh -c 'out=$(sh -c "$1" 2>&1) || { printf "%s\n" "$out"; exit 1; }' check_clang \
    <"$commands"; then
    echo "check_clang: clean"
else
    echo "check_clang: clang reported errors or warnings (above)" >&2
    exit 1
fi
