"""What a configuration file holds, read the way the library reads it.

A file has up to four sections, one per block kind. A section is first loaded with the library's
own loader, by constructing the block from the file (so that an error is the library's message,
verbatim); only a section that loads is then read again with the standard ``json`` module, to see
what the loader accepts silently.

Conventions: translations [x, y, z] in metres; quaternions [w, x, y, z]; an origin of exactly
"moving_frame" places an entry in the moving frame, every other text in the fixed frame.
"""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any

# Section name -> block class of kivo_tf_utils_ext, in the order the tools report them.
SECTIONS: dict[str, str] = {
    "tf_wrench_config": "KivoTfWrench",
    "tf_twist_config": "KivoTfTwist",
    "tf_pose_config": "KivoTfPose",
    "tf_imu_config": "KivoTfImu",
}

# The signal's columns per block class, in array order, with their units.
SIGNAL_COLUMNS: dict[str, tuple[str, ...]] = {
    "KivoTfWrench": ("fx", "fy", "fz", "tx", "ty", "tz"),
    "KivoTfTwist": ("vx", "vy", "vz", "wx", "wy", "wz"),
    "KivoTfPose": ("px", "py", "pz", "qw", "qx", "qy", "qz"),
    "KivoTfImu": ("ax", "ay", "az", "wx", "wy", "wz"),
}
SIGNAL_UNITS: dict[str, str] = {
    "KivoTfWrench": "N, N·m",
    "KivoTfTwist": "m/s, rad/s",
    "KivoTfPose": "m, quaternion",
    "KivoTfImu": "m/s², rad/s",
}

# The fixed-to-moving-frame transform [x, y, z, qw, qx, qy, qz] as log columns.
TF_COLUMNS: tuple[str, ...] = ("tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz")

# Entry members of a section, in the loader's order, with the member holding their numbers.
ENTRY_KEYS: tuple[str, ...] = (
    "set_input_reference_point",
    "set_input_expression_axes",
    "set_output_reference_point",
    "set_output_expression_axes",
)
VECTOR_KEY: dict[str, str] = {
    "set_input_reference_point": "translation",
    "set_input_expression_axes": "rotation",
    "set_output_reference_point": "translation",
    "set_output_expression_axes": "rotation",
}
SECTION_KEYS: tuple[str, ...] = ("name", "policy", *ENTRY_KEYS)
POLICIES: tuple[str, ...] = ("best_effort", "soft_rt", "hard_rt", "strict_rt")
FIXED_FRAME = "fixed_frame"
MOVING_FRAME = "moving_frame"


class ConfigError(Exception):
    """A file or section that cannot be used; the message is shown to the user as it is."""


@dataclass(frozen=True)
class Entry:
    """One frame entry as the file gives it."""

    key: str
    origin: str
    values: tuple[float, ...]

    @property
    def uses_moving_frame(self) -> bool:
        return self.origin == MOVING_FRAME


@dataclass
class Section:
    """One section that the library loaded, with what the file says of it."""

    name: str  # section name, e.g. "tf_wrench_config"
    block_class: str  # e.g. "KivoTfWrench"
    block_name: str  # the "name" member, "" when absent
    policy: str  # the "policy" member as written, "best_effort" when absent
    entries: dict[str, Entry | None] = field(default_factory=dict)  # None: left unset
    raw: dict[str, Any] = field(default_factory=dict)  # the section object as parsed


class JsonObject(dict):  # type: ignore[type-arg]
    """A parsed JSON object; `repeated` names the members the file gives more than once (the
    last one counts, for the library as for Python)."""

    repeated: tuple[str, ...] = ()


def _object(pairs: list[tuple[str, Any]]) -> JsonObject:
    obj = JsonObject(pairs)
    if len(obj) != len(pairs):
        counts: dict[str, int] = {}
        for key, _ in pairs:
            counts[key] = counts.get(key, 0) + 1
        obj.repeated = tuple(key for key, count in counts.items() if count > 1)
    return obj


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def read_document(path: str) -> Any:
    """The first JSON value of the file, read as the library reads it: a UTF-8 byte-order mark is
    skipped, whatever follows the first value is ignored, and NaN or Infinity (which Python's
    json module would accept) is refused. Objects are JsonObject. Raises ConfigError."""
    try:
        with open(path, encoding="utf-8-sig") as stream:
            text = stream.read()
    except (OSError, UnicodeDecodeError) as error:
        raise ConfigError(f"cannot read {path}: {error}") from error
    try:
        stripped = text.lstrip(" \t\r\n")
        document, _ = json.JSONDecoder(
            parse_constant=_reject_constant, object_pairs_hook=_object).raw_decode(stripped)
    except (json.JSONDecodeError, ValueError) as error:
        raise ConfigError(f"{path} is not JSON: {error}") from error
    return document


def block_class(section: str) -> Any:
    """The class of kivo_tf_utils_ext that reads `section`."""
    import kivo_tf_utils_ext

    return getattr(kivo_tf_utils_ext, SECTIONS[section])


def load_block(path: str, section: str) -> Any:
    """A block constructed from `path` by the library's loader. Raises ConfigError with the
    loader's message, verbatim, when the section cannot be loaded."""
    try:
        return block_class(section)(path)
    except RuntimeError as error:
        raise ConfigError(str(error)) from error


def _entry(key: str, member: Any) -> Entry | None:
    if not isinstance(member, dict):
        return None
    vector = member.get(VECTOR_KEY[key])
    count = 3 if VECTOR_KEY[key] == "translation" else 4
    values = tuple(float(v) for v in vector[:count]) if isinstance(vector, list) else ()
    return Entry(key, str(member.get("origin", "")), values)


def section_from_json(name: str, obj: Any) -> Section:
    """The section `name` of a parsed document. Meant for sections that the library has loaded; a
    section that is not an object reads as an empty one, as it does for the loader."""
    raw = obj if isinstance(obj, dict) else {}
    entries = {key: _entry(key, raw[key]) if key in raw else None for key in ENTRY_KEYS}
    return Section(
        name=name,
        block_class=SECTIONS[name],
        block_name=str(raw.get("name", "")),
        policy=str(raw.get("policy", "best_effort")),
        entries=entries,
        raw=raw,
    )


def load_sections(path: str, only: str | None = None) -> list[Section]:
    """Every section the file has (or only `only`), each loaded by the library first. Raises
    ConfigError for the first section that fails, or when `only` names a section the file lacks.
    A file that cannot be read or parsed is reported with the library's own message."""
    try:
        document = read_document(path)
    except ConfigError:
        load_block(path, only if only in SECTIONS else "tf_wrench_config")
        raise
    present = [s for s in SECTIONS if isinstance(document, dict) and s in document]
    if only is not None:
        if only not in SECTIONS:
            raise ConfigError(f"unknown section '{only}' (known: {', '.join(SECTIONS)})")
        if only not in present:
            raise ConfigError(f"{path} has no section '{only}'")
        present = [only]
    sections = []
    for name in present:
        load_block(path, name)
        sections.append(section_from_json(name, document[name]))
    return sections
