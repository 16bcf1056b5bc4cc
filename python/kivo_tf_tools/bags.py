"""``kivo-tf run`` on ROS bags: one topic of a ROS 1 bag or a rosbag2 directory (SQLite3 or MCAP
storage) through the block, with the fixed-to-moving-frame transform of each message taken from
the bag's own tf tree (see `kivo_tf_tools.tf_tree` for the lookup rules).

The topic's message type selects the signal (wrench [force, torque], twist [linear, angular],
pose [position, orientation w x y z], IMU [linear_acceleration, angular_velocity]); the transform
of a message is the pose of the moving frame M in the fixed frame F at its ``header.stamp``
(integer nanoseconds). A message without a transform (its stamp outside the recorded samples of
an edge of the path) is not transformed and is counted.

Each message's ``header.frame_id`` is checked against the frame the section reads its signal in
(see `kivo_tf_tools._frame_check`): M or F when the section's input entries are that frame's
own, a frame mounted on M (or F) by ``/tf_static`` edges equal to the entries' offset otherwise.

The bag is read twice when a transform is needed: first its ``/tf`` and ``/tf_static``, kept as
compact arrays, then the topic (and, for a bag output, every message), streamed through the
block in batches of `BATCH` messages, so that memory follows the batch and the tf samples, not
the recording.

The output is a table (``.csv``, ``.parquet``: ``t`` in seconds, the signal columns, the ``tf_``
columns when a transform is used, ``status``) or a bag of the input's kind holding every
connection and message of the input unchanged, plus the transformed messages on the output topic
(the input topic + `OUTPUT_TOPIC_SUFFIX` by default) with the input's stamps. Every run keeps an
account (`Account`): messages read = transformed + refused by the block + without a transform +
damaged, compared with what the bag declares and with what the finished output holds.
"""
from __future__ import annotations

import argparse
import array
import os
import re
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._bag_files import (
    Bag, BagDamage, BagError, count_messages, is_bag, is_ros1, ros1_seconds, shortfalls,
    stamp_text, topics_text)
from kivo_tf_tools._bag_messages import MESSAGE_TYPES, imu_covariances, signal_of
from kivo_tf_tools._bag_outputs import (
    NO_TRANSFORM_CODE, STATUS_NAMES, BagSink, Rows, Staging, TableSink)
from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._frame_check import FrameCheck, frame_rule
from kivo_tf_tools._output import stderr_line
from kivo_tf_tools.angular_acceleration import add_term_to_rows
from kivo_tf_tools.arrays import STATUS_OK, transform_with_block
from kivo_tf_tools.sections import (
    SECTIONS, SIGNAL_COLUMNS, Section, load_block, load_sections)
from kivo_tf_tools.tf_tree import TfError, TfTree, frame_id

__all__ = ["BagError", "is_bag", "stamp_text", "imu_covariances", "read_tf_tree", "run_bag",
           "add_bag_options", "BAG_OPTIONS", "MESSAGE_TYPES"]

# The output topic is the input topic with this suffix unless --output-topic is given.
OUTPUT_TOPIC_SUFFIX = "/kivo_tf"
TF_TOPICS = {"tf": False, "tf_static": True}  # topic without leading '/' -> static
TF_MESSAGE = "tf2_msgs/msg/TFMessage"
TABLE_SUFFIXES = (".csv", ".parquet")
BATCH = 4096  # messages of the topic decoded, transformed and written at a time



# A topic name: tokens of letters, digits and underscores, not starting with a digit, joined by
# single slashes, with an optional leading slash.
TOPIC_NAME = re.compile(r"/?[A-Za-z_][A-Za-z0-9_]*(?:/[A-Za-z_][A-Za-z0-9_]*)*")

# Options that only a ROS bag input takes (argparse destinations; None when not given).
BAG_OPTIONS = ("topic", "fixed_frame", "moving_frame", "output_topic", "output_frame_id",
               "skip_damaged", "ignore_frame_id", "prefer_tf")


def add_bag_options(parser: argparse.ArgumentParser) -> None:
    """The options of `kivo-tf run` that only a ROS bag input takes."""
    bag = parser.add_argument_group("ROS bag input")
    bag.add_argument("--topic", default=None, help="the topic to transform")
    bag.add_argument("--fixed-frame", default=None, metavar="F", help="the fixed frame F")
    bag.add_argument("--moving-frame", default=None, metavar="M", help="the moving frame M")
    bag.add_argument("--output-topic", default=None, metavar="T",
                     help="the topic of the transformed messages")
    bag.add_argument("--output-frame-id", default=None, metavar="ID",
                     help="header.frame_id of the transformed messages")
    bag.add_argument("--skip-damaged", action="store_true", default=None,
                     help="go on past messages that cannot be read or decoded (a damaged bag) "
                          "and count them, instead of stopping")
    bag.add_argument("--ignore-frame-id", action="store_true", default=None,
                     help="do not check each message's header.frame_id against the frame the "
                          "section reads its signal in")
    bag.add_argument("--prefer-tf", choices=("static", "dynamic"), default=None,
                     help="for an edge recorded on both /tf and /tf_static, use only its "
                          "/tf_static (static) or its /tf (dynamic) samples")


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


# --- reading ----------------------------------------------------------------------------------

def _topic_connections(bag: Bag, topic: str) -> list[Any]:
    wanted = {topic, "/" + topic.lstrip("/")}
    connections = [c for c in bag.connections if c.topic in wanted]
    if not connections:
        raise BagError(f"the bag has no topic '{escaped(topic)}'; its topics: "
                       f"{topics_text(bag.connections)}")
    return connections


def _tf_connections(bag: Bag) -> list[Any]:
    return [c for c in bag.connections
            if c.topic.lstrip("/") in TF_TOPICS and c.msgtype == TF_MESSAGE]


def _stamp_of(header_stamp: Any, ros1: bool) -> int:
    sec = int(header_stamp.sec)
    return (ros1_seconds(sec) if ros1 else sec) * 1_000_000_000 + int(header_stamp.nanosec)


def _add_transforms(tree: TfTree, message: Any, static: bool, ros1: bool) -> None:
    for tf in message.transforms:
        t, q = tf.transform.translation, tf.transform.rotation
        tree.add(tf.header.frame_id, tf.child_frame_id, _stamp_of(tf.header.stamp, ros1),
                 (t.x, t.y, t.z, q.w, q.x, q.y, q.z), static)


@dataclass
class Damage:
    """What could not be read: messages that did not decode (by topic) and the note of a
    container that failed part way."""

    undecoded: Counter[str] = field(default_factory=Counter)
    first: dict[str, str] = field(default_factory=dict)  # topic -> first failure, for the summary
    stopped: str | None = None  # the container's failure, when reading stopped early

    def decode_failed(self, topic: str, index: int, timestamp: int, error: BaseException,
                      skip: bool) -> None:
        text = str(error).strip().splitlines()
        cause = escaped(text[0]) if text else type(error).__name__
        where = (f"message {index:,} of {escaped(topic)} (bag time {stamp_text(timestamp)} s) "
                 f"does not decode: {cause}")
        if not skip:
            raise BagError(f"{where}; give --skip-damaged to count such messages and go on")
        self.undecoded[topic] += 1
        self.first.setdefault(topic, where)

    def container_failed(self, error: BagDamage, skip: bool) -> None:
        if not skip:
            raise BagError(f"{error}; give --skip-damaged to keep what was read before it")
        self.stopped = str(error)


def read_tf_tree(bag: Bag, damage: Damage, skip: bool) -> TfTree:
    """The tf tree of `bag` (its /tf and /tf_static), with every TFMessage counted."""
    tree = TfTree()
    connections = _tf_connections(bag)
    if not connections:
        return tree
    static = {c.id: TF_TOPICS[c.topic.lstrip("/")] for c in connections}
    index: Counter[str] = Counter()
    try:
        for connection, timestamp, raw in bag.messages(connections):
            index[connection.topic] += 1
            try:
                message = bag.deserialize(raw, connection.msgtype)
            except Exception as error:
                damage.decode_failed(connection.topic, index[connection.topic], timestamp,
                                     error, skip)
                continue
            _add_transforms(tree, message, static[connection.id], bag.ros1)
    except BagDamage as error:
        damage.container_failed(error, skip)
    return tree


class _Collector:
    """The topic's messages of one batch, decoded into compact columns."""

    def __init__(self, block_class: str, ros1: bool) -> None:
        self.width = len(SIGNAL_COLUMNS[block_class])
        self.imu = block_class == "KivoTfImu"
        self.ros1 = ros1
        self.signal_of = signal_of(block_class)
        self._reset()

    def _reset(self) -> None:
        self.stamps, self.times, self.sequence = array.array("q"), array.array("q"), array.array("q")
        self.signal, self.covariances = array.array("d"), array.array("d")
        self.frames: list[str] = []

    def __len__(self) -> int:
        return len(self.stamps)

    def add(self, msg: Any, timestamp: int) -> tuple[int, str]:
        """Adds a decoded message; returns its (header stamp, frame id)."""
        header = msg.header
        stamp = _stamp_of(header.stamp, self.ros1)
        values = self.signal_of(msg)
        if self.imu:
            self.covariances.extend(msg.linear_acceleration_covariance)
            self.covariances.extend(msg.angular_velocity_covariance)
        self.signal.extend(values)
        self.stamps.append(stamp)
        self.times.append(timestamp)
        if hasattr(header, "seq"):
            self.sequence.append(header.seq)
        self.frames.append(header.frame_id)
        return stamp, header.frame_id

    def take(self) -> Rows:
        np = require("numpy")
        count = len(self.stamps)
        rows = Rows(
            np.array(self.stamps, dtype=np.int64), np.array(self.times, dtype=np.int64),
            np.array(self.sequence, dtype=np.int64) if len(self.sequence) == count else None,
            self.frames, np.array(self.signal, dtype=np.float64).reshape(count, self.width),
            np.array(self.covariances, dtype=np.float64).reshape(count, 18) if self.imu else None,
            None, None, None, None)
        self._reset()
        return rows


# --- the account ------------------------------------------------------------------------------

@dataclass
class Account:
    """What happened to every message of the input topic."""

    read: int = 0  # messages of the topic handed out by the bag
    undecoded: int = 0  # of those, the ones that did not decode
    transformed: int = 0  # status Ok
    refused: Counter[str] = field(default_factory=Counter)  # by the block, by return code
    no_transform: int = 0
    first_missing: int | None = None  # stamps of the first and last message without transform
    last_missing: int | None = None
    rows_written: int = 0  # table rows, or transformed messages written to a bag
    added: int = 0  # rows that got the α × r term
    library_lines: Counter[str] = field(default_factory=Counter)

    @property
    def decoded(self) -> int:
        return self.read - self.undecoded

    def balances(self) -> bool:
        return self.decoded == (self.transformed + sum(self.refused.values())
                                + self.no_transform)

    def count(self, rows: Rows) -> None:
        np = require("numpy")
        codes = Counter(rows.status[rows.has_tf].tolist())
        for code, n in codes.items():
            if code == STATUS_OK:
                self.transformed += n
            else:
                self.refused[STATUS_NAMES.get(code, str(code))] += n
        missing = np.flatnonzero(~rows.has_tf)
        self.no_transform += len(missing)
        if len(missing):
            first, last = int(rows.stamps[missing[0]]), int(rows.stamps[missing[-1]])
            self.first_missing = first if self.first_missing is None else min(
                self.first_missing, first)
            self.last_missing = last if self.last_missing is None else max(
                self.last_missing, last)


# --- outputs ----------------------------------------------------------------------------------

def _output_kind(input_path: str, output: str) -> str:
    """"table", "ros1" or "ros2". Raises BagError."""
    if output == "-":
        raise BagError("the output of a bag cannot be the standard output: give a .csv or "
                       ".parquet file, or a bag")
    if output.lower().endswith(TABLE_SUFFIXES):
        return "table"
    ros1 = is_ros1(input_path)
    if ros1 and output.endswith(".bag"):
        return "ros1"
    if not ros1 and not output.endswith(".bag"):
        return "ros2"
    kind = "a ROS 1 bag (OUT.bag)" if ros1 else "a rosbag2 directory"
    raise BagError(f"the output {escaped(output)} must be a table (.csv, .parquet) or, like the "
                   f"input, {kind}")


def check_output_topic(topic: str, bag: Bag) -> None:
    """Refuses an output topic that is not a valid topic name or that names a topic of the
    input, with or without its leading slash."""
    if not TOPIC_NAME.fullmatch(topic) or "__" in topic:
        raise BagError(f"--output-topic '{escaped(topic)}' is not a valid topic name (letters, "
                       "digits and underscores in tokens that do not start with a digit, "
                       "joined by '/', e.g. /ft/kivo_tf)")
    plain = topic.lstrip("/")
    for connection in bag.connections:
        if connection.topic.lstrip("/") == plain:
            raise BagError(f"the bag already has a topic {escaped(connection.topic)}: choose "
                           "another --output-topic")


# --- the run ----------------------------------------------------------------------------------

class _Pipeline:
    """Batches of the topic through the tf lookup, the block, the α × r term and the sink, with
    the account kept on the way."""

    def __init__(self, block: Any, section: Section, tree: TfTree | None,
                 args: argparse.Namespace, sink: Any, account: Account) -> None:
        self.block = block
        self.section = section
        self.tree = tree
        self.fixed, self.moving = args.fixed_frame, args.moving_frame
        self.central = args.angular_acceleration == "central"
        self.sink = sink
        self.account = account
        self.capture = LibraryStderr()
        self.pending: Rows | None = None  # central: the last row, waiting for its successor
        self.context: Rows | None = None  # central: the row before it, a neighbour only

    def close(self) -> None:
        self.capture.close()

    def batch(self, rows: Rows) -> None:
        np = require("numpy")
        count = len(rows)
        rows.has_tf = np.ones(count, dtype=bool)
        if self.tree is not None:
            try:
                found = self.tree.lookup(self.fixed, self.moving, rows.stamps)
            except TfError as error:
                raise BagError(str(error)) from None
            rows.tf, rows.has_tf = found.tf, found.valid.copy()
            rows.tf[~rows.has_tf] = np.nan
        rows.out = np.full_like(rows.signal, np.nan)
        rows.status = np.full(count, NO_TRANSFORM_CODE, dtype=np.uint8)
        if rows.has_tf.any():
            with self.capture:
                out, codes = transform_with_block(
                    self.block, rows.signal[rows.has_tf],
                    rows.tf[rows.has_tf] if rows.tf is not None else None)
            self.account.library_lines.update(self.capture.take())
            rows.out[rows.has_tf] = out
            rows.status[rows.has_tf] = codes
        if self.central:
            rows = self._add_term(rows)
        self._emit(rows)

    def _add_term(self, rows: Rows) -> Rows:
        """The α × r term for every row whose successor is known; the last row waits. A message
        without a transform is a refused row: the differences do not cross it."""
        rows = Rows.joined(self.pending, rows)
        work = Rows.joined(self.context, rows)
        lead = len(work) - len(rows)
        self.account.added += self._term(work, slice(lead, len(work) - 1))
        if len(rows) >= 2:
            self.context = rows.part(len(rows) - 2, len(rows) - 1)
        self.pending = rows.part(len(rows) - 1, len(rows))
        return rows.part(0, len(rows) - 1)

    def _term(self, work: Rows, changed: slice) -> int:
        np = require("numpy")
        tf = None
        if work.tf is not None:
            tf = np.where(work.has_tf[:, None], work.tf, [0, 0, 0, 1.0, 0, 0, 0])
        return add_term_to_rows(self.section, work.stamps / 1e9, tf, work.out, work.status,
                                changed)

    def finish(self) -> None:
        if self.pending is not None:
            work = Rows.joined(self.context, self.pending)
            self.account.added += self._term(work, slice(len(work) - 1, None))
            self._emit(self.pending)
            self.pending = None

    def _emit(self, rows: Rows) -> None:
        if not len(rows):
            return
        self.account.count(rows)
        self.sink.write(rows)


def _load(args: argparse.Namespace) -> tuple[Any, Section]:
    block = load_block(args.config, args.section)
    section = load_sections(args.config, only=args.section)[0]
    return block, section


def _check_tree(tree: TfTree, args: argparse.Namespace, damage: Damage) -> None:
    """Conflicting edges resolved by --prefer-tf, and a path between F and M. Raises BagError,
    which names the damage that --skip-damaged skipped when there was any."""
    conflicts = tree.conflicts()
    if conflicts:
        if args.prefer_tf is None:
            parent, child = conflicts[0]
            more = f" (and {len(conflicts) - 1} more)" if len(conflicts) > 1 else ""
            raise BagError(f"the edge '{escaped(parent)}' → '{escaped(child)}'{more} is on both "
                           "/tf and /tf_static: give --prefer-tf static or --prefer-tf dynamic "
                           "to say which samples to use")
        tree.use_only(args.prefer_tf)
    try:
        tree.path(args.fixed_frame, args.moving_frame)
    except TfError as error:
        first, _, rest = str(error).partition("\n")
        if damage.stopped:
            first += f" (--skip-damaged: reading stopped early: {damage.stopped})"
        raise BagError(first + ("\n" + rest if rest else "")) from None


def run_bag(args: argparse.Namespace) -> int:
    """``kivo-tf run`` with a bag as input (see the module's description). Returns the exit
    status; raises ConfigError (BagError) with a message for the user."""
    require("numpy")
    require("rosbags")
    start = time.perf_counter()
    block, section = _load(args)
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
        raise BagError(f"{escaped(args.output)} exists; kivo-tf run does not replace it: remove "
                       "it or choose another output")
    frame = _output_frame(section, args) if kind != "table" else None
    skip = bool(args.skip_damaged)
    bag = Bag(args.input)
    try:
        connections = _topic_connections(bag, args.topic)
        wanted = MESSAGE_TYPES[block_class]
        for connection in connections:
            if connection.msgtype != wanted:
                raise BagError(f"topic {escaped(connection.topic)} is "
                               f"{escaped(connection.msgtype)}, but {args.section} "
                               f"({block_class}) reads {wanted}")
        topic = connections[0].topic
        output_topic = args.output_topic or topic + OUTPUT_TOPIC_SUFFIX
        if kind != "table":
            check_output_topic(output_topic, bag)
        damage = Damage()
        tree = None
        if uses_moving_frame(section):
            tree = read_tf_tree(bag, damage, skip)
            _check_tree(tree, args, damage)
        frames = FrameCheck(frame_rule(section, args), tree, topic, args.section)
        staging = Staging(args.output)
        sink: Any = None
        try:
            if kind == "table":
                sink = TableSink(staging.inner, args.output, block_class, tree is not None)
            else:
                sink = BagSink(bag, staging.inner, args.output, connections, output_topic,
                                block_class, section, frame)
            account = Account()
            pipeline = _Pipeline(block, section, tree, args, sink, account)
            try:
                _stream(bag, connections, sink if kind != "table" else None, pipeline,
                        frames, damage, skip, account)
            finally:
                pipeline.close()
            sink.close()
            read_connections = (bag.connections if kind != "table"
                                else connections + (_tf_connections(bag) if tree else []))
            proof = _prove(bag, kind, sink, staging.inner, connections, read_connections,
                           output_topic, account, skip, args)
            staging.commit()
        except BaseException:
            if sink is not None:
                sink.abandon()
            staging.discard()
            raise
    finally:
        bag.close()
    for line in _summary(topic, account, damage, tree, frames, proof, kind, args,
                         output_topic, time.perf_counter() - start):
        stderr_line(line)
    return 0


def _stream(bag: Bag, connections: list[Any], copy: BagSink | None, pipeline: _Pipeline,
            frames: FrameCheck, damage: Damage, skip: bool, account: Account) -> None:
    """The one pass over the bag that reads the topic (and copies every message for a bag
    output)."""
    topic_ids = {c.id for c in connections}
    collector = _Collector(pipeline.section.block_class, bag.ros1)
    deserialize = bag.deserialize
    msgtype = connections[0].msgtype
    index = 0
    try:
        for connection, timestamp, raw in bag.messages(None if copy is not None
                                                        else connections):
            if copy is not None:
                copy.copy(connection, timestamp, raw)
            if connection.id not in topic_ids:
                continue
            index += 1
            account.read += 1
            try:
                msg = deserialize(raw, msgtype)
                header = msg.header
                stamp = _stamp_of(header.stamp, bag.ros1)
                frame = header.frame_id
            except Exception as error:
                account.undecoded += 1
                damage.decode_failed(connection.topic, index, timestamp, error, skip)
                continue
            frames.check(index, stamp, frame)
            try:
                collector.add(msg, timestamp)
            except Exception as error:  # a field of the wrong kind: not a message of its type
                account.undecoded += 1
                damage.decode_failed(connection.topic, index, timestamp, error, skip)
                continue
            if copy is not None and copy.template is None:
                copy.template = msg
            if len(collector) >= BATCH:
                pipeline.batch(collector.take())
    except BagDamage as error:
        damage.container_failed(error, skip)
    if len(collector):
        pipeline.batch(collector.take())
    pipeline.finish()


@dataclass
class Proof:
    """What the finished output holds, read back from it."""

    text: str  # for the summary
    declared: list[tuple[str, int, int]]  # topics whose messages read differ from the bag's


def _prove(bag: Bag, kind: str, sink: Any, path: str, connections: list[Any],
           read_connections: list[Any], output_topic: str, account: Account, skip: bool,
           args: argparse.Namespace) -> Proof:
    """Checks the account against the bag's declared counts and the finished output. Raises
    BagError for any difference that --skip-damaged does not allow."""
    topic = connections[0].topic
    if not account.balances():  # a fault of the tools: never an exit 0
        raise RuntimeError(f"the account of {escaped(topic)} does not balance: {account.read:,} "
                           f"read, {account.undecoded:,} damaged, {account.transformed:,} "
                           f"transformed, {sum(account.refused.values()):,} refused, "
                           f"{account.no_transform:,} without a transform")
    differences = shortfalls(bag, read_connections)
    if differences and not skip:
        name, read, declared = differences[0]
        raise BagError(f"{escaped(name)}: {read:,} messages read where the bag declares "
                       f"{declared:,} (a damaged bag); give --skip-damaged to go on with what "
                       "can be read")
    if kind == "table":
        expected = account.decoded
        if sink.rows != expected:
            raise BagError(f"{escaped(args.output)}: {sink.rows:,} rows written where "
                           f"{expected:,} messages were read and decoded")
        held = sink.held()
        if held is not None and held != expected:
            raise BagError(f"{escaped(args.output)}: the file holds {held:,} rows where "
                           f"{expected:,} were written")
        return Proof(f"{expected:,} rows in {escaped(args.output)}"
                     + (", read back" if held is not None else ""), differences)
    if sink.rows != account.transformed:
        raise BagError(f"{escaped(args.output)}: {sink.rows:,} messages written on "
                       f"{escaped(output_topic)} where {account.transformed:,} were transformed")
    held = count_messages(path)
    copied: Counter[str] = Counter()
    for connection in bag.connections:
        copied[connection.topic] += bag.read[connection.id]
    expected_counts = Counter(copied)
    expected_counts[output_topic] += account.transformed
    expected_counts = Counter({k: v for k, v in expected_counts.items() if v})
    held = Counter({k: v for k, v in held.items() if v})
    if held != expected_counts:
        wrong = sorted(set(held) | set(expected_counts),
                       key=lambda name: (held[name] == expected_counts[name], name))[0]
        raise BagError(f"{escaped(args.output)} holds {held[wrong]:,} messages on "
                       f"{escaped(wrong)} where {expected_counts[wrong]:,} were written")
    total = sum(copied.values())
    return Proof(f"{account.transformed:,} messages on {escaped(output_topic)} and "
                 f"{total:,} copied, read back from {escaped(args.output)}'s index", differences)


def _summary(topic: str, account: Account, damage: Damage, tree: TfTree | None,
             frames: FrameCheck, proof: Proof, kind: str, args: argparse.Namespace,
             output_topic: str, seconds: float) -> list[str]:
    refused = sum(account.refused.values())
    rate = account.read / seconds if seconds > 0 else float("inf")
    if kind == "table":
        written = f"table {escaped(args.output)}"
    else:
        written = (f"{account.transformed:,} messages on {escaped(output_topic)} in "
                   f"{escaped(args.output)}")
    lines = [f"kivo-tf run: {account.read:,} messages on {escaped(topic)}, "
             f"{account.transformed:,} transformed, {refused:,} refused by the block"
             + (" (" + ", ".join(f"{k} {n:,}" for k, n in sorted(account.refused.items()))
                + ")" if refused else "")
             + f"; {written}; {seconds:.2f} s, {rate:,.0f} messages/s"]
    if account.no_transform:
        assert account.first_missing is not None and account.last_missing is not None
        lines.append(f"kivo-tf run: {account.no_transform:,} messages without a transform "
                     "(stamp outside the recorded tf samples; not transformed): first at "
                     f"{stamp_text(account.first_missing)} s, last at "
                     f"{stamp_text(account.last_missing)} s")
    parts = [f"{account.transformed:,} transformed"]
    if refused:
        parts.append(f"{refused:,} refused by the block")
    if account.no_transform:
        parts.append(f"{account.no_transform:,} without a transform")
    if account.undecoded:
        parts.append(f"{account.undecoded:,} damaged")
    lines.append(f"kivo-tf run: account: {account.read:,} read = {' + '.join(parts)}; "
                 f"written: {proof.text}")
    for name, read, declared in proof.declared:
        lines.append(f"kivo-tf run: --skip-damaged: {escaped(name)}: {read:,} messages read of "
                     f"{declared:,} the bag declares ({abs(declared - read):,} "
                     f"{'skipped' if read < declared else 'more than declared'})")
    for name, first in damage.first.items():
        lines.append(f"kivo-tf run: --skip-damaged: {damage.undecoded[name]:,} messages of "
                     f"{escaped(name)} skipped; the first: {first}")
    if damage.stopped:
        lines.append(f"kivo-tf run: --skip-damaged: reading stopped early: {damage.stopped}")
    checked = frames.summary()
    if checked:
        lines.append(f"kivo-tf run: frame check: {checked}")
    if tree is not None:
        dropped = tree.dropped()
        if dropped:
            total = sum(d.non_finite + d.not_unit for d in dropped)
            shown = "; ".join(
                f"'{escaped(d.parent)}' → '{escaped(d.child)}' {d.non_finite + d.not_unit:,} "
                f"from {stamp_text(d.first_stamp)} s" for d in dropped[:3])
            more = f"; and {len(dropped) - 3} more edges" if len(dropped) > 3 else ""
            lines.append(f"kivo-tf run: {total:,} tf samples dropped (a value that is not "
                         "finite, or a quaternion whose squared norm is off 1 by more than "
                         f"0.01): {shown}{more}")
    if args.angular_acceleration == "central":
        lines.append(f"kivo-tf run: the angular-acceleration term α × r was added to "
                     f"{account.added:,} of {account.transformed:,} transformed messages "
                     "(α from central differences of ω in the fixed frame's axes)")
    if account.library_lines:
        total_lines = sum(account.library_lines.values())
        lines.append(f"kivo-tf run: the library wrote {total_lines:,} lines on stderr, e.g. "
                     f"{escaped(account.library_lines.most_common(1)[0][0])}")
    return lines


def tf_tree_of(path: str, skip: bool) -> tuple[TfTree, list[str]]:
    """The tf tree recorded in the bag at `path`, and the notes on what --skip-damaged skipped.
    Raises BagError for a bag that cannot be read (or is damaged, unless `skip`)."""
    bag = Bag(path)
    try:
        damage = Damage()
        tree = read_tf_tree(bag, damage, skip)
        differences = shortfalls(bag, _tf_connections(bag))
    finally:
        bag.close()
    if differences and not skip:
        name, read, declared = differences[0]
        raise BagError(f"{escaped(name)}: {read:,} messages read where the bag declares "
                       f"{declared:,} (a damaged bag); give --skip-damaged to go on with what "
                       "can be read")
    notes = [f"--skip-damaged: {escaped(name)}: {read:,} messages read of {declared:,} the bag "
             "declares" for name, read, declared in differences]
    notes += [f"--skip-damaged: {damage.undecoded[name]:,} messages of {escaped(name)} skipped; "
              f"the first: {first}" for name, first in damage.first.items()]
    if damage.stopped:
        notes.append(f"--skip-damaged: reading stopped early: {damage.stopped}")
    return tree, notes
