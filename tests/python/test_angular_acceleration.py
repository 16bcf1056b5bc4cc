"""The α × r term for IMU logs, against a rigid body turning with a known angular acceleration."""
import json
import math

import numpy as np
import pytest

from kivo_tf_tools import tables, transform
from kivo_tf_tools.angular_acceleration import add_angular_acceleration_term
from kivo_tf_tools.cli import main
from kivo_tf_tools.sections import load_sections

AXIS_F = np.array([1.0, 2.0, 2.0]) / 3.0  # the fixed rotation axis, unit, in F axes
CENTRE_F = np.array([0.3, -0.2, 0.5])  # M's origin, fixed in F (m)
R_IMU_M = np.array([0.05, 0.02, 0.01])  # the IMU in M (m)
R_OUT_M = np.array([0.4, -0.1, 0.25])  # the output point in M (m)


def entry(origin, key, values):
    return {"origin": origin, key: values}


@pytest.fixture
def imu_config(tmp_path):
    """IMU and output point fixed to M, both in M's axes."""
    path = tmp_path / "imu.json"
    path.write_text(json.dumps({"tf_imu_config": {
        "set_input_reference_point": entry("moving_frame", "translation", R_IMU_M.tolist()),
        "set_input_expression_axes": entry("moving_frame", "rotation", [1, 0, 0, 0]),
        "set_output_reference_point": entry("moving_frame", "translation", R_OUT_M.tolist()),
        "set_output_expression_axes": entry("moving_frame", "rotation", [1, 0, 0, 0])}}))
    return path


def rotation(angle):
    """R for a turn by `angle` about AXIS_F, and its quaternion [w, x, y, z]."""
    half = 0.5 * angle
    q = np.concatenate([[math.cos(half)], math.sin(half) * AXIS_F])
    k = np.array([[0, -AXIS_F[2], AXIS_F[1]], [AXIS_F[2], 0, -AXIS_F[0]],
                  [-AXIS_F[1], AXIS_F[0], 0]])
    return np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k, q


def body_log(t, angle, rate, acceleration):
    """(IMU samples in M axes, transforms, exact acceleration of the output point in M axes) of
    the body at times `t`, turning by angle(t) with rate and acceleration about AXIS_F."""
    imu, tf, exact = [], [], []
    for time_s in t:
        R, q = rotation(angle(time_s))
        omega_F = rate(time_s) * AXIS_F
        alpha_F = acceleration(time_s) * AXIS_F

        def point_acceleration(r_M):
            p_F = R @ r_M
            return np.cross(alpha_F, p_F) + np.cross(omega_F, np.cross(omega_F, p_F))

        imu.append(np.concatenate([R.T @ point_acceleration(R_IMU_M), R.T @ omega_F]))
        tf.append(np.concatenate([CENTRE_F, q]))
        exact.append(R.T @ point_acceleration(R_OUT_M))
    return np.array(imu), np.array(tf), np.array(exact)


CONSTANT = (lambda s: 0.3 + 1.5 * s + 0.5 * 4.0 * s * s, lambda s: 1.5 + 4.0 * s, lambda s: 4.0)
SWINGING = (lambda s: 0.8 * math.sin(3.0 * s), lambda s: 2.4 * math.cos(3.0 * s),
            lambda s: -7.2 * math.sin(3.0 * s))


@pytest.mark.parametrize("uneven", [False, True])
def test_constant_angular_acceleration_is_recovered_exactly(imu_config, uneven):
    """ω is linear in t: the central (and one-sided) differences are exact, on even or uneven
    time steps; the block alone misses α × r."""
    rng = np.random.default_rng(1)
    t = np.cumsum(rng.uniform(0.5e-3, 1.5e-3, 200)) if uneven else np.arange(200) * 1e-3
    imu, tf, exact = body_log(t, *CONSTANT)
    imu_out, status = transform(imu_config, "tf_imu_config", imu, tf)
    assert np.abs(imu_out[:, :3] - exact).max() > 0.1  # what the block leaves out
    section = load_sections(str(imu_config), only="tf_imu_config")[0]
    assert add_angular_acceleration_term(section, t, tf, imu_out, status) == 200
    np.testing.assert_allclose(imu_out[:, :3], exact, rtol=0, atol=1e-9)


def test_a_swinging_body_agrees_to_the_second_order(imu_config):
    errors = []
    for step in (4e-3, 2e-3):
        t = np.arange(1, 400) * step
        imu, tf, exact = body_log(t, *SWINGING)
        imu_out, status = transform(imu_config, "tf_imu_config", imu, tf)
        section = load_sections(str(imu_config), only="tf_imu_config")[0]
        add_angular_acceleration_term(section, t, tf, imu_out, status)
        errors.append(np.abs(imu_out[1:-1, :3] - exact[1:-1]).max())
    assert errors[0] < 1e-4 and 3.5 < errors[0] / errors[1] < 4.5  # halving h quarters it


def test_refused_rows_are_neither_changed_nor_used(imu_config):
    t = np.arange(10) * 1e-3
    imu, tf, exact = body_log(t, *CONSTANT)
    imu_out, status = transform(imu_config, "tf_imu_config", imu, tf)
    status[4], imu_out[4] = 5, 0.0  # row 4 as a refused row reads
    section = load_sections(str(imu_config), only="tf_imu_config")[0]
    refused_row = imu_out[4].copy()
    assert add_angular_acceleration_term(section, t, tf, imu_out, status) == 9
    assert imu_out[4].tobytes() == refused_row.tobytes()
    np.testing.assert_allclose(imu_out[[0, 1, 2, 3, 5, 6, 7, 8, 9], :3],
                               exact[[0, 1, 2, 3, 5, 6, 7, 8, 9]], atol=1e-9)


def test_fixed_frame_entries_need_no_transform(tmp_path):
    """Both points and the axes in F: r is constant and α × r is added in F's axes."""
    path = tmp_path / "fixed.json"
    path.write_text(json.dumps({"tf_imu_config": {
        "set_input_reference_point": entry("fixed_frame", "translation", [0, 0, 0]),
        "set_input_expression_axes": entry("fixed_frame", "rotation", [1, 0, 0, 0]),
        "set_output_reference_point": entry("fixed_frame", "translation", [0, 0.5, 0]),
        "set_output_expression_axes": entry("fixed_frame", "rotation", [1, 0, 0, 0])}}))
    t = np.arange(5) * 0.01
    imu = np.zeros((5, 6))
    imu[:, 5] = 2.0 * t  # ω about z growing at α = 2 rad/s²
    imu_out, status = transform(path, "tf_imu_config", imu)
    before = imu_out.copy()
    section = load_sections(str(path), only="tf_imu_config")[0]
    assert add_angular_acceleration_term(section, t, None, imu_out, status) == 5
    # α × r = (0, 0, 2) × (0, 0.5, 0) = (−1, 0, 0)
    np.testing.assert_allclose(imu_out[:, :3] - before[:, :3], [[-1.0, 0, 0]] * 5, atol=1e-12)
    with pytest.raises(ValueError, match="places an entry in the moving frame"):
        moving = load_sections(str(path), only="tf_imu_config")[0]
        moving.entries["set_output_reference_point"] = moving.entries[
            "set_output_reference_point"].__class__("set_output_reference_point", "moving_frame",
                                                    (0.0, 0.5, 0.0))
        add_angular_acceleration_term(moving, t, None, imu_out, status)


@pytest.mark.parametrize("block_bytes", [700, 1 << 20])
def test_run_adds_the_term_across_batches(imu_config, tmp_path, capfd, monkeypatch, block_bytes):
    t = np.arange(300) * 1e-3
    imu, tf, exact = body_log(t, *CONSTANT)
    header = "t,ax,ay,az,wx,wy,wz,tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz"
    rows = [",".join(repr(float(v)) for v in [s, *a, *b]) for s, a, b in zip(t, imu, tf)]
    (tmp_path / "imu.csv").write_text("\n".join([header, *rows]) + "\n")
    monkeypatch.setattr(tables, "BLOCK_BYTES", block_bytes)
    status = main(["run", str(imu_config), "tf_imu_config", "-i", str(tmp_path / "imu.csv"),
                   "-o", str(tmp_path / "out.csv"), "--angular-acceleration", "central"])
    err = capfd.readouterr().err
    assert status == 0, err
    assert err.splitlines()[1] == ("kivo-tf run: the angular-acceleration term α × r was added "
                                   "to 300 of 300 Ok rows (central difference over t)")
    out = np.loadtxt(tmp_path / "out.csv", delimiter=",", skiprows=1, usecols=range(1, 4))
    np.testing.assert_allclose(out, exact, atol=1e-9)


@pytest.mark.parametrize("section, header, message", [
    ("tf_imu_config", "time,ax,ay,az,wx,wy,wz", "--angular-acceleration central needs the time "
     "column 'stamp_ns' (integer nanoseconds) or 't' (seconds); the header has neither"),
    ("tf_wrench_config", "t,fx,fy,fz,tx,ty,tz", "--angular-acceleration applies to the IMU "
     "section (tf_imu_config) only, not tf_wrench_config"),
])
def test_the_option_is_refused_where_it_cannot_apply(tmp_path, capfd, section, header, message):
    (tmp_path / "in.csv").write_text(header + "\n0,1,2,3,4,5,6\n")
    config = "examples/kivo_tf_config.json"
    status = main(["run", str(__import__("pathlib").Path(__file__).resolve().parents[2] / config),
                   section, "-i", str(tmp_path / "in.csv"), "-o", str(tmp_path / "out.csv"),
                   "--angular-acceleration", "central"])
    assert status == 2
    assert capfd.readouterr().err == f"kivo-tf run: error: {message}\n"


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_integer_nanosecond_stamps_take_exact_steps(imu_config, tmp_path, capfd, suffix):
    """Stamps 1 ns apart at today's epoch are one float apart at best in seconds; the stamp_ns
    column gives the exact steps: the term equals the one computed from the steps themselves."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(4)
    rows = 50
    stamps = 1_700_000_000_123_456_789 + np.cumsum(rng.integers(1, 5_000_000, rows))
    imu = rng.normal(size=(rows, 6))
    tf = np.tile([0.1, 0.2, 0.3, 1.0, 0.0, 0.0, 0.0], (rows, 1))
    names = ["stamp_ns", "ax", "ay", "az", "wx", "wy", "wz", "tf_x", "tf_y", "tf_z", "tf_qw",
             "tf_qx", "tf_qy", "tf_qz"]
    columns = [pa.array(stamps)] + [pa.array(c) for c in np.column_stack([imu, tf]).T]
    table = pa.table(columns, names=names)
    source = tmp_path / f"in{suffix}"
    if suffix == ".csv":
        source.write_text(",".join(names) + "\n" + "\n".join(
            ",".join([str(s), *map(repr, r)]) for s, r in zip(stamps.tolist(),
                                                             np.column_stack([imu, tf]).tolist()))
            + "\n")
    else:
        pq.write_table(table, source)
    status = main(["run", str(imu_config), "tf_imu_config", "-i", str(source), "-o",
                   str(tmp_path / "out.parquet"), "--angular-acceleration", "central"])
    assert status == 0, capfd.readouterr().err
    out = pq.read_table(tmp_path / "out.parquet")
    assert [int(v) for v in out.column("stamp_ns").to_pylist()] == stamps.tolist()
    imu_out, codes = transform(imu_config, "tf_imu_config", imu, tf)
    section = load_sections(str(imu_config), only="tf_imu_config")[0]
    add_angular_acceleration_term(section, stamps, tf, imu_out, codes)
    got = np.column_stack([out.column(c).to_numpy() for c in ("ax", "ay", "az")])
    np.testing.assert_array_equal(got, imu_out[:, :3])
