"""Module initialisation, registered classes and members, rendered signatures and docstrings."""
import enum
import shutil
import subprocess

import pytest

from conftest import BLOCK_CLASSES

SEQ = "collections.abc.Sequence[float]"
ORIGIN_DOC = "Frame origin: 'fixed_frame' or 'moving_frame'."
UPDATE = {  # class: (N, input, output, signal in the update docstring, signal in the class docstring)
    "KivoTfImu": (6, "imu_in", "imu_out", "[ax, ay, az, wx, wy, wz] (m/s² and rad/s)",
                  "6-DOF IMU signal [ax, ay, az, wx, wy, wz] between reference frames"),
    "KivoTfPose": (7, "pose_in", "pose_out", "[px, py, pz, qw, qx, qy, qz]",
                   "7-DOF pose signal [px, py, pz, qw, qx, qy, qz] between reference points"),
    "KivoTfTwist": (6, "twist_in", "twist_out", "[vx, vy, vz, wx, wy, wz] (m/s and rad/s)",
                    "6-DOF twist signal [vx, vy, vz, wx, wy, wz] between reference frames"),
    "KivoTfWrench": (6, "wrench_in", "wrench_out", "[fx, fy, fz, tx, ty, tz] (N and N·m)",
                     "6-DOF wrench signal [fx, fy, fz, tx, ty, tz] between reference frames"),
}
SETTERS = [(f"set_{io}_{entry.replace(' ', '_')}", param,
            f"Set the {io} {entry}. origin: 'fixed_frame' or 'moving_frame', {param}: {vec}.")
           for io in ("input", "output")
           for entry, param, vec in (("reference point", "translation", "[x, y, z]"),
                                     ("expression axes", "rotation", "[w, x, y, z]"))]
TF_DOC = ("Set the fixed-to-moving-frame transform: [x, y, z, qw, qx, qy, qz]. Must be called "
          "every loop iteration when any TF entry uses 'moving_frame'.")
PROPERTIES = {  # class: [(property, type read, docstring)]
    "Translation": [("origin", "str", ORIGIN_DOC),
                    ("translation", "list[float]", "Translation vector [x, y, z].")],
    "Rotation": [("origin", "str", ORIGIN_DOC),
                 ("rotation", "list[float]", "Quaternion [w, x, y, z].")],
    "KivoTfConfig": [
        ("name", "str", "Name of the block (optional, for JSON config only)."),
        ("policy", "kivo_control.KivoControlBlockPolicy",
         "Policy for handling non-OK conditions (optional, defaults to BestEffort)."),
        ("input_ref_point", "kivo_tf_utils_ext.Translation",
         "Input reference point: origin frame and translation."),
        ("input_expr_axes", "kivo_tf_utils_ext.Rotation",
         "Input expression axes: origin frame and rotation."),
        ("output_ref_point", "kivo_tf_utils_ext.Translation",
         "Output reference point: origin frame and translation."),
        ("output_expr_axes", "kivo_tf_utils_ext.Rotation",
         "Output expression axes: origin frame and rotation."),
    ],
}


def members(cls):
    return [k for k in vars(cls) if k == "__init__" or not k.startswith("__")]


def test_module_attributes_and_class_order(ext, kc):
    assert ext.__doc__ == "Python bindings for kivo_tf_utils"
    assert ext.__version__ == "1.0.0" and type(ext.__version__) is str
    assert [k for k in vars(ext) if not k.startswith("__")] == [
        "Translation", "Rotation", "KivoTfConfig", *BLOCK_CLASSES]
    assert {m.name: m.value for m in kc.KivoControlReturnCode} == {
        "Ok": 0, "NotReady": 4, "Error": 5}
    assert {m.name: m.value for m in kc.KivoControlBlockPolicy} == {
        "BestEffort": 0, "SoftRt": 1, "HardRt": 2, "StrictRt": 3}
    assert issubclass(kc.KivoControlReturnCode, enum.IntEnum)
    assert issubclass(kc.KivoControlBlockPolicy, enum.IntEnum)


@pytest.mark.parametrize("name, props", PROPERTIES.items())
def test_record_members_and_docstrings(ext, name, props):
    cls = getattr(ext, name)
    assert cls.__doc__ is None and cls.__init__.__doc__ == "__init__(self) -> None"
    assert members(cls) == ["__init__", *[p for p, _, _ in props]]
    for prop, result, doc in props:
        p = vars(cls)[prop]
        assert p.__doc__ == doc and p.fget.__doc__ == f"(self) -> {result}\n\n{doc}"
        arg = SEQ if result == "list[float]" else result
        assert p.fset.__doc__ == f"(self, arg: {arg}, /) -> None\n\n{doc}"


@pytest.mark.parametrize("name", BLOCK_CLASSES)
def test_block_members_signatures_and_docstrings(ext, name):
    cls = getattr(ext, name)
    n, sig_in, sig_out, text, class_doc = UPDATE[name]
    tf = ["set_fixed_to_moving_frame_tf"] if name != "KivoTfPose" else []
    assert cls.__doc__ == f"Transforms a {class_doc}."
    assert members(cls) == ["__init__", "name", *[s for s, _, _ in SETTERS], *tf, "update"]
    init_1 = "__init__(self, config_file: str = '') -> None"
    init_2 = "__init__(self, config: kivo_tf_utils_ext.KivoTfConfig) -> None"
    assert cls.__init__.__doc__ == (
        f"{init_1}\n{init_2}\n\nOverloaded function.\n\n1. ``{init_1}``\n\n"
        f"Initialize with a JSON config file path.\n\n2. ``{init_2}``\n\n"
        "Initialize with a KivoTfConfig struct populated in user code.")
    assert cls.name.__doc__ == ("name(self) -> str\n\nName of the block as specified in the JSON "
                                "config (empty if set via code only).")
    for setter, param, doc in SETTERS:
        assert getattr(cls, setter).__doc__ == (
            f"{setter}(self, origin: str, {param}: {SEQ}) -> bool\n\n{doc}")
    if tf:
        assert cls.set_fixed_to_moving_frame_tf.__doc__ == (
            f"set_fixed_to_moving_frame_tf(self, tf: {SEQ}) -> None\n\n{TF_DOC}")
    arr = f"ndarray[dtype=float64, shape=({n}), order='C', device='cpu']"
    assert cls.update.__doc__ == (
        f"update(self, {sig_in}: {arr}, {sig_out}: {arr}) -> kivo_control.KivoControlReturnCode"
        f"\n\nTransform {sig_in} {text}.\nWrites result into {sig_out} in-place.\n"
        "Returns a KivoControlReturnCode.")


def test_import_fails_without_kivo_control(layout_dir, tmp_path, run_python):
    shutil.copy(next(layout_dir.glob("kivo_tf_utils_ext*.so")), tmp_path)
    shutil.copytree(layout_dir / "cpp_lib", tmp_path / "cpp_lib")
    code = ("import sys; sys.path.insert(0, '.')\n"
            "try:\n    import kivo_tf_utils_ext\nexcept ImportError as e:\n    c = e.__cause__\n"
            "    print(str(e), type(c).__name__, c.name, e.__context__ is c,"
            " 'kivo_tf_utils_ext' in sys.modules, sep='|')\n")
    # -S: without site-packages an installed kivo_control cannot be found either.
    res = run_python(code, cwd=tmp_path, flags=("-S",))
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip().split("|") == [
        "Encountered an error while initializing the extension.",
        "ModuleNotFoundError", "kivo_control", "True", "False"]


def test_no_leak_report_at_exit(layout_dir, tmp_path, run_python):
    code = ("import numpy as np, kivo_tf_utils_ext as e\n"
            "cfg = e.KivoTfConfig(); view = cfg.input_ref_point; rot = cfg.output_expr_axes\n"
            "blocks = [getattr(e, n)(cfg) for n in ('KivoTfImu', 'KivoTfPose', 'KivoTfTwist')]\n"
            "w = e.KivoTfWrench(); out = np.zeros(6); code = w.update(np.ones(6), out)\ndel cfg\n")
    res = run_python(code, cwd=tmp_path, pythonpath=layout_dir)
    assert res.returncode == 0 and "leaked" not in res.stderr, res.stderr


def test_extension_finds_library_through_origin_runpath(layout_dir):
    if shutil.which("readelf") is None:
        pytest.skip("readelf not available")
    dyn = subprocess.run(["readelf", "-d", str(next(layout_dir.glob("kivo_tf_utils_ext*.so")))],
                         capture_output=True, text=True, check=True).stdout
    assert "(RPATH)" not in dyn and "Shared library: [libKivoTfUtils.so]" in dyn
    runpath = [line.split("[")[1] for line in dyn.splitlines() if "(RUNPATH)" in line]
    assert runpath == ["$ORIGIN/cpp_lib/lib]"]
