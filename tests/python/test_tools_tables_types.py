"""Columns of every Arrow type through `kivo-tf run` and `tables.TableWriter`: the CSV text of each
type, floats that read back to the same float32 or float16, binary text that reads back to the
same bytes, types refused before anything is written, Parquet keeping every type."""
import datetime
import decimal
import io
import re
import uuid
from types import SimpleNamespace

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

from kivo_tf_tools import tables
from kivo_tf_tools.cli import main
from test_tools_tables import EXAMPLE, WRENCH


def digits(text):
    """Significant digits of a number's text."""
    mantissa = text.lstrip("-").split("e")[0].replace(".", "")
    return len(mantissa.strip("0")) or 1


def unescaped(text):
    """The bytes of binary CSV text (the inverse of tables.binary_text)."""
    return re.sub(rb"\\\\|\\x([0-9a-f]{2})",
                  lambda m: b"\\" if m.group(1) is None else bytes([int(m.group(1), 16)]),
                  text.encode("ascii"))


@pytest.mark.parametrize("array, fields", [
    (pa.array([0.1, None, 1.0, 3e38], pa.float32()), ["0.1", "", "1.0", "3e+38"]),
    (pa.array(np.array([0.1, 65504, -0.0, np.inf], np.float16)), ["0.1", "65500.0", "-0.0", "inf"]),
    (pa.array([1, None, -3], pa.int8()), ["1", "", "-3"]),
    (pa.array([True, False, None]), ["true", "false", ""]),
    (pa.array([decimal.Decimal("1.25"), decimal.Decimal("-3.50")], pa.decimal128(5, 2)),
     ["1.25", "-3.50"]),
    (pa.array([1, None], pa.timestamp("ns", tz="UTC")), ["1970-01-01 00:00:00.000000001Z", ""]),
    (pa.array([1], pa.date32()), ["1970-01-02"]),
    (pa.array([1], pa.time64("ns")), ["00:00:00.000000001"]),
    (pa.array([1500], pa.duration("ms")), ["1500"]),
    (pa.array([b"a\\b,\x00\xff", None, b'q"'], pa.binary()), ['"a\\\\b,\\x00\\xff"', "", '"q"""']),
    (pa.array([b"\n\x7f"], pa.binary(2)), ["\\x0a\\x7f"]),
    (pa.array([[1.5, float("nan")], None, []], pa.list_(pa.float64())),
     ['"[1.5, NaN]"', "", "[]"]),
    (pa.array([["x,y", "é", None]], pa.large_list(pa.string())), ['"[""x,y"", ""é"", null]"']),
    (pa.array([[1, 2]], pa.list_(pa.int32(), 2)), ['"[1, 2]"']),
    (pa.array([{"a": 1, "t": datetime.datetime(2020, 1, 1, 0, 0, 0, 1000)}],
              pa.struct([("a", pa.int64()), ("t", pa.timestamp("ms"))])),
     ['"{""a"": 1, ""t"": ""2020-01-01 00:00:00.001""}"']),
    (pa.array([[("k", b"\x01"), ("k", None)]], pa.map_(pa.string(), pa.binary())),
     ['"[[""k"", ""\\\\x01""], [""k"", null]]"']),  # JSON doubles the backslash
    (pa.array(["x", "y,z", "x"]).dictionary_encode(), ["x", '"y,z"', "x"]),
    (pa.array([uuid.UUID(int=255).bytes], pa.uuid()), ["\\x00" * 15 + "\\xff"]),
    (pa.nulls(2), ["", ""]),
    (pa.array([pa.MonthDayNano([1, 2, 3])], pa.month_day_nano_interval()), ['"[1, 2, 3]"']),
])
def test_csv_text_of_each_type(array, fields):
    assert tables.csv_refusal(array.type) is None
    assert tables.csv_text(pa, pc, array).to_pylist() == fields


@pytest.mark.parametrize("kind, bits", [(np.float32, np.uint32), (np.float16, np.uint16)])
def test_float32_and_float16_read_back_from_their_shortest_text(kind, bits):
    values = np.random.default_rng(8).integers(0, np.iinfo(bits).max, 20000,
                                               dtype=bits).view(kind)
    values = values[np.isfinite(values)]
    text = tables.csv_text(pa, pc, pa.array(values)).to_pylist()
    assert np.array([kind(t) for t in text]).tobytes() == values.tobytes()
    assert [digits(t) for t in text] == [digits(str(v)) for v in values]  # NumPy's shortest


def test_binary_text_reads_back_to_the_same_bytes():
    rng = np.random.default_rng(3)
    values = [rng.integers(0, 256, n, dtype=np.uint8).tobytes() for n in range(200)]
    assert [unescaped(tables.binary_text(v)) for v in values] == values


@pytest.mark.parametrize("kind, reason", [
    (pa.struct([("a", pa.int8()), ("a", pa.int8())]), "a struct with two fields named 'a'"),
    (pa.list_(pa.dense_union([pa.field("t", pa.date32())])), "holds values that JSON has no"),
    (pa.list_(pa.list_view(pa.decimal128(3, 1))), "holds values that JSON has no"),
])
def test_types_csv_cannot_hold_are_refused_before_writing(kind, reason):
    stream = io.BytesIO()
    writer = tables.TableWriter(SimpleNamespace(stream=stream), parquet=False)
    with pytest.raises(tables.RunError) as caught:
        writer.start(["ok", "odd"], [pa.float64(), kind])
    assert str(caught.value).startswith("column 'odd' cannot be written to CSV: ")
    assert reason in str(caught.value) and str(caught.value).endswith("(write Parquet instead)")
    assert stream.getvalue() == b""


def test_a_run_refuses_such_a_column_and_parquet_keeps_it(tmp_path, capfd):
    odd = pa.StructArray.from_arrays([pa.array([1, 2]), pa.array([3, 4])], names=["a", "a"])
    pq.write_table(pa.table({"odd": odd, **{n: [1.0, 2.0] for n in WRENCH}}),
                   tmp_path / "in.parquet")
    run = ["run", str(EXAMPLE), "tf_wrench_config", "-i", str(tmp_path / "in.parquet"), "-o"]
    assert main([*run, str(tmp_path / "out.csv")]) == 2
    assert capfd.readouterr().err == ("kivo-tf run: error: column 'odd' cannot be written to "
                                      "CSV: a struct with two fields named 'a' (write Parquet "
                                      "instead)\n")
    assert not (tmp_path / "out.csv").exists()
    assert main([*run, str(tmp_path / "out.parquet")]) == 0
    assert pq.read_table(tmp_path / "out.parquet").column("odd").combine_chunks().equals(odd)


@pytest.mark.parametrize("parquet", [False, True])
def test_table_writer_counts_the_rows_it_writes(parquet):
    stream = io.BytesIO()
    writer = tables.TableWriter(SimpleNamespace(stream=stream), parquet)
    writer.start(["x", "status", "n"], [pa.float64(), pa.string(), pa.int64()])
    for start in range(0, 70000, 25000):
        count = min(25000, 70000 - start)
        writer.write([pa.array(np.arange(start, start + count) / 4),
                      pa.array(["Ok"] * count), pa.array(np.arange(count))])
    writer.finish()
    assert writer.rows == 70000
    if parquet:
        table = pq.read_table(pa.BufferReader(stream.getvalue()))
        assert table.schema.types == [pa.float64(), pa.string(), pa.int64()]
        assert table.column("x").to_pylist() == list(np.arange(70000) / 4)
    else:
        lines = stream.getvalue().decode().splitlines()
        assert lines[:3] == ["x,status,n", "0.0,Ok,0", "0.25,Ok,1"] and len(lines) == 70001
