#!/usr/bin/env python3
"""Checks that dependencies point one way, as design.md's table of folders says.

Every #include of a project header must name a folder the including folder uses
(directly or through the folders those use); Qt, vmime, libxml2, ICU, GoogleTest
and Google Benchmark headers may appear only where the table allows them. Given a
configured build folder (--build), it also checks each library's links: a target
links only targets its folders may use, and links directly every project target
whose headers its sources include.

Exit status 0 when the tree is clean, 1 with one line per fault otherwise.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# What each layer uses directly, in design.md's words. A layer may include its own
# headers, those of the layers it uses, and those of the layers they use in turn.
USES: dict[str, set[str]] = {
    "platform/os": set(),
    "platform/nls": set(),
    # Settings read and write UTF-8 and compare names without regard to case.
    "platform/config": {"platform/os", "platform/nls"},
    "platform/db": {"platform/os", "platform/nls"},
    # Lists of lines are the dataset framework's TStrings everywhere, controls too.
    "platform/ui": {"platform/os", "platform/config", "platform/db"},
    "platform/mail": {"platform/os", "platform/config"},
    "engine/storage": {"platform/os", "platform/nls", "platform/db"},
    "engine/core": {"engine/storage"},
    "engine/sql": {"engine/core"},
    "engine/dataset": {"engine/sql"},
    "support": {"platform/ui", "platform/mail", "platform/config", "platform/db"},
    # The engine's password dialog is the one part of support that sees the engine.
    "support/password_dialog": {"support", "engine/dataset"},
    "grid/core": {"platform/ui", "platform/db"},
    # The data-aware grid, its editors and its writers are one subsystem on the core.
    "grid/data": {"grid/core", "grid/editors", "grid/export"},
    "grid/editors": {"grid/core", "grid/data", "grid/export"},
    "grid/export": {"grid/core", "grid/data", "grid/editors"},
    # String lists (the dataset framework's TStringList) are the tree's one list of lines.
    "app/routines": {"platform/os", "platform/ui", "platform/db"},
    "app/list": {"engine/dataset", "platform/db", "platform/config", "app/routines"},
    "app/mail": {"platform/mail", "support", "app/list"},
    "app/forms": {"platform/ui", "grid/data", "support", "app/list", "app/mail"},
    "app/main.cpp": {"app/forms"},
}

# Tests and benchmarks of the data grid run it over real engine tables: the engine's
# dataset components are the grid's most demanding data source.
TEST_EXTRA: dict[str, set[str]] = {
    "grid/data": {"engine/dataset"},
    "grid/editors": {"engine/dataset"},
    "grid/export": {"engine/dataset"},
}

# The rules of the list and the mail-out hold no widgets: of the UI layer they reach through
# the general routines they may use the prompt service only.
WIDGET_FREE = {"app/list", "app/mail"}
# The prompt service and the hourglass are the UI services the rules may call.
UI_SERVICES = {"platform/ui/prompt.h", "platform/ui/cursor.h"}

# Layers that may include Qt.
QT_LAYERS = {
    "platform/ui", "platform/mail", "support", "support/password_dialog",
    "grid/core", "grid/data", "grid/editors", "grid/export", "app/forms", "app/main.cpp",
}

# Third-party headers kept to the layers that wrap them; a pattern matches the
# text between the angle brackets.
EXTERNAL = [
    (re.compile(r"^Q[A-Za-z]*(/|$)"), "Qt", QT_LAYERS),
    (re.compile(r"^vmime/"), "vmime", {"platform/mail"}),
    (re.compile(r"^libxml/"), "libxml2", {"platform/mail"}),
    (re.compile(r"^unicode/"), "ICU", {"platform/db"}),
]
# File calls of the operating system stay behind platform/os's narrow interface in the layers
# that only read and write files. The desktop components in support (the single-instance
# guard's lock file, inotify folder watching) talk to the system directly.
OS_FILE_HEADERS = re.compile(r"^(fcntl\.h|dirent\.h|sys/stat\.h|sys/file\.h)$")
OS_FILE_LAYERS = re.compile(r"^(engine/|platform/(nls|config|db|mail)$|app/)")

TEST_ONLY = [
    (re.compile(r"^(gtest|gmock)/"), "GoogleTest"),
    (re.compile(r"^benchmark/"), "Google Benchmark"),
]

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}
SKIPPED_DIRS = {".git", "build", "scripts", "cmake", ".ci"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def closure(layer: str) -> set[str]:
    """The layer itself and every layer it may use, directly or not."""
    seen = {layer}
    todo = [layer]
    while todo:
        for used in USES.get(todo.pop(), set()):
            if used not in seen:
                seen.add(used)
                todo.append(used)
    return seen


def layer_of_product(rel: str) -> str | None:
    parts = rel.split("/")
    top = parts[0]
    if top in ("platform", "engine") and len(parts) > 2:
        return f"{top}/{parts[1]}"
    if top == "support":
        if parts[-1].startswith("password_dialog"):
            return "support/password_dialog"
        return "support"
    if top == "grid":
        if len(parts) > 2 and f"grid/{parts[1]}" in USES:
            return f"grid/{parts[1]}"
        return "grid/data"
    if top == "app":
        if rel == "app/main.cpp":
            return "app/main.cpp"
        if len(parts) > 2 and f"app/{parts[1]}" in USES:
            return f"app/{parts[1]}"
        # Today's flat app/ folder holds the general routines.
        return "app/routines"
    return None


def classify(rel: str) -> tuple[str | None, bool]:
    """(layer, is_test_code) of a file path relative to the root."""
    parts = rel.split("/")
    if parts[0] in ("tests", "bench", "tools"):
        if parts[0] == "tests" and len(parts) > 1 and parts[1] == "common":
            return "tests/common", True
        mirrored = "/".join(parts[1:])
        layer = layer_of_product(mirrored)
        if layer is None and parts[0] == "tests":
            layer = "tests/common"
        if parts[0] == "bench" and layer is None and len(parts) > 1:
            layer = {"engine": "engine/dataset"}.get(parts[1])
        if parts[0] == "tools" and len(parts) > 1:
            layer = {"nls": "platform/nls"}.get(parts[1], layer)
        return layer, True
    return layer_of_product(rel), False


def source_files(root: Path):
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = Path(dirpath).relative_to(root)
        if rel_dir.parts and (rel_dir.parts[0] in SKIPPED_DIRS or rel_dir.parts[0].startswith("build")):
            dirnames[:] = []
            continue
        dirnames.sort()
        for name in sorted(filenames):
            if Path(name).suffix in SOURCE_SUFFIXES:
                yield (rel_dir / name).as_posix()


def includes_of(path: Path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1), m.group(2)


def resolve_quoted(root: Path, rel: str, name: str) -> str | None:
    """The included file relative to the root, or None when it is not ours."""
    local = (root / rel).parent / name
    if local.is_file():
        return os.path.relpath(local.resolve(), root.resolve()).replace(os.sep, "/")
    if (root / name).is_file():
        return name
    return None


def check_includes(root: Path) -> tuple[list[str], dict[str, set[str]]]:
    """Faults, and for each file the project layers it includes."""
    faults: list[str] = []
    included_layers: dict[str, set[str]] = {}
    for rel in source_files(root):
        layer, is_test = classify(rel)
        if layer is None:
            continue
        allowed = closure(layer) if layer != "tests/common" else set(USES)
        if is_test:
            for extra in TEST_EXTRA.get(layer, ()):
                allowed |= closure(extra)
        if layer == "app/main.cpp":
            allowed = set(USES)
        # Tests may use Qt where their layer's uses reach a layer that does; the shared test
        # mains (tests/common) may, for the widget suites' QApplication.
        qt_ok = layer in QT_LAYERS or (is_test and any(l in QT_LAYERS for l in allowed))
        used: set[str] = set()
        for number, kind, name in includes_of(root / rel):
            where = f"{rel}:{number}"
            if kind == "<":
                for pattern, library, layers in EXTERNAL:
                    if pattern.search(name):
                        ok = layer in layers or (
                            library == "Qt" and qt_ok) or (
                            is_test and (library != "Qt") and bool(layers & allowed)) or (
                            rel.startswith("tools/") and library == "ICU")
                        if not ok:
                            faults.append(f"{where}: {layer} may not include {library} <{name}>")
                if OS_FILE_HEADERS.search(name) and not is_test and OS_FILE_LAYERS.search(layer):
                    faults.append(f"{where}: file calls belong to platform/os, not <{name}>")
                for pattern, library in TEST_ONLY:
                    if pattern.search(name) and not is_test:
                        faults.append(f"{where}: product code may not include {library} <{name}>")
                continue
            target = resolve_quoted(root, rel, name)
            if target is None:
                continue
            target_layer, target_is_test = classify(target)
            if target_layer is None:
                continue
            if target_is_test and not is_test:
                faults.append(f"{where}: product code includes test code \"{name}\"")
                continue
            if (layer in WIDGET_FREE and target_layer == "platform/ui" and
                    target not in UI_SERVICES):
                faults.append(f"{where}: {layer} holds no widgets: \"{name}\"")
                continue
            if target_layer == "tests/common" or target_layer in allowed:
                if not target_is_test:
                    used.add(target_layer)
                continue
            faults.append(f"{where}: {layer} may not include \"{name}\" ({target_layer})")
        included_layers[rel] = used
    return faults, included_layers


def target_sources(build: Path) -> dict[str, set[str]]:
    """Sources of each target, from the build's compile commands."""
    commands = json.loads((build / "compile_commands.json").read_text())
    result: dict[str, set[str]] = {}
    for entry in commands:
        output = entry.get("output") or entry.get("command", "")
        m = re.search(r"CMakeFiles/([^/ ]+)\.dir/", output)
        if not m:
            continue
        result.setdefault(m.group(1), set()).add(os.path.realpath(
            os.path.join(entry["directory"], entry["file"])))
    return result


def direct_links(root: Path, build: Path) -> dict[str, set[str]]:
    """The targets each target links directly, from CMake's dependency graph."""
    with tempfile.TemporaryDirectory() as tmp:
        dot = Path(tmp) / "deps.dot"
        subprocess.run(["cmake", f"--graphviz={dot}", str(build)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = dot.read_text()
    names = dict(re.findall(r'"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', text))
    links: dict[str, set[str]] = {name: set() for name in names.values()}
    for a, b in re.findall(r'"(node\d+)"\s*->\s*"(node\d+)"', text):
        links[names[a]].add(names[b])
    return links


def check_links(root: Path, build: Path, included_layers: dict[str, set[str]]) -> list[str]:
    faults: list[str] = []
    real_root = os.path.realpath(root)
    sources = target_sources(build)
    target_layers: dict[str, set[str]] = {}
    target_files: dict[str, set[str]] = {}
    target_is_test: dict[str, bool] = {}
    for target, files in sources.items():
        rels = {os.path.relpath(f, real_root).replace(os.sep, "/") for f in files}
        rels = {r for r in rels if not r.startswith("..") and not r.startswith("build")}
        layers = set()
        tests = False
        for r in rels:
            layer, is_test = classify(r)
            if layer:
                layers.add(layer)
                tests = tests or is_test
        if layers:
            target_layers[target] = layers
            target_is_test[target] = tests
            # A source's own headers live beside it.
            with_headers = set(rels)
            for r in rels:
                folder = os.path.dirname(r)
                stem = os.path.splitext(r)[0]
                for suffix in (".h", ".hpp"):
                    if (root / (stem + suffix)).is_file() and folder:
                        with_headers.add(stem + suffix)
            target_files[target] = with_headers

    links = direct_links(root, build)
    for target, layers in sorted(target_layers.items()):
        allowed: set[str] = set()
        for layer in layers:
            allowed |= closure(layer) if layer not in ("tests/common", "app/main.cpp") else set(USES)
            if target_is_test[target]:
                for extra in TEST_EXTRA.get(layer, ()):
                    allowed |= closure(extra)
        for linked in sorted(links.get(target, ())):
            linked_layers = target_layers.get(linked)
            # A test may run the real program (it depends on it, never links it).
            if target_is_test[target] and linked_layers == {"app/main.cpp"}:
                continue
            if linked_layers is not None and not target_is_test.get(linked, False):
                if not (linked_layers & allowed):
                    faults.append(f"target {target} may not link {linked} "
                                  f"({', '.join(sorted(linked_layers))})")
            if linked.startswith("Qt6::") and not (layers & QT_LAYERS) and not target_is_test[target]:
                faults.append(f"target {target} may not link {linked}")
        if target_is_test[target]:
            continue
        # Product targets link what they include, directly: a target that only gets
        # a library through a neighbour breaks when the neighbour stops needing it.
        needed: set[str] = set()
        for rel in target_files[target]:
            needed |= included_layers.get(rel, set())
        needed -= layers
        for layer in sorted(needed):
            providers = [t for t, ls in target_layers.items()
                         if layer in ls and not target_is_test[t]]
            if providers and not any(p in links.get(target, ()) for p in providers):
                faults.append(f"target {target} includes {layer} but does not link "
                              f"{' or '.join(sorted(providers))}")
    return faults


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=Path(__file__).resolve().parent.parent, type=Path)
    parser.add_argument("--build", type=Path, help="a configured build folder: also check links")
    args = parser.parse_args()

    faults, included_layers = check_includes(args.root)
    if args.build:
        faults += check_links(args.root, args.build, included_layers)
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} layering fault(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
