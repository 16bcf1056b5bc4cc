"""`kivo_tf_tools.transform`: a block over a whole log in arrays, against the block called row by
row."""
import json
from pathlib import Path

import numpy as np
import pytest

from kivo_tf_tools import transform, transform_with_block
from kivo_tf_tools.sections import ConfigError

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"


def unit_transforms(rng, rows):
    q = rng.normal(size=(rows, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return np.column_stack([rng.normal(0.0, 1.0, (rows, 3)), q])


def row_by_row(block, signal, tf=None):
    out = np.zeros_like(signal)
    codes = []
    for k in range(len(signal)):
        if tf is not None:
            block.set_fixed_to_moving_frame_tf(list(tf[k]))
        codes.append(int(block.update(signal[k].copy(), out[k])))
    return out, np.array(codes, dtype=np.uint8)


@pytest.mark.parametrize("section, cls, width, with_tf", [
    ("tf_wrench_config", "KivoTfWrench", 6, True),
    ("tf_twist_config", "KivoTfTwist", 6, True),
    ("tf_imu_config", "KivoTfImu", 6, True),
    ("tf_pose_config", "KivoTfPose", 7, False),
])
def test_every_block_matches_its_updates_bit_for_bit(ext, section, cls, width, with_tf):
    rng = np.random.default_rng(11)
    rows = 300
    tf = unit_transforms(rng, rows) if with_tf else None
    signal = unit_transforms(rng, rows) if width == 7 else rng.normal(0.0, 5.0, (rows, width))
    signal_out, status = transform(EXAMPLE, section, signal, tf)
    expected, codes = row_by_row(getattr(ext, cls)(str(EXAMPLE)), signal, tf)
    assert signal_out.dtype == np.float64 and status.dtype == np.uint8
    assert signal_out.tobytes() == expected.tobytes()
    assert status.tolist() == codes.tolist() == [0] * rows


def test_refused_rows_hold_zeros_and_their_code(ext, capfd):
    """Without a transform the example's moving-frame entries are refused (hard_rt: Error 5); a
    row with NaN in a section of fixed-frame entries is refused as well."""
    signal = np.ones((4, 6))
    signal_out, status = transform(EXAMPLE, "tf_wrench_config", signal)
    assert status.tolist() == [5] * 4 and not signal_out.any()
    assert capfd.readouterr().err.count("setFixedToMovingFrameTf() has not been called") == 4


def test_a_row_without_transform_keeps_the_last_one_set(ext):
    """One block per log: transform_with_block leaves the block with the last row's transform."""
    block = ext.KivoTfWrench(str(EXAMPLE))
    tf = unit_transforms(np.random.default_rng(3), 5)
    transform_with_block(block, np.ones((5, 6)), tf)
    again, status = transform_with_block(block, np.ones((2, 6)))
    expected, _ = row_by_row(ext.KivoTfWrench(str(EXAMPLE)), np.ones((2, 6)), tf[[4, 4]])
    assert status.tolist() == [0, 0] and again.tobytes() == expected.tobytes()


def test_inputs_that_numpy_converts_are_taken(ext):
    rows = [[1, 2, 3, 4, 5, 6], [0, 0, 1, 0, 0, 0]]
    tf = [[0, 0, 0, 1, 0, 0, 0]] * 2
    signal_out, status = transform(str(EXAMPLE), "tf_wrench_config", rows, tf)
    reference, _ = transform(EXAMPLE, "tf_wrench_config", np.array(rows, float), np.array(tf, float))
    assert signal_out.tobytes() == reference.tobytes() and status.tolist() == [0, 0]
    frozen = np.array(rows, float)
    frozen.flags.writeable = False  # as pandas' to_numpy() hands them out
    assert transform(EXAMPLE, "tf_wrench_config", frozen, tf)[0].tobytes() == reference.tobytes()
    empty_out, empty_status = transform(EXAMPLE, "tf_wrench_config", np.zeros((0, 6)))
    assert empty_out.shape == (0, 6) and empty_status.shape == (0,)


@pytest.mark.parametrize("section, signal, tf, error, message", [
    ("tf_wrench_config", np.zeros((3, 7)), None, ValueError,
     r"signal must have shape \(N, 6\) for KivoTfWrench, not \(3, 7\)"),
    ("tf_wrench_config", np.zeros(6), None, ValueError, r"not \(6,\)"),
    ("tf_wrench_config", np.zeros((3, 6)), np.zeros((2, 7)), ValueError,
     r"tf must have shape \(3, 7\), not \(2, 7\)"),
    ("tf_pose_config", np.zeros((1, 7)), np.zeros((1, 7)), ValueError,
     "KivoTfPose takes no fixed-to-moving-frame transform"),
    ("tf_nothing", np.zeros((1, 6)), None, ConfigError, "unknown section 'tf_nothing'"),
])
def test_wrong_arguments_are_refused_with_a_message(section, signal, tf, error, message):
    with pytest.raises(error, match=message):
        transform(EXAMPLE, section, signal, tf)


def test_a_section_the_file_lacks_is_a_config_error(tmp_path):
    config = tmp_path / "only_pose.json"
    config.write_text(json.dumps({"tf_pose_config": {}}))
    with pytest.raises(ConfigError):
        transform(config, "tf_wrench_config", np.zeros((1, 6)))


def test_subclasses_of_the_blocks_are_blocks_and_anything_else_is_refused(ext):
    class Wrist(ext.KivoTfWrench):
        pass

    signal = np.random.default_rng(5).normal(size=(3, 6))
    tf = np.array([[1.0, 2.0, 3.0, 1.0, 0.0, 0.0, 0.0]] * 3)
    out, status = transform_with_block(Wrist(str(EXAMPLE)), signal, tf)
    want, codes = transform_with_block(ext.KivoTfWrench(str(EXAMPLE)), signal, tf)
    assert out.tobytes() == want.tobytes() and status.tolist() == codes.tolist()
    with pytest.raises(TypeError, match="block must be a KivoTfWrench, KivoTfTwist, KivoTfPose or "
                                        "KivoTfImu of kivo_tf_utils_ext .or of a subclass., not "
                                        "KivoTfConfig"):
        transform_with_block(ext.KivoTfConfig(), signal, tf)
