"""``kivo-tf run``: a recorded log through the real block, one `update` per row.

The input is CSV with a header row. The signal's columns carry the block's own names (see
`SIGNAL_COLUMNS`); when the seven columns of `TF_COLUMNS` are present they are given to
`set_fixed_to_moving_frame_tf` before each row's `update` (pose of the moving frame M in the fixed
frame F: [x, y, z] in metres, quaternion [w, x, y, z]); every other column is copied through in
its place. The output holds the copied columns, the transformed signal under the same names and a
`status` column (Ok, NotReady, Error). Floats are written with `repr`, so they read back exactly.

Rows are read, converted and written in chunks: a chunk's signal sits in one float64 array and
`update` is called on row views of it (no copy per row). A log of more than one chunk is
transformed by worker processes, one per core, each with its own block; the results are written
in order. The lines the library writes on stderr for refused rows are captured and summarised,
not passed through one by one.
"""
from __future__ import annotations

import argparse
import csv
import io
import itertools
import operator
import os
import multiprocessing
import signal
import sys
import tempfile
import time
from collections import Counter, deque
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO, cast

from kivo_tf_tools._capture import LibraryStderr
from kivo_tf_tools._deps import require
from kivo_tf_tools.sections import (
    SECTIONS, SIGNAL_COLUMNS, TF_COLUMNS, ConfigError, load_block)

EXAMPLE = """\
example:
  kivo-tf run examples/kivo_tf_config.json tf_wrench_config --input ft_log.csv --output ft_out.csv
  with ft_log.csv starting:
    t,fx,fy,fz,tx,ty,tz,tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz
    0.000,1.0,0.0,0.0,0.0,0.0,0.0,1.0,2.0,3.0,1.0,0.0,0.0,0.0
  ft_out.csv starts with the header  t,fx,fy,fz,tx,ty,tz,status
  `-` reads standard input or writes standard output.

exit status: 0 every row read (refused rows included; see the status column and the summary),
2 an unusable configuration or input: OUT.csv is then left as it was (with --output -, the rows
before the bad one have been written)
"""

DESCRIPTION = """\
Transform a recorded CSV log through the block of SECTION in CONFIG.json, one update per row.

The header names the signal's columns as the block does:
""" + "".join(f"  {cls:<13} {','.join(cols)}\n" for cls, cols in SIGNAL_COLUMNS.items()) + f"""\
With the seven columns {','.join(TF_COLUMNS)}
each row first sets the fixed-to-moving-frame transform (wrench, twist and IMU blocks). Every
other column is copied through in its place (the tf_ columns are not). The output has the copied
columns, the transformed signal under the same names and a status column (Ok, NotReady, Error);
a refused row holds zeros.
The library's line on stderr for each refused row is counted and summarised at the end.
"""

CHUNK_ROWS = 65536
STATUS_COLUMN = "status"
SHOWN_LIBRARY_LINES = 5


class RunError(Exception):
    """Input that cannot be transformed; the message is shown to the user as it is."""


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


def _line_breaks(row: Sequence[str]) -> int:
    return sum(f.count("\n") + f.count("\r") - f.count("\r\n") for f in row)


class _Chunk:
    """One chunk of rows with the physical line on which each starts (computed on demand)."""

    def __init__(self, rows: list[list[str]], first_line: int) -> None:
        self.first_line = first_line
        self._all = rows
        if [] in rows:  # blank lines are skipped
            self._kept: list[int] | None = [k for k, row in enumerate(rows) if row]
            self.rows = [rows[k] for k in self._kept]
        else:
            self._kept = None
            self.rows = rows

    def line(self, k: int) -> int:
        """The line number of row `k` of `rows` (the header is line 1)."""
        original = self._kept[k] if self._kept is not None else k
        before = self._all[:original]
        return self.first_line + original + sum(map(_line_breaks, before))


def _line_chunks(source: TextIO, first_line: int) -> Iterator[tuple[int, list[str]]]:
    """(line number of the first line, lines) for chunks of about CHUNK_ROWS lines, each cut at
    the end of a record: a chunk never ends inside a quoted field (while the count of quote
    characters is odd, the next line belongs to it)."""
    line = first_line
    while True:
        lines = list(itertools.islice(source, CHUNK_ROWS))
        if not lines:
            return
        if any(map(operator.contains, lines, itertools.repeat('"'))):
            quotes = sum(map(operator.methodcaller("count", '"'), lines))
            while quotes % 2:
                extra = next(source, None)
                if extra is None:
                    break
                lines.append(extra)
                quotes += extra.count('"')
        yield line, lines
        line += len(lines)


def _split_columns(lines: list[str], width: int) -> Any:
    """The fields of `lines` as a function of the column index, or None unless every line is
    one plain record of `width` fields (no quote character, width − 1 commas). Such a chunk is
    split in one go instead of row by row, as the csv module would split it."""
    if set(map(operator.methodcaller("count", ","), lines)) != {width - 1}:
        return None
    text = "".join(lines)
    if '"' in text:
        return None
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    if text.endswith("\n"):
        text = text[:-1]
    fields = text.replace("\n", ",").split(",")
    return lambda column: fields[column::width]


def _numbers(np: Any, count: int, field: Any, layout: Layout) -> tuple[Any, list[Any]]:
    """The signal values of `count` rows as a (count, signal size) float64 array, and the seven
    transform columns as lists of Python floats (none without transform columns), from
    `field(i)`, the fields of input column i. Raises ValueError for a field that is not a
    number."""
    signal_in = np.empty((count, len(layout.signal_index)))
    for k, i in enumerate(layout.signal_index):
        signal_in[:, k] = np.fromiter(map(float, field(i)), dtype=np.float64, count=count)
    tf_columns = [list(map(float, field(i))) for i in layout.tf_index]
    return signal_in, tf_columns


def _bad_row(chunk: _Chunk, layout: Layout, source: str) -> RunError:
    """The error about the first row of `chunk` that cannot be read."""
    width = len(layout.header)
    for k, row in enumerate(chunk.rows):
        if len(row) != width:
            return RunError(f"{source}: line {chunk.line(k)}: {len(row)} values, expected "
                            f"{width} (one per column of the header)")
        for column in layout.signal_index + layout.tf_index:
            try:
                float(row[column])
            except ValueError:
                text = row[column]
                what = f"'{text}' is not a number" if text.strip() else "missing"
                return RunError(f"{source}: line {chunk.line(k)}: column "
                                f"'{layout.header[column]}': {what}")
    raise AssertionError("every row of the chunk can be read")


def _quoted(field: str) -> str:
    if any(c in field for c in _SPECIAL):
        return '"' + field.replace('"', '""') + '"'
    return field


_SPECIAL = (",", '"', "\n", "\r")


def _copied(rows: list[list[str]], column: int) -> list[str]:
    """The fields of `column`, quoted as CSV where they need it."""
    fields = list(map(operator.itemgetter(column), rows))
    joined = "\0".join(fields)
    if any(c in joined for c in _SPECIAL):
        return list(map(_quoted, fields))
    return fields


class _Progress:
    """A progress line on stderr, only when stderr is a terminal and the run takes a while."""

    def __init__(self, stream: TextIO, total_bytes: int | None) -> None:
        self._stream = stream
        self.total_bytes = total_bytes
        self._start = time.monotonic()
        self._shown = False
        self._active = stream.isatty()

    def update(self, rows: int, done_bytes: int | None) -> None:
        """`rows` written so far, which end at byte `done_bytes` of the input when known."""
        if not self._active or time.monotonic() - self._start < 0.5:
            return
        text = f"{rows:,} rows"
        if self.total_bytes and done_bytes is not None:
            share = min(1.0, done_bytes / self.total_bytes)
            filled = int(share * 30)
            text = f"[{'#' * filled}{'.' * (30 - filled)}] {share:4.0%}  {text}"
        self._stream.write(f"\rkivo-tf run: {text}")
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\033[K")
            self._stream.flush()


class _AtomicOutput:
    """A text file written beside `path` and renamed onto it by `commit`, or removed."""

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        fd, self.temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                                         dir=directory)
        self.stream: TextIO = os.fdopen(fd, "w", encoding="utf-8", newline="")

    def commit(self) -> None:
        self.stream.close()
        try:
            mode = os.stat(self.path).st_mode & 0o7777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(self.temp, mode)
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        self.stream.close()
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass


def _open_input(path: str) -> tuple[TextIO, int | None, Any, Any]:
    """(stream, size in bytes or None, function giving the bytes read so far, function that
    releases the stream). Standard input is read through a wrapper that is detached, not
    closed, at the end."""
    if path == "-":
        if hasattr(sys.stdin, "buffer"):
            wrapper = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
            return wrapper, None, None, wrapper.detach
        return sys.stdin, None, None, lambda: None
    try:
        stream = open(path, encoding="utf-8-sig", newline="")
    except OSError as error:
        raise RunError(f"cannot read {path}: {error.strerror}") from error
    size = os.fstat(stream.fileno()).st_size
    return stream, size, cast(io.BufferedReader, stream.buffer).tell, stream.close


@dataclass
class Totals:
    rows: int = 0
    codes: Counter[str] = field(default_factory=Counter)
    library_lines: Counter[str] = field(default_factory=Counter)

    def add(self, other: Totals) -> None:
        self.rows += other.rows
        self.codes.update(other.codes)
        self.library_lines.update(other.library_lines)


class _ChunkRunner:
    """Transforms chunks of input lines into output text with one block."""

    def __init__(self, block: Any, layout: Layout, source_name: str) -> None:
        import kivo_control

        self.np = require("numpy")
        self.block = block
        self.layout = layout
        self.source_name = source_name
        self.names = {code: code.name
                      for code in kivo_control.KivoControlReturnCode.__members__.values()}
        self.capture = LibraryStderr()

    def close(self) -> None:
        self.capture.close()

    def _records(self, first_line: int, lines: list[str]) -> _Chunk:
        reader = csv.reader(lines)
        try:
            return _Chunk(list(reader), first_line)
        except csv.Error as error:
            raise RunError(f"{self.source_name}: line {first_line + reader.line_num - 1}: "
                           f"{error}") from None

    def __call__(self, first_line: int, lines: list[str]) -> tuple[str, Totals]:
        """The output text of the rows in `lines` (which start on line `first_line`) and their
        totals. Raises RunError."""
        np, layout = self.np, self.layout
        width = len(layout.header)
        # field(i): the fields of column i as read; copied(i): as written to the output.
        field = copied = _split_columns(lines, width)
        count = len(lines)
        chunk = None
        if field is None:
            chunk = self._records(first_line, lines)
            if any(len(row) != width for row in chunk.rows):
                raise _bad_row(chunk, layout, self.source_name)
            count = len(chunk.rows)
            rows = chunk.rows
            field = lambda i: list(map(operator.itemgetter(i), rows))  # noqa: E731
            copied = lambda i: _copied(rows, i)  # noqa: E731
        if count == 0:
            return "", Totals()
        try:
            signal_in, tf_columns = _numbers(np, count, field, layout)
        except ValueError:
            raise _bad_row(chunk or self._records(first_line, lines), layout,
                           self.source_name) from None
        signal_out = np.zeros_like(signal_in)
        update = self.block.update
        with self.capture:
            if tf_columns:
                set_tf = self.block.set_fixed_to_moving_frame_tf
                codes: list[Any] = []
                append = codes.append
                for tf, row_in, row_out in zip(zip(*tf_columns), signal_in, signal_out):
                    set_tf(tf)
                    append(update(row_in, row_out))
            else:
                codes = list(map(update, signal_in, signal_out))
        status = list(map(self.names.__getitem__, codes))
        out_columns = [copied(i) if kind == "copy"
                       else list(map(repr, signal_out[:, i].tolist()))
                       for kind, i in layout.output]
        text = "\n".join(map(",".join, zip(*out_columns, status))) + "\n"
        return text, Totals(len(codes), Counter(status), Counter(self.capture.take()))


# The chunk runner of a worker process, or the message of why it has none.
_WORKER: _ChunkRunner | str = "not started"


def _start_worker(config: str, section: str, layout: Layout, source_name: str) -> None:
    global _WORKER
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the main process handles an interrupt
    capture = LibraryStderr()  # the main process has shown what loading writes
    try:
        with capture:
            block = load_block(config, section)
        _WORKER = _ChunkRunner(block, layout, source_name)
    except ConfigError as error:  # e.g. the file changed since the main process read it
        _WORKER = str(error)
    finally:
        capture.close()


def _work(first_line: int, lines: list[str]) -> tuple[str, Totals] | str:
    if isinstance(_WORKER, str):
        return _WORKER
    try:
        return _WORKER(first_line, lines)
    except RunError as error:
        return str(error)


def _parallel(chunks: Iterator[tuple[int, list[str]]], processes: int,
              initargs: tuple[Any, ...]) -> Iterator[tuple[str, Totals]]:
    """The results of `_work` on `chunks`, in order, from a pool of worker processes, with at
    most two chunks per process in flight."""
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    with context.Pool(processes, initializer=_start_worker, initargs=initargs) as pool:
        pending: deque[Any] = deque()
        for chunk in chunks:
            pending.append(pool.apply_async(_work, chunk))
            if len(pending) >= 2 * processes:
                yield _result(pending.popleft().get())
        while pending:
            yield _result(pending.popleft().get())


def _result(result: tuple[str, Totals] | str) -> tuple[str, Totals]:
    if isinstance(result, str):
        raise RunError(result)
    return result


def worker_count() -> int:
    try:
        return min(len(os.sched_getaffinity(0)), 4)
    except AttributeError:
        return min(os.cpu_count() or 1, 4)


def transform(block: Any, config: str, section: str, source: TextIO, sink: TextIO,
              source_name: str, progress: _Progress | None = None,
              processes: int | None = None, position: Any = None) -> Totals:
    """Reads the log from `source` and writes the transformed log to `sink`. An input of more
    than one chunk is transformed by `processes` worker processes (one per core by default),
    each with its own block loaded from `config`; rows are independent, since each row sets the
    transform before its update. `position()`, when given, is the byte offset read so far, for
    the progress line. Raises RunError."""
    require("numpy")
    block_class = SECTIONS[section]
    header_reader = csv.reader(source)
    try:
        header = next(header_reader, None)
        if header is None:
            raise RunError(f"{source_name}: empty input: expected a header row")
        takes_tf = hasattr(block, "set_fixed_to_moving_frame_tf")
        layout = plan_columns(header, SIGNAL_COLUMNS[block_class], takes_tf, block_class)
        csv.writer(sink, lineterminator="\n").writerow(layout.output_header)

        ends: deque[int | None] = deque()  # input offset at the end of each chunk read

        def marked(chunks: Iterator[tuple[int, list[str]]]) -> Iterator[tuple[int, list[str]]]:
            for chunk in chunks:
                ends.append(position() if position is not None else None)
                yield chunk

        chunks = marked(_line_chunks(source, header_reader.line_num + 1))
        head = list(itertools.islice(chunks, 2))
        processes = worker_count() if processes is None else processes
        runner = _ChunkRunner(block, layout, source_name)
        try:
            if len(head) < 2 or processes < 2:
                results: Iterator[tuple[str, Totals]] = itertools.starmap(
                    runner, itertools.chain(head, chunks))
            else:
                results = _parallel(itertools.chain(head, chunks), processes,
                                    (config, section, layout, source_name))
            totals = Totals()
            for text, chunk_totals in results:
                sink.write(text)
                totals.add(chunk_totals)
                done_bytes = ends.popleft()
                if progress is not None:
                    progress.update(totals.rows, done_bytes)
        finally:
            runner.close()
    except UnicodeDecodeError as error:
        raise RunError(f"{source_name}: not UTF-8 text ({error.reason})") from None
    except csv.Error as error:
        raise RunError(f"{source_name}: line {header_reader.line_num}: {error}") from None
    return totals


def _summary(totals: Totals, seconds: float) -> list[str]:
    refused = totals.rows - totals.codes.get("Ok", 0)
    by_code = ", ".join(f"{code} {n:,}" for code, n in sorted(totals.codes.items())
                        if code != "Ok")
    rate = totals.rows / seconds if seconds > 0 else float("inf")
    lines = [f"kivo-tf run: {totals.rows:,} rows, {refused:,} refused"
             + (f" ({by_code})" if refused else "")
             + f", {seconds:.2f} s, {rate:,.0f} rows/s"]
    if totals.library_lines:
        count = sum(totals.library_lines.values())
        lines.append(f"kivo-tf run: the library wrote {count:,} lines on stderr, "
                     f"{len(totals.library_lines)} distinct:")
        for text, n in totals.library_lines.most_common(SHOWN_LIBRARY_LINES):
            lines.append(f"  {n:,} × {text}")
        if len(totals.library_lines) > SHOWN_LIBRARY_LINES:
            lines.append(f"  ... and {len(totals.library_lines) - SHOWN_LIBRARY_LINES} more")
    return lines


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "run", help="transform a recorded CSV log through the real block",
        description=DESCRIPTION,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("config", metavar="CONFIG.json", help="the configuration file")
    parser.add_argument("section", choices=list(SECTIONS), metavar="SECTION",
                        help="the block to run: " + ", ".join(SECTIONS))
    parser.add_argument("--input", "-i", required=True, metavar="IN.csv",
                        help="the log to transform, - for standard input")
    parser.add_argument("--output", "-o", required=True, metavar="OUT.csv",
                        help="the transformed log, - for standard output")
    parser.add_argument("--topic", help="bag input: the topic to transform")
    parser.add_argument("--fixed-frame", help="bag input: the fixed frame F of the tf tree")
    parser.add_argument("--moving-frame", help="bag input: the moving frame M of the tf tree")
    parser.add_argument("--output-topic", help="bag output: the topic of the transformed "
                        "messages (default: the input topic + /kivo_tf)")
    parser.add_argument("--output-frame-id", help="bag output: header.frame_id of the "
                        "transformed messages")
    parser.add_argument("--angular-acceleration", choices=("none", "central"), default="none",
                        help="IMU: add the α × r term from central differences of ω")
    parser.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from kivo_tf_tools import bags
    if bags.is_bag(args.input):
        return bags.run_bag(args)
    require("numpy")
    block = load_block(args.config, args.section)
    start = time.perf_counter()
    output: _AtomicOutput | None = None
    try:
        source, size, position, release = _open_input(args.input)
        source_name = "<stdin>" if args.input == "-" else args.input
        try:
            if args.output == "-":
                sink = sys.stdout
            else:
                try:
                    output = _AtomicOutput(args.output)
                except OSError as error:
                    raise RunError(f"cannot write {args.output}: {error.strerror}") from error
                sink = output.stream
            progress = _Progress(sys.stderr, size)
            try:
                totals = transform(block, args.config, args.section, source, sink,
                                   source_name, progress, position=position)
            finally:
                progress.clear()
            if output is not None:
                output.commit()
                output = None
            else:
                sys.stdout.flush()
        finally:
            release()
    except RunError as error:
        print(f"kivo-tf run: error: {error}", file=sys.stderr)
        return 2
    finally:
        if output is not None:
            output.discard()
    for line in _summary(totals, time.perf_counter() - start):
        print(line, file=sys.stderr)
    return 0
