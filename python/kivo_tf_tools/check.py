"""``kivo-tf check``: findings about a configuration file, one line each, like a compiler.

Each section is first loaded by the library itself (through ``kivo_tf_utils_ext``), so an error is
exactly what a block constructed from the file would raise (located at the member where the
loader stops, found by following the loader's order); the file is then read again with the
standard ``json`` module to find what the loader accepts without a word: unknown members, origins
that are not exactly "fixed_frame" or "moving_frame", rotations that are not unit quaternions,
policies outside the table, entries left unset. Every line is printed with the control
characters of the file's text escaped.

Conventions: quaternions [w, x, y, z] (Hamilton); R(q) is the matrix of `rotate(q, ·)`, which
the blocks apply to a quaternion of any norm without normalising it.
"""
from __future__ import annotations

import argparse
import difflib
import json
import math
import sys
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from typing import Any

from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools.quaternion import is_unit
from kivo_tf_tools.quaternion import Vec3, norm, subtract
from kivo_tf_tools.sections import (
    ENTRY_KEYS, FIXED_FRAME, MOVING_FRAME, POLICIES, SECTION_KEYS, SECTIONS, VECTOR_KEY,
    ConfigError, block_class, check_readable, library_message, library_path, printable,
    read_document)

EXAMPLE = """\
example:
  kivo-tf check examples/kivo_tf_config.json
  kivo-tf check robot.json --section tf_wrench_config --format json

exit status: 0 no warning or error, 1 warnings only, 2 an error (or unusable input)
"""

DESCRIPTION = """\
Load each section of CONFIG.json with the library's own loader and report its errors verbatim,
at the member where the loader stops, then what the loader accepts without a word: unknown
members, origins that are not exactly fixed_frame or moving_frame, rotations that are not unit
quaternions, unknown policies, entries left unset, entries in the moving frame, and for the IMU
the size of the term alpha x r that the block omits. One finding per line,
FILE: LOCATION: LEVEL: MESSAGE, then a one-line summary. A device, FIFO or file over 64 MiB is
refused unread.
"""

LEVELS = ("error", "warning", "note")
POSE_SECTION = "tf_pose_config"
IMU_SECTION = "tf_imu_config"
# The policies whose refusals return NotReady; every other one returns Error.
LENIENT_POLICIES = ("best_effort", "soft_rt")


@dataclass(frozen=True)
class Finding:
    """One finding: `location` is a dotted path of JSON members ("" for the file itself)."""

    file: str
    location: str
    level: str  # "error", "warning" or "note"
    message: str

    def text(self) -> str:
        """The finding as one line; text from the file (members, origins, the loader's quotes)
        has its control characters escaped."""
        where = f"{self.file}: {self.location}" if self.location else self.file
        return printable(f"{where}: {self.level}: {self.message}")


def _did_you_mean(word: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(word, known, n=1, cutoff=0.6)
    return f" (did you mean '{close[0]}'?)" if close else ""


def _json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             type(None): "null"}
    return kinds.get(type(value), "a number")


def _fmt(value: float) -> str:
    return f"{value:.6g}"


def _angle_deg(radians: float) -> float:
    """An angle in degrees, in (-180, 180]."""
    degrees = math.degrees(radians) % 360.0
    return degrees - 360.0 if degrees > 180.0 else degrees


def rotation_effect(q: Sequence[float]) -> tuple[float, float, float, float]:
    """(|q|, scale, angle, intended angle) of the rotation [w, x, y, z] as the blocks apply it.

    With q = |q|·q̂ the blocks apply R(q) = I + |q|²·(R(q̂) − I): a vector along the axis of q̂ is
    kept, and in the plane across the axis R(q) acts as a scaled rotation (1 − 2|u|²)·I + 2w|u|·J
    for u = (x, y, z), J the quarter turn about the axis. Hence the scale
    sqrt((1 − 2|u|²)² + 4w²|u|²) across the axis and the angle atan2(2w|u|, 1 − 2|u|²), against
    the angle 2·atan2(|u|, w) of q̂. Angles in degrees. Over all axes and angles the scale lies
    between 1 and |2|q|² − 1|."""
    w, x, y, z = q
    u2 = x * x + y * y + z * z
    norm = math.sqrt(w * w + u2)
    u = math.sqrt(u2)
    scale = math.hypot(1.0 - 2.0 * u2, 2.0 * w * u)
    angle = _angle_deg(math.atan2(2.0 * w * u, 1.0 - 2.0 * u2))
    intended = _angle_deg(2.0 * math.atan2(u, w))
    return norm, scale, angle, intended


def _is_number(value: Any) -> bool:
    """A JSON value the loader reads as a number (it takes true and false as 1 and 0)."""
    return isinstance(value, (int, float))


def loader_failure(raw: Any) -> str | None:
    """The member of a section, as a dotted path below it, at which the library's loader stops,
    or None where it would not stop. Follows the loader's order: "name" and "policy" must be
    strings, then each entry present must be an object with a string "origin" and an array whose
    first three (translation) or four (rotation) elements are numbers. A missing member is
    reported at the object that lacks it."""
    if not isinstance(raw, dict):
        return None
    for key in ("name", "policy"):
        if key in raw and not isinstance(raw[key], str):
            return key
    for key in ENTRY_KEYS:
        if key not in raw:
            continue
        entry, vector_key = raw[key], VECTOR_KEY[key]
        if not isinstance(entry, dict) or "origin" not in entry:
            return key
        if not isinstance(entry["origin"], str):
            return f"{key}.origin"
        if vector_key not in entry:
            return key
        values = entry[vector_key]
        count = 3 if vector_key == "translation" else 4
        if not isinstance(values, list) or len(values) < count:
            return f"{key}.{vector_key}"
        for index, value in enumerate(values[:count]):
            if not _is_number(value):
                return f"{key}.{vector_key}[{index}]"
    return None


def _lever_arm_note(raw: dict[str, Any]) -> str | None:
    """The note on the term α × r that the IMU block omits (r = p_o − p_i, α the angular
    acceleration), or None when the two reference points coincide. |α × r| ≤ |α|·|r|, so the
    omission is up to |r| m/s² per rad/s² of α. Meant for a section that the library loaded."""
    points: list[tuple[bool, Vec3]] = []
    for key in ("set_input_reference_point", "set_output_reference_point"):
        entry = raw.get(key)
        if not isinstance(entry, dict):
            return None
        values = [float(v) for v in entry["translation"][:3]]
        points.append((entry.get("origin") == MOVING_FRAME, (values[0], values[1], values[2])))
    (in_moving, p_in), (out_moving, p_out) = points
    r = norm(subtract(p_out, p_in))
    text = ("the block omits the term α × r of the output acceleration (α, the angular "
            "acceleration, is not an input): ")
    if in_moving == out_moving:
        if r == 0.0:
            return None
        text += f"up to {_fmt(r)} m/s² per rad/s² of α, |r| = {_fmt(r)} m"
    else:
        text += ("up to |r| m/s² per rad/s² of α, where |r| follows the moving frame's transform "
                 f"(one point is in each frame; |r| = {_fmt(r)} m at the identity)")
    return text + "; add it in code where the rate changes quickly"


def _rotation_warning(section: str, key: str, origin: str, q: Sequence[float]) -> str | None:
    """The warning about a rotation that is not a unit quaternion, or None."""
    pose = section == POSE_SECTION
    normalised_here = pose and key == "set_output_expression_axes" and origin == MOVING_FRAME
    if all(v == 0.0 for v in q):
        text = "rotation [0, 0, 0, 0] is zero: the blocks do not refuse it, it acts as the identity"
        if pose:
            text += "; the pose block's output orientation becomes [0, 0, 0, 0]"
        return text
    norm, scale, angle, intended = rotation_effect(q)
    if is_unit(q):
        return None
    text = f"rotation has norm {_fmt(norm)}, not 1"
    if normalised_here:
        return text + (": the pose block normalises moving-frame output axes, so here it acts "
                       "as the unit quaternion q/|q|; the other blocks would use it as written")
    text += ": the blocks use it as written, R(q) = I + |q|²·(R(q̂) − I) for q = |q|·q̂"
    if origin == MOVING_FRAME and not pose:
        # Composed with the moving frame's orientation q_FM each cycle: q_FM ⊗ q has the same
        # norm but another axis and angle, so only the range of the scale is known here.
        extreme = abs(2.0 * norm * norm - 1.0)
        return text + (", composed each cycle with the moving frame's orientation: lengths "
                       "along the axis of the composed rotation are kept, lengths across it "
                       f"scaled by between {_fmt(min(1.0, extreme))} and "
                       f"{_fmt(max(1.0, extreme))} depending on that orientation")
    if q[1] == q[2] == q[3] == 0.0:
        return text + "; it has no axis (only w), so it acts as the identity on vectors"
    text += (f", which keeps lengths along the axis of q but scales lengths across it by "
             f"{_fmt(scale)}")
    if abs(angle - intended) > 0.005:
        text += f" and turns them by {angle:.4g}° instead of {intended:.4g}°"
    if pose and key == "set_output_expression_axes":
        text += f"; the output orientation has norm {_fmt(norm)}"
    elif pose and key == "set_input_expression_axes":
        text += "; the orientation is normalised, positions are not"
    return text


class _Checker:
    def __init__(self, path: str) -> None:
        self.path = path
        self.findings: list[Finding] = []
        self.sections_checked = 0

    def add(self, location: str, level: str, message: str) -> None:
        self.findings.append(Finding(self.path, location, level, message))

    def repeated(self, location: str, obj: dict[str, Any]) -> None:
        for member in getattr(obj, "repeated", ()):
            self.add(f"{location}.{member}" if location else member, "warning",
                     "given more than once: the loader uses the last one")

    def unknown(self, location: str, member: str, known: Sequence[str]) -> None:
        self.add(f"{location}.{member}" if location else member, "warning",
                 f"unknown member '{member}' is ignored by the loader"
                 f"{_did_you_mean(member, known)}")

    def library_load(self, section: str) -> tuple[bool, str, list[str]]:
        """(loaded, library message, lines the library wrote on stderr while loading)."""
        capture = LibraryStderr()
        try:
            with capture:
                try:
                    block_class(section)(library_path(self.path))
                    loaded, message = True, ""
                except (RuntimeError, UnicodeDecodeError) as error:
                    loaded, message = False, library_message(error)
                except ConfigError as error:
                    loaded, message = False, str(error)
            return loaded, message, capture.take()
        finally:
            capture.close()

    def run(self, only: str | None) -> None:
        try:
            check_readable(self.path)
        except ConfigError as error:
            self.add("", "error", str(error))
            return
        try:
            document = read_document(self.path)
        except ConfigError as error:
            # The library's own message when it fails to read the file too; a file that only
            # Python refuses (the library then fails on a section, if at all) with Python's.
            loaded, message, _ = self.library_load(only or next(iter(SECTIONS)))
            library_refuses = not loaded and not any(
                kind in message for kind in ("out_of_range", "type_error", "other_error"))
            self.add("", "error", message if library_refuses else str(error))
            return
        if not isinstance(document, dict):
            loaded, message, _ = self.library_load(only or next(iter(SECTIONS)))
            self.add("", "error", message if not loaded else
                     f"the file holds {_json_kind(document)}, not an object of sections")
            return
        if only is None:
            self.repeated("", document)
        if only is not None:
            if only not in document:
                others = [k for k in document if k not in SECTIONS]
                close = difflib.get_close_matches(only, others, n=1, cutoff=0.6)
                hint = f" (it has '{close[0]}')" if close else ""
                self.add("", "error", f"the file has no section '{only}'{hint}")
                return
            names = [only]
        else:
            names = [k for k in document if k in SECTIONS]
            for member in document:
                if member not in SECTIONS:
                    self.unknown("", member, list(SECTIONS))
            if not names:
                self.add("", "error", "the file has none of the sections "
                         + ", ".join(SECTIONS) + ": no block can load from it")
                return
        for name in names:
            self.check_section(name, document[name])

    def check_section(self, name: str, raw: Any) -> None:
        self.sections_checked += 1
        loaded, message, library_lines = self.library_load(name)
        if not loaded:
            member = loader_failure(raw)
            self.add(f"{name}.{member}" if member else name, "error", message)
        if not isinstance(raw, dict):
            if loaded:
                self.add(name, "warning", f"the section is {_json_kind(raw)}, not an object: "
                         "the loader reads it as a section with nothing set")
                self.unset_notes(name, {}, "best_effort")
            return
        self.repeated(name, raw)
        for member in raw:
            if member not in SECTION_KEYS:
                self.unknown(name, member, SECTION_KEYS)
        policy = raw.get("policy", "best_effort")
        effective = policy if policy in POLICIES else "best_effort"
        if isinstance(policy, str) and policy not in POLICIES:
            self.add(f"{name}.policy", "warning",
                     f"unknown policy '{policy}' defaults to best_effort"
                     f"{_did_you_mean(policy, POLICIES)}; known: {', '.join(POLICIES)}")
        for line in library_lines:
            if not (line.startswith("Warning: unknown policy") and policy not in POLICIES):
                self.add(name, "note", f"the library wrote while loading: {line}")
        for key in ENTRY_KEYS:
            if key in raw:
                self.check_entry(name, key, raw[key], effective, loaded)
        if loaded:
            self.unset_notes(name, raw, effective)
            self.moving_note(name, raw)
            lever_arm = _lever_arm_note(raw) if name == IMU_SECTION else None
            if lever_arm:
                self.add(name, "note", lever_arm)

    def check_entry(self, name: str, key: str, entry: Any, policy: str, loaded: bool) -> None:
        if not isinstance(entry, dict):
            return  # the loader has refused it
        location = f"{name}.{key}"
        vector_key = VECTOR_KEY[key]
        other_key = "rotation" if vector_key == "translation" else "translation"
        self.repeated(location, entry)
        for member in entry:
            if member == other_key:
                kind = "a reference point" if vector_key == "translation" else "expression axes"
                self.add(f"{location}.{member}", "warning",
                         f"'{member}' is ignored by the loader: {kind} takes '{vector_key}'")
            elif member not in ("origin", vector_key):
                self.unknown(location, member, ("origin", vector_key))
        origin = entry.get("origin")
        if isinstance(origin, str) and origin not in (FIXED_FRAME, MOVING_FRAME):
            self.add(f"{location}.origin", "warning",
                     f"origin '{origin}' is not exactly '{FIXED_FRAME}' or '{MOVING_FRAME}': "
                     f"treated as the fixed frame"
                     f"{_did_you_mean(origin, (FIXED_FRAME, MOVING_FRAME))}")
        if name == POSE_SECTION and key == "set_input_expression_axes" and origin == MOVING_FRAME:
            code = "NotReady" if policy in LENIENT_POLICIES else "Error"
            self.add(f"{location}.origin", "warning",
                     "the pose block cannot express its input in the moving frame (that frame "
                     "follows from the input orientation itself): every update is refused "
                     f"({code})")
        values = entry.get(vector_key)
        count = 3 if vector_key == "translation" else 4
        if not isinstance(values, list) or len(values) < count:
            return
        if not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
            return
        if len(values) > count and loaded:
            self.add(f"{location}.{vector_key}", "warning",
                     f"{len(values)} values: the loader reads the first {count} and ignores "
                     "the rest")
        if vector_key == "rotation":
            text = _rotation_warning(name, key, str(origin),
                                     [float(v) for v in values[:count]])
            if text:
                self.add(f"{location}.rotation", "warning", text)

    def unset_notes(self, name: str, raw: dict[str, Any], policy: str) -> None:
        code = "NotReady" if policy in LENIENT_POLICIES else "Error"
        for key in ENTRY_KEYS:
            if key not in raw:
                self.add(f"{name}.{key}", "note",
                         f"not set in the file: the block refuses every update ({code}) until "
                         f"code calls {key}(origin, values)")

    def moving_note(self, name: str, raw: dict[str, Any]) -> None:
        moving = [k for k in ENTRY_KEYS
                  if isinstance(raw.get(k), dict) and raw[k].get("origin") == MOVING_FRAME]
        if not moving:
            return
        listed = ", ".join(moving)
        verb = "uses" if len(moving) == 1 else "use"
        if name == POSE_SECTION:
            # Input expression axes in the moving frame have their own warning.
            placed = [k for k in moving if k != "set_input_expression_axes"]
            if not placed:
                return
            listed = ", ".join(placed)
            verb = "uses" if len(placed) == 1 else "use"
            self.add(name, "note", f"{listed} {verb} the moving frame, which for the pose block "
                     "is the body whose pose is the input: it follows the input pose at every "
                     "update (there is no transform to set)")
            return
        self.add(name, "note", f"{listed} {verb} the moving frame: call "
                 "set_fixed_to_moving_frame_tf every cycle (updates are refused until the "
                 "first call)")


def check_file(path: str, only: str | None = None) -> tuple[list[Finding], int]:
    """The findings about `path` (every section, or only `only`) and the number of sections
    checked."""
    checker = _Checker(path)
    checker.run(only)
    return checker.findings, checker.sections_checked


def exit_status(findings: Sequence[Finding]) -> int:
    levels = {f.level for f in findings}
    return 2 if "error" in levels else 1 if "warning" in levels else 0


def summary(path: str, findings: Sequence[Finding], sections: int) -> str:
    def count(n: int, word: str) -> str:
        return f"{n} {word}{'' if n == 1 else 's'}"

    tally = [count(sum(f.level == level for f in findings), level) for level in LEVELS]
    return printable(f"{path}: {count(sections, 'section')} checked: {', '.join(tally)}")


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "check", help="report what the library would do with a configuration file",
        description=DESCRIPTION,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("config", metavar="CONFIG.json", help="the configuration file")
    parser.add_argument("--section", choices=list(SECTIONS), metavar="NAME",
                        help="check only this section: " + ", ".join(SECTIONS))
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="text (default), or a JSON list of objects with the members "
                             "file, location, level, message")
    parser.set_defaults(func=run)


def report(findings: Sequence[Finding], path: str, sections: int, fmt: str) -> str:
    """The findings as the command prints them: text lines and a summary, or a JSON list (whose
    strings have their control characters escaped as in the text)."""
    if fmt == "json":
        escaped = [{k: printable(v) for k, v in asdict(f).items()} for f in findings]
        return json.dumps(escaped, ensure_ascii=False, indent=2) + "\n"
    lines = [finding.text() for finding in findings] + [summary(path, findings, sections)]
    return "\n".join(lines) + "\n"


def run(args: argparse.Namespace) -> int:
    findings, sections = check_file(args.config, args.section)
    status = exit_status(findings)
    text = report(findings, args.config, sections, args.format)
    if sys.stdout is None:  # started with the standard output closed: the status says it all
        return status
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        if sys.stderr is not None:
            print(f"kivo-tf check: error: cannot write the findings: {error.strerror or error}",
                  file=sys.stderr)
        return 2
    return status
