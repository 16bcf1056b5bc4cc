"""`kivo-tf run` on tables beside pyarrow alone, and the array API beside the per-row Python loop,
from one run on the same logs.

A wrench log sampled at 1 kHz with a timestamp and the seven transform columns (a unit quaternion
per row) goes through the wrench block of examples/kivo_tf_config.json:
  - CSV → CSV: `python -m kivo_tf_tools run` beside `python -c` reading the file with
    pyarrow.csv.read_csv and writing it with pyarrow.csv.write_csv (no transform); ratio, goal
    ≤ 1.05;
  - Parquet → Parquet: the same with pyarrow.parquet.read_table and write_table; goal ≤ 1.15;
    the two commands of each pair run in turn, `--repeat` times, and the best of each counts;
  - `kivo_tf_tools.transform_with_block` on the log's rows as (N, 6) and (N, 7) float64 arrays,
    in this process, beside the loop it replaces (one `set_fixed_to_moving_frame_tf` and one
    `update` per row from Python); rows per second, best of `--repeat`, goal ≥ 10M rows/s;
  - peak resident memory of the run for 1M and 4M rows, and for 4M rows whose second row has a
    stray quote character in an unquoted field (memory must not depend on the quoting);
  - peak resident memory of Parquet → Parquet for 1M and 10M rows (row groups of 1M rows, as
    pyarrow writes them), beside pyarrow alone reading and writing the same file; goal ≤ 256 MiB
    at 10M rows, whatever the length (memory is set by the batch, not the log).
Each figure is one process, start-up included, timed from outside; peak memory is the process's
own high-water mark (VmHWM).

Run from the repository after scripts/setup.sh, on an otherwise idle machine:
    PYTHONPATH=build/python_modules .venv/bin/python benchmarks/bench_logs.py \
        [--rows N] [--repeat N] [--speed-only]
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq

REPO = Path(__file__).resolve().parents[1]
GOAL_RATIO = {"csv": 1.05, "parquet": 1.15}
GOAL_ROWS_PER_SECOND = 10e6
GOAL_PARQUET_MIB = 256
COLUMNS = ("t", "fx", "fy", "fz", "tx", "ty", "tz",
           "tf_x", "tf_y", "tf_z", "tf_qw", "tf_qx", "tf_qy", "tf_qz")

# Peak resident memory of this process alone (ru_maxrss would also count the parent it was
# forked from), printed last on stderr.
PEAK = """
for line in open("/proc/self/status"):
    if line.startswith("VmHWM:"):
        sys.stderr.write(f"peak {int(line.split()[1]) // 1024}\\n")
"""
KIVO = """\
import sys
from kivo_tf_tools.cli import main
status = main(sys.argv[1:])
""" + PEAK + "sys.exit(status)\n"
BASELINE_CSV = """\
import sys, pyarrow.csv as c
c.write_csv(c.read_csv(sys.argv[1]), sys.argv[2])
""" + PEAK
BASELINE_PARQUET = """\
import sys, pyarrow.parquet as p
p.write_table(p.read_table(sys.argv[1]), sys.argv[2])
""" + PEAK


def log_table(rows: int, seed: int = 7) -> pa.Table:
    rng = np.random.default_rng(seed)
    q = rng.normal(size=(rows, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    values = np.column_stack([np.arange(rows) / 1000.0, rng.normal(0.0, 10.0, (rows, 6)),
                              rng.normal(0.0, 0.5, (rows, 3)), q])
    return pa.table({name: values[:, k] for k, name in enumerate(COLUMNS)})


def write_parquet(rows: int, path: Path) -> None:
    """The log of `log_table(rows)`, made and written a million rows at a time (one row group
    each), so that the benchmark itself stays small."""
    with pq.ParquetWriter(path, log_table(1).schema) as writer:
        for start in range(0, rows, 1_000_000):
            part = log_table(min(1_000_000, rows - start), seed=7 + start)
            part = part.set_column(0, "t", pa.array(start / 1000.0 + part.column("t").to_numpy()))
            writer.write_table(part)


def write_csv(table: pa.Table, path: Path, stray_quote: bool = False) -> None:
    """Plain CSV (header unquoted, floats in shortest round-trip form); with `stray_quote` the
    timestamp of the second row reads 0.0"01, a literal quote inside an unquoted field."""
    with path.open("wb") as stream:
        stream.write((",".join(COLUMNS) + "\n").encode())
        for start in range(0, table.num_rows, 500_000):
            part = table.slice(start, 500_000)
            buffer = pa.BufferOutputStream()
            pcsv.write_csv(part, buffer, pcsv.WriteOptions(include_header=False))
            data = buffer.getvalue().to_pybytes()
            if stray_quote and start == 0:
                first_end = data.index(b"\n") + 1
                data = data[:first_end] + b'0.0"01' + data[data.index(b",", first_end):]
            stream.write(data)


def timed_once(command: list[str]) -> tuple[float, float, int, str]:
    """(seconds, CPU seconds, peak RSS in MiB, stderr) of one process."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               env=dict(os.environ))
    assert process.stderr is not None
    err = process.stderr.read().decode()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit(f"{' '.join(command)} failed ({code}):\n{err}")
    peak = int(err.strip().splitlines()[-1].split()[1])
    return seconds, usage.ru_utime + usage.ru_stime, peak, err


def timed(command: list[str], repeat: int) -> tuple[float, float, int, str]:
    """The fastest of `repeat` runs (a shared machine only ever slows a run down)."""
    return min((timed_once(command) for _ in range(repeat)), key=lambda run: run[0])


def timed_in_turn(commands: list[list[str]], repeat: int) -> list[tuple[float, float, int, str]]:
    """The fastest of `repeat` runs of each command, the commands run in turn, so that a spell
    of load on the machine weighs on all of them alike."""
    runs: list[list[tuple[float, float, int, str]]] = [[] for _ in commands]
    for _ in range(repeat):
        for k, command in enumerate(commands):
            runs[k].append(timed_once(command))
    return [min(each, key=lambda run: run[0]) for each in runs]


def per_row_loop(block: Any, signal: np.ndarray, tf: np.ndarray) -> tuple[Any, Any]:
    """The loop the batch path replaces: one Python-level call of each member per row."""
    signal_out = np.zeros_like(signal)
    set_tf, update = block.set_fixed_to_moving_frame_tf, block.update
    codes = []
    for tf_row, row_in, row_out in zip(tf, signal, signal_out):
        set_tf(tf_row)
        codes.append(update(row_in, row_out))
    return signal_out, np.fromiter(map(int, codes), dtype=np.uint8, count=len(signal))


def transform_rates(config: str, table: pa.Table, repeat: int) -> tuple[float, float]:
    """Rows per second of transform_with_block and of the per-row loop on the rows of `table`,
    best of `repeat` each, taken in turn; the two outputs are checked to be the same bits."""
    import kivo_tf_utils_ext
    from kivo_tf_tools import transform_with_block

    columns = np.column_stack([table.column(name).to_numpy() for name in COLUMNS[1:]])
    signal, tf = np.ascontiguousarray(columns[:, :6]), np.ascontiguousarray(columns[:, 6:])
    batch_block = kivo_tf_utils_ext.KivoTfWrench(config)
    loop_block = kivo_tf_utils_ext.KivoTfWrench(config)
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        start = time.perf_counter()
        batch_out, batch_status = transform_with_block(batch_block, signal, tf)
        best[0] = min(best[0], time.perf_counter() - start)
        start = time.perf_counter()
        loop_out, loop_status = per_row_loop(loop_block, signal, tf)
        best[1] = min(best[1], time.perf_counter() - start)
    if batch_out.tobytes() != loop_out.tobytes() or batch_status.tobytes() != loop_status.tobytes():
        raise SystemExit("transform_with_block and the per-row loop disagree")
    return len(signal) / best[0], len(signal) / best[1]


def kivo(config: str, source: Path, target: Path) -> list[str]:
    return [sys.executable, "-c", KIVO, "run", config, "tf_wrench_config",
            "--input", str(source), "--output", str(target)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--large", type=int, default=4_000_000,
                        help="rows of the logs for peak memory (default 4,000,000)")
    parser.add_argument("--huge", type=int, default=10_000_000,
                        help="rows of the largest Parquet log for peak memory (default "
                             "10,000,000)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="runs of each 1M-row command; the fastest counts (default 5)")
    parser.add_argument("--config", default=str(REPO / "examples" / "kivo_tf_config.json"))
    parser.add_argument("--speed-only", action="store_true",
                        help="stop after the times and rates (no peak-memory runs)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kivo_bench_logs_", dir=REPO / "build") as tmp:
        work = Path(tmp)
        table = log_table(args.rows)
        write_csv(table, work / "log.csv")
        pq.write_table(table, work / "log.parquet")
        del table
        csv_mb = (work / "log.csv").stat().st_size / 2**20
        print(f"wrench log with t and transform columns: {args.rows:,} rows "
              f"(CSV {csv_mb:.0f} MiB); one process each, start-up included")
        print(f"best of {args.repeat} runs of each, in turn; CPU seconds (all threads) in "
              f"brackets; machine load {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        print(f"{'':22s}{'kivo-tf run':>19s}{'pyarrow alone':>19s}{'ratio':>7s}{'goal':>7s}"
              f"{'rows/s':>11s}{'peak RSS (alone)':>19s}")
        for kind, baseline in (("csv", BASELINE_CSV), ("parquet", BASELINE_PARQUET)):
            source, target = work / f"log.{kind}", work / f"out.{kind}"
            (ours, ours_cpu, rss, _), (alone, alone_cpu, rss_alone, _) = timed_in_turn(
                [kivo(args.config, source, target),
                 [sys.executable, "-c", baseline, str(source), str(work / f"copy.{kind}")]],
                args.repeat)
            name = "CSV → CSV" if kind == "csv" else "Parquet → Parquet"
            goal = GOAL_RATIO[kind]
            print(f"  {name:20s}{ours:7.2f} s ({ours_cpu:5.2f}){alone:8.2f} s ({alone_cpu:5.2f})"
                  f"{ours / alone:7.2f}{'≤ ' + str(goal):>7s}{args.rows / ours:11,.0f}"
                  f"{rss:7d} MiB ({rss_alone} MiB)"
                  + ("" if ours / alone <= goal else f"  over the {goal} goal"))
            for path in (target, work / f"copy.{kind}"):
                path.unlink()
        batch_rate, loop_rate = transform_rates(args.config, log_table(args.rows), args.repeat)
        print(f"transform_with_block on {args.rows:,} rows of (N, 6) and (N, 7) float64, in this "
              f"process, best of {args.repeat}:")
        print(f"  {'batch path (C++ loop)':36s}{batch_rate:14,.0f} rows/s  goal ≥ "
              f"{GOAL_ROWS_PER_SECOND:,.0f}" + ("" if batch_rate >= GOAL_ROWS_PER_SECOND
                                                else "  under the goal"))
        print(f"  {'per-row Python loop (reference)':36s}{loop_rate:14,.0f} rows/s  "
              f"{batch_rate / loop_rate:.1f} × slower")
        if args.speed_only:
            return 0
        print("peak RSS of kivo-tf run CSV → CSV (goal: set by the batch, not the log):")
        for rows, stray in ((args.rows, False), (args.large, False), (args.large, True)):
            source = work / f"log_{rows}_{int(stray)}.csv"
            if rows == args.rows and not stray:
                source = work / "log.csv"
            else:
                table = log_table(rows)
                write_csv(table, source, stray_quote=stray)
                del table
            seconds, _, rss, err = timed(kivo(args.config, source, work / "out.csv"), 1)
            label = f"{rows:,} rows" + (", stray quote on line 3" if stray else "")
            print(f"  {label:36s}{rss:6d} MiB  {seconds:7.2f} s  {rows / seconds:10,.0f} rows/s")
            (work / "out.csv").unlink()
            if source.name != "log.csv":
                source.unlink()
        print(f"peak RSS of Parquet → Parquet (goal: ≤ {GOAL_PARQUET_MIB} MiB at any length), "
              "beside pyarrow alone (read_table, write_table):")
        print(f"  {'':15s}{'kivo-tf run':>12s}{'pyarrow alone':>15s}{'ratio':>7s}"
              f"{'time':>12s}")
        for rows in (args.rows, args.huge):
            source = work / f"log_{rows}.parquet"
            write_parquet(rows, source)
            seconds, _, rss, _ = timed(kivo(args.config, source, work / "out.parquet"), 1)
            _, _, rss_alone, _ = timed([sys.executable, "-c", BASELINE_PARQUET, str(source),
                                        str(work / "copy.parquet")], 1)
            print(f"  {rows:>10,} rows{rss:8d} MiB{rss_alone:11d} MiB{rss / rss_alone:7.2f}"
                  f"{seconds:10.2f} s" + ("" if rss <= GOAL_PARQUET_MIB
                                          else f"  over the {GOAL_PARQUET_MIB} MiB goal"))
            for path in (source, work / "out.parquet", work / "copy.parquet"):
                path.unlink()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
