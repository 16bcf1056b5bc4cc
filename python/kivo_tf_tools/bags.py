"""``kivo-tf run`` on ROS bags: topics of a ROS 1 bag, a rosbag2 directory (SQLite3 or MCAP
storage) or a lone MCAP file through their blocks, with the fixed-to-moving-frame transform of
each message taken from the bag's own tf tree (see `kivo_tf_tools.tf_tree` for the lookup rules).

A topic's message type selects the signal (wrench [force, torque], twist [linear, angular],
pose [position, orientation w x y z], IMU [linear_acceleration, angular_velocity]); the transform
of a message is the pose of the moving frame M in the fixed frame F at its stamp (integer
nanoseconds: ``header.stamp``, or the bag's receive time with ``--stamp receive``). A message
without a transform (its stamp outside the recorded samples of an edge of the path) is not
transformed and is counted.

Several topics go through in one run (`Job`: each topic with its section, frames and output
topic): the bag's ``/tf`` and ``/tf_static`` are read first and kept as compact arrays, then
every topic is streamed through its block in batches of `BATCH` messages in one pass over the
bag, so that memory follows the batch and the tf samples, not the recording.

Each message's ``header.frame_id`` is checked against the frame the section reads its signal in
(see `kivo_tf_tools._frame_check`): M or F when the section's input entries are that frame's
own, a frame mounted on M (or F) by ``/tf_static`` edges equal to the entries' offset otherwise.

The output is a table per topic (``.csv``, ``.parquet``: ``t`` in seconds, ``stamp_ns`` in
integer nanoseconds, the signal columns, the ``tf_`` columns when a transform is used,
``status``) or a bag of the input's kind holding every connection and message of the input
unchanged, plus the transformed messages of each topic on its output topic (the input topic +
`OUTPUT_TOPIC_SUFFIX` by default) with the input's stamps. Every run keeps an account per topic
(`Account`): messages read = transformed + refused by the block + without a transform + outside
the time window + damaged, compared with what the bag declares and with what the finished output
holds.
"""
from __future__ import annotations

import argparse
import os
import re
import time
from collections import Counter
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any

from kivo_tf_tools._bag_files import (
    Bag, BagDamage, BagError, bag_kind, count_messages, is_bag, ros1_seconds, shortfalls,
    stamp_text, topics_text)
from kivo_tf_tools._bag_messages import MESSAGE_TYPES, imu_covariances, signal_of
from kivo_tf_tools._bag_outputs import (
    NO_TRANSFORM_CODE, STATUS_NAMES, BagSink, Output, Rows, Staging, TableSink)
from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools._decode import (
    Decoded, Undecodable, decoder, frame_names, many_decoder, tf_decoder)
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._frame_check import FrameCheck, frame_rule
from kivo_tf_tools._output import stderr_line
from kivo_tf_tools._progress import Progress
from kivo_tf_tools.angular_acceleration import TermAcrossBatches, add_term_to_rows
from kivo_tf_tools.arrays import STATUS_OK, transform_with_block
from kivo_tf_tools.sections import SECTIONS, SIGNAL_COLUMNS, Section, load_block, load_sections
from kivo_tf_tools.tf_tree import TfError, TfTree, frame_id

__all__ = ["BagError", "is_bag", "stamp_text", "imu_covariances", "read_tf_tree", "run_bag",
           "add_bag_options", "BAG_OPTIONS", "MESSAGE_TYPES", "tf_tree_of"]

# The output topic is the input topic with this suffix unless --output-topic is given.
OUTPUT_TOPIC_SUFFIX = "/kivo_tf"
TF_TOPICS = {"tf": False, "tf_static": True}  # topic without leading '/' -> static
TF_MESSAGE = "tf2_msgs/msg/TFMessage"
TABLE_SUFFIXES = (".csv", ".parquet")
BATCH = 4096  # messages of a topic decoded, transformed and written at a time
TOPIC_PLACEHOLDER = "{topic}"  # in OUT: one table per topic
OUTSIDE_WINDOW = "outside the window"

# A topic name: tokens of letters, digits and underscores, not starting with a digit, joined by
# single slashes, with an optional leading slash.
TOPIC_NAME = re.compile(r"/?[A-Za-z_][A-Za-z0-9_]*(?:/[A-Za-z_][A-Za-z0-9_]*)*")

# Options that only a ROS bag input takes (argparse destinations; None when not given).
BAG_OPTIONS = ("topic", "fixed_frame", "moving_frame", "output_topic", "output_frame_id",
               "topic_section", "skip_damaged", "ignore_frame_id", "prefer_tf", "start", "end",
               "stamp")
# Options of one topic: they apply to the --topic they follow, or to every topic when given
# before the first one.
TOPIC_OPTIONS = ("topic_section", "fixed_frame", "moving_frame", "output_topic",
                 "output_frame_id")


class _TopicOption(argparse.Action):
    """Stores the value as argparse does and records it, in order, in `namespace.topic_options`,
    so that the options of each --topic can be told apart."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        setattr(namespace, self.dest, values)
        recorded = list(getattr(namespace, "topic_options", None) or [])
        recorded.append((self.dest, values))
        setattr(namespace, "topic_options", recorded)


def add_bag_options(parser: argparse.ArgumentParser) -> None:
    """The options of `kivo-tf run` that only a ROS bag input takes."""
    bag = parser.add_argument_group(
        "ROS bag input (a ROS 1 .bag, a rosbag2 directory or a lone .mcap file)")
    bag.add_argument("--topic", action=_TopicOption, default=None, metavar="TOPIC",
                     help="a topic to transform; give --topic again for more topics, each "
                          "followed by its own options below (before the first --topic they "
                          "apply to every topic)")
    bag.add_argument("--section", dest="topic_section", action=_TopicOption, default=None,
                     choices=list(SECTIONS), metavar="SECTION",
                     help="the section of this topic's block (default: SECTION)")
    bag.add_argument("--fixed-frame", action=_TopicOption, default=None, metavar="F",
                     help="the frame of the bag's tf tree the output is referred to: the "
                          "block's fixed frame")
    bag.add_argument("--moving-frame", action=_TopicOption, default=None, metavar="M",
                     help="the frame of the tf tree the sensor moves with: the block's moving "
                          "frame, whose pose in F at each message's stamp is its transform")
    bag.add_argument("--output-topic", action=_TopicOption, default=None, metavar="T",
                     help="bag output: the topic of the transformed messages (default: TOPIC"
                          f"{OUTPUT_TOPIC_SUFFIX})")
    bag.add_argument("--output-frame-id", action=_TopicOption, default=None, metavar="ID",
                     help="bag output: header.frame_id of the transformed messages, needed when "
                          "the output axes are not simply F's or M's")
    bag.add_argument("--start", default=None, metavar="S",
                     help="transform only messages stamped at or after S: seconds from the "
                          "bag's first message (30, 12.5), or seconds since the epoch with the "
                          "suffix 'abs' (1700000123.25abs)")
    bag.add_argument("--end", default=None, metavar="S",
                     help="transform only messages stamped before S (as --start); the tf samples "
                          "around the window's edges are still used")
    bag.add_argument("--stamp", choices=("header", "receive"), default=None,
                     help="the time of each message: its header.stamp (default), or the time the "
                          "bag recorded it (for drivers that leave the header stamp at 0)")
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


# --- topics and their options -----------------------------------------------------------------

@dataclass
class Job:
    """One topic of the run with its options, then what the run makes of it."""

    topic: str
    section_name: str
    fixed_frame: str | None = None
    moving_frame: str | None = None
    output_topic: str | None = None
    output_frame_id: str | None = None
    # Filled by the run:
    block: Any = None
    section: Section | None = None
    connections: list[Any] = field(default_factory=list)
    output_frame: str | None = None
    table: str | None = None  # the table's path, for a table output
    frames: FrameCheck | None = None
    account: Account | None = None
    pipeline: _Pipeline | None = None
    sink: Any = None  # TableSink or the Output of a BagSink

    @property
    def name(self) -> str:
        return self.connections[0].topic if self.connections else self.topic

    @property
    def needs_tf(self) -> bool:
        assert self.section is not None
        return uses_moving_frame(self.section)

    def check_frame_options(self) -> None:
        assert self.section is not None
        section = self.section
        given = [option for option, value in (("--fixed-frame", self.fixed_frame),
                                              ("--moving-frame", self.moving_frame)) if value]
        if uses_moving_frame(section):
            missing = [option for option in ("--fixed-frame", "--moving-frame")
                       if option not in given]
            if missing:
                raise BagError(f"{section.name} places an entry in the moving frame: give "
                               f"{' and '.join(missing)} (the frames of the bag's tf tree whose "
                               "transform the block takes)" + self._for())
        elif given:
            why = ("the pose block takes no fixed-to-moving-frame transform"
                   if section.block_class == "KivoTfPose"
                   else "no entry of the section is in the moving frame")
            raise BagError(f"{' and '.join(given)} cannot be used with {section.name}: {why}"
                           + self._for())

    def _for(self) -> str:
        return f" (topic {escaped(self.topic)})" if self.topic else ""

    def choose_output_frame(self) -> None:
        """The output's header.frame_id: --output-frame-id; else the frame named by the output
        axes when they are exactly F or M and that frame has a name (F: --fixed-frame, or the
        input message's own frame when the input axes are exactly F); None for "the input
        message's frame_id". Raises BagError when no name follows."""
        assert self.section is not None
        section = self.section
        if self.output_frame_id:
            self.output_frame = str(self.output_frame_id)
            return
        output_axes = _axes_frame(section, "set_output_expression_axes")
        if output_axes == "M" and self.moving_frame:
            self.output_frame = frame_id(self.moving_frame)
            return
        if output_axes == "F":
            if self.fixed_frame:
                self.output_frame = frame_id(self.fixed_frame)
                return
            if _axes_frame(section, "set_input_expression_axes") == "F":
                self.output_frame = None
                return
        raise BagError(f"give --output-frame-id: the output axes of {section.name} are not "
                       "simply the fixed or the moving frame's axes of a named frame, so the "
                       "output messages' header.frame_id cannot be chosen for you")


def jobs_of(args: argparse.Namespace) -> list[Job]:
    """The topics of the run with their options, in the order given. Raises BagError."""
    defaults: dict[str, Any] = {}
    jobs: list[Job] = []
    for dest, value in getattr(args, "topic_options", None) or []:
        if dest == "topic":
            jobs.append(Job(topic=value, section_name=args.section))
            for key, default in defaults.items():
                setattr(jobs[-1], "section_name" if key == "topic_section" else key, default)
        elif jobs:
            setattr(jobs[-1], "section_name" if dest == "topic_section" else dest, value)
        else:
            defaults[dest] = value
    if not jobs:
        raise BagError("give --topic: the topic of the bag to transform")
    return jobs


def _window_edge(text: str | None, start_ns: int, option: str) -> int | None:
    """The stamp in ns of --start/--end: seconds from the bag's start, or absolute seconds with
    the suffix "abs". Raises BagError."""
    if text is None:
        return None
    absolute = text.strip().lower().endswith("abs")
    number = text.strip()[:-3] if absolute else text.strip()
    try:
        seconds = Decimal(number)
    except InvalidOperation:
        seconds = Decimal("nan")
    ns = (int((seconds * 1_000_000_000).to_integral_value()) if seconds.is_finite()
          and abs(seconds) < 10**10 else None)
    if ns is None:
        raise BagError(f"{option} {escaped(text)} is not a time: give seconds from the bag's "
                       "start (30, 12.5) or seconds since the epoch with the suffix 'abs' "
                       "(1700000123.25abs)")
    return ns if absolute else start_ns + ns


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


def read_tf_tree(bag: Bag, damage: Damage, skip: bool, progress: Progress | None = None) -> TfTree:
    """The tf tree of `bag` (its /tf and /tf_static), with every TFMessage counted."""
    np = require("numpy")
    tree = TfTree()
    connections = _tf_connections(bag)
    if not connections:
        return tree
    static_ids = np.array([c.id for c in connections if TF_TOPICS[c.topic.lstrip("/")]],
                          dtype=np.int64)
    topic_of = {c.id: c.topic for c in bag.connections}
    fast = tf_decoder(bag.typestore, bag.ros1) is not None
    scan = require("kivo_tf_tools._bag_scan")
    index: Counter[str] = Counter()  # messages of each topic before the current block
    try:
        for block in bag.blocks(connections):
            if progress is not None:
                progress.update(len(block))
            count = len(block)
            static = np.isin(block.ids, static_ids)
            if fast:
                message, parents, children, stamps, poses, fits, raw_names = scan.decode_tf(
                    block.data, block.starts, block.sizes, bag.ros1)
                names, bad = frame_names(raw_names)
                if bad:
                    spoilt = np.isin(parents, bad) | np.isin(children, bad)
                    fits[message[spoilt]] = 0
                    keep = fits[message].astype(bool)
                    message, parents, children = message[keep], parents[keep], children[keep]
                    stamps, poses = stamps[keep], poses[keep]
            else:
                message = parents = children = stamps = np.zeros(0, dtype=np.int64)
                poses, names = np.zeros((0, 7)), []
                fits = np.zeros(count, dtype=np.uint8)
            misfits = np.flatnonzero(fits == 0).tolist()
            done = 0  # messages of the block whose transforms are in the tree
            for k in [*misfits, count]:
                if k > done:
                    lo, hi = np.searchsorted(message, [done, k])
                    tree.add_many(names, parents[lo:hi], children[lo:hi], stamps[lo:hi],
                                  poses[lo:hi], static[message[lo:hi]])
                if k == count:
                    break
                done = k + 1
                topic = topic_of[int(block.ids[k])]
                number = index[topic] + int(np.count_nonzero(
                    np.isin(block.ids[:k + 1], [i for i, t in topic_of.items() if t == topic])))
                try:
                    decoded = bag.deserialize(block.raw(k), TF_MESSAGE)
                except Exception as error:
                    damage.decode_failed(topic, number, int(block.times[k]), error, skip)
                    continue
                _add_transforms(tree, decoded, bool(static[k]), bag.ros1)
            ids, counts = np.unique(block.ids, return_counts=True)
            for key, value in zip(ids.tolist(), counts.tolist()):
                index[topic_of[key]] += value
    except BagDamage as error:
        damage.container_failed(error, skip)
    return tree


class _Collector:
    """A topic's messages of one batch, kept as the blocks they were read in (with their number
    in the topic) and decoded together when the batch is taken."""

    def __init__(self, job: Job, bag: Bag, msgtype: str, receive: bool) -> None:
        assert job.section is not None
        self.job = job
        self.block_class = job.section.block_class
        self.width = len(SIGNAL_COLUMNS[self.block_class])
        self.imu = self.block_class == "KivoTfImu"
        self.receive = receive  # place messages at their bag time
        self.bag = bag
        self.msgtype = msgtype
        self.one = decoder(bag.typestore, msgtype, bag.ros1)
        self.many = many_decoder(bag.typestore, msgtype, bag.ros1)
        self._reset()

    def _reset(self) -> None:
        self.parts: list[tuple[Any, Any]] = []
        self.count = 0

    def __len__(self) -> int:
        return self.count

    def add(self, block: Any, numbers: Any) -> None:
        """The messages of `block` (a part of a bag's block), numbered `numbers` in the topic."""
        self.parts.append((block, numbers))
        self.count += len(block)

    def _one(self, raw: Any) -> Decoded:
        """One message, from its bytes where the layout allows, else through rosbags' message
        object. Raises what either raises for a message that does not decode."""
        if self.one is not None:
            try:
                return self.one(raw)
            except Undecodable:
                pass
        msg = self.bag.deserialize(raw, self.msgtype)
        return _from_object(msg, self.block_class, self.bag.ros1)

    def _decoded(self, block: Any) -> tuple[Any, Any, list[str], Any, Any]:
        """(stamps, seq, frame ids, values, fits) of one part, read over its bytes."""
        np = require("numpy")
        count = len(block)
        if self.many is None:
            columns = self.width + (18 if self.imu else 0)
            return (np.zeros(count, dtype=np.int64), np.zeros(count, dtype=np.int64),
                    [""] * count, np.zeros((count, columns)), np.zeros(count, dtype=bool))
        many = self.many(block.data, block.starts, block.sizes)
        fits = np.ones(count, dtype=bool)
        fits[many.misfits] = False
        seq = many.seq if many.seq is not None else np.zeros(count, dtype=np.int64)
        return many.stamps, seq, many.frames, many.values, fits

    def take(self, damage: Damage, skip: bool) -> Rows:
        """The batch decoded, its frames checked and its stamps counted. A message that does not
        decode is an error (BagError), or with `skip` left out and counted."""
        np = require("numpy")
        job, account = self.job, self.job.account
        assert account is not None and job.frames is not None
        parts = self.parts
        self._reset()
        decoded = [self._decoded(block) for block, _ in parts]
        stamps = np.concatenate([d[0] for d in decoded])
        sequence = np.concatenate([d[1] for d in decoded]) if self.bag.ros1 else None
        frames = [frame for d in decoded for frame in d[2]]
        values = np.concatenate([d[3] for d in decoded])
        good = np.concatenate([d[4] for d in decoded])
        times = np.concatenate([block.times for block, _ in parts])
        numbers = np.concatenate([n for _, n in parts])
        firsts = np.cumsum([0] + [len(block) for block, _ in parts])  # of each part
        for k in np.flatnonzero(~good).tolist():
            part = int(np.searchsorted(firsts, k, side="right")) - 1
            try:
                message = self._one(parts[part][0].raw(k - int(firsts[part])))
            except Exception as error:
                account.undecoded += 1
                damage.decode_failed(job.name, int(numbers[k]), int(times[k]), error, skip)
                continue
            good[k] = True
            stamps[k], frames[k], values[k] = message.stamp, message.frame, message.values
            if sequence is not None:
                sequence[k] = message.seq or 0
        keep = None if good.all() else np.flatnonzero(good)
        if keep is not None:
            stamps, values, times, numbers = stamps[keep], values[keep], times[keep], numbers[keep]
            frames = [frames[k] for k in keep.tolist()]
            sequence = sequence[keep] if sequence is not None else None
        check = job.frames.check
        placed = times if self.receive else stamps
        for k, frame in _changes(frames):
            check(int(numbers[k]), int(placed[k]), frame)
        zeros = np.flatnonzero(stamps == 0)
        if len(zeros):
            account.zero_stamps += len(zeros)
            if account.first_zero is None:
                account.first_zero = int(times[zeros[0]])
        return Rows(placed, stamps, times, sequence, frames,
                    np.ascontiguousarray(values[:, :self.width]),
                    np.ascontiguousarray(values[:, self.width:]) if self.imu else None,
                    None, None, None, None)


def _changes(frames: list[str]) -> list[tuple[int, str]]:
    """(index, frame) of the first message and of each whose frame id differs from the one
    before it."""
    if not frames:
        return []
    changes = [(0, frames[0])]
    if frames.count(frames[0]) == len(frames):
        return changes
    changes += [(k, frame) for k, frame in enumerate(frames) if k and frame != frames[k - 1]]
    return changes


def _from_object(msg: Any, block_class: str, ros1: bool) -> Decoded:
    """The fields of a message deserialised by rosbags. Raises ValueError for a message whose
    fields are not of its type's sizes."""
    header = msg.header
    values = tuple(signal_of(block_class)(msg))
    if block_class == "KivoTfImu":
        covariances = (*msg.linear_acceleration_covariance, *msg.angular_velocity_covariance)
        if len(covariances) != 18:
            raise ValueError("IMU covariances of the wrong size")
        values += tuple(float(v) for v in covariances)
    return Decoded(_stamp_of(header.stamp, ros1), header.frame_id,
                   int(header.seq) if hasattr(header, "seq") else None, values)


# --- the account ------------------------------------------------------------------------------

@dataclass
class Account:
    """What happened to every message of one topic."""

    read: int = 0  # messages of the topic handed out by the bag
    undecoded: int = 0  # of those, the ones that did not decode
    outside: int = 0  # decoded, but stamped outside --start/--end
    transformed: int = 0  # status Ok
    refused: Counter[str] = field(default_factory=Counter)  # by the block, by return code
    no_transform: int = 0
    first_missing: int | None = None  # stamps of the first and last message without transform
    last_missing: int | None = None
    zero_stamps: int = 0  # messages whose header.stamp is 0
    first_zero: int | None = None  # the bag time of the first of those
    added: int = 0  # rows that got the α × r term
    library_lines: Counter[str] = field(default_factory=Counter)

    @property
    def decoded(self) -> int:
        return self.read - self.undecoded

    @property
    def placed(self) -> int:
        """Messages inside the window: one table row each."""
        return self.decoded - self.outside

    def balances(self) -> bool:
        return self.placed == (self.transformed + sum(self.refused.values())
                               + self.no_transform)

    def count(self, rows: Rows) -> None:
        codes = Counter(rows.status[rows.has_tf].tolist())
        for code, n in codes.items():
            if code == STATUS_OK:
                self.transformed += n
            else:
                self.refused[STATUS_NAMES.get(code, str(code))] += n
        missing = rows.stamps[~rows.has_tf]
        self.no_transform += len(missing)
        if len(missing):
            first, last = int(missing.min()), int(missing.max())
            self.first_missing = first if self.first_missing is None else min(
                self.first_missing, first)
            self.last_missing = last if self.last_missing is None else max(
                self.last_missing, last)


# --- outputs ----------------------------------------------------------------------------------

def _output_kind(input_path: str, output: str) -> str:
    """"table", "ros1", "ros2" or "mcap". Raises BagError."""
    if output == "-":
        raise BagError("the output of a bag cannot be the standard output: give a .csv or "
                       ".parquet file, or a bag")
    if output.lower().endswith(TABLE_SUFFIXES):
        return "table"
    kind = bag_kind(input_path)
    if kind == "ros1" and output.lower().endswith(".bag"):
        return "ros1"
    if kind == "mcap" and output.lower().endswith(".mcap"):
        return "mcap"
    if kind == "ros2" and not output.lower().endswith((".bag", ".mcap")):
        return "ros2"
    wanted = {"ros1": "a ROS 1 bag (OUT.bag)", "mcap": "an MCAP file (OUT.mcap)",
              "ros2": "a rosbag2 directory"}[str(kind)]
    raise BagError(f"the output {escaped(output)} must be a table (.csv, .parquet) or, like the "
                   f"input, {wanted}")


def check_output_topic(topic: str, bag: Bag, taken: set[str]) -> None:
    """Refuses an output topic that is not a valid topic name, that names a topic of the input
    (with or without its leading slash) or that another topic of the run writes."""
    if not TOPIC_NAME.fullmatch(topic) or "__" in topic:
        raise BagError(f"--output-topic '{escaped(topic)}' is not a valid topic name (letters, "
                       "digits and underscores in tokens that do not start with a digit, "
                       "joined by '/', e.g. /ft/kivo_tf)")
    plain = topic.lstrip("/")
    for connection in bag.connections:
        if connection.topic.lstrip("/") == plain:
            raise BagError(f"the bag already has a topic {escaped(connection.topic)}: choose "
                           "another --output-topic")
    if plain in taken:
        raise BagError(f"two topics of the run would be written to {escaped(topic)}: give each "
                       "its own --output-topic")
    taken.add(plain)


def _table_path(pattern: str, topic: str, several: bool) -> str:
    """The table of `topic`: OUT itself, or with several topics OUT with `TOPIC_PLACEHOLDER`
    replaced by the topic's name ('/' as '_', no leading one)."""
    if TOPIC_PLACEHOLDER not in os.path.basename(pattern):
        if several:
            raise BagError(f"with several topics and a table output, OUT must name one table "
                           f"per topic with {TOPIC_PLACEHOLDER} in its file name (e.g. "
                           f"out_{TOPIC_PLACEHOLDER}.csv), not {escaped(pattern)}")
        return pattern
    return pattern.replace(TOPIC_PLACEHOLDER, topic.strip("/").replace("/", "_"))


# --- the run ----------------------------------------------------------------------------------

class _Pipeline:
    """Batches of one topic through the tf lookup, the block, the α × r term and the sink, with
    the account kept on the way."""

    def __init__(self, job: Job, tree: TfTree | None, central: bool,
                 window: tuple[int | None, int | None], writer: Any) -> None:
        assert job.section is not None and job.account is not None
        self.block = job.block
        self.section = job.section
        self.tree = tree if job.needs_tf else None
        self.fixed, self.moving = job.fixed_frame, job.moving_frame
        self.central = central
        self.window = window
        self.write = writer
        self.account = job.account
        self.capture = LibraryStderr()
        self.held = TermAcrossBatches(self._term) if central else None

    def close(self) -> None:
        self.capture.close()

    def _inside(self, rows: Rows) -> Rows:
        np = require("numpy")
        first, end = self.window
        if first is None and end is None:
            return rows
        keep = np.ones(len(rows), dtype=bool)
        if first is not None:
            keep &= rows.stamps >= first
        if end is not None:
            keep &= rows.stamps < end
        self.account.outside += int(len(rows) - keep.sum())
        if keep.all():
            return rows
        index = np.flatnonzero(keep)
        parts: list[Any] = [None if c is None else [c[k] for k in index] if isinstance(c, list)
                            else c[index] for c in rows.columns()]
        return Rows(*parts)

    def batch(self, rows: Rows) -> None:
        np = require("numpy")
        rows = self._inside(rows)
        count = len(rows)
        if not count:
            return
        rows.has_tf = np.ones(count, dtype=bool)
        if self.tree is not None:
            try:
                found = self.tree.lookup(str(self.fixed), str(self.moving), rows.stamps)
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
        if self.held is not None:
            # A message without a transform is a refused row: the differences do not cross it.
            rows = self.held.batch(rows)
        self._emit(rows)

    def _term(self, work: Rows, changed: slice) -> int:
        np = require("numpy")
        tf = None
        if work.tf is not None:
            tf = np.where(work.has_tf[:, None], work.tf, [0, 0, 0, 1.0, 0, 0, 0])
        # Integer nanoseconds: the steps between stamps are exact.
        return add_term_to_rows(self.section, work.stamps, tf, work.out, work.status, changed)

    def finish(self) -> None:
        if self.held is not None:
            last = self.held.finish()
            if last is not None:
                self._emit(last)
            self.account.added = self.held.added

    def _emit(self, rows: Rows) -> None:
        if not len(rows):
            return
        self.account.count(rows)
        self.write(rows)


def _check_tree(tree: TfTree, jobs: list[Job], args: argparse.Namespace,
                damage: Damage) -> None:
    """Conflicting edges resolved by --prefer-tf, and a path between F and M of every topic.
    Raises BagError, which names the damage that --skip-damaged skipped when there was any."""
    conflicts = tree.conflicts()
    if conflicts:
        if args.prefer_tf is None:
            parent, child = conflicts[0]
            more = f" (and {len(conflicts) - 1} more)" if len(conflicts) > 1 else ""
            raise BagError(f"the edge '{escaped(parent)}' → '{escaped(child)}'{more} is on both "
                           "/tf and /tf_static: give --prefer-tf static or --prefer-tf dynamic "
                           "to say which samples to use")
        tree.use_only(args.prefer_tf)
    for job in jobs:
        if not job.needs_tf:
            continue
        try:
            tree.path(str(job.fixed_frame), str(job.moving_frame))
        except TfError as error:
            first, _, rest = str(error).partition("\n")
            if damage.stopped:
                first += f" (--skip-damaged: reading stopped early: {damage.stopped})"
            raise BagError(first + ("\n" + rest if rest else "")) from None


def _prepare(jobs: list[Job], args: argparse.Namespace, bag: Bag, kind: str) -> None:
    """Sections, blocks, connections and output topics of every topic. Raises BagError."""
    if args.angular_acceleration == "central" and not any(
            SECTIONS[job.section_name] == "KivoTfImu" for job in jobs):
        raise BagError("--angular-acceleration central applies to the IMU block only "
                       f"(tf_imu_config), not {jobs[0].section_name}")
    taken: set[str] = set()
    for job in jobs:
        job.block = load_block(args.config, job.section_name)
        job.section = load_sections(args.config, only=job.section_name)[0]
        job.check_frame_options()
        if kind != "table":
            job.choose_output_frame()
        block_class = SECTIONS[job.section_name]
        job.connections = _topic_connections(bag, job.topic)
        wanted = MESSAGE_TYPES[block_class]
        for connection in job.connections:
            if connection.msgtype != wanted:
                raise BagError(f"topic {escaped(connection.topic)} is "
                               f"{escaped(connection.msgtype)}, but {job.section_name} "
                               f"({block_class}) reads {wanted}")
        if kind != "table":
            job.output_topic = job.output_topic or job.name + OUTPUT_TOPIC_SUFFIX
            check_output_topic(job.output_topic, bag, taken)
        else:
            job.table = _table_path(args.output, job.name, len(jobs) > 1)
    if kind == "table":
        tables = [job.table for job in jobs]
        if len(set(tables)) != len(tables):
            raise BagError("two topics of the run would be written to the same table: give "
                           f"{TOPIC_PLACEHOLDER} in OUT's file name")


def run_bag(args: argparse.Namespace) -> int:
    """``kivo-tf run`` with a bag as input (see the module's description). Returns the exit
    status; raises ConfigError (BagError) with a message for the user."""
    require("numpy")
    require("rosbags")
    start = time.perf_counter()
    jobs = jobs_of(args)
    central = getattr(args, "angular_acceleration", "none") == "central"
    args.angular_acceleration = "central" if central else "none"
    kind = _output_kind(args.input, args.output)
    if kind != "table" and os.path.lexists(args.output):
        raise BagError(f"{escaped(args.output)} exists; kivo-tf run does not replace it: remove "
                       "it or choose another output")
    skip = bool(args.skip_damaged)
    quiet = bool(getattr(args, "quiet", False))
    # Load the sections first: a configuration error is reported before the bag is opened.
    for job in jobs:
        load_block(args.config, job.section_name)
    bag = Bag(args.input)
    try:
        _prepare(jobs, args, bag, kind)
        window = (_window_edge(args.start, bag.start_time, "--start"),
                  _window_edge(args.end, bag.start_time, "--end"))
        damage = Damage()
        tree = None
        tf_connections = _tf_connections(bag)
        if any(job.needs_tf for job in jobs):
            with Progress(sum(bag.declared(c) for c in tf_connections), "msg",
                          "reading /tf", quiet) as progress:
                tree = read_tf_tree(bag, damage, skip, progress)
            _check_tree(tree, jobs, args, damage)
        paths = [args.output] if kind != "table" else [str(job.table) for job in jobs]
        staging = Staging(paths)
        bag_sink: BagSink | None = None
        try:
            if kind != "table":
                bag_sink = BagSink(bag, staging.inner(
                    args.output, "{name}.mcap" if kind == "mcap" else None), args.output)
            for job in jobs:
                assert job.section is not None
                job.account = Account()
                job.frames = FrameCheck(
                    frame_rule(job.section, job.fixed_frame, job.moving_frame,
                               bool(args.ignore_frame_id)),
                    tree if job.needs_tf else None, job.name, job.section_name)
                if bag_sink is None:
                    job.sink = TableSink(staging.inner(str(job.table)), str(job.table),
                                         job.section.block_class, tree is not None
                                         and job.needs_tf)
                    writer = job.sink.write
                else:
                    job.sink = bag_sink.add_output(job.connections[0], str(job.output_topic),
                                                   job.section.block_class, job.section,
                                                   job.output_frame)
                    writer = _writer_to(bag_sink, job.sink)
                job.pipeline = _Pipeline(job, tree, central and
                                         job.section.block_class == "KivoTfImu", window, writer)
            try:
                _stream(bag, jobs, bag_sink, damage, skip, args, quiet)
            finally:
                for job in jobs:
                    if job.pipeline is not None:
                        job.pipeline.close()
            for job in jobs:
                if isinstance(job.sink, TableSink):
                    job.sink.close()
            if bag_sink is not None:
                bag_sink.close()
            read_connections = (bag.connections if kind != "table" else
                                [c for job in jobs for c in job.connections]
                                + (tf_connections if tree is not None else []))
            proofs = _prove(bag, kind, jobs, bag_sink, staging, read_connections, skip, args)
            staging.commit()
        except BaseException:
            for job in jobs:
                if isinstance(job.sink, TableSink):
                    job.sink.abandon()
            if bag_sink is not None:
                bag_sink.abandon()
            staging.discard()
            raise
    finally:
        bag.close()
    seconds = time.perf_counter() - start
    for job in jobs:
        for line in _summary(job, damage, tree, proofs[0], proofs[1].get(job.name, ""), kind,
                             args, seconds):
            stderr_line(line)
    for line in _run_notes(proofs[0], damage, tree, args, window):
        stderr_line(line)
    return 0


def _writer_to(sink: BagSink, output: Output) -> Any:
    def write(rows: Rows) -> None:
        sink.write(rows, output)
    return write


def _stream(bag: Bag, jobs: list[Job], copy: BagSink | None, damage: Damage, skip: bool,
            args: argparse.Namespace, quiet: bool) -> None:
    """The one pass over the bag that reads every topic of the run (and copies every message
    for a bag output). A block of the bag is cut after each message that fills a topic's batch,
    so that the batch's output follows the copy of that message, as message by message."""
    np = require("numpy")
    receive = args.stamp == "receive"
    collectors: list[tuple[_Collector, Any]] = []  # with the ids of its connections
    for job in jobs:
        assert job.section is not None
        collector = _Collector(job, bag, job.connections[0].msgtype, receive)
        collectors.append((collector, np.array([c.id for c in job.connections],
                                               dtype=np.int64)))
    wanted_ids = {c.id for job in jobs for c in job.connections}
    wanted = None if copy is not None else [c for c in bag.connections if c.id in wanted_ids]
    total = sum(bag.declared(c) for c in (wanted if wanted is not None else bag.connections))
    numbers: Counter[int] = Counter()  # messages of each job's topic so far, by id(job)
    progress = Progress(total, "msg", "transforming", quiet)
    try:
        for block in bag.blocks(wanted):
            progress.update(len(block))
            mine = [np.flatnonzero(np.isin(block.ids, ids)) for _, ids in collectors]
            cuts = {len(block)}
            for (collector, _), where in zip(collectors, mine):
                first = BATCH - len(collector) - 1
                cuts.update((where[first::BATCH] + 1).tolist())
            begin = 0
            for end in sorted(cuts):
                if copy is not None:
                    copy.copy(block.part(slice(begin, end)))
                for (collector, _), where in zip(collectors, mine):
                    lo, hi = np.searchsorted(where, [begin, end])
                    if lo < hi:
                        _collect(collector, block.part(where[lo:hi]), numbers, bag)
                        if len(collector) >= BATCH:
                            assert collector.job.pipeline is not None
                            collector.job.pipeline.batch(collector.take(damage, skip))
                begin = end
    except BagDamage as error:
        damage.container_failed(error, skip)
    finally:
        progress.close()
    # The rest of each topic; then the α term's last row.
    for collector, _ in collectors:
        assert collector.job.pipeline is not None
        if len(collector):
            collector.job.pipeline.batch(collector.take(damage, skip))
    for job in jobs:
        assert job.pipeline is not None
        job.pipeline.finish()


def _collect(collector: _Collector, part: Any, numbers: Counter[int], bag: Bag) -> None:
    """A part of a block into the topic's batch: counted as read and numbered in the topic; the
    first message that deserialises is the template of an output that rosbags serialises."""
    np = require("numpy")
    job = collector.job
    assert job.account is not None
    before = numbers[id(job)]
    numbers[id(job)] = before + len(part)
    job.account.read += len(part)
    sink = job.sink
    if isinstance(sink, Output) and sink.encode is None and sink.template is None:
        for k in range(len(part)):
            try:
                sink.template = bag.deserialize(part.raw(k), job.connections[0].msgtype)
                break
            except Exception:
                pass  # a damaged message: the next one is the template
    collector.add(part, np.arange(before + 1, before + 1 + len(part), dtype=np.int64))


def _prove(bag: Bag, kind: str, jobs: list[Job], sink: BagSink | None, staging: Staging,
           read_connections: list[Any], skip: bool,
           args: argparse.Namespace) -> tuple[list[tuple[str, int, int]], dict[str, str]]:
    """Checks each topic's account against the bag's declared counts and the finished output.
    Returns (the topics whose messages read differ from the bag's declared counts, what each
    topic's output holds, for the summary). Raises BagError for any difference that
    --skip-damaged does not allow."""
    for job in jobs:
        account = job.account
        assert account is not None
        if not account.balances():  # a fault of the tools: never an exit 0
            raise RuntimeError(f"the account of {escaped(job.name)} does not balance: "
                               f"{account.read:,} read, {account.undecoded:,} damaged, "
                               f"{account.outside:,} outside the window, "
                               f"{account.transformed:,} transformed, "
                               f"{sum(account.refused.values()):,} refused, "
                               f"{account.no_transform:,} without a transform")
    seen: dict[int, Any] = {c.id: c for c in read_connections}
    differences = shortfalls(bag, list(seen.values()))
    if differences and not skip:
        name, read, declared = differences[0]
        raise BagError(f"{escaped(name)}: {read:,} messages read where the bag declares "
                       f"{declared:,} (a damaged bag); give --skip-damaged to go on with what "
                       "can be read")
    texts: dict[str, str] = {}
    if sink is None:
        for job in jobs:
            assert isinstance(job.sink, TableSink) and job.account is not None
            expected = job.account.placed
            name = escaped(str(job.table))
            if job.sink.rows != expected:
                raise BagError(f"{name}: {job.sink.rows:,} rows written where {expected:,} "
                               "messages were read and decoded")
            held = job.sink.held()
            if held is not None and held != expected:
                raise BagError(f"{name}: the file holds {held:,} rows where {expected:,} were "
                               "written")
            texts[job.name] = (f"{expected:,} rows in {name}"
                               + (", read back" if held is not None else ""))
        return differences, texts
    expected_counts: Counter[str] = Counter()
    for connection in bag.connections:
        expected_counts[connection.topic] += bag.read[connection.id]
    copied = sum(expected_counts.values())
    for job in jobs:
        assert isinstance(job.sink, Output) and job.account is not None
        if job.sink.rows != job.account.transformed:
            raise BagError(f"{escaped(args.output)}: {job.sink.rows:,} messages written on "
                           f"{escaped(str(job.output_topic))} where "
                           f"{job.account.transformed:,} were transformed")
        expected_counts[str(job.output_topic)] += job.account.transformed
    in_output = Counter({k: v for k, v in count_messages(staging.made(args.output)).items()
                         if v})
    expected_counts = Counter({k: v for k, v in expected_counts.items() if v})
    if in_output != expected_counts:
        wrong = sorted(set(in_output) | set(expected_counts),
                       key=lambda name: (in_output[name] == expected_counts[name], name))[0]
        raise BagError(f"{escaped(args.output)} holds {in_output[wrong]:,} messages on "
                       f"{escaped(wrong)} where {expected_counts[wrong]:,} were written")
    for job in jobs:
        assert job.account is not None
        texts[job.name] = (f"{job.account.transformed:,} messages on "
                           f"{escaped(str(job.output_topic))} and {copied:,} copied, read back "
                           f"from {escaped(args.output)}'s index")
    return differences, texts


def _summary(job: Job, damage: Damage, tree: TfTree | None,
             differences: list[tuple[str, int, int]], proof: str, kind: str,
             args: argparse.Namespace, seconds: float) -> list[str]:
    account = job.account
    assert account is not None and job.frames is not None
    topic = job.name
    refused = sum(account.refused.values())
    rate = account.read / seconds if seconds > 0 else float("inf")
    if kind == "table":
        written = f"table {escaped(str(job.table))}"
    else:
        written = (f"{account.transformed:,} messages on {escaped(str(job.output_topic))} in "
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
    if account.zero_stamps:
        assert account.first_zero is not None
        placed = ("placed at the time the bag recorded them (--stamp receive)"
                  if args.stamp == "receive" else
                  "they get no transform; --stamp receive places them at the time the bag "
                  "recorded them")
        lines.append(f"kivo-tf run: {account.zero_stamps:,} messages on {escaped(topic)} have "
                     "header.stamp 0 (their driver never set it), the first recorded at "
                     f"{stamp_text(account.first_zero)} s: {placed}")
    parts = [f"{account.transformed:,} transformed"]
    if refused:
        parts.append(f"{refused:,} refused by the block")
    if account.no_transform:
        parts.append(f"{account.no_transform:,} without a transform")
    if account.outside:
        parts.append(f"{account.outside:,} {OUTSIDE_WINDOW}")
    if account.undecoded:
        parts.append(f"{account.undecoded:,} damaged")
    lines.append(f"kivo-tf run: account: {account.read:,} read = {' + '.join(parts)}; "
                 f"written: {proof}")
    for name, first in damage.first.items():
        if name == topic:
            lines.append(f"kivo-tf run: --skip-damaged: {damage.undecoded[name]:,} messages of "
                         f"{escaped(name)} skipped; the first: {first}")
    checked = job.frames.summary()
    if checked:
        lines.append(f"kivo-tf run: frame check: {checked}")
    if job.pipeline is not None and job.pipeline.central:
        lines.append(f"kivo-tf run: the angular-acceleration term α × r was added to "
                     f"{account.added:,} of {account.transformed:,} transformed messages "
                     "(α from central differences of ω in the fixed frame's axes)")
    if account.library_lines:
        total_lines = sum(account.library_lines.values())
        lines.append(f"kivo-tf run: the library wrote {total_lines:,} lines on stderr, e.g. "
                     f"{escaped(account.library_lines.most_common(1)[0][0])}")
    return lines


def _run_notes(differences: list[tuple[str, int, int]], damage: Damage, tree: TfTree | None,
               args: argparse.Namespace, window: tuple[int | None, int | None]) -> list[str]:
    """The lines of the summary that concern the whole bag, after those of the topics."""
    lines = []
    first, end = window
    if first is not None or end is not None:
        stamps = "receive times" if args.stamp == "receive" else "header stamps"
        lines.append("kivo-tf run: time window: messages with "
                     + (f"{stamps} from {stamp_text(first)} s" if first is not None else stamps)
                     + (f" up to (not including) {stamp_text(end)} s" if end is not None else "")
                     + "; the tf samples around its edges were used")
    for name, read, declared in differences:
        lines.append(f"kivo-tf run: --skip-damaged: {escaped(name)}: {read:,} messages read of "
                     f"{declared:,} the bag declares ({abs(declared - read):,} "
                     f"{'skipped' if read < declared else 'more than declared'})")
    for name, where in damage.first.items():
        if name.lstrip("/") in TF_TOPICS:
            lines.append(f"kivo-tf run: --skip-damaged: {damage.undecoded[name]:,} messages of "
                         f"{escaped(name)} skipped; the first: {where}")
    if damage.stopped:
        lines.append(f"kivo-tf run: --skip-damaged: reading stopped early: {damage.stopped}")
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
    return lines


def tf_tree_of(path: str, skip: bool, quiet: bool = False) -> tuple[TfTree, list[str]]:
    """The tf tree recorded in the bag at `path`, and the notes on what --skip-damaged skipped.
    Raises BagError for a bag that cannot be read (or is damaged, unless `skip`)."""
    bag = Bag(path)
    try:
        damage = Damage()
        connections = _tf_connections(bag)
        with Progress(sum(bag.declared(c) for c in connections), "msg", "reading /tf",
                      quiet) as progress:
            tree = read_tf_tree(bag, damage, skip, progress)
        differences = shortfalls(bag, connections)
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
