"""`kivo-tf run` on bags as teams use them: several topics in one pass, a time window, integer
nanosecond stamps, stamps that cannot be trusted, lone MCAP files, progress on a terminal."""
import io
import json
import shutil
import sys

import numpy as np
import pyarrow.csv
import pyarrow.parquet
import pytest

import bagmaker
from kivo_tf_tools import _progress, cli

F = {"origin": "fixed_frame"}
M = {"origin": "moving_frame"}
IDENTITY = [1, 0, 0, 0]


def section(point, axes, out_point, out_axes):
    return {"set_input_reference_point": {**point[0], "translation": point[1]},
            "set_input_expression_axes": {**axes[0], "rotation": axes[1]},
            "set_output_reference_point": {**out_point[0], "translation": out_point[1]},
            "set_output_expression_axes": {**out_axes[0], "rotation": out_axes[1]}}


CONFIG = {
    # ft_sensor: 0.1 m along arm's x axis, arm's axes; output at F's origin in F's axes.
    "tf_wrench_config": section((M, [0.1, 0, 0]), (M, IDENTITY), (F, [0, 0, 0]), (F, IDENTITY)),
    # An IMU in M's own frame; the acceleration of a point 0.2 m along M's x axis, in F's axes.
    "tf_imu_config": section((M, [0, 0, 0]), (M, IDENTITY), (M, [0.2, 0, 0]), (F, IDENTITY)),
}
WRENCH = ("--topic", "/ft", "--moving-frame", "arm")
IMU = ("--topic", "/imu", "--section", "tf_imu_config", "--moving-frame", "arm")


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "config.json"
    path.write_text(json.dumps(CONFIG))
    return str(path)


def two_topic_records(kind, **options):
    """The scene with /ft stamped in ft_sensor and /imu stamped in arm."""
    records = bagmaker.scene_records(kind, frame="ft_sensor", **options)
    rng = np.random.default_rng(9)
    imu = rng.normal(size=(len(bagmaker.SENSOR_TIMES), 6)).tolist()
    records += [r for r in bagmaker.scene_records(kind, "sensor_msgs/msg/Imu", "/imu", "arm", imu,
                                                  **options) if r[0] == "/imu"]
    return records


def write(tmp_path, kind, records, name="in"):
    return bagmaker.write_bag(bagmaker.bag_path(tmp_path, kind, name), kind, records)


def out_bag(tmp_path, kind, name):
    return bagmaker.bag_path(tmp_path, kind, name)


@pytest.mark.parametrize("output", ["{topic}.csv", "bag"])
def test_two_topics_in_one_pass_equal_two_single_runs(config, tmp_path, kind, kivo_run, output):
    bag = write(tmp_path, kind, two_topic_records(kind))
    common = (config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world")
    central = ("--angular-acceleration", "central")
    if output == "bag":
        both = out_bag(tmp_path, kind, "both")
        status, err = kivo_run(*common, *WRENCH, *IMU, *central, "-o", both)
        assert status == 0, err
        singles = {}
        for topic, options in (("/ft", WRENCH), ("/imu", IMU)):
            singles[topic] = out_bag(tmp_path, kind, topic.strip("/"))
            extra = central if topic == "/imu" else ()
            status, err = kivo_run(*common, *options, *extra, "-o", singles[topic])
            assert status == 0, err
        combined = bagmaker.read_raw(both)
        for topic, single in singles.items():
            one = bagmaker.read_raw(single)
            written = [k for k in one if k[0] == topic + "/kivo_tf"]
            assert written and all(combined[k] == one[k] for k in written)
        assert {k: v for k, v in combined.items() if not k[0].endswith("/kivo_tf")} == (
            bagmaker.read_raw(bag))
    else:
        status, err = kivo_run(*common, *WRENCH, *IMU, *central, "-o", tmp_path / output)
        assert status == 0, err
        assert err.count("kivo-tf run: account: 7 read = 5 transformed") == 2
        for topic, options in (("ft", WRENCH), ("imu", IMU)):
            extra = central if topic == "imu" else ()
            status, err = kivo_run(*common, *options, *extra, "-o", tmp_path / f"one_{topic}.csv")
            assert status == 0, err
            assert (tmp_path / f"{topic}.csv").read_bytes() == (
                tmp_path / f"one_{topic}.csv").read_bytes()


@pytest.mark.parametrize("options, message", [
    (("--topic", "/ft", "--moving-frame", "arm", "--topic", "/imu", "--section", "tf_imu_config"),
     "tf_imu_config places an entry in the moving frame: give --moving-frame (the frames of the "
     "bag's tf tree whose transform the block takes) (topic /imu)"),
    (("--moving-frame", "arm", "--topic", "/ft", "--output-topic", "/out", "--topic", "/imu",
      "--section", "tf_imu_config", "--output-topic", "out"),
     "two topics of the run would be written to out: give each its own --output-topic"),
    (("--topic", "/ft",),
     "tf_wrench_config places an entry in the moving frame: give --moving-frame"),
])
def test_options_belong_to_the_topic_they_follow(config, tmp_path, kivo_run, options, message):
    """Options before the first --topic apply to every topic (here --fixed-frame), those after a
    --topic to it alone."""
    bag = write(tmp_path, "sqlite3", two_topic_records("sqlite3"))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *options, "-o", tmp_path / "out")
    assert status == 2
    assert message in err, err
    assert not (tmp_path / "out").exists()


def test_several_topics_into_tables_need_one_name_each(config, tmp_path, kivo_run):
    bag = write(tmp_path, "mcap", two_topic_records("mcap"))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *WRENCH, *IMU, "-o", tmp_path / "out.csv")
    assert (status, err) == (2, "kivo-tf run: error: with several topics and a table output, OUT "
                                "must name one table per topic with {topic} in its file name "
                                f"(e.g. out_{{topic}}.csv), not {tmp_path / 'out.csv'}\n")


# --- time -------------------------------------------------------------------------------------

@pytest.mark.parametrize("window", [("100.25abs", "100.77abs"), ("0.299", "0.819")])
def test_a_time_window_keeps_its_first_stamp_and_not_its_end(config, tmp_path, kivo_run, window):
    """Bag start: the first message at 99.951 s (the /ft message stamped 99.95 s, recorded 1 ms
    later). The messages inside are transformed as in a run over the whole bag: the tf samples
    around the window's edges are used."""
    bag = write(tmp_path, "ros1", bagmaker.scene_records("ros1", frame="ft_sensor"))
    args = (config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world", *WRENCH)
    status, err = kivo_run(*args, "--start", window[0], "--end", window[1],
                           "-o", tmp_path / "window.csv")
    assert status == 0, err
    assert "account: 7 read = 2 transformed + 5 outside the window" in err
    assert ("time window: messages with header stamps from 100.250000000 s up to (not "
            "including) 100.770000000 s") in err
    assert kivo_run(*args, "-o", tmp_path / "all.csv")[0] == 0
    inside = pyarrow.csv.read_csv(tmp_path / "window.csv").to_pydict()
    everything = pyarrow.csv.read_csv(tmp_path / "all.csv").to_pydict()
    assert inside["t"] == [100.25, 100.5]
    for name, column in inside.items():
        assert column == everything[name][2:4]


@pytest.mark.parametrize("value", ["soon", "nan", "1e400abs", ""])
def test_a_window_edge_that_is_not_a_time(config, tmp_path, kivo_run, value):
    bag = write(tmp_path, "ros1", bagmaker.scene_records("ros1", frame="ft_sensor"))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *WRENCH, "--start", value, "-o", tmp_path / "out.csv")
    assert status == 2
    assert err.startswith(f"kivo-tf run: error: --start {value} is not a time")


def sensor_records(kind, stamps_ns, times_ns, frame="ft_sensor"):
    """The scene's tf with /ft messages stamped `stamps_ns`, recorded at `times_ns`."""
    store = bagmaker.typestore(kind)
    records = [r for r in bagmaker.scene_records(kind) if r[0] in ("/tf", "/tf_static")]
    for k, (stamp, recorded) in enumerate(zip(stamps_ns, times_ns)):
        message = bagmaker.sensor_message(store, kind, "geometry_msgs/msg/WrenchStamped", stamp,
                                          frame, [1.0 + k, 0.0, 0.0, 0.0, 0.0, 0.0])
        records.append(("/ft", "geometry_msgs/msg/WrenchStamped", recorded, message))
    return records


def test_stamps_one_nanosecond_apart_stay_apart(config, tmp_path, kivo_run):
    t0 = 1_700_000_000 * 10**9 + 128_937_001
    stamps = [t0, t0 + 1, t0 + 2]
    tf_shift = t0 - bagmaker.T0_NS - 500_000_000  # the scene's tf around the stamps
    records = [(topic, msgtype, ns + tf_shift, msg) for topic, msgtype, ns, msg in
               bagmaker.scene_records("mcap", t0_ns=bagmaker.T0_NS + tf_shift)
               if topic in ("/tf", "/tf_static")]
    store = bagmaker.typestore("mcap")
    for k, stamp in enumerate(stamps):
        records.append(("/ft", "geometry_msgs/msg/WrenchStamped", stamp + 1000, bagmaker.sensor_message(
            store, "mcap", "geometry_msgs/msg/WrenchStamped", stamp, "ft_sensor",
            [1.0 + k, 0.0, 0.0, 0.0, 0.0, 0.0])))
    bag = write(tmp_path, "mcap", records)
    for name in ("out.csv", "out.parquet"):
        status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                               *WRENCH, "-o", tmp_path / name)
        assert status == 0, err
    from_csv = pyarrow.csv.read_csv(tmp_path / "out.csv")
    from_parquet = pyarrow.parquet.read_table(tmp_path / "out.parquet")
    for table in (from_csv, from_parquet):
        assert table.column("stamp_ns").to_pylist() == stamps
        assert str(table.schema.field("stamp_ns").type) == "int64"
        assert table.column("status").to_pylist() == ["Ok"] * 3


def test_no_transform_stamps_are_named_in_time_order(config, tmp_path, kivo_run):
    late, early = bagmaker.T0_NS + 1_050_000_000, bagmaker.T0_NS - 50_000_000
    recorded = [bagmaker.T0_NS + 10_000_000, bagmaker.T0_NS + 20_000_000]
    bag = write(tmp_path, "sqlite3", sensor_records("sqlite3", [late, early], recorded))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *WRENCH, "-o", tmp_path / "out.csv")
    assert status == 0, err
    assert "first at 99.950000000 s, last at 101.050000000 s" in err


@pytest.mark.parametrize("stamp", ["header", "receive"])
def test_messages_without_a_header_stamp(config, tmp_path, kivo_run, stamp):
    """A driver that never sets header.stamp: counted and named; with --stamp receive each
    message is placed at the time the bag recorded it."""
    recorded = [bagmaker.T0_NS + round(t * 1e9) for t in (0.25, 0.5, 0.75)]
    bag = write(tmp_path, "ros1", sensor_records("ros1", [0, 0, 0], recorded))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *WRENCH, "--stamp", stamp, "-o", tmp_path / "out.csv")
    assert status == 0, err
    assert ("kivo-tf run: 3 messages on /ft have header.stamp 0 (their driver never set it), the "
            "first recorded at 100.250000000 s: ") in err
    table = pyarrow.csv.read_csv(tmp_path / "out.csv").to_pydict()
    if stamp == "header":
        assert table["status"] == ["NoTransform"] * 3
        assert "--stamp receive places them at the time the bag recorded them" in err
    else:
        assert table["status"] == ["Ok"] * 3
        assert table["stamp_ns"] == recorded
        want = [bagmaker.closed_form_tf("world", "arm", t) for t in (0.25, 0.5, 0.75)]
        np.testing.assert_allclose([[table[c][k] for c in ("tf_x", "tf_y", "tf_z")]
                                    for k in range(3)], [w[:3] for w in want], atol=1e-12)


# --- containers -------------------------------------------------------------------------------

def test_a_lone_mcap_file_is_the_bag_it_holds(config, tmp_path, kivo_run):
    bag = write(tmp_path, "mcap", bagmaker.scene_records("mcap", frame="ft_sensor"))
    lone = tmp_path / "alone" / "rec.MCAP"  # on its own, its name in upper case
    lone.parent.mkdir()
    shutil.copy(next(bag.glob("*.mcap")), lone)
    args = ("--fixed-frame", "world", *WRENCH)
    for source, name in ((bag, "dir.csv"), (next(bag.glob("*.mcap")), "inside.csv"),
                         (lone, "lone.csv")):
        status, err = kivo_run(config, "tf_wrench_config", "-i", source, *args, "-o",
                               tmp_path / name)
        assert status == 0, err
    table = (tmp_path / "dir.csv").read_bytes()
    assert (tmp_path / "inside.csv").read_bytes() == table == (tmp_path / "lone.csv").read_bytes()
    status, err = kivo_run(config, "tf_wrench_config", "-i", lone, *args, "-o",
                           tmp_path / "out.mcap")
    assert status == 0, err
    assert (tmp_path / "out.mcap").is_file()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["alone", "config.json", "dir.csv", "in", "inside.csv", "lone.csv", "out.mcap"])
    status, err = kivo_run(config, "tf_wrench_config", "-i", tmp_path / "out.mcap", *args, "-o",
                           tmp_path / "again.csv")
    assert status == 0, err
    assert "account: 7 read = 5 transformed + 2 without a transform" in err


def test_a_ros1_bag_named_in_upper_case(config, tmp_path, kivo_run, capfd):
    bag = bagmaker.write_bag(tmp_path / "REC.BAG", "ros1",
                             bagmaker.scene_records("ros1", frame="ft_sensor"))
    status, err = kivo_run(config, "tf_wrench_config", "-i", bag, "--fixed-frame", "world",
                           *WRENCH, "-o", tmp_path / "OUT.Bag")
    assert status == 0, err
    assert cli.main(["frames", str(tmp_path / "OUT.Bag")]) == 0
    assert "ft_sensor  arm" in capfd.readouterr().out


# --- progress ---------------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("command", ["run", "frames", "table"])
def test_a_progress_bar_on_a_terminal_only(config, tmp_path, monkeypatch, quiet, command):
    bag = write(tmp_path, "sqlite3", bagmaker.scene_records("sqlite3", frame="ft_sensor"))
    monkeypatch.setattr(_progress, "DELAY_S", 0.0)
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    if command == "run":
        argv = ["run", config, "tf_wrench_config", "-i", str(bag), "--fixed-frame", "world",
                *WRENCH, "-o", str(tmp_path / "out.csv")]
        bar = "reading /tf"
    elif command == "table":
        (tmp_path / "log.csv").write_text("fx,fy,fz,tx,ty,tz\n" + "1,2,3,4,5,6\n" * 100)
        argv = ["run", str(tmp_path / "plain.json"), "tf_wrench_config", "-i",
                str(tmp_path / "log.csv"), "-o", str(tmp_path / "out.csv")]
        plain = section((F, [0, 0, 0]), (F, IDENTITY), (F, [0, 0, 0]), (F, IDENTITY))
        (tmp_path / "plain.json").write_text(json.dumps({"tf_wrench_config": plain}))
        bar = "transforming"
    else:
        argv = ["frames", str(bag)]
        bar = "reading /tf"
    assert cli.main(argv + (["--quiet"] if quiet else [])) == 0
    shown = terminal.getvalue()
    assert (bar in shown) != quiet
    # The summary is the same either way.
    assert command == "frames" or "kivo-tf run: " in shown
