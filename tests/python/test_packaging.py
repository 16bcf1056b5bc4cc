"""The wheel: built from the source tree, installed into a fresh venv, imported from elsewhere.

Slow (a full Release build); deselect with `-m "not packaging"`.
"""
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

SMOKE = """
import array, math, kivo_control, kivo_tf_utils_ext as e
h = math.sqrt(0.5)
w = e.KivoTfWrench()
w.set_input_reference_point("moving_frame", [0.1, 0, 0])
w.set_input_expression_axes("moving_frame", [1, 0, 0, 0])
w.set_output_reference_point("fixed_frame", [0, 0, 0])
w.set_output_expression_axes("fixed_frame", [h, h, 0, 0])
w.set_fixed_to_moving_frame_tf([1, 2, 3, h, 0, 0, h])
out = array.array("d", [7.0] * 6)
code = w.update(array.array("d", [1, 0, 0, 0, 0, 0]), out)
assert code is kivo_control.KivoControlReturnCode.Ok, code
assert all(abs(a - b) < 1e-12 for a, b in zip(out, [0, 0, -1, -3, 1, 0])), out
print(e.__file__, kivo_control.__file__, sep="|")
"""


def check_call(*cmd):
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, f"{cmd}\n{res.stdout}\n{res.stderr}"


@pytest.mark.packaging
def test_wheel_installs_into_fresh_venv(tmp_path, run_python):
    pytest.importorskip("scikit_build_core")
    pytest.importorskip("nanobind")
    dist, venv, elsewhere = tmp_path / "dist", tmp_path / "venv", tmp_path / "elsewhere"
    check_call(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
               "--disable-pip-version-check", "-w", dist, REPO)
    (wheel,) = dist.glob("kivo_tf_utils-1.0.0-*.whl")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    names = {n for n in zipfile.ZipFile(wheel).namelist() if ".dist-info/" not in n}
    assert names == {f"kivo_tf_utils_ext{suffix}", f"kivo_control{suffix}",
                     "cpp_lib/lib/libKivoTfUtils.so"}

    # A plain venv: nothing of the build tree or of the test environment is visible to it.
    check_call(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    check_call(python, "-m", "pip", "install", "--no-deps", "--no-index",
               "--disable-pip-version-check", wheel)
    elsewhere.mkdir()
    res = run_python(SMOKE, cwd=elsewhere, python=python)
    assert res.returncode == 0, res.stderr
    assert all(f.startswith(str(venv)) for f in res.stdout.strip().split("|")), res.stdout
    assert "leaked" not in res.stderr
