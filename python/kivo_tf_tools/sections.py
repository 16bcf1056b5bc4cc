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
import os
import stat
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


# The largest configuration file the tools read or hand to the library's loader, in bytes. A
# configuration is a few kilobytes; the bound keeps a wrong path (a log, a disk image) from being
# read until memory runs out.
CONFIG_SIZE_LIMIT = 64 * 1024 * 1024


class ConfigError(Exception):
    """A file or section that cannot be used; the message is shown to the user as it is."""


def printable(text: str) -> str:
    """`text` safe to print on a terminal: every character that is not printable (control
    characters such as ESC or NUL, line breaks, format characters) is written as a Python escape
    (\\x1b, \\x00, \\u2028); a byte that was not valid UTF-8 in a file name (a lone surrogate
    U+DC80 to U+DCFF) is written as that byte (\\xff)."""
    if text.isprintable():
        return text
    pieces = []
    for char in text:
        if char.isprintable():
            pieces.append(char)
        elif 0xDC80 <= ord(char) <= 0xDCFF:
            pieces.append(f"\\x{ord(char) - 0xDC00:02x}")
        else:
            pieces.append(repr(char)[1:-1])
    return "".join(pieces)


def check_readable(path: str) -> None:
    """Refuses, before anything reads it, a path that names a device, a FIFO or a socket (which
    could be read without end, or only once) or a file larger than CONFIG_SIZE_LIMIT. A path that
    cannot be examined is left to the reader, whose message names the cause."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return
    if stat.S_ISDIR(status.st_mode):
        return
    if not stat.S_ISREG(status.st_mode):
        raise ConfigError(f"{printable(path)}: not a regular file (a device, FIFO or socket); "
                          "give the path of the configuration file itself")
    if status.st_size > CONFIG_SIZE_LIMIT:
        raise ConfigError(f"{printable(path)}: {status.st_size} bytes, more than the "
                          f"{CONFIG_SIZE_LIMIT // (1024 * 1024)} MiB a configuration file may "
                          "hold")


def library_message(error: Exception) -> str:
    """The text of an exception raised by a block's constructor. The loader's message is text
    from the file and may hold bytes that are not UTF-8 (the module then raises
    UnicodeDecodeError): those bytes are written escaped (\\xff)."""
    if isinstance(error, UnicodeDecodeError) and isinstance(error.object, (bytes, bytearray)):
        return bytes(error.object).decode("utf-8", "backslashreplace")
    return str(error)


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
    check_readable(path)
    try:
        with open(path, "rb") as stream:
            data = stream.read(CONFIG_SIZE_LIMIT + 1)
    except (OSError, ValueError) as error:
        raise ConfigError(f"cannot read {printable(path)}: {error}") from error
    if len(data) > CONFIG_SIZE_LIMIT:  # grew since it was examined
        raise ConfigError(f"{printable(path)}: more than the {CONFIG_SIZE_LIMIT // (1024 * 1024)} "
                          "MiB a configuration file may hold")
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise ConfigError(f"cannot read {printable(path)}: {error}") from error
    try:
        stripped = text.lstrip(" \t\r\n")
        document, _ = json.JSONDecoder(
            parse_constant=_reject_constant, object_pairs_hook=_object).raw_decode(stripped)
    except (json.JSONDecodeError, ValueError) as error:
        raise ConfigError(f"{printable(path)} is not JSON: {error}") from error
    except RecursionError as error:
        raise ConfigError(f"{printable(path)}: arrays or objects nested too deeply to read "
                          "(the tools read up to several hundred levels)") from error
    return document


def library_path(path: str) -> str:
    """`path` as the library's loader takes it: UTF-8 text. A file name holding bytes that are not
    UTF-8 (read by Python as surrogates) cannot be passed; raises ConfigError."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise ConfigError(f"{printable(path)}: the file name is not UTF-8, which the library's "
                          "loader cannot open: rename the file or give a link to it") from None
    return path


def block_class(section: str) -> Any:
    """The class of kivo_tf_utils_ext that reads `section`."""
    import kivo_tf_utils_ext

    return getattr(kivo_tf_utils_ext, SECTIONS[section])


def load_block(path: str, section: str) -> Any:
    """A block constructed from `path` by the library's loader. Raises ConfigError with the
    loader's message, verbatim, when the section cannot be loaded, and without calling the loader
    when `path` is not a regular file of at most CONFIG_SIZE_LIMIT bytes."""
    check_readable(path)
    try:
        return block_class(section)(library_path(path))
    except (RuntimeError, UnicodeDecodeError) as error:
        raise ConfigError(library_message(error)) from error
    except (ValueError, TypeError, OverflowError, RecursionError) as error:
        # Not the loader's: e.g. a path the module cannot pass on.
        raise ConfigError(f"{printable(path)}: {type(error).__name__}: {error}") from error


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
