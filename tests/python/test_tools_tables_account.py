"""`kivo-tf run` on tables accounts for every record: generated logs with damage at random places
either give one output row per record, as `transform` computes it, or one error line naming the
first damaged record and no output; and the faults that once lost rows silently."""
import csv
import io
import re

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import kivo_control
from kivo_tf_tools import tables, transform
from test_tools_run_safety import run_tool  # noqa: F401 (a fixture)
from test_tools_tables import EXAMPLE, TF, WRENCH

NOTES = ["plain", "a,b", 'say "hi"', "two\nlines", "crlf\r\nin", ""]
CSV_DAMAGE = ["fields", "fields run", "fields tail", "quote", "number", "blank", "empty note"]
PARQUET_DAMAGE = ["null signal", "null copy", "null copy"]


def damaged_log(rng, path, rows):
    """Writes a wrench log with a copied `note` column and damage at random records; returns
    (numbers (rows, 13), notes, blank lines, the error line expected or None)."""
    q = rng.normal(size=(rows, 4))
    numbers = np.column_stack([rng.normal(0, 10, (rows, 6)), rng.normal(0, 1, (rows, 3)),
                               q / np.linalg.norm(q, axis=1, keepdims=True)])
    notes = [NOTES[i] for i in rng.integers(0, len(NOTES), rows)]
    damage = {int(k): CSV_DAMAGE[rng.integers(len(CSV_DAMAGE))]
              for k in rng.choice(rows, min(rows, rng.integers(0, 5)), replace=False)}
    for k, kind in sorted(damage.items()):  # whole blocks of them, the last one too
        if kind in ("fields run", "fields tail"):
            end = rows if kind == "fields tail" else k + int(rng.integers(5, 30))
            damage.update((j, "fields") for j in range(k, min(rows, end)))
    header = ["note", "t", *WRENCH, *TF] if path.suffix == ".csv" else None
    if path.suffix == ".parquet":
        damage = {k: PARQUET_DAMAGE[rng.integers(len(PARQUET_DAMAGE))] for k in damage}
        note_array = pa.array([None if damage.get(k) == "null copy" else n
                               for k, n in enumerate(notes)])
        gain = pa.array([None if damage.get(k) == "null copy" else 0.1 * k
                         for k in range(rows)], pa.float32())
        columns = {"note": note_array, "gain": gain}
        for j, name in enumerate(WRENCH + TF):
            columns[name] = pa.array([None if damage.get(k) == "null signal" and j == 2
                                      else numbers[k, j] for k in range(rows)], pa.float64())
        pq.write_table(pa.table(columns), path, row_group_size=max(1, rows // 3))
        first = min((k for k, d in damage.items() if d == "null signal"), default=None)
        error = None if first is None else f"row {first + 1}: column 'fz': missing"
        return numbers, [None if damage.get(k) == "null copy" else n
                         for k, n in enumerate(notes)], 0, error
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(header)
    line, blank, error = 2, 0, None
    for k in range(rows):
        fields = [notes[k], str(k), *map(repr, numbers[k].tolist())]
        kind = damage.get(k)
        if error is not None and kind != "fields":
            kind = None  # after the first error only runs of wrong field counts go on
        if kind == "blank":
            text.write("\n")
            line, blank = line + 1, blank + 1
        elif kind == "empty note":
            fields[0] = notes[k] = ""
        elif kind == "fields":
            fields.append("9")
            error = error or f"line {line}: 16 values, expected 15 (one per column of the header)"
        elif kind == "number":
            fields[3] = "fy?"
            error = f"line {line}: column 'fy': 'fy?' is not a number"
        if kind == "quote":  # the rest of the log is one field: no quote may close it
            text.write('"open,' + ",".join(fields[1:]) + "\n")
            notes[k + 1:] = ["plain"] * (rows - k - 1)
            error = (f"line {line}: a quoted field is not closed (a quote character without "
                     "its closing quote)")
        else:
            writer.writerow(fields)
        line += 1 + len(re.findall(r"\r\n|\r|\n", notes[k]))
    path.write_text(text.getvalue(), newline="")
    return numbers, notes, blank, error


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("source, target", [("csv", "csv"), ("csv", "parquet"),
                                            ("parquet", "csv"), ("parquet", "parquet")])
def test_every_record_is_written_or_the_first_damage_is_named(run_tool, tmp_path, monkeypatch,
                                                              seed, source, target):
    rng = np.random.default_rng(seed)
    monkeypatch.setattr(tables, "BLOCK_BYTES", int(rng.choice([300, 600, 1500, 1 << 20])))
    monkeypatch.setattr(tables, "PARQUET_BATCH_ROWS", int(rng.integers(3, 40)))
    rows = int(rng.integers(1, 120))
    log, out = tmp_path / f"in.{source}", tmp_path / f"out.{target}"
    numbers, notes, blank, error = damaged_log(rng, log, rows)
    if source == "csv" and error and "quoted" in error:
        monkeypatch.setattr(tables, "BLOCK_BYTES", 1 << 20)  # the quote runs to the end
    status, err = run_tool(log, out)
    if error is not None:
        assert (status, err) == (2, f"kivo-tf run: error: {log}: {error}\n")
        assert sorted(p.name for p in tmp_path.iterdir()) == [log.name]
        return
    assert status == 0, err
    expected, codes = transform(EXAMPLE, "tf_wrench_config", numbers[:, :6], numbers[:, 6:])
    names = [kivo_control.KivoControlReturnCode(c).name for c in codes]
    if target == "csv":
        with open(out, newline="") as stream:
            header, *written = list(csv.reader(stream))
        signal = np.array([[float(v) for v in r[-7:-1]] for r in written]).reshape(-1, 6)
        got_notes = [r[0] for r in written]
        if source == "parquet":  # a float32 column with nulls: empty, or the same float32
            assert [r[1] and np.float32(r[1]) for r in written] == [
                "" if n is None else np.float32(0.1 * k) for k, n in enumerate(notes)]
        notes = ["" if n is None else n for n in notes]
    else:
        table = pq.read_table(out)
        header, written = table.column_names, table.to_pylist()
        signal = np.array([[r[name] for name in WRENCH] for r in written]).reshape(-1, 6)
        got_notes = table.column("note").to_pylist()
    assert header[-7:] == [*WRENCH, "status"] and header[0] == "note"
    assert len(written) == rows
    assert signal.tobytes() == expected.tobytes()
    assert [r[-1] if target == "csv" else r["status"] for r in written] == names
    assert got_notes == notes
    skipped = f", {blank} blank line{'s' * (blank != 1)} skipped" if blank else ""
    assert err.splitlines()[0].startswith(f"kivo-tf run: {rows:,} rows, 0 refused, {rows:,} "
                                          f"records read = {rows:,} rows written{skipped}, ")


def header_and(*records):
    return ",".join(WRENCH) + "\n" + "".join(r + "\n" for r in records)


@pytest.mark.parametrize("block_bytes", [64, 1 << 20])
@pytest.mark.parametrize("text, line", [
    (header_and("1,0,0,0,0,0,", "1,0,0,0,0,0,"), 2),  # every record of the only block
    (header_and(*["1,0,0,0,0,0"] * 9, *["1,0,0,0,0,0,"] * 12, *["1,0,0,0,0,0"] * 9), 11),
    (header_and(*["1,0,0,0,0,0"] * 20, "1,0,0,0,0,0,"), 22),  # the last record
])
def test_records_with_a_wrong_field_count_are_never_dropped(run_tool, tmp_path, monkeypatch,
                                                            block_bytes, text, line):
    monkeypatch.setattr(tables, "BLOCK_BYTES", block_bytes)
    (tmp_path / "in.csv").write_text(text)
    assert run_tool(tmp_path / "in.csv", tmp_path / "out.csv") == (
        2, f"kivo-tf run: error: {tmp_path / 'in.csv'}: line {line}: 7 values, expected 6 (one "
           "per column of the header)\n")
    assert not (tmp_path / "out.csv").exists()


def test_one_bad_record_among_300000(run_tool, tmp_path):
    good = "1,0,0,0,0,0\n"
    (tmp_path / "in.csv").write_text(",".join(WRENCH) + "\n" + good * 150_000 + "1,0,0,0,0,0,\n"
                                     + good * 149_999)
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert (status, err.endswith(": line 150002: 7 values, expected 6 (one per column of the "
                                 "header)\n")) == (2, True)


@pytest.mark.parametrize("target", ["out.csv", "out.parquet"])
def test_a_header_alone_is_zero_records(run_tool, tmp_path, target):
    (tmp_path / "in.csv").write_text("note," + ",".join(WRENCH) + "\r\n")
    status, err = run_tool(tmp_path / "in.csv", tmp_path / target)
    assert status == 0
    assert err.startswith("kivo-tf run: 0 rows, 0 refused, 0 records read = 0 rows written, ")
    if target == "out.csv":
        assert (tmp_path / target).read_text() == "note," + ",".join(WRENCH) + ",status\n"
    else:
        schema = pq.read_schema(tmp_path / target)
        assert schema.types == [pa.string()] + [pa.float64()] * 6 + [pa.string()]


def test_a_zero_row_parquet_keeps_its_schema(run_tool, tmp_path):
    kinds = {"t": pa.int64(), "gain": pa.float32(), "tags": pa.list_(pa.string()),
             **{name: pa.float32() for name in WRENCH}}
    pq.write_table(pa.table({n: pa.array([], k) for n, k in kinds.items()}),
                   tmp_path / "in.parquet")
    assert run_tool(tmp_path / "in.parquet", tmp_path / "out.parquet")[0] == 0
    schema = pq.read_schema(tmp_path / "out.parquet")
    assert schema.names == [*kinds, "status"]
    assert schema.types == [pa.int64(), pa.float32(), pa.list_(pa.string()),
                            *[pa.float64()] * 6, pa.string()]


def test_a_null_in_a_copied_float_column_is_an_empty_field(run_tool, tmp_path):
    """A null once made the whole CSV line null: the row vanished while the summary counted it."""
    columns = {"gain": pa.array([1.5, None, 2.0]), **{n: [1.0, 2.0, 3.0] for n in WRENCH}}
    pq.write_table(pa.table(columns), tmp_path / "in.parquet")
    status, err = run_tool(tmp_path / "in.parquet", tmp_path / "out.csv")
    assert status == 0, err
    assert [line.split(",")[0] for line in
            (tmp_path / "out.csv").read_text().splitlines()] == ["gain", "1.5", "", "2.0"]


@pytest.mark.parametrize("target", ["out.csv", "out.parquet"])
def test_a_writer_that_loses_rows_fails_the_run(run_tool, tmp_path, monkeypatch, target):
    """The account is checked against what was really written: a CSV line that became null, or a
    Parquet file whose metadata counts fewer rows than were handed to it."""
    if target == "out.csv":
        real = tables.csv_text
        monkeypatch.setattr(tables, "csv_text", lambda pa_, pc, column: pc.if_else(
            pa.array([True, False, True]), real(pa_, pc, column), pa.scalar(None, pa.string())))
    else:
        real_write = pq.ParquetWriter.write_table
        monkeypatch.setattr(pq.ParquetWriter, "write_table",
                            lambda self, table, **kw: real_write(self, table.slice(1), **kw))
    (tmp_path / "in.csv").write_text(header_and("1,2,3,4,5,6", "1,2,3,4,5,6", "1,2,3,4,5,6"))
    status, err = run_tool(tmp_path / "in.csv", tmp_path / target)
    lost = ("2 rows written for 3 records read" if target == "out.csv"
            else "3 rows written, the file's metadata counts 2")
    assert (status, err) == (2, f"kivo-tf run: error: {tmp_path / target}: {lost}: rows were "
                                "lost\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("bad", ["nan", "inf", "-inf"])
def test_a_row_whose_transform_is_not_finite_is_not_ok(run_tool, tmp_path, bad):
    """No block can give a right value from such a transform: the row is written with NaN and
    NoTransform, counted as refused, and the rows around it are transformed as before."""
    header = "fx,fy,fz,tx,ty,tz," + ",".join(TF)
    row = "1,2,3,4,5,6,0.5,0,0,1,0,0,0"
    (tmp_path / "in.csv").write_text(f"{header}\n{row}\n{row.replace('0.5', bad)}\n{row}\n")
    status, err = run_tool(tmp_path / "in.csv", tmp_path / "out.csv")
    assert status == 0, err
    assert err.startswith("kivo-tf run: 3 rows, 1 refused (NoTransform 1), 3 records read = 3 "
                          "rows written")
    lines = (tmp_path / "out.csv").read_text().splitlines()
    assert lines[2] == "nan,nan,nan,nan,nan,nan,NoTransform"
    assert lines[1] == lines[3] and lines[1].endswith(",Ok")
