"""The I/O path of `kivo-tf run` on tables: status texts made from codes, the block's output
written without a dictionary and read back to the bit, float64 columns read without conversion,
and no thread left behind."""
import threading
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from kivo_tf_tools import tables, transform_with_block
from kivo_tf_tools.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"
WRENCH = ["fx", "fy", "fz", "tx", "ty", "tz"]
TF = ["tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz"]
NAMES = ["Ok", "", "NotReady", "Error", "ünïcödé €"] + [f"code {k}" for k in range(5, 256)]


@pytest.mark.parametrize("codes", [
    np.arange(256, dtype=np.uint8),
    np.random.default_rng(1).integers(0, 256, 5000).astype(np.uint8),
    np.zeros(0, dtype=np.uint8),
    np.full(7, 1, dtype=np.uint8),  # only empty texts
    np.arange(256, dtype=np.uint8)[::-3],  # a strided view
])
def test_texts_by_code_equal_the_texts_of_each_code(codes):
    made = tables.TextsByCode(NAMES)(codes)
    made.validate(full=True)
    assert made.type == pa.string() and made.null_count == 0
    assert made.equals(tables.text_array([NAMES[c] for c in codes]))


def encodings(data):
    metadata = pq.read_metadata(pa.BufferReader(data))
    group = metadata.row_group(0)
    return {group.column(i).path_in_schema: "RLE_DICTIONARY" in group.column(i).encodings
            for i in range(group.num_columns)}


def test_a_parquet_run_writes_the_block_output_plain_and_reads_back_the_same_values(ext, tmp_path):
    rows = 3000
    rng = np.random.default_rng(3)
    q = rng.normal(size=(rows, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    values = np.column_stack([rng.normal(size=(rows, 9)), q])
    table = pa.table({"t": np.arange(rows) * 1e-3,
                      **{name: values[:, k] for k, name in enumerate(WRENCH + TF)}})
    pq.write_table(table, tmp_path / "in.parquet")
    assert main(["run", str(EXAMPLE), "tf_wrench_config", "-i", str(tmp_path / "in.parquet"),
                 "-o", str(tmp_path / "out.parquet")]) == 0
    data = (tmp_path / "out.parquet").read_bytes()
    assert encodings(data) == {"t": True, **dict.fromkeys(WRENCH, False), "status": True}
    out = pq.read_table(tmp_path / "out.parquet")
    assert out.column("t").equals(table.column("t"))
    expected, codes = transform_with_block(ext.KivoTfWrench(str(EXAMPLE)), values[:, :6],
                                           values[:, 6:])
    for k, name in enumerate(WRENCH):
        assert out.column(name).to_numpy().tobytes() == expected[:, k].tobytes()
    assert out.column("status").to_pylist() == ["Ok"] * rows and not codes.any()


@pytest.mark.parametrize("values", [
    [0.0, -0.0, 1.5, -2.25e300, 5e-324, np.inf, -np.inf, np.nan],
    np.frombuffer(np.random.default_rng(4).integers(0, 2**64, 2000, dtype=np.uint64).tobytes(),
                  dtype=np.float64),  # every kind of bits, NaN payloads too
])
def test_a_float64_column_reads_as_its_own_bits(values):
    column = pa.array(np.asarray(values, dtype=np.float64))
    assert tables.parse_numbers(column).tobytes() == np.asarray(values, np.float64).tobytes()
    tail = np.asarray(values, np.float64)[1:]
    assert tables.parse_numbers(column.slice(1)).tobytes() == tail.tobytes()


@pytest.mark.parametrize("suffix", ["csv", "parquet"])
def test_a_run_leaves_no_thread_behind(tmp_path, capfd, suffix):
    table = pa.table({name: np.ones(10) for name in WRENCH})
    pq.write_table(table, tmp_path / "in.parquet")
    before = threading.active_count()
    for _ in range(3):
        assert main(["run", str(EXAMPLE), "tf_wrench_config", "-i", str(tmp_path / "in.parquet"),
                     "-o", str(tmp_path / f"out.{suffix}")]) == 0
    for _ in range(200):
        if threading.active_count() == before:
            break
        threading.Event().wait(0.01)
    assert threading.active_count() == before
    capfd.readouterr()
