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

from kivo_tf_tools._bag_blocks import by_first_appearance, into_chunks, one_message
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

        def _entries(self, connections: Collection[Any], start: int | None = None,
                     stop: int | None = None) -> tuple[Any, Any, Any, Any]:
            """(times, chunk positions, offsets) of the index entries of `connections` (all:
            empty) and their order: time, then chunk, then place in the chunk."""
            self._check_open()
            wanted = [c.id for c in connections or self.connections]
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
            return times, chunks, offsets, order

        def _chunk_data(self, chunk_pos: int) -> bytes:
            chunk = self.chunks[chunk_pos]
            self.bio.seek(chunk.datapos)
            data: bytes = chunk.decompressor(read_bytes(self.bio, chunk.datasize))
            return data

        def blocks(self, connections: Collection[Any] = ()) -> Generator[Any, None, None]:
            """The messages of `connections` as `_bag_blocks.Block`s, one per run of messages of
            one chunk, in the order of `messages`, with the same checks: a record that is not a
            message of a known connection at its index entry's time raises ReaderError after
            the messages before it."""
            from kivo_tf_tools._bag_blocks import Block

            scan = require("kivo_tf_tools._bag_scan")
            times, chunks, offsets, order = self._entries(connections)
            own = np.array(sorted(c.id for c in self.connections), dtype=np.int64)
            current, data = -1, b""
            for first in range(0, len(order), 65536):
                part = order[first:first + 65536]
                part_chunks = chunks[part]
                edges = [0, *(np.flatnonzero(part_chunks[1:] != part_chunks[:-1]) + 1).tolist(),
                         len(part)]
                for begin, end in zip(edges, edges[1:]):
                    if begin == end:
                        continue
                    run = part[begin:end]
                    chunk_pos = int(part_chunks[begin])
                    if chunk_pos != current:
                        data, current = self._chunk_data(chunk_pos), chunk_pos
                    conn, stamp, starts, sizes, read, error = scan.ros1_messages(
                        data, np.ascontiguousarray(offsets[run]))
                    matches = np.isin(conn, own) & (stamp == times[run[:read]])
                    good = read if bool(matches.all()) else int(np.argmin(matches))
                    if good:
                        yield Block(conn[:good], stamp[:good], data, starts[:good],
                                    sizes[:good])
                    if good < read:
                        raise ReaderError("a message record does not match its index entry")
                    if error:
                        raise ReaderError(f"a message record is not readable: {error}")

        def messages(self, connections: Collection[Any] = (), start: int | None = None,
                     stop: int | None = None) -> Generator[tuple[Any, int, bytes], None, None]:
            """(connection, time ns, raw message) in order of time (then chunk, then place in
            the chunk), as rosbags' own reader gives them."""
            by_id = {c.id: c for c in self.connections}
            times, chunks, offsets, order = self._entries(connections, start, stop)
            current = -1
            data = b""
            for first in range(0, len(order), 65536):
                part = order[first:first + 65536]
                for time, chunk_pos, offset in zip(times[part].tolist(), chunks[part].tolist(),
                                                   offsets[part].tolist()):
                    if chunk_pos != current:
                        data, current = self._chunk_data(chunk_pos), chunk_pos
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


class _Entries:
    """The index entries of an open chunk's messages of one connection, as arrays: bag times
    (ns) and offsets in the chunk."""

    __slots__ = ("parts", "count")

    def __init__(self) -> None:
        self.parts: list[tuple[Any, Any]] = []
        self.count = 0

    def add(self, times: Any, offsets: Any) -> None:
        self.parts.append((times, offsets))
        self.count += len(times)

    def __len__(self) -> int:
        return self.count

    def data(self) -> bytes:
        """The entries as an index data record holds them: uint32 sec, nsec, offset each."""
        np = require("numpy")
        times = np.concatenate([t for t, _ in self.parts])
        entries = np.empty(len(times), dtype=_ENTRY)
        entries["sec"], entries["nsec"] = np.divmod(times, 1_000_000_000)
        entries["offset"] = np.concatenate([o for _, o in self.parts])
        data: bytes = entries.tobytes()
        return data


# Bytes of a message data record before the message: its header's size, the header {op, conn,
# time} and the message's size.
_RECORD_HEAD = 4 + (4 + 4) + (4 + 9) + (4 + 13) + 4


def writer_class() -> Any:
    """A subclass of rosbags.rosbag1.Writer that writes many messages at once (`write_many`: the
    records made in C++, the index kept as arrays) and keeps, for the chunks already written,
    only their counts (the file's closing index needs nothing else). Chunks are cut, and the
    file laid out, as rosbags' own writer does message by message."""
    np = require("numpy")
    rosbag1 = require("rosbags.rosbag1.writer")
    base = rosbag1.Writer
    Header, RecordType, WriteChunk = rosbag1.Header, rosbag1.RecordType, rosbag1.WriteChunk
    WriterError = rosbag1.WriterError

    class CompactWriter(base):  # type: ignore[misc, valid-type]
        def write(self, connection: Any, timestamp: int, data: Any) -> None:
            if connection not in self.connections:
                raise WriterError(f"There is no connection {connection!r}.")
            self.write_many(*one_message(connection.id, timestamp, data))

        def write_many(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
            """Message k, data[starts[k]:starts[k] + sizes[k]], on the connection of id ids[k]
            at bag time times[k] (ns); int64 arrays."""
            if not self.bio:
                raise WriterError("Bag was not opened.")
            if not len(ids):
                return
            known = np.array([c.id for c in self.connections], dtype=np.int64)
            if not np.isin(ids, known).all():
                raise WriterError("There is no connection of a message's id.")
            records = memoryview(require("kivo_tf_tools._bag_scan").ros1_records(
                ids, times, data, starts, sizes))
            lengths = sizes + _RECORD_HEAD
            firsts = np.cumsum(lengths) - lengths  # of each record in `records`
            for begin, end, offsets, full in into_chunks(
                    lengths, lambda: self.chunks[-1].data.tell(), self.chunk_threshold):
                chunk = self.chunks[-1]
                part_times = times[begin:end]
                for cid, mine in by_first_appearance(ids[begin:end]):
                    entries = chunk.connections.get(cid)
                    if entries is None:
                        entries = chunk.connections[cid] = _Entries()
                    entries.add(part_times[mine], offsets[mine])
                chunk.start = min(chunk.start, int(part_times.min()))
                chunk.end = max(chunk.end, int(part_times.max()))
                chunk.data.write(records[int(firsts[begin]):int(firsts[end - 1]
                                                                + lengths[end - 1])])
                if full:
                    self.write_chunk(chunk)

        def write_chunk(self, chunk: Any) -> None:
            """A chunk record, then one index data record per connection of the chunk."""
            size = chunk.data.tell()
            if not size:
                return
            chunk.pos = self.bio.tell()
            header = Header()
            header.set_string("compression", self.compression_format)
            header.set_uint32("size", size)
            header.write(self.bio, RecordType.CHUNK)
            data = self.compressor(chunk.data.getvalue())
            self.bio.write(_U32.pack(len(data)))
            self.bio.write(data)
            for cid, entries in chunk.connections.items():
                header = Header()
                header.set_uint32("ver", 1)
                header.set_uint32("conn", cid)
                header.set_uint32("count", len(entries))
                header.write(self.bio, RecordType.IDXDATA)
                self.bio.write(_U32.pack(12 * len(entries)))
                self.bio.write(entries.data())
            chunk.data.close()
            chunk.connections = {cid: _Count(len(e)) for cid, e in chunk.connections.items()}
            self.chunks.append(WriteChunk(require("io").BytesIO(), -1, rosbag1.MAXSIZE, 0,
                                          require("collections").defaultdict(list)))

    return CompactWriter
