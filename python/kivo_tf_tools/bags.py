"""``kivo-tf run`` on ROS bags: one topic of a ROS 1 bag or a rosbag2 directory (SQLite3 or MCAP
storage) through the block, with the fixed-to-moving-frame transform of each message taken from
the bag's own tf tree (see `kivo_tf_tools.tf_tree` for the lookup rules).

The topic's message type selects the signal (wrench [force, torque], twist [linear, angular],
pose [position, orientation w x y z], IMU [linear_acceleration, angular_velocity]); the transform
of a message is the pose of the moving frame M in the fixed frame F at its ``header.stamp``.
A message without a transform (its stamp outside the recorded samples of an edge of the path) is
not transformed and is counted.

The output is a table (``.csv``, ``.parquet``: ``t`` in seconds, the signal columns, the ``tf_``
columns when a transform is used, ``status``) or a bag of the input's kind holding every
connection and message of the input unchanged, plus the transformed messages on the output topic
(the input topic + `OUTPUT_TOPIC_SUFFIX` by default) with the input's stamps. Rosbags' typestore,
built from the bag's own message definitions, reads and writes the messages.
"""
from __future__ import annotations

import argparse
import array
import os
import shutil
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools.angular_acceleration import add_angular_acceleration_term
from kivo_tf_tools._deps import MissingDependency, require
from kivo_tf_tools.arrays import STATUS_OK, transform_with_block
from kivo_tf_tools.sections import (
    SECTIONS, SIGNAL_COLUMNS, TF_COLUMNS, ConfigError, Section, load_block, load_sections)
from kivo_tf_tools.tf_tree import TfError, TfTree, frame_id

# The output topic is the input topic with this suffix unless --output-topic is given.
OUTPUT_TOPIC_SUFFIX = "/kivo_tf"
TF_TOPICS = {"tf": False, "tf_static": True}  # topic without leading '/' -> static
TF_MESSAGE = "tf2_msgs/msg/TFMessage"
TABLE_SUFFIXES = (".csv", ".parquet")
OUTPUT_BLOCK = 4096  # output messages made per block of rows

# Message type read and written per block class.
MESSAGE_TYPES: dict[str, str] = {
    "KivoTfWrench": "geometry_msgs/msg/WrenchStamped",
    "KivoTfTwist": "geometry_msgs/msg/TwistStamped",
    "KivoTfPose": "geometry_msgs/msg/PoseStamped",
    "KivoTfImu": "sensor_msgs/msg/Imu",
}

# Status names of the table's status column; NoTransform: the stamp lies outside the tf data.
STATUS_NAMES = {0: "Ok", 4: "NotReady", 5: "Error"}
NO_TRANSFORM = "NoTransform"


class BagError(ConfigError):
    """A bag, topic or option that cannot be used; the message is shown to the user."""


def is_bag(path: str) -> bool:
    """True for a ROS 1 bag (a path ending in ``.bag``) or a rosbag2 directory (holding
    ``metadata.yaml``)."""
    return path.endswith(".bag") or os.path.isfile(os.path.join(path, "metadata.yaml"))


def stamp_text(ns: int) -> str:
    """A stamp in ns as seconds, exactly (e.g. "12.000500000")."""
    sign = "-" if ns < 0 else ""
    return f"{sign}{abs(ns) // 1_000_000_000}.{abs(ns) % 1_000_000_000:09d}"


# --- messages ---------------------------------------------------------------------------------

def _vector(v: Any) -> tuple[float, float, float]:
    return (v.x, v.y, v.z)


def _signal_of(block_class: str) -> Callable[[Any], tuple[float, ...]]:
    """The function taking a message to its signal row, in the block's order."""
    if block_class == "KivoTfWrench":
        return lambda m: (*_vector(m.wrench.force), *_vector(m.wrench.torque))
    if block_class == "KivoTfTwist":
        return lambda m: (*_vector(m.twist.linear), *_vector(m.twist.angular))
    if block_class == "KivoTfPose":
        return lambda m: (*_vector(m.pose.position), m.pose.orientation.w,
                          *_vector(m.pose.orientation))
    return lambda m: (*_vector(m.linear_acceleration), *_vector(m.angular_velocity))


def _set_vector(v: Any, x: float, y: float, z: float) -> None:
    v.x, v.y, v.z = x, y, z


def _make_output(block_class: str, msg: Any, row: list[float], frame: str,
                 covariances: tuple[Any, Any] | None) -> Any:
    """`msg`, changed in place into the output message: the signal `row`, ``header.frame_id``
    `frame`, and for an IMU the covariances (acceleration, angular velocity; 9 values each, in
    the output axes) and the orientation marked as not estimated (identity quaternion,
    orientation_covariance[0] = −1). These are all the fields of the four message types
    besides the rest of the header, which the caller sets."""
    msg.header.frame_id = frame
    if block_class == "KivoTfWrench":
        _set_vector(msg.wrench.force, *row[:3])
        _set_vector(msg.wrench.torque, *row[3:])
    elif block_class == "KivoTfTwist":
        _set_vector(msg.twist.linear, *row[:3])
        _set_vector(msg.twist.angular, *row[3:])
    elif block_class == "KivoTfPose":
        _set_vector(msg.pose.position, *row[:3])
        orientation = msg.pose.orientation
        orientation.w, orientation.x, orientation.y, orientation.z = row[3:]
    else:
        np = require("numpy")
        assert covariances is not None
        _set_vector(msg.linear_acceleration, *row[:3])
        _set_vector(msg.angular_velocity, *row[3:])
        msg.orientation.w = 1.0
        _set_vector(msg.orientation, 0.0, 0.0, 0.0)
        not_estimated = np.zeros(9)
        not_estimated[0] = -1.0
        msg.orientation_covariance = not_estimated
        msg.linear_acceleration_covariance, msg.angular_velocity_covariance = covariances
    return msg


# --- the section ------------------------------------------------------------------------------

def _is_identity(values: tuple[float, ...]) -> bool:
    return values in ((1.0, 0.0, 0.0, 0.0), (-1.0, 0.0, 0.0, 0.0))


def _axes_frame(section: Section, key: str) -> str | None:
    """"F" or "M" when the expression axes entry `key` is exactly the fixed or the moving
    frame's axes (identity rotation), else None."""
    entry = section.entries.get(key)
    if entry is None or not _is_identity(entry.values):
        return None
    return "M" if entry.uses_moving_frame else "F"


def uses_moving_frame(section: Section) -> bool:
    """Whether the block of `section` needs the fixed-to-moving-frame transform: an entry in
    the moving frame, in a block that takes the transform (the pose block takes none)."""
    return section.block_class != "KivoTfPose" and any(
        entry is not None and entry.uses_moving_frame for entry in section.entries.values())


def _check_frame_options(section: Section, args: argparse.Namespace) -> None:
    given = [option for option, value in (("--fixed-frame", args.fixed_frame),
                                          ("--moving-frame", args.moving_frame)) if value]
    if uses_moving_frame(section):
        missing = [option for option in ("--fixed-frame", "--moving-frame")
                   if option not in given]
        if missing:
            raise BagError(f"{section.name} places an entry in the moving frame: give "
                           f"{' and '.join(missing)} (the frames of the bag's tf tree whose "
                           "transform the block takes)")
    elif given:
        why = ("the pose block takes no fixed-to-moving-frame transform"
               if section.block_class == "KivoTfPose"
               else "no entry of the section is in the moving frame")
        raise BagError(f"{' and '.join(given)} cannot be used with {section.name}: {why}")


def _output_frame(section: Section, args: argparse.Namespace) -> str | None:
    """The output's header.frame_id: --output-frame-id; else the frame named by the output
    axes when they are exactly F or M and that frame has a name (F: --fixed-frame, or the
    input message's own frame when the input axes are exactly F); None for "the input
    message's frame_id". Raises BagError when no name follows."""
    if args.output_frame_id:
        return str(args.output_frame_id)
    output_axes = _axes_frame(section, "set_output_expression_axes")
    if output_axes == "M" and args.moving_frame:
        return frame_id(args.moving_frame)
    if output_axes == "F":
        if args.fixed_frame:
            return frame_id(args.fixed_frame)
        if _axes_frame(section, "set_input_expression_axes") == "F":
            return None
    raise BagError(f"give --output-frame-id: the output axes of {section.name} are not simply "
                   "the fixed or the moving frame's axes of a named frame, so the output "
                   "messages' header.frame_id cannot be chosen for you")


# --- the bag ----------------------------------------------------------------------------------

def _rosbags() -> Any:
    require("rosbags")
    return require("rosbags.highlevel")


@dataclass
class _Signal:
    """The messages of the input topic, in the bag's order."""

    stamps: Any  # (N,) int64 header stamps, ns
    signal: Any  # (N, 6 or 7) float64
    frames: list[str]  # header.frame_id of each (equal ids share one string)
    sequence: Any  # ROS 1: header.seq of each, (N,) int64; None for rosbag2
    times: Any  # (N,) int64: the bag's timestamp of each, ns
    covariances: Any  # IMU: (N, 18) float64, acceleration then angular velocity; else None
    template: Any  # the last message read, or None: each output message is made from it


def _topics_text(reader: Any) -> str:
    return ", ".join(f"{c.topic} ({c.msgtype})"
                     for c in sorted(reader.connections, key=lambda c: c.topic))


def _topic_connections(reader: Any, topic: str) -> list[Any]:
    wanted = {topic, "/" + topic.lstrip("/")}
    connections = [c for c in reader.connections if c.topic in wanted]
    if not connections:
        raise BagError(f"the bag has no topic '{topic}'; its topics: {_topics_text(reader)}")
    return connections


def _tf_connections(reader: Any) -> list[Any]:
    return [c for c in reader.connections
            if c.topic.lstrip("/") in TF_TOPICS and c.msgtype == TF_MESSAGE]


def _add_transforms(tree: TfTree, message: Any, static: bool) -> None:
    for tf in message.transforms:
        t, q = tf.transform.translation, tf.transform.rotation
        stamp = tf.header.stamp.sec * 1_000_000_000 + tf.header.stamp.nanosec
        tree.add(tf.header.frame_id, tf.child_frame_id, stamp,
                 (t.x, t.y, t.z, q.w, q.x, q.y, q.z), static)


def read_tf_tree(reader: Any) -> TfTree:
    """The tf tree of the open AnyReader `reader` (its /tf and /tf_static)."""
    tree = TfTree()
    connections = _tf_connections(reader)
    if connections:
        for connection, _, raw in reader.messages(connections=connections):
            _add_transforms(tree, reader.deserialize(raw, connection.msgtype),
                            TF_TOPICS[connection.topic.lstrip("/")])
    return tree


def _read(reader: Any, topic: list[Any], block_class: str, with_tf: bool,
          copy: Callable[[Any, int, Any], None] | None) -> tuple[TfTree | None, _Signal]:
    """One pass over the bag: the tf tree (when `with_tf`) and the messages of the connections
    `topic`. With `copy`, every message of the bag is also handed to copy(connection,
    timestamp, raw), in the bag's order; without, only the messages needed are read."""
    np = require("numpy")
    tree = TfTree() if with_tf else None
    tf_static = {c.id: TF_TOPICS[c.topic.lstrip("/")] for c in _tf_connections(reader)}
    if tree is None:
        tf_static = {}
    topic_ids = {c.id for c in topic}
    wanted = None if copy is not None else [
        c for c in reader.connections if c.id in topic_ids or c.id in tf_static]
    signal_of = _signal_of(block_class)
    deserialize = reader.deserialize
    # Compact columns: a long topic costs 8 bytes a number, not a Python object.
    rows, covariances = array.array("d"), array.array("d")
    stamps, times, sequence = array.array("q"), array.array("q"), array.array("q")
    frames: list[str] = []
    frame_ids: dict[str, str] = {}
    imu = block_class == "KivoTfImu"
    msg = None
    for connection, timestamp, raw in reader.messages(connections=wanted):
        if copy is not None:
            copy(connection, timestamp, raw)
        cid = connection.id
        if cid in topic_ids:
            msg = deserialize(raw, connection.msgtype)
            header = msg.header
            times.append(timestamp)
            rows.extend(signal_of(msg))
            stamps.append(header.stamp.sec * 1_000_000_000 + header.stamp.nanosec)
            frames.append(frame_ids.setdefault(header.frame_id, header.frame_id))
            if hasattr(header, "seq"):
                sequence.append(header.seq)
            if imu:
                covariances.extend(msg.linear_acceleration_covariance)
                covariances.extend(msg.angular_velocity_covariance)
        elif cid in tf_static:
            assert tree is not None
            _add_transforms(tree, deserialize(raw, connection.msgtype), tf_static[cid])
    width = len(SIGNAL_COLUMNS[block_class])
    return tree, _Signal(
        np.array(stamps, dtype=np.int64), np.array(rows, dtype=np.float64).reshape(-1, width),
        frames, np.array(sequence, dtype=np.int64) if len(sequence) == len(stamps) else None,
        np.array(times, dtype=np.int64),
        np.array(covariances, dtype=np.float64).reshape(-1, 18) if imu else None, msg)


# --- IMU covariances --------------------------------------------------------------------------

def _matrices(q: Any) -> Any:
    """R(q) as (N, 3, 3) for quaternions q (4, N), applied as stored (no normalisation)."""
    np = require("numpy")
    columns = [np.array(quaternion.rotate(q, axis)) for axis in
               ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))]
    return np.stack(columns, axis=-1).transpose(1, 0, 2)


def _resolved(section: Section, tf: Any | None, count: int) -> tuple[Any, Any, Any, Any]:
    """(q_i, q_o (4, N): the input and output axes in F; p_i, p_o (3, N): the reference points
    in F), resolved with the transforms `tf` (N, 7) as the block resolves them."""
    np = require("numpy")
    t_fm = tf[:, :3].T if tf is not None else np.zeros((3, count))
    q_fm = tf[:, 3:].T if tf is not None else np.tile([[1.0], [0.0], [0.0], [0.0]], count)

    def entry(key: str, neutral: tuple[float, ...]) -> Any:
        found = section.entries.get(key)
        values = found.values if found is not None else neutral
        column = np.tile(np.asarray(values, dtype=np.float64)[:, None], count)
        if found is None or not found.uses_moving_frame:
            return column
        if len(values) == 4:
            return np.array(quaternion.q_multiply(q_fm, column))
        return np.array(quaternion.add(quaternion.rotate(q_fm, column), t_fm))

    identity, origin = (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0)
    return (entry("set_input_expression_axes", identity),
            entry("set_output_expression_axes", identity),
            entry("set_input_reference_point", origin),
            entry("set_output_reference_point", origin))


def imu_covariances(section: Section, tf: Any | None, imu_in: Any, cov_a: Any,
                    cov_w: Any) -> tuple[Any, Any]:
    """The covariances of the IMU block's output (acceleration, angular velocity), each
    (N, 9) row-major in the output axes, from those of the input (N, 9) in the input axes.

    ω_out = A·ω_in with A = R(q_o*)·R(q_i), so Σω_out = A Σω Aᵀ exactly. The acceleration adds
    the centripetal term c(ω_F) = ω_F × (ω_F × r), r = p_o − p_i, whose uncertainty is carried
    to first order: Σa_out = A Σa Aᵀ + B Σω Bᵀ with B = R(q_o*)·J·R(q_i) and
    J = ∂c/∂ω_F = (ω_F·r) I + ω_F rᵀ − 2 r ω_Fᵀ (the two inputs taken as uncorrelated). A
    covariance marked as not estimated (first element −1) is passed on as it is and adds
    nothing; an unknown one (all zeros) stays zero."""
    np = require("numpy")
    count = len(imu_in)
    q_i, q_o, p_i, p_o = _resolved(section, tf, count)
    r_i = _matrices(q_i)
    r_o_t = _matrices(np.array(quaternion.q_conjugate(q_o)))
    a = r_o_t @ r_i
    omega_f = np.einsum("nij,nj->ni", r_i, imu_in[:, 3:])
    r = (p_o - p_i).T
    j = (np.einsum("ni,ni->n", omega_f, r)[:, None, None] * np.eye(3)
         + np.einsum("ni,nj->nij", omega_f, r) - 2.0 * np.einsum("ni,nj->nij", r, omega_f))
    b = r_o_t @ j @ r_i
    sigma_a, sigma_w = cov_a.reshape(-1, 3, 3), cov_w.reshape(-1, 3, 3)
    marked_a, marked_w = cov_a[:, 0] == -1.0, cov_w[:, 0] == -1.0
    out_w = a @ sigma_w @ a.transpose(0, 2, 1)
    lever = b @ sigma_w @ b.transpose(0, 2, 1)
    out_a = a @ sigma_a @ a.transpose(0, 2, 1) + np.where(marked_w[:, None, None], 0.0, lever)
    out_a = np.where(marked_a[:, None], cov_a, out_a.reshape(-1, 9))
    out_w = np.where(marked_w[:, None], cov_w, out_w.reshape(-1, 9))
    return out_a, out_w


# --- output -----------------------------------------------------------------------------------

def _output_kind(input_path: str, output: str) -> str:
    """"table", "ros1" or "ros2". Raises BagError."""
    if output == "-":
        raise BagError("the output of a bag cannot be the standard output: give a .csv or "
                       ".parquet file, or a bag")
    if output.lower().endswith(TABLE_SUFFIXES):
        return "table"
    ros1 = input_path.endswith(".bag")
    if ros1 and output.endswith(".bag"):
        return "ros1"
    if not ros1 and not output.endswith(".bag"):
        return "ros2"
    kind = "a ROS 1 bag (OUT.bag)" if ros1 else "a rosbag2 directory"
    raise BagError(f"the output {output} must be a table (.csv, .parquet) or, like the input, "
                   f"{kind}")


class _Staging:
    """A temporary directory beside `path`: the output is made in it under the output's own
    name and moved onto `path` by `commit`; `discard` removes it all."""

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        try:
            self.directory = tempfile.mkdtemp(prefix=f".{os.path.basename(path)}.",
                                              suffix=".tmp", dir=directory)
        except OSError as error:
            raise BagError(f"cannot write {path}: {error.strerror}") from error
        self.inner = os.path.join(self.directory, os.path.basename(os.path.normpath(path)))

    def commit(self) -> None:
        if os.path.lexists(self.path):
            raise BagError(f"{self.path} appeared while it was written; not replaced")
        os.rename(self.inner, self.path)
        shutil.rmtree(self.directory, ignore_errors=True)

    def discard(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)


def _write_table(path: str, columns: dict[str, Any]) -> None:
    """`columns` (name → 1-D array or list) as CSV or Parquet by the suffix of `path`, with
    pyarrow; CSV without it through the csv module (floats by repr, reading back exactly)."""
    if path.lower().endswith(".parquet"):
        pa = require("pyarrow")
        parquet = require("pyarrow.parquet")
        parquet.write_table(pa.table(columns), path)
        return
    try:
        pa = require("pyarrow")
        pa_csv = require("pyarrow.csv")
    except MissingDependency:
        import csv

        with open(path, "w", encoding="utf-8", newline="") as stream:
            writer = csv.writer(stream, lineterminator="\n")
            writer.writerow(columns)
            lists = [c if isinstance(c, list) else c.tolist() for c in columns.values()]
            writer.writerows(zip(*[[repr(v) if isinstance(v, float) else v for v in column]
                                   for column in lists]))
        return
    pa_csv.write_csv(pa.table(columns), path,
                     pa_csv.WriteOptions(quoting_style="none", quoting_header="none"))


def _ros2_storage(path: str) -> Any:
    enums = require("rosbags.rosbag2.enums")
    names = os.listdir(path)
    mcap = any(name.endswith(".mcap") or name.endswith(".mcap.zstd") for name in names)
    return enums.StoragePlugin.MCAP if mcap else enums.StoragePlugin.SQLITE3


def _open_writer(kind: str, input_path: str, path: str) -> Any:
    if kind == "ros1":
        return require("rosbags.rosbag1").Writer(path)
    return require("rosbags.rosbag2").Writer(path, version=9,
                                              storage_plugin=_ros2_storage(input_path))


def _copy_connection(writer: Any, kind: str, connection: Any, typestore: Any,
                     topic: str | None = None) -> Any:
    """A connection of `writer` like `connection` (on `topic` when given)."""
    topic = topic or connection.topic
    definition = connection.msgdef.data or None
    digest = connection.digest or None
    if definition is None or digest is None:
        definition = digest = None
    if kind == "ros1":
        return writer.add_connection(topic, connection.msgtype, typestore=typestore,
                                     msgdef=definition, md5sum=digest,
                                     callerid=connection.ext.callerid,
                                     latching=connection.ext.latching)
    return writer.add_connection(topic, connection.msgtype, typestore=typestore,
                                 msgdef=definition, rihs01=digest,
                                 serialization_format=connection.ext.serialization_format,
                                 offered_qos_profiles=connection.ext.offered_qos_profiles)


class _BagCopy:
    """A new bag at `path` of the input's kind, which receives every connection of `reader`
    and, through `copy`, every message unchanged; `output` is the connection of the
    transformed messages (type and definition of the input topic's first connection)."""

    def __init__(self, reader: Any, kind: str, input_path: str, path: str, topic: list[Any],
                 output_topic: str) -> None:
        typestore = reader.typestore
        self.writer = _open_writer(kind, input_path, path)
        self.writer.open()
        try:
            self.copies = {c.id: _copy_connection(self.writer, kind, c, typestore)
                           for c in reader.connections}
            self.output = _copy_connection(self.writer, kind, topic[0], typestore,
                                           output_topic)
        except BaseException:
            self.writer.close()
            raise
        self.msgtype = topic[0].msgtype
        self.serialize = typestore.serialize_ros1 if kind == "ros1" else typestore.serialize_cdr
        self._write = self.writer.write

    def copy(self, connection: Any, timestamp: int, raw: Any) -> None:
        self._write(self.copies[connection.id], timestamp, raw)

    def add_transformed(self, times: Any, messages: Iterator[Any]) -> int:
        """Writes each message that is not None at its bag time; returns how many. Readers
        merge a bag's messages by time, so these come after the copy in the file only."""
        written = 0
        for timestamp, message in zip(map(int, times), messages):
            if message is not None:
                self._write(self.output, timestamp, self.serialize(message, self.msgtype))
                written += 1
        return written

    def close(self) -> None:
        self.writer.close()


# --- the run ----------------------------------------------------------------------------------

@dataclass
class _Outcome:
    status: Any  # (N,) uint8 block status of the rows with a transform
    signal_out: Any  # (N, width) float64; rows without a transform hold NaN
    tf: Any | None  # (N, 7) float64 or None; NaN where no transform
    has_tf: Any  # (N,) bool
    library_lines: Counter[str]


def _transform(block: Any, section: Section, data: _Signal, tree: TfTree | None,
               args: argparse.Namespace) -> _Outcome:
    np = require("numpy")
    count = len(data.stamps)
    tf = None
    has_tf = np.ones(count, dtype=bool)
    if tree is not None:
        try:
            found = tree.lookup(args.fixed_frame, args.moving_frame, data.stamps)
        except TfError as error:
            raise BagError(str(error)) from None
        tf, has_tf = found.tf, found.valid
        tf[~has_tf] = np.nan
    signal_out = np.full_like(data.signal, np.nan)
    status = np.full(count, 255, dtype=np.uint8)
    capture = LibraryStderr()
    try:
        with capture:
            out, codes = transform_with_block(
                block, data.signal[has_tf], tf[has_tf] if tf is not None else None)
        lines = Counter(capture.take())
    finally:
        capture.close()
    if args.angular_acceleration == "central":
        # The α × r term after the block (rows with status Ok), in place.
        add_angular_acceleration_term(section, data.stamps[has_tf] / 1e9,
                                      tf[has_tf] if tf is not None else None, out, codes)
    signal_out[has_tf] = out
    status[has_tf] = codes
    return _Outcome(status, signal_out, tf, has_tf, lines)


def _summary(topic: str, data: _Signal, outcome: _Outcome, written: str, seconds: float,
             central: bool) -> list[str]:
    np = require("numpy")
    count = len(data.stamps)
    codes = Counter(STATUS_NAMES.get(int(c), str(int(c)))
                    for c in outcome.status[outcome.has_tf])
    refused = sum(n for name, n in codes.items() if name != "Ok")
    rate = count / seconds if seconds > 0 else float("inf")
    lines = [f"kivo-tf run: {count:,} messages on {topic}, {codes.get('Ok', 0):,} transformed, "
             f"{refused:,} refused by the block"
             + (" (" + ", ".join(f"{k} {n:,}" for k, n in sorted(codes.items()) if k != "Ok")
                + ")" if refused else "")
             + f"; {written}; {seconds:.2f} s, {rate:,.0f} messages/s"]
    missing = np.flatnonzero(~outcome.has_tf)
    if len(missing):
        lines.append(f"kivo-tf run: {len(missing):,} messages without a transform (stamp outside "
                     "the recorded tf samples; not transformed): first at "
                     f"{stamp_text(int(data.stamps[missing[0]]))} s, last at "
                     f"{stamp_text(int(data.stamps[missing[-1]]))} s")
    if central:
        lines.append("kivo-tf run: the angular-acceleration term α × r was added "
                     "(α from central differences of ω in the fixed frame's axes)")
    if outcome.library_lines:
        total = sum(outcome.library_lines.values())
        lines.append(f"kivo-tf run: the library wrote {total:,} lines on stderr, e.g. "
                     f"{outcome.library_lines.most_common(1)[0][0]}")
    return lines


def run_bag(args: argparse.Namespace) -> int:
    """``kivo-tf run`` with a bag as input (see the module's description). Returns the exit
    status; raises ConfigError (BagError) with a message for the user."""
    require("numpy")
    highlevel = _rosbags()
    typesys = require("rosbags.typesys")
    start = time.perf_counter()
    block = load_block(args.config, args.section)
    section = load_sections(args.config, only=args.section)[0]
    block_class = SECTIONS[args.section]
    _check_frame_options(section, args)
    central = getattr(args, "angular_acceleration", "none") == "central"
    if central and block_class != "KivoTfImu":
        raise BagError("--angular-acceleration central applies to the IMU block only "
                       f"(tf_imu_config), not {args.section}")
    args.angular_acceleration = "central" if central else "none"
    if not args.topic:
        raise BagError("give --topic: the topic of the bag to transform")
    kind = _output_kind(args.input, args.output)
    if os.path.lexists(args.output):
        raise BagError(f"{args.output} exists; kivo-tf run does not replace it: remove it or "
                       "choose another output")
    frame = _output_frame(section, args) if kind != "table" else None
    try:
        reader = highlevel.AnyReader(
            [require("pathlib").Path(args.input)],
            default_typestore=typesys.get_typestore(typesys.Stores.LATEST))
        reader.open()
    except (highlevel.AnyReaderError, OSError) as error:
        raise BagError(f"cannot read the bag {args.input}: {error}") from None
    try:
        connections = _topic_connections(reader, args.topic)
        wanted = MESSAGE_TYPES[block_class]
        for connection in connections:
            if connection.msgtype != wanted:
                raise BagError(f"topic {connection.topic} is {connection.msgtype}, but "
                               f"{args.section} ({block_class}) reads {wanted}")
        topic = connections[0].topic
        output_topic = args.output_topic or topic + OUTPUT_TOPIC_SUFFIX
        if kind != "table" and any(c.topic == output_topic for c in reader.connections):
            raise BagError(f"the bag already has a topic {output_topic}: choose another "
                           "--output-topic")
        staging = _Staging(args.output)
        try:
            with_tf = uses_moving_frame(section)
            if kind == "table":
                tree, data = _read(reader, connections, block_class, with_tf, None)
                outcome = _transform(block, section, data, tree, args)
                _write_table(staging.inner, _table(block_class, data, outcome))
                written = f"table {args.output}"
            else:
                bag = _BagCopy(reader, kind, args.input, staging.inner, connections,
                               output_topic)
                try:
                    tree, data = _read(reader, connections, block_class, with_tf, bag.copy)
                    outcome = _transform(block, section, data, tree, args)
                    count = bag.add_transformed(data.times, _output_messages(
                        block_class, section, data, outcome, frame))
                finally:
                    bag.close()
                written = f"{count:,} messages on {output_topic} in {args.output}"
            staging.commit()
        except BaseException:
            staging.discard()
            raise
    finally:
        reader.close()
    for line in _summary(topic, data, outcome, written, time.perf_counter() - start, central):
        print(line, file=sys.stderr)
    return 0


def _table(block_class: str, data: _Signal, outcome: _Outcome) -> dict[str, Any]:
    columns: dict[str, Any] = {"t": data.stamps / 1e9}
    for k, name in enumerate(SIGNAL_COLUMNS[block_class]):
        columns[name] = outcome.signal_out[:, k]
    if outcome.tf is not None:
        for k, name in enumerate(TF_COLUMNS):
            columns[name] = outcome.tf[:, k]
    columns["status"] = [STATUS_NAMES.get(int(c), str(int(c))) if has else NO_TRANSFORM
                         for c, has in zip(outcome.status.tolist(), outcome.has_tf.tolist())]
    return columns


def _output_messages(block_class: str, section: Section, data: _Signal, outcome: _Outcome,
                     frame: str | None) -> Iterator[Any]:
    """The output message of each input message, in order: None where the message is not
    transformed (no transform, or refused by the block). Every output message is the one
    template message with the header of its input message (stamp, seq, frame id) and the
    output values, changed in place: serialize it before taking the next."""
    np = require("numpy")
    ok = outcome.has_tf & (outcome.status == STATUS_OK)
    covariances: tuple[Any, Any] | None = None
    if data.covariances is not None and ok.any():
        rows = np.flatnonzero(ok)
        tf = outcome.tf[rows] if outcome.tf is not None else None
        out_a, out_w = imu_covariances(section, tf, data.signal[rows],
                                       data.covariances[rows, :9], data.covariances[rows, 9:])
        full_a = np.zeros((len(data.stamps), 9))
        full_w = np.zeros((len(data.stamps), 9))
        full_a[rows], full_w[rows] = out_a, out_w
        covariances = (full_a, full_w)
    template = data.template
    header: Any = template.header if template is not None else None
    seconds_all, nanoseconds_all = np.divmod(data.stamps, 1_000_000_000)
    # Python numbers for a block of rows at a time (held as lists only block by block).
    for first in range(0, len(data.stamps), OUTPUT_BLOCK):
        last = first + OUTPUT_BLOCK
        signal_rows = outcome.signal_out[first:last].tolist()
        seconds = seconds_all[first:last].tolist()
        nanoseconds = nanoseconds_all[first:last].tolist()
        sequence = data.sequence[first:last].tolist() if data.sequence is not None else None
        for j, transformed in enumerate(ok[first:last].tolist()):
            if not transformed:
                yield None
                continue
            k = first + j
            header.stamp.sec, header.stamp.nanosec = seconds[j], nanoseconds[j]
            if sequence is not None:
                header.seq = sequence[j]
            cov = (covariances[0][k], covariances[1][k]) if covariances is not None else None
            yield _make_output(block_class, template, signal_rows[j],
                               frame if frame is not None else data.frames[k], cov)
