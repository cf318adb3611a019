#!/usr/bin/env python3
"""Reports every function of the product code longer than a limit (150 lines by default).

Scans the .cpp files under app, engine, grid, platform and support (not tests, bench or
tools). A brace-matching scanner strips comments, string and character literals and
preprocessor lines, then finds each function body that opens at namespace or class scope; a
function's length runs from the first line of its declaration to its closing brace. Lambdas
and local classes count as part of the function that holds them.

  scripts/check_function_length.py [--limit N] [path ...]

Exit status 0 when no function is over the limit, 1 with one line per function otherwise.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PRODUCT_DIRS = ("app", "engine", "grid", "platform", "support")
DEFAULT_LIMIT = 150


def strip_code(text: str) -> str:
    """The text with comments, literals and preprocessor lines blanked; newlines are kept so
    positions still give line numbers."""
    out: list[str] = []
    i, n = 0, len(text)
    line_start = True
    token_start = -1  # start of the identifier or number being read, else -1

    def blank(segment: str) -> str:
        return "".join("\n" if c == "\n" else " " for c in segment)

    while i < n:
        c = text[i]
        if line_start and c == "#":
            # A preprocessor line, with its continuations.
            j = i
            while j < n and text[j] != "\n":
                j = j + 2 if text[j] == "\\" and j + 1 < n else j + 1
            out.append(blank(text[i:j]))
            i = j
            continue
        if c == "\n":
            line_start = True
            token_start = -1
            out.append(c)
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(blank(text[i:j]))
            i = j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(blank(text[i:j]))
            i = j
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(', text[i:i + 40])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            end = text.find(")" + raw.group(1) + '"', i + raw.end())
            j = n if end < 0 else end + len(raw.group(1)) + 2
            out.append(blank(text[i:j]))
            i = j
            token_start = -1
            continue
        if c == '"' or (c == "'" and not (token_start >= 0 and text[token_start].isdigit())):
            # A string or character literal (a quote inside a number is a digit separator).
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(blank(text[i:j]))
            i = j
            token_start = -1
            continue
        if c.isalnum() or c == "_" or (c == "'" and token_start >= 0):
            if token_start < 0:
                token_start = i
        else:
            token_start = -1
        out.append(c)
        i += 1
    return "".join(out)


@dataclass
class Function:
    name: str
    line: int
    length: int


KEYWORD_SCOPE = re.compile(r"\b(namespace|class|struct|union|enum)\b")
NAME_BEFORE_PARAMS = re.compile(r"((?:[A-Za-z_~][\w]*\s*(?:<[^<>()]*>)?\s*::\s*)*"
                                r"(?:operator\s*[^\s(]+|~?[A-Za-z_]\w*))\s*$")


def depth_zero_chars(head: str):
    """Yields (index, char) of the head's characters outside () and []."""
    depth = 0
    for index, c in enumerate(head):
        if c in "([":
            depth += 1
        elif c in ")]":
            depth -= 1
        elif depth == 0:
            yield index, c


def without_templates(head: str) -> str:
    """The head without its template parameter lists (`template <class T, ...>`)."""
    while True:
        match = re.search(r"\btemplate\s*<", head)
        if not match:
            return head
        depth, k = 0, match.end() - 1
        while k < len(head):
            depth += {"<": 1, ">": -1}.get(head[k], 0)
            if depth == 0:
                break
            k += 1
        head = head[: match.start()] + " " + head[k + 1 :]


def parameters_end(head: str) -> int:
    """The index just past the head's first parenthesised group, or -1."""
    start = head.find("(")
    if start < 0:
        return -1
    depth = 0
    for k in range(start, len(head)):
        depth += {"(": 1, ")": -1}.get(head[k], 0)
        if depth == 0:
            return k + 1
    return -1


def function_name(head: str) -> str | None:
    """The name of the function whose declaration is `head`, or None when the head declares
    no function (a class, an initializer, a lambda held in a variable)."""
    # The call operator's own parentheses would read as its parameters.
    stripped = re.sub(r"\boperator\s*\(\s*\)", "operator_call", without_templates(head)).strip()
    if "(" not in stripped:
        return None
    first_paren = stripped.index("(")
    before = stripped[:first_paren]
    if KEYWORD_SCOPE.search(before) or "=" in re.sub(r"\boperator\s*\S+", "", before):
        return None
    match = NAME_BEFORE_PARAMS.search(before)
    if not match:
        return None
    return re.sub(r"\s+", "", match.group(1)).replace("operator_call", "operator()")


def has_ctor_colon(head: str) -> bool:
    """Whether the head has a constructor's member-initializer colon after its parameters."""
    end = parameters_end(head)
    return end >= 0 and re.search(r"(?<!:):(?!:)", head[end:]) is not None


def scope_kind(head: str) -> str:
    """"scope" for a namespace, class or extern block, where functions are looked for;
    "other" for an enum, an initializer or anything else."""
    outside = "".join(c for _, c in depth_zero_chars(without_templates(head)))
    if re.search(r"\benum\b", outside) or "=" in outside:
        return "other"
    if re.search(r"\b(namespace|class|struct|union)\b", outside) or \
            re.match(r"\s*extern\b", outside):
        return "scope"
    return "other"


def scan(text: str) -> list[Function]:
    code = strip_code(text)
    functions: list[Function] = []
    scopes: list[str] = []
    line_of: list[int] = []
    line = 1
    for c in code:
        line_of.append(line)
        if c == "\n":
            line += 1
    n = len(code)

    def matching_brace(open_at: int) -> int:
        depth = 0
        for k in range(open_at, n):
            if code[k] == "{":
                depth += 1
            elif code[k] == "}":
                depth -= 1
                if depth == 0:
                    return k
        return n - 1

    head_start = 0
    i = 0
    while i < n:
        c = code[i]
        if c == ";":
            head_start = i + 1
        elif c == "}":
            if scopes:
                scopes.pop()
            head_start = i + 1
        elif c == "{":
            head = code[head_start:i]
            name = function_name(head) if all(k == "scope" for k in scopes) else None
            before = head.rstrip()
            if name and has_ctor_colon(head) and before and (before[-1].isalnum() or
                                                             before[-1] in "_>"):
                # A member initialised with braces in a constructor's initializer list.
                i = matching_brace(i) + 1
                continue
            if name:
                end = matching_brace(i)
                first_line = line_of[head_start + len(head) - len(head.lstrip())]
                functions.append(Function(name, first_line, line_of[end] - first_line + 1))
                i = end + 1
                head_start = i
                continue
            scopes.append(scope_kind(head))
            head_start = i + 1
        i += 1
    return functions


def product_files(paths: list[str]) -> list[Path]:
    if paths:
        files: list[Path] = []
        for p in paths:
            path = Path(p)
            files.extend(sorted(path.rglob("*.cpp")) if path.is_dir() else [path])
        return files
    return [f for d in PRODUCT_DIRS for f in sorted((ROOT / d).rglob("*.cpp"))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--limit", type=int, default=DEFAULT_LIMIT)
    parser.add_argument("--known", type=Path,
                        help="lines 'NAME LENGTH' of functions still waiting to be split: each may "
                             "stay as long as it is, never grow")
    parser.add_argument("paths", nargs="*", help="files or folders (default: the product code)")
    args = parser.parse_args()
    known: dict[str, int] = {}
    if args.known:
        for line in args.known.read_text(encoding="utf-8").splitlines():
            if line.strip() and not line.startswith("#"):
                name, length = line.rsplit(None, 1)
                known[name] = int(length)

    over: list[tuple[Path, Function]] = []
    for path in product_files(args.paths):
        text = path.read_text(encoding="utf-8", errors="replace")
        for function in scan(text):
            if function.length > max(args.limit, known.get(function.name, 0)):
                over.append((path, function))
    for path, function in sorted(over, key=lambda item: -item[1].length):
        shown = path.relative_to(ROOT) if path.is_absolute() and ROOT in path.parents else path
        print(f"{shown}:{function.line}: {function.name} is {function.length} lines "
              f"(limit {args.limit})")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
