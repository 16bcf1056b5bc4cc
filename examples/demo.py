"""Runs a few control cycles of each transform block on the example configuration and prints
inputs and outputs per cycle.

Usage: python examples/demo.py [config.json]   (default: kivo_tf_config.json beside this script)
Needs the modules on the import path, e.g. PYTHONPATH=build/python_modules.

Conventions: signals are float64 arrays in SI units; poses and the moving frame's transform are
[x, y, z, qw, qx, qy, qz] with quaternions [w, x, y, z].
"""
from __future__ import annotations

import math
import sys
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt

import kivo_tf_utils_ext as kivo
from kivo_control import KivoControlReturnCode

CYCLES = 4
MovingFrameBlock = kivo.KivoTfWrench | kivo.KivoTfTwist | kivo.KivoTfImu


def moving_frame_pose(t0: Sequence[float], k: int) -> list[float]:
    """Pose of the moving frame in the fixed frame in cycle k: it starts at t0 turned a quarter
    turn about z and keeps turning about z by 0.1 rad a cycle while drifting along x."""
    yaw = math.pi / 2 + 0.1 * k
    return [t0[0] + 0.01 * k, t0[1], t0[2], math.cos(yaw / 2), 0.0, 0.0, math.sin(yaw / 2)]


def cells(values: Sequence[float] | npt.NDArray[np.float64]) -> str:
    # Rounding residue such as -1e-17 is shown as 0.000 rather than -0.000.
    return "[" + " ".join(f"{0.0 if abs(v) < 5e-4 else v:7.3f}" for v in values) + "]"


def heading(block: MovingFrameBlock | kivo.KivoTfPose, tf_label: str | None, in_label: str,
            out_label: str, n: int) -> None:
    print(f'\n{type(block).__name__} "{block.name()}"')
    tf_column = f"{tf_label:<58}" if tf_label else ""
    print(f"cycle {tf_column}{in_label:<{8 * n + 2}} {'return':<8} {out_label}")


def row(k: int, tf: Sequence[float] | None, signal_in: npt.NDArray[np.float64],
        code: KivoControlReturnCode, signal_out: npt.NDArray[np.float64]) -> None:
    tf_column = f" {cells(tf)}" if tf is not None else ""
    print(f"{k:5d} {tf_column} {cells(signal_in)} {code.name:<8} {cells(signal_out)}")


def run_moving_frame_block(block: MovingFrameBlock, in_label: str, out_label: str,
                           t0: Sequence[float], signal_start: Sequence[float],
                           step: Sequence[float]) -> None:
    """Wrench, twist and IMU: the caller keeps the moving frame's pose current every cycle."""
    heading(block, " moving frame [x y z qw qx qy qz]", in_label, out_label, 6)
    signal_in = np.array(signal_start, dtype=np.float64)
    for k in range(CYCLES):
        tf = moving_frame_pose(t0, k)
        block.set_fixed_to_moving_frame_tf(tf)
        signal_out = np.zeros(6)
        code = block.update(signal_in, signal_out)
        row(k, tf, signal_in, code, signal_out)
        signal_in += step


def run_pose(block: kivo.KivoTfPose) -> None:
    heading(block, None, " pose_in [px py pz qw qx qy qz]", "pose_out", 7)
    for k in range(CYCLES):
        # The body moves along x and turns about z; the pose block derives the moving frame from it.
        yaw = math.pi / 2 + 0.1 * k
        pose_in = np.array([1.0 + 0.1 * k, 0.0, 0.0, math.cos(yaw / 2), 0.0, 0.0, math.sin(yaw / 2)])
        pose_out = np.zeros(7)
        code = block.update(pose_in, pose_out)
        row(k, None, pose_in, code, pose_out)


def main() -> None:
    config_file = sys.argv[1] if len(sys.argv) > 1 else str(
        Path(__file__).resolve().parent / "kivo_tf_config.json")
    print(f"Example configuration: {config_file}")
    run_moving_frame_block(kivo.KivoTfWrench(config_file),
                           " wrench_in [fx fy fz tx ty tz] (N, N·m)", "wrench_out",
                           [1.0, 2.0, 3.0], [1, 0, 0, 0, 0, 0], [0, 0.5, 0, 0, 0, 0.1])
    run_moving_frame_block(kivo.KivoTfTwist(config_file),
                           " twist_in [vx vy vz wx wy wz] (m/s, rad/s)", "twist_out",
                           [1.0, 2.0, 3.0], [0, 0, 0, 0, 0, 1], [0.1, 0, 0, 0, 0, 0.5])
    run_pose(kivo.KivoTfPose(config_file))
    run_moving_frame_block(kivo.KivoTfImu(config_file),
                           " imu_in [ax ay az wx wy wz] (m/s², rad/s)", "imu_out",
                           [0.0, 0.0, 0.0], [0, 0, 9.81, 0, 0, 2], [0, 0, 0, 0, 0, 0.5])


if __name__ == "__main__":
    main()
