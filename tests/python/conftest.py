"""Fixtures for the tests of kivo_tf_utils_ext and kivo_control.

Run with PYTHONPATH=<build>/python_modules, the folder that holds both modules and
cpp_lib/lib/libKivoTfUtils.so exactly as they are installed.
"""
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kivo_control
import kivo_tf_utils_ext

SQRT_HALF = math.sqrt(0.5)
BLOCK_CLASSES = ["KivoTfImu", "KivoTfPose", "KivoTfTwist", "KivoTfWrench"]
SIGNAL_LENGTH = {"KivoTfImu": 6, "KivoTfPose": 7, "KivoTfTwist": 6, "KivoTfWrench": 6}
# Entry: (origin, translation [x, y, z] or quaternion [w, x, y, z]); setters in the same order.
IDENTITY_ENTRIES = {
    "input_ref_point": ("fixed_frame", [0.0, 0.0, 0.0]),
    "input_expr_axes": ("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
    "output_ref_point": ("fixed_frame", [0.0, 0.0, 0.0]),
    "output_expr_axes": ("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
}
SETTERS = ["set_input_reference_point", "set_input_expression_axes",
           "set_output_reference_point", "set_output_expression_axes"]


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "packaging: builds a wheel and installs it into a fresh venv (slow)")


@pytest.fixture(scope="session")
def ext():
    return kivo_tf_utils_ext


@pytest.fixture(scope="session")
def kc():
    return kivo_control


@pytest.fixture(scope="session")
def layout_dir():
    return Path(kivo_tf_utils_ext.__file__).resolve().parent


def make_config(ext, entries):
    """A KivoTfConfig whose entries are written through the record-valued views."""
    cfg = ext.KivoTfConfig()
    for field, (origin, values) in entries.items():
        view = getattr(cfg, field)
        view.origin = origin
        setattr(view, "translation" if field.endswith("ref_point") else "rotation", values)
    return cfg


def make_block(ext, cls_name, entries, via="setters"):
    """A block configured from a KivoTfConfig, or through its four setters."""
    cls = getattr(ext, cls_name)
    if via == "config":
        return cls(make_config(ext, entries))
    block = cls()
    for setter, (origin, values) in zip(SETTERS, entries.values()):
        assert getattr(block, setter)(origin, values) is True
    return block


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter, without the caller's PYTHONPATH and LD_LIBRARY_PATH."""
    def run(code, *, cwd, pythonpath=None, python=sys.executable, flags=()):
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME")}
        if pythonpath is not None:
            env["PYTHONPATH"] = str(pythonpath)
        return subprocess.run([str(python), *flags, "-c", code], cwd=cwd, env=env,
                              capture_output=True, text=True, timeout=120)
    return run


@pytest.fixture
def kivo_run(capfd):
    """Runs `kivo-tf run` in this process; returns (exit status, what reached stderr)."""
    from kivo_tf_tools import cli

    def run(*argv):
        status = cli.main(["run", *map(str, argv)])
        return status, capfd.readouterr().err
    return run


@pytest.fixture(params=["ros1", "sqlite3", "mcap"])
def kind(request):
    """The kinds of ROS bag: a ROS 1 file, rosbag2 directories of SQLite3 and of MCAP storage."""
    return request.param
