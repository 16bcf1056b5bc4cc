"""The tables of `kivo-tf run`: CSV records split by a real parser at every batch boundary, line
numbers, the number rule, floats that read back to the same bits, Parquet and CSV alike."""
import csv
import io
import random
import re
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

from kivo_tf_tools import tables, transform_with_block
from kivo_tf_tools.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"
WRENCH = ["fx", "fy", "fz", "tx", "ty", "tz"]
TF = ["tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz"]


@pytest.fixture
def run_tool(capfd):
    def run_tool(source, target, section="tf_wrench_config", *options):
        status = main(["run", str(EXAMPLE), section, "-i", str(source), "-o", str(target),
                       *options])
        return status, capfd.readouterr().err
    return run_tool


@pytest.mark.parametrize("text, value", [
    ("1", 1.0), ("-2.5", -2.5), (".5", 0.5), ("5.", 5.0), ("+1e-3", 1e-3), ("2.5E+07", 2.5e7),
    ("nan", None), ("-Infinity", -np.inf), ("INF", np.inf), ("1e400", np.inf), ("-0", -0.0),
    (" 7 ", 7.0), ("\t-1\t", -1.0), ("00012", 12.0),
])
def test_numbers_follow_one_rule(text, value):
    got = tables.parse_numbers(pa.array(["0", text]))[1]
    if value is None:
        assert np.isnan(got)
    else:
        assert got == value and np.signbit(got) == np.signbit(value)


@pytest.mark.parametrize("text", ["1_000", "١٢", "３", "0x1p3", "1,5", "1d5", "e5", "1e", ".",
                                  "+", "--1", "one", "1 2", "1\x00", "\u00a01"])
def test_what_is_not_a_number(text):
    with pytest.raises(tables.BadValue) as caught:
        tables.parse_numbers(pa.array(["1", "2", text, "3"]))
    assert (caught.value.index, caught.value.text) == (2, text)


def test_floats_written_as_csv_read_back_to_the_same_bits():
    rng = np.random.default_rng(5)
    bits = rng.integers(0, 2**64, 20000, dtype=np.uint64)
    values = bits.view(np.float64)
    values = values[np.isfinite(values)]
    special = np.array([0.0, -0.0, 1.0, -3.0, 1e16, 123456789.0, 2.0**60, 5e-324, 1.7976931348623157e308,
                        0.1, np.inf, -np.inf, np.nan])
    values = np.concatenate([values, special])
    text = tables.csv_text(pa, pc, pa.array(values))
    back = tables.parse_numbers(text)
    assert back[~np.isnan(back)].tobytes() == values[~np.isnan(values)].tobytes()
    assert np.isnan(back).tolist() == np.isnan(values).tolist()
    as_python = [float(t) for t in text.to_pylist()]  # plain decimal text any reader takes
    assert np.array(as_python)[:-1].tobytes() == values[:-1].tobytes()
    assert text.to_pylist()[-13:-3] == ["0.0", "-0.0", "1.0", "-3.0", "1e+16", "123456789.0",
                                        "1.152921504606847e+18", "5e-324",
                                        "1.7976931348623157e+308", "0.1"]


# Fields a copied column may hold in RFC 4180 CSV, with what the csv module reads for them.
COPIED_FIELDS = [
    ("plain", "plain"), ('"a,b"', "a,b"), ('"say ""hi"""', 'say "hi"'), ('"two\nlines"', "two\nlines"),
    ('"crlf\r\ninside"', "crlf\r\ninside"), ('stray"quote', 'stray"quote'), ("", ""),
    ('"', None), ("ünï", "ünï"),
]


def generated_log(rng, rows, line_end="\n", bad_row=None):
    """(CSV text, rows as the csv module reads them, first physical line of data record
    `bad_row`) with quoted, stray-quoted and multi-line fields in a copied column, a blank line
    now and then, and random doubles; record `bad_row` has 'fy?' for fy."""
    lines = ["note," + ",".join(WRENCH + TF)]
    line = 2
    bad_line = None
    for k in range(rows):
        raw, read = rng.choice(COPIED_FIELDS[:-2])
        q = [rng.gauss(0, 1) for _ in range(4)]
        n = sum(c * c for c in q) ** 0.5
        numbers = [repr(v) for v in [rng.gauss(0, 10) for _ in range(9)] + [c / n for c in q]]
        if k == bad_row:
            numbers[1] = "fy?"
            bad_line = line
        lines.append(raw + "," + ",".join(numbers))
        line += 1 + len(re.findall(r"\r\n|\r|\n", read))
        if rng.random() < 0.05:
            lines.append("")
            line += 1
    text = line_end.join(lines) + line_end
    return text, list(csv.reader(io.StringIO(text, newline=""))), bad_line


@pytest.mark.parametrize("block_bytes", [300, 517, 1000, 4096, 1 << 20])
@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_output_equals_csv_module_plus_block_at_every_batch_boundary(
        ext, run_tool, tmp_path, monkeypatch, block_bytes, line_end):
    rng = random.Random(block_bytes)
    text, records, _ = generated_log(rng, 120, line_end)
    (tmp_path / "in.csv").write_bytes(text.encode())
    monkeypatch.setattr(tables, "BLOCK_BYTES", block_bytes)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 0, err
    rows = [r for r in records[1:] if r]
    numbers = np.array([[float(v) for v in r[1:]] for r in rows])
    expected, codes = transform_with_block(ext.KivoTfWrench(str(EXAMPLE)), numbers[:, :6],
                                           numbers[:, 6:])
    with open(tmp_path / "out.csv", newline="") as stream:
        out = list(csv.reader(stream))
    assert out[0] == ["note", *WRENCH, "status"]
    assert [r[0] for r in out[1:]] == [r[0] for r in rows]
    got = np.array([[float(v) for v in r[1:7]] for r in out[1:]])
    assert got.tobytes() == expected.tobytes()
    assert {r[7] for r in out[1:]} == {"Ok"} and codes.tolist() == [0] * len(rows)


@pytest.mark.parametrize("block_bytes", [300, 811, 1 << 20])
@pytest.mark.parametrize("bad_row", [0, 7, 33, 59])
def test_a_bad_value_is_named_by_its_physical_line(run_tool, tmp_path, monkeypatch, block_bytes,
                                                    bad_row):
    """Line numbers count the header, blank lines and the line breaks inside quoted fields of
    every batch before, as the csv module counts them."""
    text, _, line = generated_log(random.Random(bad_row), 60, "\r\n", bad_row)
    (tmp_path / "in.csv").write_bytes(text.encode())
    monkeypatch.setattr(tables, "BLOCK_BYTES", block_bytes)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 2
    assert err == (f"kivo-tf run: error: {tmp_path / 'in.csv'}: line {line}: column 'fy': "
                   "'fy?' is not a number\n")
    reader = csv.reader(io.StringIO(text, newline=""))
    for record in reader:  # the csv module agrees: the record ends on or after that line
        if "fy?" in record:
            assert reader.line_num - record[0].count("\n") - record[0].count("\r") \
                + record[0].count("\r\n") == line
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("tail, message", [
    ('"never closed,1,2,3,4,5,6\n7,8\n', "line 4: a quoted field is not closed (a quote "
                                          "character without its closing quote)"),
    ("x,1,2\n", "line 4: 3 values, expected 7 (one per column of the header)"),
    ("x,1,2,3,4,5,6,7\n", "line 4: 8 values, expected 7 (one per column of the header)"),
    ("x,1,2,3,4,5,\x1b[2J\n", "line 4: column 'tz': '\\x1b[2J' is not a number"),
    ("x,1,2,3,4,5,\n", "line 4: column 'tz': missing"),
])
def test_bad_records_give_one_line(run_tool, tmp_path, tail, message):
    head = "note," + ",".join(WRENCH) + "\n" + '"a\nb",1,2,3,4,5,6\n'
    (tmp_path / "in.csv").write_text(head + tail, newline="")
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 2
    assert err == f"kivo-tf run: error: {tmp_path / 'in.csv'}: {message}\n"


def test_an_unclosed_quote_stops_at_the_record_limit(run_tool, tmp_path, monkeypatch):
    """Memory is bounded whatever the quoting: a quote opened and never closed does not make the
    rest of the log one record held in memory, the run stops after a block."""
    monkeypatch.setattr(tables, "BLOCK_BYTES", 4096)
    good = "x,1,2,3,4,5,6\n"
    text = "note," + ",".join(WRENCH) + "\n" + good * 1000 + '"open,1,2,3,4,5,6\n' + good * 20000
    (tmp_path / "in.csv").write_text(text)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 2
    assert err.startswith(f"kivo-tf run: error: {tmp_path / 'in.csv'}: from line ")
    assert err.endswith(" on: no end of record within 4,096 bytes (a quote character that is "
                        "never closed?)\n")
    line = int(err.split("from line ")[1].split()[0])
    assert 2 <= line <= 1002  # the last batch read ends before the open quote


@pytest.mark.parametrize("data, message", [
    (b"", "empty: the first line must name the columns"),
    (b"\n1,2\n", "line 1 is empty: the first line must name the columns"),
    (b'"fx,fy\n', "line 1: the header's quoted field is not closed"),
    (b"fx\x00,fy\n", "line 1: a NUL character in the header: not a CSV log"),
    (b"f\xffx,fy\n", "line 1: not UTF-8 text"),
])
def test_unusable_headers(run_tool, tmp_path, data, message):
    (tmp_path / "in.csv").write_bytes(data)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 2
    assert err == f"kivo-tf run: error: {tmp_path / 'in.csv'}: {message}\n"


def test_not_utf8_after_the_header(run_tool, tmp_path):
    (tmp_path / "in.csv").write_bytes(b"note,fx,fy,fz,tx,ty,tz\n\xff\xfe,1,2,3,4,5,6\n")
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 2 and "in.csv: not UTF-8 text" in err


def test_csv_and_parquet_round_trip(ext, run_tool, tmp_path):
    """CSV → Parquet → CSV gives the bytes of CSV → CSV; Parquet keeps the copied text."""
    rng = random.Random(9)
    text, _, _ = generated_log(rng, 40)
    (tmp_path / "in.csv").write_text(text, newline="")
    assert run_tool(tmp_path / "in.csv", tmp_path / "direct.csv")[0] == 0
    assert run_tool(tmp_path / "in.csv", tmp_path / "mid.parquet")[0] == 0
    table = pq.read_table(tmp_path / "mid.parquet")
    assert table.schema.names == ["note", *WRENCH, "status"]
    assert table.schema.field("fx").type == pa.float64()
    assert table.schema.field("note").type == pa.string()
    # Parquet in: the output's columns are numbers again; remove status to run it once more.
    source = table.drop_columns(["status"]).append_column(
        "tf_x", pa.array(np.zeros(table.num_rows)))
    for name, values in zip(TF[1:], (0.0, 0.0, 1.0, 0.0, 0.0, 0.0)):
        source = source.append_column(name, pa.array(np.full(table.num_rows, values)))
    pq.write_table(source, tmp_path / "again.parquet")
    status, err = run_tool(tmp_path / "again.parquet", tmp_path / "again.csv")
    assert status == 0, err
    with open(tmp_path / "again.csv", newline="") as stream:
        again = list(csv.reader(stream))
    with open(tmp_path / "direct.csv", newline="") as stream:
        direct = list(csv.reader(stream))
    assert [r[0] for r in again] == [r[0] for r in direct]


def test_parquet_columns_of_any_number_type_and_missing_values(run_tool, tmp_path, capfd):
    table = pa.table({"t": pa.array([1, 2, 3], pa.int64()),
                      **{name: pa.array([1.0, 2.0, 3.0]) for name in WRENCH}})
    table = table.set_column(1, "fx", pa.array([1, 2, 3], pa.int32()))
    pq.write_table(table, tmp_path / "in.parquet")
    status, err = run_tool(tmp_path / "in.parquet", tmp_path / "out.csv", "tf_pose_config")
    assert status == 2 and "the header has no column 'px'" in err
    config = tmp_path / "fixed.json"
    config.write_text('{"tf_wrench_config": {'
                      '"set_input_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]},'
                      '"set_input_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]},'
                      '"set_output_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]},'
                      '"set_output_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]}}}')
    assert main(["run", str(config), "tf_wrench_config", "-i", str(tmp_path / "in.parquet"),
                 "-o", str(tmp_path / "out.csv")]) == 0
    assert (tmp_path / "out.csv").read_text().splitlines()[:2] == [
        "t,fx,fy,fz,tx,ty,tz,status", "1,1.0,1.0,1.0,1.0,1.0,1.0,Ok"]
    table = table.set_column(3, "fz", pa.array([1.0, None, 3.0]))
    pq.write_table(table, tmp_path / "in.parquet")
    capfd.readouterr()
    assert main(["run", str(config), "tf_wrench_config", "-i", str(tmp_path / "in.parquet"),
                 "-o", str(tmp_path / "out.csv")]) == 2
    assert capfd.readouterr().err.endswith("in.parquet: row 2: column 'fz': missing\n")


def test_long_fields_pass_quoted_or_not(run_tool, tmp_path):
    """A field may be as long as a block (1 MiB), quoted or not."""
    long_text = "x" * 300_000
    text = ("note," + ",".join(WRENCH + TF) + "\n"
            + f'"{long_text}",1,2,3,4,5,6,0,0,0,1,0,0,0\n'
            + f"{long_text},1,2,3,4,5,6,0,0,0,1,0,0,0\n")
    (tmp_path / "in.csv").write_text(text)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 0, err
    lines = (tmp_path / "out.csv").read_text().splitlines()
    assert [line.split(",")[0] for line in lines[1:]] == [long_text, long_text]


def test_a_quoted_crlf_at_a_block_boundary_is_kept(run_tool, tmp_path, monkeypatch):
    """The block sizes put a block's end at every byte of the quoted record, between its CR and
    LF once (a block holds at least one whole record)."""
    plain = "x,1,2,3,4,5,6,0,0,0,1,0,0,0\r\n"
    quoted = '"one\r\ntwo",1,2,3,4,5,6,0,0,0,1,0,0,0\r\n'
    text = "note," + ",".join(WRENCH + TF) + "\r\n" + 2 * plain + quoted + plain
    (tmp_path / "in.csv").write_bytes(text.encode())
    for block_bytes in range(len(quoted), 2 * len(plain) + len(quoted) + 1):
        monkeypatch.setattr(tables, "BLOCK_BYTES", block_bytes)
        status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
        assert status == 0, (block_bytes, err)
        with open(tmp_path / "out.csv", newline="") as stream:
            assert [r[0] for r in csv.reader(stream)] == ["note", "x", "x", "one\r\ntwo", "x"]
