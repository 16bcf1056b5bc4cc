"""CSV and Parquet logs for ``kivo-tf run``, read and written in record batches with pyarrow.

Memory stays bounded by the batch size whatever the file's length or quoting: a CSV file is read in
blocks of `BLOCK_BYTES` by pyarrow's streaming reader (records are split by its CSV parser, quotes
and line breaks inside quoted fields included), a Parquet file batch by batch.

Numbers follow one rule, `NUMBER_RULE`: pyarrow's conversion of text to float64, which takes the
JSON/C syntax in ASCII only.
"""
from __future__ import annotations

import codecs
import csv
import io
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO

from kivo_tf_tools._deps import require
from kivo_tf_tools._escape import escaped

# A CSV file is parsed in blocks of this many bytes; pyarrow reads a bounded number of blocks ahead.
BLOCK_BYTES = 1 << 20
# Rows per batch of a Parquet file.
PARQUET_BATCH_ROWS = 65536
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

    def __init__(self, index: int, text: str | None, column: int = 0) -> None:
        super().__init__(index, text)
        self.index = index
        self.text = text
        self.column = column


def _numbers(table: Any, columns: Sequence[int]) -> Any:
    """The columns of `table` at `columns` as one (rows, len(columns)) float64 array."""
    np = require("numpy")
    values = np.empty((table.num_rows, len(columns)))
    for k, i in enumerate(columns):
        try:
            values[:, k] = parse_numbers(table.column(i))
        except BadValue as value:
            value.column = k
            raise
    return values


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
    pa, pc, _ = _arrow()
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


def describe_bad_value(value: BadValue) -> str:
    """What is wrong with the value, for a message: "missing" or "'…' is not a number"."""
    if value.text is None or not value.text.strip():
        return "missing"
    return f"'{escaped(value.text)}' is not a number"


@dataclass
class Batch:
    """Rows of a log: `table` holds every input column as read (text for CSV), `numbers` the
    columns asked for as float64, shape (rows, len(asked))."""

    table: Any
    numbers: Any


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

    def batches(self, numeric: Sequence[str]) -> Iterator[Batch]:
        """The rows in batches, with the columns `numeric` (names of the header) converted.
        Raises RunError naming the physical line of the first row that cannot be read."""
        pa, pc, pcsv = _arrow()
        width = len(self.header)
        invalid: list[tuple[int, int, str]] = []

        def on_invalid(row: Any) -> str:
            invalid.append((int(row.number), int(row.actual_columns), str(row.text)))
            return "skip"

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
        numeric_set = set(columns)
        line = self.header_lines + 1  # physical line of the next batch's first row
        number = 1  # pyarrow's number of that row (records counted from 1 after the header)
        while True:
            try:
                table = reader.read_next_batch()
            except StopIteration:
                break
            except (pa.ArrowException, OSError) as error:
                raise self._reading_error(error, line) from None
            rows = table.num_rows
            bad_row = invalid[0] if invalid else None
            if bad_row is not None:
                table = table.slice(0, bad_row[0] - number)
            kept, values = self._converted(table, columns, line)
            if bad_row is not None:
                yield Batch(kept, values)
                raise RunError(self._invalid_message(bad_row, line + (bad_row[0] - number)
                                                     + self._breaks(table, range(width))))
            line += rows + self._breaks(table, (i for i in range(width)
                                               if i not in numeric_set))
            number += rows
            yield Batch(kept, values)

    def _converted(self, table: Any, columns: list[int], line: int) -> tuple[Any, Any]:
        """(rows, numbers of `columns`) of a batch whose first row is on `line`, without its blank
        rows."""
        try:
            return table, _numbers(table, columns)
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
            values = _numbers(rows, columns)
        except BadValue as value:
            k = value.index if kept is None else int(kept[value.index])
            where = line + k + self._breaks(table, range(table.num_columns), k)
            column_name = escaped(self.header[columns[value.column]])
            raise RunError(f"{self.name}: line {where}: column '{column_name}': "
                           f"{describe_bad_value(value)}") from None
        return rows, values

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

    def _invalid_message(self, row: tuple[int, int, str], where: int) -> str:
        _, actual, text = row
        try:
            list(csv.reader(io.StringIO(text, newline=""), strict=True))
        except csv.Error:
            if text.count('"') % 2:
                return (f"{self.name}: line {where}: a quoted field is not closed (a quote "
                        "character without its closing quote)")
        return (f"{self.name}: line {where}: {actual} values, expected {len(self.header)} "
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
    every other column is copied with its type. Row numbers count from 1."""

    def __init__(self, path: str, name: str) -> None:
        pa = require("pyarrow")
        pq = require("pyarrow.parquet")
        self.name = name
        try:
            self._file = pq.ParquetFile(path)
        except (pa.ArrowException, OSError) as error:
            raise RunError(f"cannot read {name} as Parquet: "
                           f"{escaped(str(error).splitlines()[0])}") from None
        self.header = list(self._file.schema_arrow.names)
        self.header_lines = 0
        self.position = 0

    def batches(self, numeric: Sequence[str]) -> Iterator[Batch]:
        pa = require("pyarrow")
        np = require("numpy")
        columns = [self.header.index(name) for name in numeric]
        row = 1
        try:
            for table in self._file.iter_batches(batch_size=PARQUET_BATCH_ROWS):
                values = np.empty((table.num_rows, len(columns)))
                for k, i in enumerate(columns):
                    try:
                        values[:, k] = parse_numbers(table.column(i))
                    except BadValue as value:
                        name = escaped(self.header[i])
                        if value.index < 0:
                            raise RunError(f"{self.name}: column '{name}' holds "
                                           f"{value.text}, not numbers") from None
                        raise RunError(f"{self.name}: row {row + value.index}: column "
                                       f"'{name}': {describe_bad_value(value)}") from None
                row += table.num_rows
                yield Batch(table, values)
        except (pa.ArrowException, OSError) as error:
            raise RunError(f"cannot read {self.name}: "
                           f"{escaped(str(error).splitlines()[0])}") from None


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


def text_array(texts: Sequence[str]) -> Any:
    """A pyarrow string array of `texts` (see `arrow_array`)."""
    pa = require("pyarrow")
    np = require("numpy")
    data = [text.encode("utf-8") for text in texts]
    offsets = np.zeros(len(data) + 1, dtype=np.int32)
    offsets[1:] = np.cumsum([len(d) for d in data])
    return pa.Array.from_buffers(pa.string(), len(data),
                                 [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(data))])


def _text(text: str) -> Any:
    """A pyarrow string scalar, made without pandas (see `arrow_array`)."""
    return text_array([text])[0]


def csv_header_line(names: Sequence[str]) -> bytes:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(names)
    return text.getvalue().encode("utf-8")


def csv_text(pa: Any, pc: Any, column: Any) -> Any:
    """A column as CSV fields: float64 in the shortest text that reads back to the same bits (an
    integral value keeps a ".0", as Python writes it), text quoted where it must be."""
    np = require("numpy")
    if pa.types.is_floating(column.type):
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
    if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
        column = column.cast(pa.string())
    if column.null_count:
        column = pc.fill_null(column, _text(""))
    special = pc.match_substring_regex(column, '[,"\r\n]')
    if pc.any(special).as_py():
        quoted = pc.binary_join_element_wise(
            _text('"'), pc.replace_substring(column, '"', '""'), _text('"'), _text(""))
        column = pc.if_else(special, quoted, column)
    return column


def csv_rows(columns: Sequence[Any]) -> Any:
    """The bytes of CSV records, one per row of the text `columns`, each ended by LF."""
    pa, pc, _ = _arrow()
    joined = pc.binary_join_element_wise(*columns, _text(","))
    lines = pc.binary_join_element_wise(joined, _text(""), _text("\n"))
    if isinstance(lines, pa.ChunkedArray):
        lines = lines.combine_chunks()
    offsets = lines.buffers()[1]
    first, last = (int(v) for v in
                   require("numpy").frombuffer(offsets, dtype="int32")[[lines.offset,
                                                                         lines.offset + len(lines)]])
    return memoryview(lines.buffers()[2])[first:last]


