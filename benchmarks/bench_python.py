"""Time per call of the blocks' per-cycle members from Python, beside no-op functions that take
the same argument declarations (the module kivo_bench_noop, built with the benchmarks).

Usage: python benchmarks/bench_python.py [--build-dir build] [--repeat 7] [--number 200000]

Every figure is the best of `repeat` runs of `number` calls, in microseconds per call, and its
ratio to the no-op function with the two float64 arrays of the same length. The signals are
writable float64 NumPy arrays; the transform is a float64 NumPy array of 7 values.
"""
from __future__ import annotations

import argparse
import math
import sys
import timeit
from pathlib import Path
from typing import Any, Callable

import numpy as np

SQRT_HALF = math.sqrt(0.5)
TRANSFORM = [1.0, -2.0, 0.5, 0.5, -0.5, 0.5, 0.5]  # [x, y, z, qw, qx, qy, qz] of M in F


def best_us(call: Callable[..., Any], args: tuple[Any, ...], number: int, repeat: int) -> float:
    """Best time of one call(*args) in µs; the call is looked up once, as in a control loop."""
    timer = timeit.Timer("call(*args)", globals={"call": call, "args": args})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e6


def configured_block(ext: Any, name: str) -> Any:
    """A block whose entries use the moving frame where the block allows it."""
    block = getattr(ext, name)()
    pose = name == "KivoTfPose"
    block.set_input_reference_point("moving_frame", [0.1, -0.2, 0.3])
    block.set_input_expression_axes("fixed_frame" if pose else "moving_frame",
                                    [0.5, 0.5, -0.5, 0.5])
    block.set_output_reference_point("moving_frame", [0.0, 0.0, 1.0])
    block.set_output_expression_axes("moving_frame", [SQRT_HALF, SQRT_HALF, 0.0, 0.0])
    if not pose:
        block.set_fixed_to_moving_frame_tf(TRANSFORM)
    return block


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path,
                        default=Path(__file__).resolve().parent.parent / "build")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--number", type=int, default=200_000)
    options = parser.parse_args()
    sys.path[:0] = [str(options.build_dir / "python_modules"), str(options.build_dir / "benchmarks")]
    import kivo_bench_noop as noop
    import kivo_tf_utils_ext as ext

    def measure(call: Callable[..., Any], args: tuple[Any, ...]) -> float:
        return best_us(call, args, options.number, options.repeat)

    rows: list[tuple[str, float, float]] = []
    signals = {n: (np.linspace(-1.0, 1.0, n), np.zeros(n)) for n in (6, 7)}
    baseline = {6: measure(noop.update6, signals[6]), 7: measure(noop.update7, signals[7])}
    for name in ("KivoTfWrench", "KivoTfTwist", "KivoTfImu", "KivoTfPose"):
        n = 7 if name == "KivoTfPose" else 6
        block = configured_block(ext, name)
        rows.append((f"{name}.update", measure(block.update, signals[n]), baseline[n]))
    wrench = configured_block(ext, "KivoTfWrench")
    transform = np.array(TRANSFORM)
    rows.append(("KivoTfWrench.set_fixed_to_moving_frame_tf",
                 measure(wrench.set_fixed_to_moving_frame_tf, (transform,)), baseline[6]))

    print(f"no-op, two float64[6] arrays:  {baseline[6]:.3f} µs")
    print(f"no-op, two float64[7] arrays:  {baseline[7]:.3f} µs")
    print(f"no-op, std::array<double, 7> from a NumPy array: "
          f"{measure(noop.set_tf, (transform,)):.3f} µs")
    print(f"{'member':44} {'µs':>7} {'/ no-op':>8}")
    for label, us, base in rows:
        print(f"{label:44} {us:7.3f} {us / base:8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
