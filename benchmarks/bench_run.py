"""Speed of `kivo-tf run` end to end: a 1,000,000-row wrench log with a timestamp and the seven
transform columns, through the wrench block of examples/kivo_tf_config.json.

Run from the repository after scripts/setup.sh:
    PYTHONPATH=build/python_modules .venv/bin/python benchmarks/bench_run.py [--rows N]
Prints the rows per second, the total and the CPU seconds of the `python -m kivo_tf_tools run`
process (start-up, reading, one update per row, writing), and the ratio to the 15 s goal for
1,000,000 rows.
"""
from __future__ import annotations

import argparse
import math
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
GOAL_SECONDS_PER_MILLION = 15.0


def write_log(path: Path, rows: int, seed: int = 7) -> None:
    """A wrench log sampled at 1 kHz: t, fx..tz, tf_x..tf_qz (a unit quaternion per row)."""
    rng = np.random.default_rng(seed)
    t = np.arange(rows) / 1000.0
    wrench = rng.normal(0.0, 10.0, (rows, 6))
    position = rng.normal(0.0, 0.5, (rows, 3))
    q = rng.normal(size=(rows, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    table = np.column_stack([t, wrench, position, q])
    header = "t,fx,fy,fz,tx,ty,tz,tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz"
    np.savetxt(path, table, delimiter=",", header=header, comments="", fmt="%.17g")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--config", default=str(REPO / "examples" / "kivo_tf_config.json"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kivo_bench_run_") as tmp:
        log, out = Path(tmp) / "wrench_log.csv", Path(tmp) / "wrench_out.csv"
        write_log(log, args.rows)
        size_mb = log.stat().st_size / 1e6
        command = [sys.executable, "-m", "kivo_tf_tools", "run", args.config, "tf_wrench_config",
                   "--input", str(log), "--output", str(out)]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        result = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ))
        seconds = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if result.returncode != 0:
            print(result.stderr, file=sys.stderr)
            return 1
        with out.open() as stream:
            written = sum(1 for _ in stream) - 1
    if written != args.rows:
        print(f"expected {args.rows} output rows, found {written}", file=sys.stderr)
        return 1
    goal = GOAL_SECONDS_PER_MILLION * args.rows / 1e6
    print(f"kivo-tf run, wrench log with transform columns: {args.rows:,} rows ({size_mb:.0f} MB)")
    print(f"  total           {seconds:8.2f} s")
    print(f"  rows per second {args.rows / seconds:8,.0f}")
    print(f"  CPU seconds     {cpu:8.2f}  (all processes; {os.cpu_count()} cores, load "
          f"{os.getloadavg()[0]:.1f} at the end)")
    print(f"  time / goal     {seconds / goal:8.2f}  (goal {goal:g} s)")
    print(f"  tool summary:   {result.stderr.strip().splitlines()[0]}")
    return 0 if math.isfinite(seconds) else 1


if __name__ == "__main__":
    raise SystemExit(main())
