"""The README's examples run as written, and the type stub matches the module."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def readme_examples() -> list[str]:
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, flags=re.DOTALL)


def test_readme_examples_run_in_order(storage, capsys):
    examples = readme_examples()
    assert len(examples) >= 3
    namespace: dict = {}
    for example in examples:
        exec(compile(example, "README.md", "exec"), namespace)
    assert "Missing data: " in capsys.readouterr().out


def run_tool(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=ROOT)


@pytest.mark.python_only
@pytest.mark.parametrize("module", ["light_data", "_light_data_core"])
def test_stub_matches_the_runtime_module(module):
    result = run_tool("mypy.stubtest", f"halvorn.orrery_data.{module}")
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.python_only
def test_typed_example_passes_strict_checking():
    result = run_tool("mypy", "--strict", "--no-incremental", str(ROOT / "examples" / "typed_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr
