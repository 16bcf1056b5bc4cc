"""A recorded tf tree: the transforms of a bag's ``/tf`` and ``/tf_static`` topics, looked up for
many stamps at once.

Conventions: an edge parent → child holds the pose of the child frame in the parent frame,
translation [x, y, z] in metres and quaternion [w, x, y, z], as a transform of
``tf2_msgs/msg/TFMessage`` gives it (``header.frame_id`` the parent, ``child_frame_id`` the
child): p_parent = R(q)·p_child + t. Stamps are integer nanoseconds. A leading '/' of a frame id
is ignored.

Samples: a transform with a value that is not finite (NaN, ±inf), or whose
quaternion q has | |q|² − 1 | > 0.01, is dropped and counted per edge (`TfTree.dropped`); the
quaternion of every other one is normalised, on ``/tf`` and ``/tf_static`` alike. Of two samples
of a dynamic edge with the same stamp the last recorded counts; of a static edge's samples, the
last. An edge recorded on both topics is a conflict (`TfTree.conflicts`): nothing is looked up
until one kind of its samples is chosen (`TfTree.use_only`).

Lookup rules:

- a static edge (from ``/tf_static``) holds at every stamp;
- a dynamic edge parent → child is usable at a stamp t that is one of its samples' stamps (the
  sample is then returned as recorded), or when the two samples of the child around t — of the
  child's samples on ``/tf`` from any parent, in time order — are both of this edge: it is then
  interpolated between them, the translation linearly and the rotation by the shortest-arc
  spherical interpolation. So an edge is never extrapolated before its first or after its last
  sample, and a frame whose parent changes during the recording has no usable edge between its
  last sample under one parent and its first under the next;
- the path between two frames goes through any number of frames, along the edges usable at the
  stamp in either direction, the one of fewest edges. While no frame has more than one parent,
  one path serves every stamp; otherwise the path is found for each set of usable edges.

Memory: a dynamic sample costs 64 bytes (its stamp and seven doubles), kept in compact arrays.
"""
from __future__ import annotations

import array
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped


# Frames listed in an error about a frame the tree lacks (`kivo-tf frames` lists them all).
DESCRIBED_FRAMES = 60
LOOKUP_BLOCK = 65536  # stamps interpolated at a time
UNIT_TOLERANCE = 0.01  # a sample whose quaternion has | |q|² − 1 | above this is dropped
_CHECK_EVERY = 8192  # dynamic samples held as recorded before they are checked into a chunk
_MASK_BYTES = 1 << 22  # bound of the per-stamp table of usable edges of one block
IDENTITY = (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0)


class TfError(Exception):
    """A lookup that cannot be made (unknown frame, no path, an edge on both /tf and /tf_static);
    the message is for the user."""


def frame_id(name: str) -> str:
    """`name` without its leading '/' (tf frame ids are compared without it)."""
    return name.lstrip("/")


def _quoted(name: str) -> str:
    return f"'{escaped(name)}'"


@dataclass(frozen=True)
class DroppedSamples:
    """The samples of one edge, of one topic, that were dropped as unusable."""

    parent: str
    child: str
    static: bool  # from /tf_static
    non_finite: int  # with a NaN or infinite value
    not_unit: int  # finite, but with | |q|² − 1 | > UNIT_TOLERANCE
    first_stamp: int  # ns: the earliest stamp of those dropped

    @property
    def count(self) -> int:
        return self.non_finite + self.not_unit


def _checked(stamps: Any, values: Any) -> tuple[Any, Any, int, int, int | None]:
    """(stamps (M,), values (7, M), non_finite, not_unit, first): of the samples `stamps` (N,)
    int64 and `values` (N, 7), those that can be used, in their order, quaternions normalised;
    the numbers dropped for a value that is not finite and for a quaternion not of unit norm, and
    the earliest stamp dropped (None when none is). Static and dynamic samples go through here
    alike, so that both are normalised to the same bits."""
    np = require("numpy")
    finite = np.isfinite(values).all(axis=1)
    with np.errstate(over="ignore", invalid="ignore"):
        w, x, y, z = values[:, 3], values[:, 4], values[:, 5], values[:, 6]
        square = w * w + x * x + y * y + z * z
        unit = finite & (np.abs(square - 1.0) <= UNIT_TOLERANCE)
    kept = int(np.count_nonzero(unit))
    if kept == len(stamps):
        out_stamps, out = stamps, values.T.copy()
    else:
        out_stamps, out = stamps[unit], values[unit].T.copy()
    out[3:] /= np.sqrt(square[unit])
    non_finite = len(stamps) - int(np.count_nonzero(finite))
    not_unit = len(stamps) - kept - non_finite
    first = int(stamps[~unit].min()) if kept < len(stamps) else None
    return out_stamps, out, non_finite, not_unit, first


class Edge:
    """The samples of one edge parent → child: poses [x, y, z, qw, qx, qy, qz] of the child in the
    parent (metres; unit quaternions once checked), at stamps in ns, from /tf (dynamic) and from
    /tf_static (static; the last one counts). Filled by `TfTree.add`."""

    def __init__(self, parent: str, child: str) -> None:
        self.parent = parent
        self.child = child
        self.dynamic_recorded = 0  # transforms recorded on /tf, dropped ones included
        self.static_recorded = 0  # transforms recorded on /tf_static, dropped ones included
        # /tf samples not checked yet, as recorded: 8 bytes a stamp, 56 a value.
        self._raw_stamps = array.array("q")
        self._raw_values = array.array("d")
        self._chunks: list[tuple[Any, Any]] = []  # checked (stamps (M,), values (7, M)), in order
        self._dynamic: tuple[Any, Any] | None = None  # sorted, distinct stamps
        self._static: tuple[Any, Any] | None = None  # the last usable /tf_static sample
        self._static_range: tuple[int, int] | None = None  # of the usable /tf_static samples
        self._dropped: dict[bool, list[int]] = {}  # static → [non_finite, not_unit, first stamp]
        # Per interval between consecutive dynamic samples, whether it is usable (False where
        # another parent has a sample of the child inside it); None: every interval. Set by the
        # tree before a lookup.
        self.open: Any = None

    def __repr__(self) -> str:
        return f"Edge({self.parent!r} → {self.child!r}, {self.kind})"

    # --- recording ----------------------------------------------------------------------------

    def _add_dynamic(self, stamp: int, value: Iterable[float]) -> None:
        values = self._raw_values
        size = len(values)
        try:
            values.extend(value)
            if len(values) != size + 7:
                raise ValueError(f"a transform is 7 numbers [x, y, z, qw, qx, qy, qz], got "
                                 f"{len(values) - size}")
            self._raw_stamps.append(stamp)
        except BaseException:
            del values[size:]
            raise
        self.dynamic_recorded += 1
        if len(self._raw_stamps) >= _CHECK_EVERY:
            self._check()

    def _add_dynamic_many(self, stamps: Any, values: Any) -> None:
        """Samples at `stamps` (N,) int64 with `values` (N, 7) float64, in the order recorded."""
        np = require("numpy")
        self._raw_stamps.frombytes(np.ascontiguousarray(stamps, dtype=np.int64).tobytes())
        self._raw_values.frombytes(np.ascontiguousarray(values, dtype=np.float64).tobytes())
        self.dynamic_recorded += len(stamps)
        if len(self._raw_stamps) >= _CHECK_EVERY:
            self._check()

    def _add_static(self, stamp: int, value: Iterable[float]) -> None:
        np = require("numpy")
        row = np.array([tuple(value)], dtype=np.float64)
        if row.shape != (1, 7):
            raise ValueError(f"a transform is 7 numbers [x, y, z, qw, qx, qy, qz], got "
                             f"{row.size}")
        stamps, values, non_finite, not_unit, first = _checked(
            np.array([stamp], dtype=np.int64), row)
        self.static_recorded += 1
        if first is not None:
            self._count_dropped(True, non_finite, not_unit, first)
            return
        self._static = (stamps, values)
        low, high = self._static_range or (stamp, stamp)
        self._static_range = (min(low, stamp), max(high, stamp))

    def _count_dropped(self, static: bool, non_finite: int, not_unit: int, first: int) -> None:
        counts = self._dropped.setdefault(static, [0, 0, first])
        counts[0] += non_finite
        counts[1] += not_unit
        counts[2] = min(counts[2], first)

    def _check(self) -> None:
        """The /tf samples recorded since the last check, checked into a chunk."""
        if not self._raw_stamps:
            return
        np = require("numpy")
        stamps = np.array(self._raw_stamps, dtype=np.int64)
        values = np.array(self._raw_values, dtype=np.float64).reshape(-1, 7)
        self._raw_stamps, self._raw_values = array.array("q"), array.array("d")
        stamps, values, non_finite, not_unit, first = _checked(stamps, values)
        if first is not None:
            self._count_dropped(False, non_finite, not_unit, first)
        if len(stamps):
            self._chunks.append((stamps, values))

    def _merge(self) -> None:
        """The checked /tf samples as one sorted run of distinct stamps, the last recorded of
        equal stamps kept; the chunks are released as they are copied."""
        self._check()
        if not self._chunks:
            return
        np = require("numpy")
        parts = ([self._dynamic] if self._dynamic is not None else []) + self._chunks
        self._chunks, self._dynamic = [], None
        total = sum(len(part[0]) for part in parts)
        stamps = np.empty(total, dtype=np.int64)
        values = np.empty((7, total))
        at = 0
        parts.reverse()
        while parts:
            part_stamps, part_values = parts.pop()
            stamps[at:at + len(part_stamps)] = part_stamps
            values[:, at:at + len(part_stamps)] = part_values
            at += len(part_stamps)
            del part_stamps, part_values
        if total > 1 and bool((stamps[1:] < stamps[:-1]).any()):
            order = np.argsort(stamps, kind="stable")
            stamps = stamps[order]
            for row in range(7):  # one row at a time: a long edge is not copied whole
                values[row] = values[row][order]
            del order
        if total > 1:
            last = np.empty(total, dtype=bool)
            np.not_equal(stamps[1:], stamps[:-1], out=last[:-1])
            last[-1] = True
            if not bool(last.all()):
                stamps = stamps[last]
                values = np.ascontiguousarray(values[:, last])
        self._dynamic = (stamps, values)
        self.open = None  # it described the samples before this merge; set again on lookup

    def _forget(self, static: bool) -> None:
        """Drops every usable sample of one topic (the dropped ones stay counted)."""
        if static:
            self._static = self._static_range = None
            self.static_recorded = 0
        else:
            self._raw_stamps, self._raw_values = array.array("q"), array.array("d")
            self._chunks, self._dynamic = [], None
            self.dynamic_recorded = 0

    # --- what the edge holds ------------------------------------------------------------------

    def samples(self, static: bool | None = None) -> tuple[Any, Any]:
        """(stamps (K,) int64 ascending and distinct, values (7, K) float64 [x, y, z, qw, qx, qy,
        qz], unit quaternions) of the usable samples: of /tf_static (at most one, the last) when
        `static` is True, of /tf when False; by default those the lookup uses, /tf's unless the
        edge has none."""
        np = require("numpy")
        if static is not True:
            self._merge()
            if self._dynamic is not None or static is False:
                return self._dynamic or (np.empty(0, dtype=np.int64), np.empty((7, 0)))
        if self._static is not None:
            return self._static
        return np.empty(0, dtype=np.int64), np.empty((7, 0))

    @property
    def has_dynamic(self) -> bool:
        """The edge has usable /tf samples."""
        self._merge()
        return self._dynamic is not None

    @property
    def has_static(self) -> bool:
        """The edge has a usable /tf_static sample."""
        return self._static is not None

    @property
    def static(self) -> bool:
        """The edge holds at every stamp: its usable samples are from /tf_static only (or, with
        none usable, it was recorded on /tf_static only)."""
        if self.has_dynamic:
            return False
        return self.has_static or self.dynamic_recorded == 0

    @property
    def conflict(self) -> bool:
        """The edge has usable samples on both /tf and /tf_static."""
        return self.has_static and self.has_dynamic

    @property
    def kind(self) -> str:
        """"static", "dynamic" or, for a conflict, "static+dynamic"."""
        return "static+dynamic" if self.conflict else "static" if self.static else "dynamic"

    @property
    def transforms(self) -> int:
        """Transforms of the edge in the recording, dropped ones and repeated stamps included."""
        return self.dynamic_recorded + self.static_recorded

    def stamp_range(self) -> tuple[int, int] | None:
        """(first, last) ns of the usable samples of both topics; None when none is usable."""
        ranges = []
        if self.has_dynamic:
            assert self._dynamic is not None
            stamps = self._dynamic[0]
            ranges.append((int(stamps[0]), int(stamps[-1])))
        if self._static_range is not None:
            ranges.append(self._static_range)
        if not ranges:
            return None
        return min(r[0] for r in ranges), max(r[1] for r in ranges)

    def dropped(self) -> list[DroppedSamples]:
        """The samples dropped, /tf's then /tf_static's, each when there are any."""
        self._check()
        return [DroppedSamples(self.parent, self.child, static, *counts)
                for static in (False, True)
                if (counts := self._dropped.get(static)) is not None]

    # --- lookup -------------------------------------------------------------------------------

    def _locate(self, stamps: Any) -> tuple[Any, Any, Any, Any]:
        """(k, exact, valid, known) for `stamps` (N,) int64 against the dynamic samples `known`
        (K ≥ 1): k the interval [known[k], known[k + 1]] holding each stamp (−1 before the first,
        K − 1 at or after the last), exact where the stamp is a sample's own, valid where the
        edge is usable."""
        np = require("numpy")
        known = self.samples()[0]
        k = np.searchsorted(known, stamps, side="right") - 1
        exact = known[np.maximum(k, 0)] == stamps
        inside = (k >= 0) & (k < len(known) - 1)
        if self.open is not None and len(known) > 1:
            inside &= self.open[np.clip(k, 0, len(known) - 2)]
        return k, exact, exact | inside, known

    def usable(self, stamps: Any) -> Any:
        """(N,) bool: where the edge can be used at `stamps` (N,) int64 ns."""
        np = require("numpy")
        if not self.has_dynamic:
            return np.full(len(stamps), self.has_static)
        return self._locate(stamps)[2]

    def at(self, stamps: Any) -> tuple[Any, Any, Any]:
        """(t (3, N), q (4, N), valid (N,) bool): the edge's transform at each of `stamps` (N,)
        int64 ns; a static edge's arrays may be broadcast views. Where valid is False the values
        are meaningless."""
        np = require("numpy")
        count = len(stamps)
        if not self.has_dynamic:
            if self._static is None:
                return (np.zeros((3, count)), np.zeros((4, count)), np.zeros(count, dtype=bool))
            value = self._static[1]
            return (np.broadcast_to(value[:3], (3, count)),
                    np.broadcast_to(value[3:], (4, count)), np.ones(count, dtype=bool))
        k, exact, valid, known = self._locate(stamps)
        values = self.samples()[1]
        if len(known) == 1:
            return (np.broadcast_to(values[:3], (3, count)),
                    np.broadcast_to(values[3:], (4, count)), valid)
        k0 = np.clip(k, 0, len(known) - 2)
        t0, t1 = known[k0], known[k0 + 1]
        s = (stamps - t0).astype(np.float64)
        s /= (t1 - t0).astype(np.float64)
        np.clip(s, 0.0, 1.0, out=s)
        v0, v1 = values[:, k0], values[:, k0 + 1]
        # (1 − s)·v0 + s·v1 stays within the samples' range: it cannot overflow.
        translation = (1.0 - s) * v0[:3] + s * v1[:3]
        rotation = quaternion.slerp(v0[3:], v1[3:], s)
        if exact.any():  # a sample's own stamp: the sample as recorded, to the bit
            where = np.flatnonzero(exact)
            translation[:, where] = values[:3, k[where]]
            rotation[:, where] = values[3:, k[where]]
        return translation, rotation, valid


@dataclass(frozen=True)
class Lookup:
    """Poses of one frame in another at many stamps."""

    tf: Any  # (N, 7) float64 [x, y, z, qw, qx, qy, qz]: pose of the target in the source; NaN
    # where not valid
    valid: Any  # (N,) bool: a path of edges usable at the stamp joins the frames, and the pose
    # along it is finite
    path: tuple[str, ...]  # the frames from the source to the target over all the edges (where a
    # frame changes parent, the path at some stamps differs)


Step = tuple[Edge, bool]  # an edge and whether it is walked from parent to child


@dataclass
class _Graph:
    """What a lookup needs of the tree, rebuilt after samples are added."""

    neighbours: dict[str, list[tuple[str, Edge, bool]]]  # over the edges with usable samples
    static_neighbours: dict[str, list[tuple[str, Edge, bool]]]  # over the static edges
    switching: list[Edge]  # dynamic edges of the frames with more than one parent
    conflicts: list[Edge]


def _neighbours(edges: Iterable[Edge]) -> dict[str, list[tuple[str, Edge, bool]]]:
    result: dict[str, list[tuple[str, Edge, bool]]] = {}
    for edge in edges:
        result.setdefault(edge.parent, []).append((edge.child, edge, True))
        result.setdefault(edge.child, []).append((edge.parent, edge, False))
    return result


def _search(neighbours: dict[str, list[tuple[str, Edge, bool]]], source: str, target: str,
            excluded: frozenset[int] = frozenset()) -> list[Step] | None:
    """The edges from `source` to `target`, fewest first (breadth first), skipping the edges
    whose id() is in `excluded`; None when there is no path."""
    came: dict[str, tuple[str, Edge, bool] | None] = {source: None}
    queue = deque([source])
    while queue and target not in came:
        name = queue.popleft()
        for other, edge, down in neighbours.get(name, ()):
            if other not in came and id(edge) not in excluded:
                came[other] = (name, edge, down)
                queue.append(other)
    if target not in came:
        return None
    steps: list[Step] = []
    name = target
    while (step := came[name]) is not None:
        name, edge, down = step
        steps.append((edge, down))
    return steps[::-1]


class TfTree:
    """The edges of a recorded tf tree, built by `add` from the transforms of a bag."""

    def __init__(self) -> None:
        self.edges: dict[tuple[str, str], Edge] = {}
        self._graph: _Graph | None = None

    def add(self, parent: str, child: str, stamp: int, value: Iterable[float],
            static: bool) -> None:
        """One transform: pose [x, y, z, qw, qx, qy, qz] of `child` in `parent` at `stamp` (ns),
        from /tf_static when `static`. A sample that cannot be used is counted, not kept."""
        key = (frame_id(parent), frame_id(child))
        edge = self.edges.get(key)
        if edge is None:
            edge = self.edges[key] = Edge(*key)
        if static:
            edge._add_static(stamp, value)
        else:
            edge._add_dynamic(stamp, value)
        self._graph = None

    def add_many(self, names: list[str], parents: Any, children: Any, stamps: Any, values: Any,
                 static: Any) -> None:
        """Transforms in the order recorded, as `add` takes them one by one: frame ids
        names[parents[k]] → names[children[k]] (int arrays), stamps (N,) ns, poses (N, 7)
        [x, y, z, qw, qx, qy, qz] and whether each is from /tf_static (N,) bool."""
        np = require("numpy")
        count = len(stamps)
        if not count:
            return
        plain: dict[str, int] = {}
        renumber = np.array([plain.setdefault(frame_id(name), len(plain)) for name in names],
                            dtype=np.int64)
        plain_names = list(plain)
        keys = (renumber[parents] * len(plain_names) + renumber[children]) * 2 + static
        unique, first = np.unique(keys, return_index=True)
        for key in unique[np.argsort(first, kind="stable")].tolist():
            pair, is_static = divmod(key, 2)
            parent, child = divmod(pair, len(plain_names))
            edge_key = (plain_names[parent], plain_names[child])
            edge = self.edges.get(edge_key)
            if edge is None:
                edge = self.edges[edge_key] = Edge(*edge_key)
            index = np.flatnonzero(keys == key)
            if is_static:
                for k in index.tolist():
                    edge._add_static(int(stamps[k]), values[k].tolist())
            else:
                edge._add_dynamic_many(stamps[index], values[index])
        self._graph = None

    @property
    def frames(self) -> set[str]:
        return {name for key in self.edges for name in key}

    def parents(self) -> dict[str, list[str]]:
        """Child → its parents (one in a well-formed tree), in the order recorded."""
        result: dict[str, list[str]] = {}
        for parent, child in self.edges:
            result.setdefault(child, []).append(parent)
        return result

    def dropped(self) -> list[DroppedSamples]:
        """The samples dropped as unusable, per edge (in the order the edges were recorded) and
        topic."""
        return [drop for edge in self.edges.values() for drop in edge.dropped()]

    def conflicts(self) -> list[tuple[str, str]]:
        """(parent, child) of the edges with usable samples on both /tf and /tf_static."""
        return [key for key, edge in self.edges.items() if edge.conflict]

    def use_only(self, kind: str) -> None:
        """Keeps only the "static" (/tf_static) or the "dynamic" (/tf) samples of each edge
        recorded on both."""
        if kind not in ("static", "dynamic"):
            raise ValueError(f"kind must be 'static' or 'dynamic', not {kind!r}")
        for edge in self.edges.values():
            if edge.conflict:
                edge._forget(static=kind == "dynamic")
        self._graph = None

    def walk(self) -> list[tuple[str, str | None, int]]:
        """(frame, parent, depth) of every frame in tree order: depth first from the roots (the
        frames without a parent, names sorted), children sorted. Each edge is met once: a frame
        with two parents is shown under each, its own children under the first. Frames that no
        root reaches (a cycle, and what hangs from it) follow, each such group from the first
        frame of its cycle by name, shown at depth 0 with its parent in the cycle."""
        children: dict[str, list[str]] = {}
        for parent, child in self.edges:
            children.setdefault(parent, []).append(child)
        for names in children.values():
            names.sort()
        parents = self.parents()
        rows: list[tuple[str, str | None, int]] = []
        shown: set[tuple[str, str]] = set()
        expanded: set[str] = set()

        def visit(start: str, parent: str | None) -> None:
            stack: list[tuple[str, str | None, int]] = [(start, parent, 0)]
            while stack:
                name, parent, depth = stack.pop()
                if parent is not None:
                    if (parent, name) in shown:
                        continue
                    shown.add((parent, name))
                rows.append((name, parent, depth))
                if name in expanded:
                    continue
                expanded.add(name)
                stack.extend((child, name, depth + 1)
                             for child in reversed(children.get(name, [])))

        names = sorted(self.frames)
        for name in names:
            if name not in parents:
                visit(name, None)
        for name in names:
            if name in expanded:
                continue
            # Up the first parents, all unreached too, to a frame met twice: it is on a cycle.
            order: dict[str, int] = {}
            while name not in order:
                order[name] = len(order)
                name = parents[name][0]
            cycle = [frame for frame, index in order.items() if index >= order[name]]
            start = min(cycle)
            visit(start, parents[start][0])
        return rows

    def describe(self, limit: int | None = None) -> str:
        """The frames as an indented tree, one per line, roots first (see `walk`); frame ids
        escaped. With `limit`, at most that many frames, then a line counting the rest."""
        walked = self.walk()
        lines = ["  " * (depth + 1) + escaped(name)
                 for name, _, depth in (walked if limit is None else walked[:limit])]
        if limit is not None and len(walked) > limit:
            lines.append(f"  ... and {len(walked) - limit:,} more (kivo-tf frames lists them "
                         "all)")
        return "\n".join(lines) if lines else "  (none: the bag has no /tf or /tf_static)"

    def _unknown(self, text: str) -> TfError:
        """An error about frames that the tree lacks, listing the tree's frames when it has any."""
        if not self.edges:
            return TfError(f"{text}: the bag has no usable /tf or /tf_static transforms")
        return TfError(f"{text}; its frames:\n{self.describe(DESCRIBED_FRAMES)}")

    # --- lookup -------------------------------------------------------------------------------

    def _prepared(self) -> _Graph:
        if self._graph is not None:
            return self._graph
        np = require("numpy")
        edges = [edge for edge in self.edges.values() if edge.has_dynamic or edge.has_static]
        count: dict[str, int] = {}
        for edge in edges:
            count[edge.child] = count.get(edge.child, 0) + 1
            edge.open = None
        switching = [edge for edge in edges if count[edge.child] > 1 and edge.has_dynamic]
        by_child: dict[str, list[Edge]] = {}
        for edge in switching:
            by_child.setdefault(edge.child, []).append(edge)
        for same_child in by_child.values():
            if len(same_child) < 2:
                continue
            # The child's samples from every parent in time order: an interval between two
            # samples of one edge is usable when no other parent has a sample inside it.
            merged = np.sort(np.concatenate([edge.samples()[0] for edge in same_child]))
            for edge in same_child:
                known = edge.samples()[0]
                low = np.searchsorted(merged, known[:-1], side="right")
                edge.open = np.searchsorted(merged, known[1:], side="left") == low
        self._graph = _Graph(_neighbours(edges), _neighbours(e for e in edges if e.static),
                             switching, [edge for edge in edges if edge.conflict])
        return self._graph

    def _usable_graph(self) -> _Graph:
        graph = self._prepared()
        if graph.conflicts:
            edge = graph.conflicts[0]
            more = len(graph.conflicts) - 1
            raise TfError(
                f"the edge {_quoted(edge.parent)} → {_quoted(edge.child)} is on both /tf and "
                f"/tf_static: {edge.dynamic_recorded:,} transforms on /tf, "
                f"{edge.static_recorded:,} on /tf_static; the samples of only one can be used"
                + (f" ({more} more edge{'s are' if more > 1 else ' is'} on both)" if more else ""))
        return graph

    def path(self, source: str, target: str) -> list[Step]:
        """The edges from frame `source` to frame `target` over all the edges with usable
        samples, each with True where it is walked from parent to child; the fewest edges.
        Raises TfError for an unknown frame, no path or an edge on both /tf and /tf_static."""
        graph = self._usable_graph()
        source, target = frame_id(source), frame_id(target)
        frames = self.frames
        unknown = [name for name in (source, target) if name not in frames]
        if unknown:
            raise self._unknown(f"the bag's tf tree has no frame "
                                f"{' or '.join(map(_quoted, unknown))}")
        steps = _search(graph.neighbours, source, target)
        if steps is None:
            raise self._unknown(f"the bag's tf tree has no path between {_quoted(source)} and "
                                f"{_quoted(target)}")
        return steps

    def lookup(self, source: str, target: str, stamps: Any) -> Lookup:
        """The pose of frame `target` in frame `source` at each of `stamps` ((N,) int64 ns).
        Raises TfError for an unknown frame, no path at any stamp, or an edge on both /tf and
        /tf_static; a stamp without a path is not valid."""
        np = require("numpy")
        stamps = np.asarray(stamps, dtype=np.int64).reshape(-1)
        steps = self.path(source, target)
        frames = [frame_id(source)]
        for edge, down in steps:
            frames.append(edge.child if down else edge.parent)
        tf = np.empty((len(stamps), 7))
        valid = np.empty(len(stamps), dtype=bool)
        graph = self._usable_graph()
        switching = {id(edge) for edge in graph.switching}
        if not any(id(edge) in switching for edge, _ in steps):
            # Shortest over all the edges and through no frame that changes parent: shortest
            # among the edges usable at any stamp too.
            block = LOOKUP_BLOCK
            for first in range(0, len(stamps), block):
                part = slice(first, first + block)
                tf[part], valid[part] = _compose(steps, stamps[part])
        else:
            self._lookup_switching(graph, frame_id(source), frame_id(target), stamps, tf, valid)
        if not valid.all():
            tf[~valid] = np.nan
        return Lookup(tf, valid, tuple(frames))

    def _lookup_switching(self, graph: _Graph, source: str, target: str, stamps: Any,
                          tf: Any, valid: Any) -> None:
        """Fills `tf` and `valid` block by block: the stamps grouped by which edges of the frames
        with several parents are usable there, a path found per group."""
        np = require("numpy")
        switching = graph.switching
        paths: dict[bytes, list[Step] | None] = {}
        block = max(1, min(LOOKUP_BLOCK, _MASK_BYTES // len(switching)))
        for first in range(0, len(stamps), block):
            part = stamps[first:first + block]
            usable = np.empty((len(part), len(switching)), dtype=bool)
            for column, edge in enumerate(switching):
                usable[:, column] = edge.usable(part)
            keys, group = np.unique(np.packbits(usable, axis=1), axis=0, return_inverse=True)
            group = group.reshape(-1)
            order = np.argsort(group, kind="stable")
            bounds = np.searchsorted(group[order], np.arange(len(keys) + 1))
            for index, key in enumerate(keys):
                code = key.tobytes()
                if code not in paths:
                    bits = np.unpackbits(key)[:len(switching)]
                    paths[code] = _search(graph.neighbours, source, target, frozenset(
                        id(edge) for edge, ok in zip(switching, bits) if not ok))
                rows = first + order[bounds[index]:bounds[index + 1]]
                steps = paths[code]
                if steps is None:
                    valid[rows] = False
                else:
                    tf[rows], valid[rows] = _compose(steps, stamps[rows])

    def static_pose(self, source: str, target: str) -> tuple[float, ...] | None:
        """The pose [x, y, z, qw, qx, qy, qz] of frame `target` in frame `source` when a path of
        static edges joins them (the fewest edges), the identity when they are the same frame;
        None otherwise (an unknown frame included, or a pose that overflows). Raises TfError
        for an edge on both /tf and /tf_static."""
        np = require("numpy")
        graph = self._usable_graph()
        source, target = frame_id(source), frame_id(target)
        if source == target:
            return IDENTITY
        steps = _search(graph.static_neighbours, source, target)
        if steps is None:
            return None
        tf, valid = _compose(steps, np.zeros(1, dtype=np.int64))
        return tuple(float(v) for v in tf[0]) if valid[0] else None


def _compose(steps: list[Step], stamps: Any) -> tuple[Any, Any]:
    """(tf (N, 7), valid (N,)): the pose reached along `steps` at `stamps`, composed edge by
    edge: t_SC = t_SB + R(q_SB)·t_BC, q_SC = q_SB ⊗ q_BC. The first edge is taken as it is, so
    that a single edge walked down gives its samples to the bit; a pose that is not finite is not
    valid."""
    np = require("numpy")
    count = len(stamps)
    valid = np.ones(count, dtype=bool)
    t_s: Any = None
    q_s: Any = None
    with np.errstate(over="ignore", invalid="ignore"):
        for edge, down in steps:
            t_e, q_e, edge_valid = edge.at(stamps)
            valid &= edge_valid
            if not down:  # walked from child to parent: the inverse pose
                q_e = quaternion.q_conjugate(q_e)
                t_e = tuple(-c for c in quaternion.rotate(q_e, t_e))
            if q_s is None:
                t_s, q_s = t_e, q_e
            else:
                t_s = quaternion.add(t_s, quaternion.rotate(q_s, t_e))
                q_s = quaternion.q_multiply(q_s, q_e)
        tf = np.empty((count, 7))
        if q_s is None:
            tf[:] = IDENTITY
        else:
            for column, component in enumerate((*t_s, *q_s)):
                tf[:, column] = component
                valid &= np.isfinite(component)
    return tf, valid
