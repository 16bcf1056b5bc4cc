"""``kivo-tf frames``: the tf tree recorded in a ROS bag (its ``/tf`` and ``/tf_static``).

One line per frame, in tree order: its parent, whether the edge is static, dynamic or on both
topics (static+dynamic), how many transforms of it the bag holds, their mean rate, and the time
range they cover (seconds of the transforms' header stamps). The rate counts distinct stamps, so
a transform published twice does not double it. Transforms that cannot be used (a value that is
not finite, a quaternion far from unit norm) are counted in the table and described under it. A
frame with two parents is shown under each; frames in a cycle, which no root reaches, follow the
rest. Frame ids are escaped as the tools print any input text. ``-o tree.png`` (or ``.svg``,
``.pdf``) draws the tree.

matplotlib is imported only when a picture is drawn (Agg canvas, no pyplot state).
"""
from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from typing import Any

from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._output import stderr_line
from kivo_tf_tools.bags import BagError, is_bag, stamp_text, tf_tree_of
from kivo_tf_tools.draw import FORMATS, save_figure
from kivo_tf_tools.tf_tree import UNIT_TOLERANCE, TfTree

DESCRIPTION = """\
Print the tf tree recorded in a ROS bag (its /tf and /tf_static topics): each frame with its
parent, static or dynamic (or static+dynamic: on both topics), the number of transforms of it in
the bag, their mean rate and the time range they cover (seconds of their header stamps); under
the table, the transforms dropped as unusable (a value that is not finite, or a quaternion far
from unit norm). With -o, draw the tree.
"""

EXAMPLE = """\
example:
  kivo-tf frames recording.bag
  kivo-tf frames rosbag2_dir -o tree.png     (or tree.svg, tree.pdf)
"""


@dataclass(frozen=True)
class FrameRow:
    """One frame of the tree with the edge from its parent."""

    frame: str
    depth: int  # 0 for a root
    parent: str | None  # None for a root
    static: bool
    transforms: int  # transforms of the edge in the bag, as recorded (dropped ones included)
    rate_hz: float | None  # mean rate of a dynamic edge's usable samples (distinct stamps,
    # two or more)
    first_ns: int | None  # range of the usable transforms' stamps (None when none is usable)
    last_ns: int | None
    conflict: bool = False  # the edge is on both /tf and /tf_static
    non_finite: int = 0  # transforms dropped for a value that is not finite
    not_unit: int = 0  # transforms dropped for a quaternion off unit norm
    first_dropped_ns: int | None = None  # the earliest stamp of those dropped

    @property
    def kind(self) -> str:
        if self.parent is None:
            return "root"
        return "static+dynamic" if self.conflict else "static" if self.static else "dynamic"

    @property
    def dropped(self) -> int:
        return self.non_finite + self.not_unit


def frame_rows(tree: TfTree) -> list[FrameRow]:
    """Every frame of `tree` in the order of `TfTree.walk`: depth first from the roots (names
    sorted), a frame with two parents under each, then the frames that no root reaches."""
    rows: list[FrameRow] = []
    for name, parent, depth in tree.walk():
        if parent is None:
            rows.append(FrameRow(name, depth, None, False, 0, None, None, None))
            continue
        edge = tree.edges[(parent, name)]
        stamps = edge.samples(static=False)[0]
        # Distinct stamps: a transform published twice is one sample.
        rate = ((len(stamps) - 1) * 1e9 / float(stamps[-1] - stamps[0])
                if len(stamps) > 1 else None)
        span = edge.stamp_range()
        dropped = edge.dropped()
        rows.append(FrameRow(
            name, depth, parent, edge.static, edge.transforms, rate,
            span[0] if span else None, span[1] if span else None, conflict=edge.conflict,
            non_finite=sum(d.non_finite for d in dropped),
            not_unit=sum(d.not_unit for d in dropped),
            first_dropped_ns=min((d.first_stamp for d in dropped), default=None)))
    return rows


def table_lines(rows: list[FrameRow]) -> list[str]:
    """The rows as an aligned text table, frames indented by depth, frame ids escaped; under it,
    the transforms dropped and the edges on both /tf and /tf_static, edge by edge."""
    header = ("frame", "parent", "kind", "transforms", "rate", "time range (s)")
    cells = [header]
    dropped: list[str] = []
    both: list[str] = []
    for row in rows:
        frame = "  " * row.depth + escaped(row.frame)
        if row.parent is None:
            cells.append((frame, "-", "root", "-", "-", "-"))
            continue
        rate = f"{row.rate_hz:.3g} Hz" if row.rate_hz is not None else "-"
        if row.first_ns is None or row.last_ns is None:
            span = "-"
        elif row.first_ns == row.last_ns:
            span = stamp_text(row.first_ns)
        else:
            span = f"{stamp_text(row.first_ns)} .. {stamp_text(row.last_ns)}"
        count = f"{row.transforms:,}"
        edge = f"  {escaped(row.parent)} → {escaped(row.frame)}"
        if row.dropped:
            count += f" ({row.dropped:,} dropped)"
            reasons = [f"{number:,} {text}" for number, text in (
                (row.non_finite, "not finite"),
                (row.not_unit, f"with |q|² off 1 by more than {UNIT_TOLERANCE:g}")) if number]
            assert row.first_dropped_ns is not None
            dropped.append(f"{edge}: {', '.join(reasons)}; the earliest at "
                           f"{stamp_text(row.first_dropped_ns)} s")
        if row.conflict:
            both.append(edge)
        cells.append((frame, escaped(row.parent), row.kind, count, rate, span))
    widths = [max(len(c[k]) for c in cells) for k in range(len(header))]
    lines = ["  ".join(c[k].ljust(widths[k]) for k in range(len(header))).rstrip()
             for c in cells]
    if dropped:
        lines += ["", "dropped transforms, not used:", *dropped]
    if both:
        lines += ["", "edges on both /tf and /tf_static (kivo-tf run takes --prefer-tf static or "
                  "--prefer-tf dynamic):", *both]
    return lines


# Agg draws at most 2**16 pixels a side, and `save_figure` draws at 120 dpi: a huge tree is
# squeezed into at most this many inches a side and square inches in all (some 60 MB of pixels)
# rather than refused.
MAX_INCHES = 200.0
MAX_AREA = 1000.0
LABELLED_EDGES = 500  # a larger tree has no edge labels: they would only overlap


def draw_tree(rows: list[FrameRow], title: str) -> Any:
    """A matplotlib Figure of the tree: one box per frame, roots at the top, each edge labelled
    static or with its rate; dashed edges are static. Text is drawn as written (no mathtext),
    frame ids escaped. Time and memory grow linearly with the rows."""
    require("matplotlib")
    figure_module = require("matplotlib.figure")
    backend = require("matplotlib.backends.backend_agg")
    collections = require("matplotlib.collections")
    count = len(rows)
    # The parent of each row is the last row before it one level up (rows are depth first).
    parent_index = [-1] * count
    stack: list[int] = []
    for index, row in enumerate(rows):
        del stack[row.depth:]
        if row.depth > 0 and stack:
            parent_index[index] = stack[-1]
        stack.append(index)
    # Leaves take successive columns; a parent sits above the middle of its children. A row's
    # children follow it, so one pass from the last row places them all.
    x = [0.0] * count
    low = [float("inf")] * count
    high = [float("-inf")] * count
    column = 0.0
    for index in range(count - 1, -1, -1):
        if low[index] <= high[index]:
            x[index] = (low[index] + high[index]) / 2.0
        else:
            x[index] = column
            column -= 1.0
        parent = parent_index[index]
        if parent >= 0:
            low[parent] = min(low[parent], x[index])
            high[parent] = max(high[parent], x[index])
    shift = -column - 1.0
    position = [(value + shift, -float(row.depth)) for value, row in zip(x, rows)]
    depth = max((row.depth for row in rows), default=0)
    width = min(MAX_INCHES, max(4.0, 1.8 * (shift + 1.0)))
    height = min(MAX_INCHES, 1.3 * (depth + 1) + 0.8)
    scale = min(1.0, (MAX_AREA / (width * height)) ** 0.5)
    fig = figure_module.Figure(figsize=(width * scale, height * scale))
    backend.FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    ax.set_axis_off()
    ax.set_title(escaped(title), fontsize=10, parse_math=False)
    segments: dict[bool, list[Any]] = {True: [], False: []}
    for index, parent in enumerate(parent_index):
        if parent < 0:
            continue
        row = rows[index]
        (x0, y0), (x1, y1) = position[parent], position[index]
        segments[row.static].append([(x0, y0), (x1, y1)])
        if count > LABELLED_EDGES:
            continue
        label = row.kind if row.static or row.conflict else (
            f"{row.rate_hz:.3g} Hz" if row.rate_hz is not None else f"{row.transforms}×")
        ax.text((x0 + x1) / 2.0, (y0 + y1) / 2.0, label, fontsize=7, ha="center", va="center",
                color="0.25", bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none"},
                zorder=2, parse_math=False)
    for static, lines in segments.items():
        if lines:
            ax.add_collection(collections.LineCollection(
                lines, colors="0.4", linewidths=1.2, linestyles="--" if static else "-",
                zorder=1))
    for (x_row, y_row), row in zip(position, rows):
        ax.text(x_row, y_row, escaped(row.frame), fontsize=9, ha="center", va="center",
                zorder=3, parse_math=False,
                bbox={"boxstyle": "round,pad=0.3", "fc": "#e8f0fb" if row.parent else "#f5e6c8",
                      "ec": "0.3"})
    ax.set_xlim(-0.7, shift + 0.7)
    ax.set_ylim(-depth - 0.5, 0.5)
    return fig


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "frames", help="the tf tree recorded in a ROS bag",
        description=DESCRIPTION,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bag", metavar="BAG",
                        help="a ROS 1 bag (.bag) or a rosbag2 directory (SQLite3 or MCAP)")
    parser.add_argument("--output", "-o", metavar="tree.png",
                        help="draw the tree into this picture (.png, .svg or .pdf)")
    parser.add_argument("--skip-damaged", action="store_true",
                        help="go on past tf messages that cannot be read or decoded (a damaged "
                             "bag) and say how many were skipped, instead of stopping")
    parser.set_defaults(func=run)


def _print(lines: list[str]) -> None:
    """The lines on the standard output; a stream that is closed or refuses them is an error of
    one line (a reader that went away ends the run quietly, as `| head` expects)."""
    if sys.stdout is None:
        raise BagError("standard output is closed")
    try:
        sys.stdout.write("".join(line + "\n" for line in lines))
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise BagError(f"cannot write standard output: {error.strerror or error}") from None


def run(args: argparse.Namespace) -> int:
    require("numpy")
    require("rosbags")
    if not is_bag(args.bag):
        raise BagError(f"{escaped(args.bag)} is not a ROS bag: give a .bag file or a rosbag2 "
                       "directory (holding metadata.yaml)")
    fmt = None
    if args.output:
        fmt = os.path.splitext(args.output)[1].lstrip(".").lower()
        if fmt not in FORMATS:
            raise BagError(f"cannot draw into {escaped(args.output)}: the name must end in "
                           ".png, .svg or .pdf")
    tree, notes = tf_tree_of(args.bag, bool(args.skip_damaged))
    rows = frame_rows(tree)
    if rows:
        _print(table_lines(rows))
    else:
        _print([f"{escaped(args.bag)}: no transforms (the bag has no /tf or /tf_static "
                "messages)"])
    for note in notes:
        stderr_line(f"kivo-tf frames: {note}")
    if args.output:
        assert fmt is not None
        try:
            save_figure(draw_tree(rows, "tf tree of "
                                  f"{escaped(os.path.basename(os.path.normpath(args.bag)))}"),
                        args.output, fmt)
        except OSError as error:
            raise BagError(f"cannot write {escaped(args.output)}: {error.strerror}") from None
        stderr_line(f"kivo-tf frames: wrote {escaped(args.output)}")
    return 0
