"""Blocks: construction, setters, and the copy-in/copy-out `update` with its array rules."""
import array
import json
import pathlib

import numpy as np
import pytest

from conftest import BLOCK_CLASSES, IDENTITY_ENTRIES, SIGNAL_LENGTH, SQRT_HALF as H, make_block


def entries(in_ref, in_axes, out_ref, out_axes):
    return dict(zip(IDENTITY_ENTRIES, (in_ref, in_axes, out_ref, out_axes)))


# One worked example per block: entries, fixed-to-moving-frame transform (none for the pose),
# input signal, expected output.
# Wrench and twist: a sensor 0.1 m along the moving frame's x axis, output in the fixed frame.
SENSOR = entries(("moving_frame", [0.1, 0, 0]), ("moving_frame", [1, 0, 0, 0]),
              ("fixed_frame", [0, 0, 0]), ("fixed_frame", [H, H, 0, 0]))
WORKED = {
    "KivoTfWrench": (SENSOR, [1, 2, 3, H, 0, 0, H], [1, 0, 0, 0, 0, 0], [0, 0, -1, -3, 1, 0]),
    "KivoTfTwist": (SENSOR, [1, 2, 3, H, 0, 0, H], [0, 0, 0, 0, 0, 1], [2.1, 0, 1, 0, 1, 0]),
    "KivoTfPose": (entries(("fixed_frame", [0, 0, 0.1]), ("fixed_frame", [H, H, 0, 0]),
                           ("moving_frame", [0.5, 0, 0]), ("fixed_frame", [H, 0, 0, H])),
                   None, [1, 0, 0, H, 0, 0, H], [0, -1, 0.4, H, 0, -H, 0]),
    "KivoTfImu": (entries(("fixed_frame", [0, 0, 0]), ("fixed_frame", [1, 0, 0, 0]),
                          ("moving_frame", [0.1, 0, 0]), ("moving_frame", [1, 0, 0, 0])),
                  [0, 0, 0, H, 0, 0, H], [0, 0, 9.81, 0, 0, 2], [-0.4, 0, 9.81, 0, 0, 2]),
}


def worked_block(ext, name, via="setters"):
    block_entries, tf, signal_in, expected = WORKED[name]
    block = make_block(ext, name, block_entries, via)
    if tf is not None:
        block.set_fixed_to_moving_frame_tf(tf)
    return block, np.array(signal_in, dtype=float), expected


@pytest.fixture
def wrench(ext):
    """Identity entries, output point (0, 0, 1): [1, 0, 0, 0, 0, 0] -> [1, 0, 0, 0, -1, 0]."""
    block = make_block(ext, "KivoTfWrench", IDENTITY_ENTRIES)
    block.set_output_reference_point("fixed_frame", [0, 0, 1])
    return block


def wrench_result(block):
    out = np.full(6, 7.0)
    block.update(np.array([1.0, 0, 0, 0, 0, 0]), out)
    return out.tolist()


@pytest.mark.parametrize("via", ["setters", "config"])
@pytest.mark.parametrize("name", BLOCK_CLASSES)
def test_worked_example(ext, kc, name, via):
    block, signal_in, expected = worked_block(ext, name, via)
    out = np.full(len(signal_in), 7.0)
    assert block.update(signal_in, out) is kc.KivoControlReturnCode.Ok
    assert out == pytest.approx(expected, abs=1e-12)
    assert signal_in.tolist() == pytest.approx(WORKED[name][2])
    assert block.update(signal_in, signal_in) is kc.KivoControlReturnCode.Ok  # in place
    assert signal_in == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("policy, code", [("BestEffort", "NotReady"), ("SoftRt", "NotReady"),
                                          ("HardRt", "Error"), ("StrictRt", "Error")])
@pytest.mark.parametrize("name", BLOCK_CLASSES)
def test_not_ready_update_writes_zeros(ext, kc, name, policy, code, capfd):
    cfg = ext.KivoTfConfig()
    cfg.policy = getattr(kc.KivoControlBlockPolicy, policy)
    n = SIGNAL_LENGTH[name]
    out = np.full(n, 7.0)
    expected = getattr(kc.KivoControlReturnCode, code)
    assert getattr(ext, name)(cfg).update(np.ones(n), out) is expected
    assert out.tolist() == [0.0] * n
    assert capfd.readouterr().err == f"{name}: update() called before all TF entries are set.\n"


def test_unreadable_file_raises_loader_error(ext, tmp_path):
    path = tmp_path / "missing.json"
    with pytest.raises(RuntimeError) as err:
        ext.KivoTfImu(str(path))
    assert str(err.value) == f"Could not open config file: {path}"
    (tmp_path / "bad.json").write_text("{ not json")
    with pytest.raises(RuntimeError, match=r"^Failed to parse config file '.*bad\.json': \[json\."):
        ext.KivoTfPose(config_file=str(tmp_path / "bad.json"))


def test_constructor_overloads(ext, tmp_path, capfd):
    path = tmp_path / "cfg.json"
    path.write_text(json.dumps({"tf_wrench_config": {
        "name": "from_file",
        "set_input_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]}}}))
    assert ext.KivoTfWrench().name() == "" and ext.KivoTfWrench("").name() == ""
    block = ext.KivoTfWrench(config_file=str(path))
    assert block.name() == "from_file"
    assert block.set_input_reference_point("fixed_frame", [1, 2, 3]) is False
    assert "KivoTfWrench: InputReferencePoint was loaded from JSON" in capfd.readouterr().err
    cfg = ext.KivoTfConfig()
    cfg.name = "from_code"
    assert ext.KivoTfWrench(config=cfg).name() == "from_code"
    for bad in (pathlib.Path(path), None, b"cfg.json", 3):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            ext.KivoTfWrench(bad)


@pytest.mark.parametrize("args", [
    ("fixed_frame", [0, 0]), ("fixed_frame", [0, 0, 1, 0]), ("fixed_frame", [0, "0", 1]),
    ("fixed_frame", None), ("fixed_frame", "abc"), (b"fixed_frame", [0, 0, 5]),
    (pathlib.Path("fixed_frame"), [0, 0, 5]), (None, [0, 0, 5]), ("a\ud800", [0, 0, 5])])
def test_refused_setter_arguments_leave_entry_unchanged(wrench, args):
    with pytest.raises(TypeError):
        wrench.set_output_reference_point(*args)
    assert wrench_result(wrench) == [1, 0, 0, 0, -1, 0]


def test_setters_convert_numbers_and_take_keywords(wrench):
    assert wrench.set_output_reference_point(origin="fixed_frame", translation=(0, 0, 2)) is True
    assert wrench_result(wrench) == [1, 0, 0, 0, -2, 0]
    assert wrench.set_input_expression_axes("fixed_frame", rotation=np.array([0, 0, 0, 2])) is True
    assert wrench_result(wrench) == [-7, 0, 0, 0, 14, 0]


@pytest.mark.parametrize("tf", [(1, 2, 3, 1, 0, 0, 0), [1.0, 2, 3, 1, 0, 0, 0],
                                np.array([1, 2, 3, 1, 0, 0, 0.0])])
def test_transform_setter_takes_exactly_seven_numbers(wrench, tf):
    wrench.set_output_reference_point("moving_frame", [0, 0, 0])
    assert wrench.set_fixed_to_moving_frame_tf(tf) is None
    for bad in (list(tf)[:6], list(tf) + [0], None, "0123456"):
        with pytest.raises(TypeError):
            wrench.set_fixed_to_moving_frame_tf(bad)
    assert wrench_result(wrench) == [1, 0, 0, 0, -3, 2]   # output point (1, 2, 3)


def read_only(v):
    v.flags.writeable = False
    return v


# Objects (holding 7.0 where they hold numbers) that `update` refuses as input and as output.
REFUSED = {
    "list": lambda n: [7.0] * n, "tuple": lambda n: (7.0,) * n, "none": lambda n: None,
    "short": lambda n: np.full(n - 1, 7.0), "long": lambda n: np.full(n + 1, 7.0),
    "row": lambda n: np.full((1, n), 7.0), "column": lambda n: np.full((n, 1), 7.0),
    "read_only": lambda n: read_only(np.full(n, 7.0)), "bytes": lambda n: bytes(8 * n),
    "array_f": lambda n: array.array("f", [7.0] * n),
}
# Converted into a temporary float64 copy as input; never converted as output, where the result
# would be written into the temporary and lost.
CONVERTED_INPUT_ONLY = {
    "float32": lambda n: np.full(n, 7.0, np.float32), "int64": lambda n: np.full(n, 7, np.int64),
    "strided": lambda n: np.full(2 * n, 7.0)[::2],
}


@pytest.mark.parametrize("kind", [*REFUSED, *CONVERTED_INPUT_ONLY])
@pytest.mark.parametrize("name", ["KivoTfPose", "KivoTfWrench"])
def test_update_refuses_unsuitable_output(ext, name, kind):
    block, signal_in, _ = worked_block(ext, name)
    bad = {**REFUSED, **CONVERTED_INPUT_ONLY}[kind](len(signal_in))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        block.update(signal_in, bad)
    if isinstance(bad, (np.ndarray, array.array)):
        assert set(np.asarray(bad).ravel().tolist()) == {7.0}


@pytest.mark.parametrize("kind", [*REFUSED, *CONVERTED_INPUT_ONLY])
def test_update_input_is_converted_only_in_dtype_and_order(ext, kind):
    block, signal_in, expected = worked_block(ext, "KivoTfTwist")
    out = np.full(6, 7.0)
    if kind in REFUSED:
        with pytest.raises(TypeError):
            block.update(REFUSED[kind](6), out)
        assert out.tolist() == [7.0] * 6
    else:
        converted = CONVERTED_INPUT_ONLY[kind](6)
        converted[:] = signal_in
        block.update(converted, out)
        assert out == pytest.approx(expected, abs=1e-12)
