"""CSV and Parquet logs for ``kivo-tf run``, read and written in record batches with pyarrow.

Memory stays bounded by the batch size whatever the file's length or quoting: a CSV file is read in
blocks of `BLOCK_BYTES` by pyarrow's streaming reader (records are split by its CSV parser, quotes
and line breaks inside quoted fields included), a Parquet file in batches of `PARQUET_BATCH_ROWS`
rows through a read buffer of `PARQUET_BUFFER_BYTES`, however large its row groups.

Every record read is accounted for: a record with the wrong number of fields is an error naming its
line (never dropped), blank CSV lines are counted apart, and `TableWriter` counts the rows it has
really written, so that a run can check one count against the other.

Numbers follow one rule, `NUMBER_RULE`: pyarrow's conversion of text to float64, which takes the
JSON/C syntax in ASCII only. Columns of every Arrow type are written to CSV by `CSV_TYPES`.
"""
from __future__ import annotations

import codecs
import csv
import io
import json
import re
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO

from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped

# A CSV file is parsed in blocks of this many bytes; pyarrow reads a bounded number of blocks ahead.
BLOCK_BYTES = 1 << 20
# Rows per batch of a Parquet file (about the rows of a CSV block), read through a buffer of this
# many bytes per column. Without the buffer pyarrow reads whole column chunks ahead (a row group of
# 1M rows of 14 doubles is 112 MB, and iter_batches held several of them); a run holds about three
# batches at a time (read, transformed, written), so their size sets its memory.
PARQUET_BATCH_ROWS = 16384
PARQUET_BUFFER_BYTES = 1 << 16
# A Parquet output gathers batches into row groups of this many rows or more (the last one
# excepted), or of this many bytes of columns when their text is long: a few MiB in memory.
PARQUET_ROW_GROUP_ROWS = 65536
PARQUET_ROW_GROUP_BYTES = 16 << 20
# A record may be as long as one block (pyarrow's parser takes a record over at most two blocks):
# reading stops there instead of holding the rest of the file, as an unclosed quote would make it.
# The header line may be as long.
HEADER_LIMIT_BYTES = 1 << 20

NUMBER_RULE = """\
A number is written in ASCII as JSON or C write it: an optional sign, digits with an optional
decimal point (1, -2.5, .5, 5.), an optional exponent (1e-3, 2.5E+07), or nan, inf, infinity in
any letter case with an optional sign; spaces and tabs around it are ignored. Nothing else is a
number: not 1_000, 0x1p3, 1,5, or digits of other scripts (١٢, ３). A value beyond the range of a
double reads as ±inf (1e400), one below it as ±0."""

_LINE_BREAK = r"\r\n|\r|\n"


class RunError(Exception):
    """Input or output that cannot be used; the message is shown to the user as it is."""


def is_parquet(path: str) -> bool:
    """Tables are chosen by suffix: `.parquet` is Parquet, anything else (`.csv`, `-`, a device,
    a FIFO) CSV."""
    return path.lower().endswith(".parquet")


def _arrow() -> tuple[Any, Any, Any]:
    pa = require("pyarrow")
    return pa, require("pyarrow.compute"), require("pyarrow.csv")


def _is_number_type(pa: Any, kind: Any) -> bool:
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind)
                or pa.types.is_decimal(kind))


class BadValue(Exception):
    """Row `index` of a column holds `text`, which is not a number under NUMBER_RULE (None: a
    null); `column` is the column's place among those converted together."""

    def __init__(self, index: int, text: str | None, column: int = 0,
                 integer: bool = False) -> None:
        super().__init__(index, text)
        self.index = index
        self.text = text
        self.column = column
        self.integer = integer


def _numbers(table: Any, columns: Sequence[int],
             integer_columns: Sequence[int] = ()) -> tuple[Any, Any]:
    """The columns of `table` at `columns` as one (rows, len(columns)) float64 array, and those
    at `integer_columns` as one int64 array (None without them). A BadValue's `column` counts
    `columns`, then `integer_columns`."""
    np = require("numpy")
    values = np.empty((table.num_rows, len(columns)))
    for k, i in enumerate(columns):
        try:
            values[:, k] = parse_numbers(table.column(i))
        except BadValue as value:
            value.column = k
            raise
    if not integer_columns:
        return values, None
    integers = np.empty((table.num_rows, len(integer_columns)), dtype=np.int64)
    for k, i in enumerate(integer_columns):
        try:
            integers[:, k] = parse_integers(table.column(i))
        except BadValue as value:
            value.column = len(columns) + k
            raise
    return values, integers


def _casts(pa: Any, column: Any) -> bool:
    try:
        column.cast(pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return False
    return True


def _numpy_of(column: Any, dtype: str) -> Any:
    """The values of a pyarrow array without nulls as a read-only NumPy view (pyarrow's own
    to_numpy imports pandas, a fifth of a second)."""
    np = require("numpy")
    if hasattr(column, "combine_chunks"):
        column = column.combine_chunks()
    kind = np.dtype(dtype)
    return np.frombuffer(column.buffers()[1], dtype=kind, count=len(column),
                         offset=column.offset * kind.itemsize)


def _floats(column: Any) -> Any:
    """A float64 pyarrow array (nulls read as NaN) as NumPy."""
    if column.null_count:
        nan = arrow_array(require("numpy").array([float("nan")]))[0]
        column = require("pyarrow.compute").fill_null(column, nan)
    return _numpy_of(column, "float64")


def parse_numbers(column: Any) -> Any:
    """The float64 values of a pyarrow text or number column under NUMBER_RULE, as a NumPy array.
    Raises BadValue for the first row that holds no number (a null is text None)."""
    pa = require("pyarrow")
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    if column.type == pa.float64() and column.null_count == 0:
        return _floats(column)  # a Parquet log's usual column: nothing to convert
    pc = require("pyarrow.compute")
    if _is_number_type(pa, column.type) and column.null_count == 0:
        return _floats(column.cast(pa.float64()))
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        try:
            return _floats(column.cast(pa.float64()))
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            trimmed = pc.utf8_trim(column, " \t")
            if column.null_count == 0 and _casts(pa, trimmed):
                return _floats(trimmed.cast(pa.float64()))
        column = trimmed
    elif not _is_number_type(pa, column.type):
        raise BadValue(-1, str(column.type))
    if column.null_count:
        first_null = int(pc.index(column.is_null(), True).as_py())
        if _is_number_type(pa, column.type) or _casts(pa, column.slice(0, first_null)):
            raise BadValue(first_null, None)
    # The first row that does not convert, by halving: every step converts in one go.
    lo, hi = 0, len(column)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if _casts(pa, column.slice(lo, mid - lo)):
            lo = mid
        else:
            hi = mid
    raise BadValue(lo, column[lo].as_py())


def parse_integers(column: Any) -> Any:
    """The int64 values of a pyarrow text or integer column (an integer in ASCII digits with an
    optional sign, spaces and tabs around it ignored; exact to the last digit, as nanosecond
    stamps need), as a NumPy array. Raises BadValue for the first row that holds none."""
    pa, pc, _ = _arrow()
    np = require("numpy")
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        column = pc.utf8_trim(column, " \t")
    elif not pa.types.is_integer(column.type):
        raise BadValue(-1, str(column.type))
    if column.null_count:
        raise BadValue(int(pc.index(column.is_null(), True).as_py()), None)
    try:
        return _numpy_of(column.cast(pa.int64()), "int64").copy()
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        pass
    for k in range(len(column)):  # the first that does not convert
        try:
            column.slice(k, 1).cast(pa.int64())
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            text = column[k].as_py()
            raise BadValue(k, str(text), integer=True) from None
    return np.zeros(0, dtype=np.int64)  # not reached


def describe_bad_value(value: BadValue) -> str:
    """What is wrong with the value, for a message: "missing" or "'…' is not a number"."""
    if value.text is None or not value.text.strip():
        return "missing"
    if value.integer:
        return f"'{escaped(value.text)}' is not an integer"
    return f"'{escaped(value.text)}' is not a number"


@dataclass
class Batch:
    """Rows of a log: `table` holds every input column as read (text for CSV), one row per record,
    `numbers` the columns asked for as float64, shape (rows, len(asked)); `blank` counts the blank
    CSV lines skipped among them (not records)."""

    table: Any
    numbers: Any
    blank: int = 0
    integers: Any = None  # the integer columns asked for, int64 (rows, len(asked)), or None


class _Feed(io.RawIOBase):
    """The bytes of the input after its header, for pyarrow, counted for the progress line.

    A CR that ends a read while more input follows is handed over at the start of the next read
    instead: pyarrow's streaming reader drops the LF of a CRLF inside a quoted field when one of
    its blocks ends between the two."""

    def __init__(self, raw: BinaryIO, head: bytes) -> None:
        super().__init__()
        self._raw = raw
        self._head = head
        self._held = b""
        self.position = 0  # bytes handed to pyarrow

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        data, self._held = self._held, b""
        wanted = -1 if size < 0 else size - len(data)
        more = b""
        if wanted != 0:
            if self._head:
                more = self._head if wanted < 0 else self._head[:wanted]
                self._head = self._head[len(more):]
            else:
                more = self._raw.read(wanted) or b""
            data += more
        if more and len(data) > 1 and data.endswith(b"\r"):
            data, self._held = data[:-1], b"\r"
        self.position += len(data)
        return data

    def readinto(self, buffer: Any) -> int:
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def at_end(self) -> bool:
        """Whether nothing follows the header: reads ahead once when needed (blocking, as the next
        read would)."""
        if not self._head and not self._held:
            self._head = self._raw.read(65536) or b""
        return not self._head and not self._held


class CsvReader:
    """A CSV log: a header line naming the columns, then one record per row. Lines end with LF,
    CRLF or CR; a field may be quoted ("a,b", "a ""word"" here", line breaks inside); a line that is
    empty or holds only empty fields is skipped; a UTF-8 byte-order mark is skipped. Every field is
    read as text; the columns asked for are converted by NUMBER_RULE."""

    def __init__(self, raw: BinaryIO, name: str) -> None:
        self.name = name
        self._raw = raw
        self.header, self.header_lines, head = self._read_header()
        self._feed = _Feed(raw, head)

    @property
    def types(self) -> list[Any]:
        """The pyarrow type of each column as read: text."""
        return [require("pyarrow").string()] * len(self.header)

    @property
    def position(self) -> int:
        """Bytes of the input read so far."""
        return self._feed.position

    def _read_header(self) -> tuple[list[str], int, bytes]:
        """(header fields, physical lines it spans, bytes read after it)."""
        data = b""
        while True:
            more = self._raw.read(min(65536, HEADER_LIMIT_BYTES + 1 - len(data)))
            data += more
            if data.startswith(codecs.BOM_UTF8):
                data = data[len(codecs.BOM_UTF8):]
            found = self._header_in(data, at_end=not more)
            if found is not None:
                fields, lines, used = found
                rest = data[used:]
                if rest == b"" and data[used - 1:used] == b"\r" and more:
                    rest = self._raw.read(1)
                if rest.startswith(b"\n") and data[used - 1:used] == b"\r":
                    rest = rest[1:]
                return fields, lines, rest
            if not more:
                if not data.strip():
                    raise RunError(f"{self.name}: empty: the first line must name the columns")
                raise RunError(f"{self.name}: line 1: the header's quoted field is not closed")
            if len(data) > HEADER_LIMIT_BYTES:
                raise RunError(f"{self.name}: line 1: no end of the header line within "
                               f"{HEADER_LIMIT_BYTES >> 20} MiB: not a CSV log")

    def _header_in(self, data: bytes, at_end: bool) -> tuple[list[str], int, int] | None:
        """The header record if `data` holds all of it: (fields, lines, bytes used)."""
        text = data.decode("utf-8", "surrogateescape")
        pieces = re.split(f"({_LINE_BREAK})", text)
        # pieces: line, break, line, break, ..., rest; a trailing CR may be half of a CRLF.
        consumed = ""
        lines = 0
        for k in range(0, len(pieces) - 1, 2):
            consumed += pieces[k] + pieces[k + 1]
            lines += 1
            if pieces[k + 1] == "\r" and k + 2 == len(pieces) - 1 and not at_end:
                return None  # the next byte may be the LF of CRLF
            record = self._complete(consumed)
            if record is not None:
                return self._checked(record, lines), lines, len(
                    consumed.encode("utf-8", "surrogateescape"))
        if at_end and pieces[-1]:
            record = self._complete(consumed + pieces[-1])
            if record is not None:
                return self._checked(record, lines + 1), lines + 1, len(data)
        return None

    def _complete(self, text: str) -> list[str] | None:
        """The first record of `text`, or None while a quoted field is open at its end."""
        try:
            rows = list(csv.reader(io.StringIO(text, newline=""), strict=True))
        except csv.Error as error:
            if "unexpected end of data" in str(error):
                return None
            try:
                rows = list(csv.reader(io.StringIO(text, newline="")))
            except csv.Error:
                return None  # a NUL (before Python 3.13): decided by the caller's limit
        return rows[0] if rows else []

    def _checked(self, fields: list[str], lines: int) -> list[str]:
        text = "\n".join(fields)
        if "\0" in text:
            raise RunError(f"{self.name}: line 1: a NUL character in the header: not a CSV log")
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            raise RunError(f"{self.name}: line 1: not UTF-8 text") from None
        if fields in ([], [""]):
            raise RunError(f"{self.name}: line 1 is empty: the first line must name the columns")
        return fields

    def batches(self, numeric: Sequence[str],
                integers: Sequence[str] = ()) -> Iterator[Batch]:
        """The rows in batches, with the columns `numeric` (names of the header) converted to
        float64 and the columns `integers` to int64.
        Raises RunError naming the physical line of the first record that cannot be read, after
        the batch of the records before it.

        pyarrow hands a record with the wrong number of fields to the invalid-row handler and
        leaves it out of its batch; a block of only such records yields an empty batch or none.
        The records are numbered from 1 after the header, blank lines included, and the handler
        may see those of the block after the batch it returns: the first one is reported with
        the batch that reaches it, or at the end."""
        pa, pc, pcsv = _arrow()
        width = len(self.header)
        invalid: list[tuple[int | None, int, str]] = []

        def on_invalid(row: Any) -> str:
            number = row.number if row.number is not None and row.number > 0 else None
            invalid.append((number, int(row.actual_columns), str(row.text)))
            return "skip"

        if self._feed.at_end():
            return  # a header alone: no records
        names = [f"c{i}" for i in range(width)]  # the header may repeat names or hold odd ones
        try:
            reader = pcsv.open_csv(
                self._feed,
                read_options=pcsv.ReadOptions(column_names=names, block_size=BLOCK_BYTES,
                                              use_threads=False),
                parse_options=pcsv.ParseOptions(newlines_in_values=True,
                                                ignore_empty_lines=False,
                                                invalid_row_handler=on_invalid),
                convert_options=pcsv.ConvertOptions(
                    column_types={n: pa.string() for n in names}, null_values=[],
                    strings_can_be_null=False, quoted_strings_can_be_null=False))
        except (pa.ArrowException, OSError) as error:
            raise self._reading_error(error, self.header_lines + 1) from None
        columns = [self.header.index(name) for name in numeric]
        self._integer_columns = [self.header.index(name) for name in integers]
        numeric_set = set(columns) | set(self._integer_columns)
        line = self.header_lines + 1  # physical line of the next batch's first record
        number = 1  # pyarrow's number of that record
        while True:
            try:
                table = reader.read_next_batch()
            except StopIteration:
                table = None
            except (pa.ArrowException, OSError) as error:
                raise self._reading_error(error, line) from None
            rows = 0 if table is None else table.num_rows
            bad_row = invalid[0] if invalid else None
            if bad_row is not None and (table is None or bad_row[0] is None
                                        or bad_row[0] - number <= rows):
                where = f"line {line} or after"
                if bad_row[0] is not None:
                    before = max(0, min(rows, bad_row[0] - number))
                    if table is not None and before:
                        table = table.slice(0, before)
                        yield self._converted(table, columns, line)
                        line += self._breaks(table, range(width))
                    where = f"line {line + bad_row[0] - number}"
                raise RunError(self._invalid_message(bad_row, where))
            if table is None:
                return
            if rows:
                batch = self._converted(table, columns, line)
                line += rows + self._breaks(table, (i for i in range(width)
                                                   if i not in numeric_set))
                number += rows
                yield batch

    def _converted(self, table: Any, columns: list[int], line: int) -> Batch:
        """The records of a batch whose first row is on `line`, without its blank lines, with the
        numbers of `columns`."""
        integer_columns = getattr(self, "_integer_columns", [])
        try:
            values, integers = _numbers(table, columns, integer_columns)
            return Batch(table, values, 0, integers)
        except BadValue:
            pass
        _, pc, _ = _arrow()
        blank = self._blank(table)
        kept = None
        rows = table
        if blank is not None:
            kept = _numpy_of(pc.indices_nonzero(pc.invert(blank)), "uint64")
            rows = table.filter(pc.invert(blank))
        try:
            values, integers = _numbers(rows, columns, integer_columns)
        except BadValue as value:
            k = value.index if kept is None else int(kept[value.index])
            where = line + k + self._breaks(table, range(table.num_columns), k)
            column_name = escaped(self.header[[*columns, *integer_columns][value.column]])
            raise RunError(f"{self.name}: line {where}: column '{column_name}': "
                           f"{describe_bad_value(value)}") from None
        return Batch(rows, values, table.num_rows - rows.num_rows, integers)

    def _blank(self, table: Any) -> Any:
        """The rows whose every field is empty (blank lines), or None without any."""
        _, pc, _ = _arrow()
        blank = None
        for column in table.columns:
            empty = pc.equal(pc.binary_length(column), 0)
            blank = empty if blank is None else pc.and_(blank, empty)
        if blank is None or not pc.any(blank).as_py():
            return None
        return blank

    def _breaks(self, table: Any, columns: Any, rows: int | None = None) -> int:
        """Line breaks inside the fields of `columns` (in the first `rows` rows)."""
        _, pc, _ = _arrow()
        total = 0
        for i in columns:
            column = table.column(i)
            if rows is not None:
                column = column.slice(0, rows)
            if len(column):
                total += int(pc.sum(pc.count_substring_regex(column, _LINE_BREAK)).as_py()
                             or 0)
        return total

    def _invalid_message(self, row: tuple[int | None, int, str], where: str) -> str:
        _, actual, text = row
        try:
            list(csv.reader(io.StringIO(text, newline=""), strict=True))
        except csv.Error:
            if text.count('"') % 2:
                return (f"{self.name}: {where}: a quoted field is not closed (a quote "
                        "character without its closing quote)")
        return (f"{self.name}: {where}: {actual} values, expected {len(self.header)} "
                "(one per column of the header)")

    def _reading_error(self, error: BaseException, line: int) -> RunError:
        text = str(error)
        if "straddl" in text:
            return RunError(f"{self.name}: from line {line} on: no end of record within "
                            f"{_size(BLOCK_BYTES)} (a quote character that is never closed?)")
        if "UTF8" in text or "UTF-8" in text:
            return RunError(f"{self.name}: not UTF-8 text (at or after line {line})")
        if isinstance(error, OSError) and error.strerror:
            return RunError(f"cannot read {self.name}: {error.strerror}")
        return RunError(f"{self.name}: line {line} or after: {escaped(text.splitlines()[0])}")


class ParquetReader:
    """A Parquet log: the columns asked for must hold numbers (or text that NUMBER_RULE reads);
    every other column is copied with its type. Row numbers count from 1. The rows read are
    checked against the row count of the file's metadata at the end.

    Read without pre-buffering, through a buffer of `PARQUET_BUFFER_BYTES` per column, on the
    calling thread: memory follows the batch, not the row group."""

    def __init__(self, path: str, name: str) -> None:
        pa = require("pyarrow")
        pq = require("pyarrow.parquet")
        self.name = name
        try:
            self._file = pq.ParquetFile(path, pre_buffer=False,
                                        buffer_size=PARQUET_BUFFER_BYTES)
        except (pa.ArrowException, OSError) as error:
            raise RunError(f"cannot read {name} as Parquet: "
                           f"{escaped(str(error).splitlines()[0])}") from None
        self.header = list(self._file.schema_arrow.names)
        self.types = list(self._file.schema_arrow.types)
        self.total_rows = int(self._file.metadata.num_rows)
        self.header_lines = 0
        self.position = 0

    def batches(self, numeric: Sequence[str],
                integers: Sequence[str] = ()) -> Iterator[Batch]:
        pa = require("pyarrow")
        columns = [self.header.index(name) for name in numeric]
        integer_columns = [self.header.index(name) for name in integers]
        row = 1
        try:
            for table in self._file.iter_batches(batch_size=PARQUET_BATCH_ROWS,
                                                 use_threads=False):
                try:
                    values, integer_values = _numbers(table, columns, integer_columns)
                except BadValue as value:
                    name = escaped(self.header[[*columns, *integer_columns][value.column]])
                    if value.index < 0:
                        kind = "integers" if value.column >= len(columns) else "numbers"
                        raise RunError(f"{self.name}: column '{name}' holds "
                                       f"{value.text}, not {kind}") from None
                    raise RunError(f"{self.name}: row {row + value.index}: column "
                                   f"'{name}': {describe_bad_value(value)}") from None
                row += table.num_rows
                yield Batch(table, values, 0, integer_values)
        except (pa.ArrowException, OSError) as error:
            raise RunError(f"cannot read {self.name}: "
                           f"{escaped(str(error).splitlines()[0])}") from None
        expected = self._file.metadata.num_rows
        if row - 1 != expected:
            raise RunError(f"{self.name}: {row - 1:,} rows read, the file's metadata counts "
                           f"{expected:,}")


def _size(count: int) -> str:
    return f"{count >> 20} MiB" if count >= 1 << 20 and not count % (1 << 20) else f"{count:,} bytes"


def arrow_array(values: Any) -> Any:
    """A pyarrow array over a 1-D NumPy float64, uint8 or bool array (the data shared, not copied
    except for bools). Unlike pyarrow.array, it never imports pandas (a fifth of a second)."""
    pa = require("pyarrow")
    np = require("numpy")
    values = np.ascontiguousarray(values)
    if values.dtype == np.bool_:
        bits = pa.py_buffer(np.packbits(values, bitorder="little"))
        return pa.Array.from_buffers(pa.bool_(), len(values), [None, bits])
    kind = {np.dtype(np.float64): pa.float64(), np.dtype(np.uint8): pa.uint8()}[values.dtype]
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(values)])


class TextsByCode:
    """Names of uint8 codes as pyarrow string arrays, made from NumPy arrays (see
    `arrow_array`): `texts_by_code(codes)` holds texts[code] for each code of a 1-D NumPy uint8
    array; `texts` has 256 entries."""

    def __init__(self, texts: Sequence[str]) -> None:
        np = require("numpy")
        encoded = [text.encode("utf-8") for text in texts]
        self._lengths = np.array([len(data) for data in encoded], dtype=np.int32)
        self._bytes = np.zeros((len(encoded), max(1, int(self._lengths.max()))), dtype=np.uint8)
        for code, data in enumerate(encoded):
            self._bytes[code, :len(data)] = np.frombuffer(data, dtype=np.uint8)

    def __call__(self, codes: Any) -> Any:
        pa = require("pyarrow")
        np = require("numpy")
        lengths = self._lengths[codes]
        offsets = np.zeros(len(codes) + 1, dtype=np.int32)
        np.cumsum(lengths, out=offsets[1:])
        used = np.arange(self._bytes.shape[1]) < lengths[:, None]
        data = self._bytes[codes][used]
        return pa.Array.from_buffers(pa.string(), len(codes),
                                     [None, pa.py_buffer(offsets), pa.py_buffer(data)])


def text_array(texts: Sequence[str | None]) -> Any:
    """A pyarrow string array of `texts`, None a null (see `arrow_array`)."""
    pa = require("pyarrow")
    np = require("numpy")
    data = [b"" if text is None else text.encode("utf-8") for text in texts]
    offsets = np.zeros(len(data) + 1, dtype=np.int32)
    offsets[1:] = np.cumsum([len(d) for d in data])
    validity = None
    if any(text is None for text in texts):
        validity = pa.py_buffer(np.packbits(np.array([text is not None for text in texts]),
                                            bitorder="little"))
    return pa.Array.from_buffers(pa.string(), len(data),
                                 [validity, pa.py_buffer(offsets), pa.py_buffer(b"".join(data))])


def _text(text: str) -> Any:
    """A pyarrow string scalar, made without pandas (see `arrow_array`)."""
    return text_array([text])[0]


def csv_header_line(names: Sequence[str]) -> bytes:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(names)
    return text.getvalue().encode("utf-8")


CSV_TYPES = """\
Every Arrow type is written to CSV, a null as an empty field: text as it is; float64 in the
shortest text that reads back to the same bits, float32 and float16 in the shortest that reads
back to the same float32 or float16 (an integral value keeps a ".0"); integers, booleans (true,
false), decimals, dates, times, timestamps and durations (a count of their unit) as pyarrow casts
them to text; binary values as text, printable ASCII as it is, a backslash doubled and every other
byte as \\xNN (lowercase hex), which reads back to the same bytes; lists, structs, maps, unions
and intervals as JSON text (json.dumps of the Python value, non-ASCII text kept: a map as
[[key, value], ...], an interval as [months, days, nanoseconds], bytes as binary text, decimals
and times as their text; NaN and infinities as NaN, Infinity and -Infinity, which Python's json
module reads back); dictionary-encoded columns by their values, extension types by their storage.
A struct with two fields of one name cannot be written (JSON keeps one), nor a union or list view
holding a type that JSON has no value for: such a column is refused before anything is written."""

# Binary values as text: printable ASCII as it is, a backslash doubled, every other byte \xNN.
_BYTE_TEXT = {b: "\\\\" if b == 0x5C else chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02x}"
              for b in range(256)}
_HALF_SHORTEST: list[Any] = []  # float64 of the shortest decimal of each float16, by bits


class Unwritable(Exception):
    """A column type that cannot be written to CSV; the message says why."""


def binary_text(data: bytes) -> str:
    """Bytes as CSV text: printable ASCII as it is, a backslash doubled, any other byte \\xNN."""
    return data.decode("latin-1").translate(_BYTE_TEXT)


def _json_type(pa: Any, kind: Any) -> Any:
    """`kind` as cast before to_pylist, so that every value is one JSON takes: decimals, dates,
    times, timestamps and durations as text, dictionaries by their values, extension types by
    their storage. Raises Unwritable."""
    types = pa.types
    if types.is_dictionary(kind):
        return _json_type(pa, kind.value_type)
    if isinstance(kind, pa.BaseExtensionType):
        return _json_type(pa, kind.storage_type)
    if (types.is_decimal(kind) or types.is_timestamp(kind) or types.is_date(kind)
            or types.is_time(kind) or types.is_duration(kind)):
        return pa.string()
    if (types.is_null(kind) or types.is_boolean(kind) or types.is_integer(kind)
            or types.is_floating(kind) or types.is_interval(kind) or _is_text(pa, kind)
            or _is_binary(pa, kind)):
        return kind
    if types.is_list(kind) or types.is_large_list(kind) or types.is_fixed_size_list(kind):
        field = kind.value_field.with_type(_json_type(pa, kind.value_type))
        if types.is_large_list(kind):
            return pa.large_list(field)
        return pa.list_(field, kind.list_size if types.is_fixed_size_list(kind) else -1)
    if types.is_struct(kind):
        names = [kind.field(i).name for i in range(kind.num_fields)]
        twice = [name for name in names if names.count(name) > 1]
        if twice:
            raise Unwritable(f"a struct with two fields named '{escaped(twice[0])}'")
        return pa.struct([kind.field(i).with_type(_json_type(pa, kind.field(i).type))
                          for i in range(kind.num_fields)])
    if types.is_map(kind):
        return pa.map_(kind.key_field.with_type(_json_type(pa, kind.key_type)),
                       kind.item_field.with_type(_json_type(pa, kind.item_type)),
                       kind.keys_sorted)
    if types.is_union(kind) or types.is_list_view(kind) or types.is_large_list_view(kind):
        # pyarrow casts neither (a list view's cast gives an invalid array): plain children only
        children = ([kind.field(i).type for i in range(kind.num_fields)]
                    if types.is_union(kind) else [kind.value_type])
        if any(_json_type(pa, child) != child for child in children):
            raise Unwritable(f"a {kind} holds values that JSON has no form for")
        return kind
    raise Unwritable(f"type {kind}")


def _is_text(pa: Any, kind: Any) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind)
                or pa.types.is_string_view(kind))


def _is_binary(pa: Any, kind: Any) -> bool:
    return bool(pa.types.is_binary(kind) or pa.types.is_large_binary(kind)
                or pa.types.is_fixed_size_binary(kind) or pa.types.is_binary_view(kind))


def _is_cast(pa: Any, kind: Any) -> bool:
    """Types written as pyarrow casts them to text."""
    types = pa.types
    return bool(types.is_boolean(kind) or types.is_integer(kind) or types.is_decimal(kind)
                or types.is_timestamp(kind) or types.is_date(kind) or types.is_time(kind)
                or types.is_duration(kind))


def csv_refusal(kind: Any) -> str | None:
    """Why a column of pyarrow type `kind` cannot be written to CSV (see CSV_TYPES), or None."""
    pa = require("pyarrow")
    types = pa.types
    while True:
        if types.is_dictionary(kind):
            kind = kind.value_type
        elif isinstance(kind, pa.BaseExtensionType):
            kind = kind.storage_type
        elif types.is_run_end_encoded(kind):
            kind = kind.value_type
        else:
            break
    if (types.is_floating(kind) or types.is_null(kind) or _is_text(pa, kind)
            or _is_binary(pa, kind) or _is_cast(pa, kind)):
        return None
    try:
        _json_type(pa, kind)
    except Unwritable as error:
        return str(error)
    return None


def _half_shortest() -> Any:
    """For each float16 bit pattern, the float64 of its shortest decimal (NumPy's str of a
    float16 is the shortest text that reads back to it)."""
    np = require("numpy")
    if not _HALF_SHORTEST:
        halves = np.arange(1 << 16, dtype=np.uint16).view(np.float16)
        _HALF_SHORTEST.append(np.array([float(str(h)) for h in halves]))
    return _HALF_SHORTEST[0]


def _float_text(pa: Any, pc: Any, column: Any) -> Any:
    """A floating-point column as text (nulls stay null): a float32 or float16 goes through the
    float64 of its shortest decimal, whose shortest text has the same digits (a decimal of at
    most 15 significant digits reads back from a float64)."""
    np = require("numpy")
    if column.type == pa.float16():
        bits = _numpy_of(column.view(pa.uint16()), "uint16")
        wide = arrow_array(_half_shortest()[bits])
        if column.null_count:
            wide = pc.if_else(column.is_null(), pa.scalar(None, pa.float64()), wide)
        column = wide
    elif column.type != pa.float64():
        column = column.cast(pa.string()).cast(pa.float64())
    text = column.cast(pa.string())
    values = _floats(column)
    with np.errstate(invalid="ignore"):
        integral = np.flatnonzero(np.isfinite(values) & (values == np.trunc(values)))
    if integral.size:
        whole = text.take(integral)
        plain = pc.invert(pc.match_substring(whole, "e"))
        mask = np.zeros(len(text), dtype=bool)
        mask[integral[_numpy_of(pc.indices_nonzero(plain), "uint64")]] = True
        text = pc.if_else(arrow_array(mask),
                          pc.binary_join_element_wise(text, _text(".0"), _text("")), text)
    return text


def _json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return binary_text(bytes(value))
    raise TypeError(f"{type(value).__name__} has no JSON form")


def csv_text(pa: Any, pc: Any, column: Any) -> Any:
    """A column as CSV fields (see CSV_TYPES), quoted where they must be: a pyarrow string array
    without nulls. Raises Unwritable."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    kind = column.type
    try:
        if pa.types.is_dictionary(kind):
            return csv_text(pa, pc, column.dictionary_decode())
        if isinstance(kind, pa.BaseExtensionType):
            return csv_text(pa, pc, column.storage)
        if pa.types.is_run_end_encoded(kind):
            return csv_text(pa, pc, pc.run_end_decode(column))
        if pa.types.is_floating(kind):
            text = _float_text(pa, pc, column)
        elif _is_text(pa, kind):
            text = column if pa.types.is_string(kind) else column.cast(pa.string())
        elif pa.types.is_null(kind):
            text = text_array([None] * len(column))
        elif _is_binary(pa, kind):
            text = text_array([None if value is None else binary_text(value)
                               for value in column.to_pylist()])
        elif _is_cast(pa, kind):
            text = column.cast(pa.string())
        else:
            target = _json_type(pa, kind)
            if target != kind:
                column = column.cast(target)
            text = text_array([None if value is None else
                               json.dumps(value, ensure_ascii=False, default=_json_default)
                               for value in column.to_pylist()])
    except (pa.ArrowNotImplementedError, TypeError, ValueError) as error:
        raise Unwritable(f"type {kind}: {str(error).splitlines()[0]}") from None
    if text.null_count:
        text = pc.fill_null(text, _text(""))
    if pa.types.is_floating(kind):
        return text
    special = pc.match_substring_regex(text, '[,"\r\n]')
    if pc.any(special).as_py():
        quoted = pc.binary_join_element_wise(
            _text('"'), pc.replace_substring(text, '"', '""'), _text('"'), _text(""))
        text = pc.if_else(special, quoted, text)
    return text


def csv_rows(columns: Sequence[Any]) -> tuple[Any, int]:
    """(the bytes of CSV records, one per row of the text `columns` each ended by LF, how many
    records they hold): a row with a null field, which CSV text never has, would be left out, and
    is left out of the count too."""
    pa, pc, _ = _arrow()
    joined = pc.binary_join_element_wise(*columns, _text(","))
    lines = pc.binary_join_element_wise(joined, _text(""), _text("\n"))
    if isinstance(lines, pa.ChunkedArray):
        lines = lines.combine_chunks()
    offsets = lines.buffers()[1]
    first, last = (int(v) for v in
                   require("numpy").frombuffer(offsets, dtype="int32")[[lines.offset,
                                                                         lines.offset + len(lines)]])
    return memoryview(lines.buffers()[2])[first:last], len(lines) - lines.null_count


class _Sink(io.RawIOBase):
    """The destination's stream as the table writer (and pyarrow's Parquet writer) sees it. Once
    cut, nothing more reaches the stream: the Parquet writer's destructor writes a footer, which
    would make the output of a failed run look complete to a reader of a FIFO."""

    def __init__(self, stream: Any) -> None:
        super().__init__()
        self._stream = stream
        self.cut = False

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if not self.cut:
            self._stream.write(data)
        return memoryview(data).nbytes

    def flush(self) -> None:
        # The destination may be closed before this object is collected (its close flushes).
        if not self.cut and not self.closed and not getattr(self._stream, "closed", False):
            self._stream.flush()


def _leaf_paths(schema: Any) -> list[str]:
    """The Parquet column paths of the leaves of the pyarrow `schema` ("a", "s.x",
    "l.list.element"), as its Parquet writer names them: read back from an empty file."""
    pa = require("pyarrow")
    pq = require("pyarrow.parquet")
    sink = pa.BufferOutputStream()
    pq.ParquetWriter(sink, schema).close()
    parquet_schema = pq.read_metadata(pa.BufferReader(sink.getvalue())).schema
    return [parquet_schema.column(i).path for i in range(len(parquet_schema))]


class TableWriter:
    """Writes batches of columns as CSV or Parquet to `destination`, anything with a binary
    `stream` open for writing (a `kivo_tf_tools._output.Destination`); `rows` counts the rows
    really written.

    `start(names, types)` names the columns; with their pyarrow types, a CSV output refuses a
    column it cannot write (CSV_TYPES) before writing anything, and a Parquet output has that
    schema even without rows (a column of another type is cast to it). Without types, a Parquet
    output takes the first batch's schema (text columns when there is none). Parquet batches are
    written in row groups of `PARQUET_ROW_GROUP_ROWS` rows (or `PARQUET_ROW_GROUP_BYTES`), and
    counted once written.
    `finish()` ends the output; a run that fails calls `abandon()` instead."""

    def __init__(self, destination: Any, parquet: bool) -> None:
        self.pa = require("pyarrow")
        self.destination = destination
        self.parquet = parquet
        self.rows = 0
        self._parquet_writer: Any = None
        self._names: list[str] = []
        self._computed: frozenset[str] = frozenset()
        self._schema: Any = None
        self._pending: list[Any] = []  # Parquet batches of the next row group
        self._pending_rows = self._pending_bytes = 0
        self._sink = _Sink(destination.stream)

    def start(self, names: list[str], types: list[Any] | None = None,
              computed: Collection[str] = ()) -> None:
        """`computed` names top-level float64 columns of values computed by the run (a block's
        output), which a Parquet output writes without dictionary encoding: such values seldom
        repeat, and a dictionary of every value of a row group costs time and space for nothing.
        Raises RunError for a column that CSV cannot hold."""
        self._names = list(names)
        self._computed = frozenset(computed)
        if types is not None:
            if len(types) != len(names):
                raise ValueError(f"{len(names)} names and {len(types)} types")
            if not self.parquet:
                for name, kind in zip(names, types):
                    self._check_csv(name, kind)
            self._schema = self.pa.schema(list(zip(names, types)))
        if self.parquet:
            if self._schema is not None:
                self._open_parquet(self._schema)
        else:
            self._sink.write(csv_header_line(names))

    def _check_csv(self, name: str, kind: Any) -> None:
        reason = csv_refusal(kind)
        if reason is not None:
            raise RunError(f"column '{escaped(name)}' cannot be written to CSV: "
                           f"{escaped(reason)} (write Parquet instead)")

    def _open_parquet(self, schema: Any) -> None:
        pq = require("pyarrow.parquet")
        options: dict[str, Any] = {}
        if self._computed:
            options["use_dictionary"] = [path for path in _leaf_paths(schema)
                                         if path not in self._computed]
        self._parquet_writer = pq.ParquetWriter(self._sink, schema, **options)

    def write(self, columns: list[Any]) -> None:
        """One batch: a pyarrow array per column, all of one length. Raises RunError."""
        pa = self.pa
        if not columns or not len(columns[0]):
            return
        columns = [c.combine_chunks() if isinstance(c, pa.ChunkedArray) else c for c in columns]
        if self.parquet:
            if self._schema is not None:
                columns = [c if c.type == kind else c.cast(kind)
                           for c, kind in zip(columns, self._schema.types)]
                batch = pa.RecordBatch.from_arrays(columns, schema=self._schema)
            else:
                batch = pa.RecordBatch.from_arrays(columns, names=self._names)
            if self._parquet_writer is None:
                self._open_parquet(batch.schema)
            self._pending.append(batch)
            self._pending_rows += batch.num_rows
            self._pending_bytes += batch.nbytes
            if (self._pending_rows >= PARQUET_ROW_GROUP_ROWS
                    or self._pending_bytes >= PARQUET_ROW_GROUP_BYTES):
                self._write_row_group()
            return
        pc = require("pyarrow.compute")
        texts = []
        for name, column in zip(self._names, columns):
            try:
                texts.append(csv_text(pa, pc, column))
            except Unwritable as error:
                raise RunError(f"column '{escaped(name)}' cannot be written to CSV: "
                               f"{escaped(str(error))} (write Parquet instead)") from None
        data, rows = csv_rows(texts)
        self._sink.write(data)
        self.rows += rows

    def _write_row_group(self) -> None:
        table = self.pa.Table.from_batches(self._pending)
        self._pending, self._pending_rows, self._pending_bytes = [], 0, 0
        self._parquet_writer.write_table(table, row_group_size=table.num_rows)
        self.rows += table.num_rows

    def finish(self) -> None:
        """Ends the output (a Parquet file's footer); the destination stays open."""
        if self.parquet:
            if self._parquet_writer is None:
                self._open_parquet(self.pa.schema([(name, self.pa.string())
                                                   for name in self._names]))
            if self._pending:
                self._write_row_group()
            self._parquet_writer.close()

    def abandon(self) -> None:
        """Stops writing for good, without finishing: nothing more reaches the destination (a
        Parquet footer neither). Safe to call after `finish()`."""
        self._sink.cut = True
        self._pending = []
