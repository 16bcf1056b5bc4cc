"""docs/frames.md: its snippets and commands run as they stand, and the numbers it states outside
the worked examples (which test_blocks.py and the demo check) are what the blocks compute."""
import contextlib
import io
import math
import re
import shlex
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import IDENTITY_ENTRIES, SQRT_HALF as H, make_block
from kivo_tf_tools.quaternion import q_multiply

REPO = Path(__file__).resolve().parents[2]
GUIDE = REPO / "docs" / "frames.md"
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"


def code_blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", GUIDE.read_text(), re.S | re.M)


def numbers(text):
    return [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?", text)]


@pytest.mark.parametrize("index", range(len(code_blocks("python"))))
def test_python_snippet_runs_and_prints_what_its_comment_says(index):
    code = code_blocks("python")[index]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, f"{GUIDE.name} snippet {index}", "exec"), {})
    (stated,) = re.findall(r"^print\(.*\)\s*# \[([^\]]*)\]", code, re.M)
    shown = numbers(printed.getvalue())
    assert shown == pytest.approx(numbers(stated), abs=5e-5)


def test_shell_commands_run(tmp_path):
    """The commands as shown, from the checkout, with the picture written to a scratch folder."""
    (block,) = code_blocks("sh")
    for line in block.replace("\\\n", " ").splitlines():
        words = shlex.split(line, comments=True)
        assert words[0] == "kivo-tf"
        if "-o" in words:
            at = words.index("-o") + 1
            words[at] = str(tmp_path / words[at])
        result = subprocess.run([sys.executable, "-m", "kivo_tf_tools", *words[1:]], cwd=REPO,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        if "-o" in words:
            assert Path(words[words.index("-o") + 1]).stat().st_size > 0


def run_block(ext, name, entries, signal, tf=None):
    block = make_block(ext, name, entries)
    if tf is not None:
        block.set_fixed_to_moving_frame_tf(tf)
    out = np.zeros(len(signal))
    block.update(np.array(signal, dtype=float), out)
    return out


def test_non_unit_quaternion_figures(ext):
    """|q| = 1.01: 10 N along x through 1.01·[√½, 0, 0, √½] gives (−0.201, 10.201, 0), 10.203 N;
    lengths across the axis grow by 2.0 % for a quarter turn and 4.0 % for a half turn."""
    def wrench_force(q, force):
        entries = {**IDENTITY_ENTRIES, "input_expr_axes": ("fixed_frame", list(q))}
        return run_block(ext, "KivoTfWrench", entries, [*force, 0, 0, 0])[:3]

    force = wrench_force([1.01 * H, 0, 0, 1.01 * H], [10, 0, 0])
    assert force == pytest.approx([-0.201, 10.201, 0], abs=5e-4)
    assert np.linalg.norm(force) == pytest.approx(10.203, abs=5e-4)
    for angle, growth in ((math.pi / 2, 0.020), (math.pi, 0.040)):
        q = 1.01 * np.array([math.cos(angle / 2), 0, 0, math.sin(angle / 2)])
        assert np.linalg.norm(wrench_force(q, [1, 0, 0])) - 1 == pytest.approx(growth, abs=5e-4)


def test_camera_on_the_body_by_composing_the_mounting_rotation(ext):
    """The example's pose section with the guide's input; a camera at the output point, a quarter
    turn about M's y axis: position [0, −1, 0.4], orientation out[3:] ⊗ q_MC = [1, 0, 0, 0]."""
    out = np.zeros(7)
    ext.KivoTfPose(str(EXAMPLE)).update(np.array([1, 0, 0, H, 0, 0, H]), out)
    assert out[:3] == pytest.approx([0, -1, 0.4], abs=1e-12)
    q_C = q_multiply(tuple(out[3:]), (H, 0.0, H, 0.0))
    assert q_C == pytest.approx((1, 0, 0, 0), abs=1e-12)


def test_missing_angular_acceleration_term_and_its_size(ext):
    """Output point 0.145 m from the IMU: the block adds 2² · 0.145 = 0.58 m/s² at 2 rad/s; 20 rad/s²
    would add 20 · 0.145 = 2.9 m/s², which the block leaves out."""
    entries = {**IDENTITY_ENTRIES, "output_ref_point": ("fixed_frame", [0.145, 0, 0])}
    out = run_block(ext, "KivoTfImu", entries, [0, 0, 0, 0, 0, 2])
    assert out[:3] == pytest.approx([-0.58, 0, 0], abs=1e-12)
    assert np.cross([0, 0, 20], [0.145, 0, 0]) == pytest.approx([0, 2.9, 0], abs=1e-12)


def test_accelerometer_reading_gives_the_specific_force_at_the_output_point(ext):
    """Feeding a − g instead of a subtracts g (in the output axes) from the output, whatever the
    frames."""
    entries = {"input_ref_point": ("moving_frame", [0.1, -0.2, 0.05]),
               "input_expr_axes": ("moving_frame", [0.5, 0.5, -0.5, 0.5]),
               "output_ref_point": ("fixed_frame", [0.3, 0.1, 0.0]),
               "output_expr_axes": ("fixed_frame", [H, H, 0, 0])}
    tf = [0.4, 0.1, 0.5, 0.9, 0.1, -0.3, 0.2]
    norm = np.linalg.norm(tf[3:])
    tf[3:] = list(np.array(tf[3:]) / norm)
    a, omega = np.array([0.3, -1.2, 2.0]), np.array([0.5, -0.4, 1.5])
    g_in = np.array([0.2, 9.7, 1.3])  # gravity in the input axes
    with_gravity = run_block(ext, "KivoTfImu", entries, [*a, *omega], tf)
    specific_force = run_block(ext, "KivoTfImu", entries, [*(a - g_in), *omega], tf)
    g_out = run_block(ext, "KivoTfImu", entries, [*g_in, 0, 0, 0], tf)[:3]
    assert specific_force[:3] == pytest.approx(with_gravity[:3] - g_out, abs=1e-12)


def test_empty_origin_is_unset_in_a_record_and_the_fixed_frame_elsewhere(ext, kc, capfd,
                                                                        tmp_path):
    entries = {**IDENTITY_ENTRIES, "output_ref_point": ("", [0.0, 0.0, 1.0])}
    signal = np.array([1.0, 0, 0, 0, 0, 0])
    out = np.zeros(6)
    assert make_block(ext, "KivoTfWrench", entries, via="config").update(signal, out) \
        is kc.KivoControlReturnCode.NotReady
    assert "update() called before all TF entries are set." in capfd.readouterr().err
    set_by_setter = make_block(ext, "KivoTfWrench", entries, via="setters")
    assert set_by_setter.update(signal, out) is kc.KivoControlReturnCode.Ok
    assert out.tolist() == [1, 0, 0, 0, -1, 0]  # the output point (0, 0, 1) of F
