"""Where ``kivo-tf run`` writes what it made of a bag's topic: a table (CSV or Parquet, one row
per decoded message) or a bag of the input's kind (every message copied, the transformed ones
added), staged in a private directory beside the output and named only when complete.
"""
from __future__ import annotations

import os
import shutil
from dataclasses import dataclass, fields
from typing import Any

from kivo_tf_tools._bag_files import Bag, BagError, BagWriter, ros1_signed
from kivo_tf_tools._bag_messages import imu_covariances, make_output
from kivo_tf_tools._decode import many_encoder
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._output import private_temp_name, remove_stale_temps
from kivo_tf_tools.arrays import STATUS_OK
from kivo_tf_tools.sections import SIGNAL_COLUMNS, TF_COLUMNS, Section

# Status names of the table's status column; NoTransform: the stamp lies outside the tf data.
STATUS_NAMES = {0: "Ok", 4: "NotReady", 5: "Error"}
NO_TRANSFORM = "NoTransform"
NO_TRANSFORM_CODE = 255  # status of a message that was not given to the block


@dataclass
class Rows:
    """Messages of a topic on their way out, in the bag's order: the stamps they are placed at
    (N,) int64 ns (header or receive stamps), their header stamps (N,) int64 ns, bag times (N,)
    int64 ns, header.seq (N,) int64 or None, header.frame_id of each, the signal
    (N, width) float64, IMU covariances (N, 18) or None, the block's output (N, width) (NaN
    where not transformed), the status (N,) uint8 (NO_TRANSFORM_CODE where no transform), the
    transform (N, 7) or None (NaN where none) and whether there was one (N,) bool."""

    stamps: Any
    headers: Any
    times: Any
    sequence: Any
    frames: list[str]
    signal: Any
    covariances: Any
    out: Any
    status: Any
    tf: Any
    has_tf: Any

    def __len__(self) -> int:
        return len(self.stamps)

    def columns(self) -> list[Any]:
        return [getattr(self, f.name) for f in fields(self)]

    def part(self, start: int, stop: int) -> Rows:
        parts: list[Any] = [None if c is None else c[start:stop] for c in self.columns()]
        return Rows(*parts)

    @staticmethod
    def joined(first: Rows | None, second: Rows) -> Rows:
        if first is None:
            return second
        np = require("numpy")
        both: list[Any] = [None if a is None or b is None else a + b if isinstance(a, list)
                           else np.concatenate([a, b])
                           for a, b in zip(first.columns(), second.columns())]
        return Rows(*both)


class Staging:
    """A private directory beside the outputs (named by `private_temp_name`, so that the next run
    into the same folder removes it when this process is killed): each output is made in it and
    moved onto its path by `commit`, which refuses to replace anything; `discard` removes it all.
    An output that is a lone file of a storage directory (an .mcap written as a rosbag2 bag) is
    made as that directory and its file alone is moved."""

    def __init__(self, paths: list[str]) -> None:
        self.paths = paths
        self.directory = ""
        for path in paths:
            if os.path.lexists(path):
                raise BagError(f"{escaped(path)} exists; kivo-tf run does not replace it: remove "
                               "it or choose another output")
        first = paths[0]
        folder = os.path.dirname(os.path.abspath(first))
        base = os.path.basename(os.path.normpath(first))
        remove_stale_temps(folder, base)
        directory = private_temp_name(folder, base)
        try:
            os.mkdir(directory, 0o700)
        except OSError as error:
            raise BagError(f"cannot write {escaped(first)}: {error.strerror}") from None
        self.directory = directory
        self._moves: list[tuple[str, str]] = []
        self._made: dict[str, str] = {}

    def inner(self, path: str, file_inside: str | None = None) -> str:
        """Where `path` is made: a name in the staging directory. With `file_inside`, `path` is
        made as a directory holding that file, which alone becomes `path`."""
        made = os.path.join(self.directory, f"{len(self._moves)}-"
                                            f"{os.path.basename(os.path.normpath(path))}")
        source = made if file_inside is None else os.path.join(
            made, file_inside.format(name=os.path.basename(made)))
        self._moves.append((source, path))
        self._made[path] = source
        return made

    def made(self, path: str) -> str:
        """The staged output that becomes `path` (for a lone file, that file)."""
        return self._made[path]

    def commit(self) -> None:
        for _, path in self._moves:
            if os.path.lexists(path):
                raise BagError(f"{escaped(path)} appeared while it was written; not replaced")
        for source, path in self._moves:
            try:
                os.rename(source, path)
            except OSError as error:
                raise BagError(f"cannot write {escaped(path)}: {error.strerror}") from None
        shutil.rmtree(self.directory, ignore_errors=True)

    def discard(self) -> None:
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)


class TableSink:
    """A table output: one row per decoded message of a topic, in the bag's order, written to
    `path` and named `name` in messages. Columns: t (seconds), stamp_ns (int64 nanoseconds,
    exact), the signal, the transform when the section takes one, status."""

    def __init__(self, path: str, name: str, block_class: str, with_tf: bool) -> None:
        from kivo_tf_tools.tables import TableWriter, is_parquet, text_array

        pa = require("pyarrow")
        self.path = path
        self.name = name
        self.parquet = is_parquet(name)
        try:
            self._file = open(path, "xb")
        except OSError as error:
            raise BagError(f"cannot write {escaped(name)}: {error.strerror}") from None
        self.stream = self._file  # the TableWriter's destination
        self.with_tf = with_tf
        signal = SIGNAL_COLUMNS[block_class]
        names = ["t", "stamp_ns", *signal, *(TF_COLUMNS if with_tf else ()), "status"]
        types = [pa.float64(), pa.int64(), *[pa.float64()] * (len(names) - 3), pa.string()]
        self.writer = TableWriter(self, self.parquet)
        codes = [STATUS_NAMES.get(k, str(k)) for k in range(256)]
        codes[NO_TRANSFORM_CODE] = NO_TRANSFORM
        self._names = text_array(codes)
        self._guarded(self.writer.start, names, types)

    def _guarded(self, function: Any, *args: Any) -> Any:
        try:
            return function(*args)
        except OSError as error:
            raise BagError(f"cannot write {escaped(self.name)}: "
                           f"{error.strerror or error}") from None

    @property
    def rows(self) -> int:
        return int(self.writer.rows)

    def write(self, rows: Rows) -> None:
        from kivo_tf_tools.tables import arrow_array

        pa = require("pyarrow")
        np = require("numpy")
        stamps = np.ascontiguousarray(rows.stamps, dtype=np.int64)
        columns = [arrow_array(stamps / 1e9),
                   pa.Array.from_buffers(pa.int64(), len(stamps), [None, pa.py_buffer(stamps)])]
        columns += [arrow_array(rows.out[:, k]) for k in range(rows.out.shape[1])]
        if self.with_tf:
            columns += [arrow_array(rows.tf[:, k]) for k in range(7)]
        columns.append(self._names.take(arrow_array(rows.status)))
        self._guarded(self.writer.write, columns)

    def close(self) -> None:
        def finish() -> None:
            self.writer.finish()
            self._file.flush()
            os.fsync(self._file.fileno())
            self._file.close()
        self._guarded(finish)

    def abandon(self) -> None:
        self.writer.abandon()
        try:
            self._file.close()
        except OSError:
            pass

    def held(self) -> int | None:
        """Rows the finished file holds, read back from its own metadata (Parquet), or None."""
        if not self.parquet:
            return None
        return int(require("pyarrow.parquet").ParquetFile(self.path).metadata.num_rows)


@dataclass
class Output:
    """The transformed messages of one topic in a bag output: the output connection, the
    message type, the block class and section that made them, their header.frame_id (None:
    each input message's own) and a decoded input message they are made from."""

    connection: Any
    msgtype: str
    block_class: str
    section: Section
    frame: str | None
    encode: Any = None  # writes messages from their fields (see _decode.many_encoder), or None
    template: Any = None  # else: a decoded input message, rosbags serialises it changed
    rows: int = 0  # messages written


class BagSink:
    """The bag output: every message of the input copied, and the transformed messages of each
    topic on its output topic."""

    def __init__(self, bag: Bag, path: str, name: str) -> None:
        self.writer = BagWriter(bag, path, name)
        try:
            self.copies = {c.id: self.writer.add_connection(c) for c in bag.connections}
        except BaseException:
            self.writer.abandon()
            raise
        np = require("numpy")
        self._copy_ids = np.zeros(max(self.copies, default=-1) + 1, dtype=np.int64)
        for cid, connection in self.copies.items():
            self._copy_ids[cid] = connection.id
        self.typestore = bag.typestore
        self.serialize = (self.typestore.serialize_ros1 if bag.ros1
                          else self.typestore.serialize_cdr)
        self.ros1 = bag.ros1

    def add_output(self, input_connection: Any, topic: str, block_class: str, section: Section,
                   frame: str | None) -> Output:
        connection = self.writer.add_connection(input_connection, topic)
        return Output(connection, input_connection.msgtype, block_class, section, frame,
                      many_encoder(self.typestore, input_connection.msgtype, self.ros1))

    def copy(self, block: Any) -> None:
        """Every message of a block of the input (`_bag_blocks.Block`), unchanged."""
        if len(block):
            self.writer.write_many(self._copy_ids[block.ids], block.times, block.data,
                                   block.starts, block.sizes)

    def write(self, rows: Rows, output: Output) -> None:
        np = require("numpy")
        ok = np.flatnonzero(rows.has_tf & (rows.status == STATUS_OK))
        if not len(ok):
            return
        covariances = None
        if rows.covariances is not None:
            tf = rows.tf[ok] if rows.tf is not None else None
            covariances = imu_covariances(output.section, tf, rows.signal[ok],
                                          rows.covariances[ok, :9], rows.covariances[ok, 9:])
        if output.encode is not None:
            self._encoded(rows, output, ok, covariances)
            return
        seconds, nanoseconds = np.divmod(rows.headers[ok], 1_000_000_000)
        template = output.template
        header = template.header
        sequence = rows.sequence[ok].tolist() if rows.sequence is not None else None
        values = rows.out[ok].tolist()
        times = rows.times[ok].tolist()
        for j, (sec, nsec) in enumerate(zip(seconds.tolist(), nanoseconds.tolist())):
            header.stamp.sec = ros1_signed(sec) if self.ros1 else sec
            header.stamp.nanosec = nsec
            if sequence is not None:
                header.seq = sequence[j]
            k = int(ok[j])
            cov = (covariances[0][j], covariances[1][j]) if covariances is not None else None
            message = make_output(output.block_class, template, values[j],
                                  output.frame if output.frame is not None else rows.frames[k],
                                  cov)
            self.writer.write(output.connection, times[j],
                              self.serialize(message, output.msgtype))
            output.rows += 1

    def _encoded(self, rows: Rows, output: Output, ok: Any, covariances: Any) -> None:
        np = require("numpy")
        frames = ([output.frame] * len(ok) if output.frame is not None
                  else [rows.frames[k] for k in ok.tolist()])
        data, starts, sizes = output.encode(
            rows.headers[ok], frames, rows.sequence[ok] if rows.sequence is not None else None,
            rows.out[ok], covariances)
        self.writer.write_many(np.full(len(ok), output.connection.id, dtype=np.int64),
                               np.ascontiguousarray(rows.times[ok], dtype=np.int64), data,
                               starts, sizes)
        output.rows += len(ok)

    def close(self) -> None:
        self.writer.close()

    def abandon(self) -> None:
        self.writer.abandon()
