"""`kivo-tf draw`: the files it writes, what its figure holds, and that it places the frames exactly
as the blocks do (compared with the blocks' own `update`)."""
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("matplotlib")
from matplotlib.colors import to_rgba  # noqa: E402

from conftest import SQRT_HALF as H  # noqa: E402
from kivo_tf_tools import cli  # noqa: E402
from kivo_tf_tools._deps import INSTALL_HINT  # noqa: E402
from kivo_tf_tools.draw import AXIS_COLOURS, draw_figure, resolve_frames  # noqa: E402
from kivo_tf_tools.quaternion import q_conjugate, q_multiply, rotate  # noqa: E402
from kivo_tf_tools.sections import load_sections  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "kivo_tf_config.json"
TF_WORKED = (1.0, 2.0, 3.0, H, 0.0, 0.0, H)
# A pose that is not of unit norm and has no special angle: the pose block normalises q_in ⊗ q.
POSE = (0.3, -0.2, 0.5, 0.9, 0.1, -0.3, 0.2)
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "pdf": b"%PDF-"}


@pytest.fixture(scope="module")
def example_sections():
    return {s.name: s for s in load_sections(str(EXAMPLE))}


@pytest.fixture
def write_config(tmp_path):
    def write(sections, name="config.json"):
        path = tmp_path / name
        path.write_text(json.dumps(sections))
        return str(path)
    return write


def example_json():
    return json.loads(EXAMPLE.read_text())


def solid_lines(ax):
    return [line for line in ax.lines if line.get_linestyle() == "-"]


def line_vector(line):
    xs, ys, zs = line.get_data_3d()
    return np.array([xs[0], ys[0], zs[0]]), np.array([xs[1] - xs[0], ys[1] - ys[0], zs[1] - zs[0]])


def text_at(ax, text):
    (found,) = [t for t in ax.texts if t.get_text().strip() == text]
    return np.array(found.get_position_3d())


@pytest.mark.parametrize("fmt", ["png", "svg", "pdf"])
def test_writes_picture_file(tmp_path, fmt):
    out = tmp_path / f"frames.{fmt}"
    assert cli.main(["draw", str(EXAMPLE), "--section", "tf_imu_config", "-o", str(out)]) == 0
    data = out.read_bytes()
    if fmt == "svg":
        assert ET.fromstring(data).tag == "{http://www.w3.org/2000/svg}svg"
    else:
        assert data.startswith(MAGIC[fmt])
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # no temporary file left


def test_figure_has_one_labelled_panel_per_section(example_sections):
    fig = draw_figure(list(example_sections.values()), tf=TF_WORKED, pose=POSE, panel_size=3)
    panels = [ax for ax in fig.axes if ax.name == "3d"]
    expected = [("tf_wrench_config", "wrist_ft_sensor", "hard_rt"),
                ("tf_twist_config", "tool_twist", "soft_rt"),
                ("tf_pose_config", "tool_pose", "strict_rt"),
                ("tf_imu_config", "base_imu", "best_effort")]
    assert len(panels) == len(expected)
    for ax, words in zip(panels, expected):
        assert all(word in ax.get_title() for word in words), ax.get_title()
        labels = {t.get_text().strip() for t in ax.texts}
        assert {"F", "M", "input", "output", "x", "y", "z"} <= labels
        # F and M solid, the two expression axes dashed: x red, y green, z blue, four of each.
        for colour in AXIS_COLOURS:
            styles = [line.get_linestyle() for line in ax.lines
                      if to_rgba(line.get_color()) == to_rgba(colour)]
            assert sorted(styles) == ["-", "-", "--", "--"]
    notes = [t.get_text() for ax in fig.axes if ax.name != "3d" for t in ax.texts]
    assert "p_in  moving_frame [0.1, 0, 0] m" in notes[0]
    assert "q_out fixed_frame  [0.7071, 0.7071, 0, 0]" in notes[0]


def test_wrench_worked_example_places_moving_frame_and_input_point(example_sections):
    section = example_sections["tf_wrench_config"]
    frames = resolve_frames(section, tf=TF_WORKED)
    np.testing.assert_allclose(frames.p_in, [1, 2.1, 3], atol=1e-12)
    np.testing.assert_allclose(frames.q_in, [H, 0, 0, H], atol=1e-12)
    np.testing.assert_allclose(frames.p_out, [0, 0, 0], atol=1e-12)
    fig = draw_figure([section], tf=TF_WORKED, panel_size=3)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    np.testing.assert_allclose(text_at(ax, "M"), [1, 2, 3])
    np.testing.assert_allclose(text_at(ax, "input"), [1, 2.1, 3], atol=1e-12)
    # M's x axis (red, solid, starting at M) is F's y axis: a quarter turn about z.
    (m_x,) = [line for line in solid_lines(ax) if to_rgba(line.get_color()) == to_rgba("tab:red")
              and np.allclose(line_vector(line)[0], [1, 2, 3])]
    direction = line_vector(m_x)[1]
    np.testing.assert_allclose(direction / np.linalg.norm(direction), [0, 1, 0], atol=1e-12)


def test_unnormalised_axes_draw_what_the_block_applies(ext, kc, write_config):
    """Input axes [0, 0, 0, 2] stretch and turn the input triad's x axis to (-7, 0, 0), which is
    what the wrench block makes of a force (1, 0, 0) in those axes."""
    identity = {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]}
    origin = {"origin": "fixed_frame", "translation": [0, 0, 0]}
    path = write_config({"tf_wrench_config": {
        "set_input_reference_point": origin,
        "set_input_expression_axes": {"origin": "fixed_frame", "rotation": [0, 0, 0, 2]},
        "set_output_reference_point": origin, "set_output_expression_axes": identity}})
    out = np.zeros(6)
    assert ext.KivoTfWrench(path).update(np.array([1.0, 0, 0, 0, 0, 0]), out) \
        is kc.KivoControlReturnCode.Ok
    fig = draw_figure(load_sections(path), panel_size=3)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    dashed_red = [line_vector(line)[1] for line in ax.lines if line.get_linestyle() == "--"
                  and to_rgba(line.get_color()) == to_rgba("tab:red")]
    unit_red = [line_vector(line)[1] for line in solid_lines(ax)
                if to_rgba(line.get_color()) == to_rgba("tab:red")]
    # Expression triads share one length; F's x axis gives the frame triads' length.
    scale = np.linalg.norm(dashed_red[1]) / np.linalg.norm(unit_red[0])
    np.testing.assert_allclose(dashed_red[0] / np.linalg.norm(unit_red[0]) / scale, out[:3],
                               atol=1e-12)


def test_notes_name_misspelt_origins_and_non_unit_rotations(write_config):
    config = example_json()
    wrench = config["tf_wrench_config"]
    wrench["set_input_reference_point"]["origin"] = "moving-frame"
    wrench["set_output_expression_axes"]["rotation"] = [0, 0, 0, 1.01]
    fig = draw_figure(load_sections(write_config(config), "tf_wrench_config"),
                      tf=(0, 0, 0, 2, 0, 0, 0), panel_size=3)
    (notes,) = [t.get_text() for ax in fig.axes if ax.name != "3d" for t in ax.texts]
    assert "p_in: origin 'moving-frame' means the fixed frame" in notes
    assert "q_out: |q| = 1.01, used unnormalised" in notes
    assert "tf: |q| = 2, used unnormalised" in notes
    assert "q_in:" not in notes


def pose_config(input_point_origin, output_point_origin, output_axes_origin):
    section = example_json()["tf_pose_config"]
    section["set_input_reference_point"]["origin"] = input_point_origin
    section["set_output_reference_point"]["origin"] = output_point_origin
    section["set_output_expression_axes"]["origin"] = output_axes_origin
    return {"tf_pose_config": section}


ORIGINS = ["fixed_frame", "moving_frame"]


@pytest.mark.parametrize("in_point", ORIGINS)
@pytest.mark.parametrize("out_point", ORIGINS)
@pytest.mark.parametrize("out_axes", ORIGINS)
def test_pose_frames_match_the_block(ext, kc, write_config, in_point, out_point, out_axes):
    """The drawn M and output point and axes give the block's own output for the same pose."""
    path = write_config(pose_config(in_point, out_point, out_axes))
    (section,) = load_sections(path)
    frames = resolve_frames(section, pose=POSE)
    out = np.zeros(7)
    assert ext.KivoTfPose(path).update(np.array(POSE), out) is kc.KivoControlReturnCode.Ok
    q_o_conj = q_conjugate(frames.q_out)
    np.testing.assert_allclose(rotate(q_o_conj, frames.p_out), out[:3], atol=1e-12)
    np.testing.assert_allclose(q_multiply(q_o_conj, frames.q_M), out[3:], atol=1e-12)

    # M itself: the block hands out M's pose with output point "moving_frame" [0, 0, 0] and
    # output axes "fixed_frame" identity.
    config = pose_config(in_point, "moving_frame", "fixed_frame")
    config["tf_pose_config"]["set_output_reference_point"]["translation"] = [0, 0, 0]
    config["tf_pose_config"]["set_output_expression_axes"]["rotation"] = [1, 0, 0, 0]
    m_pose = np.zeros(7)
    ext.KivoTfPose(write_config(config, "m.json")).update(np.array(POSE), m_pose)
    np.testing.assert_allclose(frames.t_M, m_pose[:3], atol=1e-12)
    np.testing.assert_allclose(frames.q_M, m_pose[3:], atol=1e-12)
    fig = draw_figure([section], pose=POSE, panel_size=3)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    np.testing.assert_allclose(text_at(ax, "M"), m_pose[:3], atol=1e-12)


def test_pose_worked_example(example_sections):
    frames = resolve_frames(example_sections["tf_pose_config"], pose=(1, 0, 0, H, 0, 0, H))
    np.testing.assert_allclose(frames.q_M, [0.5, 0.5, -0.5, 0.5], atol=1e-12)
    np.testing.assert_allclose(frames.t_M, [1, 0, -0.1], atol=1e-12)
    np.testing.assert_allclose(frames.p_out, [1, 0, 0.4], atol=1e-12)


def one_line(text):
    lines = text.splitlines()
    assert len(lines) == 1, text
    return lines[0]


@pytest.mark.parametrize("broken", [
    {"set_input_reference_point": {"origin": "fixed_frame", "translation": ["a", 0, 0]}},
    {"set_output_expression_axes": {"rotation": [1, 0, 0, 0]}},
    {"name": 7},
])
def test_section_that_cannot_load_is_refused_with_library_message(ext, write_config, tmp_path,
                                                                  capsys, broken):
    config = example_json()
    config["tf_twist_config"].update(broken)
    path = write_config(config)
    with pytest.raises(RuntimeError) as loader:
        ext.KivoTfTwist(path)
    out = tmp_path / "frames.png"
    assert cli.main(["draw", path, "-o", str(out)]) == 2
    assert one_line(capsys.readouterr().err) == f"kivo-tf draw: error: {loader.value}"
    assert not out.exists()


@pytest.mark.parametrize("argv, message", [
    (["draw", "/nonexistent/kivo.json", "-o", "x.png"],
     "Could not open config file: /nonexistent/kivo.json"),
    (["draw", str(EXAMPLE), "--section", "tf_other_config", "-o", "x.png"],
     "unknown section 'tf_other_config'"),
    (["draw", str(EXAMPLE), "-o", "frames.jpg"], "must end in .png, .svg or .pdf"),
    (["draw", str(EXAMPLE), "--tf", "0", "0", "0", "nan", "0", "0", "0", "-o", "x.png"],
     "--tf needs seven finite numbers"),
    *[(["draw", str(EXAMPLE), "--pose", "0", "0", text, "1", "0", "0", "0", "-o", "x.png"],
       f"--pose needs seven finite numbers: '{text}' is not a finite number written with ASCII "
       "digits") for text in ("1_000", "\u0661\u0662", "\uff13", "inf", "0x1", " 1")],
    (["draw", str(EXAMPLE), "--axis-length", "0", "-o", "x.png"],
     "--axis-length needs a length in metres above 0"),
    (["draw", str(EXAMPLE), "--axis-length", "1e400", "-o", "x.png"],
     "--axis-length needs a number: '1e400' is not a finite number"),
])
def test_unusable_input_is_refused(tmp_path, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    assert cli.main(argv) == 2
    assert message in one_line(capsys.readouterr().err)
    assert list(tmp_path.iterdir()) == []


def test_missing_matplotlib_names_the_install_command(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
    assert cli.main(["draw", str(EXAMPLE), "-o", str(tmp_path / "x.png")]) == 2
    line = one_line(capsys.readouterr().err)
    assert line.startswith("kivo-tf draw: ") and INSTALL_HINT in line


def test_matplotlib_is_imported_only_when_drawing(run_python, layout_dir, tmp_path):
    code = ("import sys, kivo_tf_tools.cli, kivo_tf_tools.draw; "
            "print(any(m.split('.')[0] == 'matplotlib' for m in sys.modules))")
    tools_dir = Path(cli.__file__).resolve().parents[1]
    result = run_python(code, cwd=tmp_path, pythonpath=f"{tools_dir}:{layout_dir}")
    assert result.stdout.strip() == "False", result.stderr


def flange_config():
    """A force/torque sensor 3.5 cm and a tool point 15 cm from a flange, in the flange's frame."""
    return {"tf_wrench_config": {
        "set_input_reference_point": {"origin": "moving_frame", "translation": [0, 0, 0.035]},
        "set_input_expression_axes": {"origin": "moving_frame", "rotation": [H, 0, 0, H]},
        "set_output_reference_point": {"origin": "moving_frame", "translation": [0.03, 0, 0.15]},
        "set_output_expression_axes": {"origin": "moving_frame", "rotation": [1, 0, 0, 0]}}}


FLANGE_TF = (0.49, 0.13, 0.49, 0.0, 1.0, 0.0, 0.0)  # tool pointing down: a half turn about x


def triad_lengths(ax, style):
    return sorted({round(float(np.linalg.norm(line_vector(line)[1])), 12) for line in ax.lines
                   if line.get_linestyle() == style})


def test_triads_follow_the_configuration_and_can_be_set(write_config):
    (section,) = load_sections(write_config(flange_config()))
    frames = resolve_frames(section, tf=FLANGE_TF)
    (ax,) = [a for a in draw_figure([section], tf=FLANGE_TF, panel_size=3).axes if a.name == "3d"]
    # The sensor is 3.5 cm from M: neither M's triad nor the sensor's axes reach the other point.
    frame, = triad_lengths(ax, "-")
    axes, = triad_lengths(ax, "--")
    assert axes == pytest.approx(1.5 * frame)
    assert frame + axes < 0.035
    fig = draw_figure([section], tf=FLANGE_TF, panel_size=3, axis_length=0.05)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    assert triad_lengths(ax, "-") == [0.05] and triad_lengths(ax, "--") == [0.075]
    # Zoomed to the points: F's origin (0.7 m away) is left out and the caption says so.
    fig = draw_figure([section], tf=FLANGE_TF, panel_size=3, zoom_to_points=True)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    assert ax.get_xlim()[1] - ax.get_xlim()[0] < 0.3
    assert "F" not in {t.get_text() for t in ax.texts}
    assert len(solid_lines(ax)) == 3  # M's triad only
    (notes,) = [t.get_text() for a in fig.axes if a.name != "3d" for t in a.texts]
    assert "F's origin lies outside the view" in notes
    np.testing.assert_allclose(text_at(ax, "input"), frames.p_in, atol=1e-12)


def test_four_panel_page_keeps_captions_titles_and_columns_apart(example_sections):
    fig = draw_figure(list(example_sections.values()), tf=TF_WORKED, pose=(1, 0, 0, H, 0, 0, H))
    renderer = fig.canvas.get_renderer()
    panels = [ax for ax in fig.axes if ax.name == "3d"]
    captions = [t.get_window_extent(renderer) for ax in fig.axes if ax.name != "3d"
                for t in ax.texts]
    titles = [ax.title.get_window_extent(renderer) for ax in panels]
    width = fig.bbox.width
    for index, caption in enumerate(captions):
        assert 0 <= caption.x0 and caption.x1 <= width * (0.5 if index % 2 == 0 else 1.0)
        if index + 2 < len(titles):  # the panel below in the same column
            assert caption.y0 > titles[index + 2].y1
        assert caption.y1 < titles[index].y0
    assert min(c.y0 for c in captions) >= 0


def test_labels_lie_over_markers_and_coinciding_frames_stay_apart(example_sections):
    """IMU example: F and M share their origin, M turned a quarter turn about z; the input point
    lies there too. F's triad is drawn longer than M's, and every label above every marker."""
    tf = (0.0, 0.0, 0.0, H, 0.0, 0.0, H)
    fig = draw_figure([example_sections["tf_imu_config"]], tf=tf, panel_size=3)
    (ax,) = [a for a in fig.axes if a.name == "3d"]
    solid = triad_lengths(ax, "-")
    assert len(solid) == 2 and solid[1] == pytest.approx(1.4 * solid[0])
    labels = [t for t in ax.texts if t.get_text() in ("F", "M", "input", "output")]
    assert len(labels) == 4
    assert min(t.get_zorder() for t in labels) > max(c.get_zorder() for c in ax.collections)
    # F, M and the input point share one spot: their labels do not overlap.
    renderer = fig.canvas.get_renderer()
    boxes = [t.get_window_extent(renderer) for t in labels]
    for i, a in enumerate(boxes):
        assert not any(a.overlaps(b) for b in boxes[i + 1:]), [t.get_text() for t in labels]


@pytest.mark.parametrize("coordinate", ["1.3e154", "1e200", "-1e300"])
def test_huge_coordinates_are_refused_in_one_line(write_config, tmp_path, capsys, coordinate):
    config = example_json()
    config["tf_imu_config"]["set_output_reference_point"]["translation"][0] = float(coordinate)
    out = tmp_path / "x.png"
    assert cli.main(["draw", write_config(config), "--section", "tf_imu_config",
                     "-o", str(out)]) == 2
    line = one_line(capsys.readouterr().err)
    assert line.startswith("kivo-tf draw: error: the output point is at [")
    assert line.endswith("m: a picture shows coordinates up to 1e+06 m")
    assert not out.exists()


def test_text_from_the_file_is_escaped_and_never_read_as_notation(write_config, tmp_path):
    config = example_json()
    wrench = config["tf_wrench_config"]
    wrench["name"] = "cost $\\frac{a"  # not valid mathematical notation
    wrench["policy"] = "hard\x1b[2J"
    wrench["set_input_reference_point"]["origin"] = "moving\x00frame"
    path = write_config({"tf_wrench_config": wrench})
    out = tmp_path / "x.svg"
    assert cli.main(["draw", path, "-o", str(out)]) == 0
    fig = draw_figure(load_sections(path), panel_size=3)
    texts = [t.get_text() for ax in fig.axes for t in [*ax.texts, ax.title]]
    assert not any(c in text for text in texts for c in "\x00\x1b")
    joined = "\n".join(texts)
    assert "moving\\x00frame" in joined and "'hard\\x1b[2J' (-> best_effort)" in joined
    assert '"cost $\\frac{a"' in joined


def test_a_link_is_followed_and_a_directory_never_replaced(tmp_path, capsys):
    target = tmp_path / "pictures" / "frames.png"
    target.parent.mkdir()
    target.write_bytes(b"old")
    link = tmp_path / "frames.png"
    link.symlink_to(target)
    assert cli.main(["draw", str(EXAMPLE), "--section", "tf_imu_config", "-o", str(link)]) == 0
    assert link.is_symlink() and target.read_bytes().startswith(MAGIC["png"])
    directory = tmp_path / "dir.png"
    directory.mkdir()
    assert cli.main(["draw", str(EXAMPLE), "-o", str(directory)]) == 2
    assert "is not a regular file: not replaced" in one_line(capsys.readouterr().err)
    assert directory.is_dir()


def test_draws_with_the_standard_streams_closed(tmp_path, layout_dir):
    out = tmp_path / "x.png"
    result = subprocess.run(
        [sys.executable, "-m", "kivo_tf_tools", "draw", str(EXAMPLE), "-o", str(out)],
        stdin=None, stdout=None, stderr=None, timeout=120,
        preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
    assert result.returncode == 0 and out.read_bytes().startswith(MAGIC["png"])
