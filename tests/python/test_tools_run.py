"""`kivo-tf run`: logs through the real block, compared with calling the block directly."""
import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kivo_tf_tools
from kivo_tf_tools import tables
from kivo_tf_tools.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"
WRENCH = ["fx", "fy", "fz", "tx", "ty", "tz"]
TF = ["tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz"]
POSE = ["px", "py", "pz", "qw", "qx", "qy", "qz"]


def random_rows(rng, count):
    """Wrench rows followed by a transform with a unit quaternion."""
    q = rng.normal(size=(count, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return np.column_stack([rng.normal(0, 10, (count, 6)), rng.normal(0, 1, (count, 3)), q])


def write_csv(path, header, rows):
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(header)
        writer.writerows([repr(v) if isinstance(v, float) else v for v in row] for row in rows)
    return path


def read_csv(path):
    with open(path, newline="") as stream:
        rows = list(csv.reader(stream))
    return rows[0], rows[1:]


@pytest.fixture
def run_tool(capfd):
    """Runs `kivo-tf run` in process: (exit status, stderr text as written on descriptor 2)."""
    def run_tool(config, section, source, target):
        status = main(["run", str(config), section, "--input", str(source),
                       "--output", str(target)])
        return status, capfd.readouterr().err
    return run_tool


def direct(block, rows, tf_rows=None, size=6):
    """(outputs, status names) from calling the block row by row."""
    outputs, names = [], []
    for k, row in enumerate(rows):
        if tf_rows is not None:
            block.set_fixed_to_moving_frame_tf(list(tf_rows[k]))
        out = np.zeros(size)
        names.append(block.update(np.array(row, dtype=float), out).name)
        outputs.append(out)
    return np.array(outputs), names


def test_wrench_with_transform_columns_matches_the_block(ext, run_tool, tmp_path):
    data = random_rows(np.random.default_rng(1), 50)
    times = [f"{k / 1000:.3f}" for k in range(50)]
    source = write_csv(tmp_path / "in.csv", ["t", *WRENCH, *TF],
                       [[t, *map(float, row)] for t, row in zip(times, data)])
    status, err = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "out.csv")
    assert status == 0, err
    header, rows = read_csv(tmp_path / "out.csv")
    assert header == ["t", *WRENCH, "status"]
    expected, names = direct(ext.KivoTfWrench(str(EXAMPLE)), data[:, :6], data[:, 6:])
    assert [r[0] for r in rows] == times  # copied as written
    # repr-exact: the written text reads back to the very same doubles
    assert np.array([[float(v) for v in r[1:7]] for r in rows]).tobytes() == expected.tobytes()
    assert [r[7] for r in rows] == names == ["Ok"] * 50
    assert err.splitlines()[-1].startswith("kivo-tf run: 50 rows, 0 refused, ")
    assert err.rstrip().endswith("rows/s")


def test_refused_rows_are_counted_and_the_library_lines_summarised(ext, run_tool, tmp_path):
    """Without transform columns, the moving-frame entries of the example are refused."""
    data = np.random.default_rng(2).normal(size=(40, 6))
    source = write_csv(tmp_path / "in.csv", WRENCH, [list(map(float, row)) for row in data])
    status, err = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "out.csv")
    assert status == 0
    _, rows = read_csv(tmp_path / "out.csv")
    assert {tuple(r) for r in rows} == {("0.0",) * 6 + ("Error",)}  # hard_rt: Error, zeros
    _, names = direct(ext.KivoTfWrench(str(EXAMPLE)), data)
    assert names == ["Error"] * 40
    lines = err.splitlines()
    assert len(lines) == 3  # not one line per refusal
    assert lines[0].startswith("kivo-tf run: 40 rows, 40 refused (Error 40), 40 records read = "
                               "40 rows written, ")
    assert lines[1] == "kivo-tf run: the library wrote 40 lines on stderr, 1 distinct:"
    assert lines[2] == ('  40 × KivoTfWrench: a TF entry uses "moving_frame" but '
                        "setFixedToMovingFrameTf() has not been called.")


def test_pass_through_columns_keep_their_place_and_text(ext, run_tool, tmp_path):
    config = tmp_path / "twist.json"
    config.write_text(json.dumps({"tf_twist_config": {
        "set_input_reference_point": {"origin": "fixed_frame", "translation": [0.1, 0.2, 0]},
        "set_input_expression_axes": {"origin": "fixed_frame", "rotation": [0, 0, 0, 1]},
        "set_output_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]},
        "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]}}}))
    twist = ["vx", "vy", "vz", "wx", "wy", "wz"]
    header = ["label", "vx", "vy", "note", "vz", "wx", "wy", "wz", "t"]
    values = [[1.0, 2.0, 3.0, 0.5, -0.25, 1e-300], [-0.0, 0.1, 0.2, 0.3, 0.4, 0.5]]
    raw = [["a,b", *map(repr, values[0][:2]), 'say "hi"', *map(repr, values[0][2:]), "1.50"],
           ["", *map(repr, values[1][:2]), "two\nlines", *map(repr, values[1][2:]), "2"]]
    source = write_csv(tmp_path / "in.csv", header, raw)
    status, err = run_tool(config, "tf_twist_config", source, tmp_path / "out.csv")
    assert status == 0, err
    out_header, rows = read_csv(tmp_path / "out.csv")
    assert out_header == [*header, "status"]
    expected, _ = direct(ext.KivoTfTwist(str(config)), values)
    for row, raw_row, want in zip(rows, raw, expected):
        assert [row[i] for i in (0, 3, 8)] == [raw_row[i] for i in (0, 3, 8)]
        assert [float(row[i]) for i in (1, 2, 4, 5, 6, 7)] == list(want)
        assert row[9] == "Ok"


def test_pose_block(ext, run_tool, tmp_path):
    data = random_rows(np.random.default_rng(3), 10)[:, 6:]  # [p, q] with unit q
    source = write_csv(tmp_path / "in.csv", POSE, [list(map(float, r)) for r in data])
    status, err = run_tool(EXAMPLE, "tf_pose_config", source, tmp_path / "out.csv")
    assert status == 0, err
    _, rows = read_csv(tmp_path / "out.csv")
    expected, names = direct(ext.KivoTfPose(str(EXAMPLE)), data, size=7)
    assert np.array([[float(v) for v in r[:7]] for r in rows]).tobytes() == expected.tobytes()
    assert [r[7] for r in rows] == names


@pytest.mark.parametrize("header, row, message", [
    (WRENCH, ["1", "x", "0", "0", "0", "0"], "in.csv: line 3: column 'fy': 'x' is not a number"),
    (WRENCH, ["1", "2", "", "0", "0", "0"], "in.csv: line 3: column 'fz': missing"),
    (WRENCH, ["1", "2", "3"], "in.csv: line 3: 3 values, expected 6 (one per column of the "
                              "header)"),
    (["t", *WRENCH], ['"a\nb"', "1", "2", "3", "4", "5", "x"],
     "in.csv: line 3: column 'tz': 'x' is not a number"),
])
def test_bad_line_stops_the_run_and_leaves_no_output(run_tool, tmp_path, header, row, message):
    good = ["0.5"] * len(header)
    lines = [",".join(header), ",".join(good), ",".join(row), ",".join(good)]
    if header[0] == "t":  # the first data row spans two lines: the bad one is line 4
        lines[1] = ",".join(['"a\nb"', *good[1:]])
        message = message.replace("line 3", "line 4")
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    target = tmp_path / "out.csv"
    status, err = run_tool(EXAMPLE, "tf_wrench_config",
                           tmp_path / "in.csv", target)
    assert status == 2
    assert err == f"kivo-tf run: error: {tmp_path / message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]  # no output, no temp file


def test_failed_run_keeps_an_existing_output(run_tool, tmp_path):
    target = tmp_path / "out.csv"
    target.write_text("earlier result\n")
    source = write_csv(tmp_path / "in.csv", WRENCH, [["1", "2", "3", "4", "5", "nope"]])
    assert run_tool(EXAMPLE, "tf_wrench_config", source, target)[0] == 2
    assert target.read_text() == "earlier result\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


@pytest.mark.parametrize("section, header, message", [
    ("tf_wrench_config", ["fx", "fy", "fz", "tx", "ty"],
     "the header has no column 'tz': KivoTfWrench reads fx,fy,fz,tx,ty,tz"),
    ("tf_wrench_config", [*WRENCH, *TF[:3]], "the transform needs all seven columns "
     "tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz; missing: tf_qw,tf_qx,tf_qy,tf_qz"),
    ("tf_pose_config", [*POSE, *TF], "KivoTfPose takes no fixed-to-moving-frame transform"),
    ("tf_wrench_config", [*WRENCH, "status"], "the input already has a column 'status'"),
])
def test_unusable_header(run_tool, tmp_path, section, header, message):
    source = write_csv(tmp_path / "in.csv", header, [["0"] * len(header)])
    status, err = run_tool(EXAMPLE, section, source, tmp_path / "out.csv")
    assert status == 2 and message in err
    assert not (tmp_path / "out.csv").exists()


def test_many_batches_give_the_same_output(run_tool, tmp_path, monkeypatch):
    """A log read in many small batches gives the output of one batch, and an error in a later
    batch names its line."""
    data = random_rows(np.random.default_rng(4), 23)
    rows = [[str(k), *map(float, row)] for k, row in enumerate(data)]
    source = write_csv(tmp_path / "in.csv", ["k", *WRENCH, *TF], rows)
    status, _ = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "one.csv")
    assert status == 0
    monkeypatch.setattr(tables, "BLOCK_BYTES", 300)
    status, err = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "many.csv")
    assert status == 0, err
    assert (tmp_path / "many.csv").read_bytes() == (tmp_path / "one.csv").read_bytes()
    rows[17][3] = "bad"
    source = write_csv(tmp_path / "in.csv", ["k", *WRENCH, *TF], rows)
    status, err = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "bad.csv")
    assert status == 2 and "in.csv: line 19: column 'fz': 'bad' is not a number" in err
    assert not (tmp_path / "bad.csv").exists()


def test_standard_input_and_output(ext, tmp_path):
    """`-` for both, through `python -m kivo_tf_tools` in a fresh interpreter."""
    data = random_rows(np.random.default_rng(5), 5)
    write_csv(tmp_path / "in.csv", [*WRENCH, *TF], [list(map(float, r)) for r in data])
    env = {**os.environ, "PYTHONPATH": str(Path(kivo_tf_tools.__file__).resolve().parents[1])}
    result = subprocess.run(
        [sys.executable, "-m", "kivo_tf_tools", "run", str(EXAMPLE), "tf_wrench_config",
         "--input", "-", "--output", "-"], input=(tmp_path / "in.csv").read_text(),
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout)))
    expected, _ = direct(ext.KivoTfWrench(str(EXAMPLE)), data[:, :6], data[:, 6:])
    assert rows[0] == [*WRENCH, "status"]
    assert np.array([[float(v) for v in r[:6]] for r in rows[1:]]).tobytes() == expected.tobytes()
    assert result.stderr.startswith("kivo-tf run: 5 rows, 0 refused, ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


def test_missing_numpy_gives_one_line(run_tool, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    source = write_csv(tmp_path / "in.csv", WRENCH, [["0"] * 6])
    status, err = run_tool(EXAMPLE, "tf_wrench_config", source, tmp_path / "out.csv")
    assert status == 2
    assert err == ("kivo-tf run: error: numpy is needed and is not installed: pip install "
                   "'kivo-tf-utils[tools]' (from a checkout: pip install '.[tools]')\n")


def test_help_shows_an_example(capsys):
    with pytest.raises(SystemExit):
        main(["run", "--help"])
    assert "kivo-tf run examples/kivo_tf_config.json tf_wrench_config" in capsys.readouterr().out


@pytest.mark.parametrize("line_end, label", [("\n", "a"), ("\r\n", "a"), ("\n", '"a,b"'),
                                             ("\r", "a")])
def test_line_ends_blank_lines_and_quoting_read_alike(run_tool, tmp_path, line_end, label):
    """Plain chunks are split in one go, others by the csv module: both read the same rows,
    skip blank lines and count lines alike."""
    data = random_rows(np.random.default_rng(6), 4)
    lines = ["label," + ",".join(WRENCH + TF)]
    lines += [label + "," + ",".join(map(repr, map(float, row))) for row in data]
    lines.insert(3, "")  # a blank line: skipped
    (tmp_path / "in.csv").write_text(line_end.join(lines) + line_end, newline="")
    status, err = run_tool(EXAMPLE, "tf_wrench_config", tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 0, err
    assert ", 4 records read = 4 rows written, 1 blank line skipped, " in err
    out = (tmp_path / "out.csv").read_text()
    reference = tmp_path / "reference.csv"
    write_csv(tmp_path / "plain.csv", ["label", *WRENCH, *TF],
              [["a", *map(float, row)] for row in data])
    assert run_tool(EXAMPLE, "tf_wrench_config", tmp_path / "plain.csv", reference)[0] == 0
    assert out == reference.read_text().replace("a,", label + ",")
    fields = [repr(float(v)) for v in data[3]]
    fields[1] = "oops"
    lines[5] = label + "," + ",".join(fields)  # fy of the 4th row, on line 6
    (tmp_path / "in.csv").write_text(line_end.join(lines) + line_end, newline="")
    status, err = run_tool(EXAMPLE, "tf_wrench_config", tmp_path / "in.csv", tmp_path / "bad.csv")
    assert status == 2 and "in.csv: line 6: column 'fy': 'oops' is not a number" in err


@pytest.mark.parametrize("option, value", [("--topic", "/ft"), ("--fixed-frame", "base"),
                                           ("--moving-frame", "tool"),
                                           ("--output-topic", "/ft_tcp"),
                                           ("--output-frame-id", "tcp")])
def test_bag_options_are_refused_for_a_table(run_tool, tmp_path, capfd, option, value):
    source = write_csv(tmp_path / "in.csv", WRENCH, [["0"] * 6])
    status = main(["run", str(EXAMPLE), "tf_wrench_config", "-i", str(source), "-o",
                   str(tmp_path / "out.csv"), option, value])
    assert status == 2
    assert capfd.readouterr().err == (f"kivo-tf run: error: {option} applies to a ROS bag input "
                                      f"only ({source} is a table)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("make", ["file.bag", "rosbag2 directory"])
def test_a_bag_input_goes_to_the_bag_reader(tmp_path, capfd, make):
    if make == "file.bag":
        source = tmp_path / "log.bag"
        source.write_bytes(b"")
    else:
        source = tmp_path / "rosbag2_log"
        source.mkdir()
        (source / "metadata.yaml").write_text("rosbag2_bagfile_information: {}\n")
    status = main(["run", str(EXAMPLE), "tf_wrench_config", "-i", str(source), "-o",
                   str(tmp_path / "out.csv"), "--topic", "/ft"])
    assert status == 2
    assert capfd.readouterr().err.startswith("kivo-tf run: error: ")


def test_help_states_the_number_rule_and_the_time_column(capsys):
    with pytest.raises(SystemExit):
        main(["run", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert "Nothing else is a number: not 1_000, 0x1p3, 1,5" in text
    assert "--angular-acceleration {none,central}" in text
    assert "over the time column stamp_ns (integer nanoseconds, exact) or, without it, t (seconds)" in text
