"""docs/logs.md: every example runs as written, and the Dask recipe gives what `kivo-tf run`
gives for each file (Dask's local scheduler; dask and pandas are test dependencies only)."""
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import kivo_tf_tools

REPO = Path(__file__).resolve().parents[2]
DOC = REPO / "docs" / "logs.md"
TF = ["tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz"]


def blocks(language):
    return re.findall(rf"```{language}\n(.*?)```", DOC.read_text(encoding="utf-8"), re.S)


def wrench_table(rng, rows, start=0.0):
    q = rng.normal(size=(rows, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    columns = {"t": start + np.arange(rows) * 1e-3, "label": [f"r{k}" for k in range(rows)]}
    for k, name in enumerate(["fx", "fy", "fz", "tx", "ty", "tz"]):
        columns[name] = rng.normal(0, 10, rows)
    for k, name in enumerate(TF):
        columns[name] = rng.normal(0, 1, rows) if k < 3 else q[:, k - 3]
    return pa.table(columns)


@pytest.fixture
def workdir(tmp_path):
    """A folder with the example configuration, wrench logs in CSV and Parquet, an IMU log and
    its configuration, and a `logs/` folder of Parquet files."""
    (tmp_path / "examples").symlink_to(REPO / "examples")
    rng = np.random.default_rng(4)
    table = wrench_table(rng, 50)
    pq.write_table(table, tmp_path / "ft_log.parquet")
    frame = table.to_pandas()
    frame.to_csv(tmp_path / "ft_log.csv", index=False, float_format="%.17g")
    (tmp_path / "logs").mkdir()
    for k, rows in enumerate((30, 1, 57)):
        pq.write_table(wrench_table(rng, rows, start=k), tmp_path / "logs" / f"day{k}.parquet")
    (tmp_path / "imu.json").write_text(json.dumps({"tf_imu_config": {
        "set_input_reference_point": {"origin": "moving_frame", "translation": [0, 0, 0]},
        "set_input_expression_axes": {"origin": "moving_frame", "rotation": [1, 0, 0, 0]},
        "set_output_reference_point": {"origin": "moving_frame", "translation": [0.2, 0, 0]},
        "set_output_expression_axes": {"origin": "moving_frame", "rotation": [1, 0, 0, 0]}}}))
    t = np.arange(20) * 1e-3
    lines = ["t,ax,ay,az,wx,wy,wz," + ",".join(TF)]
    lines += [f"{s!r},0.0,0.0,9.81,0.0,0.0,{2.0 * s!r},0.0,0.0,0.0,1.0,0.0,0.0,0.0"
              for s in t.tolist()]
    (tmp_path / "imu_log.csv").write_text("\n".join(lines) + "\n")
    return tmp_path


def environment():
    return {**os.environ, "PYTHONPATH": str(Path(kivo_tf_tools.__file__).resolve().parents[1])}


def run_shell(script, cwd):
    kivo = f"kivo-tf() {{ '{sys.executable}' -m kivo_tf_tools \"$@\"; }}\n"
    return subprocess.run(["bash", "-e", "-o", "pipefail", "-c", kivo + script], cwd=cwd,
                          capture_output=True, text=True, env=environment(), timeout=120)


def test_the_shell_examples_run(workdir):
    (tables, imu) = blocks("sh")
    result = run_shell(tables.replace("| head -n 3", "| head -n 3 > head.txt"), workdir)
    assert result.returncode == 0, result.stderr
    assert (workdir / "ft_out.csv").read_text().startswith("t,label,fx,fy,fz,tx,ty,tz,status\n")
    assert pq.read_table(workdir / "ft_out.parquet").schema.names[-1] == "status"
    assert len((workdir / "head.txt").read_text().splitlines()) == 3
    result = run_shell(imu, workdir)
    assert result.returncode == 0, result.stderr
    assert "α × r was added to 20 of 20 Ok rows" in result.stderr
    out = np.loadtxt(workdir / "imu_out.csv", delimiter=",", skiprows=1, usecols=range(7))
    # ω about z grows at 2 rad/s², the output point is 0.2 m along x: α × r = (0, 0.4, 0)
    np.testing.assert_allclose(out[:, 2], 0.4, atol=1e-12)


def test_the_python_example_runs(workdir):
    (api,) = [b for b in blocks("python") if "wrench_in" in b]
    result = subprocess.run([sys.executable, "-c", api], cwd=workdir, capture_output=True,
                            text=True, env=environment(), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "(2, 6) [0 0]\n"


def test_the_dask_recipe_equals_kivo_tf_run_per_file(workdir):
    pytest.importorskip("dask.dataframe")
    import dask
    import pandas as pd

    (recipe,) = [b for b in blocks("python") if "map_partitions" in b]
    cwd = os.getcwd()
    os.chdir(workdir)
    try:
        with dask.config.set(scheduler="threads"):
            exec(compile(recipe, "logs.md", "exec"), {})
    finally:
        os.chdir(cwd)
    got = pd.read_parquet(workdir / "logs_out").reset_index(drop=True)
    expected = []
    for path in sorted((workdir / "logs").iterdir()):
        target = workdir / f"{path.stem}_run.parquet"
        result = subprocess.run([sys.executable, "-m", "kivo_tf_tools", "run",
                                 "examples/kivo_tf_config.json", "tf_wrench_config", "-i",
                                 str(path), "-o", str(target)], cwd=workdir,
                                capture_output=True, text=True, env=environment(), timeout=120)
        assert result.returncode == 0, result.stderr
        expected.append(pd.read_parquet(target))
    expected = pd.concat(expected).reset_index(drop=True)
    assert list(got.columns) == list(expected.columns)
    assert len(got) == 88 and (got["status"] == "Ok").all()
    for column in expected.columns:
        assert got[column].tolist() == expected[column].tolist(), column
