"""The demos (C++ and Python): entries first, the refusal before the first transform, the worked
examples on the first successful cycle, tables within 100 columns, and both print the same."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CONFIG = REPO / "examples" / "kivo_tf_config.json"
WORKED_ROWS = [  # the first "out" row with Ok of each block, in the demo's order
    "[  0.000   0.000  -1.000  -3.000   1.000   0.000]  Ok",
    "[  2.100   0.000   1.000   0.000   1.000   0.000]  Ok",
    "[  0.000  -1.000   0.400   0.707   0.000  -0.707   0.000]  Ok",
    "[ -0.400   0.000   9.810   0.000   0.000   2.000]  Ok",
]
REFUSALS = [
    ('KivoTfWrench: a TF entry uses "moving_frame" but setFixedToMovingFrameTf() has not been '
     "called.", "Error"),
    ('KivoTfTwist: a TF entry uses "moving_frame" but setFixedToMovingFrameTf() has not been '
     "called.", "NotReady"),
    ('KivoTfImu: a TF entry uses "moving_frame" but setFixedToMovingFrameTf() has not been '
     "called.", "NotReady"),
]


def run_demo(command, layout_dir):
    result = subprocess.run([*map(str, command), str(CONFIG)], capture_output=True, text=True,
                            timeout=60, env={**os.environ, "PYTHONPATH": str(layout_dir)})
    assert result.returncode == 0, result.stderr
    return result.stdout, result.stderr


@pytest.fixture(params=["python", "c++"])
def demo_output(request, layout_dir):
    if request.param == "python":
        return run_demo([sys.executable, REPO / "examples" / "demo.py"], layout_dir)
    binary = layout_dir.parent / "examples" / "kivo_tf_demo"
    if not binary.exists():
        pytest.skip("the C++ demo is not built")
    return run_demo([binary], layout_dir)


def test_demo_shows_entries_refusals_and_worked_examples(demo_output):
    stdout, stderr = demo_output
    lines = stdout.splitlines()
    assert max(len(line) for line in lines[1:]) <= 100  # line 0 names the configuration's path
    assert stderr.splitlines() == [message for message, _ in REFUSALS]
    refused = [line.split()[1].rstrip(":") for line in lines if "not written" in line
               or "zeros" in line]
    assert refused == [code for _, code in REFUSALS]
    ok_rows = [line.split("out ", 1)[1] for line in lines if line.strip().startswith("out [")]
    firsts = [ok_rows[0], ok_rows[4], ok_rows[8], ok_rows[12]]  # four Ok cycles per block
    assert firsts == WORKED_ROWS
    entries = [line for line in lines if line.startswith("  input reference point")]
    assert entries[0].split()[3] == "moving_frame" and entries[0].endswith(" m")
    assert len(entries) == 4


def test_both_demos_print_the_same_numbers(layout_dir):
    binary = layout_dir.parent / "examples" / "kivo_tf_demo"
    if not binary.exists():
        pytest.skip("the C++ demo is not built")
    cpp, _ = run_demo([binary], layout_dir)
    py, _ = run_demo([sys.executable, REPO / "examples" / "demo.py"], layout_dir)
    strip = [line for line in cpp.splitlines()[1:] if "out" not in line or "[" in line]
    assert strip == [line for line in py.splitlines()[1:] if "out" not in line or "[" in line]
