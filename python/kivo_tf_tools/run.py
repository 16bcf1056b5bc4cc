"""``kivo-tf run``: a recorded log through the real block, one `update` per row.

The log is a table: CSV or Parquet, chosen by the path's suffix (`.parquet` is Parquet, anything
else CSV; `-` is standard input or output, as CSV). The signal's columns carry the block's own
names (see `SIGNAL_COLUMNS`); when the seven columns of `TF_COLUMNS` are present they are given to
`set_fixed_to_moving_frame_tf` before each row's `update` (pose of the moving frame M in the fixed
frame F: [x, y, z] in metres, quaternion [w, x, y, z]); every other column is copied through in
its place. The output holds the copied columns, the transformed signal under the same names and a
`status` column (Ok, NotReady, Error). Floats are written to CSV in the shortest text that reads
back to the same bits; a copied column of any Arrow type is written as `tables.CSV_TYPES` says, a
null as an empty field.

Every record read is written once, refused rows included: the run keeps that account (records
read, rows the writer really wrote, and for a Parquet file of its own the row count of the closed
file's metadata) and fails with exit status 2 instead of succeeding with fewer rows than it read.
The first summary line on stderr states it.

Rows are read, transformed and written in batches by one process (pyarrow reads and writes in
C++; the update per row is the cost), so memory is bounded by the batch, not the log. The lines
the library writes on stderr for refused rows are captured and summarised, not passed through one
by one. A ROS bag is handed to `kivo_tf_tools.bags`.
"""
from __future__ import annotations

import argparse
import os
import queue
import sys
import threading
import time
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, BinaryIO

from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._output import Destination, input_stat, stderr_line
from kivo_tf_tools._progress import Progress
from kivo_tf_tools.angular_acceleration import TermAcrossBatches, add_term_to_rows
from kivo_tf_tools.arrays import transform_with_block
from kivo_tf_tools.sections import (
    SECTIONS, SIGNAL_COLUMNS, TF_COLUMNS, load_block, load_sections)
from kivo_tf_tools.tables import (
    NUMBER_RULE, CsvReader, ParquetReader, RunError, TableWriter, TextsByCode, arrow_array,
    is_parquet)

__all__ = ["RunError", "Layout", "plan_columns", "run", "add_parser"]

EXAMPLE = """\
summary: kivo-tf run: 3 rows, 1 refused (Error 1), 3 records read = 3 rows written, ...
  every record or message read is accounted for: written (a refused row with its status), or
  counted by the reason it was not; a run that cannot prove what it wrote fails.

exit status: 0 every record read was written (refused rows included; see the status column and
the summary), 2 an unusable configuration, input or output, a record that cannot be read, or rows
lost on the way (records read ≠ rows written): OUT is then left as it was (with --output - or a
descriptor, the rows before the bad one may have been written), 128+N on signal N (130 Ctrl-C,
143 SIGTERM, 129 SIGHUP; nothing is left behind), 141 when the reader of standard output goes
away (as `| head`), 70 a fault of the tools themselves (KIVO_TF_TRACEBACK=1 shows where)

examples:
  a table: the wrench of each row, with the transform of its tf_ columns
    kivo-tf run examples/kivo_tf_config.json tf_wrench_config -i ft_log.csv -o ft_out.csv
    (ft_log.csv starts: t,fx,fy,fz,tx,ty,tz,tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz)
  a bag into a table: /ft's wrenches, M = arm's pose in F = world from the bag's tf tree
    kivo-tf run examples/kivo_tf_config.json tf_wrench_config -i rec.bag --topic /ft \\
        --fixed-frame world --moving-frame arm -o ft.parquet
  a bag into a bag: two topics in one pass, each with its frames; 30 s from 12 s into the bag
    kivo-tf run robot.json tf_wrench_config -i rec_dir --fixed-frame base \\
        --topic /left/ft --moving-frame left_tool0 --output-frame-id base \\
        --topic /imu --section tf_imu_config --moving-frame imu_link \\
        --start 12 --end 42 -o rec_out
"""

DESCRIPTION = """\
Transform a recorded log through the block of SECTION in CONFIG.json, one update per row or
message, as a control loop would: a table (CSV or Parquet), or a ROS bag (a ROS 1 .bag, a
rosbag2 directory with SQLite3 or MCAP storage, or a lone .mcap file) whose tf tree gives each
message its transform.

Tables. The header names the signal's columns as the block does:
""" + "".join(f"  {cls:<13} {','.join(cols)}\n" for cls, cols in SIGNAL_COLUMNS.items()) + f"""\
With the seven columns {','.join(TF_COLUMNS)}
each row first sets the fixed-to-moving-frame transform (wrench, twist and IMU blocks). Every
other column is copied through in its place (the tf_ columns are not): from CSV as the text it
was, from Parquet with its type (to CSV: a null as an empty field, float32 and float16 in their
shortest text, lists, structs and maps as JSON, binary with \\xNN escapes; a type CSV cannot
hold is refused before anything is written). The output has the copied columns, the transformed
signal under the same names and a status column (Ok, NotReady, Error); a refused row holds zeros.
A row whose tf_ values are not all finite is not given to the block: it holds NaN, status
NoTransform.
Every record read is written: the summary gives the account, and a run that would write fewer
rows than it read fails. The library's line on stderr for each refused row is counted and
summarised at the end.

CSV: a header line, then one record per line (LF, CRLF or CR); a field may be quoted, with
commas, doubled quotes and line breaks inside ("a,b", "a ""word"" here"); lines that are empty or
hold only commas are skipped (not records); a record with another number of fields than the
header is an error naming its line; UTF-8 text.
{NUMBER_RULE}
The output is written beside OUT and takes its name only when the run succeeds; a symbolic link
is followed; a device or FIFO is written directly; /dev/stdout, /dev/stderr, /dev/fd/N write to
that stream as it is open (appending after >>), like -; the input itself is never overwritten.

--angular-acceleration central (IMU section): adds the α × r term the block leaves out, with α
from a central difference of the rate in F axes over the time column stamp_ns (integer
nanoseconds, exact) or, without it, t (seconds); one of them is required then.

Bags. --topic names a topic whose message type fits the block (WrenchStamped, TwistStamped,
PoseStamped, Imu); the transform of each message is the pose of M (--moving-frame) in F
(--fixed-frame) at its stamp, looked up in the bag's /tf and /tf_static: interpolated between
the samples around it, never extrapolated (a message outside them is counted, not transformed).
Each message's header.frame_id must be the frame the section's input entries describe: M or F
itself, or a frame mounted on it by /tf_static edges equal to their offset. Several --topic
options transform several topics in one pass; the options after a --topic are its own, those
before the first --topic apply to every topic. OUT is a table (one per topic: put {{topic}} in its
name) with t, stamp_ns (integer nanoseconds), the signal, the transform and status; or a bag of
the input's kind: every message copied as it was, plus the transformed messages on
TOPIC/kivo_tf. OUT is never replaced. A damaged bag stops the run unless --skip-damaged.
"""

STATUS_COLUMN = "status"
# The status of a row whose transform is not finite (the row is not given to the block).
NO_TRANSFORM = "NoTransform"
NO_TRANSFORM_CODE = 255
TIME_COLUMN = "t"
STAMP_COLUMN = "stamp_ns"
SHOWN_LIBRARY_LINES = 5


@dataclass(frozen=True)
class Layout:
    """Where the columns of the input go."""

    header: list[str]
    signal_index: tuple[int, ...]  # input column of each signal value, in array order
    tf_index: tuple[int, ...]  # input column of each transform value, or () without them
    output: tuple[tuple[str, int], ...]  # ("copy", input column) or ("signal", array index)

    @property
    def output_header(self) -> list[str]:
        names = [self.header[i] if kind == "copy" else self.header[self.signal_index[i]]
                 for kind, i in self.output]
        return [*names, STATUS_COLUMN]


def plan_columns(header: Sequence[str], signal_names: Sequence[str], takes_tf: bool,
                 block_class: str) -> Layout:
    """The layout of a log with `header` for a block whose signal columns are `signal_names`.
    Raises RunError."""
    seen = Counter(header)
    for name in (*signal_names, *TF_COLUMNS, STATUS_COLUMN):
        if seen[name] > 1:
            raise RunError(f"the header names column '{name}' {seen[name]} times")
    missing = [name for name in signal_names if name not in seen]
    if missing:
        raise RunError(f"the header has no column {', '.join(repr(m) for m in missing)}: "
                       f"{block_class} reads {','.join(signal_names)}")
    if STATUS_COLUMN in seen:
        raise RunError(f"the input already has a column '{STATUS_COLUMN}', which the output "
                       "adds; rename it")
    tf_present = [name for name in TF_COLUMNS if name in seen]
    if tf_present and not takes_tf:
        raise RunError(f"{block_class} takes no fixed-to-moving-frame transform (its moving "
                       "frame follows from the input pose): remove the columns "
                       + ",".join(tf_present))
    if tf_present and len(tf_present) < len(TF_COLUMNS):
        absent = [name for name in TF_COLUMNS if name not in seen]
        raise RunError(f"the transform needs all seven columns {','.join(TF_COLUMNS)}; "
                       f"missing: {','.join(absent)}")
    position = {name: i for i, name in enumerate(header)}
    signal_index = tuple(position[name] for name in signal_names)
    tf_index = tuple(position[name] for name in TF_COLUMNS) if tf_present else ()
    slot = {column: k for k, column in enumerate(signal_index)}
    output = tuple(("signal", slot[i]) if i in slot else ("copy", i)
                   for i in range(len(header)) if i not in tf_index)
    return Layout(list(header), signal_index, tf_index, output)


class _TableProgress:
    """The progress bar of a table run (see `kivo_tf_tools._progress`): rows out of the Parquet
    file's rows, or bytes out of the CSV file's size, with the rows done beside them."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self._bar: Progress | None = None
        self._done = 0

    def start(self, total_rows: int | None, total_bytes: int | None) -> None:
        if total_rows is not None:
            self._bar = Progress(total_rows, "rows", "transforming", self.quiet)
        else:
            self._bar = Progress(total_bytes, "B", "transforming", self.quiet)
        self._by_rows = total_rows is not None

    def update(self, rows: int, done_bytes: int | None) -> None:
        """`rows` written so far, which end at byte `done_bytes` of the input when known."""
        if self._bar is None:
            return
        done = rows if self._by_rows else (done_bytes or 0)
        self._bar.update(done - self._done)
        self._done = done

    def clear(self) -> None:
        if self._bar is not None:
            self._bar.close()


@dataclass
class Totals:
    """The account of a run: every record read is written once, refused rows too (with their
    status); blank CSV lines are not records."""

    rows: int = 0  # records read (and transformed)
    written: int = 0  # rows the writer wrote
    blank: int = 0  # blank CSV lines skipped
    codes: Counter[Any] = field(default_factory=Counter)  # by status name (by code while running)
    library_lines: Counter[str] = field(default_factory=Counter)
    added: int | None = None  # rows that got the α × r term, None without the option


def _open_raw_input(path: str) -> tuple[BinaryIO, int | None, bool]:
    """(binary stream, size in bytes when known, whether to close it) of a CSV input. Raises
    RunError."""
    if path == "-":
        stream = sys.stdin.buffer if sys.stdin is not None else None
        if stream is None or input_stat("-") is None:
            raise RunError("standard input is closed")
        return stream, None, False
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise RunError(f"cannot read {escaped(path)}: {error.strerror}") from None
    info = os.fstat(stream.fileno())
    if os.path.isdir(path):
        stream.close()
        raise RunError(f"cannot read {escaped(path)}: it is a directory")
    size = info.st_size if info.st_size > 0 and (info.st_mode & 0o170000) == 0o100000 else None
    return stream, size, True


def _check_options(args: argparse.Namespace, block_class: str) -> None:
    from kivo_tf_tools.bags import BAG_OPTIONS

    for option in BAG_OPTIONS:
        if getattr(args, option, None) is not None:
            raise RunError(f"--{option.replace('_', '-')} applies to a ROS bag input only "
                           f"({escaped(args.input)} is a table)")
    if args.angular_acceleration != "none" and block_class != "KivoTfImu":
        raise RunError("--angular-acceleration applies to the IMU section (tf_imu_config) "
                       f"only, not {args.section}")


def transform_table(args: argparse.Namespace, block: Any, destination: Destination,
                    progress: _TableProgress) -> Totals:
    """Reads the log of `args.input`, writes the transformed log to `destination`. Raises
    RunError."""
    np = require("numpy")
    pa = require("pyarrow")
    block_class = SECTIONS[args.section]
    central = args.angular_acceleration == "central"
    reader: CsvReader | ParquetReader
    release = None
    if is_parquet(args.input) and args.input != "-":
        reader = ParquetReader(args.input, escaped(args.input))
        size = None
    else:
        raw, size, close = _open_raw_input(args.input)
        release = raw.close if close else None
        try:
            reader = CsvReader(raw, "<stdin>" if args.input == "-" else escaped(args.input))
        except BaseException:
            if release is not None:
                release()
            raise
    progress.start(reader.total_rows if isinstance(reader, ParquetReader) else None, size)
    reading = _Background()  # the next batch, read and converted
    try:
        takes_tf = hasattr(block, "set_fixed_to_moving_frame_tf")
        layout = plan_columns(reader.header, SIGNAL_COLUMNS[block_class], takes_tf, block_class)
        numeric = [layout.header[i] for i in layout.signal_index + layout.tf_index]
        integers: list[str] = []
        if central:
            # The time of each row: integer nanoseconds (exact steps) when the log has them.
            if STAMP_COLUMN in reader.header:
                integers.append(STAMP_COLUMN)
            elif TIME_COLUMN in reader.header:
                numeric.append(TIME_COLUMN)
            else:
                raise RunError("--angular-acceleration central needs the time column "
                               f"'{STAMP_COLUMN}' (integer nanoseconds) or '{TIME_COLUMN}' "
                               "(seconds); the header has neither")
            section = load_sections(args.config, only=args.section)[0]
        width = len(layout.signal_index)
        copied = [i for kind, i in layout.output if kind == "copy"]
        names = _status_names()
        writer = TableWriter(destination, is_parquet(args.output) and args.output != "-")
        writer.start(layout.output_header,
                     [reader.types[i] if kind == "copy" else pa.float64()
                      for kind, i in layout.output] + [pa.string()],
                     computed=[layout.header[i] for i in layout.signal_index])

        writing = _Background()  # the previous batch's formatting and writing

        def emit(rows: _Rows) -> None:
            slot = {i: k for k, i in enumerate(copied)}
            columns = [rows.copied[slot[i]] if kind == "copy" else arrow_array(rows.out[:, i])
                       for kind, i in layout.output]
            columns.append(names(rows.status))
            writing.wait()
            writing.start(writer.write, columns)

        capture = LibraryStderr()
        totals = Totals(added=0 if central else None)
        held = TermAcrossBatches(lambda work, changed: add_term_to_rows(
            section, work.t, work.tf, work.out, work.status, changed)) if central else None
        batches = reader.batches(numeric, integers)
        reading.start(next, batches, None)
        try:
            while True:
                batch = reading.wait()
                if batch is None:
                    break
                reading.start(next, batches, None)
                values = batch.numbers
                signal_in = values[:, :width]  # views: the rows are read in place
                tf = values[:, width:width + 7] if layout.tf_index else None
                with capture:
                    signal_out, status = _transform_rows(block, signal_in, tf)
                totals.rows += len(status)
                totals.blank += batch.blank
                totals.codes.update(dict(enumerate(np.bincount(status).tolist())))
                totals.library_lines.update(capture.take())
                times = None
                if central:
                    times = batch.integers[:, 0] if integers else values[:, -1]
                rows = _Rows([batch.table.column(i) for i in copied], signal_out, status, times,
                             tf)
                if held is not None and len(rows):
                    rows = held.batch(rows)
                emit(rows)
                progress.update(totals.rows, reader.position if size else None)
            last = held.finish() if held is not None else None
            if last is not None:
                emit(last)
            writing.wait()
            writer.finish()
            totals.written = writer.rows
            _check_account(totals, destination, writer.parquet)
            if held is not None:
                totals.added = held.added
        finally:
            capture.close()
            writing.settle()
            writing.close()
            writer.abandon()  # a no-op once finished; after an error, no footer
    finally:
        # A read still blocked (a FIFO, a terminal) holds the stream: the process's exit closes
        # it, a close here would wait for the read.
        if release is not None and not reading.busy:
            release()
        reading.close()
    totals.codes = Counter({_STATUS_NAMES[code]: n for code, n in totals.codes.items() if n})
    return totals


def _check_account(totals: Totals, destination: Destination, parquet: bool) -> None:
    """Every record read must have been written, and a Parquet file of this run's own must say
    so in its metadata. Raises RunError."""
    if totals.written != totals.rows:
        raise RunError(f"{destination.name}: {totals.written:,} rows written for "
                       f"{totals.rows:,} records read: rows were lost")
    if not parquet:
        return
    pa = require("pyarrow")
    pq = require("pyarrow.parquet")
    destination.stream.flush()
    copy = destination.reopen()
    if copy is None:
        return
    with copy:
        try:
            counted = pq.read_metadata(copy).num_rows
        except (pa.ArrowException, OSError) as error:
            raise RunError(f"{destination.name}: the Parquet output does not read back: "
                           f"{escaped(str(error).splitlines()[0])}") from None
    if counted != totals.written:
        raise RunError(f"{destination.name}: {totals.written:,} rows written, the file's "
                       f"metadata counts {counted:,}: rows were lost")


_STATUS_NAMES: dict[int, str] = {}


class _Background:
    """One call at a time on a daemon thread of its own, kept from the first call to `close()`,
    so that pyarrow reads the next batch and writes the previous one (in C++, without the
    interpreter lock) while the blocks update this one. A daemon thread never keeps the process
    alive: a write blocked on a stalled pipe cannot hang the exit."""

    def __init__(self) -> None:
        self._calls: queue.SimpleQueue[tuple[Any, tuple[Any, ...]] | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self._done = threading.Event()
        self._running = False  # a call was started and not waited for
        self._result: Any = None
        self._error: BaseException | None = None

    def _serve(self) -> None:
        while True:
            call = self._calls.get()
            if call is None:
                return
            function, args = call
            try:
                self._result = function(*args)
            except BaseException as error:  # handed to the thread that waits
                self._error = error
            self._done.set()

    def start(self, function: Any, *args: Any) -> None:
        """Starts `function(*args)`; the previous call must have been waited for."""
        assert not self._running
        self._result = self._error = None
        self._done.clear()
        self._running = True
        if self._thread is None:
            self._thread = threading.Thread(target=self._serve, daemon=True)
            self._thread.start()
        self._calls.put((function, args))

    def wait(self) -> Any:
        """The result of the call started last (None when none is running); re-raises its
        exception."""
        if not self._running:
            return None
        self._done.wait()
        self._running = False
        error, self._error = self._error, None
        result, self._result = self._result, None
        if error is not None:
            raise error
        return result

    @property
    def busy(self) -> bool:
        return self._running and not self._done.is_set()

    def settle(self, seconds: float = 10.0) -> None:
        """Lets a running call finish (at most `seconds`) before what it uses is released; its
        result or error is dropped."""
        if self._running:
            self._done.wait(seconds)
            self._running = False

    def close(self) -> None:
        """Ends the thread when its call, if any, returns; no call may follow."""
        if self._thread is not None:
            self._calls.put(None)
            self._thread = None


@dataclass
class _Rows:
    """Transformed rows on their way out: the copied input columns (pyarrow arrays), the block's
    output (N, width), its status (N,), and for --angular-acceleration the time (N,) and the
    transform (N, 7) or None."""

    copied: list[Any]
    out: Any
    status: Any
    t: Any
    tf: Any

    def __len__(self) -> int:
        return len(self.status)

    def part(self, start: int, stop: int) -> _Rows:
        return _Rows([c.slice(start, stop - start) for c in self.copied], self.out[start:stop],
                     self.status[start:stop], None if self.t is None else self.t[start:stop],
                     None if self.tf is None else self.tf[start:stop])

    @staticmethod
    def joined(first: _Rows | None, second: _Rows) -> _Rows:
        if first is None:
            return second
        np = require("numpy")
        pa = require("pyarrow")

        def both(a: Any, b: Any) -> Any:
            return None if a is None else np.concatenate([a, b])

        return _Rows([pa.concat_arrays([a, b]) for a, b in zip(first.copied, second.copied)],
                     np.concatenate([first.out, second.out]),
                     np.concatenate([first.status, second.status]), both(first.t, second.t),
                     both(first.tf, second.tf))


def _status_names() -> TextsByCode:
    """The names of the block's return codes, by code value, and NO_TRANSFORM's."""
    import kivo_control

    for code in kivo_control.KivoControlReturnCode.__members__.values():
        _STATUS_NAMES[int(code)] = code.name
    _STATUS_NAMES[NO_TRANSFORM_CODE] = NO_TRANSFORM
    return TextsByCode([_STATUS_NAMES.get(k, str(k)) for k in range(256)])


def _transform_rows(block: Any, signal_in: Any, tf: Any | None) -> tuple[Any, Any]:
    """The block over the rows, but for a row whose transform is not finite: no block can give
    a right value from it, so it is not updated, holds NaN and has the status NO_TRANSFORM."""
    np = require("numpy")
    if tf is None:
        return transform_with_block(block, signal_in, None)
    usable = np.isfinite(tf).all(axis=1)
    if usable.all():
        return transform_with_block(block, signal_in, tf)
    signal_out = np.full(signal_in.shape, np.nan)
    status = np.full(len(usable), NO_TRANSFORM_CODE, dtype=np.uint8)
    if usable.any():
        signal_out[usable], status[usable] = transform_with_block(block, signal_in[usable],
                                                                  tf[usable])
    return signal_out, status


def _summary(totals: Totals, seconds: float) -> list[str]:
    """The first line is the account: rows, refused rows by code, records read = rows written,
    blank lines skipped (if any), time and rate."""
    refused = totals.rows - totals.codes.get("Ok", 0)
    order = {"NotReady": 0, "Error": 1}
    by_code = ", ".join(f"{code} {n:,}" for code, n in
                        sorted(totals.codes.items(), key=lambda item: (order.get(item[0], 2),
                                                                        item[0]))
                        if code != "Ok")
    rate = totals.rows / seconds if seconds > 0 else float("inf")
    blank = totals.blank
    lines = [f"kivo-tf run: {totals.rows:,} rows, {refused:,} refused"
             + (f" ({by_code})" if refused else "")
             + f", {totals.rows:,} records read = {totals.written:,} rows written"
             + (f", {blank:,} blank line{'s' if blank != 1 else ''} skipped" if blank else "")
             + f", {seconds:.2f} s, {rate:,.0f} rows/s"]
    if totals.added is not None:
        lines.append(f"kivo-tf run: the angular-acceleration term α × r was added to "
                     f"{totals.added:,} of {totals.codes.get('Ok', 0):,} Ok rows (central "
                     "difference over t)")
    if totals.library_lines:
        count = sum(totals.library_lines.values())
        lines.append(f"kivo-tf run: the library wrote {count:,} lines on stderr, "
                     f"{len(totals.library_lines)} distinct:")
        for text, n in totals.library_lines.most_common(SHOWN_LIBRARY_LINES):
            lines.append(f"  {n:,} × {escaped(text)}")
        if len(totals.library_lines) > SHOWN_LIBRARY_LINES:
            lines.append(f"  ... and {len(totals.library_lines) - SHOWN_LIBRARY_LINES} more")
    return lines


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "run", help="transform a recorded log (CSV, Parquet) through the real block",
        description=DESCRIPTION,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("config", metavar="CONFIG.json", help="the configuration file")
    parser.add_argument("section", choices=list(SECTIONS), metavar="SECTION",
                        help="the block to run: " + ", ".join(SECTIONS))
    parser.add_argument("--input", "-i", required=True, metavar="IN",
                        help="the log to transform: a .csv or .parquet table, - for a CSV table "
                             "on standard input, or a ROS bag (.bag, a rosbag2 directory, .mcap)")
    parser.add_argument("--output", "-o", required=True, metavar="OUT",
                        help="where the transformed log goes: a .csv or .parquet table, - for "
                             "a CSV table on standard output, or for a bag input a bag of its "
                             "kind")
    parser.add_argument("--angular-acceleration", choices=("none", "central"), default="none",
                        help="IMU section: add the α × r term the block leaves out, α by a "
                             "central difference of the rate over the rows' times (stamp_ns or "
                             "t; a bag's stamps) (default: none)")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="no progress bar (one is shown on a terminal for long runs)")
    from kivo_tf_tools import bags

    bags.add_bag_options(parser)
    parser.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from kivo_tf_tools import bags

    if bags.is_bag(args.input):
        return bags.run_bag(args)
    start = time.perf_counter()
    destination: Destination | None = None
    try:
        _check_options(args, SECTIONS[args.section])
        require("numpy")
        require("pyarrow")
        block = load_block(args.config, args.section)
        destination = Destination(args.output, input_stat(args.input))
        progress = _TableProgress(bool(getattr(args, "quiet", False)))
        try:
            totals = transform_table(args, block, destination, progress)
        finally:
            progress.clear()
        destination.commit()
        destination = None
    except RunError as error:
        stderr_line(f"kivo-tf run: error: {error}")
        return 2
    except BrokenPipeError:
        raise
    except OSError as error:
        where = destination.name if destination is not None else escaped(args.output)
        stderr_line(f"kivo-tf run: error: cannot write {where}: {error.strerror or error}")
        return 2
    finally:
        if destination is not None:
            destination.discard()
    for line in _summary(totals, time.perf_counter() - start):
        stderr_line(line)
    return 0
