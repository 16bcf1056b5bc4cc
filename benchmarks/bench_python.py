"""Time per call of the blocks' per-cycle members from Python, beside no-op functions that take
the same argument declarations (the module kivo_bench_noop, built with the benchmarks).

Usage: python benchmarks/bench_python.py [--build-dir build] [--rounds 15] [--number 50000]

Each round times `number` calls of every function in turn, so that other work on the machine
weighs on all of them alike; every figure is the best round, in microseconds per call, with its
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


def best_us(calls: dict[str, tuple[Callable[..., Any], tuple[Any, ...]]], number: int,
            rounds: int) -> dict[str, float]:
    """Best time of one call(*args) in µs for each entry; each call is looked up once, as in a
    control loop."""
    timers = {label: timeit.Timer("call(*args)", globals={"call": call, "args": args})
              for label, (call, args) in calls.items()}
    best = dict.fromkeys(timers, math.inf)
    for _ in range(rounds):
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(number) / number * 1e6)
    return best


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
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--number", type=int, default=50_000)
    options = parser.parse_args()
    sys.path[:0] = [str(options.build_dir / "python_modules"), str(options.build_dir / "benchmarks")]
    import kivo_bench_noop as noop
    import kivo_tf_utils_ext as ext

    signals = {n: (np.linspace(-1.0, 1.0, n), np.zeros(n)) for n in (6, 7)}
    transform = np.array(TRANSFORM)
    calls = {"no-op(float64[6], float64[6])": (noop.update6, signals[6]),
             "no-op(float64[7], float64[7])": (noop.update7, signals[7]),
             "no-op(std::array<double, 7>)": (noop.set_tf, (transform,))}
    for name in ("KivoTfWrench", "KivoTfTwist", "KivoTfImu", "KivoTfPose"):
        n = 7 if name == "KivoTfPose" else 6
        calls[f"{name}.update"] = (configured_block(ext, name).update, signals[n])
    calls["KivoTfWrench.set_fixed_to_moving_frame_tf"] = (
        configured_block(ext, "KivoTfWrench").set_fixed_to_moving_frame_tf, (transform,))
    best = best_us(calls, options.number, options.rounds)

    # The pose is compared with the arrays of 7 values, everything else with those of 6.
    print(f"{'function':44} {'µs':>7} {'/ no-op':>8}")
    for label, us in best.items():
        seven = "Pose" in label or "float64[7]" in label
        baseline = best[f"no-op(float64[{7 if seven else 6}], float64[{7 if seven else 6}])"]
        print(f"{label:44} {us:7.3f} {us / baseline:8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
