"""ROS bags as containers, for ``kivo-tf run`` and ``kivo-tf frames``: opened, read and written
with `rosbags`, with every message counted against what the bag declares and every failure of
the container turned into one line for the user.

A bag is a ROS 1 file (``.bag``, in any letter case), a rosbag2 directory (``metadata.yaml``
with SQLite3 or MCAP storage), or a lone MCAP file of ROS 2 messages (``.mcap``, read by itself
whether a ``metadata.yaml`` lies beside it or not). Each connection of a bag declares how many messages it holds (the ROS 1 index, the
rosbag2 metadata, the MCAP summary); `Bag.messages` counts what it hands out per connection, so
that a run can compare the two. Errors raised by the container while it is read (a truncated
file, a damaged chunk, a database that is not one) are `BagDamage`: the messages read until then
were read correctly, those after it are lost.

Stamps are integer nanoseconds throughout. ROS 1 stores times as unsigned 32-bit seconds, which
rosbags reads as signed: `ros1_seconds` gives them back their value.
"""
from __future__ import annotations

import os
import stat
from collections import Counter
from collections.abc import Collection, Iterator
from typing import Any

from kivo_tf_tools import _ros1, _rosbag2
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools.sections import ConfigError


class BagError(ConfigError):
    """A bag, topic or option that cannot be used; the message is shown to the user."""


class BagDamage(BagError):
    """The container could not be read on from some message on; `read` messages came before."""

    def __init__(self, message: str, read: int) -> None:
        super().__init__(message)
        self.read = read


def is_bag(path: str) -> bool:
    """True for a ROS 1 bag (a path ending in ``.bag``), a lone MCAP file (``.mcap``) or a
    rosbag2 directory (holding ``metadata.yaml``)."""
    return bag_kind(path) is not None


def bag_kind(path: str) -> str | None:
    """"ros1" (``.bag`` in any letter case), "mcap" (``.mcap``), "ros2" (a directory holding
    ``metadata.yaml``) or None."""
    lower = path.lower()
    if lower.endswith(".bag"):
        return "ros1"
    if lower.endswith(".mcap"):
        return "mcap"
    if os.path.isfile(os.path.join(path, "metadata.yaml")):
        return "ros2"
    return None


def stamp_text(ns: int) -> str:
    """A stamp in ns as seconds, exactly (e.g. "12.000500000")."""
    sign = "-" if ns < 0 else ""
    return f"{sign}{abs(ns) // 1_000_000_000}.{abs(ns) % 1_000_000_000:09d}"


def ros1_seconds(sec: int) -> int:
    """The seconds of a ROS 1 time as stored (uint32), from rosbags' signed reading."""
    return sec & 0xFFFF_FFFF


def ros1_signed(sec: int) -> int:
    """Seconds of a ROS 1 time in the signed form that rosbags serialises to the same bits."""
    return sec - (1 << 32) if sec >= 1 << 31 else sec


def _cause(error: BaseException) -> str:
    """One line saying what went wrong, from an exception raised by a reader or writer."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    if type(error).__module__ == "sqlite3" and str(error):
        return escaped(str(error).splitlines()[0])
    if isinstance(error, MemoryError):
        return "out of memory (a size field that is not one?)"
    text = str(error).strip().splitlines()
    detail = escaped(text[0]) if text else ""
    name = type(error).__name__
    return f"{name}: {detail}" if detail else name


def check_bag_path(path: str) -> None:
    """Refuses, before any reader touches it, a bag path that is not a regular file (ROS 1) or a
    directory (rosbag2): a device or FIFO named like a bag would be read without end."""
    try:
        info = os.stat(path)
    except OSError as error:
        raise BagError(f"cannot read the bag {escaped(path)}: {error.strerror}") from None
    kind = bag_kind(path)
    if kind in ("ros1", "mcap") and not stat.S_ISREG(info.st_mode):
        what = "a directory" if stat.S_ISDIR(info.st_mode) else "not a regular file"
        name = "a ROS 1 bag" if kind == "ros1" else "an MCAP bag"
        raise BagError(f"cannot read the bag {escaped(path)}: {what} ({name} is a file)")
    if kind == "ros2":
        metadata = os.path.join(path, "metadata.yaml")
        if not stat.S_ISREG(os.stat(metadata).st_mode):
            raise BagError(f"cannot read the bag {escaped(path)}: its metadata.yaml is not a "
                           "regular file")


class Bag:
    """An open bag: its connections, what each declares, and the messages read from it, counted
    per connection id in `read`."""

    def __init__(self, path: str) -> None:
        check_bag_path(path)
        require("rosbags")
        highlevel = require("rosbags.highlevel")
        typesys = require("rosbags.typesys")
        self.path = path
        self.name = escaped(path)
        self.kind = bag_kind(path)
        self.ros1 = self.kind == "ros1"
        self.read: Counter[int] = Counter()
        try:
            paths = [require("pathlib").Path(path)]
            typestore = typesys.get_typestore(typesys.Stores.LATEST)
            if self.kind == "mcap":
                self._reader = _any_reader(paths, [_mcap_file(paths[0])], True, typestore)
            elif self.ros1:  # rosbags' reader with a compact index (see _ros1)
                self._reader = _any_reader(paths, [_ros1.reader_class()(p) for p in paths],
                                           False, typestore)
            else:
                self._reader = highlevel.AnyReader(paths, default_typestore=typestore)
            self._reader.open()
        except Exception as error:  # a container that does not open: one line, whatever it was
            raise BagError(f"cannot read the bag {self.name}: {_cause(error)}") from None
        self.connections: list[Any] = list(self._reader.connections)
        self._check_chunks()

    def _check_chunks(self) -> None:
        """A ROS 1 chunk must lie inside the file: a damaged size field would otherwise make the
        reader allocate up to 4 GiB."""
        if not self.ros1:
            return
        size = os.path.getsize(self.path)
        for inner in getattr(self._reader, "readers", []):
            for chunk in getattr(inner, "chunks", {}).values():
                if chunk.datapos + chunk.datasize > size:
                    self.close()
                    raise BagError(f"cannot read the bag {self.name}: a chunk at byte "
                                   f"{chunk.datapos} runs past the end of the file (truncated "
                                   "or damaged)")

    @property
    def typestore(self) -> Any:
        return self._reader.typestore

    @property
    def start_time(self) -> int:
        """The bag time of its earliest message, ns (0 for an empty bag)."""
        times = [int(reader.start_time) for reader in self._reader.readers
                 if int(getattr(reader, "message_count", 1) or 0)]
        return min(times) if times else 0

    def declared(self, connection: Any) -> int:
        return int(connection.msgcount)

    def deserialize(self, raw: Any, msgtype: str) -> Any:
        return self._reader.deserialize(raw, msgtype)

    def messages(self, connections: Collection[Any] | None = None) -> Iterator[tuple[Any, int,
                                                                                    Any]]:
        """(connection, bag time in ns, raw bytes) of every message of `connections` (None: all)
        in the bag's time order, each counted in `read`. Raises BagDamage when the container
        fails part way."""
        for connection in connections or self.connections:
            self.read[connection.id] = 0
        try:
            iterator = iter(self._reader.messages(connections=connections or ()))
        except Exception as error:
            raise BagDamage(f"cannot read the bag {self.name}: {_cause(error)}", 0) from None
        read = self.read
        for item in self._until_damage(iterator, lambda item: 1):
            read[item[0].id] += 1
            yield item

    def _until_damage(self, iterator: Iterator[Any], size: Any) -> Iterator[Any]:
        """The items of a reader's `iterator`; an error of the container is BagDamage, with the
        messages handed out before it (`size(item)` of them in an item)."""
        count = 0
        while True:
            try:
                item = next(iterator)
            except StopIteration:
                return
            except BagDamage:
                raise
            except Exception as error:
                raise BagDamage(f"the bag {self.name} is damaged after {count:,} messages "
                                f"read: {_cause(error)}", count) from None
            count += size(item)
            yield item

    def blocks(self, connections: Collection[Any] | None = None) -> Iterator[Any]:
        """The messages of `messages` as `_bag_blocks.Block`s, read a chunk at a time where the
        container allows, each message counted in `read`. Raises BagDamage when the container
        fails part way, after the blocks of the messages before the failure."""
        from kivo_tf_tools._bag_blocks import blocks_of, grouped

        np = require("numpy")
        for connection in connections or self.connections:
            self.read[connection.id] = 0
        try:
            (inner,) = self._reader.readers
            source = blocks_of(inner, list(connections or ()))
            counted = source is None  # by `messages`, which raises BagDamage itself
            iterator = iter(grouped(self.messages(connections)) if source is None else source)
        except BagDamage:
            raise
        except Exception as error:
            raise BagDamage(f"cannot read the bag {self.name}: {_cause(error)}", 0) from None
        read = self.read
        for block in self._until_damage(iterator, len):
            if not counted:
                ids, counts = np.unique(block.ids, return_counts=True)
                for key, value in zip(ids.tolist(), counts.tolist()):
                    read[key] += value
            yield block

    def close(self) -> None:
        try:
            self._reader.close()
        except Exception:
            pass


def _any_reader(paths: list[Any], readers: list[Any], ros2: bool, typestore: Any) -> Any:
    """rosbags' AnyReader over readers made here (rosbags' own constructor picks the reader by
    the path's suffix, in lower case only, and takes a rosbag2 bag only as a directory)."""
    highlevel = require("rosbags.highlevel")
    typesys = require("rosbags.typesys")
    base: Any = highlevel.AnyReader

    class Reader(base):  # type: ignore[misc]
        def __init__(self) -> None:
            self.paths = paths
            self.is2 = ros2
            self.stack = None
            self.connections: list[Any] = []
            self.default_typestore = typestore
            self.typestore = typesys.get_typestore(typesys.Stores.EMPTY)
            self.readers = readers

    return Reader()


def _mcap_file(path: Any) -> Any:
    """One MCAP file of ROS 2 messages, read by rosbags' MCAP storage itself, with the reader
    interface AnyReader uses: connections owned by it, messages(connections, start, stop),
    open and close as a context."""
    storage = require("rosbags.rosbag2.storage_mcap")

    class McapFile:
        def __init__(self) -> None:
            self._storage = storage.McapReader(path)
            self.connections: list[Any] = []

        def __enter__(self) -> McapFile:
            self._storage.open()
            self.connections = [c._replace(owner=self) for c in self._storage.connections]
            return self

        def __exit__(self, *exc: object) -> None:
            self._storage.close()

        @property
        def start_time(self) -> int:
            return int(self._storage.metadata.start_time)

        @property
        def message_count(self) -> int:
            return int(self._storage.metadata.message_count)

        def messages(self, connections: Collection[Any] = (), start: int | None = None,
                     stop: int | None = None) -> Iterator[tuple[Any, int, Any]]:
            return iter(self._storage.messages(list(connections) or self.connections, start,
                                               stop))

    return McapFile()


def topics_text(connections: list[Any]) -> str:
    return ", ".join(f"{escaped(c.topic)} ({escaped(c.msgtype)})"
                     for c in sorted(connections, key=lambda c: c.topic))


def shortfalls(bag: Bag, connections: list[Any]) -> list[tuple[str, int, int]]:
    """(topic, read, declared) of every topic among `connections` whose messages read differ from
    what the bag declares, in topic order."""
    read: Counter[str] = Counter()
    declared: Counter[str] = Counter()
    for connection in connections:
        read[connection.topic] += bag.read[connection.id]
        declared[connection.topic] += bag.declared(connection)
    return [(topic, read[topic], declared[topic]) for topic in sorted(declared)
            if read[topic] != declared[topic]]


# --- writing ----------------------------------------------------------------------------------

def _ros2_storage(path: str) -> Any:
    enums = require("rosbags.rosbag2.enums")
    names = os.listdir(path)
    mcap = any(name.endswith(".mcap") or name.endswith(".mcap.zstd") for name in names)
    return enums.StoragePlugin.MCAP if mcap else enums.StoragePlugin.SQLITE3


def write_errors() -> tuple[type[BaseException], ...]:
    """The exceptions a bag writer raises for a file system that refuses a write (full, read
    only, gone)."""
    import sqlite3

    errors: list[type[BaseException]] = [OSError, sqlite3.Error]
    for module, name in (("rosbags.rosbag1", "WriterError"), ("rosbags.rosbag2", "WriterError")):
        try:
            errors.append(getattr(require(module), name))
        except Exception:
            pass
    return tuple(errors)


class BagWriter:
    """A new bag at `path` of the input's kind, which receives connections like those of the
    input and counts the messages written per connection it made."""

    def __init__(self, bag: Bag, path: str, name: str) -> None:
        """A bag of `bag`'s kind at `path`: a ROS 1 file, or a rosbag2 directory of the input's
        storage (a lone MCAP input gives a directory whose .mcap file is the output)."""
        self.ros1 = bag.ros1
        self.typestore = bag.typestore
        self.path = path
        self.name = escaped(name)  # the output as the user named it
        self.errors = write_errors()
        try:
            if self.ros1:
                self._writer = _ros1.writer_class()(path)
            else:
                plugin = (require("rosbags.rosbag2.enums").StoragePlugin.MCAP
                          if bag.kind == "mcap" else _ros2_storage(bag.path))
                self._writer = _rosbag2.writer_class()(path, version=9, storage_plugin=plugin)
            self._writer.open()
        except self.errors as error:
            raise BagError(f"cannot write {self.name}: {_cause(error)}") from None
        self._open = True

    def add_connection(self, connection: Any, topic: str | None = None) -> Any:
        """A connection of the output like `connection` of the input (on `topic` when given)."""
        topic = topic or connection.topic
        definition = connection.msgdef.data or None
        digest = connection.digest or None
        if definition is None or digest is None:
            definition = digest = None
        try:
            if self.ros1:
                return self._writer.add_connection(
                    topic, connection.msgtype, typestore=self.typestore, msgdef=definition,
                    md5sum=digest, callerid=connection.ext.callerid,
                    latching=connection.ext.latching)
            return self._writer.add_connection(
                topic, connection.msgtype, typestore=self.typestore, msgdef=definition,
                rihs01=digest, serialization_format=connection.ext.serialization_format,
                offered_qos_profiles=connection.ext.offered_qos_profiles)
        except self.errors as error:
            raise self._failed(error) from None

    def write(self, connection: Any, timestamp: int, raw: Any) -> None:
        try:
            self._writer.write(connection, timestamp, raw)
        except self.errors as error:
            raise self._failed(error) from None

    def write_many(self, ids: Any, times: Any, data: Any, starts: Any, sizes: Any) -> None:
        """Message k, data[starts[k]:starts[k] + sizes[k]], on the output connection of id
        ids[k] at bag time times[k] (ns); int64 arrays."""
        try:
            self._writer.write_many(ids, times, data, starts, sizes)
        except self.errors as error:
            raise self._failed(error) from None

    def _failed(self, error: BaseException) -> BagError:
        self.abandon()
        return BagError(f"cannot write {self.name}: {_cause(error)}")

    def close(self) -> None:
        """Finishes the bag (index, metadata). Raises BagError when the file system refuses."""
        if not self._open:
            return
        try:
            self._writer.close()
        except self.errors as error:
            raise self._failed(error) from None
        self._open = False

    def abandon(self) -> None:
        """Releases the files of an unfinished bag (the caller removes them)."""
        if not self._open:
            return
        self._open = False
        abort = getattr(self._writer, "abort", None)  # rosbag2: closes the storage unfinished
        stream = getattr(self._writer, "bio", None)  # ROS 1: the file itself
        try:
            if abort is not None:
                abort()
            elif stream is not None:
                stream.close()
        except Exception:
            pass


def count_messages(path: str) -> Counter[str]:
    """Messages per topic of the finished bag at `path`, from what its index or metadata
    declares; raises BagError when it cannot be opened."""
    bag = Bag(path)
    try:
        counts: Counter[str] = Counter()
        for connection in bag.connections:
            counts[connection.topic] += bag.declared(connection)
        return counts
    finally:
        bag.close()
