"""`kivo-tf frames`: the tf tree of a bag, printed and drawn."""
import struct

import pytest
from matplotlib.colors import to_hex

import bagmaker
from kivo_tf_tools import cli
from kivo_tf_tools.draw import save_figure
from kivo_tf_tools.frames import (
    BOTH_COLOUR,
    DROPPED_COLOUR,
    MIN_SCALE,
    NAME_FONT,
    VIEW_INCHES,
    FrameRow,
    draw_tree,
    edge_label,
    frame_rows,
    table_lines,
)
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


# --- the picture -----------------------------------------------------------------------------

def chain(parent, names):
    pairs = []
    for name in names:
        pairs.append((parent, name))
        parent = name
    return pairs


def mobile_manipulator():
    """(static, dynamic) edges of a wheeled base with lidars, sonars, cameras, a pan-tilt head and
    a 7-joint arm with a two-finger gripper: 57 frames."""
    static = [("base_footprint", "base_link"), ("torso_lift_link", "arm_base_link"),
              *[("base_link", f"{name}_link") for name in (
                  "base_laser_front", "base_laser_rear", "imu", "bumper", "mast",
                  *(f"sonar_{k}" for k in range(6)))],
              ("mast_link", "gps_antenna_link"), ("mast_link", "lidar_3d_link"),
              *chain("head_tilt_link", ["head_camera_link", "head_camera_rgb_frame",
                                        "head_camera_rgb_optical_frame"]),
              *chain("head_camera_link", ["head_camera_depth_frame",
                                          "head_camera_depth_optical_frame"]),
              *chain("wrist_roll_link", ["gripper_link", "tool0", "ft_sensor_link",
                                         "tool_center_point"]),
              *chain("gripper_link", ["gripper_camera_link", "gripper_camera_optical_frame"])]
    for camera in ("front", "rear"):
        static += chain("base_link", [f"{camera}_camera_link", f"{camera}_camera_color_frame",
                                      f"{camera}_camera_color_optical_frame"])
        static += chain(f"{camera}_camera_link", [f"{camera}_camera_depth_frame",
                                                  f"{camera}_camera_depth_optical_frame"])
    dynamic = [("map", "odom"), ("odom", "base_footprint"), ("base_link", "torso_lift_link"),
               *[("base_link", f"{wheel}_wheel_link") for wheel in (
                   "front_left", "front_right", "rear_left", "rear_right")],
               *chain("torso_lift_link", ["head_pan_link", "head_tilt_link"]),
               *chain("arm_base_link", ["shoulder_pan_link", "shoulder_lift_link",
                                        "upperarm_roll_link", "elbow_flex_link",
                                        "forearm_roll_link", "wrist_flex_link",
                                        "wrist_roll_link"])]
    for side in ("left", "right"):
        dynamic += chain("gripper_link", [f"{side}_gripper_finger_link_{k}" for k in (1, 2)])
    return static, dynamic


def humanoid():
    """(static, dynamic) edges of a humanoid: two 7-joint arms with five 3-link fingers on each
    hand, two 6-joint legs, a head with two cameras: 74 frames."""
    static = [("pelvis", "imu_link")]
    dynamic = [("world", "pelvis"), *chain("pelvis", ["torso_link", "head_yaw_link",
                                                      "head_pitch_link"])]
    for side in ("left", "right"):
        static += chain("head_pitch_link", [f"head_camera_{side}_link",
                                            f"head_camera_{side}_optical_frame"])
        dynamic += chain("torso_link", [f"{side}_{joint}_link" for joint in (
            "shoulder_pitch", "shoulder_roll", "shoulder_yaw", "elbow", "wrist_yaw",
            "wrist_pitch", "wrist_roll")])
        static.append((f"{side}_wrist_roll_link", f"{side}_hand_link"))
        for finger in ("thumb", "index", "middle", "ring", "pinky"):
            dynamic += chain(f"{side}_hand_link",
                             [f"{side}_{finger}_finger_link_{k}" for k in (1, 2, 3)])
        dynamic += chain("pelvis", [f"{side}_{joint}_link" for joint in (
            "hip_yaw", "hip_roll", "hip_pitch", "knee", "ankle_pitch", "ankle_roll")])
        static += [(f"{side}_ankle_roll_link", f"{side}_foot_link"),
                   (f"{side}_foot_link", f"{side}_sole_frame"),
                   (f"{side}_foot_link", f"{side}_toe_frame")]
    return static, dynamic


def recorded(static, dynamic, start_s=100, rate=10):
    """The rows of the edges, statics stamped at `start_s`, dynamic ones sampled at `rate` over
    one second from it; and the label expected on each edge (parent, child)."""
    tree = TfTree()
    start = start_s * 10**9
    for parent, child in static:
        tree.add(parent, child, start, AT_REST, True)
    for parent, child in dynamic:
        for k in range(rate + 1):
            tree.add(parent, child, start + k * 10**9 // rate, AT_REST, False)
    shown = start_s if start_s < 10**6 else 0  # wall-clock stamps: after the earliest second
    labels = {edge: "static" for edge in static}
    labels.update({edge: f"{rate} Hz, {shown}.0–{shown + 1}.0 s" for edge in dynamic})
    return frame_rows(tree), labels


TWO_PARENTS = [("w", "table", S, AT_REST, True), ("w", "gripper", S, AT_REST, True),
               ("table", "obj", S, AT_REST, False), ("gripper", "obj", S + 10**9, AT_REST, False),
               ("obj", "marker", S, AT_REST, True)]
CYCLE = [("w", "a", S, AT_REST, True), ("x", "y", S, AT_REST, True),
         ("y", "z", S, AT_REST, True), ("z", "x", S, AT_REST, False),
         ("z", "x", S + 10**9, AT_REST, False), ("y", "leaf", S, AT_REST, True)]
TREES = {
    "mobile-manipulator": lambda: recorded(*mobile_manipulator()),
    "humanoid": lambda: recorded(*humanoid(), start_s=1_712_345_678, rate=50),
    "star-of-40": lambda: recorded(
        [("base_link", f"ultrasonic_range_sensor_{k:02d}_link") for k in range(0, 40, 2)],
        [("base_link", f"ultrasonic_range_sensor_{k:02d}_link") for k in range(1, 40, 2)]),
    "chain-of-60": lambda: recorded([], chain("joint_0", [f"joint_{k}" for k in range(1, 60)])),
    "two-parents": lambda: (frame_rows(tree_of(TWO_PARENTS)), {
        ("w", "table"): "static", ("w", "gripper"): "static", ("obj", "marker"): "static",
        ("table", "obj"): "dynamic, at 100.0 s", ("gripper", "obj"): "dynamic, at 101.0 s"}),
    "cycle": lambda: (frame_rows(tree_of(CYCLE)), {
        ("w", "a"): "static", ("x", "y"): "static", ("y", "z"): "static",
        ("y", "leaf"): "static", ("z", "x"): "1 Hz, 100.0–101.0 s"}),
}


class Drawn:
    """A drawn figure of `draw_tree`, in display coordinates: the frame boxes in row order, the
    texts by gid, the edges (polylines) by kind, the arrows closing cycles."""

    def __init__(self, rows):
        self.fig = draw_tree(rows, "tf tree of robot.bag")
        self.fig.canvas.draw()
        renderer = self.fig.canvas.get_renderer()
        artists = {artist.get_gid(): artist for artist in self.fig.artists}
        frames = artists["frames"]
        self.boxes = [path.get_extents(frames.get_transform()) for path in frames.get_paths()]
        self.texts = {}
        for text in self.fig.texts:
            self.texts.setdefault(text.get_gid(), []).append(
                (text.get_text(), text.get_window_extent(renderer), text))
        self.edges = {}
        for kind in ("static", "dynamic", "static+dynamic"):
            lines = artists.get(f"edges {kind}")
            self.edges[kind] = [] if lines is None else [
                lines.get_transform().transform(segment) for segment in lines.get_segments()]
        self.cycles = [a for a in self.fig.artists if a.get_gid() == "cycle"]

    def box_of(self, extent):
        """The index of the one box that holds `extent` whole."""
        inside = [k for k, box in enumerate(self.boxes) if box.x0 <= extent.x0 and
                  extent.x1 <= box.x1 and box.y0 <= extent.y0 and extent.y1 <= box.y1]
        assert len(inside) == 1, extent
        return inside[0]

    def box_at(self, point):
        """The index of the one box whose border passes through `point`."""
        x, y = point
        on = [k for k, b in enumerate(self.boxes)
              if (min(abs(x - b.x0), abs(x - b.x1)) < 0.5 and b.y0 - 0.5 < y < b.y1 + 0.5)
              or (min(abs(y - b.y0), abs(y - b.y1)) < 0.5 and b.x0 - 0.5 < x < b.x1 + 0.5)]
        assert len(on) == 1, point
        return on[0]


def overlap(a, b):
    return a.x0 < b.x1 and b.x0 < a.x1 and a.y0 < b.y1 and b.y0 < a.y1


def crosses(p, q, box, inset=0.5):
    """Whether the segment p–q enters `box` shrunk by `inset` (Liang–Barsky clipping)."""
    low, high = 0.0, 1.0
    for start, delta, lower, upper in ((p[0], q[0] - p[0], box.x0, box.x1),
                                       (p[1], q[1] - p[1], box.y0, box.y1)):
        lower, upper = lower + inset, upper - inset
        if delta == 0:
            if not lower < start < upper:
                return False
            continue
        ends = sorted(((lower - start) / delta, (upper - start) / delta))
        low, high = max(low, ends[0]), min(high, ends[1])
    return low < high


@pytest.mark.parametrize("tree", TREES.values(), ids=TREES.keys())
def test_a_tree_is_drawn_with_every_name_and_edge_readable(tree):
    rows, labels = tree()
    drawn = Drawn(rows)
    boxes = drawn.boxes
    assert len(boxes) == len(rows)
    figure = drawn.fig.bbox
    for k, box in enumerate(boxes):
        assert figure.x0 <= box.x0 and box.x1 <= figure.x1
        assert figure.y0 <= box.y0 and box.y1 <= figure.y1
        assert not any(overlap(box, other) for other in boxes[k + 1:])
    # Each box holds its frame's name above the label of the edge from its parent, whole.
    for row, content in zip(rows, box_contents(drawn)):
        edge = [("edge", labels[(row.parent, row.frame)])] if row.parent else []
        assert content[:2] == [("frame", row.frame), *edge]
    for _, extent, _ in drawn.texts["title"] + drawn.texts["legend"]:
        assert figure.x0 <= extent.x0 and extent.x1 <= figure.x1
        assert not any(overlap(extent, box) for box in boxes)
    # Each edge joins its parent's box to its child's, in the style of its kind, and crosses
    # no other box; an edge that closes a cycle is an arrow.
    drawn_edges = []
    for kind, polylines in drawn.edges.items():
        for line in polylines:
            ends = drawn.box_at(line[0]), drawn.box_at(line[-1])
            drawn_edges.append((rows[ends[0]].frame, rows[ends[1]].frame, kind))
            assert (rows[ends[1]].parent, rows[ends[1]].depth) == (rows[ends[0]].frame,
                                                                   rows[ends[0]].depth + 1)
            for p, q in zip(line, line[1:]):
                assert not any(crosses(p, q, box) for k, box in enumerate(boxes)
                               if k not in ends)
    assert sorted(drawn_edges) == sorted((row.parent, row.frame, row.kind) for row in rows
                                         if row.depth > 0)
    assert len(drawn.cycles) == sum(row.parent is not None and row.depth == 0 for row in rows)


def box_contents(drawn):
    """[(gid, text), ...] of the texts inside each box, in row order."""
    content = [[] for _ in drawn.boxes]
    for gid in ("frame", "edge", "dropped", "note"):
        for text, extent, _ in drawn.texts.get(gid, []):
            content[drawn.box_of(extent)].append((gid, text))
    return content


def centre(box):
    return (box.x0 + box.x1) / 2, (box.y0 + box.y1) / 2


def subtree(top):
    """Static edges of an uneven subtree under `top`."""
    return [(top, f"{top}_1"), (f"{top}_1", f"{top}_11"), (f"{top}_1", f"{top}_12"),
            (f"{top}_1", f"{top}_13"), (top, f"{top}_2"), (top, f"{top}_3"),
            (f"{top}_3", f"{top}_31"), (f"{top}_31", f"{top}_311"), (f"{top}_31", f"{top}_312")]


def test_the_layout_is_tidy():
    # s1 and s4 hold the same subtree, under names as wide (digits are as wide as each other).
    edges = [("r", "s1"), ("r", "s2"), ("r", "s3"), ("r", "s4"), *subtree("s1"), *subtree("s4")]
    rows, _ = recorded(edges, [])
    drawn = Drawn(rows)
    box = {row.frame: b for row, b in zip(rows, drawn.boxes)}
    children = {}
    for parent, child in edges:
        children.setdefault(parent, []).append(child)
    for parent, kids in children.items():
        # Top-down: children in order, apart, below their parent, which is centred over them.
        assert centre(box[parent])[0] == pytest.approx(
            (centre(box[kids[0]])[0] + centre(box[kids[-1]])[0]) / 2, abs=1e-6)
        assert all(box[kid].y1 < box[parent].y0 for kid in kids)
        assert all(box[a].x1 < box[b].x0 for a, b in zip(kids, kids[1:]))
    # The small subtrees between two large ones are spread evenly.
    xs = [centre(box[name])[0] for name in children["r"]]
    assert [b - a for a, b in zip(xs, xs[1:])] == pytest.approx([xs[1] - xs[0]] * 3)
    # A subtree is drawn the same wherever it is.
    for _, child in subtree("s1"):
        offset = [a - b for a, b in zip(box[child].extents, box["s1"].extents)]
        twin = [a - b for a, b in zip(box[child.replace("s1", "s4")].extents,
                                      box["s4"].extents)]
        assert offset == pytest.approx(twin, abs=1e-6)


@pytest.mark.parametrize("count, shrunk", [(40, False), (120, True)])
def test_a_wide_tree_is_drawn_left_to_right_and_shrunk_no_further_than_legible(count, shrunk):
    names = [f"ultrasonic_range_sensor_{k:03d}_link" for k in range(count)]
    drawn = Drawn(recorded([("base_link", name) for name in names], [])[0])
    width, height = drawn.fig.get_size_inches()
    assert width <= VIEW_INCHES[0] and height <= VIEW_INCHES[1] * 1.01
    root, *leaves = drawn.boxes
    assert all(root.x1 < leaf.x0 for leaf in leaves)
    assert all(a.y0 > b.y1 for a, b in zip(leaves, leaves[1:]))  # in order, down the page
    assert centre(root)[1] == pytest.approx((centre(leaves[0])[1] + centre(leaves[-1])[1]) / 2)
    sizes = {text.get_fontsize() for *_, text in drawn.texts["frame"]}
    assert len(sizes) == 1
    assert (NAME_FONT * MIN_SCALE <= sizes.pop() < NAME_FONT) if shrunk else sizes == {NAME_FONT}
    assert [content for content in box_contents(drawn)[1:]] == [
        [("frame", name), ("edge", "static")] for name in names]


DROPPED_AND_BOTH = [
    *[("w", "a", ns, (float("nan"), 0.0, 0.0, 1.0, 0.0, 0.0, 0.0) if k == 3
       else (0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0) if k in (5, 6) else AT_REST, False)
      for k, ns in enumerate(TENTHS)],
    ("w", "b", S, AT_REST, True), ("w", "b", S + 10**9, AT_REST, False),
    ("w", "b", S + 2 * 10**9, AT_REST, False)]


@pytest.mark.parametrize("records, expected", [
    pytest.param(DROPPED_AND_BOTH, [
        ([("frame", "w")], "0.3"),
        ([("frame", "a"), ("edge", "7 Hz, 100.0–101.0 s"), ("dropped", "3 dropped")],
         DROPPED_COLOUR),
        ([("frame", "b"), ("edge", "static+dynamic, 1 Hz, 100.0–102.0 s")], BOTH_COLOUR),
    ], id="dropped-and-on-both-topics"),
    pytest.param(TWO_PARENTS, [
        ([("frame", "w")], "0.3"),
        ([("frame", "gripper"), ("edge", "static")], "0.3"),
        ([("frame", "obj"), ("edge", "dynamic, at 101.0 s"), ("note", "also under table")],
         "0.3"),
        ([("frame", "marker"), ("edge", "static")], "0.3"),
        ([("frame", "table"), ("edge", "static")], "0.3"),
        ([("frame", "obj"), ("edge", "dynamic, at 100.0 s"), ("note", "also under gripper")],
         "0.3"),
    ], id="two-parents"),
    pytest.param(CYCLE + [("w", "a\x1b[31m$x$", S, AT_REST, True)], [
        ([("frame", "w")], "0.3"),
        ([("frame", "a"), ("edge", "static")], "0.3"),
        ([("frame", "a\\x1b[31m$x$"), ("edge", "static")], "0.3"),
        ([("frame", "x"), ("edge", "1 Hz, 100.0–101.0 s"), ("note", "under z, in a cycle")],
         "0.3"),
        ([("frame", "y"), ("edge", "static")], "0.3"),
        ([("frame", "leaf"), ("edge", "static")], "0.3"),
        ([("frame", "z"), ("edge", "static")], "0.3"),
    ], id="cycle-and-control-characters"),
])
def test_boxes_hold_the_edge_the_drops_and_the_other_parents(records, expected):
    drawn = Drawn(frame_rows(tree_of(records)))
    (frames,) = [a for a in drawn.fig.artists if a.get_gid() == "frames"]
    borders = [to_hex(colour) for colour in frames.get_edgecolors()]
    assert list(zip(box_contents(drawn), borders)) == [
        (content, to_hex(colour)) for content, colour in expected]


@pytest.mark.parametrize("row, origin, label", [
    (FrameRow("w", 0, None, False, 0, None, None, None), 0, ""),
    (FrameRow("a", 1, "w", False, 3, 40.0, S, S + 50_000_000), 0, "40 Hz, 100.00–100.05 s"),
    (FrameRow("a", 1, "w", False, 2, 1e9, S, S + 1), 0,
     "1e+09 Hz, 100.000000000–100.000000001 s"),
    (FrameRow("a", 1, "w", False, 1, None, S, S), 0, "dynamic, at 100.0 s"),
    (FrameRow("a", 1, "w", False, 2, None, None, None, non_finite=2), 0, "dynamic, none usable"),
    (FrameRow("a", 1, "w", True, 2, None, S, S, conflict=True), 0,
     "static+dynamic, at 100.0 s"),
    (FrameRow("a", 1, "w", False, 101, 50.0, 1_712_345_678_500_000_000,
              1_712_345_680_500_000_000), 1_712_345_678 * 10**9, "50 Hz, 0.5–2.5 s"),
])
def test_edge_labels(row, origin, label):
    assert edge_label(row, origin) == label


def test_wall_clock_stamps_are_drawn_after_their_first_second():
    start = 1_712_345_678_300_000_000
    drawn = Drawn(frame_rows(tree_of(
        [("map", "odom", start + k * 100_000_000, AT_REST, False) for k in range(11)])))
    assert box_contents(drawn)[1] == [("frame", "odom"), ("edge", "10 Hz, 0.3–1.3 s")]
    assert drawn.texts["legend"][-1][0] == (
        "times: seconds of the header stamps after 1712345678 s")
