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
    archive = zipfile.ZipFile(wheel)
    names = {n for n in archive.namelist() if ".dist-info/" not in n}
    tools = {f"kivo_tf_tools/{p.name}" for p in (REPO / "python" / "kivo_tf_tools").glob("*.py")}
    assert {"kivo_tf_tools/__init__.py", "kivo_tf_tools/cli.py", "kivo_tf_tools/_deps.py"} <= tools
    assert names == {f"kivo_tf_utils_ext{suffix}", f"kivo_control{suffix}",
                     "cpp_lib/lib/libKivoTfUtils.so", *tools}
    (entry_points,) = [n for n in archive.namelist() if n.endswith(".dist-info/entry_points.txt")]
    assert "kivo-tf = kivo_tf_tools.cli:main" in archive.read(entry_points).decode()
    (metadata,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
    assert "Requires-Dist: numpy==2.4.6; extra == \"tools\"" in archive.read(metadata).decode()

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

    # The console script, without the optional extra (installed with --no-deps): `check` works,
    # `run` says in one line how to get NumPy.
    kivo_tf = venv / "bin" / "kivo-tf"
    example = REPO / "examples" / "kivo_tf_config.json"
    res = subprocess.run([kivo_tf, "check", example], cwd=elsewhere, capture_output=True,
                         text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.splitlines()[-1] == (
        f"{example}: 4 sections checked: 0 errors, 0 warnings, 4 notes")
    res = subprocess.run([kivo_tf, "run", example, "tf_wrench_config", "--input", "-",
                          "--output", "-"], cwd=elsewhere, capture_output=True, text=True,
                         input="fx,fy,fz,tx,ty,tz\n", timeout=120)
    assert res.returncode == 2
    assert res.stderr.splitlines() == ["kivo-tf run: error: numpy is needed and is not installed: "
                                       "pip install 'kivo-tf-utils[tools]' (from a checkout: pip "
                                       "install '.[tools]')"]
