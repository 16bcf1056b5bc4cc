"""rosbags' ROS 1 reader and writer with their per-message bookkeeping kept compact.

A ROS 1 bag (format 2.0) stores its messages in chunks; after each chunk, one index record per
connection lists (time, offset in the chunk) of that connection's messages, and at the end of
the file the connection records and one chunk-info record per chunk (its position, time range
and message count per connection). rosbags keeps one Python object per message for the index,
when reading (about 140 bytes each) and when writing (about 120): a recording of a million
messages would cost several hundred MiB. Here the reader keeps the index as NumPy arrays (20
bytes a message) and the writer keeps, for the chunks already written, only their counts; the
container's parsing, decompression and writing stay rosbags' own.
"""
from __future__ import annotations

import struct
from collections.abc import Collection, Generator
from typing import Any

from kivo_tf_tools._deps import require

_ENTRY = [("sec", "<u4"), ("nsec", "<u4"), ("offset", "<u4")]  # an index record's entries


def reader_class() -> Any:
    """A subclass of rosbags.rosbag1.Reader that keeps its index in arrays."""
    np = require("numpy")
    rosbag1 = require("rosbags.rosbag1.reader")
    base = rosbag1.Reader
    Header, RecordType = rosbag1.Header, rosbag1.RecordType
    ReaderError, read_uint32, read_bytes = (rosbag1.ReaderError, rosbag1.read_uint32,
                                            rosbag1.read_bytes)

    class CompactReader(base):  # type: ignore[misc, valid-type]
        """Per connection id, `compact[id]` = (time ns int64, chunk position int64, offset in
        the chunk int64), sorted by time; `indexes` stays empty."""

        connections: list[Any]

        def read_index_data(self, pos: int, indexes: Any) -> None:
            header = Header.read(self.bio, RecordType.IDXDATA)
            if header.get_uint32("ver") != 1:
                raise ReaderError("index record version is not 1")
            connection = header.get_uint32("conn")
            count = header.get_uint32("count")
            size = read_uint32(self.bio)
            if size != 12 * count:
                raise ReaderError(f"index record of {count} entries holds {size} bytes")
            entries = np.frombuffer(read_bytes(self.bio, size), dtype=_ENTRY)
            self._pieces.setdefault(connection, []).append((pos, entries))

        def open(self) -> None:
            self._pieces: dict[int, list[tuple[int, Any]]] = {}
            self.compact: dict[int, tuple[Any, Any, Any]] = {}
            super().open()
            connections: list[Any] = self.connections
            for connection in connections:
                pieces = self._pieces.pop(connection.id, [])
                times = np.concatenate(
                    [e["sec"].astype(np.int64) * 1_000_000_000 + e["nsec"] for _, e in pieces]
                    or [np.zeros(0, dtype=np.int64)])
                chunks = np.concatenate([np.full(len(e), p, dtype=np.int64) for p, e in pieces]
                                        or [np.zeros(0, dtype=np.int64)])
                offsets = np.concatenate([e["offset"].astype(np.int64) for _, e in pieces]
                                         or [np.zeros(0, dtype=np.int64)])
                order = np.lexsort((offsets, chunks, times))
                self.compact[connection.id] = (times[order], chunks[order], offsets[order])
            self.connections = [c._replace(msgcount=len(self.compact[c.id][0]))
                                for c in connections]
            self._pieces = {}

        def messages(self, connections: Collection[Any] = (), start: int | None = None,
                     stop: int | None = None) -> Generator[tuple[Any, int, bytes], None, None]:
            """(connection, time ns, raw message) in order of time (then chunk, then place in
            the chunk), as rosbags' own reader gives them."""
            self._check_open()
            own: list[Any] = self.connections
            if not connections:
                connections = own
            by_id = {c.id: c for c in own}
            wanted = [c.id for c in connections]
            times = np.concatenate([self.compact[i][0] for i in wanted] or [np.zeros(0, "i8")])
            chunks = np.concatenate([self.compact[i][1] for i in wanted] or [np.zeros(0, "i8")])
            offsets = np.concatenate([self.compact[i][2] for i in wanted] or [np.zeros(0, "i8")])
            keep = np.ones(len(times), dtype=bool)
            if start is not None:
                keep &= times >= start
            if stop is not None:
                keep &= times < stop
            order = np.flatnonzero(keep)
            order = order[np.lexsort((offsets[order], chunks[order], times[order]))]
            del keep
            current = -1
            data = b""
            for first in range(0, len(order), 65536):
                part = order[first:first + 65536]
                for time, chunk_pos, offset in zip(times[part].tolist(), chunks[part].tolist(),
                                                   offsets[part].tolist()):
                    if chunk_pos != current:
                        chunk = self.chunks[chunk_pos]
                        self.bio.seek(chunk.datapos)
                        data = chunk.decompressor(read_bytes(self.bio, chunk.datasize))
                        current = chunk_pos
                    try:
                        conn, stamp, raw = _message_at(data, offset)
                    except (struct.error, KeyError, ValueError) as error:
                        raise ReaderError(f"a message record is not readable: {error}") from None
                    connection = by_id.get(conn)
                    if connection is None or stamp != time:
                        raise ReaderError("a message record does not match its index entry")
                    yield connection, time, raw

    return CompactReader


_U32 = struct.Struct("<I")
_TIME = struct.Struct("<II")
_CONNECTION, _MESSAGE = 0x07, 0x02  # record ops


def _fields(data: bytes, start: int, end: int) -> dict[bytes, bytes]:
    """The fields name=value of a record header in data[start:end]."""
    fields = {}
    while start < end:
        (size,) = _U32.unpack_from(data, start)
        start += 4
        name, sep, value = data[start:start + size].partition(b"=")
        if not sep or start + size > end:
            raise ValueError("a record header field is damaged")
        fields[name] = value
        start += size
    return fields


def _message_at(data: bytes, offset: int) -> tuple[int, int, bytes]:
    """(connection id, time ns, raw message) of the message data record at `offset` of a chunk,
    after any connection records there."""
    while True:
        (size,) = _U32.unpack_from(data, offset)
        start = offset + 4
        fields = _fields(data, start, start + size)
        (length,) = _U32.unpack_from(data, start + size)
        body = start + size + 4
        if len(data) < body + length:
            raise ValueError("a record runs past the end of its chunk")
        if fields[b"op"] != bytes((_CONNECTION,)):
            break
        offset = body + length
    if fields[b"op"] != bytes((_MESSAGE,)):
        raise ValueError("expected a message record at an index entry")
    (conn,) = _U32.unpack_from(fields[b"conn"])
    sec, nsec = _TIME.unpack_from(fields[b"time"])
    return conn, sec * 1_000_000_000 + nsec, data[body:body + length]


class _Count:
    """The count of a written chunk's messages of one connection, in place of their list."""

    __slots__ = ("count",)

    def __init__(self, count: int) -> None:
        self.count = count

    def __len__(self) -> int:
        return self.count


def writer_class() -> Any:
    """A subclass of rosbags.rosbag1.Writer that forgets the index entries of each chunk once
    they are written (the file's closing index needs only their counts)."""
    base = require("rosbags.rosbag1").Writer

    class CompactWriter(base):  # type: ignore[misc, valid-type]
        def write_chunk(self, chunk: Any) -> None:
            super().write_chunk(chunk)
            if chunk.pos != -1:
                chunk.connections = {cid: _Count(len(items))
                                     for cid, items in chunk.connections.items()}

    return CompactWriter

