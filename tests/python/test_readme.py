"""The README's code blocks run as pasted and print what the README shows.

Each block runs as a user would run it from the checkout: in a scratch folder where `build`,
`examples` and `.venv` lead to the real ones, so the blocks' relative paths are the README's own.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def readme_blocks():
    """(language, text) of every fenced block of the README, in order."""
    return [(m.group(1), m.group(2)) for m in FENCE.finditer((REPO / "README.md").read_text())]


def block_and_output(language):
    """The first block in `language` and the `text` block showing its output (the next text
    block after it)."""
    blocks = readme_blocks()
    start = next(i for i, (lang, _) in enumerate(blocks) if lang == language)
    shown = next(text for lang, text in blocks[start + 1:] if lang == "text")
    return blocks[start][1], blocks, start, shown


@pytest.fixture
def checkout(tmp_path, layout_dir):
    """A scratch folder that looks like the checkout to the README's commands."""
    (tmp_path / "build").symlink_to(layout_dir.parent)
    (tmp_path / "examples").symlink_to(REPO / "examples")
    (tmp_path / ".venv").symlink_to(Path(sys.prefix))
    return tmp_path


def run_shell(script, cwd, layout_dir):
    env = {**os.environ, "PYTHONPATH": str(layout_dir)}
    return subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def sanitized(build):
    cache = (build / "CMakeCache.txt").read_text()
    return re.search(r"^KIVO_SANITIZE:\w+=\S", cache, re.M) is not None


def test_python_block_prints_what_the_readme_shows(checkout, layout_dir):
    code, _, _, shown = block_and_output("python")
    result = subprocess.run([sys.executable, "-c", code], cwd=checkout, capture_output=True,
                            text=True, timeout=60, env={**os.environ, "PYTHONPATH": str(layout_dir)})
    assert result.returncode == 0, result.stderr
    assert result.stdout == shown


def test_cpp_block_builds_against_the_installed_library_and_prints_what_the_readme_shows(
        checkout, layout_dir):
    if sanitized(layout_dir.parent):
        pytest.skip("an uninstrumented program cannot load the sanitized library")
    if shutil.which("pkg-config") is None:
        pytest.skip("pkg-config is not installed")
    program, blocks, start, shown = block_and_output("cpp")
    build_commands = next(text for lang, text in blocks[start + 1:] if lang == "sh")
    (checkout / "wrench_example.cpp").write_text(program)
    result = run_shell(build_commands, checkout, layout_dir)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith(shown)


def test_tool_commands_run_on_the_repository_files(checkout, layout_dir):
    pytest.importorskip("matplotlib")
    commands = next(text for lang, text in readme_blocks()
                    if lang == "sh" and "kivo_tf_tools check" in text)
    result = run_shell(commands, checkout, layout_dir)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors" in result.stdout
    assert (checkout / "frames.png").stat().st_size > 0
    header, *rows = (checkout / "wrench_out.csv").read_text().splitlines()
    assert header.split(",")[-1] == "status"
    assert len(rows) == len((REPO / "examples" / "wrench_log.csv").read_text().splitlines()) - 1
    assert all(row.endswith(",Ok") for row in rows)
