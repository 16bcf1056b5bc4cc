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


# Sizes are in points (1/72 inch) of the picture drawn at full scale.
NAME_FONT = 9.0  # frame names
DETAIL_FONT = 7.0  # the lines under a name: the edge from the parent, notes
TITLE_FONT = 10.0
LINE_SPACING = 1.3  # a line's height, in font sizes
BOX_PAD_X = 5.0  # between a box's side and its widest line
BOX_PAD_Y = 3.0
SIBLING_GAP = 12.0  # top-down: between neighbouring boxes of a level
LEVEL_GAP = 26.0  # top-down: between levels
ROW_GAP = 5.0  # left to right: between neighbouring boxes of a column
COLUMN_GAP = 40.0  # left to right: between columns
FAN_SLOPE = 0.12  # a gap between levels is at least this share of the widest fan of edges over it
MAX_GAP = 90.0
MARGIN = 12.0
LINE_WIDTH = 1.1
LEGEND_SAMPLE = 22.0  # the length of a line shown in the legend
LEGEND_GAP = 5.0
DPI = 120  # as `save_figure` draws
TEXT_WIDTH_MARGIN = 1.01  # over the sum of the characters' widths (kerning, rounding)
# A picture that fits VIEW_INCHES at full scale is drawn so, top-down if it fits that way, else
# left to right; a larger one is shrunk, its fonts down to MIN_SCALE of their size, and beyond
# that grows past VIEW_INCHES. Agg draws at most 2**16 pixels a side, and `save_figure` draws at
# 120 dpi: a huge tree is squeezed into MAX_INCHES a side and MAX_AREA square inches (some 60 MB
# of pixels), however small its text, rather than refused.
VIEW_INCHES = (60.0, 40.0)
MIN_SCALE = 6.0 / 9.0
MAX_INCHES = 200.0
MAX_AREA = 1000.0
ROOT_FILL = "#f5e6c8"
FRAME_FILL = "#e8f0fb"
LINE_COLOUR = "0.35"
BORDER_COLOUR = "0.3"
BOTH_COLOUR = "#c25400"  # an edge on both /tf and /tf_static
DROPPED_COLOUR = "#c62828"  # an edge with transforms dropped as unusable
NOTE_COLOUR = "0.3"
OTHER_PARENTS = 3  # parents named in a note "also under ..."
# Time ranges are seconds of the header stamps; stamps past this (wall-clock time rather than a
# simulation's) are written as seconds after the whole second before the earliest one.
ABSOLUTE_UP_TO_NS = 10**15


def _span_text(first_ns: int, last_ns: int, origin_ns: int) -> str:
    """"100.0–101.0 s" (with as many decimals as tell the two apart), or "100.0 s" for one
    stamp; seconds after `origin_ns`."""
    first, last = (first_ns - origin_ns) / 1e9, (last_ns - origin_ns) / 1e9
    if first_ns == last_ns:
        return f"{first:.1f} s"
    for decimals in range(1, 10):
        low, high = f"{first:.{decimals}f}", f"{last:.{decimals}f}"
        if low != high:
            break
    return f"{low}–{high} s"


def edge_label(row: FrameRow, origin_ns: int = 0) -> str:
    """The edge from the row's parent as drawn under its name: "static", "10 Hz, 100.0–101.0 s",
    "dynamic, at 100.0 s" (one stamp), "dynamic, none usable", "static+dynamic, 1 Hz, ...";
    "" for a root. Times in seconds after `origin_ns`."""
    if row.parent is None:
        return ""
    if row.static and not row.conflict:
        return "static"
    if row.first_ns is None or row.last_ns is None:
        span = "none usable"
    elif row.first_ns == row.last_ns:
        span = f"at {_span_text(row.first_ns, row.last_ns, origin_ns)}"
    else:
        span = _span_text(row.first_ns, row.last_ns, origin_ns)
    text = f"{row.rate_hz:.3g} Hz, {span}" if row.rate_hz is not None else f"dynamic, {span}"
    return f"static+dynamic, {text.removeprefix('dynamic, ')}" if row.conflict else text


def _tidy(parent: list[int], size: list[float], gap: float) -> list[float]:
    """Centres along a line of the nodes of a forest (`parent` of each, -1 for a root; parents
    before their children), `size` long each: the tidy drawing of Walker as made linear by
    Buchheim, Jünger and Leipert. Each subtree is placed as close to its left neighbours as their
    contours allow, at least `gap` apart level by level; a parent is centred over its first and
    last child; the subtrees between two that had to be pushed apart are spread evenly; a
    subtree is drawn the same wherever it is. The smallest left side is 0."""
    count = len(parent)
    root = count  # a virtual parent of the roots
    up = [root if p < 0 else p for p in parent] + [-1]
    children: list[list[int]] = [[] for _ in range(count + 1)]
    for node in range(count):
        children[up[node]].append(node)
    number = [0] * (count + 1)
    for kids in children:
        for index, kid in enumerate(kids):
            number[kid] = index
    width = [*size, 0.0]
    prelim = [0.0] * (count + 1)
    mod = [0.0] * (count + 1)
    shift = [0.0] * (count + 1)
    change = [0.0] * (count + 1)
    middle = [0.0] * (count + 1)
    thread = [-1] * (count + 1)
    ancestor = list(range(count + 1))

    def next_left(node: int) -> int:
        return children[node][0] if children[node] else thread[node]

    def next_right(node: int) -> int:
        return children[node][-1] if children[node] else thread[node]

    def apportion(node: int, default: int) -> int:
        # Inside (i) and outside (o) contours, left (l) and right (r) of the cut between the
        # node's subtree and its left siblings', with their sums of modifiers (s).
        siblings = children[up[node]]
        vir = vor = node
        vil, vol = siblings[number[node] - 1], siblings[0]
        sir, sor, sil, sol = mod[vir], mod[vor], mod[vil], mod[vol]
        while True:
            right, left = next_right(vil), next_left(vir)
            if right < 0 or left < 0:
                break
            vil, vir, vol, vor = right, left, next_left(vol), next_right(vor)
            ancestor[vor] = node
            push = prelim[vil] + sil - prelim[vir] - sir + (width[vil] + width[vir]) / 2 + gap
            if push > 0:
                moved = ancestor[vil] if up[ancestor[vil]] == up[node] else default
                subtrees = number[node] - number[moved]
                change[node] -= push / subtrees
                shift[node] += push
                change[moved] += push / subtrees
                prelim[node] += push
                mod[node] += push
                sir += push
                sor += push
            sil += mod[vil]
            sir += mod[vir]
            sol += mod[vol]
            sor += mod[vor]
        if next_right(vil) >= 0 and next_right(vor) < 0:
            thread[vor] = next_right(vil)
            mod[vor] += sil - sor
        if next_left(vir) >= 0 and next_left(vol) < 0:
            thread[vol] = next_left(vir)
            mod[vol] += sir - sol
            default = node
        return default

    # Children before parents: every subtree is done when its parent places it.
    for node in [*range(count - 1, -1, -1), root]:
        kids = children[node]
        if not kids:
            continue
        default = kids[0]
        prelim[default] = middle[default]
        for left, kid in zip(kids, kids[1:]):
            prelim[kid] = prelim[left] + (width[left] + width[kid]) / 2 + gap
            if children[kid]:
                mod[kid] = prelim[kid] - middle[kid]
            default = apportion(kid, default)
        moved = pushed = 0.0
        for kid in reversed(kids):
            prelim[kid] += moved
            mod[kid] += moved
            pushed += change[kid]
            moved += shift[kid] + pushed
        middle[node] = (prelim[kids[0]] + prelim[kids[-1]]) / 2
    total = [0.0] * (count + 1)  # the sum of the ancestors' modifiers
    centre = [0.0] * count
    for node in range(count):
        total[node] = total[up[node]] + mod[up[node]]
        centre[node] = prelim[node] + total[node]
    low = min((c - w / 2 for c, w in zip(centre, size)), default=0.0)
    return [c - low for c in centre]


@dataclass
class _Node:
    lines: list[tuple[str, float, str, str]]  # (text, font size at full scale, colour, gid)
    depth: int
    fill: str
    border: str
    width: float = 0.0  # of the box, in points of the picture
    height: float = 0.0


@dataclass
class _Layout:
    boxes: list[tuple[float, float, float, float]]  # (left, top, width, height), y down
    ends: list[float]  # the far side (bottom, or right) of the level of each box
    width: float
    height: float
    top_down: bool


def _nodes(rows: list[FrameRow], parent: list[int], origin_ns: int) -> list[_Node]:
    """The box of each row: its frame, the edge from its parent, the transforms dropped, and
    notes for a frame under several parents or closing a cycle."""
    depth = [0] * len(rows)
    parents_of: dict[str, list[str]] = {}
    for index, row in enumerate(rows):
        if parent[index] >= 0:
            depth[index] = depth[parent[index]] + 1
        if row.parent is not None:
            parents_of.setdefault(row.frame, []).append(row.parent)
    nodes = []
    for index, row in enumerate(rows):
        lines = [(escaped(row.frame), NAME_FONT, "black", "frame")]
        if row.parent is not None:
            lines.append((edge_label(row, origin_ns), DETAIL_FONT,
                          BOTH_COLOUR if row.conflict else NOTE_COLOUR, "edge"))
        if row.dropped:
            lines.append((f"{row.dropped:,} dropped", DETAIL_FONT, DROPPED_COLOUR, "dropped"))
        if row.parent is not None and parent[index] < 0:
            lines.append((f"under {escaped(row.parent)}, in a cycle", DETAIL_FONT, NOTE_COLOUR,
                          "note"))
        others = [p for p in parents_of.get(row.frame, []) if p != row.parent]
        if others:
            named = ", ".join(escaped(p) for p in others[:OTHER_PARENTS])
            more = (f" and {len(others) - OTHER_PARENTS} more"
                    if len(others) > OTHER_PARENTS else "")
            lines.append((f"also under {named}{more}", DETAIL_FONT, NOTE_COLOUR, "note"))
        border = (DROPPED_COLOUR if row.dropped else BOTH_COLOUR if row.conflict
                  else BORDER_COLOUR)
        nodes.append(_Node(lines, depth[index], FRAME_FILL if row.parent else ROOT_FILL,
                           border))
    return nodes


def _layout(nodes: list[_Node], parent: list[int], top_down: bool, scale: float) -> _Layout:
    """Boxes for the nodes, by depth in levels from the top (boxes top-aligned) or in columns from
    the left (boxes left-aligned); along a level, the tidy placement of `_tidy`."""
    levels = max((node.depth for node in nodes), default=-1) + 1
    across = [node.height if top_down else node.width for node in nodes]
    along = [node.width if top_down else node.height for node in nodes]
    centre = _tidy(parent, along, (SIBLING_GAP if top_down else ROW_GAP) * scale)
    thickness = [0.0] * levels
    fan = [0.0] * levels  # the widest spread, along the levels, of an edge leaving each level
    for index, node in enumerate(nodes):
        thickness[node.depth] = max(thickness[node.depth], across[index])
        if parent[index] >= 0:
            spread = abs(centre[index] - centre[parent[index]])
            fan[node.depth - 1] = max(fan[node.depth - 1], spread)
    start = [0.0] * levels
    for level in range(1, levels):
        gap = min(MAX_GAP * scale, max((LEVEL_GAP if top_down else COLUMN_GAP) * scale,
                                       FAN_SLOPE * fan[level - 1]))
        start[level] = start[level - 1] + thickness[level - 1] + gap
    boxes = []
    for index, node in enumerate(nodes):
        low = centre[index] - along[index] / 2
        if top_down:
            boxes.append((low, start[node.depth], along[index], across[index]))
        else:
            boxes.append((start[node.depth], low, across[index], along[index]))
    ends = [start[node.depth] + thickness[node.depth] for node in nodes]
    extent_along = max((c + a / 2 for c, a in zip(centre, along)), default=0.0)
    extent_across = start[-1] + thickness[-1] if levels else 0.0
    if top_down:
        return _Layout(boxes, ends, extent_along, extent_across, True)
    return _Layout(boxes, ends, extent_across, extent_along, False)


def _fit(size: tuple[float, float], inches: tuple[float, float]) -> float:
    """The scale (at most 1) at which a picture of `size` points fits `inches`."""
    return min(1.0, inches[0] * 72.0 / size[0], inches[1] * 72.0 / size[1])


def draw_tree(rows: list[FrameRow], title: str) -> Any:
    """A matplotlib Figure of the tree: one box per row (a frame with two parents has a box under
    each, noted "also under ..."; a frame that closes a cycle is drawn as a root, an arrow from
    its parent's box, noted "under ..., in a cycle"), holding the frame's name, the edge from
    its parent (`edge_label`) and the number of transforms dropped, in red. Edges: dynamic
    solid, static dashed, on both topics dash-dotted in orange. Boxes are as wide as their text
    and never overlap: the tidy layout of `_tidy`, top-down or, when only that fits
    VIEW_INCHES, left to right; a larger tree is scaled down (see VIEW_INCHES), and one too
    large to be read even at MIN_SCALE has the names alone in its boxes. Drawn at
    `save_figure`'s 120 dpi. Text is drawn as written (no mathtext), frame ids escaped. Time
    and memory grow linearly with the rows."""
    require("matplotlib")
    figure_module = require("matplotlib.figure")
    backend = require("matplotlib.backends.backend_agg")
    collections = require("matplotlib.collections")
    patches = require("matplotlib.patches")
    font_manager = require("matplotlib.font_manager")
    transforms = require("matplotlib.transforms")
    fig = figure_module.Figure(dpi=DPI)
    renderer = backend.FigureCanvasAgg(fig).get_renderer()
    glyphs: dict[tuple[str, float], float] = {}

    def text_width(text: str, size: float) -> float:
        # A bound on the width of `text` as Agg draws it at DPI (glyphs fitted to pixels) and as
        # vector formats draw it (as Agg does at ten times the size, where fitting is
        # negligible): the sum of its characters' widths, measured once each.
        total = 0.0
        for char in text:
            width = glyphs.get((char, size))
            if width is None:
                width = 0.0
                for factor in (1.0, 10.0):
                    font = font_manager.FontProperties(size=size * factor)
                    pixels = renderer.get_text_width_height_descent(char, font, ismath=False)[0]
                    width = max(width, pixels * 72.0 / DPI / factor)
                glyphs[(char, size)] = width
            total += width
        return total * TEXT_WIDTH_MARGIN

    count = len(rows)
    # The parent of each row is the last row before it one level up (rows are depth first); a
    # row at depth 0 with a parent closes a cycle: it is drawn as a root.
    parent = [-1] * count
    stack: list[int] = []
    for index, row in enumerate(rows):
        del stack[row.depth:]
        if row.depth > 0 and stack:
            parent[index] = stack[-1]
        stack.append(index)
    stamps = [s for row in rows for s in (row.first_ns, row.last_ns) if s is not None]
    origin = (min(stamps) // 10**9 * 10**9
              if stamps and max(stamps) > ABSOLUTE_UP_TO_NS else 0)
    nodes = _nodes(rows, parent, origin)
    title_text = escaped(title)
    legend = [("-", LINE_COLOUR, "dynamic (/tf)"), ("--", LINE_COLOUR, "static (/tf_static)"),
              ("-.", BOTH_COLOUR, "static+dynamic (on both)"),
              ("", DROPPED_COLOUR, "transforms dropped as unusable"),
              ("", "", f"times: seconds of the header stamps after {origin // 10**9} s"
               if origin else "times: seconds of the header stamps")]

    def arrange(top_down: bool, scale: float) -> tuple[_Layout, tuple[float, float]]:
        for node in nodes:
            node.width = (max(text_width(text, size * scale) for text, size, *_ in node.lines)
                          + 2 * BOX_PAD_X * scale)
            node.height = (sum(size for _, size, *_ in node.lines) * LINE_SPACING
                           + 2 * BOX_PAD_Y) * scale
        layout = _layout(nodes, parent, top_down, scale)
        legend_width = sum(text_width(text, DETAIL_FONT * scale)
                           + (LEGEND_SAMPLE + LEGEND_GAP) * scale * (style != "" or colour != "")
                           + 2 * LEGEND_GAP * scale for style, colour, text in legend)
        width = max(layout.width, text_width(title_text, TITLE_FONT * scale), legend_width)
        height = layout.height + (TITLE_FONT + DETAIL_FONT) * LINE_SPACING * scale
        return layout, (width + 2 * MARGIN * scale, height + 4 * MARGIN * scale)

    def choose() -> tuple[bool, float]:
        # Top-down if it fits VIEW_INCHES, else left to right if that fits; else the one that
        # needs shrinking less, down to MIN_SCALE; beyond, at MIN_SCALE or less, within the Agg
        # limits.
        sizes = [arrange(top_down, 1.0)[1] for top_down in (True, False)]
        fits = [_fit(size, VIEW_INCHES) for size in sizes]
        if max(fits) >= MIN_SCALE:
            return fits[0] >= fits[1], max(fits)
        hard = [min(_fit(size, (MAX_INCHES, MAX_INCHES)),
                    (MAX_AREA * 72.0**2 / (size[0] * size[1])) ** 0.5) for size in sizes]
        return hard[0] >= hard[1], min(MIN_SCALE, max(hard))

    top_down, scale = choose()
    if scale < MIN_SCALE:
        # Too small to be read: the boxes hold the names alone (and the picture is drawn in
        # a time that grows with the names, not with all the lines).
        for node in nodes:
            del node.lines[1:]
        top_down, scale = choose()
    layout, (width, height) = arrange(top_down, scale)
    fig.set_size_inches(width / 72.0, height / 72.0)
    # Points from the top left corner of the picture, y down.
    points = (transforms.Affine2D().scale(1 / 72.0, -1 / 72.0).translate(0.0, height / 72.0)
              + fig.dpi_scale_trans)
    margin = MARGIN * scale
    fig.text(width / 2, margin, title_text, fontsize=TITLE_FONT * scale, ha="center", va="top",
             parse_math=False, gid="title", transform=points)
    left = (width - layout.width) / 2
    top = 2 * margin + TITLE_FONT * LINE_SPACING * scale
    boxes = [(left + x, top + y, w, h) for x, y, w, h in layout.boxes]
    ends = [end + (top if top_down else left) for end in layout.ends]
    line_width = LINE_WIDTH * scale

    # An edge leaves the middle of the parent's bottom (right) side, goes straight to the end of
    # its level, then to the middle of the child's top (left) side.
    styles = {"dynamic": ("-", LINE_COLOUR), "static": ("--", LINE_COLOUR),
              "static+dynamic": ("-.", BOTH_COLOUR)}
    segments: dict[str, list[Any]] = {kind: [] for kind in styles}
    for index, above in enumerate(parent):
        if above >= 0:
            x0, y0, w0, h0 = boxes[above]
            x1, y1, w1, h1 = boxes[index]
            segments[rows[index].kind].append(
                [(x0 + w0 / 2, y0 + h0), (x0 + w0 / 2, ends[above]), (x1 + w1 / 2, y1)]
                if top_down else
                [(x0 + w0, y0 + h0 / 2), (ends[above], y0 + h0 / 2), (x1, y1 + h1 / 2)])
    for kind, (style, colour) in styles.items():
        if segments[kind]:
            fig.add_artist(collections.LineCollection(
                segments[kind], colors=colour, linewidths=line_width, linestyles=style,
                zorder=1, gid=f"edges {kind}", transform=points))
    # An edge that closes a cycle: an arrow from the side (top) of the parent's first box.
    first_row: dict[str, int] = {}
    for index, row in enumerate(rows):
        first_row.setdefault(row.frame, index)
    for index, row in enumerate(rows):
        if row.parent is None or parent[index] >= 0 or row.parent not in first_row:
            continue
        ends_at = []
        for x, y, w, h in (boxes[first_row[row.parent]], boxes[index]):
            ends_at.append((x + w, y + h / 2) if top_down else (x + w / 2, y))
        style, colour = styles[row.kind]
        fig.add_artist(patches.FancyArrowPatch(
            *ends_at, connectionstyle="arc3,rad=0.4", arrowstyle="-|>",
            mutation_scale=10 * scale, color=colour, linestyle=style, linewidth=line_width,
            zorder=1, gid="cycle", transform=points))

    fig.add_artist(collections.PatchCollection(
        [patches.FancyBboxPatch((x, y), w, h, boxstyle="round,pad=0,rounding_size=3")
         for x, y, w, h in boxes],
        facecolors=[node.fill for node in nodes], edgecolors=[node.border for node in nodes],
        linewidths=[line_width * (1.5 if node.border != BORDER_COLOUR else 0.7)
                    for node in nodes], zorder=2, gid="frames", transform=points))
    for (x, y, w, _), node in zip(boxes, nodes):
        line_top = y + BOX_PAD_Y * scale
        for text, size, colour, gid in node.lines:
            line_height = size * LINE_SPACING * scale
            fig.text(x + w / 2, line_top + line_height / 2, text, fontsize=size * scale,
                     color=colour, ha="center", va="center", zorder=3, parse_math=False,
                     gid=gid, transform=points)
            line_top += line_height

    # The legend, along the bottom.
    x = margin
    y = height - margin - DETAIL_FONT * LINE_SPACING * scale / 2
    sample, gap = LEGEND_SAMPLE * scale, LEGEND_GAP * scale
    for style, colour, text in legend:
        if style:
            fig.add_artist(collections.LineCollection(
                [[(x, y), (x + sample, y)]], colors=colour, linestyles=style,
                linewidths=line_width, transform=points))
        elif colour:
            fig.add_artist(patches.Rectangle(
                (x, y - 4.0 * scale), sample, 8.0 * scale, facecolor=FRAME_FILL,
                edgecolor=colour, linewidth=1.5 * line_width, transform=points))
        if style or colour:
            x += sample + gap
        fig.text(x, y, text, fontsize=DETAIL_FONT * scale, color=NOTE_COLOUR, ha="left",
                 va="center", parse_math=False, gid="legend", transform=points)
        x += text_width(text, DETAIL_FONT * scale) + 2 * gap
    return fig


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "frames", help="the tf tree recorded in a ROS bag",
        description=DESCRIPTION,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bag", metavar="BAG",
                        help="a ROS 1 bag (.bag), a rosbag2 directory (SQLite3 or MCAP) or a "
                             "lone .mcap file")
    parser.add_argument("--output", "-o", metavar="tree.png",
                        help="draw the tree into this picture (.png, .svg or .pdf)")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="no progress bar (one is shown on a terminal for large bags)")
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
    tree, notes = tf_tree_of(args.bag, bool(args.skip_damaged), bool(args.quiet))
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
