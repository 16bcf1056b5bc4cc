"""A recorded tf tree: the transforms of a bag's ``/tf`` and ``/tf_static`` topics, looked up for
many stamps at once.

Conventions: an edge parent → child holds the pose of the child frame in the parent frame,
translation [x, y, z] in metres and quaternion [w, x, y, z], as a transform of
``tf2_msgs/msg/TFMessage`` gives it (``header.frame_id`` the parent, ``child_frame_id`` the
child): p_parent = R(q)·p_child + t. Stamps are integer nanoseconds. A leading '/' of a frame id
is ignored.

Lookup rules: a dynamic edge is interpolated between the two samples around a stamp, the
translation linearly and the rotation by the shortest-arc spherical interpolation; a stamp before
an edge's first sample or after its last gets no transform (never extrapolated); a static edge
(from ``/tf_static``) holds at every stamp, its last sample counting. The path between two frames
goes through any number of frames, along edges in either direction.
"""
from __future__ import annotations

from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._deps import require


LOOKUP_BLOCK = 65536  # stamps interpolated at a time


class TfError(Exception):
    """A lookup that cannot be made (unknown frame, no path); the message is for the user."""


def frame_id(name: str) -> str:
    """`name` without its leading '/' (tf frame ids are compared without it)."""
    return name.lstrip("/")


@dataclass
class Edge:
    """The samples of one edge parent → child: pose of the child in the parent."""

    parent: str
    child: str
    static: bool
    stamps: list[int] = field(default_factory=list)  # ns, as recorded
    values: list[tuple[float, ...]] = field(default_factory=list)  # [x, y, z, qw, qx, qy, qz]
    _sorted: tuple[Any, Any] | None = None

    def add(self, stamp: int, value: tuple[float, ...]) -> None:
        self.stamps.append(stamp)
        self.values.append(value)
        self._sorted = None

    def samples(self) -> tuple[Any, Any]:
        """(stamps (K,) int64 ascending and distinct, values (7, K) float64); of samples that
        share a stamp the last recorded counts. A static edge keeps only its last sample."""
        if self._sorted is None:
            np = require("numpy")
            stamps = np.asarray(self.stamps, dtype=np.int64)
            values = np.asarray(self.values, dtype=np.float64).reshape(-1, 7).T
            if self.static:
                stamps, values = stamps[-1:], values[:, -1:]
            else:
                # Stable sort, then keep the last of each run of equal stamps.
                order = np.argsort(stamps, kind="stable")
                stamps, values = stamps[order], values[:, order]
                last = np.append(stamps[1:] != stamps[:-1], True)
                stamps, values = stamps[last], values[:, last]
            self._sorted = (stamps, values)
        return self._sorted

    def at(self, stamps: Any) -> tuple[Any, Any, Any]:
        """(t (3, N), q (4, N), valid (N,) bool): the edge's transform at each of `stamps` (N,)
        int64 ns. Where valid is False the values are meaningless."""
        np = require("numpy")
        known, values = self.samples()
        count = len(stamps)
        if self.static:
            both = np.repeat(values, count, axis=1)
            return both[:3], both[3:], np.ones(count, dtype=bool)
        valid = (stamps >= known[0]) & (stamps <= known[-1])
        if len(known) == 1:
            both = np.repeat(values, count, axis=1)
            return both[:3], both[3:], valid
        # Interval [known[k], known[k + 1]] holding each stamp; the last sample closes the last.
        k = np.clip(np.searchsorted(known, stamps, side="right") - 1, 0, len(known) - 2)
        t0, t1 = known[k], known[k + 1]
        s = np.clip((stamps - t0).astype(np.float64) / (t1 - t0).astype(np.float64), 0.0, 1.0)
        v0, v1 = values[:, k], values[:, k + 1]
        translation = v0[:3] + s * (v1[:3] - v0[:3])
        rotation = quaternion.slerp(v0[3:], v1[3:], s)
        return translation, rotation, valid


@dataclass(frozen=True)
class Lookup:
    """Poses of one frame in another at many stamps."""

    tf: Any  # (N, 7) float64 [x, y, z, qw, qx, qy, qz]: pose of the target in the source
    valid: Any  # (N,) bool: every edge of the path had samples around the stamp
    path: tuple[str, ...]  # the frames from the source to the target


class TfTree:
    """The edges of a recorded tf tree, built by `add` from the transforms of a bag."""

    def __init__(self) -> None:
        self.edges: dict[tuple[str, str], Edge] = {}

    def add(self, parent: str, child: str, stamp: int, value: Iterable[float],
            static: bool) -> None:
        """One transform: pose [x, y, z, qw, qx, qy, qz] of `child` in `parent` at `stamp` (ns),
        from /tf_static when `static`. An edge once recorded as static stays static."""
        key = (frame_id(parent), frame_id(child))
        edge = self.edges.get(key)
        if edge is None:
            edge = self.edges[key] = Edge(key[0], key[1], static)
        elif static and not edge.static:
            edge.static = True
            edge.stamps.clear()
            edge.values.clear()
        elif edge.static and not static:
            return
        edge.add(stamp, tuple(value))

    @property
    def frames(self) -> set[str]:
        return {name for key in self.edges for name in key}

    def parents(self) -> dict[str, list[str]]:
        """Child → its parents (one in a well-formed tree), in the order recorded."""
        result: dict[str, list[str]] = {}
        for parent, child in self.edges:
            result.setdefault(child, []).append(parent)
        return result

    def describe(self) -> str:
        """The frames as an indented tree, one per line, roots first; a frame with two parents
        is shown under each."""
        children: dict[str, list[str]] = {}
        for parent, child in self.edges:
            children.setdefault(parent, []).append(child)
        parents = self.parents()
        roots = sorted(f for f in self.frames if f not in parents)
        if not roots and self.frames:  # every frame has a parent: a cycle
            roots = [min(self.frames)]
        lines: list[str] = []

        def walk(name: str, depth: int, seen: frozenset[str]) -> None:
            lines.append("  " * depth + name)
            for child in sorted(children.get(name, [])):
                if child not in seen:
                    walk(child, depth + 1, seen | {child})

        for root in roots:
            walk(root, 1, frozenset({root}))
        return "\n".join(lines) if lines else "  (none: the bag has no /tf or /tf_static)"

    def path(self, source: str, target: str) -> list[tuple[Edge, bool]]:
        """The edges from frame `source` to frame `target`, each with True where it is walked
        from parent to child; the fewest edges. Raises TfError."""
        source, target = frame_id(source), frame_id(target)
        frames = self.frames
        unknown = [name for name in (source, target) if name not in frames]
        if unknown:
            raise TfError(f"the bag's tf tree has no frame {' or '.join(map(repr, unknown))}; "
                          f"its frames:\n{self.describe()}")
        neighbours: dict[str, list[tuple[str, Edge, bool]]] = {}
        for (parent, child), edge in self.edges.items():
            neighbours.setdefault(parent, []).append((child, edge, True))
            neighbours.setdefault(child, []).append((parent, edge, False))
        came: dict[str, tuple[str, Edge, bool] | None] = {source: None}
        queue = deque([source])
        while queue:
            name = queue.popleft()
            if name == target:
                break
            for other, edge, down in neighbours.get(name, []):
                if other not in came:
                    came[other] = (name, edge, down)
                    queue.append(other)
        if target not in came:
            raise TfError(f"the bag's tf tree has no path between '{source}' and '{target}'; "
                          f"its frames:\n{self.describe()}")
        steps: list[tuple[Edge, bool]] = []
        name = target
        while (step := came[name]) is not None:
            name, edge, down = step
            steps.append((edge, down))
        return steps[::-1]

    def lookup(self, source: str, target: str, stamps: Any) -> Lookup:
        """The pose of frame `target` in frame `source` at each of `stamps` ((N,) int64 ns).
        Raises TfError for an unknown frame or no path."""
        np = require("numpy")
        stamps = np.asarray(stamps, dtype=np.int64)
        steps = self.path(source, target)
        frames = [frame_id(source)]
        for edge, down in steps:
            frames.append(edge.child if down else edge.parent)
        tf = np.empty((len(stamps), 7))
        valid = np.empty(len(stamps), dtype=bool)
        # Block by block: the temporaries of the interpolation stay small for long logs.
        for first in range(0, len(stamps), LOOKUP_BLOCK):
            part = slice(first, first + LOOKUP_BLOCK)
            tf[part], valid[part] = _compose(steps, stamps[part])
        return Lookup(tf, valid, tuple(frames))


def _compose(steps: list[tuple[Edge, bool]], stamps: Any) -> tuple[Any, Any]:
    """(tf (N, 7), valid (N,)): the pose reached along `steps` at `stamps`, composed edge by
    edge from the identity: t_SC = t_SB + R(q_SB)·t_BC, q_SC = q_SB ⊗ q_BC."""
    np = require("numpy")
    count = len(stamps)
    t_s: Any = np.zeros((3, count))
    q_s: Any = np.zeros((4, count))
    q_s[0] = 1.0
    valid = np.ones(count, dtype=bool)
    for edge, down in steps:
        t_e, q_e, edge_valid = edge.at(stamps)
        valid &= edge_valid
        if not down:  # walked from child to parent: the inverse pose
            q_e = np.array(quaternion.q_conjugate(q_e))
            t_e = -np.array(quaternion.rotate(q_e, t_e))
        t_s = np.array(quaternion.add(t_s, quaternion.rotate(q_s, t_e)))
        q_s = np.array(quaternion.q_multiply(q_s, q_e))
    return np.concatenate([t_s, q_s]).T, valid
