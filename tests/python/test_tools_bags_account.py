"""`kivo-tf run` on bags accounts for every message: damaged bags, tf samples that cannot be used,
frames that do not fit the section, stamps beyond 2^31 s, output topics and outputs that cannot be
written. A run ends with exit 0 and an account that matches its output, or with one line and
exit 2 leaving nothing behind."""
import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow.csv
import pytest

import bagmaker
import kivo_tf_tools
from kivo_tf_tools import cli, transform

F = {"origin": "fixed_frame"}
M = {"origin": "moving_frame"}
IDENTITY = [1, 0, 0, 0]
QUARTER_Y = [math.sqrt(0.5), 0, math.sqrt(0.5), 0]
WRENCH = ["fx", "fy", "fz", "tx", "ty", "tz"]
ACCOUNT = re.compile(r"kivo-tf run: account: ([\d,]+) read = (.*); written: (.*)")


def section(point, axes):
    """A section reading its input at `point` in `axes`, giving it at F's origin in F's axes."""
    return {"set_input_reference_point": {**point[0], "translation": point[1]},
            "set_input_expression_axes": {**axes[0], "rotation": axes[1]},
            "set_output_reference_point": {**F, "translation": [0, 0, 0]},
            "set_output_expression_axes": {**F, "rotation": IDENTITY}}


# The scene's 'sensor', as mounted on arm (0.1 m along x, a quarter turn about y).
MOUNTED = section((M, [0.1, 0, 0]), (M, QUARTER_Y))
M_OWN = section((M, [0, 0, 0]), (M, IDENTITY))


def write_config(path, wrench_section):
    path.write_text(json.dumps({"tf_wrench_config": wrench_section}))
    return str(path)


@pytest.fixture
def config(tmp_path):
    return write_config(tmp_path / "config.json", MOUNTED)


def scene(tmp_path, kind, records=None, name="in"):
    return bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind, name), kind,
                              records if records is not None else bagmaker.scene_records(kind))


def storage_file(bag):
    """The file holding a bag's messages."""
    bag = Path(bag)
    if bag.is_file():
        return bag
    return next(p for p in bag.iterdir() if p.suffix in (".db3", ".mcap"))


def left_in(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def closed_form_rows(config, stamps_s, signals, fixed="world", moving="arm"):
    tfs = [bagmaker.closed_form_tf(fixed, moving, t - bagmaker.T0_NS / 1e9) for t in stamps_s]
    out, status = transform(config, "tf_wrench_config", np.array(signals), np.array(tfs))
    assert (status == 0).all()
    return out


SIGNALS = [[1.0 + k, -2.0, 0.5, 0.1, 0.2 * k, -0.3] for k in range(len(bagmaker.SENSOR_TIMES))]
FRAMES = ("--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "arm")


# --- damage at random places -------------------------------------------------------------------

def damaged_records(kind, rng, damage):
    records = bagmaker.scene_records(kind)
    if damage == "undecodable":
        sensor = [k for k, r in enumerate(records) if r[0] == "/ft"]
        for k in rng.choice(sensor, size=2, replace=False):
            topic, msgtype, ns, _ = records[k]
            records[k] = (topic, msgtype, ns, bytes(rng.integers(0, 256, size=3, dtype=np.uint8)))
    elif damage == "nan_tf":
        tf = [k for k, r in enumerate(records) if r[0] == "/tf"]
        msg = records[int(rng.choice(tf))][3]
        msg.transforms[int(rng.integers(len(msg.transforms)))].transform.translation.x = math.nan
    return records


def spoil(path, rng, damage):
    data = bytearray(path.read_bytes())
    if damage == "truncate":
        del data[int(rng.integers(1, len(data))):]
    elif damage == "flip":
        data[int(rng.integers(len(data)))] ^= 1 << int(rng.integers(8))
    path.write_bytes(bytes(data))


def outcome(status, err, tmp_path, before, output):
    """The table a run wrote, after checking that it ended as a run must: exit 0 with an account
    that adds up and matches the rows written, every Ok row finite; or one line, exit 2 and
    nothing left behind (None)."""
    assert "Traceback" not in err
    if status != 0:
        assert status == 2, err
        assert err.startswith("kivo-tf run: error: "), err
        # One line, but for the tree listed after a frame the tree lacks.
        assert err.count("\n") == 1 or "; its frames:\n" in err, err
        assert left_in(tmp_path) == before
        return None
    read, parts, written = ACCOUNT.search(err).groups()
    counts = {name: int(n.replace(",", "")) for n, name in
              re.findall(r"([\d,]+) ([a-z][a-z ]*[a-z])", parts)}
    read = int(read.replace(",", ""))
    assert sum(counts.values()) == read
    table = pyarrow.csv.read_csv(output).to_pydict()
    assert len(table["t"]) == read - counts.get("damaged", 0)
    assert written.startswith(f"{len(table['t']):,} rows in ")
    assert table["status"].count("Ok") == counts.get("transformed", 0)
    ok = [k for k, s in enumerate(table["status"]) if s == "Ok"]
    assert np.isfinite([[table[c][k] for c in WRENCH] for k in ok]).all()
    table["damaged"] = counts.get("damaged", 0)
    return table


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("skip", [False, True])
def test_damage_at_random_places_is_accounted_for(config, tmp_path, kind, kivo_run, seed, skip):
    """Whatever the damage, the run ends with exit 0 and an output that holds exactly what the
    account says (every Ok row right), or with one line, exit 2 and nothing left."""
    rng = np.random.default_rng([seed, bagmaker.KINDS.index(kind), skip])
    damage = ["none", "undecodable", "nan_tf", "truncate", "flip"][seed]
    bag = scene(tmp_path, kind, damaged_records(kind, rng, damage))
    spoil(storage_file(bag), rng, damage)
    before = left_in(tmp_path)
    output = tmp_path / "out.csv"
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", output, *FRAMES,
                           *(["--skip-damaged"] if skip else []))
    table = outcome(status, err, tmp_path, before, output)
    if table is None:
        assert damage not in ("none", "nan_tf")
        return
    assert table["damaged"] == (2 if damage == "undecodable" and skip else 0) or damage == "flip"
    if damage in ("none", "nan_tf", "undecodable"):
        ok = [k for k, s in enumerate(table["status"]) if s == "Ok"]
        times = [table["t"][k] for k in ok]
        signals = [SIGNALS[bagmaker.SENSOR_TIMES.index(round(t - 100, 2))] for t in times]
        got = np.array([[table[c][k] for c in WRENCH] for k in ok])
        np.testing.assert_allclose(got, closed_form_rows(config, times, signals), atol=1e-12)
    if damage == "nan_tf":
        assert "tf samples dropped" in err


@pytest.mark.parametrize("kind, compression", [
    ("ros1", "bz2"), ("ros1", "lz4"), ("sqlite3", "zstd"), ("mcap", "zstd")])
@pytest.mark.parametrize("seed", range(3))
def test_damaged_compressed_data(config, tmp_path, kivo_run, kind, compression, seed):
    bag = bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind), kind,
                             bagmaker.scene_records(kind), compression)
    path = storage_file(bag)
    data = bytearray(path.read_bytes())
    rng = np.random.default_rng(seed)
    for at in rng.integers(len(data) // 3, 2 * len(data) // 3, size=8):
        data[at] ^= 0xFF
    path.write_bytes(bytes(data))
    before = left_in(tmp_path)
    for skip in ([], ["--skip-damaged"]):
        status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out.csv",
                               *FRAMES, *skip)
        outcome(status, err, tmp_path, before, tmp_path / "out.csv")
        if status == 0:
            (tmp_path / "out.csv").unlink()


def test_a_shortfall_against_the_declared_count_is_an_error_unless_skipped(config, tmp_path,
                                                                           kivo_run):
    """A bag whose metadata declares a message that cannot be found (as a damaged record the
    container skips over) does not end as a success with one message fewer."""
    bag = scene(tmp_path, "sqlite3")
    metadata = bag / "metadata.yaml"
    entry = "- message_count: 7\n    topic_metadata:\n      name: /ft\n"
    assert entry in metadata.read_text()
    metadata.write_text(metadata.read_text().replace(entry, entry.replace("7", "8")))
    args = (config, "tf_wrench_config", "-i", bag, *FRAMES)
    status, err = kivo_run(*args, "-o", tmp_path / "out.csv")
    assert status == 2
    assert err == ("kivo-tf run: error: /ft: 7 messages read where the bag declares 8 (a damaged "
                   "bag); give --skip-damaged to go on with what can be read\n")
    assert not (tmp_path / "out.csv").exists()
    status, err = kivo_run(*args, "-o", tmp_path / "out.csv", "--skip-damaged")
    assert status == 0, err
    assert ("kivo-tf run: --skip-damaged: /ft: 7 messages read of 8 the bag declares (1 skipped)"
            in err)


@pytest.mark.parametrize("output", ["out.csv", "out"])
def test_a_message_that_does_not_decode(config, tmp_path, kind, kivo_run, output):
    records = bagmaker.scene_records(kind)
    third = [k for k, r in enumerate(records) if r[0] == "/ft"][2]
    records[third] = (*records[third][:3], b"\x00\x01")
    bag = scene(tmp_path, kind, records)
    target = tmp_path / (output if output.endswith(".csv") or kind != "ros1" else "out.bag")
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", target, *FRAMES)
    assert status == 2
    assert re.fullmatch(r"kivo-tf run: error: message 3 of /ft \(bag time 100\.251000000 s\) does "
                        r"not decode: .*; give --skip-damaged to count such messages and go on\n",
                        err), err
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", target, *FRAMES,
                           "--skip-damaged")
    assert status == 0, err
    assert "account: 7 read = 4 transformed + 2 without a transform + 1 damaged" in err
    if target.suffix != ".csv":  # the undecodable message is copied as it is
        assert bagmaker.read_raw(target)[("/ft", "geometry_msgs/msg/WrenchStamped")][2][1] == (
            b"\x00\x01")


# --- tf samples --------------------------------------------------------------------------------

@pytest.mark.parametrize("spoil_value, dropped", [
    (lambda t: setattr(t.translation, "x", math.nan), True),
    (lambda t: setattr(t.rotation, "w", math.inf), True),
    (lambda t: [setattr(t.rotation, c, getattr(t.rotation, c) * 1.1) for c in "wxyz"], True),
    (lambda t: [setattr(t.rotation, c, getattr(t.rotation, c) * 1.004) for c in "wxyz"], False),
])
def test_tf_samples_that_tf2_drops_are_dropped(config, tmp_path, kivo_run, spoil_value, dropped):
    """A tf sample at t = 0.3 s of odom → base that is not usable is dropped (the message at 0.25 s
    is then interpolated from 0.2 s to 0.4 s: exact for the scene's uniform motion); one slightly
    off unit norm is normalised. Either way every Ok row equals the closed form."""
    records = bagmaker.scene_records("mcap")
    for topic, _, ns, msg in records:
        if topic == "/tf" and ns == bagmaker.T0_NS + 300_000_000:
            spoil_value(next(t for t in msg.transforms if t.child_frame_id == "/base").transform)
    bag = scene(tmp_path, "mcap", records)
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out.csv",
                           *FRAMES)
    assert status == 0, err
    assert ("kivo-tf run: 1 tf samples dropped" in err) == dropped
    if dropped:
        assert "'odom' → 'base' 1 from 100.300000000 s" in err
    table = pyarrow.csv.read_csv(tmp_path / "out.csv").to_pydict()
    ok = [k for k, s in enumerate(table["status"]) if s == "Ok"]
    assert len(ok) == 5
    got = np.array([[table[c][k] for c in WRENCH] for k in ok])
    want = closed_form_rows(config, [table["t"][k] for k in ok], [SIGNALS[k] for k in ok])
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)


def test_an_edge_on_both_tf_topics_needs_a_choice(config, tmp_path, kivo_run):
    records = bagmaker.scene_records("sqlite3")
    store = bagmaker.typestore("sqlite3")
    still = ([0.0, 0.2, 0.0], [1.0, 0.0, 0.0, 0.0])
    records.append(("/tf_static", "tf2_msgs/msg/TFMessage", bagmaker.T0_NS + 1, bagmaker.tf_message(
        store, "sqlite3", bagmaker.T0_NS, [(("odom", "base"), still)])))
    bag = scene(tmp_path, "sqlite3", records)
    args = (config, "tf_wrench_config", "-i", bag, *FRAMES)
    status, err = kivo_run(*args, "-o", tmp_path / "out.csv")
    assert status == 2
    assert err == ("kivo-tf run: error: the edge 'odom' → 'base' is on both /tf and /tf_static: "
                   "give --prefer-tf static or --prefer-tf dynamic to say which samples to use\n")
    for choice in ("static", "dynamic"):
        status, err = kivo_run(*args, "-o", tmp_path / f"{choice}.csv", "--prefer-tf", choice)
        assert status == 0, err
    dynamic = pyarrow.csv.read_csv(tmp_path / "dynamic.csv").to_pydict()
    static = pyarrow.csv.read_csv(tmp_path / "static.csv").to_pydict()
    assert dynamic["status"].count("Ok") == 5
    assert static["tf_y"][1:-1] != dynamic["tf_y"][1:-1]


# --- frames ------------------------------------------------------------------------------------

@pytest.mark.parametrize("wrench_section, frames, recorded_in, message", [
    (MOUNTED, ("world", "arm"), "sensor", None),
    (MOUNTED, ("world", "arm"), "/sensor", None),
    (M_OWN, ("world", "base"), "base", None),
    (M_OWN, ("world", "ft_sensor"), "ft_sensor", None),
    (MOUNTED, ("world", "sensor"), "sensor",
     "reads its input at [0.1, 0, 0] m, rotation [0.707106781, 0, 0.707106781, 0] in the moving "
     "frame 'sensor': 'sensor' is the moving frame itself"),
    (MOUNTED, ("world", "arm"), "ft_sensor",
     "'ft_sensor' is at [0.1, 0, 0] m, rotation [1, 0, 0, 0] in 'arm'"),
    (M_OWN, ("world", "arm"), "ft_sensor",
     "reads its input in the moving frame 'arm': 'ft_sensor' is at [0.1, 0, 0] m, rotation "
     "[1, 0, 0, 0] in 'arm'"),
    (M_OWN, ("ft_sensor", "world"), "ft_sensor",  # fixed and moving frame swapped
     "reads its input in the moving frame 'world': 'ft_sensor' is not joined to 'world' by "
     "/tf_static edges"),
    (M_OWN, ("world", "arm"), "gripper", "'gripper' is not in the bag's tf tree"),
    (section((M, [0.1, 0, 0]), (F, IDENTITY)), ("world", "arm"), "sensor",
     "the frame of its messages ('sensor') cannot be checked: tf_wrench_config reads its input "
     "at a point of the moving frame in the axes of the fixed frame"),
])
def test_header_frame_id_is_checked(tmp_path, kivo_run, wrench_section, frames, recorded_in,
                                    message):
    config = write_config(tmp_path / "config.json", wrench_section)
    bag = scene(tmp_path, "ros1", bagmaker.scene_records("ros1", frame=recorded_in))
    args = (config, "tf_wrench_config", "-i", bag, "--topic", "/ft", "--fixed-frame", frames[0],
            "--moving-frame", frames[1])
    status, err = kivo_run(*args, "-o", tmp_path / "out.csv")
    if message is None:
        assert status == 0, err
        assert f"kivo-tf run: frame check: every message in '{recorded_in}', " in err
        return
    assert status == 2
    assert err.count("\n") == 1 and message in err, err
    assert err.rstrip().endswith("(--ignore-frame-id skips this check)") or (
        "give --ignore-frame-id to transform them as they are" in err)
    status, err = kivo_run(*args, "-o", tmp_path / "out.csv", "--ignore-frame-id")
    assert status == 0, err
    assert "kivo-tf run: frame check: header.frame_id not checked (--ignore-frame-id)" in err


def test_a_topic_with_mixed_frame_ids_is_refused(config, tmp_path, kivo_run):
    records = bagmaker.scene_records("sqlite3")
    fifth = [r for r in records if r[0] == "/ft"][4]
    fifth[3].header.frame_id = "arm"
    bag = scene(tmp_path, "sqlite3", records)
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out", *FRAMES)
    assert status == 2
    assert err == ("kivo-tf run: error: /ft mixes frame ids: message 1 has 'sensor', message 5 "
                   "(stamp 100.770000000 s) has 'arm'; a topic must hold one frame's signals "
                   "(give --ignore-frame-id to transform it anyway)\n")
    assert left_in(tmp_path) == ["config.json", "in"]


# --- stamps ------------------------------------------------------------------------------------

def test_ros1_stamps_beyond_2_to_the_31_seconds(config, tmp_path, kivo_run):
    """ROS 1 stores unsigned seconds: 3e9 s is a valid stamp, read and written back as such."""
    t0 = 3_000_000_000 * 10**9
    bag = scene(tmp_path, "ros1", bagmaker.scene_records("ros1", t0_ns=t0))
    for output in ("out.csv", "out.bag"):
        status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / output,
                               *FRAMES)
        assert status == 0, err
        assert "5 transformed" in err
    table = pyarrow.csv.read_csv(tmp_path / "out.csv").to_pydict()
    assert table["t"][0] == (t0 - 50_000_000) / 1e9
    written = bagmaker.read_raw(tmp_path / "out.bag")[("/ft/kivo_tf",
                                                        "geometry_msgs/msg/WrenchStamped")]
    recorded = bagmaker.read_raw(bag)[("/ft", "geometry_msgs/msg/WrenchStamped")]
    # The header (seq, stamp) is the input's, byte for byte.
    assert [raw[:12] for _, raw in written] == [raw[:12] for _, raw in recorded[1:-1]]


# --- outputs -----------------------------------------------------------------------------------

@pytest.mark.parametrize("topic, message", [
    ("tf", "the bag already has a topic /tf: choose another --output-topic"),
    ("chatter/", "--output-topic 'chatter/' is not a valid topic name"),
    ("/a//b", "--output-topic '/a//b' is not a valid topic name"),
    ("/9lives", "--output-topic '/9lives' is not a valid topic name"),
    ("/with space", "--output-topic '/with space' is not a valid topic name"),
])
def test_output_topics_that_cannot_be_used(config, tmp_path, kivo_run, topic, message):
    bag = scene(tmp_path, "mcap")
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out", *FRAMES,
                           "--output-topic", topic)
    assert status == 2
    assert message in err


def test_a_killed_runs_staging_directory_is_removed_by_the_next_run(config, tmp_path, kivo_run):
    bag = scene(tmp_path, "sqlite3")
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    stale = tmp_path / f".out.kivo-tf-{dead}-0123abcd.tmp"
    alive = tmp_path / f".out.kivo-tf-{os.getpid()}-0123abcd.tmp"
    foreign = tmp_path / f".out.other-{dead}-0123abcd.tmp"
    for directory in (stale, alive, foreign):
        (directory / "out").mkdir(parents=True)
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out", *FRAMES)
    assert status == 0, err
    assert left_in(tmp_path) == sorted([alive.name, foreign.name, "config.json", "in", "out"])


@pytest.fixture
def tiny_file_system(tmp_path):
    """A 64 KiB tmpfs (root only; skipped where mounting is not allowed)."""
    mount_point = tmp_path / "tiny"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs",
                              str(mount_point)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@pytest.mark.parametrize("output", ["out.csv", "out.parquet", "out"])
def test_a_full_file_system_gives_one_line_and_leaves_nothing(config, tmp_path, kind, kivo_run,
                                                              tiny_file_system, output):
    records = bagmaker.scene_records(kind)
    store = bagmaker.typestore(kind)
    sensor = next(r for r in records if r[0] == "/ft")
    for k in range(3000):  # about 600 KB of messages
        ns = bagmaker.T0_NS + 100_000 * k + 7
        message = bagmaker.sensor_message(store, kind, sensor[1], ns, "sensor", SIGNALS[0])
        records.append(("/ft", sensor[1], ns, message))
    bag = scene(tmp_path, kind, records)
    target = tiny_file_system / (output if output != "out" or kind != "ros1" else "out.bag")
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "-o", target, *FRAMES)
    assert status == 2
    assert err.count("\n") == 1, err
    assert re.fullmatch(rf"kivo-tf run: error: cannot write {re.escape(str(target))}: "
                        r"(No space left on device|database or disk is full)\n", err), err
    assert left_in(tiny_file_system) == []


# --- one line for every failure ----------------------------------------------------------------

def tool(*args, **kwargs):
    env = {**os.environ, "PYTHONPATH": str(Path(kivo_tf_tools.__file__).resolve().parents[1])}
    streams = {} if "stdout" in kwargs else {"capture_output": True}
    return subprocess.run([sys.executable, "-m", "kivo_tf_tools", *map(str, args)], text=True,
                          env=env, timeout=120, **streams, **kwargs)


def test_frames_on_a_full_standard_output_and_on_a_device(tmp_path):
    bag = scene(tmp_path, "ros1")
    with open("/dev/full", "w") as full:
        result = tool("frames", bag, stdout=full, stderr=subprocess.PIPE)
    assert (result.returncode, result.stderr) == (
        2, "kivo-tf frames: error: cannot write standard output: No space left on device\n")
    (tmp_path / "zero.bag").symlink_to("/dev/zero")
    result = tool("frames", tmp_path / "zero.bag")
    assert (result.returncode, result.stderr) == (
        2, f"kivo-tf frames: error: cannot read the bag {tmp_path / 'zero.bag'}: not a regular "
           "file (a ROS 1 bag is a file)\n")


@pytest.mark.parametrize("command", ["run", "frames"])
def test_a_truncated_bag_is_one_line(config, tmp_path, kind, command):
    bag = scene(tmp_path, kind)
    path = storage_file(bag)
    path.write_bytes(path.read_bytes()[:path.stat().st_size // 2])
    args = (["run", config, "tf_wrench_config", "-i", bag, "-o", tmp_path / "out.csv", *FRAMES]
            if command == "run" else ["frames", bag])
    result = tool(*args)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith(f"kivo-tf {command}: error: ")


def test_an_internal_error_is_one_line_with_a_way_to_see_more(monkeypatch, capsys):
    def broken(args):
        raise KeyError("surprise")

    monkeypatch.setattr(kivo_tf_tools.check, "run", broken)
    parser = cli.build_parser
    monkeypatch.setattr(cli, "build_parser", lambda: _with_func(parser(), "check", broken))
    assert cli.main(["check", "x.json"]) == 70
    err = capsys.readouterr().err
    assert err == ("kivo-tf check: internal error: KeyError: 'surprise' (set KIVO_TF_TRACEBACK=1 "
                   "to see where; please report it)\n")
    monkeypatch.setenv("KIVO_TF_TRACEBACK", "1")
    assert cli.main(["check", "x.json"]) == 70
    assert "Traceback (most recent call last)" in capsys.readouterr().err


def _with_func(parser, command, function):
    """`parser` with the function of `command` replaced."""
    for action in parser._subparsers._group_actions:
        action.choices[command].set_defaults(func=function)
    return parser


# --- ROS 1 bookkeeping -------------------------------------------------------------------------

def test_the_compact_ros1_index_reads_and_writes_as_rosbags_does(tmp_path):
    """Many small chunks with messages out of time order: the compact reader hands out what
    rosbags' own reader does, in the same order, and a bag written with the compact writer reads
    back the same through rosbags."""
    from rosbags.rosbag1 import Reader

    from kivo_tf_tools import _ros1

    records = bagmaker.scene_records("ros1")
    records = records[1::2] + records[::2]  # the second half goes back in time
    bag = bagmaker.write_bag(tmp_path / "in.bag", "ros1", records, chunk_bytes=300,
                             in_order=False)
    with Reader(bag) as plain:
        expected = [(c.id, t, bytes(raw)) for c, t, raw in plain.messages()]
        counts = {c.id: c.msgcount for c in plain.connections}
        assert len(plain.chunks) > 5
    with _ros1.reader_class()(bag) as compact:
        assert [(c.id, t, bytes(raw)) for c, t, raw in compact.messages()] == expected
        assert {c.id: c.msgcount for c in compact.connections} == counts
        some = [compact.connections[0]]
        assert [(c.id, t) for c, t, _ in compact.messages(some, start=expected[3][1])] == [
            (i, t) for i, t, _ in expected if i == some[0].id and t >= expected[3][1]]
    with Reader(bag) as plain:
        copy = _ros1.writer_class()(tmp_path / "copy.bag")
        copy.chunk_threshold = 300
        with copy:
            made = {c.id: copy.add_connection(c.topic, c.msgtype, msgdef=c.msgdef.data,
                                              md5sum=c.digest) for c in plain.connections}
            for c, t, raw in plain.messages():
                copy.write(made[c.id], t, raw)
    with Reader(tmp_path / "copy.bag") as back:
        assert [(c.topic, t, bytes(raw)) for c, t, raw in back.messages()] == [
            (next(c.topic for c in plain_connections(bag) if c.id == i), t, raw)
            for i, t, raw in expected]


def plain_connections(bag):
    from rosbags.rosbag1 import Reader

    with Reader(bag) as reader:
        return list(reader.connections)
