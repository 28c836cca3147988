"""The Makefile's install stamp and clean target, on a scratch tree with a fake interpreter."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.python_only

ROOT = Path(__file__).resolve().parent.parent
# Stands in for python3.11 and for the venv's interpreter: `-m venv DIR` makes DIR/bin/python
# (this script again), and every other call is appended to pip.log beside the Makefile.
FAKE_PYTHON = """#!/bin/sh
if [ "$1 $2" = "-m venv" ]; then mkdir -p "$3/bin" && cp "$0" "$3/bin/python"; exit; fi
echo "$*" >> pip.log
"""
SOURCES = ["CMakeLists.txt", "pyproject.toml", "README.md", "src/light_data/reader.cpp",
           "platform_standins/halvorn/module.py"]
BUILT = "platform_standins/build/lib/module.py"  # what pip leaves behind in the stand-ins


@pytest.fixture
def tree(tmp_path):
    shutil.copy(ROOT / "Makefile", tmp_path)
    for name in [*SOURCES, BUILT]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("x\n")
    python = tmp_path / "python3.11"
    python.write_text(FAKE_PYTHON)
    python.chmod(0o755)
    return tmp_path


def make(tree, *args):
    # Nothing but PATH from this environment: the make running this suite passes its variables
    # (VENV, PANDAS_PIN, MAKEFLAGS) down through it, and the sanitizer run its runtimes, which
    # are there for the extension, not for make and the shell.
    subprocess.run(["make", "--no-print-directory", f"PYTHON={tree / 'python3.11'}", *args],
                   cwd=tree, env={"PATH": os.environ["PATH"]}, check=True, capture_output=True)
    log = tree / "pip.log"
    return log.read_text().splitlines() if log.exists() else []


def project_installs(lines):
    return [line for line in lines if "[test]" in line]


def newer(tree, name):
    later = (tree / ".venv" / ".installed").stat().st_mtime + 10
    os.utime(tree / name, (later, later))


@pytest.mark.parametrize("change, reinstalls", [
    (lambda tree: None, False),
    (lambda tree: newer(tree, "src/light_data/reader.cpp"), True),
    (lambda tree: newer(tree, "platform_standins/halvorn/module.py"), True),
    (lambda tree: newer(tree, "CMakeLists.txt"), True),
    (lambda tree: newer(tree, "pyproject.toml"), True),
    (lambda tree: newer(tree, "README.md"), False),
    (lambda tree: newer(tree, BUILT), False),
    (lambda tree: shutil.rmtree(tree / ".venv"), True),
], ids=["nothing", "source", "stand-ins", "cmake", "pyproject", "readme", "build-output", "venv-removed"])
def test_install_runs_again_only_when_an_input_changed(tree, change, reinstalls):
    first = make(tree, "install")
    assert len(project_installs(first)) == 1
    assert first[0] == "-m pip install --quiet --upgrade pip"
    change(tree)
    assert len(project_installs(make(tree, "install"))) == (2 if reinstalls else 1)


def test_changed_install_arguments_reinstall(tree):
    pinned = "PANDAS_PIN=pandas==2.2.*"
    installs = [len(project_installs(make(tree, "install", *args))) for args in ([], [pinned], [pinned], [])]
    assert installs == [1, 2, 2, 3]
    assert project_installs(make(tree, "install"))[1].endswith(".[test] pandas==2.2.*")


def test_clean_removes_outputs_and_keeps_sources(tree):
    make(tree, "install")
    outputs = ["build/x.o", "dist/x.whl", ".venv-pandas22/bin/python", "bench/results/latest.md",
               ".pytest_cache/x", ".hypothesis/x", ".mypy_cache/x", "tests/__pycache__/x.pyc",
               "platform_standins/halvorn_platform_standins.egg-info/PKG-INFO"]
    for name in outputs:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text("x\n")
    make(tree, "clean")
    assert [name for name in [".venv", BUILT, *outputs] if (tree / name).exists()] == []
    assert [name for name in SOURCES if not (tree / name).exists()] == []
