"""`kivo-tf frames`: the tf tree of a bag, printed and drawn."""
import pytest

import bagmaker
from kivo_tf_tools import cli

# The scene of bagmaker: dynamic edges sampled 11 times over [100 s, 101 s], statics once.
EXPECTED = """\
frame           parent  kind     transforms  rate   time range (s)
island          -       root     -           -      -
  rock          island  static   1           -      100.000000000
world           -       root     -           -      -
  camera        world   dynamic  11          10 Hz  100.000000000 .. 101.000000000
  odom          world   static   1           -      100.000000000
    base        odom    dynamic  11          10 Hz  100.000000000 .. 101.000000000
      arm       base    dynamic  11          10 Hz  100.000000000 .. 101.000000000
        sensor  arm     static   1           -      100.000000000
"""


@pytest.fixture
def kivo_frames(capsys):
    def run(*argv):
        status = cli.main(["frames", *map(str, argv)])
        captured = capsys.readouterr()
        return status, captured.out, captured.err
    return run


@pytest.mark.parametrize("kind", bagmaker.KINDS)
def test_prints_every_frame_with_parent_kind_count_rate_and_range(tmp_path, kind, kivo_frames):
    bag = bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind,
                             bagmaker.scene_records(kind))
    status, out, err = kivo_frames(bag)
    assert (status, err) == (0, "")
    assert out == EXPECTED


@pytest.mark.parametrize("name, magic", [("tree.png", b"\x89PNG"), ("tree.svg", b"<?xml")])
def test_draws_the_tree(tmp_path, kivo_frames, name, magic):
    bag = bagmaker.write_bag(tmp_path / "in.bag", "ros1", bagmaker.scene_records("ros1"))
    status, out, err = kivo_frames(bag, "-o", tmp_path / name)
    assert status == 0
    assert (tmp_path / name).read_bytes().startswith(magic)
    if name.endswith(".svg"):
        text = (tmp_path / name).read_text()
        assert all(frame in text for frame in ("world", "odom", "sensor", "rock"))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["in.bag", name])


def test_a_bag_without_tf(tmp_path, kivo_frames):
    store = bagmaker.typestore("mcap")
    bag = bagmaker.write_bag(tmp_path / "plain", "mcap", [
        ("/chatter", "std_msgs/msg/String", 1, store.types["std_msgs/msg/String"](data="hi"))])
    status, out, _ = kivo_frames(bag)
    assert status == 0
    assert out == f"{bag}: no transforms (the bag has no /tf or /tf_static messages)\n"


@pytest.mark.parametrize("name, message", [
    ("log.csv", "log.csv is not a ROS bag: give a .bag file or a rosbag2 directory"),
    ("missing.bag", "cannot read the bag"),
])
def test_not_a_bag(tmp_path, kivo_frames, monkeypatch, name, message):
    monkeypatch.chdir(tmp_path)
    status, out, err = kivo_frames(name)
    assert status == 2
    assert err.startswith("kivo-tf frames: error: ") and message in err
    assert err.count("\n") == 1
