"""Every class and member of kivo_tf_utils_ext and kivo_control, used as an application would.

Not a test module: the packaging test type-checks this file with `mypy --strict` against the
stubs of the installed wheel, then runs it there. `misuses` is type-checked only: each of its
lines is a misuse the stubs must reject, and strict mode reports an ignore comment that is not
needed, so a stub that accepted the misuse fails the check. Signals are [linear, angular] in SI
units, quaternions [w, x, y, z].
"""
from __future__ import annotations

import array
import math
from collections.abc import Iterable

import kivo_control
import kivo_tf_utils_ext as kivo
from kivo_control import KivoControlBlockPolicy, KivoControlReturnCode

H = math.sqrt(0.5)
MovingFrameBlock = kivo.KivoTfWrench | kivo.KivoTfTwist | kivo.KivoTfImu


def make_config() -> kivo.KivoTfConfig:
    config = kivo.KivoTfConfig()
    config.name = "wrist"
    config.policy = KivoControlBlockPolicy.HardRt
    point: kivo.Translation = config.input_ref_point  # a view into config
    point.origin = "moving_frame"
    point.translation = [0.1, 0.0, 0.0]
    axes: kivo.Rotation = config.input_expr_axes
    axes.origin = "moving_frame"
    axes.rotation = (1.0, 0.0, 0.0, 0.0)
    out_point = kivo.Translation()
    out_point.origin = "fixed_frame"
    out_point.translation = range(3)
    config.output_ref_point = out_point
    out_axes = kivo.Rotation()
    out_axes.origin = "fixed_frame"
    out_axes.rotation = [H, H, 0, 0]
    config.output_expr_axes = out_axes
    config.output_expr_axes.rotation = out_axes.rotation
    config.input_ref_point = config.output_ref_point
    config.input_expr_axes = config.output_expr_axes
    entries: list[float] = point.translation + axes.rotation
    print(config.name.upper(), config.policy.name, entries, point.origin, axes.origin)
    return config


def configure(block: MovingFrameBlock | kivo.KivoTfPose) -> bool:
    # The pose block takes its moving frame from its input: its input axes stay fixed.
    axes_origin = "fixed_frame" if isinstance(block, kivo.KivoTfPose) else "moving_frame"
    accepted = [
        block.set_input_reference_point("moving_frame", [0.1, 0, 0]),
        block.set_input_expression_axes(axes_origin, (1, 0, 0, 0)),
        block.set_output_reference_point(origin="fixed_frame", translation=[0, 0, 0]),
        block.set_output_expression_axes("fixed_frame", rotation=[H, H, 0, 0]),
    ]
    return all(accepted) and block.name() in ("", "wrist")


def run_cycle(block: MovingFrameBlock) -> KivoControlReturnCode:
    block.set_fixed_to_moving_frame_tf([1.0, 2.0, 3.0, H, 0.0, 0.0, H])
    signal_in = array.array("d", [1.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    signal_out = array.array("d", bytes(48))
    code = block.update(signal_in, signal_out)
    # One buffer as input and output; a memoryview is a buffer too.
    block.update(memoryview(signal_out), signal_out)
    return code


def run_pose(pose: kivo.KivoTfPose) -> KivoControlReturnCode:
    pose_out = array.array("d", [0.0] * 7)
    return pose.update(array.array("d", [1, 0, 0, 1, 0, 0, 0]), pose_out)


def misuses(config: kivo.KivoTfConfig, block: kivo.KivoTfWrench, pose: kivo.KivoTfPose) -> None:
    config.policy = "hard_rt"  # type: ignore[assignment]
    config.input_ref_point.translation = "abc"  # type: ignore[assignment]
    config.input_expr_axes = kivo.Translation()  # type: ignore[assignment]
    block.set_input_reference_point(0, [0, 0, 0])  # type: ignore[arg-type]
    block.update([1.0, 0, 0, 0, 0, 0], array.array("d", bytes(48)))  # type: ignore[arg-type]
    pose.set_fixed_to_moving_frame_tf([0.0] * 7)  # type: ignore[attr-defined]
    kivo.KivoTfImu(None)  # type: ignore[call-overload]
    code: KivoControlBlockPolicy = block.update(bytearray(48), bytearray(48))  # type: ignore[assignment]
    print(code, kivo.__author__)  # type: ignore[attr-defined]


def codes(results: Iterable[KivoControlReturnCode]) -> dict[str, int]:
    return {code.name: int(code) for code in results}


def main() -> None:
    version: str = kivo.__version__
    config = make_config()
    blocks: list[MovingFrameBlock] = [
        kivo.KivoTfWrench(config), kivo.KivoTfTwist(config=config),
        kivo.KivoTfImu(), kivo.KivoTfWrench(config_file=""), kivo.KivoTfTwist(""),
    ]
    pose = kivo.KivoTfPose(config)
    ready = [configure(block) for block in [*blocks, pose]]
    results = [run_cycle(block) for block in blocks] + [run_pose(pose)]
    if not all(code is KivoControlReturnCode.Ok for code in results):
        raise SystemExit(f"a block did not run: {results}")
    not_ready = [kivo_control.KivoControlReturnCode.NotReady, KivoControlReturnCode.Error]
    policies = [KivoControlBlockPolicy.BestEffort, KivoControlBlockPolicy.SoftRt,
                KivoControlBlockPolicy.StrictRt]
    print(version, ready, codes(results), codes(not_ready),
          sorted(policy.value for policy in policies), len(KivoControlReturnCode))


if __name__ == "__main__":
    main()
