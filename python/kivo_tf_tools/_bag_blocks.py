"""A bag's messages read a chunk at a time, as `Block`s of arrays over the message bytes, in the
order and with the contents rosbags' readers give them one by one.

Where the container allows, the chunks are read here from what rosbags parsed of the file (the
ROS 1 index, the MCAP chunk index, the SQLite3 database) and their records scanned in C++
(`_bag_scan`): a ROS 1 bag read by the compact reader (`_ros1`); the MCAP storage of a rosbag2
directory or a lone MCAP file whose chunks are indexed and follow each other in time; a SQLite3
storage. Every other bag (MCAP without a chunk index or with chunks overlapping in time, messages
compressed one by one) is read through rosbags' own iteration and grouped into blocks.

Order: a ROS 1 bag by time, then chunk position, then place in the chunk; an MCAP file by log
time, then chunk position, then place in the chunk (a message outside its chunk's declared time
range is left out, as rosbags does); a SQLite3 storage as its ``ORDER BY timestamp`` gives them;
the files of a rosbag2 directory one after the other.
"""
from __future__ import annotations

import itertools
from collections.abc import Collection, Iterator
from typing import Any

from kivo_tf_tools._deps import require

BLOCK_MESSAGES = 16384  # messages of one block where the container has no chunks of its own


class Block:
    """Messages read together: connection ids (N,) int64, bag times (N,) int64 ns, and the bytes
    of message k at data[starts[k]:starts[k] + sizes[k]] (data: any bytes-like object)."""

    __slots__ = ("ids", "times", "data", "starts", "sizes")

    def __init__(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
        self.ids, self.times, self.data, self.starts, self.sizes = ids, times, data, starts, sizes

    def __len__(self) -> int:
        return len(self.ids)

    def raw(self, k: int) -> bytes:
        start = int(self.starts[k])
        return bytes(memoryview(self.data)[start:start + int(self.sizes[k])])

    def part(self, index: Any) -> Block:
        """The messages at `index` (a slice or an index array), over the same bytes."""
        return Block(self.ids[index], self.times[index], self.data, self.starts[index],
                     self.sizes[index])


def one_message(connection_id: int, timestamp: int, data: Any) -> tuple[Any, ...]:
    """The arguments of a bulk write (ids, times, data, starts, sizes) for one message."""
    np = require("numpy")
    return (np.array([connection_id], dtype=np.int64), np.array([timestamp], dtype=np.int64),
            data, np.zeros(1, dtype=np.int64), np.array([len(data)], dtype=np.int64))


def into_chunks(lengths: Any, open_size: Any, limit: int) -> Iterator[tuple[int, int, Any, bool]]:
    """Records of `lengths` bytes (int64 array) written one after the other into chunks that a
    writer closes once their size passes `limit`: runs (begin, end, offsets, full), records
    begin..end-1 going into the open chunk (of `open_size()` bytes) at `offsets`, the chunk to be
    closed after them when `full`."""
    np = require("numpy")
    ends = np.cumsum(lengths)
    at, count = 0, len(lengths)
    while at < count:
        base = open_size() - int(ends[at] - lengths[at])  # offset in the chunk of record 0
        over = np.flatnonzero(base + ends[at:] > limit)
        stop = at + int(over[0]) + 1 if len(over) else count
        yield at, stop, base + ends[at:stop] - lengths[at:stop], bool(len(over))
        at = stop


def by_first_appearance(ids: Any) -> list[tuple[int, Any]]:
    """(id, mask of its places) of each distinct id, in order of its first place."""
    np = require("numpy")
    unique, firsts = np.unique(ids, return_index=True)
    return [(int(i), ids == i) for i in unique[np.argsort(firsts)].tolist()]


def grouped(messages: Iterator[tuple[Any, int, Any]]) -> Iterator[Block]:
    """Blocks of (connection, time, raw) tuples as a reader yields them; when the reader fails,
    the messages read before the failure come first."""
    np = require("numpy")
    items: list[tuple[Any, int, Any]] = []
    try:
        for item in messages:
            items.append(item)
            if len(items) == BLOCK_MESSAGES:
                yield _from_items(np, items)
                items = []
    except Exception:
        if items:
            yield _from_items(np, items)
        raise
    if items:
        yield _from_items(np, items)


def _from_items(np: Any, items: list[tuple[Any, int, Any]]) -> Block:
    connections, times, raws = zip(*items)
    return _joined(np, [c.id for c in connections], times, raws)


def _joined(np: Any, ids: Any, times: Any, raws: Any) -> Block:
    sizes = np.fromiter(map(len, raws), dtype=np.int64, count=len(raws))
    starts = np.zeros(len(raws), dtype=np.int64)
    np.cumsum(sizes[:-1], out=starts[1:])
    return Block(np.asarray(ids, dtype=np.int64), np.asarray(times, dtype=np.int64),
                 b"".join(raws), starts, sizes)


def blocks_of(inner: Any, connections: Collection[Any]) -> Iterator[Block] | None:
    """Blocks of the messages of `connections` (all: empty) of rosbags' reader `inner` (the one
    reader of an AnyReader) read chunk by chunk, or None where this container is read through
    rosbags' own iteration."""
    if hasattr(inner, "compact"):  # the compact ROS 1 reader
        blocks: Iterator[Block] = inner.blocks(connections)
        return blocks
    storage = getattr(inner, "storage", None)  # rosbags.rosbag2.Reader → DirectoryReader
    if storage is not None and hasattr(storage, "storages"):
        if getattr(storage.metadata, "compression_mode", None) == "message":
            return None
        own = connections or storage.connections
        sources = []
        for part in storage.storages:
            source = _storage_blocks(part, _connection_map(part, own))
            if source is None:
                return None
            sources.append(source)
        return itertools.chain.from_iterable(sources)
    mcap = getattr(inner, "_storage", None)  # a lone MCAP file (_bag_files._mcap_file)
    if mcap is not None:
        own = connections or inner.connections
        return _storage_blocks(mcap, {c.id: c.id for c in own})
    return None


def _connection_map(storage: Any, connections: Collection[Any]) -> dict[int, int]:
    """Storage connection id → id of the matching connection of the directory, as rosbags'
    directory reader matches them."""
    mapped = {}
    for x in storage.connections:
        for y in connections:
            if (y.topic == x.topic and y.msgtype == x.msgtype and y.ext == x.ext
                    and (not x.digest or not y.digest or y.digest == x.digest)):
                mapped[x.id] = y.id
                break
    return mapped


def _storage_blocks(storage: Any, mapped: dict[int, int]) -> Iterator[Block] | None:
    kind = type(storage).__name__
    if kind == "Sqlite3Reader":
        return _sqlite_blocks(storage, mapped)
    if kind == "McapReader":
        return _mcap_blocks(storage, mapped)
    return None


def _lookup(np: Any, mapped: dict[int, int]) -> tuple[Any, Any]:
    """(table, known): table[storage id] = bag id, known[storage id] = whether it is wanted."""
    size = max(mapped, default=-1) + 1
    table = np.zeros(size, dtype=np.int64)
    known = np.zeros(size, dtype=bool)
    for key, value in mapped.items():
        table[key], known[key] = value, True
    return table, known


def _sqlite_blocks(storage: Any, mapped: dict[int, int]) -> Iterator[Block]:
    """The messages of a SQLite3 storage, with the query rosbags' reader makes."""
    np = require("numpy")
    if not mapped:
        return
    table, _ = _lookup(np, mapped)
    ids = tuple(mapped)
    query = ("SELECT topics.id,messages.timestamp,messages.data FROM messages JOIN topics ON "
             f"messages.topic_id=topics.id WHERE topics.id IN ({','.join('?' for _ in ids)}) "
             "ORDER BY timestamp")

    def block(rows: list[Any]) -> Block:
        topics, times, raws = zip(*rows)
        return _joined(np, table[np.asarray(topics, dtype=np.int64)], times, raws)

    done = 0  # rows handed out
    try:
        cursor = storage.dbconn.execute(query, ids)
        while rows := list(itertools.islice(cursor, BLOCK_MESSAGES)):
            yield block(rows)
            done += len(rows)
        return
    except Exception:
        pass
    # A damaged database: the rows after those handed out and before the failure, read again one
    # at a time, then the failure itself.
    rows = []
    try:
        for row in itertools.islice(storage.dbconn.execute(query, ids), done, None):
            rows.append(row)
    except Exception:
        if rows:
            yield block(rows)
        raise
    if rows:  # it failed only the first time
        yield block(rows)


def _mcap_blocks(storage: Any, mapped: dict[int, int]) -> Iterator[Block] | None:
    """The messages of an MCAP storage chunk by chunk, or None where its chunks are not indexed
    or overlap in time (rosbags then merges them message by message)."""
    np = require("numpy")
    scan = require("kivo_tf_tools._bag_scan")
    mcap = require("rosbags.rosbag2.storage_mcap")
    chunks = sorted((c for c in storage.chunks
                     if any(c.channel_count.get(cid, 0) for cid in mapped)),
                    key=lambda c: c.chunk_start_offset)
    if not storage.chunks or any(a.message_end_time > b.message_start_time
                                 for a, b in zip(chunks, chunks[1:])):
        return None
    table, known = _lookup(np, mapped)

    def read() -> Iterator[Block]:
        bio = storage.bio
        for chunk in chunks:
            bio.seek(chunk.chunk_start_offset + 9 + 24)
            (crc,) = mcap.deserialize_uint32(mcap.read_exact(bio, 4))
            bio.seek(chunk.chunk_start_offset + 9 + 40 + len(chunk.compression))
            data = mcap.decompress(mcap.read_exact(bio, chunk.compressed_size),
                                   chunk.compression, chunk.uncompressed_size, crc)
            channels, times, starts, sizes, error = scan.mcap_messages(data)
            if error:
                raise mcap.ReaderError(error)
            wanted = np.zeros(len(channels), dtype=bool)
            inside = channels < len(known)
            wanted[inside] = known[channels[inside]]
            wanted &= (times >= chunk.message_start_time) & (times <= chunk.message_end_time)
            index = np.flatnonzero(wanted)
            index = index[np.argsort(times[index], kind="stable")]
            if len(index):
                yield Block(table[channels[index]], times[index], data, starts[index],
                            sizes[index])
    return read()
