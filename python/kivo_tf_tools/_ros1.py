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

import io
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
            data: io.BytesIO = io.BytesIO()
            for first in range(0, len(order), 65536):
                part = order[first:first + 65536]
                for time, chunk_pos, offset in zip(times[part].tolist(), chunks[part].tolist(),
                                                   offsets[part].tolist()):
                    if chunk_pos != current:
                        chunk = self.chunks[chunk_pos]
                        self.bio.seek(chunk.datapos)
                        data = io.BytesIO(chunk.decompressor(read_bytes(self.bio,
                                                                        chunk.datasize)))
                        current = chunk_pos
                    data.seek(offset)
                    while True:
                        header = Header.read(data)
                        op = header.get_uint8("op")
                        if op != RecordType.CONNECTION:
                            break
                        data.seek(read_uint32(data), io.SEEK_CUR)
                    if op != RecordType.MSGDATA:
                        raise ReaderError("expected a message record at an index entry")
                    raw = read_bytes(data, read_uint32(data))
                    connection = by_id.get(header.get_uint32("conn"))
                    if connection is None or header.get_time("time") != time:
                        raise ReaderError("a message record does not match its index entry")
                    yield connection, time, raw

    return CompactReader


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

