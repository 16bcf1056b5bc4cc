"""``kivo-tf frames``: the tf tree recorded in a ROS bag (its ``/tf`` and ``/tf_static``).

One line per frame, in tree order: its parent, whether the edge is static or dynamic, how many
transforms of it the bag holds, their mean rate, and the time range they cover (seconds of the
transforms' header stamps). ``-o tree.png`` (or ``.svg``, ``.pdf``) draws the tree.

matplotlib is imported only when a picture is drawn (Agg canvas, no pyplot state).
"""
from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from typing import Any

from kivo_tf_tools._deps import require
from kivo_tf_tools.bags import BagError, is_bag, read_tf_tree, stamp_text
from kivo_tf_tools.draw import FORMATS, save_figure
from kivo_tf_tools.tf_tree import TfTree

DESCRIPTION = """\
Print the tf tree recorded in a ROS bag (its /tf and /tf_static topics): each frame with its
parent, static or dynamic, the number of transforms of it in the bag, their mean rate and the
time range they cover (seconds of their header stamps). With -o, draw the tree.
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
    transforms: int  # transforms of the edge in the bag
    rate_hz: float | None  # mean rate of a dynamic edge with two stamps or more
    first_ns: int | None
    last_ns: int | None


def frame_rows(tree: TfTree) -> list[FrameRow]:
    """Every frame of `tree`, depth first from the roots (names sorted); a frame with two
    parents appears under each."""
    children: dict[str, list[str]] = {}
    for parent, child in tree.edges:
        children.setdefault(parent, []).append(child)
    parents = tree.parents()
    roots = sorted(f for f in tree.frames if f not in parents) or sorted(tree.frames)[:1]
    rows: list[FrameRow] = []

    def walk(name: str, parent: str | None, depth: int, seen: frozenset[str]) -> None:
        if parent is None:
            rows.append(FrameRow(name, depth, None, False, 0, None, None, None))
        else:
            edge = tree.edges[(parent, name)]
            first, last = min(edge.stamps), max(edge.stamps)
            rate = ((len(edge.stamps) - 1) * 1e9 / (last - first)
                    if not edge.static and last > first else None)
            rows.append(FrameRow(name, depth, parent, edge.static, len(edge.stamps), rate,
                                 first, last))
        for child in sorted(children.get(name, [])):
            if child not in seen:
                walk(child, name, depth + 1, seen | {child})

    for root in roots:
        walk(root, None, 0, frozenset({root}))
    return rows


def table_lines(rows: list[FrameRow]) -> list[str]:
    """The rows as an aligned text table, frames indented by depth."""
    header = ("frame", "parent", "kind", "transforms", "rate", "time range (s)")
    cells = [header]
    for row in rows:
        if row.parent is None:
            cells.append(("  " * row.depth + row.frame, "-", "root", "-", "-", "-"))
            continue
        rate = f"{row.rate_hz:.3g} Hz" if row.rate_hz is not None else "-"
        assert row.first_ns is not None and row.last_ns is not None
        span = (stamp_text(row.first_ns) if row.first_ns == row.last_ns
                else f"{stamp_text(row.first_ns)} .. {stamp_text(row.last_ns)}")
        cells.append(("  " * row.depth + row.frame, row.parent,
                      "static" if row.static else "dynamic", f"{row.transforms:,}", rate, span))
    widths = [max(len(c[k]) for c in cells) for k in range(len(header))]
    return ["  ".join(c[k].ljust(widths[k]) for k in range(len(header))).rstrip()
            for c in cells]


def draw_tree(rows: list[FrameRow], title: str) -> Any:
    """A matplotlib Figure of the tree: one box per frame, roots at the top, each edge labelled
    static or with its rate; dashed edges are static."""
    require("matplotlib")
    figure_module = require("matplotlib.figure")
    backend = require("matplotlib.backends.backend_agg")
    # Leaves take successive columns; a parent sits above the middle of its children.
    position: dict[int, tuple[float, float]] = {}
    next_column = 0.0
    for index in range(len(rows) - 1, -1, -1):
        row = rows[index]
        kids = [k for k in range(index + 1, len(rows)) if rows[k].depth == row.depth + 1
                and all(rows[m].depth > row.depth for m in range(index + 1, k + 1))]
        if kids:
            xs = [position[k][0] for k in kids]
            position[index] = ((min(xs) + max(xs)) / 2.0, -float(row.depth))
        else:
            position[index] = (next_column, -float(row.depth))
            next_column -= 1.0
    shift = -next_column - 1.0
    position = {k: (x + shift, y) for k, (x, y) in position.items()}
    depth = max((row.depth for row in rows), default=0)
    fig = figure_module.Figure(figsize=(max(4.0, 1.8 * (shift + 1.0)), 1.3 * (depth + 1) + 0.8))
    backend.FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    ax.set_axis_off()
    ax.set_title(title, fontsize=10)
    parent_index: dict[int, int] = {}
    stack: list[int] = []
    for index, row in enumerate(rows):
        del stack[row.depth:]
        if row.depth > 0 and stack:
            parent_index[index] = stack[-1]
        stack.append(index)
    for index, parent in parent_index.items():
        row = rows[index]
        (x0, y0), (x1, y1) = position[parent], position[index]
        ax.plot([x0, x1], [y0, y1], color="0.4", linewidth=1.2,
                linestyle="--" if row.static else "-", zorder=1)
        label = "static" if row.static else (
            f"{row.rate_hz:.3g} Hz" if row.rate_hz is not None else f"{row.transforms}×")
        ax.text((x0 + x1) / 2.0, (y0 + y1) / 2.0, label, fontsize=7, ha="center", va="center",
                color="0.25", bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none"},
                zorder=2)
    for index, row in enumerate(rows):
        x, y = position[index]
        ax.text(x, y, row.frame, fontsize=9, ha="center", va="center", zorder=3,
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
    parser.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    require("numpy")
    require("rosbags")
    highlevel = require("rosbags.highlevel")
    typesys = require("rosbags.typesys")
    if not is_bag(args.bag):
        raise BagError(f"{args.bag} is not a ROS bag: give a .bag file or a rosbag2 directory "
                       "(holding metadata.yaml)")
    try:
        with highlevel.AnyReader(
                [require("pathlib").Path(args.bag)],
                default_typestore=typesys.get_typestore(typesys.Stores.LATEST)) as reader:
            tree = read_tf_tree(reader)
    except (highlevel.AnyReaderError, OSError) as error:
        raise BagError(f"cannot read the bag {args.bag}: {error}") from None
    rows = frame_rows(tree)
    if not rows:
        print(f"{args.bag}: no transforms (the bag has no /tf or /tf_static messages)")
    for line in table_lines(rows) if rows else []:
        print(line)
    if args.output:
        fmt = os.path.splitext(args.output)[1].lstrip(".").lower()
        if fmt not in FORMATS:
            raise BagError(f"cannot draw into {args.output}: the name must end in .png, .svg "
                           "or .pdf")
        try:
            save_figure(draw_tree(rows, "tf tree of "
                                  f"{os.path.basename(os.path.normpath(args.bag))}"),
                        args.output, fmt)
        except OSError as error:
            raise BagError(f"cannot write {args.output}: {error.strerror}") from None
        print(f"kivo-tf frames: wrote {args.output}", file=sys.stderr)
    return 0
