"""The fields the tools need, read straight from a serialised message: the header and the signal
of ``WrenchStamped``, ``TwistStamped``, ``PoseStamped`` and ``Imu``, and the transforms of
``TFMessage``, in ROS 1 serialisation and in CDR of either byte order (ROS 2); and the output
messages of those four types written the same way (`encoder`).

Reading these few fixed layouts with `struct` costs a small part of building a full message
object per message. A decoder is made only for a type whose definition in the bag has exactly
the layout read here (`decoder`, `tf_decoder` return None otherwise), and a message it cannot
read (too short, a string that is not UTF-8, trailing bytes) raises `Undecodable`: the caller
then deserialises that message with rosbags, which decides whether it is damaged.

Layouts (after the header): WrenchStamped force, torque; TwistStamped linear, angular;
PoseStamped position, orientation [x, y, z, w]; Imu orientation [x, y, z, w], its covariance,
angular_velocity, its covariance, linear_acceleration, its covariance (all float64). The header
is ROS 1 {uint32 seq, uint32 secs, uint32 nsecs, string frame_id} or ROS 2 {int32 sec, uint32
nanosec, string frame_id}. ROS 1 is little-endian without alignment; CDR starts with a 4-byte
encapsulation header giving the byte order, aligns every primitive to its size counted from the
end of that header, and ends a string with a NUL counted in its length.
"""
from __future__ import annotations

import struct
from collections.abc import Callable
from typing import Any, NamedTuple

from kivo_tf_tools._bag_files import ros1_seconds

# Float64 fields after the header, per message type, and the signal taken from them: indices
# into those fields, in the block's order.
LAYOUTS: dict[str, tuple[int, tuple[int, ...]]] = {
    "geometry_msgs/msg/WrenchStamped": (6, (0, 1, 2, 3, 4, 5)),
    "geometry_msgs/msg/TwistStamped": (6, (0, 1, 2, 3, 4, 5)),
    # [px, py, pz, qw, qx, qy, qz] from position, orientation [x, y, z, w].
    "geometry_msgs/msg/PoseStamped": (7, (0, 1, 2, 6, 3, 4, 5)),
    # [ax, ay, az, wx, wy, wz], then the acceleration's and the rate's covariances (of the 37:
    # orientation 0-3, its covariance 4-12, angular_velocity 13-15, its covariance 16-24,
    # linear_acceleration 25-27, its covariance 28-36).
    "sensor_msgs/msg/Imu": (37, (25, 26, 27, 13, 14, 15, *range(28, 37), *range(16, 25))),
}

HEADER_ROS1 = ("uint32", "int32", "uint32", "string")  # rosbags reads a ROS 1 time as int32 sec
HEADER_ROS2 = ("int32", "uint32", "string")


class Undecodable(Exception):
    """The bytes do not hold a message of the layout read here."""


class Decoded(NamedTuple):
    stamp: int  # header stamp, ns
    frame: str  # header.frame_id
    seq: int | None  # ROS 1 header.seq
    values: tuple[float, ...]  # the signal, then (Imu) the two covariances


def _flat(store: Any, typename: str, depth: int = 0) -> list[Any]:
    """The primitive fields of `typename` in the order they are serialised: type names, fixed
    arrays expanded, a sequence as ("sequence", its element's fields)."""
    if depth > 8:
        return ["?"]
    fields = []
    for _, (kind, detail) in store.fielddefs[typename][1]:
        name = getattr(kind, "name", str(kind))
        if name == "BASE":
            fields.append(detail[0])
        elif name == "NAME":
            fields.extend(_flat(store, detail, depth + 1))
        elif name == "ARRAY":
            (inner_kind, inner), count = detail
            if getattr(inner_kind, "name", "") != "BASE":
                return ["?"]
            fields.extend([inner[0]] * count)
        elif name == "SEQUENCE":
            (inner_kind, inner), _ = detail
            if getattr(inner_kind, "name", "") != "NAME":
                return ["?"]
            fields.append(("sequence", tuple(_flat(store, inner, depth + 1))))
        else:
            return ["?"]
    return fields


def _matches(store: Any, msgtype: str, ros1: bool, floats: int) -> bool:
    try:
        fields = _flat(store, msgtype)
    except (KeyError, TypeError, ValueError):
        return False
    header = HEADER_ROS1 if ros1 else HEADER_ROS2
    return tuple(fields) == (*header, *["float64"] * floats)


def decoder(store: Any, msgtype: str, ros1: bool) -> Callable[[Any], Decoded] | None:
    """A reader of messages of `msgtype` (one of `LAYOUTS`) as the bag's `store` defines them,
    or None when that definition has another layout."""
    if msgtype not in LAYOUTS:
        return None
    floats, signal = LAYOUTS[msgtype]
    if not _matches(store, msgtype, ros1, floats):
        return None
    return _ros1_decoder(floats, signal) if ros1 else _cdr_decoder(floats, signal)


def _picker(pick: tuple[int, ...]) -> Callable[[tuple[float, ...]], tuple[float, ...]]:
    if pick == tuple(range(len(pick))):
        return lambda values: values
    return lambda values: tuple(values[k] for k in pick)


def _ros1_decoder(floats: int, pick: tuple[int, ...]) -> Callable[[Any], Decoded]:
    head = struct.Struct("<IIII")
    body = struct.Struct(f"<{floats}d")
    picked = _picker(pick)

    def decode(raw: Any) -> Decoded:
        try:
            seq, sec, nsec, size = head.unpack_from(raw, 0)
            end = 16 + size
            frame = bytes(raw[16:end]).decode("utf-8")
            values = body.unpack_from(raw, end)
        except (struct.error, UnicodeDecodeError, ValueError):
            raise Undecodable from None
        if len(raw) != end + body.size:
            raise Undecodable
        return Decoded(ros1_seconds(sec) * 1_000_000_000 + nsec, frame, seq, picked(values))
    return decode


def _cdr_decoder(floats: int, pick: tuple[int, ...]) -> Callable[[Any], Decoded]:
    heads = {endian: struct.Struct(f"{endian}iII") for endian in "<>"}
    bodies = {endian: struct.Struct(f"{endian}{floats}d") for endian in "<>"}
    picked = _picker(pick)

    def decode(raw: Any) -> Decoded:
        endian = _cdr_byte_order(raw)
        try:
            sec, nsec, size = heads[endian].unpack_from(raw, 4)
            if size < 1 or raw[15 + size] != 0:
                raise Undecodable
            frame = bytes(raw[16:15 + size]).decode("utf-8")
            at = 4 + ((12 + size + 7) & ~7)  # float64 aligned to 8 after the encapsulation
            values = bodies[endian].unpack_from(raw, at)
        except (struct.error, UnicodeDecodeError, ValueError, IndexError):
            raise Undecodable from None
        if not 0 <= len(raw) - (at + bodies[endian].size) < 4:
            raise Undecodable
        return Decoded(sec * 1_000_000_000 + nsec, frame, None, picked(values))
    return decode


def _cdr_byte_order(raw: Any) -> str:
    """"<" or ">" from the encapsulation header of plain CDR; raises Undecodable otherwise."""
    if len(raw) < 4 or raw[0] != 0 or raw[1] not in (0, 1):
        raise Undecodable
    return "<" if raw[1] == 1 else ">"


class Transform(NamedTuple):
    parent: str
    child: str
    stamp: int  # ns
    value: tuple[float, float, float, float, float, float, float]  # x, y, z, qw, qx, qy, qz


def tf_decoder(store: Any, ros1: bool) -> Callable[[Any], list[Transform]] | None:
    """A reader of ``tf2_msgs/msg/TFMessage`` as the bag's `store` defines it, or None when that
    definition has another layout."""
    try:
        fields = _flat(store, "tf2_msgs/msg/TFMessage")
    except (KeyError, TypeError, ValueError):
        return None
    header = HEADER_ROS1 if ros1 else HEADER_ROS2
    if fields != [("sequence", (*header, "string", *["float64"] * 7))]:
        return None
    return _ros1_tf_decoder() if ros1 else _cdr_tf_decoder()


def _ros1_tf_decoder() -> Callable[[Any], list[Transform]]:
    count_of = struct.Struct("<I")
    head = struct.Struct("<IIII")
    size_of = struct.Struct("<I")
    body = struct.Struct("<7d")

    def decode(raw: Any) -> list[Transform]:
        transforms = []
        try:
            (count,) = count_of.unpack_from(raw, 0)
            at = 4
            for _ in range(count):
                _, sec, nsec, size = head.unpack_from(raw, at)
                at += 16
                parent = bytes(raw[at:at + size]).decode("utf-8")
                at += size
                (size,) = size_of.unpack_from(raw, at)
                at += 4
                child = bytes(raw[at:at + size]).decode("utf-8")
                at += size
                x, y, z, qx, qy, qz, qw = body.unpack_from(raw, at)
                at += 56
                transforms.append(Transform(parent, child,
                                            ros1_seconds(sec) * 1_000_000_000 + nsec,
                                            (x, y, z, qw, qx, qy, qz)))
        except (struct.error, UnicodeDecodeError, ValueError):
            raise Undecodable from None
        if at != len(raw):
            raise Undecodable
        return transforms
    return decode


def _cdr_tf_decoder() -> Callable[[Any], list[Transform]]:
    counts = {e: struct.Struct(f"{e}I") for e in "<>"}
    heads = {e: struct.Struct(f"{e}iII") for e in "<>"}
    bodies = {e: struct.Struct(f"{e}7d") for e in "<>"}

    def decode(raw: Any) -> list[Transform]:
        endian = _cdr_byte_order(raw)
        count_of, head, body = counts[endian], heads[endian], bodies[endian]
        transforms = []
        try:
            (count,) = count_of.unpack_from(raw, 4)
            at = 8  # offsets from the start of the buffer; alignment counts from 4
            for _ in range(count):
                at = 4 + ((at - 4 + 3) & ~3)
                sec, nsec, size = head.unpack_from(raw, at)
                at += 12
                if size < 1 or raw[at + size - 1] != 0:
                    raise Undecodable
                parent = bytes(raw[at:at + size - 1]).decode("utf-8")
                at += size
                at = 4 + ((at - 4 + 3) & ~3)
                (size,) = count_of.unpack_from(raw, at)
                at += 4
                if size < 1 or raw[at + size - 1] != 0:
                    raise Undecodable
                child = bytes(raw[at:at + size - 1]).decode("utf-8")
                at += size
                at = 4 + ((at - 4 + 7) & ~7)
                x, y, z, qx, qy, qz, qw = body.unpack_from(raw, at)
                at += 56
                transforms.append(Transform(parent, child, sec * 1_000_000_000 + nsec,
                                            (x, y, z, qw, qx, qy, qz)))
        except (struct.error, UnicodeDecodeError, ValueError, IndexError):
            raise Undecodable from None
        if not 0 <= len(raw) - at < 4:
            raise Undecodable
        return transforms
    return decode


# --- writing ----------------------------------------------------------------------------------

# An Imu without an orientation estimate: identity orientation [x, y, z, w], covariance [−1, 0…].
_NO_ORIENTATION = (0.0, 0.0, 0.0, 1.0, -1.0, *[0.0] * 8)


def _fields(msgtype: str, values: Any, covariances: Any) -> tuple[float, ...]:
    """The float64 fields after the header of an output message, in serialised order, from the
    block's output row `values` and (Imu) the covariances (acceleration, rate) in the output
    axes."""
    if msgtype == "geometry_msgs/msg/PoseStamped":
        px, py, pz, qw, qx, qy, qz = values
        return (px, py, pz, qx, qy, qz, qw)
    if msgtype == "sensor_msgs/msg/Imu":
        cov_a, cov_w = covariances
        return (*_NO_ORIENTATION, *values[3:], *cov_w, *values[:3], *cov_a)
    return tuple(values)


def encoder(store: Any, msgtype: str, ros1: bool) -> Callable[..., bytes] | None:
    """A writer of output messages of `msgtype` (one of `LAYOUTS`), serialised as rosbags
    serialises them for the bag's `store` (ROS 1, or little-endian CDR), or None when the
    store's definition has another layout. Call it with (header stamp ns, frame id, seq or None,
    the block's output row, the IMU covariances or None)."""
    if msgtype not in LAYOUTS:
        return None
    floats, _ = LAYOUTS[msgtype]
    if not _matches(store, msgtype, ros1, floats):
        return None
    body = struct.Struct(f"<{floats}d")
    if ros1:
        head = struct.Struct("<IIII")

        def encode_ros1(stamp: int, frame: str, seq: int | None, values: Any,
                        covariances: Any = None) -> bytes:
            sec, nsec = divmod(stamp, 1_000_000_000)
            name = frame.encode("utf-8")
            return b"".join((head.pack(seq or 0, sec, nsec, len(name)), name,
                             body.pack(*_fields(msgtype, values, covariances))))
        return encode_ros1
    head = struct.Struct("<iII")

    def encode_cdr(stamp: int, frame: str, seq: int | None, values: Any,
                   covariances: Any = None) -> bytes:
        sec, nsec = divmod(stamp, 1_000_000_000)
        name = frame.encode("utf-8")
        end = 12 + len(name) + 1  # after the header, counted from the encapsulation's end
        padding = b"\0" * (-end % 8)
        return b"".join((b"\0\1\0\0", head.pack(sec, nsec, len(name) + 1), name, b"\0",
                         padding, body.pack(*_fields(msgtype, values, covariances))))
    return encode_cdr


def many_encoder(store: Any, msgtype: str, ros1: bool) -> Callable[..., tuple[bytes, Any, Any]] | None:
    """`encoder` for many messages at once, with NumPy: call it with header stamps (N,) int64
    ns, frame ids (N,), seq (N,) int64 or None, the block's output rows (N, width) and the IMU
    covariances ((N, 9), (N, 9)) or None; it returns (data, starts, sizes), message k being
    data[starts[k]:starts[k] + sizes[k]], each equal to what `encoder` makes of it. None where
    `encoder` is None."""
    if encoder(store, msgtype, ros1) is None:
        return None
    from kivo_tf_tools._deps import require

    np = require("numpy")
    floats, _ = LAYOUTS[msgtype]

    def fields_of(values: Any, covariances: Any) -> Any:
        if msgtype == "geometry_msgs/msg/PoseStamped":
            return values[:, [0, 1, 2, 4, 5, 6, 3]]
        if msgtype == "sensor_msgs/msg/Imu":
            cov_a, cov_w = covariances
            fixed = np.broadcast_to(np.array(_NO_ORIENTATION), (len(values), 13))
            return np.hstack([fixed, values[:, 3:6], cov_w, values[:, :3], cov_a])
        return values

    def encode_many(stamps: Any, frames: list[str], seq: Any, values: Any,
                    covariances: Any = None) -> tuple[bytes, Any, Any]:
        count = len(stamps)
        body = np.ascontiguousarray(fields_of(np.asarray(values, dtype=np.float64),
                                              covariances), dtype="<f8")
        sec, nsec = np.divmod(np.asarray(stamps, dtype=np.int64), 1_000_000_000)
        low, high = (0, 2**32 - 1) if ros1 else (-(2**31), 2**31 - 1)
        if count and (int(sec.min()) < low or int(sec.max()) > high):
            raise ValueError("a header stamp does not fit the message's seconds field")
        names = {frame: frame.encode("utf-8") for frame in dict.fromkeys(frames)}
        number_of = {frame: k for k, frame in enumerate(names)}
        group = (np.array([number_of[f] for f in frames], dtype=np.int64) if len(names) > 1
                 else np.zeros(count, dtype=np.int64))
        parts, starts, sizes = [], np.zeros(count, dtype=np.int64), np.zeros(count, np.int64)
        at = 0
        for number, name in enumerate(names.values()):
            index = np.flatnonzero(group == number)
            if ros1:
                layout = [("seq", "<u4"), ("sec", "<u4"), ("nsec", "<u4"), ("size", "<u4"),
                          ("name", "u1", (len(name),)), ("body", "<f8", (floats,))]
            else:
                padding = -(12 + len(name) + 1) % 8
                layout = [("cdr", "u1", (4,)), ("sec", "<i4"), ("nsec", "<u4"),
                          ("size", "<u4"), ("name", "u1", (len(name) + 1 + padding,)),
                          ("body", "<f8", (floats,))]
            rows = np.zeros(len(index), dtype=np.dtype(layout))
            rows["sec"], rows["nsec"] = sec[index], nsec[index]
            rows["name"][:, :len(name)] = np.frombuffer(name, dtype=np.uint8)
            rows["body"] = body[index]
            if ros1:
                rows["seq"] = seq[index] if seq is not None else 0
                rows["size"] = len(name)
            else:
                rows["cdr"] = (0, 1, 0, 0)
                rows["size"] = len(name) + 1
            parts.append(rows.tobytes())
            size = rows.dtype.itemsize
            starts[index] = at + size * np.arange(len(index), dtype=np.int64)
            sizes[index] = size
            at += size * len(index)
        return b"".join(parts), starts, sizes
    return encode_many


# --- many at once -----------------------------------------------------------------------------

class Many(NamedTuple):
    """Messages decoded together: header stamps (N,) int64 ns, ROS 1 seq (N,) int64 or None,
    frame ids, the values (N, k) float64 as `Decoded.values`, and the indices of the messages
    that did not fit (their rows hold zeros: decode them one by one)."""

    stamps: Any
    seq: Any
    frames: list[str]
    values: Any
    misfits: list[int]


def frame_names(raw: list[bytes]) -> tuple[list[str], list[int]]:
    """Frame ids as text, and the numbers of those that are not UTF-8 ("" in their place)."""
    names, bad = [], []
    for k, name in enumerate(raw):
        try:
            names.append(name.decode("utf-8"))
        except UnicodeDecodeError:
            names.append("")
            bad.append(k)
    return names, bad


def many_decoder(store: Any, msgtype: str, ros1: bool) -> Callable[[Any, Any, Any], Many] | None:
    """A reader of many messages of `msgtype` at once, message k being
    data[starts[k]:starts[k] + sizes[k]] (int64 arrays), read in C++ over the buffer with the
    layout `decoder` reads. None where `decoder` is None."""
    if decoder(store, msgtype, ros1) is None:
        return None
    from kivo_tf_tools._deps import require

    np = require("numpy")
    scan = require("kivo_tf_tools._bag_scan")
    floats, pick = LAYOUTS[msgtype]
    columns = list(pick)

    def decode_many(data: Any, starts: Any, sizes: Any) -> Many:
        stamps, seq, numbers, fits, values, raw_names = scan.decode_stamped(
            data, starts, sizes, ros1, floats)
        names, bad = frame_names(raw_names)
        fits = fits.astype(bool)
        if bad:
            fits &= ~np.isin(numbers, bad)
        frames = np.array([*names, ""], dtype=object)[numbers].tolist()
        return Many(stamps, seq if ros1 else None, frames, values[:, columns],
                    np.flatnonzero(~fits).tolist())
    return decode_many
