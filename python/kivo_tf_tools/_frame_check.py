"""Which frame the messages of a bag's topic are in, checked against the section that reads them.

F is the frame the output is referred to, M the frame the sensor moves with. A section's input
entries (input reference point and axes) say where the block reads the signal: in M's or F's own
frame (origin moving_frame or fixed_frame, translation [0, 0, 0], rotation [1, 0, 0, 0]), or at a
mounting offset from it. A message's ``header.frame_id`` (a leading '/' ignored) must name that
frame: M or F itself, or a frame joined to it by /tf_static edges whose composed pose equals the
offset within `MOUNT_TOLERANCE_M` and `MOUNT_TOLERANCE_RAD`. Poses are [x, y, z, qw, qx, qy, qz]
(metres, quaternion [w, x, y, z]).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._bag_files import BagError, stamp_text
from kivo_tf_tools._escape import escaped
from kivo_tf_tools.sections import Section
from kivo_tf_tools.tf_tree import TfTree, frame_id

# Frames of a mounted sensor agree with the section when within these (metres, radians).
MOUNT_TOLERANCE_M = 1e-6
MOUNT_TOLERANCE_RAD = 1e-6

IDENTITY_POSE = (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0)


def _numbers_text(values: Any) -> str:
    return "[" + ", ".join(f"{v:.9g}" for v in values) + "]"


def _pose_text(pose: tuple[float, ...]) -> str:
    return f"{_numbers_text(pose[:3])} m, rotation {_numbers_text(pose[3:])}"


def _rotation_angle(a: tuple[float, ...], b: tuple[float, ...]) -> float:
    """The angle in radians of the rotation between quaternions a and b (either normalised)."""
    na, nb = quaternion.norm(a), quaternion.norm(b)
    if not (na > 0.0 and nb > 0.0):
        return math.inf
    d = quaternion.q_multiply(quaternion.q_conjugate((a[0], a[1], a[2], a[3])),
                              (b[0], b[1], b[2], b[3]))
    return 2.0 * math.atan2(math.sqrt(d[1] ** 2 + d[2] ** 2 + d[3] ** 2), abs(d[0]))


def _poses_agree(a: tuple[float, ...], b: tuple[float, ...]) -> bool:
    return (math.dist(a[:3], b[:3]) <= MOUNT_TOLERANCE_M
            and _rotation_angle(a[3:], b[3:]) <= MOUNT_TOLERANCE_RAD)


@dataclass(frozen=True)
class FrameRule:
    """The ``header.frame_id`` that the messages of a topic must carry for a section.

    `base` is the frame the section's input entries are placed in (M or F by name), `offset` the
    pose [x, y, z, qw, qx, qy, qz] of the signal's frame in `base` that those entries give. With
    `base` None only the one-frame-per-topic rule is checked (no named frame to compare with);
    `unverifiable` says why a section's input frame is not a frame of the tree at all."""

    base: str | None = None
    role: str = ""  # "the moving frame" or "the fixed frame"
    offset: tuple[float, ...] = IDENTITY_POSE
    unverifiable: str | None = None
    off: bool = False  # --ignore-frame-id

    def expected(self) -> str:
        """Where the section reads its input, as a phrase: "in the moving frame 'arm'" or "at
        [0.1, 0, 0] m, rotation [1, 0, 0, 0] in the moving frame 'arm'"."""
        assert self.base is not None
        where = f"in {self.role} '{escaped(self.base)}'"
        if _poses_agree(self.offset, IDENTITY_POSE):
            return where
        return f"at {_pose_text(self.offset)} {where}"

    def mismatch(self, frame: str, tree: TfTree | None) -> str | None:
        """Why `frame` (without its leading '/') is not the section's input frame, or None."""
        if self.base is None:
            return None
        if frame == self.base:
            pose: tuple[float, ...] | None = IDENTITY_POSE
        elif tree is None or frame not in tree.frames:
            return f"'{escaped(frame)}' is not in the bag's tf tree"
        else:
            pose = tree.static_pose(self.base, frame)
        if pose is None:
            return f"'{escaped(frame)}' is not joined to '{escaped(self.base)}' by /tf_static edges"
        if _poses_agree(tuple(pose), self.offset):
            return None
        if frame == self.base:
            return f"'{escaped(frame)}' is {self.role} itself"
        return f"'{escaped(frame)}' is at {_pose_text(tuple(pose))} in '{escaped(self.base)}'"


def frame_rule(section: Section, fixed_frame: str | None, moving_frame: str | None,
               ignore: bool = False) -> FrameRule:
    """The rule for the messages read by `section` with the frames F and M named (or None);
    `ignore`: --ignore-frame-id."""
    if ignore:
        return FrameRule(off=True)
    point = section.entries.get("set_input_reference_point")
    axes = section.entries.get("set_input_expression_axes")
    if point is None or axes is None or section.block_class == "KivoTfPose":
        # An unset entry: the block refuses every message. The pose block's input frame is
        # named by no option: only one frame per topic is asked.
        return FrameRule()
    if point.uses_moving_frame != axes.uses_moving_frame:
        return FrameRule(unverifiable=(
            f"{section.name} reads its input at a point of "
            f"{'the moving' if point.uses_moving_frame else 'the fixed'} frame in the axes of "
            f"{'the moving' if axes.uses_moving_frame else 'the fixed'} frame, which no frame of "
            "a tf tree is"))
    in_moving = point.uses_moving_frame
    base = moving_frame if in_moving else fixed_frame
    if not base:
        return FrameRule()
    return FrameRule(base=frame_id(base), role="the moving frame" if in_moving
                     else "the fixed frame", offset=(*point.values, *axes.values))


class FrameCheck:
    """Applies a FrameRule message by message: the first message's frame must be the section's
    input frame, every later one the same as the first."""

    def __init__(self, rule: FrameRule, tree: TfTree | None, topic: str, section: str) -> None:
        self.rule = rule
        self.tree = tree
        self.topic = topic
        self.section = section
        self.first: str | None = None  # the topic's frame id, as the first message has it
        self._first_plain: str | None = None


    def check(self, index: int, stamp: int, frame: str) -> None:
        """Message `index` (from 1) of the topic, stamped `stamp` in `frame`. Raises BagError."""
        if self.rule.off:
            return
        if self.first is None:
            plain = frame_id(frame)
            if self.rule.unverifiable is not None:
                raise BagError(f"{escaped(self.topic)}: the frame of its messages "
                               f"('{escaped(frame)}') cannot be checked: "
                               f"{self.rule.unverifiable}; give --ignore-frame-id to transform "
                               "them as they are")
            reason = self.rule.mismatch(plain, self.tree)
            if reason is not None:
                raise BagError(f"{escaped(self.topic)}: message {index:,} (stamp "
                               f"{stamp_text(stamp)} s) has header.frame_id '{escaped(frame)}', "
                               f"but {self.section} reads its input {self.rule.expected()}: "
                               f"{reason}; are --fixed-frame and --moving-frame swapped, or the "
                               "section's input entries wrong? (--ignore-frame-id skips this "
                               "check)")
            self.first, self._first_plain = frame, plain
        elif frame != self.first and frame_id(frame) != self._first_plain:
            raise BagError(f"{escaped(self.topic)} mixes frame ids: message 1 has "
                           f"'{escaped(self.first)}', message {index:,} (stamp "
                           f"{stamp_text(stamp)} s) has '{escaped(frame)}'; a topic must hold "
                           "one frame's signals (give --ignore-frame-id to transform it anyway)")

    def summary(self) -> str:
        if self.rule.off:
            return "header.frame_id not checked (--ignore-frame-id)"
        if self.first is None:
            return ""
        if self.rule.base is None:
            return (f"every message in '{escaped(self.first)}' (no frame option names the frame "
                    "the section reads its input in)")
        return (f"every message in '{escaped(self.first)}', {self.rule.expected()} as the "
                "section's input entries say")
