"""Speed and peak memory of `kivo-tf run` on ROS bags beside rosbags alone, for ROS 1, rosbag2
SQLite3 and MCAP.

The bag: a WrenchStamped topic at 1 kHz, stamped in the frame 'sensor', and /tf at 100 Hz
(world → base → arm, two dynamic edges) with /tf_static (arm → sensor). The tool transforms the
wrench into 'world' and writes a bag of the input's kind (every message of the input plus the
transformed topic). The reference does what any such tool must do with rosbags and nothing
else: read every message, deserialize the tf and wrench messages, write every message to a new
bag and, per wrench message, serialize one message onto a second topic.

Run from the repository after scripts/setup.sh:
    PYTHONPATH=build/python_modules .venv/bin/python benchmarks/bench_bags.py [--messages N]
Prints, per kind, the messages per second (all messages of the input bag counted) of rosbags
alone reading and deserialising every message, of rosbags reading, deserialising and writing
them (the copy), and of the tool into a table and into a bag, with the ratios (goals: at least 3
times the reading alone; the bag output at least 1/1.5 of the copy).

    ... benchmarks/bench_bags.py --two-topics 1000000 [--share 0.95] [--repeats 3]
Prints, per kind and output, the time of one run transforming two topics of a bag against two
runs of one topic each (goal: a ratio under 0.6); --share sets the part of the bag's messages
on the two topics (the rest is /tf and text messages).

    ... benchmarks/bench_bags.py --memory [--sizes 100000,1000000]
Prints, per kind and size, the peak resident memory of `kivo-tf run` (a process of its own) to a
table and to a bag, beside the reference's (rosbags alone reading, deserialising and, for a bag,
writing the same bag), and their ratio; the goal is at most 256 MiB for the tool at 1M messages.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from rosbags.highlevel import AnyReader
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import Writer as Writer2
from rosbags.rosbag2.enums import StoragePlugin
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

GOAL = 1.5
SPEED_GOAL = 3.0  # the tool's messages/s over rosbags reading and deserialising
MEMORY_GOAL_MIB = 256
KINDS = ("ros1", "sqlite3", "mcap")
# The wrench as the sensor measures it: in the moving frame M = 'sensor' itself.
CONFIG = {"tf_wrench_config": {
    "set_input_reference_point": {"origin": "moving_frame", "translation": [0.0, 0.0, 0.0]},
    "set_input_expression_axes": {"origin": "moving_frame", "rotation": [1, 0, 0, 0]},
    "set_output_reference_point": {"origin": "fixed_frame", "translation": [0.0, 0.0, 0.0]},
    "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]}}}


def store_for(kind: str):  # type: ignore[no-untyped-def]
    if kind != "ros1":
        return get_typestore(Stores.LATEST)
    store = get_typestore(Stores.ROS1_NOETIC)
    store.register(get_types_from_msg("geometry_msgs/TransformStamped[] transforms",
                                      "tf2_msgs/msg/TFMessage"))
    return store


def open_writer(kind: str, path: Path):  # type: ignore[no-untyped-def]
    if kind == "ros1":
        return Writer1(path)
    plugin = StoragePlugin.MCAP if kind == "mcap" else StoragePlugin.SQLITE3
    return Writer2(path, version=9, storage_plugin=plugin)


def write_input(kind: str, path: Path, wrenches: int,
                topics: tuple[str, ...] = ("/ft",), filler: int = 0) -> int:
    """The benchmark's bag, with `wrenches` messages on each of `topics` and `filler` text
    messages (/log) beside each of them; returns its number of messages."""
    store = store_for(kind)
    t = store.types
    serialize = store.serialize_ros1 if kind == "ros1" else store.serialize_cdr

    def header(ns: int, frame: str):  # type: ignore[no-untyped-def]
        stamp = t["builtin_interfaces/msg/Time"](sec=ns // 10**9, nanosec=ns % 10**9)
        if kind == "ros1":
            return t["std_msgs/msg/Header"](seq=0, stamp=stamp, frame_id=frame)
        return t["std_msgs/msg/Header"](stamp=stamp, frame_id=frame)

    def vector(x: float, y: float, z: float):  # type: ignore[no-untyped-def]
        return t["geometry_msgs/msg/Vector3"](x=x, y=y, z=z)

    def transform(ns: int, parent: str, child: str, xyz: tuple[float, float, float],
                  angle: float):  # type: ignore[no-untyped-def]
        q = t["geometry_msgs/msg/Quaternion"](w=math.cos(angle / 2), x=0.0, y=0.0,
                                              z=math.sin(angle / 2))
        return t["geometry_msgs/msg/TransformStamped"](
            header=header(ns, parent), child_frame_id=child,
            transform=t["geometry_msgs/msg/Transform"](translation=vector(*xyz), rotation=q))

    count = 0
    start = 10**9
    with open_writer(kind, path) as writer:
        tf_static = writer.add_connection("/tf_static", "tf2_msgs/msg/TFMessage", typestore=store)
        tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage", typestore=store)
        fts = [writer.add_connection(topic, "geometry_msgs/msg/WrenchStamped", typestore=store)
               for topic in topics]
        log = writer.add_connection("/log", "std_msgs/msg/String", typestore=store)
        note = serialize(t["std_msgs/msg/String"](data="x" * 100), "std_msgs/msg/String")
        writer.write(tf_static, start, serialize(t["tf2_msgs/msg/TFMessage"](
            transforms=[transform(start, "arm", "sensor", (0.1, 0.0, 0.0), 0.5)]),
            "tf2_msgs/msg/TFMessage"))
        count += 1
        for k in range(wrenches + 1):
            ns = start + k * 1_000_000
            if k % 10 == 0:
                s = k / 1000.0
                message = t["tf2_msgs/msg/TFMessage"](transforms=[
                    transform(ns, "world", "base", (0.1 * s, 0.0, 0.0), 0.2 * s),
                    transform(ns, "base", "arm", (0.0, 0.0, 0.5), 0.7 * s)])
                writer.write(tf, ns, serialize(message, "tf2_msgs/msg/TFMessage"))
                count += 1
            if k < wrenches:
                wrench = t["geometry_msgs/msg/WrenchStamped"](
                    header=header(ns + 500_000, "sensor"),
                    wrench=t["geometry_msgs/msg/Wrench"](force=vector(1.0, 2.0, 3.0 + k * 1e-3),
                                                         torque=vector(0.1, 0.2, 0.3)))
                raw = serialize(wrench, "geometry_msgs/msg/WrenchStamped")
                for ft in fts:
                    writer.write(ft, ns + 600_000, raw)
                    count += 1
                for j in range(filler):
                    writer.write(log, ns + 700_000 + j, note)
                    count += 1
    return count


def reference(kind: str, source: Path, target: Path) -> None:
    """rosbags alone: read all, deserialize tf and wrench, write all plus one per wrench."""
    with AnyReader([source], default_typestore=get_typestore(Stores.LATEST)) as reader:
        store = reader.typestore
        serialize = store.serialize_ros1 if kind == "ros1" else store.serialize_cdr
        with open_writer(kind, target) as writer:
            copies = {c.id: writer.add_connection(c.topic, c.msgtype, typestore=store)
                      for c in reader.connections}
            (ft,) = [c for c in reader.connections if c.topic == "/ft"]
            out = writer.add_connection("/ft/copy", ft.msgtype, typestore=store)
            for connection, ns, raw in reader.messages():
                writer.write(copies[connection.id], ns, raw)
                if connection.topic in ("/ft", "/tf", "/tf_static"):
                    message = reader.deserialize(raw, connection.msgtype)
                    if connection.topic == "/ft":
                        writer.write(out, ns, serialize(message, connection.msgtype))


def read_only(source: Path) -> None:
    """rosbags alone reading the bag and turning every message into its object."""
    with AnyReader([source], default_typestore=get_typestore(Stores.LATEST)) as reader:
        deserialize = reader.deserialize
        for connection, _, raw in reader.messages():
            deserialize(raw, connection.msgtype)


def tool(config: Path, source: Path, target: Path) -> None:
    from kivo_tf_tools import cli

    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        status = cli.main(["run", str(config), "tf_wrench_config", "-i", str(source), "-o",
                           str(target), *TOOL_ARGS])
    if status != 0:
        raise SystemExit(f"kivo-tf run failed: {stderr.getvalue()}")


TOOL_ARGS = ["--topic", "/ft", "--fixed-frame", "world", "--moving-frame", "sensor"]


def peak_mib(code: str, *args: str) -> float:
    """The peak resident memory in MiB of a Python process of its own running `code` (with
    sys.argv[1:] = args)."""
    process = subprocess.Popen([sys.executable, "-c", code, *args], env=os.environ,
                               stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"a measured process failed ({process.returncode}): {args}")
    return usage.ru_maxrss / 1024.0


TOOL_CODE = """
import sys
from kivo_tf_tools import cli
sys.exit(cli.main(["run", sys.argv[1], "tf_wrench_config", "-i", sys.argv[2], "-o", sys.argv[3],
                   *sys.argv[4:]]))
"""

READ_CODE = """
import sys
from pathlib import Path
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_typestore
with AnyReader([Path(sys.argv[1])], default_typestore=get_typestore(Stores.LATEST)) as reader:
    wanted = [c for c in reader.connections if c.topic in ("/ft", "/tf", "/tf_static")]
    for connection, ns, raw in reader.messages(connections=wanted):
        reader.deserialize(raw, connection.msgtype)
"""

WRITE_CODE = """
import sys
from pathlib import Path
sys.path.insert(0, sys.argv[1])
from bench_bags import write_input
print(write_input(sys.argv[2], Path(sys.argv[3]), int(sys.argv[4])))
"""

COPY_CODE = """
import sys
from pathlib import Path
sys.path.insert(0, sys.argv[3])
from bench_bags import reference
reference(sys.argv[1], Path(sys.argv[2]), Path(sys.argv[4]))
"""


def remove(path: Path) -> None:
    if path.is_dir():
        shutil.rmtree(path)
    else:
        path.unlink()


def memory(sizes: list[int]) -> int:
    print(f"{'kind':<8} {'messages':>10} {'output':<7} {'kivo-tf run':>12} {'rosbags alone':>14} "
          f"{'ratio':>6}  (peak resident MiB; goal <= {MEMORY_GOAL_MIB} MiB at 1M)")
    worst = 0.0
    here = str(Path(__file__).resolve().parent)
    with tempfile.TemporaryDirectory(prefix="kivo_bench_bags_memory_") as tmp:
        root = Path(tmp)
        config = root / "config.json"
        config.write_text(json.dumps(CONFIG))
        for size in sizes:
            for kind in KINDS:
                suffix = ".bag" if kind == "ros1" else ""
                source = root / f"{kind}-{size}{suffix}"
                # Written by a process of its own: a measured process inherits the peak of the
                # process that starts it (the kernel keeps it across exec).
                count = int(subprocess.run(
                    [sys.executable, "-c", WRITE_CODE, here, kind, str(source),
                     str(size * 10 // 11)], check=True, capture_output=True, text=True).stdout)
                for output in ("table", "bag"):
                    target = root / (f"{kind}-{size}-out.parquet" if output == "table"
                                     else f"{kind}-{size}-out{suffix}")
                    tool_mib = peak_mib(TOOL_CODE, str(config), str(source), str(target),
                                        *TOOL_ARGS)
                    if output == "table":
                        ref_mib = peak_mib(READ_CODE, str(source))
                    else:
                        ref_mib = peak_mib(COPY_CODE, kind, str(source), here,
                                           str(root / f"{kind}-{size}-ref{suffix}"))
                    if size >= 1_000_000:
                        worst = max(worst, tool_mib)
                    print(f"{kind:<8} {count:>10,} {output:<7} {tool_mib:>12.0f} "
                          f"{ref_mib:>14.0f} {tool_mib / ref_mib:>6.2f}")
                    for path in root.glob(f"{kind}-{size}-*"):
                        remove(path)
                remove(source)
    if worst:
        print(f"largest peak at 1M messages: {worst:.0f} MiB "
              f"({'within' if worst <= MEMORY_GOAL_MIB else 'over'} the goal {MEMORY_GOAL_MIB})")
    return 0


WRITE_TWO_CODE = """
import sys
from pathlib import Path
sys.path.insert(0, sys.argv[1])
from bench_bags import write_input
print(write_input(sys.argv[2], Path(sys.argv[3]), int(sys.argv[4]), ("/ft", "/ft2"),
                  int(sys.argv[5])))
"""
TWO_TOPICS_GOAL = 0.6


def two_topics(size: int, repeats: int, share: float) -> int:
    """A bag of two wrench topics, /tf and text messages, the two topics making `share` of its
    messages: one run of both topics against two runs of one topic each, as processes of their
    own (best of `repeats`), into tables and into a bag."""
    filler = max(0, round(2 / share - 2.1))  # text messages per wrench tick
    print(f"{'kind':<8} {'messages':>10} {'output':<7} {'two runs':>9} {'one run':>9} "
          f"{'ratio':>6}  (seconds, best of {repeats}; goal ratio < {TWO_TOPICS_GOAL})")
    here = str(Path(__file__).resolve().parent)
    worst = 0.0
    with tempfile.TemporaryDirectory(prefix="kivo_bench_bags_topics_") as tmp:
        root = Path(tmp)
        config = root / "config.json"
        config.write_text(json.dumps(CONFIG))
        for kind in KINDS:
            suffix = ".bag" if kind == "ros1" else ""
            source = root / f"{kind}{suffix}"
            count = int(subprocess.run(
                [sys.executable, "-c", WRITE_TWO_CODE, here, kind, str(source),
                 str(int(size / (2.1 + filler))), str(filler)], check=True,
                capture_output=True, text=True).stdout)
            frames = ["--fixed-frame", "world", "--moving-frame", "sensor"]

            def run(*args: str) -> float:
                started = time.perf_counter()
                subprocess.run([sys.executable, "-m", "kivo_tf_tools", "run", str(config),
                                "tf_wrench_config", "-i", str(source), "-q", *frames, *args],
                               check=True, capture_output=True, env=os.environ)
                return time.perf_counter() - started

            for output in ("table", "bag"):
                def out(name: str, k: int) -> str:
                    path = root / (f"{name}{k}.parquet" if output == "table" else
                                   f"{name}{k}{suffix}")
                    return str(path)
                best = best_times(repeats, {
                    "two": lambda k: run("--topic", "/ft", "-o", out("a", k)) + run(
                        "--topic", "/ft2", "-o", out("b", k)),
                    "one": lambda k: run("--topic", "/ft", "--topic", "/ft2", "-o",
                                         out("both_{topic}" if output == "table" else "both",
                                             k))})
                ratio = best["one"] / best["two"]
                worst = max(worst, ratio)
                print(f"{kind:<8} {count:>10,} {output:<7} {best['two']:>9.2f} "
                      f"{best['one']:>9.2f} {ratio:>6.2f}")
                for path in root.glob("[ab]*"):
                    remove(path)
                for path in root.glob("both*"):
                    remove(path)
            remove(source)
    print(f"worst ratio {worst:.2f} ({'within' if worst < TWO_TOPICS_GOAL else 'over'} the goal "
          f"{TWO_TOPICS_GOAL})")
    return 0


def best_times(repeats: int, runs: dict[str, object]) -> dict[str, float]:
    """The least time of each run over `repeats` rounds; the runs alternate within a round,
    so that a load on the machine weighs on both alike."""
    best = {name: math.inf for name in runs}
    for k in range(repeats):
        for name, make in runs.items():
            start = time.perf_counter()
            make(k)  # type: ignore[operator]
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=20_000,
                        help="wrench messages in the bag (1 kHz); /tf adds a tenth")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--memory", action="store_true",
                        help="measure peak memory instead of speed")
    parser.add_argument("--sizes", default="100000,1000000",
                        help="--memory: messages per bag, comma-separated")
    parser.add_argument("--two-topics", type=int, default=None, metavar="N",
                        help="time one run of two topics against two runs of one, on a bag of "
                             "N messages")
    parser.add_argument("--share", type=float, default=0.95,
                        help="--two-topics: the share of the bag's messages on the two topics "
                             "(the rest: /tf and text messages)")
    args = parser.parse_args()
    if args.memory:
        return memory([int(size) for size in args.sizes.split(",")])
    if args.two_topics:
        return two_topics(args.two_topics, args.repeats, args.share)
    print(f"{'kind':<8} {'messages':>9} {'read':>10} {'copy':>10} {'to table':>10} "
          f"{'to bag':>10} {'table/read':>10} {'bag/read':>9} {'bag/copy':>9}")
    print(f"  (messages/s, best of {args.repeats}; read: rosbags reading and deserialising every "
          "message; copy: rosbags reading, deserialising and writing every message, and one per "
          f"wrench; goals: table/read and bag/read >= {SPEED_GOAL:g}, bag/copy >= 1/{GOAL:g})")
    worst = math.inf
    with tempfile.TemporaryDirectory(prefix="kivo_bench_bags_") as tmp:
        root = Path(tmp)
        config = root / "config.json"
        config.write_text(json.dumps(CONFIG))
        for kind in KINDS:
            source = root / (f"{kind}.bag" if kind == "ros1" else kind)
            count = write_input(kind, source, args.messages)
            suffix = ".bag" if kind == "ros1" else ""
            best = best_times(args.repeats, {
                "read": lambda k: read_only(source),
                "copy": lambda k: reference(kind, source, root / f"{kind}-ref{k}{suffix}"),
                "table": lambda k: tool(config, source, root / f"{kind}-tool{k}.parquet"),
                "bag": lambda k: tool(config, source, root / f"{kind}-tool{k}{suffix}")})
            rate = {name: count / seconds for name, seconds in best.items()}
            ratios = (rate["table"] / rate["read"], rate["bag"] / rate["read"],
                      rate["bag"] / rate["copy"])
            worst = min(worst, ratios[0], ratios[1])
            print(f"{kind:<8} {count:>9,} {rate['read']:>10,.0f} {rate['copy']:>10,.0f} "
                  f"{rate['table']:>10,.0f} {rate['bag']:>10,.0f} {ratios[0]:>10.2f} "
                  f"{ratios[1]:>9.2f} {ratios[2]:>9.2f}")
    print(f"lowest ratio to reading alone {worst:.2f} "
          f"({'within' if worst >= SPEED_GOAL else 'under'} the goal {SPEED_GOAL:g})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
