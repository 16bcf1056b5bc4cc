"""`kivo-tf run` on ROS bags: transforms from the bag's tf tree against the closed form of the
recorded scene (see bagmaker), pass-through of every other message, refusals, bad inputs."""
import json
import math
import re
import shlex
import subprocess
from pathlib import Path

import numpy as np
import pyarrow.csv
import pyarrow.parquet
import pytest

import bagmaker
from kivo_tf_tools import bags, cli, tf_tree, transform
from kivo_tf_tools.sections import load_sections
from kivo_tf_tools.tf_tree import TfTree

F = {"origin": "fixed_frame"}
M = {"origin": "moving_frame"}
IDENTITY = [1, 0, 0, 0]
QUARTER_X = [math.sqrt(0.5), math.sqrt(0.5), 0, 0]
QUARTER_Y = [math.sqrt(0.5), 0, math.sqrt(0.5), 0]


def section(input_point, input_axes, output_point, output_axes):
    return {"set_input_reference_point": {**input_point[0], "translation": input_point[1]},
            "set_input_expression_axes": {**input_axes[0], "rotation": input_axes[1]},
            "set_output_reference_point": {**output_point[0], "translation": output_point[1]},
            "set_output_expression_axes": {**output_axes[0], "rotation": output_axes[1]}}


# The scene's 'sensor' as mounted on M = arm: 0.1 m along its x axis, a quarter turn about y;
# output at F's origin in F's axes.
SENSOR_IN_M = section((M, [0.1, 0, 0]), (M, QUARTER_Y), (F, [0, 0, 0]), (F, IDENTITY))
CONFIG = {
    "tf_wrench_config": SENSOR_IN_M,
    "tf_twist_config": section((M, [0.1, 0, 0]), (M, IDENTITY), (F, [0, 0, 0]), (F, QUARTER_X)),
    "tf_imu_config": section((M, [0, 0, 0]), (M, IDENTITY), (M, [0.2, 0, 0]), (F, IDENTITY)),
    "tf_pose_config": section((F, [0, 0, 0]), (F, IDENTITY), (M, [0, 0, 0.1]), (F, IDENTITY)),
}


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "config.json"
    path.write_text(json.dumps(CONFIG))
    return str(path)


@pytest.fixture
def scene(tmp_path, kind):
    """The scene's bag of each kind, with a wrench topic /ft stamped in 'sensor'."""
    return bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind,
                              bagmaker.scene_records(kind))


def out_path(tmp_path, kind, name="out"):
    return bagmaker.bag_path(tmp_path, kind, name)


def expected(config, section_name, signals, tfs):
    out, status = transform(config, section_name, np.array(signals), np.array(tfs))
    assert (status == 0).all()
    return out


INSIDE = [k for k, t in enumerate(bagmaker.SENSOR_TIMES)
          if bagmaker.TF_TIMES[0] <= t <= bagmaker.TF_TIMES[-1]]


def test_wrench_bag_matches_the_closed_form_and_passes_everything_through(
        config, scene, kind, tmp_path, kivo_run):
    output = out_path(tmp_path, kind)
    status, err = kivo_run(config, "tf_wrench_config", "-i", scene, "-o", output,
                           "--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "arm")
    assert status == 0, err
    # Every connection and message of the input, byte for byte, with the input's bag times.
    before, after = bagmaker.read_raw(scene), bagmaker.read_raw(output)
    assert {k: v for k, v in after.items() if k[0] != "/ft/kivo_tf"} == before
    # The transformed messages: only those with a transform, at the input's bag times.
    written = bagmaker.read_messages(output, "/ft/kivo_tf")
    inputs = bagmaker.read_messages(scene, "/ft")
    assert [ns for ns, _ in written] == [inputs[k][0] for k in INSIDE]
    signals = [bagmaker_signal(inputs[k][1]) for k in INSIDE]
    tfs = [bagmaker.closed_form_tf("world", "arm", bagmaker.SENSOR_TIMES[k]) for k in INSIDE]
    want = expected(config, "tf_wrench_config", signals, tfs)
    got = np.array([bagmaker_signal(m) for _, m in written])
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
    for (_, m), k in zip(written, INSIDE):
        assert m.header.frame_id == "world"
        assert m.header.stamp == inputs[k][1].header.stamp
        assert getattr(m.header, "seq", None) == getattr(inputs[k][1].header, "seq", None)
    assert "7 messages on /ft, 5 transformed, 0 refused by the block" in err
    assert ("2 messages without a transform (stamp outside the recorded tf samples; not "
            "transformed): first at 99.950000000 s, last at 101.050000000 s") in err


def bagmaker_signal(msg):
    w = msg.wrench
    return [w.force.x, w.force.y, w.force.z, w.torque.x, w.torque.y, w.torque.z]


@pytest.mark.parametrize("fixed, moving", [
    ("world", "sensor"),      # down the tree through two static and two dynamic edges
    ("sensor", "world"),      # the same path walked up
    ("camera", "/arm"),       # up to the root and down again; a leading '/' ignored
    ("base", "base"),         # no edge at all
])
@pytest.mark.parametrize("block", [3, tf_tree.LOOKUP_BLOCK])
def test_tf_lookup_follows_the_path_and_interpolates_exactly(fixed, moving, block, monkeypatch):
    monkeypatch.setattr(tf_tree, "LOOKUP_BLOCK", block)
    tree = TfTree()
    for topic, _, _, msg in bagmaker.scene_records("sqlite3"):
        if topic in ("/tf", "/tf_static"):
            for tf in msg.transforms:
                t, q = tf.transform.translation, tf.transform.rotation
                stamp = tf.header.stamp.sec * 10**9 + tf.header.stamp.nanosec
                tree.add(tf.header.frame_id, tf.child_frame_id, stamp,
                         (t.x, t.y, t.z, q.w, q.x, q.y, q.z), topic == "/tf_static")
    times = [-0.01, 0.0, 0.03, 0.37, 0.5, 0.999, 1.0, 1.0001]
    stamps = [bagmaker.T0_NS + round(t * 1e9) for t in times]
    found = tree.lookup(fixed, moving, stamps)
    dynamic = fixed != moving
    assert found.valid.tolist() == [not dynamic, True, True, True, True, True, True, not dynamic]
    for k, t in enumerate(times):
        if found.valid[k]:
            want = bagmaker.closed_form_tf(fixed.lstrip("/"), moving.lstrip("/"), t)
            got = found.tf[k]
            np.testing.assert_allclose(got[:3], want[:3], rtol=0, atol=1e-12)
            # The same rotation: q or −q.
            assert abs(abs(np.dot(got[3:], want[3:])) - 1.0) < 1e-12


def test_table_outputs_csv_and_parquet(config, tmp_path, kivo_run):
    scene = bagmaker.write_bag(tmp_path / "in.bag", "ros1", bagmaker.scene_records("ros1"))
    for name in ("out.csv", "out.parquet"):
        status, err = kivo_run(config, "tf_wrench_config", "-i", scene, "-o", tmp_path / name,
                               "--topic", "/ft", "--fixed-frame", "world",
                               "--moving-frame", "arm")
        assert status == 0, err
    from_csv = pyarrow.csv.read_csv(tmp_path / "out.csv").to_pydict()
    from_parquet = pyarrow.parquet.read_table(tmp_path / "out.parquet").to_pydict()
    assert list(from_parquet) == ["t", "stamp_ns", "fx", "fy", "fz", "tx", "ty", "tz", "tf_x",
                                  "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz", "status"]
    for table in (from_csv, from_parquet):
        assert table["t"] == [100 + t for t in bagmaker.SENSOR_TIMES]
        assert table["stamp_ns"] == [bagmaker.T0_NS + round(t * 1e9)
                                     for t in bagmaker.SENSOR_TIMES]
        assert table["status"] == ["NoTransform", "Ok", "Ok", "Ok", "Ok", "Ok", "NoTransform"]
        # No value where there is no transform: NaN (read from CSV as null).
        assert all(v is None or math.isnan(v) for v in (table["fx"][0], table["tf_qw"][-1]))
        tf = np.array([[table[c][k] for c in ("tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy",
                                              "tf_qz")] for k in INSIDE])
        closed = np.array([bagmaker.closed_form_tf("world", "arm", bagmaker.SENSOR_TIMES[k])
                           for k in INSIDE])
        np.testing.assert_allclose(tf[:, :3], closed[:, :3], rtol=0, atol=1e-12)
    # CSV floats read back to the same bits as Parquet's.
    assert from_csv["fx"][1:-1] == from_parquet["fx"][1:-1]


def test_pose_bag_takes_no_transform_and_names_the_input_frame(config, tmp_path, kivo_run):
    kind = "mcap"
    poses = [[0.1 * k, 0.0, 1.0, *bagmaker.axis_quat((0, 0, 1), 0.2 * k)]
             for k in range(len(bagmaker.SENSOR_TIMES))]
    scene = bagmaker.write_bag(
        bagmaker.bag_path(tmp_path, kind), kind, bagmaker.scene_records(
            kind, "geometry_msgs/msg/PoseStamped", "/pose", "odom", poses))
    output = out_path(tmp_path, kind)
    status, err = kivo_run(config, "tf_pose_config", "-i", scene, "-o", output,
                           "--topic", "pose", "--output-topic", "/body")
    assert status == 0, err
    written = bagmaker.read_messages(output, "/body")
    assert len(written) == len(poses)  # no tf needed: every message is transformed
    want, _ = transform(config, "tf_pose_config", np.array(poses))
    got = [[m.pose.position.x, m.pose.position.y, m.pose.position.z, m.pose.orientation.w,
            m.pose.orientation.x, m.pose.orientation.y, m.pose.orientation.z]
           for _, m in written]
    np.testing.assert_array_equal(got, want)
    assert {m.header.frame_id for _, m in written} == {"odom"}


def test_imu_orientation_marked_and_covariances_rotated(config, tmp_path, kivo_run):
    kind = "sqlite3"
    count = len(bagmaker.SENSOR_TIMES)
    rng = np.random.default_rng(7)
    signals = rng.normal(size=(count, 6)).tolist()
    sigma_a = np.diag([0.01, 0.02, 0.03])
    sigma_a[0, 1] = sigma_a[1, 0] = 0.005
    sigma_w = np.diag([0.001, 0.002, 0.004])
    covariances = [(sigma_a.ravel(), sigma_w.ravel())] * count
    scene = bagmaker.write_bag(
        bagmaker.bag_path(tmp_path, kind), kind, bagmaker.scene_records(
            kind, "sensor_msgs/msg/Imu", "/imu", "arm", signals, covariances))
    output = out_path(tmp_path, kind)
    status, err = kivo_run(config, "tf_imu_config", "-i", scene, "-o", output, "--topic", "/imu",
                           "--fixed-frame", "odom", "--moving-frame", "arm")
    assert status == 0, err
    written = bagmaker.read_messages(output, "/imu/kivo_tf")
    assert len(written) == len(INSIDE)
    for (_, m), k in zip(written, INSIDE):
        assert m.orientation_covariance[0] == -1.0
        assert m.header.frame_id == "odom"
        tf = bagmaker.closed_form_tf("odom", "arm", bagmaker.SENSOR_TIMES[k])
        rotation = bagmaker.matrix(tf[:3], tf[3:])[:3, :3]  # M axes to F axes
        np.testing.assert_allclose(m.angular_velocity_covariance.reshape(3, 3),
                                   rotation @ sigma_w @ rotation.T, rtol=0, atol=1e-15)
        # First-order propagation through the block itself: d out / d input, by differences.
        jacobian = np.empty((6, 6))
        h = 1e-6
        for j in range(6):
            step = np.zeros(6)
            step[j] = h
            rows = np.array([np.add(signals[k], step), np.subtract(signals[k], step)])
            out, _ = transform(config, "tf_imu_config", rows, np.array([tf, tf]))
            jacobian[:, j] = (out[0] - out[1]) / (2 * h)
        sigma_in = np.zeros((6, 6))
        sigma_in[:3, :3], sigma_in[3:, 3:] = sigma_a, sigma_w
        sigma_out = jacobian @ sigma_in @ jacobian.T
        np.testing.assert_allclose(m.linear_acceleration_covariance.reshape(3, 3),
                                   sigma_out[:3, :3], rtol=1e-6, atol=1e-12)


def test_refused_rows_are_counted_and_not_written(tmp_path, kivo_run):
    # A section whose output axes entry is missing: the block refuses every row (NotReady).
    path = tmp_path / "partial.json"
    incomplete = dict(SENSOR_IN_M)
    del incomplete["set_output_reference_point"]
    path.write_text(json.dumps({"tf_wrench_config": incomplete}))
    scene = bagmaker.write_bag(tmp_path / "in.bag", "ros1", bagmaker.scene_records("ros1"))
    status, err = kivo_run(path, "tf_wrench_config", "-i", scene, "-o", tmp_path / "out.bag",
                           "--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "arm")
    assert status == 0, err
    assert "0 transformed, 5 refused by the block (NotReady 5); 0 messages on /ft/kivo_tf" in err
    assert bagmaker.read_messages(tmp_path / "out.bag", "/ft/kivo_tf") == []


@pytest.mark.parametrize("options, message", [
    (["--topic", "/nope", "--fixed-frame", "world", "--moving-frame", "sensor"],
     "the bag has no topic '/nope'; its topics: /chatter (std_msgs/msg/String), "
     "/ft (geometry_msgs/msg/WrenchStamped), /tf (tf2_msgs/msg/TFMessage), "
     "/tf_static (tf2_msgs/msg/TFMessage)"),
    (["--topic", "/chatter", "--fixed-frame", "world", "--moving-frame", "sensor"],
     "topic /chatter is std_msgs/msg/String, but tf_wrench_config (KivoTfWrench) reads "
     "geometry_msgs/msg/WrenchStamped"),
    (["--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "rock"],
     "the bag's tf tree has no path between 'world' and 'rock'; its frames:\n"
     "  island\n    rock\n  world\n    camera\n    odom\n      base\n        arm\n"
     "          ft_sensor\n          sensor"),
    (["--topic", "/ft", "--fixed-frame", "map", "--moving-frame", "sensor"],
     "the bag's tf tree has no frame 'map'; its frames:\n  island\n"),
    (["--topic", "/ft", "--fixed-frame", "world"],
     "tf_wrench_config places an entry in the moving frame: give --moving-frame (the frames "
     "of the bag's tf tree whose transform the block takes)"),
    (["--topic", "/ft"],
     "give --fixed-frame and --moving-frame"),
])
def test_bad_inputs_stop_with_one_message_and_no_output(config, scene, kind, tmp_path, kivo_run,
                                                        options, message):
    output = out_path(tmp_path, kind)
    status, err = kivo_run(config, "tf_wrench_config", "-i", scene, "-o", output, *options)
    assert status == 2
    assert err.startswith("kivo-tf run: error: ")
    assert message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([scene.name, "config.json"])


@pytest.mark.parametrize("section_name, options, output, message", [
    ("tf_pose_config", ["--fixed-frame", "a", "--moving-frame", "b"], "out.bag",
     "--fixed-frame and --moving-frame cannot be used with tf_pose_config: the pose block "
     "takes no fixed-to-moving-frame transform"),
    ("tf_twist_config", ["--fixed-frame", "world", "--moving-frame", "sensor"], "out.bag",
     "give --output-frame-id: the output axes of tf_twist_config are not simply the fixed or "
     "the moving frame's axes of a named frame"),
    ("tf_wrench_config", ["--fixed-frame", "world", "--moving-frame", "sensor"], "out",
     "the output out must be a table (.csv, .parquet) or, like the input, a ROS 1 bag"),
    ("tf_wrench_config", ["--fixed-frame", "world", "--moving-frame", "sensor"], "-",
     "the output of a bag cannot be the standard output"),
    ("tf_wrench_config", ["--fixed-frame", "world", "--moving-frame", "sensor",
                          "--output-topic", "/chatter"], "out.bag",
     "the bag already has a topic /chatter: choose another --output-topic"),
    ("tf_twist_config", ["--fixed-frame", "world", "--moving-frame", "sensor",
                         "--angular-acceleration", "central"], "out.bag",
     "--angular-acceleration central applies to the IMU block only"),
])
def test_options_that_do_not_fit(config, tmp_path, kivo_run, monkeypatch, section_name,
                                 options, output, message):
    scene = bagmaker.write_bag(tmp_path / "in.bag", "ros1", bagmaker.scene_records("ros1"))
    monkeypatch.chdir(tmp_path)
    status, err = kivo_run(config, section_name, "-i", scene, "-o", output, "--topic", "/ft",
                           *options)
    assert status == 2
    assert message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.json", "in.bag"]


def test_an_existing_output_is_never_replaced(config, tmp_path, kivo_run):
    scene = bagmaker.write_bag(tmp_path / "in.bag", "ros1", bagmaker.scene_records("ros1"))
    (tmp_path / "out.bag").write_bytes(b"mine")
    status, err = kivo_run(config, "tf_wrench_config", "-i", scene, "-o", tmp_path / "out.bag",
                           "--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "arm")
    assert status == 2
    assert "out.bag exists; kivo-tf run does not replace it" in err
    assert (tmp_path / "out.bag").read_bytes() == b"mine"


def test_imu_covariance_unknown_and_not_estimated_pass_as_they_are(config):
    section = load_sections(config, "tf_imu_config")[0]
    tf = np.array([bagmaker.closed_form_tf("odom", "arm", 0.3)] * 2)
    imu = np.array([[0, 0, 9.81, 0.1, 0.2, 0.3]] * 2)
    unknown = np.zeros((2, 9))
    marked = np.zeros((2, 9))
    marked[:, 0] = -1.0
    out_a, out_w = bags.imu_covariances(section, tf, imu, marked, unknown)
    np.testing.assert_array_equal(out_a, marked)
    np.testing.assert_array_equal(out_w, unknown)


def test_is_bag(tmp_path):
    (tmp_path / "r2").mkdir()
    (tmp_path / "r2" / "metadata.yaml").write_text("")
    assert bags.is_bag("x.bag") and bags.is_bag(str(tmp_path / "r2"))
    assert not bags.is_bag("x.csv") and not bags.is_bag(str(tmp_path))


REPO = Path(__file__).resolve().parents[2]
TIMING = re.compile(r"\d+\.\d\d s, [\d,]+ messages/s")


def doc_examples():
    """(command, expected output lines) of the console examples of docs/logs.md's sections on
    bags, in order."""
    text = (REPO / "docs" / "logs.md").read_text()
    sections = re.findall(r"^## (?:ROS bags|kivo-tf frames)\n(.*?)(?=^## |\Z)", text,
                          re.S | re.M)
    examples = []
    for section_text in sections:
        for block in re.findall(r"```console\n(.*?)```", section_text, re.S):
            for chunk in block.split("$ ")[1:]:
                command, *lines = chunk.rstrip("\n").split("\n")
                examples.append((command, lines))
    return examples


def test_doc_examples(tmp_path, monkeypatch, capfd):
    (tmp_path / "examples").symlink_to(REPO / "examples")
    bagmaker.write_doc_bags(tmp_path)
    monkeypatch.chdir(tmp_path)
    examples = doc_examples()
    assert len(examples) == 15
    for command, expected in examples:
        words = shlex.split(command)
        if words[0] == "kivo-tf":
            cli.main(words[1:])
            captured = capfd.readouterr()
            lines = (captured.out + captured.err).splitlines()
        else:
            lines = subprocess.run(command, shell=True, cwd=tmp_path, capture_output=True,
                                   text=True, check=True).stdout.splitlines()
        assert [TIMING.sub("T", line) for line in lines] == [
            TIMING.sub("T", line) for line in expected], command


@pytest.mark.parametrize("batch", [bags.BATCH, 2])
def test_angular_acceleration_term_from_a_bag_equals_the_table_run(config, tmp_path, kivo_run,
                                                                    monkeypatch, batch):
    """The α × r term added after the block from a bag's stamps is the one a table run with the
    same times, signals and transforms adds (the scene's M turns about a turning axis: α ≠ 0),
    whether the bag's messages go through in one batch or in many."""
    monkeypatch.setattr(bags, "BATCH", batch)
    kind = "sqlite3"
    count = len(bagmaker.SENSOR_TIMES)
    signals = np.random.default_rng(3).normal(size=(count, 6))
    scene = bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind, bagmaker.scene_records(
        kind, "sensor_msgs/msg/Imu", "/imu", "arm", signals.tolist()))
    frames = ("--topic", "/imu", "--fixed-frame", "odom", "--moving-frame", "arm")
    tables = {}
    for mode in ("none", "central"):
        status, err = kivo_run(config, "tf_imu_config", "-i", scene, "-o", tmp_path / f"{mode}.csv",
                               *frames, "--angular-acceleration", mode)
        assert status == 0, err
        tables[mode] = pyarrow.csv.read_csv(tmp_path / f"{mode}.csv").to_pydict()
    assert "α × r was added" in err
    bag_out = tables["central"]
    signal_names = ["ax", "ay", "az", "wx", "wy", "wz"]
    tf_names = ["tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz"]
    # Integer nanosecond stamps: the table run takes the same exact steps as the bag run.
    rows = [",".join(map(repr, [bag_out["stamp_ns"][k], bag_out["t"][k], *signals[k].tolist(),
                               *(bag_out[c][k] for c in tf_names)]))
            for k in INSIDE]
    (tmp_path / "log.csv").write_text(",".join(["stamp_ns", "t", *signal_names, *tf_names])
                                      + "\n" + "\n".join(rows) + "\n")
    status, err = kivo_run(config, "tf_imu_config", "-i", tmp_path / "log.csv",
                           "-o", tmp_path / "table.csv", "--angular-acceleration", "central")
    assert status == 0, err
    table_out = pyarrow.csv.read_csv(tmp_path / "table.csv").to_pydict()
    from_bag = np.array([[bag_out[c][k] for c in signal_names] for k in INSIDE])
    from_table = np.array([table_out[c] for c in signal_names]).T
    np.testing.assert_array_equal(from_bag, from_table)
    without = np.array([[tables["none"][c][k] for c in signal_names] for k in INSIDE])
    assert np.abs(from_bag[:, :3] - without[:, :3]).max() > 1e-3
