"""`kivo-tf frames`: the tf tree of a bag, printed and drawn."""
import struct

import pytest

import bagmaker
from kivo_tf_tools import cli
from kivo_tf_tools.draw import save_figure
from kivo_tf_tools.frames import draw_tree, frame_rows, table_lines
from kivo_tf_tools.tf_tree import TfTree

# The scene of bagmaker: dynamic edges sampled 11 times over [100 s, 101 s], statics once.
EXPECTED = """\
frame              parent  kind     transforms  rate   time range (s)
island             -       root     -           -      -
  rock             island  static   1           -      100.000000000
world              -       root     -           -      -
  camera           world   dynamic  11          10 Hz  100.000000000 .. 101.000000000
  odom             world   static   1           -      100.000000000
    base           odom    dynamic  11          10 Hz  100.000000000 .. 101.000000000
      arm          base    dynamic  11          10 Hz  100.000000000 .. 101.000000000
        ft_sensor  arm     static   1           -      100.000000000
        sensor     arm     static   1           -      100.000000000
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


S = bagmaker.T0_NS
AT_REST = (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0)
TENTHS = [S + k * 100_000_000 for k in range(11)]  # 10 Hz over [100 s, 101 s]


def tree_of(records):
    tree = TfTree()
    for parent, child, stamp, value, static in records:
        tree.add(parent, child, stamp, value, static)
    return tree


@pytest.mark.parametrize("records, expected", [
    pytest.param([("w", "a", ns, AT_REST, False) for ns in TENTHS for _ in range(2)], [
        "frame  parent  kind     transforms  rate   time range (s)",
        "w      -       root     -           -      -",
        "  a    w       dynamic  22          10 Hz  100.000000000 .. 101.000000000",
    ], id="each-transform-published-twice"),
    pytest.param([("w", "a", S, AT_REST, True), ("x", "y", S, AT_REST, True),
                  ("y", "x", S, AT_REST, True)], [
        "frame  parent  kind    transforms  rate  time range (s)",
        "w      -       root    -           -     -",
        "  a    w       static  1           -     100.000000000",
        "x      y       static  1           -     100.000000000",
        "  y    x       static  1           -     100.000000000",
    ], id="a-separate-cycle"),
    pytest.param([("w\x1b[31m", "a\nb", S, AT_REST, True)], [
        "frame      parent     kind    transforms  rate  time range (s)",
        "w\\x1b[31m  -          root    -           -     -",
        "  a\\nb     w\\x1b[31m  static  1           -     100.000000000",
    ], id="control-characters"),
    pytest.param(
        [("w", "a", ns, (float("nan"), 0.0, 0.0, 1.0, 0.0, 0.0, 0.0) if k == 3
          else (0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0) if k in (5, 6) else AT_REST, False)
         for k, ns in enumerate(TENTHS)]
        + [("w", "b", S, (0.0, 0.0, 0.0, 0.5, 0.0, 0.0, 0.0), True)], [
            "frame  parent  kind     transforms      rate  time range (s)",
            "w      -       root     -               -     -",
            "  a    w       dynamic  11 (3 dropped)  7 Hz  100.000000000 .. 101.000000000",
            "  b    w       static   1 (1 dropped)   -     -",
            "",
            "dropped transforms, not used:",
            "  w → a: 1 not finite, 2 with |q|² off 1 by more than 0.01; the earliest at "
            "100.300000000 s",
            "  w → b: 1 with |q|² off 1 by more than 0.01; the earliest at 100.000000000 s",
        ], id="dropped"),
    pytest.param([("w", "a", S, AT_REST, True), ("w", "a", S + 10**9, AT_REST, False),
                  ("w", "a", S + 2 * 10**9, AT_REST, False)], [
        "frame  parent  kind            transforms  rate  time range (s)",
        "w      -       root            -           -     -",
        "  a    w       static+dynamic  3           1 Hz  100.000000000 .. 102.000000000",
        "",
        "edges on both /tf and /tf_static (kivo-tf run takes --prefer-tf static or --prefer-tf "
        "dynamic):",
        "  w → a",
    ], id="on-both-topics"),
    pytest.param([("w", "table", S, AT_REST, True), ("w", "gripper", S, AT_REST, True),
                  ("table", "obj", S, AT_REST, False),
                  ("gripper", "obj", S + 10**9, AT_REST, False),
                  ("obj", "marker", S, AT_REST, True)], [
        "frame         parent   kind     transforms  rate  time range (s)",
        "w             -        root     -           -     -",
        "  gripper     w        static   1           -     100.000000000",
        "    obj       gripper  dynamic  1           -     101.000000000",
        "      marker  obj      static   1           -     100.000000000",
        "  table       w        static   1           -     100.000000000",
        "    obj       table    dynamic  1           -     100.000000000",
    ], id="reparented"),
])
def test_table(records, expected):
    assert table_lines(frame_rows(tree_of(records))) == expected


def test_a_chain_of_3000_frames_is_listed_and_drawn(tmp_path):
    tree = tree_of([(f"f{k}", f"f{k + 1}", S, AT_REST, True) for k in range(3000)])
    rows = frame_rows(tree)
    assert [(row.frame, row.depth) for row in rows[::1000]] == [
        ("f0", 0), ("f1000", 1000), ("f2000", 2000), ("f3000", 3000)]
    lines = table_lines(rows)
    assert len(lines) == 3002
    assert lines[-1] == "  " * 3000 + "f3000  f2999   static  1           -     100.000000000"
    save_figure(draw_tree(rows, "chain"), str(tmp_path / "chain.png"), "png")
    header = (tmp_path / "chain.png").read_bytes()[:24]
    width, height = struct.unpack(">II", header[16:24])
    assert header.startswith(b"\x89PNG") and width < 2**16 and height < 2**16
