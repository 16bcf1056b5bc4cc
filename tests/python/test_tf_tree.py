"""The recorded tf tree: which samples it keeps, and what it answers with them (poses
[x, y, z, qw, qx, qy, qz] of the child in the parent, stamps in ns)."""
import math

import numpy as np
import pytest

from kivo_tf_tools import tf_tree
from kivo_tf_tools.tf_tree import DroppedSamples, TfError, TfTree

NAN, INF, BIG = float("nan"), float("inf"), 1.5e308
I = (1.0, 0.0, 0.0, 0.0)
THIRD = (0.5, 0.5, 0.5, 0.5)  # a third of a turn about (1, 1, 1): of unit norm to the bit
QUARTER_Z = (math.sqrt(0.5), 0.0, 0.0, math.sqrt(0.5))


def tree_of(*records):
    tree = TfTree()
    for parent, child, stamp, value, static in records:
        tree.add(parent, child, stamp, value, static)
    return tree


@pytest.fixture(params=[1, 2, tf_tree._CHECK_EVERY], ids=lambda n: f"check-every-{n}")
def check_every(request, monkeypatch):
    """Samples checked one by one, in small chunks, or all at once."""
    monkeypatch.setattr(tf_tree, "_CHECK_EVERY", request.param)


@pytest.mark.parametrize("bad, reason", [
    ((0.0, NAN, 0.0, *I), "non_finite"),
    ((0.0, 0.0, -INF, *I), "non_finite"),
    ((0.0, 0.0, 0.0, 1.0, 0.0, INF, 0.0), "non_finite"),
    ((0.0, 0.0, 0.0, NAN, NAN, NAN, NAN), "non_finite"),
    ((0.0, 0.0, 0.0, 1.006, 0.0, 0.0, 0.0), "not_unit"),  # |q|² = 1.012
    ((0.0, 0.0, 0.0, 0.0, 0.994, 0.0, 0.0), "not_unit"),  # |q|² = 0.988
    ((0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0), "not_unit"),
    ((0.0, 0.0, 0.0, 1e200, 0.0, 0.0, 0.0), "not_unit"),  # |q|² overflows
])
@pytest.mark.parametrize("static", [False, True])
def test_an_unusable_sample_is_dropped_and_its_neighbours_stay_exact(bad, reason, static,
                                                                     check_every):
    first, last = (1.0, 2.0, 3.0, *I), (2.0, 2.0, 3.0, *THIRD)
    tree = tree_of(("a", "b", 100, first, static), ("a", "b", 200, bad, static),
                   ("a", "b", 300, last, static))
    counts = {"non_finite": 0, "not_unit": 0, reason: 1}
    assert tree.dropped() == [DroppedSamples("a", "b", static, first_stamp=200, **counts)]
    found = tree.lookup("a", "b", [100, 200, 300])
    assert found.valid.all()
    if static:  # the last usable sample holds at every stamp
        assert found.tf.tolist() == [list(last)] * 3
        return
    assert found.tf[0].tolist() == list(first)
    assert found.tf[2].tolist() == list(last)
    # The dropped sample's stamp: halfway from the first to the last.
    half = math.cos(math.pi / 6), *[math.sin(math.pi / 6) / math.sqrt(3)] * 3
    np.testing.assert_allclose(found.tf[1], [1.5, 2.0, 3.0, *half], rtol=0, atol=1e-15)


@pytest.mark.parametrize("square, kept", [
    (1.0099, True), (0.9901, True), (1.0 + 1e-9, True), (1.0101, False), (0.9899, False)])
def test_quaternions_off_unit_norm_are_normalised_alike_on_tf_and_tf_static(square, kept):
    q = np.array([0.3, -0.5, 0.6, 0.2])
    q *= math.sqrt(square) / np.linalg.norm(q)
    value = (0.5, -1.0, 2.0, *q.tolist())
    tree = tree_of(("w", "dynamic", 7, value, False), ("w", "static", 7, value, True))
    if not kept:
        assert [(d.child, d.static, d.not_unit, d.non_finite) for d in tree.dropped()] == [
            ("dynamic", False, 1, 0), ("static", True, 1, 0)]
        with pytest.raises(TfError, match="^the bag's tf tree has no path between 'w' and "
                                          "'dynamic'; its frames:\n"):
            tree.lookup("w", "dynamic", [7])
        return
    assert tree.dropped() == []
    dynamic = tree.lookup("w", "dynamic", [7]).tf[0]
    static = tree.lookup("w", "static", [7]).tf[0]
    assert dynamic.tobytes() == static.tobytes()
    assert dynamic[:3].tolist() == [0.5, -1.0, 2.0]
    np.testing.assert_allclose(dynamic[3:], q / math.sqrt(square), rtol=0, atol=1e-15)
    assert abs(np.linalg.norm(dynamic[3:]) - 1.0) < 1e-15


def test_dropped_samples_are_listed_per_edge_and_topic_in_the_order_edges_were_recorded(
        check_every):
    tree = tree_of(
        ("w", "b", 50, (0.0, 0.0, 0.0, *I), False),
        ("w", "a", 30, (NAN, 0.0, 0.0, *I), False),
        ("w", "a", 10, (0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0), False),
        ("w", "a", 20, (0.0, 0.0, INF, *I), True),
        ("w", "a", 40, (0.0, 0.0, 0.0, *I), False),
        ("w", "c", 5, (0.0, 0.0, 0.0, 0.5, 0.0, 0.0, 0.0), True),
    )
    assert tree.dropped() == [
        DroppedSamples("w", "a", False, non_finite=1, not_unit=1, first_stamp=10),
        DroppedSamples("w", "a", True, non_finite=1, not_unit=0, first_stamp=20),
        DroppedSamples("w", "c", True, non_finite=0, not_unit=1, first_stamp=5)]
    # An edge with samples of one topic only, the other's all dropped, is no conflict.
    assert tree.conflicts() == []
    assert tree.edges[("w", "a")].kind == "dynamic"


def test_samples_are_sorted_and_of_one_stamp_the_last_recorded_counts(check_every):
    tree = TfTree()
    for stamp, x in [(30, 3.0), (10, 1.0), (20, 2.0), (10, 1.5), (30, 3.5), (40, 4.0)]:
        tree.add("w", "a", stamp, (x, 0.0, 0.0, *I), False)
    stamps, values = tree.edges[("w", "a")].samples()
    assert (stamps.tolist(), values[0].tolist()) == ([10, 20, 30, 40], [1.5, 2.0, 3.5, 4.0])
    assert tree.lookup("w", "a", [15]).tf[0, 0] == 1.75
    # Samples recorded after a lookup join those already sorted.
    tree.add("w", "a", 20, (2.5, 0.0, 0.0, *I), False)
    tree.add("/w", "/a", 5, (0.5, 0.0, 0.0, *I), False)
    stamps, values = tree.edges[("w", "a")].samples()
    assert (stamps.tolist(), values[0].tolist()) == ([5, 10, 20, 30, 40],
                                                     [0.5, 1.5, 2.5, 3.5, 4.0])
    assert tree.lookup("w", "a", [5, 15, 40]).tf[:, 0].tolist() == [0.5, 2.0, 4.0]
    assert tree.edges[("w", "a")].transforms == 8


def conflicted_tree():
    return tree_of(("w", "a", 0, (1.0, 0.0, 0.0, *I), True),
                   ("w", "a", 10, (2.0, 0.0, 0.0, *I), False),
                   ("w", "a", 20, (4.0, 0.0, 0.0, *I), False),
                   ("w", "b", 5, (0.0, 2.0, 0.0, *I), False),
                   ("w", "b", 0, (0.0, 1.0, 0.0, *I), True),
                   ("w", "c", 0, (0.0, 0.0, 1.0, *I), True))


def test_an_edge_on_both_topics_stops_lookups_until_one_kind_is_chosen():
    tree = conflicted_tree()
    assert tree.conflicts() == [("w", "a"), ("w", "b")]
    assert tree.edges[("w", "a")].kind == "static+dynamic"
    message = ("the edge 'w' → 'a' is on both /tf and /tf_static: 2 transforms on /tf, 1 on "
               "/tf_static; the samples of only one can be used (1 more edge is on both)")
    for call in (lambda: tree.lookup("w", "c", [0]), lambda: tree.path("w", "c"),
                 lambda: tree.static_pose("w", "c")):
        with pytest.raises(TfError) as error:
            call()
        assert str(error.value) == message
    with pytest.raises(ValueError, match="'static' or 'dynamic', not 'both'"):
        tree.use_only("both")


@pytest.mark.parametrize("kind, x, valid, static_pose", [
    ("static", [1.0, 1.0, 1.0, 1.0], [True] * 4, (1.0, 0.0, 0.0, *I)),
    ("dynamic", [NAN, 2.0, 3.0, 4.0], [False, True, True, True], None),
])
def test_a_conflict_resolved_either_way(kind, x, valid, static_pose):
    tree = conflicted_tree()
    tree.use_only(kind)
    assert tree.conflicts() == []
    assert tree.edges[("w", "a")].static == (kind == "static")
    found = tree.lookup("w", "a", [5, 10, 15, 20])
    assert found.valid.tolist() == valid
    np.testing.assert_array_equal(found.tf[:, 0], x)
    assert tree.static_pose("w", "a") == static_pose


def grasp_tree():
    """`obj` on `table` (dynamic, x growing 0.1 m/ns) until 30 and again at 80, held by `gripper`
    from 50 to 70."""
    records = [("world", "table", 0, (1.0, 0.0, 0.0, *I), True)]
    records += [("world", "gripper", s, (0.0, 2.0, 0.0, *I), False) for s in range(0, 101, 10)]
    records += [("table", "obj", s, (s / 10, 0.0, 0.5, *I), False) for s in (0, 10, 20, 30, 80)]
    records += [("gripper", "obj", s, (0.0, 0.0, -0.1, *I), False) for s in (50, 60, 70)]
    return tree_of(*records)


ON_TABLE = {0: 1.0, 15: 2.5, 30: 4.0, 80: 9.0}  # world x of obj on the table
GRASPED = (0.0, 2.0, -0.1)
GRASP_STAMPS = [0, 15, 30, 35, 49, 50, 55, 70, 75, 80, 85, -5]


@pytest.mark.parametrize("block", [2, tf_tree.LOOKUP_BLOCK])
@pytest.mark.parametrize("inverse", [False, True])
def test_a_reparented_frame_is_found_under_each_parent_and_never_between(block, inverse,
                                                                         monkeypatch):
    monkeypatch.setattr(tf_tree, "LOOKUP_BLOCK", block)
    tree = grasp_tree()
    found = (tree.lookup("obj", "world", GRASP_STAMPS) if inverse
             else tree.lookup("world", "obj", GRASP_STAMPS))
    for stamp, valid, tf in zip(GRASP_STAMPS, found.valid, found.tf):
        if stamp in ON_TABLE:
            want = (ON_TABLE[stamp], 0.0, 0.5)
        elif 50 <= stamp <= 70:
            want = GRASPED
        else:  # between parents (35, 49, 75: gripper at 70, table at 80), or outside
            assert (valid, np.isnan(tf).all()) == (False, True), stamp
            continue
        assert valid, stamp
        assert tf.tolist() == [-c if inverse else c for c in want] + [*I], stamp


def test_huge_translations_are_exact_at_their_stamps_and_finite_between():
    v0, v1 = (BIG, -BIG, BIG, *I), (-BIG, BIG, BIG, *THIRD)
    tree = tree_of(("a", "b", 0, v0, False), ("a", "b", 10, v1, False))
    found = tree.lookup("a", "b", [0, 5, 10, 1, 9])
    assert found.valid.all() and np.isfinite(found.tf).all()
    assert found.tf[0].tolist() == list(v0)
    assert found.tf[2].tolist() == list(v1)
    assert found.tf[1, :3].tolist() == [0.0, 0.0, BIG]
    # Walked up, the translation is turned: where that overflows, the stamp is not valid.
    back = tree.lookup("b", "a", [0, 5, 10])
    assert back.tf[0].tolist() == [-BIG, BIG, -BIG, *I]
    assert np.isfinite(back.tf[back.valid]).all()
    assert np.isnan(back.tf[~back.valid]).all()


@pytest.mark.parametrize("seed", range(4))
def test_a_sample_is_returned_to_the_bit_at_its_own_stamp(seed):
    """Neighbouring rotations a hair apart (the interpolation's straight-line case) or far
    apart, translations of any size."""
    rng = np.random.default_rng(seed)
    records = []
    for k in range(8):
        if k % 2 == 0:
            turn = rng.normal(size=4)
            turn *= rng.uniform(0.996, 1.004) / np.linalg.norm(turn)
        else:
            turn = turn + rng.normal(size=4) * 1e-12
        translation = rng.normal(size=3) * 10.0 ** rng.integers(-300, 300)
        records.append(("a", "b", 1000 * k, (*translation.tolist(), *turn.tolist()), False))
    tree = tree_of(*records)
    stamps, values = tree.edges[("a", "b")].samples()
    found = tree.lookup("a", "b", stamps)
    assert found.valid.all()
    assert found.tf.tobytes() == np.ascontiguousarray(values.T).tobytes()
    for (*_, value, _), stored in zip(records, values.T):
        assert stored[:3].tolist() == list(value[:3])
        np.testing.assert_allclose(stored[3:], np.array(value[3:]) / np.linalg.norm(value[3:]),
                                   rtol=0, atol=1e-15)


def test_a_chain_of_3000_frames():
    tree = tree_of(*[(f"f{k}", f"f{k + 1}", 0, (1.0, 0.0, 0.0, *I), k % 2 == 0)
                     for k in range(3000)])
    lines = tree.describe().split("\n")
    assert len(lines) == 3001
    assert lines[0] == "  f0" and lines[-1] == "  " * 3001 + "f3000"
    assert len(tree.path("f3000", "f0")) == 3000
    found = tree.lookup("f0", "f3000", [0, 1])
    assert found.valid.tolist() == [True, False]
    assert found.tf[0].tolist() == [3000.0, 0.0, 0.0, *I]
    with pytest.raises(TfError, match="^the bag's tf tree has no frame 'x'; its frames:\n  f0\n"):
        tree.path("f0", "x")


def test_static_pose_follows_static_edges_only():
    tree = tree_of(("a", "b", 0, (1.0, 0.0, 0.0, *QUARTER_Z), True),
                   ("b", "c", 0, (1.0, 0.0, 0.0, *I), True),
                   ("b", "d", 5, (0.0, 0.0, 1.0, *I), False))
    np.testing.assert_allclose(tree.static_pose("a", "/c"), [1.0, 1.0, 0.0, *QUARTER_Z],
                               rtol=0, atol=1e-15)
    half = math.sqrt(0.5)
    np.testing.assert_allclose(tree.static_pose("c", "a"), [-1.0, 1.0, 0.0, half, 0, 0, -half],
                               rtol=0, atol=1e-15)
    assert tree.static_pose("a", "d") is None  # d hangs from a dynamic edge
    assert tree.static_pose("a", "nowhere") is None
    assert tree.static_pose("d", "d") == (0.0, 0.0, 0.0, *I)


def test_unknown_frames_and_missing_paths_name_the_frames_escaped():
    tree = tree_of(("w", "cam\x1b[2J", 0, (0.0, 0.0, 0.0, *I), True),
                   ("island", "rock", 0, (0.0, 0.0, 0.0, *I), True))
    frames = "its frames:\n  island\n    rock\n  w\n    cam\\x1b[2J"
    with pytest.raises(TfError) as error:
        tree.lookup("w", "x\ny", [0])
    assert str(error.value) == f"the bag's tf tree has no frame 'x\\ny'; {frames}"
    with pytest.raises(TfError) as error:
        tree.lookup("cam\x1b[2J", "rock", [0])
    assert str(error.value) == ("the bag's tf tree has no path between 'cam\\x1b[2J' and "
                                f"'rock'; {frames}")


def test_walk_meets_every_edge_once_and_reaches_a_separate_cycle():
    value = (0.0, 0.0, 0.0, *I)
    tree = tree_of(*[(parent, child, 0, value, True) for parent, child in [
        ("r", "b"), ("r", "a"), ("a", "obj"), ("b", "obj"), ("obj", "marker"),
        ("x", "y"), ("y", "z"), ("z", "x"), ("z", "tail"), ("self", "self")]])
    assert tree.walk() == [
        ("r", None, 0), ("a", "r", 1), ("obj", "a", 2), ("marker", "obj", 3),
        ("b", "r", 1), ("obj", "b", 2),
        ("self", "self", 0),
        ("x", "z", 0), ("y", "x", 1), ("z", "y", 2), ("tail", "z", 3)]
    assert tree.describe().split("\n")[-4:] == ["  x", "    y", "      z", "        tail"]
