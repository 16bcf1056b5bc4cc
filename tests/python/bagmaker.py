"""Small ROS bags written with rosbags for the tests of `kivo-tf run` on bags and `kivo-tf frames`.

The recorded scene, poses known in closed form at every instant t (seconds after T0):

    world ─(static)→ odom ─(dynamic)→ base ─(dynamic)→ arm ─(static)→ sensor
                                                           arm ─(static)→ ft_sensor
    world ─(dynamic)→ camera                 island ─(static)→ rock   (no path to world)

- world → odom: static, at (1, 0, 0), a quarter turn about z;
- odom → base: position (0.5 t, 0.2, 0) (linear), turning about z at 0.5 rad/s;
- base → arm: at (0, 0, 0.4), turning about x at 0.3 rad/s;
- arm → sensor: static, at (0.1, 0, 0), a quarter turn about y;
- arm → ft_sensor: static, at (0.1, 0, 0), arm's own axes (a force/torque sensor);
- world → camera: at (0, 0, 2), turning about z at 0.1 rad/s.

A constant rate about a fixed axis is reproduced exactly by spherical interpolation between
samples, and a linear motion by linear interpolation, so the interpolated tree equals the closed
form up to rounding. Dynamic edges are sampled every 0.1 s for t in [0, 1]. Frame ids of the
dynamic edges are written with a leading '/', which the lookup ignores.
"""
from __future__ import annotations

import math
from pathlib import Path

import numpy as np
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import Writer as Writer2
from rosbags.rosbag2.enums import CompressionFormat, CompressionMode, StoragePlugin
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

T0_NS = 100_000_000_000  # 100 s
TF_TIMES = [k / 10 for k in range(11)]
# Sensor stamps: before the first tf sample, between samples, on a sample, on the last one, after.
SENSOR_TIMES = [-0.05, 0.03, 0.25, 0.5, 0.77, 1.0, 1.05]
KINDS = ["ros1", "sqlite3", "mcap"]


TF_MESSAGE_DEFINITION = "geometry_msgs/TransformStamped[] transforms"


def typestore(kind):
    if kind != "ros1":
        return get_typestore(Stores.LATEST)
    store = get_typestore(Stores.ROS1_NOETIC)  # has no tf2_msgs: register TFMessage
    store.register(get_types_from_msg(TF_MESSAGE_DEFINITION, "tf2_msgs/msg/TFMessage"))
    return store


def axis_quat(axis, angle):
    """[w, x, y, z] of a turn by `angle` about the unit `axis`."""
    s = math.sin(angle / 2)
    return [math.cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s]


QUARTER_Z = axis_quat((0, 0, 1), math.pi / 2)
QUARTER_Y = axis_quat((0, 1, 0), math.pi / 2)


def edges_at(t):
    """{(parent, child): (translation, quaternion [w, x, y, z])} of every edge at time t."""
    return {
        ("world", "odom"): ([1.0, 0.0, 0.0], QUARTER_Z),
        ("odom", "base"): ([0.5 * t, 0.2, 0.0], axis_quat((0, 0, 1), 0.5 * t)),
        ("base", "arm"): ([0.0, 0.0, 0.4], axis_quat((1, 0, 0), 0.3 * t)),
        ("arm", "sensor"): ([0.1, 0.0, 0.0], QUARTER_Y),
        ("arm", "ft_sensor"): ([0.1, 0.0, 0.0], [1.0, 0.0, 0.0, 0.0]),
        ("world", "camera"): ([0.0, 0.0, 2.0], axis_quat((0, 0, 1), 0.1 * t)),
        ("island", "rock"): ([0.0, 1.0, 0.0], [1.0, 0.0, 0.0, 0.0]),
    }


STATIC = {("world", "odom"), ("arm", "sensor"), ("arm", "ft_sensor"), ("island", "rock")}
PARENT = {child: parent for parent, child in edges_at(0.0)}


def matrix(translation, q):
    """The 4×4 homogeneous matrix of a pose (independent of the tools' quaternion code)."""
    w, x, y, z = q
    m = np.eye(4)
    m[:3, :3] = [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                 [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                 [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]
    m[:3, 3] = translation
    return m


def pose_in_root(frame, t):
    edges = edges_at(t)
    m = np.eye(4)
    while frame in PARENT:
        m = matrix(*edges[(PARENT[frame], frame)]) @ m
        frame = PARENT[frame]
    return m


def closed_form_tf(fixed, moving, t):
    """[x, y, z, qw, qx, qy, qz]: pose of `moving` in `fixed` at time t, from the closed form."""
    m = np.linalg.inv(pose_in_root(fixed, t)) @ pose_in_root(moving, t)
    r = m[:3, :3]
    w = math.sqrt(max(0.0, 1 + r[0, 0] + r[1, 1] + r[2, 2])) / 2
    if w > 1e-3:
        q = [w, (r[2, 1] - r[1, 2]) / (4 * w), (r[0, 2] - r[2, 0]) / (4 * w),
             (r[1, 0] - r[0, 1]) / (4 * w)]
    else:  # a half turn: not met by the frames used here
        raise AssertionError("closed form near a half turn")
    return [*m[:3, 3], *q]


def stamp(store, ns, kind="ros2"):
    """A header stamp; ROS 1 stores unsigned seconds, which rosbags writes from the signed value
    with the same bits."""
    sec = ns // 10**9
    if kind == "ros1" and sec >= 2**31:
        sec -= 2**32
    return store.types["builtin_interfaces/msg/Time"](sec=sec, nanosec=ns % 10**9)


def header(store, kind, ns, frame):
    cls = store.types["std_msgs/msg/Header"]
    if kind == "ros1":
        return cls(seq=ns // 1_000_000 % 2**32, stamp=stamp(store, ns, kind), frame_id=frame)
    return cls(stamp=stamp(store, ns), frame_id=frame)


def vector3(store, v):
    return store.types["geometry_msgs/msg/Vector3"](x=float(v[0]), y=float(v[1]), z=float(v[2]))


def tf_message(store, kind, ns, pairs):
    types = store.types
    transforms = []
    for (parent, child), (translation, q) in pairs:
        slash = "" if (parent, child) in STATIC else "/"
        transforms.append(types["geometry_msgs/msg/TransformStamped"](
            header=header(store, kind, ns, slash + parent), child_frame_id=slash + child,
            transform=types["geometry_msgs/msg/Transform"](
                translation=vector3(store, translation),
                rotation=types["geometry_msgs/msg/Quaternion"](
                    w=q[0], x=q[1], y=q[2], z=q[3]))))
    return types["tf2_msgs/msg/TFMessage"](transforms=transforms)


def sensor_message(store, kind, msgtype, ns, frame, values, cov=None):
    types = store.types
    h = header(store, kind, ns, frame)
    if msgtype == "geometry_msgs/msg/WrenchStamped":
        return types[msgtype](header=h, wrench=types["geometry_msgs/msg/Wrench"](
            force=vector3(store, values[:3]), torque=vector3(store, values[3:])))
    if msgtype == "geometry_msgs/msg/TwistStamped":
        return types[msgtype](header=h, twist=types["geometry_msgs/msg/Twist"](
            linear=vector3(store, values[:3]), angular=vector3(store, values[3:])))
    if msgtype == "geometry_msgs/msg/PoseStamped":
        return types[msgtype](header=h, pose=types["geometry_msgs/msg/Pose"](
            position=types["geometry_msgs/msg/Point"](x=values[0], y=values[1], z=values[2]),
            orientation=types["geometry_msgs/msg/Quaternion"](
                w=values[3], x=values[4], y=values[5], z=values[6])))
    cov_a, cov_w = cov if cov is not None else (np.zeros(9), np.zeros(9))
    return types[msgtype](
        header=h, orientation=types["geometry_msgs/msg/Quaternion"](w=0.6, x=0.8, y=0.0, z=0.0),
        orientation_covariance=np.full(9, 0.01),
        angular_velocity=vector3(store, values[3:]), angular_velocity_covariance=cov_w,
        linear_acceleration=vector3(store, values[:3]), linear_acceleration_covariance=cov_a)


def write_bag(path: Path, kind, records, compression=None, chunk_bytes=None, in_order=True):
    """A bag of `kind` at `path` holding `records`: (topic, msgtype, bag time ns, message), in
    order of time (or as given, when not `in_order`); a message given as bytes is written as it
    is (e.g. one that does not decode). `compression`: "bz2" or "lz4" (ROS 1 chunks), "zstd"
    (rosbag2, per message); `chunk_bytes`: the size of a ROS 1 chunk."""
    store = typestore(kind)
    if kind == "ros1":
        writer = Writer1(path)
        if chunk_bytes is not None:
            writer.chunk_threshold = chunk_bytes
        if compression is not None:
            writer.set_compression(Writer1.CompressionFormat[compression.upper()])
        serialize = store.serialize_ros1
    else:
        plugin = StoragePlugin.MCAP if kind == "mcap" else StoragePlugin.SQLITE3
        writer = Writer2(path, version=9, storage_plugin=plugin)
        if compression is not None:
            writer.set_compression(CompressionMode.MESSAGE,
                                   CompressionFormat[compression.upper()])
        serialize = store.serialize_cdr
    with writer:
        connections = {}
        for topic, msgtype, ns, msg in sorted(records, key=lambda r: r[2]) if in_order else records:
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=store)
            raw = msg if isinstance(msg, bytes) else serialize(msg, msgtype)
            writer.write(connections[topic], ns, raw)
    return path


def scene_records(kind, msgtype="geometry_msgs/msg/WrenchStamped", topic="/ft",
                  frame="sensor", signals=None, covariances=None, t0_ns=T0_NS):
    """The scene's /tf and /tf_static, a sensor topic at SENSOR_TIMES, and a /chatter topic;
    time t is at t0_ns + t seconds."""
    store = typestore(kind)
    records = []
    edges0 = edges_at(0.0)
    records.append(("/tf_static", "tf2_msgs/msg/TFMessage", t0_ns,
                    tf_message(store, kind, t0_ns, [(e, edges0[e]) for e in sorted(STATIC)])))
    for t in TF_TIMES:
        ns = t0_ns + round(t * 1e9)
        edges = edges_at(t)
        records.append(("/tf", "tf2_msgs/msg/TFMessage", ns, tf_message(
            store, kind, ns, [(e, v) for e, v in edges.items() if e not in STATIC])))
    for k, t in enumerate(SENSOR_TIMES):
        ns = t0_ns + round(t * 1e9)
        values = signals[k] if signals is not None else [1.0 + k, -2.0, 0.5, 0.1, 0.2 * k, -0.3]
        cov = covariances[k] if covariances is not None else None
        # Recorded 1 ms after its stamp, as a driver would.
        records.append((topic, msgtype, ns + 1_000_000,
                        sensor_message(store, kind, msgtype, ns, frame, values, cov)))
        records.append(("/chatter", "std_msgs/msg/String", ns + 2_000_000,
                        store.types["std_msgs/msg/String"](data=f"note {k}")))
    return records


def bag_path(tmp_path, kind, name="in"):
    return tmp_path / (f"{name}.bag" if kind == "ros1" else name)


def read_raw(path):
    """{(topic, msgtype): [(bag time, raw bytes), ...]} of every message of a bag."""
    from rosbags.highlevel import AnyReader

    out = {}
    with AnyReader([Path(path)], default_typestore=get_typestore(Stores.LATEST)) as reader:
        for connection, ns, raw in reader.messages():
            out.setdefault((connection.topic, connection.msgtype), []).append((ns, bytes(raw)))
    return out


def read_messages(path, topic):
    """[(bag time, deserialized message)] of `topic`."""
    from rosbags.highlevel import AnyReader

    with AnyReader([Path(path)], default_typestore=get_typestore(Stores.LATEST)) as reader:
        connections = [c for c in reader.connections if c.topic == topic]
        return [(ns, reader.deserialize(raw, c.msgtype))
                for c, ns, raw in reader.messages(connections=connections)]


def write_doc_bags(folder):
    """The bags of the examples of docs/logs.md: scene.bag (ROS 1: /ft in ft_sensor, /imu in
    base), imu_scene (MCAP: /imu in base) and nostamp.bag (/ft with header.stamp 0)."""
    count = len(SENSOR_TIMES)
    imu = [[0.1, 0.0, 9.81, 0.0, 0.0, 0.5]] * count
    covariances = [(np.diag([0.04, 0.04, 0.09]).ravel(), np.diag([1e-4, 1e-4, 4e-4]).ravel())] * count
    records = scene_records("ros1", frame="ft_sensor")
    records += [r for r in scene_records("ros1", "sensor_msgs/msg/Imu", "/imu", "base", imu,
                                                  covariances) if r[0] == "/imu"]
    write_bag(folder / "scene.bag", "ros1", records)
    write_bag(folder / "imu_scene", "mcap", scene_records(
        "mcap", "sensor_msgs/msg/Imu", "/imu", "base", imu, covariances))
    store = typestore("ros1")
    nostamp = [r for r in scene_records("ros1") if r[0] in ("/tf", "/tf_static")]
    for k, t in enumerate((0.25, 0.5, 0.75)):
        message = sensor_message(store, "ros1", "geometry_msgs/msg/WrenchStamped", 0,
                                          "ft_sensor", [1.0 + k, -2.0, 0.5, 0.1, 0.2 * k, -0.3])
        nostamp.append(("/ft", "geometry_msgs/msg/WrenchStamped",
                        T0_NS + round(t * 1e9), message))
    write_bag(folder / "nostamp.bag", "ros1", nostamp)
