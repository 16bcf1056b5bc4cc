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
    """Messages of the topic on their way out, in the bag's order: header stamps (N,) int64 ns,
    bag times (N,) int64 ns, header.seq (N,) int64 or None, header.frame_id of each, the signal
    (N, width) float64, IMU covariances (N, 18) or None, the block's output (N, width) (NaN
    where not transformed), the status (N,) uint8 (NO_TRANSFORM_CODE where no transform), the
    transform (N, 7) or None (NaN where none) and whether there was one (N,) bool."""

    stamps: Any
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

    def _columns(self) -> list[Any]:
        return [getattr(self, f.name) for f in fields(self)]

    def part(self, start: int, stop: int) -> Rows:
        parts: list[Any] = [None if c is None else c[start:stop] for c in self._columns()]
        return Rows(*parts)

    @staticmethod
    def joined(first: Rows | None, second: Rows) -> Rows:
        if first is None:
            return second
        np = require("numpy")
        both: list[Any] = [None if a is None or b is None else a + b if isinstance(a, list)
                           else np.concatenate([a, b])
                           for a, b in zip(first._columns(), second._columns())]
        return Rows(*both)


class Staging:
    """A private directory beside `path` (named by `private_temp_name`, so that the next run
    into the same folder removes it when this process is killed): the output is made in it
    under the output's own name and moved onto `path` by `commit`; `discard` removes it all."""

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        base = os.path.basename(os.path.normpath(path))
        remove_stale_temps(directory, base)
        self.directory = private_temp_name(directory, base)
        try:
            os.mkdir(self.directory, 0o700)
        except OSError as error:
            raise BagError(f"cannot write {escaped(path)}: {error.strerror}") from None
        self.inner = os.path.join(self.directory, base)

    def commit(self) -> None:
        if os.path.lexists(self.path):
            raise BagError(f"{escaped(self.path)} appeared while it was written; not replaced")
        try:
            os.rename(self.inner, self.path)
        except OSError as error:
            raise BagError(f"cannot write {escaped(self.path)}: {error.strerror}") from None
        shutil.rmtree(self.directory, ignore_errors=True)

    def discard(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)


class TableSink:
    """The table output: one row per decoded message of the topic, in the bag's order, written
    to `path` and named `name` in messages."""

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
        names = ["t", *SIGNAL_COLUMNS[block_class], *(TF_COLUMNS if with_tf else ()), "status"]
        self.writer = TableWriter(self, self.parquet)
        codes = [STATUS_NAMES.get(k, str(k)) for k in range(256)]
        codes[NO_TRANSFORM_CODE] = NO_TRANSFORM
        self._names = text_array(codes)
        self._guarded(self.writer.start, names, [pa.float64()] * (len(names) - 1) + [pa.string()])

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

        columns = [arrow_array(rows.stamps / 1e9)]
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


class BagSink:
    """The bag output: every message of the input copied, and the transformed messages."""

    def __init__(self, bag: Bag, path: str, name: str, topic: list[Any], output_topic: str,
                 block_class: str, section: Section, frame: str | None) -> None:
        self.writer = BagWriter(bag, path, name)
        try:
            self.copies = {c.id: self.writer.add_connection(c) for c in bag.connections}
            self.output = self.writer.add_connection(topic[0], output_topic)
        except BaseException:
            self.writer.abandon()
            raise
        self.output_topic = output_topic
        self.msgtype = topic[0].msgtype
        typestore = bag.typestore
        self.serialize = typestore.serialize_ros1 if bag.ros1 else typestore.serialize_cdr
        self.ros1 = bag.ros1
        self.block_class = block_class
        self.section = section
        self.frame = frame
        self.template: Any = None
        self.rows = 0  # transformed messages written

    def copy(self, connection: Any, timestamp: int, raw: Any) -> None:
        self.writer.write(self.copies[connection.id], timestamp, raw)

    def write(self, rows: Rows) -> None:
        np = require("numpy")
        ok = np.flatnonzero(rows.has_tf & (rows.status == STATUS_OK))
        if not len(ok):
            return
        covariances = None
        if rows.covariances is not None:
            tf = rows.tf[ok] if rows.tf is not None else None
            covariances = imu_covariances(self.section, tf, rows.signal[ok],
                                          rows.covariances[ok, :9], rows.covariances[ok, 9:])
        seconds, nanoseconds = np.divmod(rows.stamps[ok], 1_000_000_000)
        template = self.template
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
            message = make_output(self.block_class, template, values[j],
                                  self.frame if self.frame is not None else rows.frames[k], cov)
            self.writer.write(self.output, times[j], self.serialize(message, self.msgtype))
            self.rows += 1

    def close(self) -> None:
        self.writer.close()

    def abandon(self) -> None:
        self.writer.abandon()
