"""rosbags' rosbag2 writer with a bulk write: `writer_class().write_many` writes the messages of a
block at once, into a SQLite3 storage (one ``executemany``) or an MCAP storage (the message
records made in C++, the chunk's message index kept as arrays), laid out as rosbags' own writer
lays them out message by message: an MCAP chunk is closed after the message that takes it past
1 MiB. The metadata, schemas, channels and summary stay rosbags' own.

MCAP records written here (little-endian): a chunk {uint64 message start time, uint64 message end
time, uint64 uncompressed size, uint32 CRC (0: none), string compression, uint64 size + records};
after it, a message index per channel {uint16 channel, uint32 size + (uint64 log time, uint64
offset in the chunk) per message}; for the summary, a chunk index {uint64 message start time,
uint64 message end time, uint64 chunk offset, uint64 chunk length, uint32 size + (uint16
channel, uint64 message index offset) per channel, uint64 message index length, string
compression, uint64 compressed size, uint64 uncompressed size}. A string is a uint32 size and
its UTF-8 bytes.
"""
from __future__ import annotations

import struct
from collections import defaultdict
from io import BytesIO
from typing import Any

from kivo_tf_tools._bag_blocks import by_first_appearance, into_chunks, one_message
from kivo_tf_tools._deps import require

CHUNK_BYTES = 1 << 20  # an MCAP chunk is closed once its records pass this size
_MESSAGE_RECORD_HEAD = 1 + 8 + 22  # opcode, length, channel, sequence, log and publish time
_U16, _U32, _U64 = struct.Struct("<H"), struct.Struct("<I"), struct.Struct("<Q")


def _string(text: str) -> bytes:
    data = text.encode()
    return _U32.pack(len(data)) + data


def _record(opcode: int, content: bytes) -> bytes:
    return bytes((opcode,)) + _U64.pack(len(content)) + content


def writer_class() -> Any:
    """A subclass of rosbags.rosbag2.Writer with `write_many` (and `write` going through it)."""
    np = require("numpy")
    scan = require("kivo_tf_tools._bag_scan")
    rosbag2 = require("rosbags.rosbag2")
    enums = require("rosbags.rosbag2.enums")
    mcap = require("rosbags.rosbag2.storage_mcap")
    sqlite = require("rosbags.rosbag2.storage_sqlite3")
    WriterError = rosbag2.WriterError
    mcap_base: Any = mcap.McapWriter
    sqlite_base: Any = sqlite.Sqlite3Writer
    writer_base: Any = rosbag2.Writer

    class McapStorage(mcap_base):  # type: ignore[misc]
        chunk: Any  # the open chunk (rosbags' PendingChunk); its msgs hold arrays here
        message_start_time: int
        message_end_time: int

        def write(self, connection: Any, timestamp: int, data: Any) -> None:
            self.write_many(*one_message(connection.id, timestamp, data))

        def write_many(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
            records = memoryview(scan.mcap_records(ids, times, data, starts, sizes))
            lengths = sizes + _MESSAGE_RECORD_HEAD
            firsts = np.cumsum(lengths) - lengths  # of each record in `records`
            for begin, end, offsets, full in into_chunks(
                    lengths, lambda: self.chunk.bio.tell(), CHUNK_BYTES):
                chunk = self.chunk
                part_times = times[begin:end]
                for cid, mine in by_first_appearance(ids[begin:end]):
                    chunk.msgs[cid].append((part_times[mine], offsets[mine]))
                    self.channel_stats[cid] += int(mine.sum())
                low, high = int(part_times.min()), int(part_times.max())
                chunk.message_start_time = min(chunk.message_start_time, low)
                chunk.message_end_time = max(chunk.message_end_time, high)
                self.message_start_time = min(self.message_start_time, low)
                self.message_end_time = max(self.message_end_time, high)
                chunk.bio.write(records[int(firsts[begin]):int(firsts[end - 1]
                                                               + lengths[end - 1])])
                if full:
                    self.close_chunk()

        def close_chunk(self) -> None:
            """The open chunk, its message indexes, and its entry of the summary's chunk
            index (kept in `chunks`)."""
            chunk = self.chunk
            raw = chunk.bio.getvalue()
            compressed = self.compressor(raw)
            content = b"".join((_U64.pack(chunk.message_start_time),
                                _U64.pack(chunk.message_end_time), _U64.pack(len(raw)),
                                _U32.pack(0), _string(self.compression),
                                _U64.pack(len(compressed)), compressed))
            chunk_start = self.bio.tell()
            self.bio.write(_record(0x06, content))
            chunk_end = self.bio.tell()
            index_offsets = []
            for cid, parts in chunk.msgs.items():
                entries = np.empty((sum(len(t) for t, _ in parts), 2), dtype="<u8")
                entries[:, 0] = np.concatenate([t for t, _ in parts])
                entries[:, 1] = np.concatenate([o for _, o in parts])
                index_offsets.append(_U16.pack(cid) + _U64.pack(self.bio.tell()))
                self.bio.write(_record(0x07, _U16.pack(cid) + _U32.pack(entries.nbytes)
                                       + entries.tobytes()))
            offsets = b"".join(index_offsets)
            entry = BytesIO()
            entry.write(b"".join((_U64.pack(chunk.message_start_time),
                                  _U64.pack(chunk.message_end_time), _U64.pack(chunk_start),
                                  _U64.pack(chunk_end - chunk_start), _U32.pack(len(offsets)),
                                  offsets, _U64.pack(self.bio.tell() - chunk_end),
                                  _string(self.compression), _U64.pack(len(compressed)),
                                  _U64.pack(len(raw)))))
            self.chunks.append(entry)
            self.chunk = mcap.PendingChunk(2**63 - 1, 0, BytesIO(), defaultdict(list))

    class SqliteStorage(sqlite_base):  # type: ignore[misc]
        def write_many(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
            self.cursor.executemany(
                "INSERT INTO messages (topic_id, timestamp, data) VALUES(?, ?, ?)",
                zip(ids.tolist(), times.tolist(), scan.slices(data, starts, sizes)))

    class BulkWriter(writer_base):  # type: ignore[misc]
        STORAGE_PLUGINS = {enums.StoragePlugin.SQLITE3: SqliteStorage,
                           enums.StoragePlugin.MCAP: McapStorage}
        min_timestamp: int
        max_timestamp: int

        def write(self, connection: Any, timestamp: int, data: Any) -> None:
            if connection not in self.connections:
                raise WriterError(f"Tried to write to unknown connection {connection!r}.")
            self.write_many(*one_message(connection.id, timestamp, data))

        def write_many(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
            """Message k, data[starts[k]:starts[k] + sizes[k]], on the connection of id ids[k]
            at bag time times[k] (ns); int64 arrays."""
            if not self.storage:
                raise WriterError("Bag was not opened.")
            if not len(ids):
                return
            known = np.array([c.id for c in self.connections], dtype=np.int64)
            if not np.isin(ids, known).all():
                raise WriterError("Tried to write to an unknown connection.")
            if self.compression_mode == enums.CompressionMode.MESSAGE:
                by_id = {c.id: c for c in self.connections}
                view = memoryview(data)
                for cid, time, start, size in zip(ids.tolist(), times.tolist(),
                                                  starts.tolist(), sizes.tolist()):
                    super().write(by_id[cid], time, view[start:start + size])
                return
            self.storage.write_many(ids, times, data, starts, sizes)
            unique, counts = np.unique(ids, return_counts=True)
            for cid, count in zip(unique.tolist(), counts.tolist()):
                self.counts[cid] += count
            self.min_timestamp = min(self.min_timestamp, int(times.min()))
            self.max_timestamp = max(self.max_timestamp, int(times.max()))

    return BulkWriter
