"""The two ways an array reaches `update` and `set_fixed_to_moving_frame_tf`: read directly from a
float64 buffer, or converted by nanobind. Both must give the same values, the same results bit for
bit, and the same refusals."""
import array

import numpy as np
import pytest

from conftest import SQRT_HALF as H, make_block, IDENTITY_ENTRIES

TF = [1.0, -2.0, 0.5, 0.5, -0.5, 0.5, 0.5]  # [x, y, z, qw, qx, qy, qz], no quarter turn
SIGNAL = [0.3, -1.2, 2.5, 0.6, -0.4, 0.9, 0.2]
MIXED = dict(zip(IDENTITY_ENTRIES, [("moving_frame", [0.1, -0.2, 0.3]),
                                    ("fixed_frame", [0.5, 0.5, -0.5, 0.5]),
                                    ("moving_frame", [0.0, 0.0, 1.0]),
                                    ("moving_frame", [H, H, 0.0, 0.0])]))


def misaligned(values):
    """A writable float64 array whose data starts one byte past an 8-byte boundary."""
    a = np.frombuffer(bytearray(8 * len(values) + 1), np.float64, len(values), 1)
    assert a.ctypes.data % 8 != 0
    a[:] = values
    return a


def zero_stride(value, n):
    """A writable length-n view whose n elements are one and the same (stride 0)."""
    return np.lib.stride_tricks.as_strided(np.array([value]), (n,), (0,))


def as_float64(out):
    return np.frombuffer(out, np.float64) if isinstance(out, (memoryview, array.array)) else out


@pytest.fixture(params=["KivoTfWrench", "KivoTfPose"])
def case(request, ext):
    """A block with entries in both frames, its signal length, and its reference result."""
    name = request.param
    block = make_block(ext, name, MIXED if name != "KivoTfPose" else
                       {**MIXED, "input_expr_axes": ("fixed_frame", [0.5, 0.5, -0.5, 0.5])})
    if name != "KivoTfPose":
        block.set_fixed_to_moving_frame_tf(TF)
    n = 7 if name == "KivoTfPose" else 6
    reference = np.zeros(n)
    assert block.update(np.array(SIGNAL[:n]), reference).name == "Ok"
    return block, n, reference


# (input, output) makers; each pair is accepted and must give the reference result exactly.
ACCEPTED = {
    "misaligned_input": lambda s, n: (misaligned(s), np.zeros(n)),
    "misaligned_output": lambda s, n: (np.array(s), misaligned([0.0] * n)),
    "misaligned_both": lambda s, n: (misaligned(s), misaligned([0.0] * n)),
    "memoryview": lambda s, n: (memoryview(array.array("d", s)), memoryview(array.array("d", [0.0] * n))),
    "array_d": lambda s, n: (array.array("d", s), array.array("d", [0.0] * n)),
    "ndarray_subclass": lambda s, n: (np.array(s).view(np.recarray), np.zeros(n).view(np.recarray)),
    "strided_input": lambda s, n: (np.repeat(np.array(s), 2)[::2], np.zeros(n)),
    "reversed_input": lambda s, n: (np.array(s[::-1])[::-1], np.zeros(n)),
}


@pytest.mark.parametrize("kind", ACCEPTED)
def test_accepted_arrays_give_the_reference_result_bit_for_bit(case, kind):
    block, n, reference = case
    signal_in, out = ACCEPTED[kind](SIGNAL[:n], n)
    assert block.update(signal_in, out).name == "Ok"
    assert as_float64(out).tobytes() == reference.tobytes()


def test_in_place_on_a_misaligned_array(case):
    block, n, reference = case
    signal = misaligned(SIGNAL[:n])
    assert block.update(signal, signal).name == "Ok"
    assert signal.tobytes() == reference.tobytes()


def test_converted_inputs_match_float64_input(case):
    block, n, _ = case
    for values, converted in [(np.arange(n, dtype=np.float64), np.arange(n, dtype=np.int64)),
                              (np.full(n, 0.25), zero_stride(0.25, n)),
                              (np.array(SIGNAL[:n]), misaligned(SIGNAL[:n] * 2)[:n]),
                              (np.array(SIGNAL[:n]), misaligned(np.repeat(SIGNAL[:n], 2))[::2]),
                              (np.array(SIGNAL[:n], np.float32).astype(np.float64),
                               np.array(SIGNAL[:n], np.float32))]:
        expected, out = np.zeros(n), np.zeros(n)
        block.update(values, expected)
        assert block.update(converted, out).name == "Ok"
        assert out.tobytes() == expected.tobytes()


# Objects refused as input and as output, with nanobind's TypeError, output untouched.
REFUSED_BOTH = {
    "big_endian": lambda n: np.full(n, 7.0, ">f8"),
    "read_only_memoryview": lambda n: memoryview(np.full(n, 7.0).tobytes()).cast("d"),
    "int64_memoryview": lambda n: memoryview(array.array("q", [7] * n)),
    "two_dimensional_memoryview": lambda n: memoryview(array.array("d", [7.0] * n)).cast("B").cast("d", (1, n)),
    "bytearray": lambda n: bytearray(8 * n),
}
# Refused only as output: the result would go into a temporary copy and be lost.
REFUSED_OUTPUT = {
    "zero_stride": lambda n: zero_stride(7.0, n),
    "float32": lambda n: np.full(n, 7.0, np.float32),
    "misaligned_strided": lambda n: misaligned([7.0] * (2 * n))[::2],
}


@pytest.mark.parametrize("kind", [*REFUSED_BOTH, *REFUSED_OUTPUT])
def test_refused_output_keeps_its_contents(case, kind):
    block, n, _ = case
    bad = {**REFUSED_BOTH, **REFUSED_OUTPUT}[kind](n)
    before = bytes(memoryview(bad).cast("B")) if not isinstance(bad, np.ndarray) else bad.tobytes()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        block.update(np.array(SIGNAL[:n]), bad)
    after = bytes(memoryview(bad).cast("B")) if not isinstance(bad, np.ndarray) else bad.tobytes()
    assert after == before


@pytest.mark.parametrize("kind", REFUSED_BOTH)
def test_refused_input(case, kind):
    block, n, _ = case
    out = np.full(n, 7.0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        block.update(REFUSED_BOTH[kind](n), out)
    assert out.tolist() == [7.0] * n


# The transform as every kind of sequence of seven numbers; each must act as the list TF.
TRANSFORMS = {
    "ndarray": lambda: np.array(TF),
    "read_only": lambda: _read_only(np.array(TF)),
    "strided": lambda: np.repeat(np.array(TF), 2)[::2],
    "reversed": lambda: np.array(TF[::-1])[::-1],
    "misaligned": lambda: misaligned(TF),
    "big_endian": lambda: np.array(TF, ">f8"),
    "float32": lambda: np.array(TF, np.float32),
    "memoryview": lambda: memoryview(array.array("d", TF)),
    "array_d": lambda: array.array("d", TF),
    "tuple_of_numpy_scalars": lambda: tuple(np.array(TF)),
}


def _read_only(a):
    a.flags.writeable = False
    return a


@pytest.fixture
def moving_wrench(ext):
    return make_block(ext, "KivoTfWrench", MIXED)


def wrench_out(block):
    out = np.zeros(6)
    assert block.update(np.array(SIGNAL[:6]), out).name == "Ok"
    return out.tobytes()


@pytest.mark.parametrize("kind", TRANSFORMS)
def test_transform_from_any_sequence_acts_as_the_list(moving_wrench, ext, kind):
    reference = make_block(ext, "KivoTfWrench", MIXED)
    reference.set_fixed_to_moving_frame_tf(TF)
    assert moving_wrench.set_fixed_to_moving_frame_tf(TRANSFORMS[kind]()) is None
    assert wrench_out(moving_wrench) == wrench_out(reference)


def test_transform_keeps_signed_zeros_and_nan(moving_wrench):
    tf = np.array([-0.0, 0.0, -0.0, 1.0, -0.0, 0.0, -0.0])
    moving_wrench.set_fixed_to_moving_frame_tf(tf)
    from_array = wrench_out(moving_wrench)
    moving_wrench.set_fixed_to_moving_frame_tf(tf.tolist())
    assert wrench_out(moving_wrench) == from_array
    moving_wrench.set_fixed_to_moving_frame_tf(np.full(7, np.nan))
    out = np.zeros(6)
    moving_wrench.update(np.array(SIGNAL[:6]), out)
    assert np.isnan(out).all()


@pytest.mark.parametrize("bad", [np.zeros(6), np.zeros(8), np.zeros((1, 7)),
                                 memoryview(array.array("d", TF)).cast("B").cast("d", (1, 7)),
                                 bytearray(56), np.array(TF).tobytes()])
def test_transform_refusals(moving_wrench, bad):
    moving_wrench.set_fixed_to_moving_frame_tf(TF)
    before = wrench_out(moving_wrench)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        moving_wrench.set_fixed_to_moving_frame_tf(bad)
    assert wrench_out(moving_wrench) == before


class _ItemsNotBuffer(np.ndarray):
    """An array subclass whose sequence items are not its buffer's elements."""

    def __iter__(self):
        return iter(float(v) for v in TF)

    def __len__(self):
        return 7


def test_transform_from_an_array_subclass_is_read_item_by_item(moving_wrench, ext):
    reference = make_block(ext, "KivoTfWrench", MIXED)
    reference.set_fixed_to_moving_frame_tf(TF)
    moving_wrench.set_fixed_to_moving_frame_tf(np.zeros(7).view(_ItemsNotBuffer))
    assert wrench_out(moving_wrench) == wrench_out(reference)
