#!/usr/bin/env bash
# Installs the program into a fresh prefix and checks that everything a desktop
# needs is where the freedesktop conventions put it.
# Usage: install_test.sh <build folder> <source help folder>
set -euo pipefail
build=$1
help_source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
  echo "install: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >/dev/null

[ -x "$prefix/bin/corvane" ] || fail "bin/corvane is missing or not executable"
for module in libmapi32.so libSMTPServer.so; do
  file=$prefix/lib/corvane/$module
  if [ ! -f "$file" ]; then
    fail "lib/corvane/$module is missing"
  elif ! python3 - "$file" <<'PY'
import sys
# A shared object (ELF type 3); loading it here would need the build's own
# sanitizer run-time.
head = open(sys.argv[1], 'rb').read(18)
assert head[:4] == b'\x7fELF' and int.from_bytes(head[16:18], 'little') == 3
PY
  then
    fail "lib/corvane/$module is not a shared object"
  fi
done
# The relay module is found by its C entry point.
if [ -f "$prefix/lib/corvane/libSMTPServer.so" ] &&
  ! nm -D --defined-only "$prefix/lib/corvane/libSMTPServer.so" | grep -qw SendMail; then
  fail "libSMTPServer.so exports no SendMail"
fi

# Every help page of the source tree, and its style sheet.
for page in "$help_source"/*.html "$help_source"/help.css; do
  name=$(basename "$page")
  cmp -s "$page" "$prefix/share/corvane/help/$name" || fail "share/corvane/help/$name differs or is missing"
done

desktop=$prefix/share/applications/corvane.desktop
if [ ! -f "$desktop" ]; then
  fail "share/applications/corvane.desktop is missing"
else
  if command -v desktop-file-validate >/dev/null 2>&1; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop file refused: $out"
    [ -z "$out" ] || fail "desktop file warnings: $out"
  fi
  grep -qx 'Exec=corvane' "$desktop" || fail "the desktop file does not start corvane"
  grep -qx 'Icon=corvane' "$desktop" || fail "the desktop file names no icon corvane"
  # The list is read before the window first appears: the desktop's busy cursor covers it.
  grep -qx 'StartupNotify=true' "$desktop" || fail "the desktop shows no busy cursor at the start"
fi
icon=$prefix/share/icons/hicolor/scalable/apps/corvane.svg
if [ ! -f "$icon" ]; then
  fail "share/icons/hicolor/scalable/apps/corvane.svg is missing"
elif ! python3 - "$icon" <<'PY'
import sys, xml.etree.ElementTree as et
root = et.parse(sys.argv[1]).getroot()
assert root.tag.endswith('svg'), root.tag
PY
then
  fail "the icon is not an SVG picture"
fi

# The machine-wide settings that mark the Simple-MAPI module as installed.
cmp -s "$help_source/../data/registry.ini" "$prefix/etc/corvane/registry.ini" ||
  fail "etc/corvane/registry.ini differs or is missing"

# Nothing but these is installed: no headers, static libraries or tests.
stray=$(cd "$prefix" && find . -type f ! -path './bin/corvane' ! -path './lib/corvane/*.so' \
  ! -path './share/corvane/help/*' ! -path './share/applications/corvane.desktop' \
  ! -path './share/icons/hicolor/scalable/apps/corvane.svg' ! -path './etc/corvane/registry.ini')
[ -z "$stray" ] || fail "unexpected files installed: $stray"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "install: all in place under the prefix"
