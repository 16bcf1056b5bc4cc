"""Runs a few control cycles of each transform block on the example configuration and prints, per
block, its configured entries and then the inputs and outputs of each cycle.

Cycle 0 of the wrench, twist and IMU blocks comes before the first fixed-to-moving-frame
transform and shows the block's refusal; cycle 1 (cycle 0 for the pose block) is the block's
worked example in docs/frames.md.

Usage: python examples/demo.py [config.json]   (default: kivo_tf_config.json beside this script)
Needs the modules on the import path, e.g. PYTHONPATH=build/python_modules.

Conventions: signals are float64 arrays in SI units; poses and the moving frame's transform are
[x, y, z, qw, qx, qy, qz] with quaternions [w, x, y, z].
"""
from __future__ import annotations

import json
import math
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import kivo_tf_utils_ext as kivo
from kivo_control import KivoControlReturnCode

CYCLES = 5
Vector = npt.NDArray[np.float64]

# Entry members of a section with the label, the member holding the numbers and their unit.
ENTRIES: tuple[tuple[str, str, str, str], ...] = (
    ("set_input_reference_point", "input reference point", "translation", "m"),
    ("set_input_expression_axes", "input expression axes", "rotation", "[w x y z]"),
    ("set_output_reference_point", "output reference point", "translation", "m"),
    ("set_output_expression_axes", "output expression axes", "rotation", "[w x y z]"),
)
SECTIONS: dict[str, str] = {
    "KivoTfWrench": "tf_wrench_config",
    "KivoTfTwist": "tf_twist_config",
    "KivoTfPose": "tf_pose_config",
    "KivoTfImu": "tf_imu_config",
}


class MovingFrameBlock(Protocol):
    """What the wrench, twist and IMU blocks have in common."""

    def name(self) -> str: ...

    def set_fixed_to_moving_frame_tf(self, tf: Sequence[float]) -> None: ...

    def update(self, signal_in: Vector, signal_out: Vector, /) -> KivoControlReturnCode: ...


def moving_frame_pose(t0: Sequence[float], k: int) -> list[float]:
    """Pose of the moving frame in the fixed frame in its k-th cycle: it starts at t0 turned a
    quarter turn about z and keeps turning about z by 0.1 rad a cycle while drifting along x."""
    yaw = math.pi / 2 + 0.1 * k
    return [t0[0] + 0.01 * k, t0[1], t0[2], math.cos(yaw / 2), 0.0, 0.0, math.sin(yaw / 2)]


def cells(values: Sequence[float] | Vector) -> str:
    # Rounding residue such as -1e-17 is shown as 0.000 rather than -0.000.
    return "[" + " ".join(f"{0.0 if abs(v) < 5e-4 else v:7.3f}" for v in values) + "]"


def print_entries(block_class: str, config_file: str) -> None:
    """The block's name and policy and its four entries as the file configures them."""
    with open(config_file, encoding="utf-8-sig") as stream:
        section: dict[str, Any] = json.load(stream)[SECTIONS[block_class]]
    print(f'\n{block_class} "{section.get("name", "")}", '
          f'policy {section.get("policy", "best_effort")}')
    for key, label, values_key, unit in ENTRIES:
        entry = section.get(key)
        if entry is None:
            print(f"  {label:<23}unset")
        else:
            print(f"  {label:<23}{entry['origin']:<13} {cells(entry[values_key])} {unit}")


def print_result(code: KivoControlReturnCode, signal_out: Vector) -> None:
    """The output when the block returns Ok; otherwise the code: a refusing block fills the output
    with zeros and writes its reason to the standard error stream."""
    if code is KivoControlReturnCode.Ok:
        print(f"       out {cells(signal_out)}  Ok")
    else:
        print(f"       out {code.name}: zeros (the block's reason is the stderr line above)")


def run_moving_frame_block(block: MovingFrameBlock, config_file: str, signal_label: str,
                           t0: Sequence[float], start: Sequence[float],
                           step: Sequence[float]) -> None:
    """Wrench, twist and IMU: the caller gives the moving frame's pose every cycle, from cycle 1."""
    print_entries(type(block).__name__, config_file)
    print(f"cycle      tf: moving frame [x y z qw qx qy qz] (m); {signal_label}")
    signal_in: Vector = np.array(start, dtype=np.float64)
    for k in range(CYCLES):
        if k == 0:
            print(f"{k:5d}  tf  not given yet")
        else:
            tf = moving_frame_pose(t0, k - 1)
            block.set_fixed_to_moving_frame_tf(tf)
            print(f"{k:5d}  tf  {cells(tf)}")
        print(f"       in  {cells(signal_in)}")
        sys.stdout.flush()  # keeps a refusal's stderr line in its place in the table
        signal_out: Vector = np.zeros(6)
        print_result(block.update(signal_in, signal_out), signal_out)
        if k > 0:
            signal_in += np.array(step, dtype=np.float64)


def run_pose(block: kivo.KivoTfPose, config_file: str) -> None:
    print_entries("KivoTfPose", config_file)
    print("  No refusal to show: the pose block takes its moving frame from each input pose and"
          " needs\n  no transform; it refuses only unset entries and input expression axes in"
          " moving_frame.")
    print("cycle      pose [px py pz qw qx qy qz] (m)")
    for k in range(CYCLES - 1):
        # The body moves along x and turns about z; the pose block derives the moving frame from it.
        yaw = math.pi / 2 + 0.1 * k
        pose_in: Vector = np.array(
            [1.0 + 0.1 * k, 0.0, 0.0, math.cos(yaw / 2), 0.0, 0.0, math.sin(yaw / 2)])
        print(f"{k:5d}  in  {cells(pose_in)}")
        sys.stdout.flush()
        pose_out: Vector = np.zeros(7)
        print_result(block.update(pose_in, pose_out), pose_out)


def main() -> None:
    config_file = sys.argv[1] if len(sys.argv) > 1 else str(
        Path(__file__).resolve().parent / "kivo_tf_config.json")
    print(f"Example configuration: {config_file}")
    run_moving_frame_block(kivo.KivoTfWrench(config_file), config_file,
                           "wrench [fx fy fz tx ty tz] (N, N·m)",
                           [1.0, 2.0, 3.0], [1, 0, 0, 0, 0, 0], [0, 0.5, 0, 0, 0, 0.1])
    run_moving_frame_block(kivo.KivoTfTwist(config_file), config_file,
                           "twist [vx vy vz wx wy wz] (m/s, rad/s)",
                           [1.0, 2.0, 3.0], [0, 0, 0, 0, 0, 1], [0.1, 0, 0, 0, 0, 0.5])
    run_pose(kivo.KivoTfPose(config_file), config_file)
    run_moving_frame_block(kivo.KivoTfImu(config_file), config_file,
                           "imu [ax ay az wx wy wz] (m/s², rad/s)",
                           [0.0, 0.0, 0.0], [0, 0, 9.81, 0, 0, 2], [0, 0, 0, 0, 0, 0.5])


if __name__ == "__main__":
    main()
