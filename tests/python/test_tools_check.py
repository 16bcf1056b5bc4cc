"""`kivo-tf check`: crafted configuration files, one per finding, and the exit status."""
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kivo_tf_tools
from kivo_tf_tools.check import rotation_effect
from kivo_tf_tools.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"
H = math.sqrt(0.5)


def wrench_section(**changes):
    section = {
        "name": "ft", "policy": "soft_rt",
        "set_input_reference_point": {"origin": "fixed_frame", "translation": [0.1, 0.0, 0.0]},
        "set_input_expression_axes": {"origin": "fixed_frame", "rotation": [1.0, 0.0, 0.0, 0.0]},
        "set_output_reference_point": {"origin": "fixed_frame", "translation": [0.0, 0.0, 0.0]},
        "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [H, H, 0.0, 0.0]},
    }
    for key, value in changes.items():
        if value is None:
            del section[key]
        else:
            section[key] = value
    return section


@pytest.fixture
def write(tmp_path):
    """Writes a configuration (an object, or text as it is) and returns its path as text."""
    def write(content, name="config.json"):
        path = tmp_path / name
        path.write_text(content if isinstance(content, str) else json.dumps(content))
        return str(path)
    return write


@pytest.fixture
def check(capfd):
    """Runs `kivo-tf check` in process: (exit status, stdout lines, stderr text)."""
    def check(*args):
        status = main(["check", *map(str, args)])
        out, err = capfd.readouterr()
        return status, out.splitlines(), err
    return check


def findings(lines):
    """{location: [(level, message)]} from the text output (the summary line excluded)."""
    found = {}
    for line in lines[:-1]:
        _, location, level, message = line.split(": ", 3)
        found.setdefault(location, []).append((level, message))
    return found


def test_example_configuration_has_notes_only(check):
    status, lines, err = check(EXAMPLE)
    assert status == 0 and err == ""
    assert lines[0] == (
        f"{EXAMPLE}: tf_wrench_config: note: set_input_reference_point, set_input_expression_axes "
        "use the moving frame: call set_fixed_to_moving_frame_tf every cycle (updates are "
        "refused until the first call)")
    assert "the pose block" in findings(lines)["tf_pose_config"][0][1]
    assert "set_fixed_to_moving_frame_tf" not in findings(lines)["tf_pose_config"][0][1]
    assert findings(lines)["tf_imu_config"][1] == (
        "note", "the block omits the term α × r of the output acceleration (α, the angular "
        "acceleration, is not an input): up to |r| m/s² per rad/s² of α, where |r| follows the "
        "moving frame's transform (one point is in each frame; |r| = 0.1 m at the identity); add "
        "it in code where the rate changes quickly")
    assert lines[-1] == f"{EXAMPLE}: 4 sections checked: 0 errors, 0 warnings, 5 notes"


@pytest.mark.parametrize("section, location, expected", [
    (wrench_section(set_input_reference_point={"origin": "moving-frame", "translation": [0, 0, 0]}),
     "set_input_reference_point.origin",
     "origin 'moving-frame' is not exactly 'fixed_frame' or 'moving_frame': treated as the fixed "
     "frame (did you mean 'moving_frame'?)"),
    (wrench_section(set_input_referencepoint={}),
     "set_input_referencepoint",
     "unknown member 'set_input_referencepoint' is ignored by the loader (did you mean "
     "'set_input_reference_point'?)"),
    (wrench_section(set_output_reference_point={"origin": "fixed_frame", "translation": [0, 0, 0],
                                                "translaton": [1, 0, 0]}),
     "set_output_reference_point.translaton",
     "unknown member 'translaton' is ignored by the loader (did you mean 'translation'?)"),
    (wrench_section(policy="hardrt"), "policy",
     "unknown policy 'hardrt' defaults to best_effort (did you mean 'hard_rt'?); known: "
     "best_effort, soft_rt, hard_rt, strict_rt"),
    (wrench_section(set_input_expression_axes={"origin": "fixed_frame", "rotation": [0, 0, 0, 0]}),
     "set_input_expression_axes.rotation",
     "rotation [0, 0, 0, 0] is zero: the blocks do not refuse it, it acts as the identity"),
    (wrench_section(set_input_expression_axes={"origin": "fixed_frame",
                                               "rotation": [0, 0, 0, 1.01]}),
     "set_input_expression_axes.rotation",
     "rotation has norm 1.01, not 1: the blocks use it as written, R(q) = I + |q|²·(R(q̂) − I) "
     "for q = |q|·q̂, which keeps lengths along the axis of q but scales lengths across it by "
     "1.0402"),
    (wrench_section(set_input_expression_axes={"origin": "fixed_frame", "rotation": [2, 0, 0, 0]}),
     "set_input_expression_axes.rotation",
     "rotation has norm 2, not 1: the blocks use it as written, R(q) = I + |q|²·(R(q̂) − I) for "
     "q = |q|·q̂; it has no axis (only w), so it acts as the identity on vectors"),
    (wrench_section(set_input_expression_axes={"origin": "moving_frame",
                                               "rotation": [0, 0, 0, 2]}),
     "set_input_expression_axes.rotation",
     "rotation has norm 2, not 1: the blocks use it as written, R(q) = I + |q|²·(R(q̂) − I) for "
     "q = |q|·q̂, composed each cycle with the moving frame's orientation: lengths along the axis "
     "of the composed rotation are kept, lengths across it scaled by between 1 and 7 depending "
     "on that orientation"),
    (wrench_section(set_input_reference_point={"origin": "fixed_frame",
                                               "translation": [1, 2, 3, 4]}),
     "set_input_reference_point.translation",
     "4 values: the loader reads the first 3 and ignores the rest"),
    (wrench_section(set_output_reference_point={"origin": "fixed_frame", "rotation": [1, 0, 0, 0],
                                                "translation": [0, 0, 0]}),
     "set_output_reference_point.rotation",
     "'rotation' is ignored by the loader: a reference point takes 'translation'"),
])
def test_each_warning(check, write, section, location, expected):
    path = write({"tf_wrench_config": section})
    status, lines, err = check(path)
    assert status == 1, lines
    assert ("warning", expected) in findings(lines)[f"tf_wrench_config.{location}"]
    assert err == ""  # the library's own warning line is not passed through


def test_misspelt_section_is_a_warning_and_no_section_an_error(check, write):
    status, lines, _ = check(write({"tf_wrench_confg": wrench_section()}))
    assert status == 2
    assert findings(lines)["tf_wrench_confg"] == [(
        "warning", "unknown member 'tf_wrench_confg' is ignored by the loader (did you mean "
        "'tf_wrench_config'?)")]
    assert lines[-2].endswith(": error: the file has none of the sections tf_wrench_config, "
                              "tf_twist_config, tf_pose_config, tf_imu_config: no block can load "
                              "from it")


def test_pose_input_axes_in_the_moving_frame_refuse_every_update(check, write, ext):
    pose = wrench_section(policy="strict_rt", set_input_expression_axes={
        "origin": "moving_frame", "rotation": [1, 0, 0, 0]})
    path = write({"tf_pose_config": pose})
    status, lines, _ = check(path)
    assert status == 1
    (level, message), = findings(lines)["tf_pose_config.set_input_expression_axes.origin"]
    assert level == "warning" and message.endswith("every update is refused (Error)")
    block = ext.KivoTfPose(path)  # what the finding claims
    assert block.update(np.array([0, 0, 0, 1.0, 0, 0, 0]), np.zeros(7)).name == "Error"


def test_a_second_finding_never_hides_the_first(check, write):
    entry = {"origin": "Moving_frame", "rotation": [0, 0, 0, 2], "rotaton": [1, 0, 0, 0]}
    path = write({"tf_twist_config": wrench_section(set_output_expression_axes=entry,
                                                    set_input_reference_point=None)})
    status, lines, _ = check(path)
    found = findings(lines)
    assert status == 1
    assert [level for level, _ in found["tf_twist_config.set_output_expression_axes.origin"]] == [
        "warning"]
    assert "scales lengths across it by 7" in found[
        "tf_twist_config.set_output_expression_axes.rotation"][0][1]
    assert "did you mean 'rotation'" in found[
        "tf_twist_config.set_output_expression_axes.rotaton"][0][1]
    assert found["tf_twist_config.set_input_reference_point"] == [(
        "note", "not set in the file: the block refuses every update (NotReady) until code "
        "calls set_input_reference_point(origin, values)")]


@pytest.mark.parametrize("content, expected", [
    ('{"tf_wrench_config": ', "Failed to parse config file '{path}': "
                              "[json.exception.parse_error.101]"),
    ('{"tf_wrench_config": {"name": NaN}}', "Failed to parse config file '{path}': "
                                            "[json.exception.parse_error.101]"),
    ("[1, 2]", "Failed to parse config file '{path}': [json.exception.type_error.304] cannot "
               "use at() with array"),
])
def test_unparsable_file_reports_the_library_message(check, write, content, expected):
    path = write(content)
    status, lines, _ = check(path)
    assert status == 2
    assert lines[0].startswith(f"{path}: error: " + expected.format(path=path))
    assert lines[-1] == f"{path}: 0 sections checked: 1 error, 0 warnings, 0 notes"


def test_missing_file_and_section_errors(check, write, tmp_path):
    missing = tmp_path / "missing.json"
    assert check(missing)[1][0] == f"{missing}: error: Could not open config file: {missing}"
    path = write({"tf_wrench_config": wrench_section(set_input_reference_point={
        "translation": [0, 0, 0]})})
    status, lines, _ = check(path)
    assert status == 2
    assert findings(lines)["tf_wrench_config.set_input_reference_point"][0] == (
        "error", f"Failed to parse config file '{path}': [json.exception.out_of_range.403] key "
        "'origin' not found")
    status, lines, _ = check(path, "--section", "tf_imu_config")
    assert status == 2 and lines[0] == f"{path}: error: the file has no section 'tf_imu_config'"


def test_json_format_holds_the_same_findings(check, write):
    config = {"tf_wrench_config": wrench_section(policy="hardrt"),
              "tf_imu_config": wrench_section(set_output_reference_point=None)}
    path = write(config)
    status_text, lines, _ = check(path)
    status_json, out, _ = check(path, "--format", "json")
    records = json.loads("\n".join(out))
    assert status_json == status_text == 1
    assert [set(r) for r in records] == [{"file", "location", "level", "message"}] * len(records)
    assert [f"{r['file']}: {r['location']}: {r['level']}: {r['message']}"
            for r in records] == lines[:-1]
    _, only, _ = check(path, "--section", "tf_imu_config", "--format", "json")
    assert {r["location"] for r in json.loads("\n".join(only))} == {
        "tf_imu_config.set_output_reference_point"}


@pytest.mark.parametrize("q", [[0, 0, 0, 1.01], [0.3, 0.5, -0.2, 0.9], [2, 0.1, 0, 0],
                               [-0.5, 0.2, 0.4, 0.1], [H, 0, H, 0]])
def test_stated_scale_and_angle_match_the_block(ext, q):
    """The scale and angle across the axis that the warning states are what the block does."""
    norm, scale, angle, intended = rotation_effect(q)
    block = ext.KivoTfWrench()
    block.set_input_reference_point("fixed_frame", [0, 0, 0])
    block.set_input_expression_axes("fixed_frame", q)
    block.set_output_reference_point("fixed_frame", [0, 0, 0])
    block.set_output_expression_axes("fixed_frame", [1, 0, 0, 0])
    axis = np.array(q[1:]) / np.linalg.norm(q[1:])
    across = np.cross(axis, [1.0, 0, 0] if abs(axis[0]) < 0.9 else [0, 1.0, 0])
    across /= np.linalg.norm(across)
    out = np.zeros(6)
    block.update(np.concatenate([across, axis]), out)
    assert norm == pytest.approx(np.linalg.norm(q), abs=1e-15)
    assert np.linalg.norm(out[:3]) == pytest.approx(scale, rel=1e-12)
    assert out[3:] == pytest.approx(axis, abs=1e-12)  # along the axis: kept
    turned = math.degrees(math.atan2(np.dot(np.cross(across, out[:3]), axis),
                                     np.dot(across, out[:3])))
    assert turned == pytest.approx(angle, abs=1e-9)
    if norm == pytest.approx(1.0):
        assert angle == pytest.approx(intended)


def test_help_shows_an_example(capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["check", "--help"])
    assert exit_info.value.code == 0
    assert "kivo-tf check examples/kivo_tf_config.json" in capsys.readouterr().out


def test_check_needs_neither_numpy_nor_matplotlib(tmp_path):
    code = ("import sys; sys.modules['numpy'] = sys.modules['matplotlib'] = None\n"
            "from kivo_tf_tools.cli import main\n"
            f"raise SystemExit(main(['check', {str(EXAMPLE)!r}]))")
    env = {**os.environ, "PYTHONPATH": str(Path(kivo_tf_tools.__file__).resolve().parents[1])}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=tmp_path, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1].endswith("0 errors, 0 warnings, 5 notes")


def test_repeated_member_is_a_warning_and_the_last_one_counts(check, write, ext):
    text = json.dumps({"tf_wrench_config": wrench_section(set_input_reference_point=None)})
    text = text.replace('"policy": "soft_rt"', '"policy": "soft_rt", "policy": "strict_rt"')
    path = write(text)
    status, lines, _ = check(path)
    assert status == 1
    assert findings(lines)["tf_wrench_config.policy"] == [
        ("warning", "given more than once: the loader uses the last one")]
    block = ext.KivoTfWrench(path)  # refuses with strict_rt's code, not soft_rt's
    assert block.update(np.zeros(6), np.zeros(6)).name == "Error"


@pytest.mark.parametrize("q", [[0, 0, 0, 2], [0.3, 0.5, -0.2, 0.9], [0.5, 0.1, 0.2, 0.3]])
def test_moving_frame_rotation_scale_stays_in_the_stated_range(ext, q):
    """Composed with any moving-frame orientation, the singular values of the applied matrix
    lie between 1 and |2|q|² − 1|, the range the warning states."""
    block = ext.KivoTfWrench()
    block.set_input_reference_point("fixed_frame", [0, 0, 0])
    block.set_input_expression_axes("moving_frame", q)
    block.set_output_reference_point("fixed_frame", [0, 0, 0])
    block.set_output_expression_axes("fixed_frame", [1, 0, 0, 0])
    bounds = sorted([1.0, abs(2 * float(np.dot(q, q)) - 1)])
    rng = np.random.default_rng(8)
    for q_FM in rng.normal(size=(20, 4)):
        block.set_fixed_to_moving_frame_tf([0, 0, 0, *(q_FM / np.linalg.norm(q_FM))])
        matrix = np.zeros((3, 3))
        for k in range(3):
            out = np.zeros(6)
            block.update(np.eye(6)[k], out)
            matrix[:, k] = out[:3]
        singular = np.linalg.svd(matrix, compute_uv=False)
        assert bounds[0] - 1e-12 <= singular.min() and singular.max() <= bounds[1] + 1e-12


IMU = "tf_imu_config"


@pytest.mark.parametrize("change, location", [
    ({"set_output_reference_point": {"origin": "moving_frame", "translation": [0.1, 0.0]}},
     "set_output_reference_point.translation"),
    ({"set_input_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, "0", 0, "x"]}},
     "set_input_expression_axes.rotation[2]"),
    ({"set_input_expression_axes": {"origin": "fixed_frame", "rotation": {"w": 1}}},
     "set_input_expression_axes.rotation"),
    ({"set_output_expression_axes": {"origin": 0, "rotation": [1, 0, 0, 0]}},
     "set_output_expression_axes.origin"),
    ({"set_output_expression_axes": {"origin": "fixed_frame"}}, "set_output_expression_axes"),
    ({"set_input_reference_point": [0, 0, 0]}, "set_input_reference_point"),
    ({"policy": 3}, "policy"),
    ({"name": ["a"]}, "name"),
])
def test_loader_error_names_the_member_with_the_library_text_verbatim(check, write, ext, change,
                                                                       location):
    path = write({IMU: wrench_section(**change)})
    with pytest.raises(RuntimeError) as loader:
        ext.KivoTfImu(path)
    status, lines, _ = check(path)
    assert status == 2
    assert findings(lines)[f"{IMU}.{location}"] == [("error", str(loader.value))]


@pytest.mark.parametrize("in_point, out_point, expected", [
    (("fixed_frame", [0, 0, 0]), ("fixed_frame", [0.145, 0, 0]),
     "up to 0.145 m/s² per rad/s² of α, |r| = 0.145 m"),
    (("moving_frame", [0, 0, 0.1]), ("moving_frame", [0, 0.1, 0]),
     "up to 0.141421 m/s² per rad/s² of α, |r| = 0.141421 m"),
    (("fixed_frame", [0, 0, 0]), ("moving_frame", [0.03, 0, 0.04]),
     "up to |r| m/s² per rad/s² of α, where |r| follows the moving frame's transform (one point "
     "is in each frame; |r| = 0.05 m at the identity)"),
    (("moving_frame", [0.1, 0, 0]), ("moving_frame", [0.1, 0, 0]), None),
])
def test_imu_note_states_the_size_of_the_missing_term(check, write, in_point, out_point,
                                                      expected):
    section = wrench_section(
        set_input_reference_point={"origin": in_point[0], "translation": in_point[1]},
        set_output_reference_point={"origin": out_point[0], "translation": out_point[1]})
    status, lines, _ = check(write({IMU: section}))
    notes = [m for level, m in findings(lines).get(IMU, []) if "α × r" in m]
    if expected is None:
        assert notes == []
    else:
        assert notes == [
            "the block omits the term α × r of the output acceleration (α, the angular "
            f"acceleration, is not an input): {expected}; add it in code where the rate changes "
            "quickly"]
    # The wrench block has no such term: no note.
    _, lines, _ = check(write({"tf_wrench_config": section}, "wrench.json"))
    assert not any("α" in line for line in lines)


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_text_from_the_file_is_escaped(check, write, fmt):
    """An origin or member name holding ESC[2J (clears a terminal), NUL or a line break, and a
    policy with a C1 control, are shown escaped; nothing raw reaches the terminal."""
    section = wrench_section(
        policy="hard_rt\x9b", set_input_reference_point={
            "origin": "\x1b[2Jmoving\x00frame", "translation": [0, 0, 0]},
        **{"extra\nmember": 1})
    status, lines, _ = check(write({"tf_wrench_config": section}), "--format", fmt)
    text = "\n".join(lines)
    assert status == 1
    assert not any(c in text for c in "\x1b\x00\x9b")
    assert "\\x1b[2Jmoving\\x00frame" in text.replace("\\\\", "\\")
    assert "hard_rt\\x9b" in text.replace("\\\\", "\\")
    if fmt == "text":
        assert len(lines) == 1 + len(findings(lines))  # every finding on one line
        assert "tf_wrench_config.extra\\nmember: warning" in text


@pytest.fixture
def run_cli():
    """Runs `kivo-tf ARGS` in a fresh interpreter under a time limit; `close` names standard
    streams (0, 1, 2) to start it with closed."""
    def run(*args, close=(), stdout=subprocess.PIPE):
        def close_streams():
            for fd in close:
                os.close(fd)
        return subprocess.run([sys.executable, "-m", "kivo_tf_tools", *map(str, args)],
                              stdout=None if 1 in close else stdout,
                              stderr=None if 2 in close else subprocess.PIPE,
                              stdin=subprocess.DEVNULL if 0 not in close else None,
                              preexec_fn=close_streams, timeout=60, text=True)
    return run


def test_files_that_are_not_configurations_are_refused_before_reading(run_cli, tmp_path):
    """/dev/zero (endless), a FIFO (would block, then be read once) and a file over 64 MiB: one
    line each, promptly, for check and draw, and never handed to the library's loader."""
    fifo = tmp_path / "fifo.json"
    os.mkfifo(fifo)
    big = tmp_path / "big.json"
    with open(big, "wb") as stream:
        stream.truncate(64 * 1024 * 1024 + 1)  # sparse: costs no disk space
    cases = [("/dev/zero", "/dev/zero: not a regular file (a device, FIFO or socket)"),
             (fifo, f"{fifo}: not a regular file (a device, FIFO or socket)"),
             (big, f"{big}: 67108865 bytes, more than the 64 MiB a configuration file may hold")]
    for path, message in cases:
        checked = run_cli("check", path)
        assert checked.returncode == 2 and checked.stderr == ""
        assert checked.stdout.splitlines()[0].startswith(f"{path}: error: {message}")
        drawn = run_cli("draw", path, "-o", tmp_path / "x.png")
        assert drawn.returncode == 2
        assert drawn.stderr.splitlines() == [drawn.stderr.strip()]
        assert drawn.stderr.startswith(f"kivo-tf draw: error: {message}")


def test_load_block_refuses_a_device_before_the_loader_reads_it(monkeypatch):
    from kivo_tf_tools import sections

    monkeypatch.setattr(sections, "block_class", lambda section: pytest.fail("loader called"))
    with pytest.raises(sections.ConfigError, match="not a regular file"):
        sections.load_block("/dev/zero", "tf_wrench_config")


@pytest.mark.parametrize("content", [
    "[" * 100_000 + "]" * 100_000,
    '{"tf_wrench_config": {"x": ' + "[" * 100_000 + "]" * 100_000 + "}}",
])
def test_deeply_nested_file_gives_one_line(run_cli, tmp_path, content):
    path = tmp_path / "deep.json"
    path.write_text(content)
    checked = run_cli("check", path)
    assert checked.returncode == 2 and checked.stderr == ""
    assert len(checked.stdout.splitlines()) == 2
    drawn = run_cli("draw", path, "-o", tmp_path / "x.png")
    assert drawn.returncode == 2 and len(drawn.stderr.splitlines()) == 1


def test_undecodable_loader_message_is_escaped(check, write, monkeypatch):
    """Should the module raise UnicodeDecodeError for a loader message that is not UTF-8, check
    shows the message with the bytes escaped."""
    from kivo_tf_tools import check as check_module

    message = b"Failed to parse config file 'x': last read: '\xff\xfe'"

    def failing_block(section):
        def construct(path):
            raise UnicodeDecodeError("utf-8", message, 40, 41, "invalid start byte")
        return construct

    monkeypatch.setattr(check_module, "block_class", failing_block)
    status, lines, _ = check(write({"tf_wrench_config": wrench_section()}))
    assert status == 2
    assert findings(lines)["tf_wrench_config"] == [
        ("error", "Failed to parse config file 'x': last read: '\\xff\\xfe'")]


@pytest.mark.parametrize("content", [
    lambda: json.dumps({"tf_wrench_config": wrench_section()}).encode("utf-16"),
    lambda: b'{"tf_wrench_config": {"name": "\xff"}}',
])
def test_file_that_is_not_utf8_gives_one_line(run_cli, tmp_path, content):
    path = tmp_path / "config.json"
    path.write_bytes(content())
    for args in (("check", path), ("draw", path, "-o", tmp_path / "x.png")):
        result = run_cli(*args)
        assert result.returncode == 2
        output = result.stdout if args[0] == "check" else result.stderr
        assert "Traceback" not in result.stderr and "Failed to parse config file" in output
        assert "\\x" in output  # the undecodable bytes, escaped


@pytest.mark.parametrize("closed", [(0,), (1,), (2,), (0, 1, 2)])
@pytest.mark.parametrize("fmt", ["text", "json"])
def test_closed_standard_streams(run_cli, closed, fmt):
    result = run_cli("check", EXAMPLE, "--format", fmt, close=closed)
    assert result.returncode == 0
    if 2 not in closed:
        assert result.stderr == ""
    if 1 not in closed:
        assert result.stdout.endswith("\n") and len(result.stdout) > 100


def test_full_standard_output_gives_one_line(run_cli):
    with open("/dev/full", "w") as full:
        result = run_cli("check", EXAMPLE, stdout=full)
    assert result.returncode == 2
    assert result.stderr == "kivo-tf check: error: cannot write the findings: No space left on device\n"


def test_a_file_name_that_is_not_utf8(run_cli, tmp_path):
    """The library's loader takes UTF-8 names only: check and run say so in one line, with the
    name's undecodable byte escaped."""
    name = os.fsdecode(b"conf\xff.json")
    path = tmp_path / name
    path.write_text(json.dumps({"tf_wrench_config": wrench_section()}))
    result = run_cli("check", path)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "conf\\xff.json: the file name is not UTF-8, which the library's loader cannot open" in (
        result.stdout)
    result = run_cli("run", path, "tf_wrench_config", "-i", "-", "-o", "-")
    assert (result.returncode, result.stderr) == (
        2, f"kivo-tf run: error: {tmp_path}/conf\\xff.json: the file name is not UTF-8, which "
           "the library's loader cannot open: rename the file or give a link to it\n")
