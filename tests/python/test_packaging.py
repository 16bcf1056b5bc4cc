"""The wheel: built from the source tree, installed into fresh venvs, imported from elsewhere, and
type-checked with `mypy --strict` against its stubs.

The wheel and its venvs are kept in build/wheel-cache/<key>, where the key is a hash of all that
goes into the wheel (sources, CMake files, pyproject.toml, README.md, the pinned build tools and the
interpreter): a run with nothing changed reuses them, and a clean clone builds them. The wheel's
CMake tree is kept in build/wheel-build/<wheel tag>, so a changed state rebuilds only what changed.
Slow the first time (a full Release build); deselect with `-m "not packaging"`.
"""
import hashlib
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from dataclasses import dataclass
from email.parser import Parser
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CACHE = REPO / "build" / "wheel-cache"
# What the wheel is made of; `cmake` in case shared CMake modules live there.
WHEEL_INPUTS = ["CMakeLists.txt", "pyproject.toml", "README.md", "requirements.txt", "cmake",
                "kivo_control", "tf_utils", "python"]
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
# scikit-build-core fills in the wheel tag.
WHEEL_BUILD = REPO / "build" / "wheel-build" / "{wheel_tag}"

SMOKE = """
import array, importlib.util, math, kivo_control, kivo_tf_utils_ext as e
assert importlib.util.find_spec("numpy") is None, "the venv should hold the wheel only"
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
# The tools' loop over rows takes the same block (one type registry) and finds the library.
from kivo_tf_tools import _batch
def rows(values, width):
    return memoryview(array.array("d", values)).cast("B").cast("d", [len(values) // width,
                                                                    width])
outs, codes = rows([7.0] * 12, 6), array.array("B", [9, 9])
_batch.update_rows(w, rows([1, 0, 0, 0, 0, 0] * 2, 6), outs, codes,
                   rows([1, 2, 3, h, 0, 0, h] * 2, 7))
assert list(codes) == [0, 0] and outs.tolist() == [list(out)] * 2, (codes, outs.tolist())
print(e.__file__, kivo_control.__file__, _batch.__file__, sep="|")
"""


def check_call(*cmd, cwd=None):
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=900,
                         cwd=cwd)
    assert res.returncode == 0, f"{cmd}\n{res.stdout}\n{res.stderr}"
    return res


def wheel_key():
    """Hash of the interpreter and of every file that goes into the wheel, names included."""
    digest = hashlib.sha256(f"{sys.version}|{SUFFIX}".encode())
    for top in WHEEL_INPUTS:
        path = REPO / top
        files = sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]
        for file in files:
            if file.exists() and "__pycache__" not in file.parts:
                data = file.read_bytes()
                digest.update(f"{file.relative_to(REPO)}\0{len(data)}\0".encode() + data)
    return digest.hexdigest()[:16]


def pinned(name):
    for line in (REPO / "requirements.txt").read_text().splitlines():
        if line.startswith(f"{name}=="):
            return line.strip()
    raise LookupError(name)


def make_venv(path, *packages):
    """A venv holding only `packages`, installed by this interpreter's pip."""
    check_call(sys.executable, "-m", "venv", "--without-pip", path)
    python = path / "bin" / "python"
    check_call(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps",
               "--disable-pip-version-check", "--quiet", *packages)
    return python


@dataclass(frozen=True)
class Packaged:
    wheel: Path
    python: Path         # a venv with the wheel only
    typing_python: Path  # a venv with the wheel, NumPy and matplotlib (whose types are used)


@pytest.fixture(scope="session")
def packaged():
    pytest.importorskip("scikit_build_core")
    pytest.importorskip("nanobind")
    entry = CACHE / wheel_key()
    if not (entry / "complete").exists():
        for old in CACHE.glob("*"):
            if old.name != "mypy-cache":
                shutil.rmtree(old)
        check_call(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                   "--disable-pip-version-check", "--config-settings", f"build-dir={WHEEL_BUILD}",
                   "-w", entry / "dist", REPO)
        (wheel,) = (entry / "dist").glob("kivo_tf_utils-1.0.0-*.whl")
        make_venv(entry / "venv", wheel)
        make_venv(entry / "typing-venv", wheel, pinned("numpy"), pinned("matplotlib"))
        (entry / "complete").touch()
    (wheel,) = (entry / "dist").glob("kivo_tf_utils-1.0.0-*.whl")
    return Packaged(wheel, entry / "venv" / "bin" / "python",
                    entry / "typing-venv" / "bin" / "python")


@pytest.mark.packaging
def test_wheel_contents_and_metadata(packaged):
    with zipfile.ZipFile(packaged.wheel) as wheel:
        names = {n for n in wheel.namelist() if ".dist-info/" not in n}
        (metadata_name,) = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
        metadata = Parser().parsestr(wheel.read(metadata_name).decode())
        (entry_points,) = [n for n in wheel.namelist() if n.endswith(".dist-info/entry_points.txt")]
        entry_points_text = wheel.read(entry_points).decode()
        stubs = {n: wheel.read(n).decode() for n in names if n.endswith(".pyi")}
    tools = {f"kivo_tf_tools/{p.name}" for p in (REPO / "python" / "kivo_tf_tools").glob("*.py")}
    assert {"kivo_tf_tools/__init__.py", "kivo_tf_tools/cli.py", "kivo_tf_tools/_deps.py"} <= tools
    assert names == {f"kivo_tf_utils_ext{SUFFIX}", f"kivo_control{SUFFIX}",
                     "cpp_lib/lib/libKivoTfUtils.so", "kivo_tf_utils_ext-stubs/__init__.pyi",
                     "kivo_control-stubs/__init__.pyi", "kivo_tf_tools/py.typed",
                     f"kivo_tf_tools/_batch{SUFFIX}", "kivo_tf_tools/_batch.pyi",
                     f"kivo_tf_tools/_bag_scan{SUFFIX}", "kivo_tf_tools/_bag_scan.pyi", *tools}
    assert "kivo-tf = kivo_tf_tools.cli:main" in entry_points_text
    assert 'numpy==2.4.6; extra == "tools"' in metadata.get_all("Requires-Dist")

    assert metadata["Requires-Python"] == ">=3.11"
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().startswith("# kivo tf utils\n")
    assert "robotics" in metadata["Keywords"].split(",")
    classifiers = metadata.get_all("Classifier")
    for classifier in ("Programming Language :: C++", "Operating System :: POSIX :: Linux",
                       "Programming Language :: Python :: 3.11"):
        assert classifier in classifiers

    # Arrays are typed as buffers, and the stubs import nothing the modules do not.
    for name, text in stubs.items():
        assert "numpy" not in text and "NDArray" not in text, name
    # Two array parameters in each of the four blocks' update.
    assert stubs["kivo_tf_utils_ext-stubs/__init__.pyi"].count(
        "Annotated[Buffer | _DLPackArray, dict(dtype='float64', shape=(") == 4 * 2


@pytest.mark.packaging
def test_wheel_installs_into_fresh_venv(packaged, tmp_path, run_python):
    # A plain venv: nothing of the build tree or of the test environment is visible to it.
    res = run_python(SMOKE, cwd=tmp_path, python=packaged.python)
    assert res.returncode == 0, res.stderr
    venv = packaged.python.parents[1]
    assert all(f.startswith(str(venv)) for f in res.stdout.strip().split("|")), res.stdout
    assert "leaked" not in res.stderr

    # The console script, without the optional extra: `check` works, `run` says in one line how
    # to get NumPy.
    kivo_tf = venv / "bin" / "kivo-tf"
    example = REPO / "examples" / "kivo_tf_config.json"
    res = subprocess.run([kivo_tf, "check", example], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.splitlines()[-1] == (
        f"{example}: 4 sections checked: 0 errors, 0 warnings, 5 notes")
    res = subprocess.run([kivo_tf, "run", example, "tf_wrench_config", "--input", "-",
                          "--output", "-"], cwd=tmp_path, capture_output=True, text=True,
                         input="fx,fy,fz,tx,ty,tz\n", timeout=120)
    assert res.returncode == 2
    assert res.stderr.splitlines() == ["kivo-tf run: error: numpy is needed and is not installed: "
                                       "pip install 'kivo-tf-utils[tools]' (from a checkout: pip "
                                       "install '.[tools]')"]


@pytest.mark.packaging
@pytest.mark.parametrize("target", [["tests/python/typed_usage.py"], ["examples/demo.py"],
                                    ["-p", "kivo_tf_tools"]])
def test_installed_stubs_pass_mypy_strict(packaged, tmp_path, target):
    # Run from an empty folder so that only the installed packages can satisfy the imports; the
    # tools package is checked as installed, through its py.typed marker.
    paths = [str(REPO / t) if t.endswith(".py") else t for t in target]
    res = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", str(packaged.typing_python),
         "--cache-dir", str(CACHE / "mypy-cache"), *paths],
        cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.packaging
def test_typed_usage_runs_against_the_wheel(packaged, tmp_path):
    res = subprocess.run([str(packaged.python), str(REPO / "tests/python/typed_usage.py")],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
