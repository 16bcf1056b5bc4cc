"""``kivo-tf draw``: a 3-D picture of the frames that each section of a configuration file sets up.

Per section (one panel each): the fixed frame F and the moving frame M as x/y/z triads in
red/green/blue; the input and output reference points resolved into F, each with its expression
axes drawn as a smaller triad; the lever arm from the input to the output point. Everything is
placed exactly as the block places it:

- wrench, twist, IMU: M is the fixed-to-moving-frame transform (t_FM, q_FM) given with ``--tf``
  (identity by default); a point p in the moving frame sits at R(q_FM)·p + t_FM, axes q in the
  moving frame are q_FM ⊗ q;
- pose: M follows from the input pose [p, q] given with ``--pose`` (identity by default):
  q_M = normalise(q_in ⊗ q), p_F = R(q_in)·p, p_i = R(q_M)·p_in for an input point in the moving
  frame (else p_in), t_M = p_F − p_i; the input point is at p_F, the output point at
  t_M + R(q_M)·p_out in the moving frame (else p_out), output axes normalise(q_M ⊗ q_out) in the
  moving frame (else q_out).

Quaternions are [w, x, y, z] (Hamilton product) and R(q)·v = v + w·t + u × t with t = 2·(u × v),
applied without normalising, as the blocks do: a quaternion that is not of unit norm draws a
stretched triad. Lengths are in metres.

The triads follow the distances in the configuration (so that a flange's points a few centimetres
apart are not covered), or ``--axis-length``; ``--zoom-to-points`` leaves F's origin out of the
view. Each label sits beside its point on the side where no line leaves it. Text from the file
is shown with its control characters escaped.

matplotlib is imported only when a picture is drawn (Agg canvas, no pyplot state).
"""
from __future__ import annotations

import argparse
import math
import os
import re
import sys
import tempfile
import textwrap
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from kivo_tf_tools._deps import MissingDependency, require
from kivo_tf_tools.quaternion import (
    Quat,
    Vec3,
    add,
    is_unit,
    norm,
    q_multiply,
    q_normalised,
    rotate,
    subtract,
)
from kivo_tf_tools.sections import (
    FIXED_FRAME,
    MOVING_FRAME,
    POLICIES,
    ConfigError,
    Entry,
    Section,
    load_sections,
    printable,
)

if TYPE_CHECKING:
    from matplotlib.figure import Figure


FORMATS = ("png", "svg", "pdf")
AXIS_COLOURS = ("tab:red", "tab:green", "tab:blue")  # x, y, z
AXIS_NAMES = ("x", "y", "z")
INPUT_COLOUR = "darkorange"
OUTPUT_COLOUR = "purple"
IDENTITY_TF: tuple[float, ...] = (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0)


@dataclass(frozen=True)
class Frames:
    """Where one section's frames are, all in the fixed frame F (metres, [w, x, y, z]).

    p_in/q_in and p_out/q_out are None where the section leaves the entry unset."""

    t_M: Vec3
    q_M: Quat
    p_in: Vec3 | None
    q_in: Quat | None
    p_out: Vec3 | None
    q_out: Quat | None
    notes: tuple[str, ...]


def _vec3(entry: Entry | None) -> Vec3 | None:
    if entry is None or len(entry.values) != 3:
        return None
    return (entry.values[0], entry.values[1], entry.values[2])


def _quat(entry: Entry | None) -> Quat | None:
    if entry is None or len(entry.values) != 4:
        return None
    return (entry.values[0], entry.values[1], entry.values[2], entry.values[3])


def _moving(entry: Entry | None) -> bool:
    return entry is not None and entry.uses_moving_frame


SHORT_NAMES: dict[str, str] = {
    "set_input_reference_point": "p_in", "set_input_expression_axes": "q_in",
    "set_output_reference_point": "p_out", "set_output_expression_axes": "q_out"}


def _norm_notes(label: str, q: Quat) -> list[str]:
    if is_unit(q):
        return []
    return [f"{label}: |q| = {norm(q):.6g}, used unnormalised: R(q) = I + |q|²(R(q/|q|) - I)"]


def _entry_notes(section: Section) -> list[str]:
    """Origins that are neither spelling, and rotations that are not of unit norm."""
    notes = []
    for key, entry in section.entries.items():
        if entry is None:
            continue
        if entry.origin not in (FIXED_FRAME, MOVING_FRAME):
            notes.append(f"{SHORT_NAMES[key]}: origin {entry.origin!r} means the fixed frame")
        q = _quat(entry)
        if q is not None:
            notes += _norm_notes(SHORT_NAMES[key], q)
    return notes


def resolve_frames(section: Section, tf: tuple[float, ...] | None = None,
                   pose: tuple[float, ...] | None = None) -> Frames:
    """The frames of `section` placed in F as its block places them: with the fixed-to-moving-frame
    transform `tf` [x, y, z, qw, qx, qy, qz] (wrench, twist, IMU) or from the input pose `pose`
    [px, py, pz, qw, qx, qy, qz] (pose block); both default to the identity."""
    e = section.entries
    p_in, q_in = _vec3(e.get("set_input_reference_point")), _quat(e.get("set_input_expression_axes"))
    p_out, q_out = (_vec3(e.get("set_output_reference_point")),
                    _quat(e.get("set_output_expression_axes")))
    notes: list[str] = []
    if None in (p_in, q_in, p_out, q_out):
        notes.append("an entry is unset: update() is refused until code sets it")
    notes += _entry_notes(section)
    moving = {key: _moving(e.get(key)) for key in e}

    if section.block_class != "KivoTfPose":
        signal = tuple(tf) if tf is not None else IDENTITY_TF
        t_FM: Vec3 = (signal[0], signal[1], signal[2])
        q_FM: Quat = (signal[3], signal[4], signal[5], signal[6])

        def point(key: str, p: Vec3 | None) -> Vec3 | None:
            if p is None or not moving[key]:
                return p
            return add(rotate(q_FM, p), t_FM)

        def axes(key: str, q: Quat | None) -> Quat | None:
            if q is None or not moving[key]:
                return q
            return q_multiply(q_FM, q)

        notes += _norm_notes("tf", q_FM)
        if any(moving.values()) and tf is None:
            notes.append("uses moving_frame: M drawn at the identity (give --tf)")
        return Frames(t_FM, q_FM,
                      point("set_input_reference_point", p_in),
                      axes("set_input_expression_axes", q_in),
                      point("set_output_reference_point", p_out),
                      axes("set_output_expression_axes", q_out),
                      tuple(notes))

    signal = tuple(pose) if pose is not None else IDENTITY_TF
    p: Vec3 = (signal[0], signal[1], signal[2])
    q: Quat = (signal[3], signal[4], signal[5], signal[6])
    if moving["set_input_expression_axes"]:
        notes.append("input axes in moving_frame: every update() is refused")
    q_in_F: Quat = q_in if q_in is not None else (1.0, 0.0, 0.0, 0.0)
    q_M = q_normalised(q_multiply(q_in_F, q))
    p_F = rotate(q_in_F, p)
    offset: Vec3 = p_in if p_in is not None else (0.0, 0.0, 0.0)
    p_i = rotate(q_M, offset) if moving["set_input_reference_point"] else offset
    t_M = subtract(p_F, p_i)
    p_o = p_out
    if p_out is not None and moving["set_output_reference_point"]:
        p_o = add(t_M, rotate(q_M, p_out))
    q_o = q_out
    if q_out is not None and moving["set_output_expression_axes"]:
        q_o = q_normalised(q_multiply(q_M, q_out))
    # The measured position p_F is that of the input reference point.
    return Frames(t_M, q_M, p_F if p_in is not None else None, q_in, p_o, q_o, tuple(notes))


def _require_matplotlib() -> Any:
    require("matplotlib")
    figure = require("matplotlib.figure")
    backend = require("matplotlib.backends.backend_agg")
    return figure.Figure, backend.FigureCanvasAgg


def _fmt(values: tuple[float, ...]) -> str:
    # Rounding residue such as -1e-17 is shown as 0.
    return "[" + ", ".join(f"{0.0 if abs(v) < 1e-12 else v:.4g}" for v in values) + "]"


def _entry_lines(section: Section) -> list[str]:
    lines = []
    for key, short in SHORT_NAMES.items():
        label = f"{short:<5}"
        entry = section.entries.get(key)
        if entry is None:
            lines.append(f"{label} unset")
        else:
            unit = " m" if key.endswith("point") else ""
            origin = printable(entry.origin) if entry.origin else "(empty)"
            lines.append(f"{label} {origin:<12} {_fmt(entry.values)}{unit}")
    return lines


def _title(section: Section) -> str:
    policy = printable(section.policy)
    if section.policy not in POLICIES:
        policy = f"'{policy}' (-> best_effort)"
    name = f'"{printable(section.block_name)}"' if section.block_name else "(no name)"
    return f"{section.name}: {name}, policy {policy}"


# Text drawn from the file is shown as it is, never read as mathematical notation ($...$).
PLAIN = {"parse_math": False}


def _label(ax: Any, at: Vec3, text: str, offset: tuple[float, float], **style: Any) -> None:
    """A text at the 3-D point `at`, shifted on screen by `offset` points (x right, y up)."""
    from matplotlib.transforms import offset_copy

    shift = offset_copy(ax.transData, fig=ax.figure, x=offset[0], y=offset[1], units="points")
    ax.text(at[0], at[1], at[2], text, transform=shift, **PLAIN, **style)


Segment = tuple[Vec3, Vec3]


def _triad(ax: Any, origin: Vec3, q: Quat, length: float, *, width: float, style: str,
           tips: bool, zorder: float) -> list[Segment]:
    """Draws R(q)·e_x, R(q)·e_y, R(q)·e_z from `origin`, scaled by `length` (q unnormalised);
    returns the three segments."""
    segments = []
    for i, (colour, name) in enumerate(zip(AXIS_COLOURS, AXIS_NAMES)):
        unit: Vec3 = (1.0 if i == 0 else 0.0, 1.0 if i == 1 else 0.0, 1.0 if i == 2 else 0.0)
        d = rotate(q, unit)
        tip = (origin[0] + length * d[0], origin[1] + length * d[1], origin[2] + length * d[2])
        ax.plot([origin[0], tip[0]], [origin[1], tip[1]], [origin[2], tip[2]],
                color=colour, linewidth=width, linestyle=style, solid_capstyle="round",
                zorder=zorder)
        segments.append((origin, tip))
        if tips:
            _label(ax, tip, name, (0.0, 0.0), color=colour, fontsize=9, fontweight="bold",
                   ha="center", va="center", zorder=zorder + 0.5)
    return segments


# Directions on screen (degrees, anticlockwise from the right) tried for a label, and its
# distance from its point in typographic points.
LABEL_DIRECTIONS = tuple(range(0, 360, 30))
LABEL_DISTANCE = 10.0


def _screen(ax: Any, p: Vec3) -> tuple[float, float]:
    proj3d = require("mpl_toolkits.mplot3d.proj3d")
    x, y, _ = proj3d.proj_transform(p[0], p[1], p[2], ax.get_proj())
    sx, sy = ax.transData.transform((x, y))
    return float(sx), float(sy)


def _angle_apart(a: float, b: float) -> float:
    return abs((a - b + 180.0) % 360.0 - 180.0)


def _place_labels(ax: Any, labels: list[tuple[str, Vec3, dict[str, Any]]],
                  segments: list[Segment]) -> None:
    """Each label beside its point, in the direction on screen farthest from every line that
    leaves the point and from the labels already placed at the same spot. Call after the view
    (limits, aspect) is final."""
    placed: list[tuple[tuple[float, float], float]] = []
    for text, at, style in labels:
        here = _screen(ax, at)
        busy = []
        for a, b in segments:
            ends = [_screen(ax, a), _screen(ax, b)]
            for near, far in (ends, ends[::-1]):
                dx, dy = far[0] - near[0], far[1] - near[1]
                if math.hypot(near[0] - here[0], near[1] - here[1]) < 3.0 and \
                        math.hypot(dx, dy) > 1.0:
                    busy.append(math.degrees(math.atan2(dy, dx)))
        # A label already beside the same spot takes a wide sector: labels are wider than tall.
        crowd = 0
        for spot, direction in placed:
            if math.hypot(spot[0] - here[0], spot[1] - here[1]) < 20.0:
                busy += [direction - 45.0, direction, direction + 45.0]
                crowd += 1
        # The tried direction farthest from all busy ones; ties go to the first tried.
        best = max(LABEL_DIRECTIONS,
                   key=lambda d: min((_angle_apart(d, b) for b in busy), default=180.0))
        placed.append((here, float(best)))
        c, s = math.cos(math.radians(best)), math.sin(math.radians(best))
        align = {"ha": "left" if c > 0.3 else "right" if c < -0.3 else "center",
                 "va": "bottom" if s > 0.3 else "top" if s < -0.3 else "center"}
        distance = LABEL_DISTANCE * (1.0 + 0.5 * crowd)
        _label(ax, at, text, (distance * c, distance * s), **align, **style)


def _close(a: tuple[float, ...], b: tuple[float, ...], tolerance: float) -> bool:
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def _distance(a: Vec3, b: Vec3) -> float:
    return math.hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2])


# The largest coordinate, and the largest stretch |q|² of a triad, that a picture can show; a
# configuration beyond them is refused with one line rather than drawn as nonsense.
DRAWABLE_EXTENT = 1.0e6  # metres
DRAWABLE_STRETCH = 1.0e6


def check_drawable(frames: Frames) -> None:
    """Raises ConfigError when a point lies beyond DRAWABLE_EXTENT or a quaternion stretches its
    triad beyond DRAWABLE_STRETCH (or is not finite)."""
    for name, p in (("M's origin", frames.t_M), ("the input point", frames.p_in),
                    ("the output point", frames.p_out)):
        if p is not None and not all(math.isfinite(c) and abs(c) <= DRAWABLE_EXTENT for c in p):
            raise ConfigError(f"{name} is at {_fmt(p)} m: a picture shows coordinates up to "
                              f"{DRAWABLE_EXTENT:g} m")
    for name, q in (("M", frames.q_M), ("the input axes", frames.q_in),
                    ("the output axes", frames.q_out)):
        if q is not None and not (math.isfinite(norm(q)) and norm(q) ** 2 <= DRAWABLE_STRETCH):
            raise ConfigError(f"the quaternion of {name}, {_fmt(q)}, stretches lengths beyond "
                              f"{DRAWABLE_STRETCH:g} times: a picture cannot show it")


@dataclass(frozen=True)
class View:
    """The cube shown and the triads' lengths, in metres."""

    centre: Vec3
    half: float  # half the edge of the cube
    frame_length: float  # the triads of F and M
    axes_length: float  # the expression axes at the points, longer, so that they show where
    #                     they lie along a frame's axes
    show_F: bool  # F's origin lies in the cube


def choose_view(frames: Frames, axis_length: float | None = None,
                zoom_to_points: bool = False) -> View:
    """The cube around F's origin, M's origin and the two points (only the last three with
    `zoom_to_points`), and triads scaled to the configuration: 0.35 times the smallest distance
    between two of those origins and points, so that a frame's triad and the expression axes
    (1.5 times as long) at a point next to it do not reach each other (but between 2 % and 30 %
    of the largest extent), or `axis_length`."""
    origin: Vec3 = (0.0, 0.0, 0.0)
    shown = [frames.t_M] + [p for p in (frames.p_in, frames.p_out) if p is not None]
    if not zoom_to_points:
        shown.append(origin)
    lo = [min(p[i] for p in shown) for i in range(3)]
    hi = [max(p[i] for p in shown) for i in range(3)]
    extent = max(h - l for l, h in zip(lo, hi))
    distinct = [origin, frames.t_M] + [p for p in (frames.p_in, frames.p_out) if p is not None]
    gaps = [_distance(a, b) for i, a in enumerate(distinct) for b in distinct[i + 1:]]
    gaps = [g for g in gaps if g > 1e-9 * max(extent, 1e-9)]
    if axis_length is not None:
        frame_length = axis_length
    elif extent > 0.0:
        frame_length = min(max(0.35 * min(gaps, default=extent), 0.02 * extent), 0.3 * extent)
    else:
        frame_length = 0.1
    if extent <= 0.0:
        extent = 4.0 * frame_length
    axes_length = 1.5 * frame_length
    half = extent / 2 + axes_length * 1.05
    centre = ((lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2)
    show_F = all(abs(c) <= half for c in centre)
    return View(centre, half, frame_length, axes_length, show_F)


# A triad shorter than this fraction of the view is hard to read: the caption then says how to
# see more.
SMALL_TRIAD = 0.05
# Keeps a label legible where it crosses a line.
BACKDROP = {"facecolor": "white", "alpha": 0.5, "edgecolor": "none", "pad": 0.5}
LEGEND = ("solid: frames F and M; dashed: expression axes at the points;\n"
          "x red, y green, z blue; black arrow: lever arm; dotted: point fixed to M")
POSE_INPUT_NOTE = ("input: the measured position; p_in is the offset from M's origin to it, "
                   "in F's axes for fixed_frame, M's for moving_frame: never a point of F")
# Caption lines are wrapped to this many characters, so that two panels side by side keep apart.
CAPTION_WIDTH = 72


def _panel_text(section: Section, frames: Frames, view: View, tf: tuple[float, ...] | None,
                pose: tuple[float, ...] | None) -> str:
    """The lines under a panel: the entries as configured, where M comes from, the lever arm,
    what deserves attention, and the legend."""
    pose_block = section.block_class == "KivoTfPose"
    if pose_block:
        context = f"M from pose_in {_fmt(pose if pose is not None else IDENTITY_TF)}"
    else:
        context = f"M = tf {_fmt(tf if tf is not None else IDENTITY_TF)}"
    lines = [*_entry_lines(section), context]
    if pose_block and frames.p_in is not None:
        lines.append(POSE_INPUT_NOTE)
    if frames.p_in is not None and frames.p_out is not None:
        r = subtract(frames.p_out, frames.p_in)
        lines.append(f"lever arm p_out - p_in = {_fmt(r)} m in F, |r| = "
                     f"{math.hypot(*r):.4g} m")
    if not view.show_F:
        lines.append("F's origin lies outside the view (zoomed to the points)")
    lines += frames.notes
    lines.append(f"triads (unit quaternion): F, M {view.frame_length:.2g} m; expression axes "
                 f"{view.axes_length:.2g} m")
    if view.frame_length < SMALL_TRIAD * 2.0 * view.half:
        lines.append("the triads are short beside the view, to keep clear of points close "
                     "together: --zoom-to-points or --axis-length show more")
    lines.append(LEGEND)
    wrapped = [piece for line in lines for text in line.split("\n")
               for piece in textwrap.wrap(text, CAPTION_WIDTH, subsequent_indent="  ",
                                          break_on_hyphens=False)]
    return "\n".join(wrapped)


def _draw_panel(ax: Any, notes_ax: Any, section: Section, frames: Frames, view: View,
                text: str) -> None:
    identity: Quat = (1.0, 0.0, 0.0, 0.0)
    origin: Vec3 = (0.0, 0.0, 0.0)
    span = 2.0 * view.half
    # Drawn in a fixed order rather than by depth: labels over markers over frames over
    # expression axes over the lever arm.
    ax.computed_zorder = False
    for setter, middle in zip((ax.set_xlim, ax.set_ylim, ax.set_zlim), view.centre):
        setter(middle - view.half, middle + view.half)
    ax.set_box_aspect((1.0, 1.0, 1.0), zoom=0.95)
    segments: list[Segment] = []
    labels: list[tuple[str, Vec3, dict[str, Any]]] = []
    bold = {"fontsize": 13, "fontweight": "bold", "bbox": BACKDROP, "zorder": 8}
    same_origin = _close(frames.t_M, origin, 1e-9 * span)
    if same_origin and _close(frames.q_M, identity, 1e-12):
        segments += _triad(ax, origin, identity, view.frame_length, width=2.5, style="-",
                           tips=True, zorder=4)
        labels.append(("F = M", origin, bold))
    else:
        # Where the origins coincide, F's triad is drawn thinner and longer than M's, so that
        # both show.
        if view.show_F:
            f_length = view.frame_length * (1.4 if same_origin else 1.0)
            segments += _triad(ax, origin, identity, f_length, width=1.5 if same_origin else 2.5,
                               style="-", tips=True, zorder=4)
            labels.append(("F", origin, bold))
        segments += _triad(ax, frames.t_M, frames.q_M, view.frame_length, width=2.5, style="-",
                           tips=True, zorder=4)
        labels.append(("M", frames.t_M, bold))

    moving_keys = {key for key, entry in section.entries.items() if _moving(entry)}
    for label, p, q, colour, marker, key in (
            ("input", frames.p_in, frames.q_in, INPUT_COLOUR, "o", "set_input_reference_point"),
            ("output", frames.p_out, frames.q_out, OUTPUT_COLOUR, "s",
             "set_output_reference_point")):
        if p is None:
            continue
        ax.scatter([p[0]], [p[1]], [p[2]], color=colour, marker=marker, s=45, depthshade=False,
                   zorder=5)
        labels.append((label, p, {"color": colour, "fontsize": 11, "fontweight": "bold",
                                  "bbox": BACKDROP, "zorder": 7}))
        if q is not None:
            segments += _triad(ax, p, q, view.axes_length, width=1.8, style="--", tips=False,
                               zorder=3)
        if key in moving_keys:  # a point fixed to M: dotted tie to M's origin
            ax.plot([frames.t_M[0], p[0]], [frames.t_M[1], p[1]], [frames.t_M[2], p[2]],
                    color="grey", linewidth=1.0, linestyle=":", zorder=1)
            segments.append((frames.t_M, p))
    if frames.p_in is not None and frames.p_out is not None:
        r = subtract(frames.p_out, frames.p_in)
        if any(r):
            ax.quiver(*frames.p_in, *r, color="black", linewidth=1.0, arrow_length_ratio=0.1,
                      zorder=2)
            segments.append((frames.p_in, frames.p_out))
    _place_labels(ax, labels, segments)
    ax.set_xlabel("x (m)", fontsize=8)
    ax.set_ylabel("y (m)", fontsize=8)
    ax.set_zlabel("z (m)", fontsize=8)
    ax.tick_params(labelsize=7)
    ax.set_title(_title(section), fontsize=11, pad=2.0, **PLAIN)
    notes_ax.set_axis_off()
    notes_ax.text(0.02, 1.0, text, transform=notes_ax.transAxes, fontsize=8, family="monospace",
                  va="top", ha="left", **PLAIN)


# Heights in inches: a caption line of the 8-point monospace text, and the room kept above each
# panel for its title and below each caption, so that a caption never reaches the next title.
CAPTION_LINE = 0.16
TITLE_ROOM = 0.45
CAPTION_ROOM = 0.2


def draw_figure(sections: list[Section], tf: tuple[float, ...] | None = None,
                pose: tuple[float, ...] | None = None, *, panel_size: float = 5.5,
                axis_length: float | None = None, zoom_to_points: bool = False) -> Figure:
    """A figure with one 3-D panel per section. `tf` places M for the wrench, twist and IMU
    sections, `pose` is the pose block's input from which its M follows; both default to the
    identity. `axis_length` (m) sets the length of F's and M's triads, which by default follow
    the distances in the configuration; `zoom_to_points` fits the view to M and the two points,
    leaving F's origin out. Raises ConfigError for coordinates too large to draw,
    MissingDependency without matplotlib."""
    panels = []
    for section in sections:
        frames = resolve_frames(section, tf=tf, pose=pose)
        check_drawable(frames)
        view = choose_view(frames, axis_length, zoom_to_points)
        panels.append((section, frames, view, _panel_text(section, frames, view, tf, pose)))
    figure_class, canvas_class = _require_matplotlib()
    columns = min(len(sections), 2) or 1
    rows = max(math.ceil(len(sections) / columns), 1)
    lines = max((text.count("\n") + 1 for *_, text in panels), default=1)
    caption = CAPTION_LINE * lines + CAPTION_ROOM
    row_height = TITLE_ROOM + panel_size + caption
    fig = figure_class(figsize=(panel_size * columns, row_height * rows))
    canvas_class(fig)
    grid = fig.add_gridspec(3 * rows, columns,
                            height_ratios=[TITLE_ROOM, panel_size, caption] * rows,
                            left=0.0, right=0.97, top=1.0, bottom=0.0, hspace=0.0, wspace=0.05)
    for index, (section, frames, view, text) in enumerate(panels):
        row, column = divmod(index, columns)
        ax = fig.add_subplot(grid[3 * row + 1, column], projection="3d")
        notes_ax = fig.add_subplot(grid[3 * row + 2, column])
        _draw_panel(ax, notes_ax, section, frames, view, text)
    figure: Figure = fig
    return figure


# A number on the command line: ASCII digits in the JSON/C syntax (optional sign, digits with an
# optional fraction, optional exponent), as the configuration file writes them; no digit
# separators, no other scripts' digits, no nan or inf.
NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


def number(text: str) -> float:
    """`text` as a finite number written by the rule of NUMBER; raises ValueError."""
    if NUMBER.fullmatch(text):
        value = float(text)
        if math.isfinite(value):
            return value
    raise ValueError(f"'{text}' is not a finite number written with ASCII digits (e.g. -0.5, 2, "
                     "1e-3)")


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "draw", help="a 3-D picture of the frames of each section",
        description="Draws, for each section (or the one named), the fixed frame F, the moving\n"
                    "frame M, the input and output reference points with their expression axes\n"
                    "and the lever arm between them, placed as the block places them.\n"
                    "Axes: x red, y green, z blue.",
        epilog="example (M at (1, 2, 3), a quarter turn about z):\n"
               "  kivo-tf draw examples/kivo_tf_config.json --section tf_wrench_config \\\n"
               "      --tf 1 2 3 0.7071067811865476 0 0 0.7071067811865476 -o wrench.png\n"
               "a flange far from the base, its points a few centimetres apart:\n"
               "  kivo-tf draw robot.json --tf 0.49 0.13 0.49 0 1 0 0 --zoom-to-points "
               "-o flange.png",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("config", metavar="CONFIG.json")
    parser.add_argument("--section", metavar="NAME", help="draw only this section")
    parser.add_argument("--tf", nargs=7, metavar=("X", "Y", "Z", "QW", "QX", "QY", "QZ"),
                        help="fixed-to-moving-frame transform (pose of M in F; default identity)")
    parser.add_argument("--pose", nargs=7,
                        metavar=("PX", "PY", "PZ", "QW", "QX", "QY", "QZ"),
                        help="input pose of the pose block, from which its M follows "
                             "(default identity)")
    parser.add_argument("--axis-length", metavar="METRES",
                        help="length of the triads of F and M (the expression axes at the "
                             "points are drawn 1.5 times as long); default: about a third "
                             "of the smallest distance between the frames and points")
    parser.add_argument("--zoom-to-points", action="store_true",
                        help="fit the view to M and the two points, leaving F's origin out "
                             "(for a flange far from the base)")
    parser.add_argument("-o", "--output", required=True, metavar="FILE.{png,svg,pdf}")
    parser.set_defaults(func=run)


def save_figure(fig: Figure, path: str, fmt: str) -> None:
    """Writes beside `path` first and renames, so a failure leaves no half-written file. A
    symbolic link is followed (its target receives the picture); a destination that exists and
    is not a regular file (a directory, device or FIFO) is refused."""
    path = os.path.realpath(path)
    if os.path.lexists(path) and not os.path.isfile(path):
        raise ConfigError(f"{path} exists and is not a regular file: not replaced")
    directory = os.path.dirname(path)
    handle, temporary = tempfile.mkstemp(prefix=".kivo-tf-draw-", suffix=f".{fmt}",
                                         dir=directory)
    os.close(handle)
    umask = os.umask(0)
    os.umask(umask)
    try:
        os.chmod(temporary, 0o666 & ~umask)
        fig.savefig(temporary, format=fmt, dpi=120)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def run(args: argparse.Namespace) -> int:
    fmt = os.path.splitext(args.output)[1].lstrip(".").lower()
    if fmt not in FORMATS:
        return _error(f"{args.output}: the picture must end in .png, .svg or .pdf")
    given: dict[str, tuple[float, ...] | None] = {}
    for option, texts in (("--tf", args.tf), ("--pose", args.pose),
                          ("--axis-length", args.axis_length)):
        if texts is None:
            given[option] = None
            continue
        try:
            given[option] = tuple(number(t) for t in ([texts] if isinstance(texts, str)
                                                      else texts))
        except ValueError as error:
            count = "a number" if isinstance(texts, str) else "seven finite numbers"
            return _error(f"{option} needs {count}: {error}")
    axis_length = given["--axis-length"][0] if given["--axis-length"] else None
    if axis_length is not None and not 0.0 < axis_length <= DRAWABLE_EXTENT:
        return _error(f"--axis-length needs a length in metres above 0 and up to "
                      f"{DRAWABLE_EXTENT:g}")
    try:
        sections = load_sections(args.config, args.section)
        if not sections:
            raise ConfigError(f"{args.config} has none of the sections tf_wrench_config, "
                              "tf_twist_config, tf_pose_config, tf_imu_config")
        fig = draw_figure(sections, tf=given["--tf"], pose=given["--pose"],
                          axis_length=axis_length, zoom_to_points=args.zoom_to_points)
        save_figure(fig, args.output, fmt)
    except (ConfigError, MissingDependency) as error:
        return _error(str(error))
    except OSError as error:
        return _error(f"cannot write {args.output}: {error}")
    return 0


def _error(message: str) -> int:
    """Prints one line on the standard error stream (if there is one) and gives exit status 2."""
    if sys.stderr is not None:
        try:
            print(f"kivo-tf draw: error: {printable(message)}", file=sys.stderr)
        except OSError:
            pass
    return 2
