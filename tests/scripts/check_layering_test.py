#!/usr/bin/env python3
"""The layering check accepts the allowed includes and names each forbidden one."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_layering.py"

# Headers every case can include.
BASE_TREE = {
    "platform/os/file.h": "",
    "platform/nls/nls.h": "",
    "platform/config/registry.h": '#include "platform/os/file.h"\n',
    "platform/db/dataset.h": '#include "platform/os/file.h"\n#include "platform/nls/nls.h"\n',
    "platform/ui/prompt.h": "#include <QString>\n",
    "platform/ui/canvas.h": "#include <QPainter>\n",
    "platform/mail/mail_store.h": "#include <vmime/vmime.hpp>\n",
    "engine/storage/engine_error.h": '#include "platform/db/dataset.h"\n',
    "engine/core/data_cursor.h": '#include "engine/storage/engine_error.h"\n',
    "engine/sql/data_query.h": '#include "engine/core/data_cursor.h"\n',
    "engine/dataset/strata_table.h": '#include "engine/sql/data_query.h"\n',
    "support/email.h": '#include "platform/mail/mail_store.h"\n',
    "grid/core/tree_list.h": '#include "platform/ui/prompt.h"\n',
    "grid/data/db_grid.h": '#include "grid/core/tree_list.h"\n',
    "app/text_routines.h": '#include "platform/os/file.h"\n',
    "app/list/list_database.h": '#include "engine/dataset/strata_table.h"\n',
    "tests/engine/core/cursor_test_support.h": '#include "engine/core/data_cursor.h"\n',
}


def run_check(extra_files):
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        for rel, text in {**BASE_TREE, **extra_files}.items():
            path = root / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(SCRIPT), "--root", str(root)],
                              capture_output=True, text=True)
        return done.returncode, done.stdout


class CheckLayering(unittest.TestCase):
    def test_allowed_includes_pass(self):
        cases = {
            "a lower engine layer": ("engine/sql/x.cpp", '#include "engine/storage/engine_error.h"\n'),
            "a layer used through another": ("engine/core/x.cpp", '#include "platform/os/file.h"\n'),
            "the password dialog sees the engine": (
                "support/password_dialog.cpp", '#include "engine/dataset/strata_table.h"\n'),
            "Qt in the UI layer": ("platform/ui/x.cpp", "#include <QWidget>\n"),
            "a test of a layer with its helpers": (
                "tests/engine/sql/x_test.cpp",
                '#include "tests/engine/core/cursor_test_support.h"\n#include <gtest/gtest.h>\n'),
            "the program includes everything": ("app/main.cpp", '#include "grid/data/db_grid.h"\n'),
            "a not yet existing folder": ("app/mail/x.cpp", '#include "app/list/list_database.h"\n'),
            "file calls inside the OS layer": ("platform/os/x.cpp", "#include <sys/stat.h>\n"),
            "tests make their own files": ("tests/platform/db/x_test.cpp", "#include <fcntl.h>\n"),
            "the rules ask through the prompt service": (
                "app/list/x.cpp", '#include "platform/ui/prompt.h"\n'),
        }
        for name, (rel, text) in cases.items():
            with self.subTest(name):
                code, out = run_check({rel: text})
                self.assertEqual((code, out), (0, ""))

    def test_forbidden_includes_fail_naming_the_line(self):
        cases = {
            "storage includes core": (
                "engine/storage/x.cpp", '#include "engine/core/data_cursor.h"\n', "engine/core"),
            "config includes db": (
                "platform/config/x.h", '\n#include "platform/db/dataset.h"\n', "platform/db"),
            "mail includes its sibling ui": (
                "platform/mail/x.cpp", '#include "platform/ui/prompt.h"\n', "platform/ui"),
            "engine includes Qt": ("engine/core/x.cpp", "#include <QString>\n", "Qt"),
            "routines include Qt": ("app/x.cpp", "#include <QScreen>\n", "Qt"),
            "vmime outside the mail layer": ("support/x.cpp", "#include <vmime/vmime.hpp>\n", "vmime"),
            "grid core includes the data grid": (
                "grid/core/x.cpp", '#include "grid/data/db_grid.h"\n', "grid/data"),
            "support includes the engine": (
                "support/email.cpp", '#include "engine/dataset/strata_table.h"\n', "engine/dataset"),
            "the list rules include widgets": (
                "app/list/x.cpp", '#include "platform/ui/canvas.h"\n', "no widgets"),
            "product code includes a test helper": (
                "engine/sql/x.cpp", '#include "tests/engine/core/cursor_test_support.h"\n',
                "test code"),
            "product code includes GoogleTest": ("engine/sql/x.cpp", "#include <gtest/gtest.h>\n",
                                                 "GoogleTest"),
            "raw file calls outside the OS layer": ("platform/config/x.cpp", "#include <fcntl.h>\n",
                                                    "platform/os"),
        }
        for name, (rel, text, named) in cases.items():
            with self.subTest(name):
                code, out = run_check({rel: text})
                self.assertEqual(code, 1)
                line = 2 if text.startswith("\n") else 1
                self.assertIn(f"{rel}:{line}:", out)
                self.assertIn(named, out)

    def test_every_fault_is_listed(self):
        code, out = run_check({
            "platform/os/a.cpp": '#include "platform/nls/nls.h"\n#include "platform/db/dataset.h"\n',
            "platform/nls/b.cpp": '#include "platform/os/file.h"\n',
        })
        self.assertEqual(code, 1)
        self.assertEqual(len(out.splitlines()), 3)


class CheckLinks(unittest.TestCase):
    def test_links_follow_the_table_and_the_includes(self):
        project = {
            "CMakeLists.txt": (
                "cmake_minimum_required(VERSION 3.25)\nproject(T CXX)\n"
                "set(CMAKE_EXPORT_COMPILE_COMMANDS ON)\n"
                "add_library(platform_os STATIC platform/os/file.cpp)\n"
                "add_library(platform_nls STATIC platform/nls/nls.cpp)\n"
                "add_library(platform_config STATIC platform/config/registry.cpp)\n"
                "target_link_libraries(platform_config PUBLIC platform_nls)\n"
                "add_library(platform_db STATIC platform/db/dataset.cpp)\n"
                "target_link_libraries(platform_db PUBLIC platform_os platform_nls platform_config)\n"),
            "platform/os/file.cpp": '#include "platform/os/file.h"\n',
            "platform/nls/nls.cpp": '#include "platform/nls/nls.h"\n',
            # Includes the OS layer but reaches it only through nothing: a missing link.
            "platform/config/registry.cpp": '#include "platform/os/file.h"\n',
            "platform/db/dataset.cpp": '#include "platform/db/dataset.h"\n',
        }
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp)
            for rel, text in {**BASE_TREE, **project}.items():
                path = root / rel
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(text)
            build = root / "build"
            subprocess.run(["cmake", "-S", str(root), "-B", str(build)], check=True,
                           capture_output=True)
            done = subprocess.run([sys.executable, str(SCRIPT), "--root", str(root), "--build",
                                   str(build)], capture_output=True, text=True)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(sorted(done.stdout.splitlines()), [
            "target platform_config includes platform/os but does not link platform_os",
            "target platform_db may not link platform_config (platform/config)",
        ])


if __name__ == "__main__":
    unittest.main()
