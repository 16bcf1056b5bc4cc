"""Speed of `kivo-tf run` on ROS bags beside rosbags alone, for ROS 1, rosbag2 SQLite3 and MCAP.

The bag: a WrenchStamped topic at 1 kHz, stamped in the frame 'sensor', and /tf at 100 Hz
(world → base → arm, two dynamic edges) with /tf_static (arm → sensor). The tool transforms the
wrench into 'world' and writes a bag of the input's kind (every message of the input plus the
transformed topic). The reference does what any such tool must do with rosbags and nothing
else: read every message, deserialize the tf and wrench messages, write every message to a new
bag and, per wrench message, serialize one message onto a second topic.

Run from the repository after scripts/setup.sh:
    PYTHONPATH=build/python_modules .venv/bin/python benchmarks/bench_bags.py [--messages N]
Prints, per kind, the messages per second of both (all messages of the input bag counted) and
the ratio of the two times (goal: at most 1.5).
"""
from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
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
KINDS = ("ros1", "sqlite3", "mcap")
CONFIG = {"tf_wrench_config": {
    "set_input_reference_point": {"origin": "moving_frame", "translation": [0.0, 0.0, 0.05]},
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


def write_input(kind: str, path: Path, wrenches: int) -> int:
    """The benchmark's bag; returns its number of messages."""
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
        ft = writer.add_connection("/ft", "geometry_msgs/msg/WrenchStamped", typestore=store)
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
                writer.write(ft, ns + 600_000, serialize(wrench, "geometry_msgs/msg/WrenchStamped"))
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


def tool(config: Path, source: Path, target: Path) -> None:
    from kivo_tf_tools import cli

    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        status = cli.main(["run", str(config), "tf_wrench_config", "-i", str(source), "-o",
                           str(target), "--topic", "/ft", "--fixed-frame", "world",
                           "--moving-frame", "sensor"])
    if status != 0:
        raise SystemExit(f"kivo-tf run failed: {stderr.getvalue()}")


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
    args = parser.parse_args()
    print(f"{'kind':<8} {'messages':>9} {'kivo-tf run':>14} {'rosbags alone':>14} {'ratio':>6}"
          f"  (messages/s, best of {args.repeats}; goal ratio <= {GOAL})")
    worst = 0.0
    with tempfile.TemporaryDirectory(prefix="kivo_bench_bags_") as tmp:
        root = Path(tmp)
        config = root / "config.json"
        config.write_text(json.dumps(CONFIG))
        for kind in KINDS:
            source = root / (f"{kind}.bag" if kind == "ros1" else kind)
            count = write_input(kind, source, args.messages)
            suffix = ".bag" if kind == "ros1" else ""
            best = best_times(args.repeats, {
                "tool": lambda k: tool(config, source, root / f"{kind}-tool{k}{suffix}"),
                "reference": lambda k: reference(kind, source,
                                                 root / f"{kind}-ref{k}{suffix}")})
            tool_s, ref_s = best["tool"], best["reference"]
            ratio = tool_s / ref_s
            worst = max(worst, ratio)
            print(f"{kind:<8} {count:>9,} {count / tool_s:>14,.0f} {count / ref_s:>14,.0f} "
                  f"{ratio:>6.2f}")
    print(f"worst ratio {worst:.2f} ({'within' if worst <= GOAL else 'over'} the goal {GOAL})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
